#include "topic_validation.h"

#include <gtest/gtest.h>

#include <tuple>

namespace kestova::mosquitto {
namespace {

// A string, then part of what TopicNameProblem and FilterProblem say (empty: accepted).
TEST(TopicValidation, NamesAndFilters) {
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"a/b", "", ""},
      {"caf\xC3\xA9/\xF0\x9F\x93\x88", "", ""},  // 2- and 4-byte UTF-8
      {std::string(kMaxTopic, 'a'), "", ""},
      {std::string(kMaxTopic + 1, 'a'), "longer than 65535", "longer than 65535"},
      {"", "empty topic", "empty topic filter"},
      {std::string("a\0b", 3), "NUL", "NUL"},
      {"+/b/#", "wildcards", ""},
      {"a/#/ack", "wildcards", "'#' must be a whole last level"},
      {"a/b+/c", "wildcards", "'+' must be a whole level"},
      {"a\tb", "control character", "control character"},
      {"a\xC2\x85", "control character", "control character"},  // U+0085, a C1 control
      {"a\xC0\xAF", "UTF-8", "UTF-8"},                          // overlong '/'
      {"a\xED\xA0\x80", "UTF-8", "UTF-8"},                      // a surrogate
      {"a\xF4\x90\x80\x80", "UTF-8", "UTF-8"},                  // beyond U+10FFFF
      {"a\xE2\x82", "UTF-8", "UTF-8"},                          // cut short
  };
  const auto says = [](const std::string& problem, const std::string& part) {
    return part.empty() ? problem.empty() : problem.find(part) != std::string::npos;
  };
  for (const auto& [s, name, filter] : cases) {
    EXPECT_TRUE(says(TopicNameProblem(s), name)) << s.substr(0, 20) << ": " << TopicNameProblem(s);
    EXPECT_TRUE(says(FilterProblem(s), filter)) << s.substr(0, 20) << ": " << FilterProblem(s);
  }
}

}  // namespace
}  // namespace kestova::mosquitto
