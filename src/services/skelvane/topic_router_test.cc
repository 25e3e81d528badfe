#include "topic_router.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace kestova {
namespace {

using Topics = std::vector<std::string>;

Topics Split(const std::string& text, char sep) {
  Topics parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
  return parts;
}

// Rows "<configured topics>:<received topic>:<route: Data, Ack or None>": exact topics, "+", "#",
// precedence (ACK reading over data, exact over filters), "$" topics, invalid filters.
TEST(TopicRouter, RoutesExactTopicsAndFilters) {
  const std::string rows =
      "a/b:a/b:D a/b:a/b/ack:A a/b:a/b/c:N a/b/ack,a/b:a/b/ack:A "
      "s/+/m:s/1/m:D s/+/m:s//m:D s/+/m:s/1/2/m:N s/+/m:s/1/m/x:N s/+/m:s/1/m/ack:A s/+:s:N "
      "d/#:d:D d/#:d/1/2:D d/#:dx:N d/#:d/1/ack:A #:x/y:D "
      "a/+/ack,a/+:a/b/ack:A s/+/m,s/1/m/ack:s/1/m/ack:D "
      "#:$SYS/x:N #:$SYS/ack:N +/x:$SYS/x:N $SYS/#:$SYS/x:D "
      "d/#/x:d/1/x:N s/a+:s/a+:N s/#b,s/c#:s/#b/ack:N";
  for (const std::string& row : Split(rows, ' ')) {
    const Topics f = Split(row, ':');
    const auto route = TopicRouter(Split(f[0], ',')).route(f[1]);
    EXPECT_EQ("NDA"[static_cast<int>(route)], f[2][0]) << row;
  }
  Topics subs;
  for (const auto& s : TopicRouter({"a/b", "s/+/m", "d/#", "#"}).subscriptions()) {
    subs.push_back(s.data + "|" + s.ack + "|" + s.ack_for_log);
  }
  EXPECT_EQ(subs, (Topics{"a/b|a/b/ack|a/b/ack", "s/+/m|s/+/m/ack|s/+/m/ack", "d/#||d/#", "#||#"}));
}

}  // namespace
}  // namespace kestova
