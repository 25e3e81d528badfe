// TopicRouter: tells which configured topic, if any, a received message belongs to, and whether
// it carries data or acknowledgements.
//
// A configured topic is either exact (neither "+" nor "#" in it) or an MQTT filter:
//   - "+" as a whole level matches exactly one level, an empty one included;
//   - "#" as the whole last level matches the parent level and any number of levels below it
//     ("a/#" matches "a", "a/b" and "a/b/c");
//   - a filter whose first level is "+" or "#" matches no topic starting with "$";
//   - a filter with "#" anywhere but as the whole last level, or with "+" or "#" sharing a level
//     with other characters, is invalid and matches nothing (the broker refuses it as well).
//
// route(topic), first match wins:
//   1. topic == <exact topic> + "/ack"                          -> kAck
//   2. topic == <exact topic>                                   -> kData
//   3. topic == P + "/ack" and P matches a filter               -> kAck
//   4. topic matches a filter                                   -> kData
//   5. otherwise                                                -> kNone
// So the acknowledgement reading wins over the data reading at each stage, and an exact topic over
// any filter. Stages 1 and 2 are hash lookups; the filters are scanned only when both missed.
//
// Immutable after construction; safe to share between threads for reading.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kestova {

class TopicRouter {
 public:
  enum class Route { kNone, kData, kAck };

  // What to subscribe for one configured topic.
  struct Subscription {
    std::string data;         // the configured topic or filter itself
    std::string ack;          // data + "/ack"; "" when data ends in "#" (it delivers the ACKs too)
    std::string ack_for_log;  // ack, or data when ack is ""
  };

  explicit TopicRouter(const std::vector<std::string>& topics);

  Route route(const std::string& topic) const;

  // One entry per configured topic, in configured order (duplicates included).
  std::vector<Subscription> subscriptions() const;

 private:
  struct Filter {
    std::vector<std::string> levels;  // split at "/"; a "#" can only be the last
    bool starts_wild = false;         // first level is "+" or "#": no "$" topics
  };
  bool matchesAnyFilter(std::string_view topic) const;

  std::vector<std::string> topics_;
  std::unordered_set<std::string> exact_data_;
  std::unordered_set<std::string> exact_ack_;
  std::vector<Filter> filters_;  // the valid ones only
};

}  // namespace kestova
