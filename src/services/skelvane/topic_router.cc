#include "topic_router.h"

#include <cstddef>
#include <optional>
#include <utility>

namespace kestova {
namespace {

constexpr std::string_view kAckSuffix = "/ack";

// Levels of a topic or filter: split at every "/", so "" is one empty level and "a/" two.
std::vector<std::string> SplitLevels(std::string_view s) {
  std::vector<std::string> levels;
  for (size_t pos = 0;;) {
    const size_t slash = s.find('/', pos);
    levels.emplace_back(s.substr(pos, slash == std::string_view::npos ? slash : slash - pos));
    if (slash == std::string_view::npos) return levels;
    pos = slash + 1;
  }
}

// The levels of a filter, or nothing when it is invalid.
std::optional<std::vector<std::string>> ParseFilter(std::string_view filter) {
  std::vector<std::string> levels = SplitLevels(filter);
  for (size_t i = 0; i < levels.size(); ++i) {
    const std::string& level = levels[i];
    const bool wild = level.find_first_of("+#") != std::string::npos;
    if (wild && level != "+" && level != "#") return std::nullopt;
    if (level == "#" && i + 1 != levels.size()) return std::nullopt;
  }
  return levels;
}

// Whether `topic` matches a valid filter, walking the topic's levels in place (no allocation).
bool Matches(const std::vector<std::string>& filter, std::string_view topic) {
  size_t pos = 0;    // start of the topic's current level
  bool more = true;  // whether the topic has a level at pos (every topic has at least one)
  for (const std::string& f : filter) {
    if (f == "#") return true;  // the parent level (topic exhausted) or any levels below
    if (!more) return false;
    const size_t slash = topic.find('/', pos);
    const std::string_view level =
        topic.substr(pos, slash == std::string_view::npos ? slash : slash - pos);
    if (f != "+" && f != level) return false;
    if (slash == std::string_view::npos) {
      more = false;
    } else {
      pos = slash + 1;
    }
  }
  return !more;
}

}  // namespace

TopicRouter::TopicRouter(const std::vector<std::string>& topics) : topics_(topics) {
  for (const std::string& t : topics_) {
    if (t.find_first_of("+#") == std::string::npos) {
      exact_data_.insert(t);
      exact_ack_.insert(t + std::string(kAckSuffix));
    } else if (std::optional<std::vector<std::string>> levels = ParseFilter(t)) {
      const bool starts_wild = levels->front() == "+" || levels->front() == "#";
      filters_.push_back(Filter{std::move(*levels), starts_wild});
    }
  }
}

bool TopicRouter::matchesAnyFilter(std::string_view topic) const {
  const bool dollar = !topic.empty() && topic.front() == '$';
  for (const Filter& f : filters_) {
    if (dollar && f.starts_wild) continue;
    if (Matches(f.levels, topic)) return true;
  }
  return false;
}

TopicRouter::Route TopicRouter::route(const std::string& topic) const {
  if (exact_ack_.count(topic) != 0) return Route::kAck;
  if (exact_data_.count(topic) != 0) return Route::kData;
  if (filters_.empty()) return Route::kNone;
  const std::string_view t(topic);
  if (t.size() >= kAckSuffix.size() && t.substr(t.size() - kAckSuffix.size()) == kAckSuffix &&
      matchesAnyFilter(t.substr(0, t.size() - kAckSuffix.size()))) {
    return Route::kAck;
  }
  return matchesAnyFilter(t) ? Route::kData : Route::kNone;
}

std::vector<TopicRouter::Subscription> TopicRouter::subscriptions() const {
  std::vector<Subscription> subs;
  subs.reserve(topics_.size());
  for (const std::string& t : topics_) {
    if (!t.empty() && t.back() == '#') {
      subs.push_back(Subscription{t, "", t});
    } else {
      const std::string ack = t + std::string(kAckSuffix);
      subs.push_back(Subscription{t, ack, ack});
    }
  }
  return subs;
}

}  // namespace kestova
