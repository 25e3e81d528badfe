// Checks of MQTT topic names and topic filters before they reach the broker. The broker drops the
// connection of a client that sends an invalid one, which would cost every other subscription too.
#pragma once

#include <cstddef>
#include <string>

namespace kestova::mosquitto {

constexpr size_t kMaxTopic = 65535;  // bytes, the MQTT limit for names and filters

// True when `s` is well-formed UTF-8 (no overlong forms, surrogates or code points beyond U+10FFFF)
// without control characters (U+0000..U+001F, U+007F..U+009F).
bool IsCleanUtf8(const std::string& s);

// Empty when `topic` may be published to; otherwise why not, for a log line or an error text.
// Wildcards are not allowed in a topic name.
std::string TopicNameProblem(const std::string& topic);

// Empty when `filter` may be subscribed to; otherwise why not. '+' must be a whole level and '#' a
// whole last level.
std::string FilterProblem(const std::string& filter);

}  // namespace kestova::mosquitto
