#include "topic_router.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestova {
namespace {

using Topics = std::vector<std::string>;

TEST(TopicRouter, RoutesExactTopicsAndFilters) {
  constexpr auto N = TopicRouter::Route::kNone, D = TopicRouter::Route::kData,
                 A = TopicRouter::Route::kAck;
  const struct {
    Topics config;
    std::string topic;
    TopicRouter::Route want;
  } rows[] = {
      // Exact topics: hash lookups, the ACK reading first.
      {{"a/b"}, "a/b", D},
      {{"a/b"}, "a/b/ack", A},
      {{"a/b"}, "a/b/c", N},
      {{"a/b/ack", "a/b"}, "a/b/ack", A},
      // "+": exactly one level, possibly empty.
      {{"s/+/m"}, "s/1/m", D},
      {{"s/+/m"}, "s//m", D},
      {{"s/+/m"}, "s/1/2/m", N},
      {{"s/+/m"}, "s/1/m/x", N},
      {{"s/+/m"}, "s/1/m/ack", A},
      {{"s/+"}, "s", N},
      // "#": the parent level and any below.
      {{"d/#"}, "d", D},
      {{"d/#"}, "d/1/2", D},
      {{"d/#"}, "dx", N},
      {{"d/#"}, "d/1/ack", A},
      {{"#"}, "x/y", D},
      // Precedence: a filter's ACK reading over another's data reading; an exact topic over both.
      {{"a/+/ack", "a/+"}, "a/b/ack", A},
      {{"s/+/m", "s/1/m/ack"}, "s/1/m/ack", D},
      // "$" topics escape filters that start with a wildcard only.
      {{"#"}, "$SYS/x", N},
      {{"#"}, "$SYS/ack", N},
      {{"+/x"}, "$SYS/x", N},
      {{"$SYS/#"}, "$SYS/x", D},
      // Invalid filters match nothing, not even themselves.
      {{"d/#/x"}, "d/1/x", N},
      {{"s/a+"}, "s/a+", N},
      {{"s/#b", "s/c#"}, "s/#b/ack", N},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(TopicRouter(row.config).route(row.topic), row.want)
        << row.config.front() << " " << row.topic;
  }

  std::vector<std::string> subs;
  for (const auto& s : TopicRouter({"a/b", "s/+/m", "d/#", "#"}).subscriptions()) {
    subs.push_back(s.data + "|" + s.ack + "|" + s.ack_for_log);
  }
  EXPECT_EQ(subs, (Topics{"a/b|a/b/ack|a/b/ack", "s/+/m|s/+/m/ack|s/+/m/ack", "d/#||d/#", "#||#"}));
}

}  // namespace
}  // namespace kestova
