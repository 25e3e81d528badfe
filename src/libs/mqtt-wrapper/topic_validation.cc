#include "topic_validation.h"

#include <cstdint>

namespace kestova::mosquitto {

bool IsCleanUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t n;
    if (b < 0x80) {
      cp = b;
      n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      n = 4;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F)) return false;
    i += n;
  }
  return true;
}

std::string TopicNameProblem(const std::string& topic) {
  if (topic.empty()) return "empty topic";
  if (topic.size() > kMaxTopic) return "topic longer than 65535 bytes";
  if (topic.find_first_of(std::string("+#\0", 3)) != std::string::npos) {
    return "wildcards and NUL are not allowed in a topic name";
  }
  if (!IsCleanUtf8(topic)) return "invalid UTF-8 or a control character in the topic";
  return {};
}

std::string FilterProblem(const std::string& filter) {
  if (filter.empty()) return "empty topic filter";
  if (filter.size() > kMaxTopic) return "topic filter longer than 65535 bytes";
  if (filter.find('\0') != std::string::npos) return "NUL in topic filter";
  if (!IsCleanUtf8(filter)) return "invalid UTF-8 or a control character in the topic filter";
  size_t start = 0;
  while (true) {
    size_t slash = filter.find('/', start);
    std::string level = filter.substr(start, slash == std::string::npos ? slash : slash - start);
    if (level.find('#') != std::string::npos && (level != "#" || slash != std::string::npos)) {
      return "'#' must be a whole last level";
    }
    if (level.find('+') != std::string::npos && level != "+") return "'+' must be a whole level";
    if (slash == std::string::npos) return {};
    start = slash + 1;
  }
}

}  // namespace kestova::mosquitto
