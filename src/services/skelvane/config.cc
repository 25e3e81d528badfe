// Configuration loader: the JSON file into AppConfig.
//
// Type errors are the JSON library's own exceptions (type_error 302 and 306 with the library's
// texts), so the operator sees the same message whichever key is wrong; main reports them as
// "Config error: %s".
#include "config.h"

#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>

#include "p7.h"

namespace kestova {
namespace {

using nlohmann::json;

constexpr const char kDefaultTopic[] = "/kv/bridge/data/meter";

// The member `key` of `obj`, or nullptr when the key is absent. A non-object fails with the same
// type error 306 that json::value() raises, so an array or scalar where an object belongs is
// reported in the library's words.
const json* member(const json& obj, const char* key) {
  if (!obj.is_object()) {
    throw json::type_error::create(306, std::string("cannot use value() with ") + obj.type_name(),
                                   &obj);
  }
  auto it = obj.find(key);
  return it == obj.end() ? nullptr : &*it;
}

// An integer setting: any JSON number, or true (1) / false (0); anything else is the library's
// type error 302 "type must be number, but is ...".
//
// Narrowing to 32 bits:
//   - integers (signed, or unsigned up to 2^64-1) keep the low 32 bits of their two's complement
//     64-bit pattern, as static_cast<int32_t> of the int64 does (4294967297 -> 1, 2^64-1 -> -1);
//   - numbers with a fraction or exponent are truncated toward zero; when that is outside the
//     32-bit range (1e20, -1e300) the value saturates at INT32_MAX / INT32_MIN. A plain
//     float-to-int cast would be undefined behaviour there.
// (A literal beyond the double range, such as 1e400, never gets here: the parser rejects it with
// its out_of_range error 406, which is not a parse error and so stops start-up like a type error.)
int32_t toInt32(const json& v) {
  if (v.is_number_float()) {
    const double d = v.get<double>();
    if (std::isnan(d)) return 0;  // the parser never yields NaN; kept total for safety
    // Truncation toward zero maps exactly the open interval (-2^31 - 1, 2^31) into the int32 range.
    if (d >= 2147483648.0) return std::numeric_limits<int32_t>::max();
    if (d <= -2147483649.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(d);
  }
  if (v.is_number_unsigned()) {
    return static_cast<int32_t>(static_cast<int64_t>(v.get<uint64_t>()));
  }
  if (v.is_number_integer()) return static_cast<int32_t>(v.get<int64_t>());
  return v.get<int32_t>();  // boolean converts; other types throw type_error 302
}

void readInt(const json& obj, const char* key, int32_t& out) {
  if (const json* v = member(obj, key)) out = toInt32(*v);
}

// get<bool> accepts only true/false and get<std::string> only strings (type_error 302 otherwise).
void readBool(const json& obj, const char* key, bool& out) {
  if (const json* v = member(obj, key)) out = v->get<bool>();
}

void readString(const json& obj, const char* key, std::string& out) {
  if (const json* v = member(obj, key)) out = v->get<std::string>();
}

}  // namespace

AppConfig loadConfig(const std::string& path) {
  AppConfig config;
  config.topics.push_back(kDefaultTopic);
  const OutboxStoreConfig defaults;

  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    SKV_LOG(P7::kWarning, "Config not found: %s, using defaults", path.c_str());
    return config;
  }

  // operator>> is the library's non-strict stream reader: it stops after the first complete value,
  // so text after it is not examined.
  json doc;
  try {
    in >> doc;
  } catch (const json::parse_error& e) {
    SKV_LOG(P7::kError, "Config parse error: %s", e.what());
    return config;
  }

  if (doc.is_object()) {
    auto topics = doc.find("topics");
    if (topics != doc.end() && topics->is_array()) {
      config.topics.clear();
      for (const auto& t : *topics) {
        if (t.is_string()) config.topics.push_back(t.get<std::string>());
      }
    }

    if (auto storage = doc.find("storage"); storage != doc.end()) {
      const json& s = *storage;
      OutboxStoreConfig& st = config.storage;
      readString(s, "dir", st.dir);
      readBool(s, "compress", st.compress);
      readInt(s, "max_file_kb", st.max_file_kb);
      readInt(s, "max_dir_kb", st.max_dir_kb);
      readInt(s, "rotation_cooldown", st.rotation_cooldown);
      readBool(s, "sync", st.sync);
      // The only bounded pair: a directory limit no larger than one full active file leaves no
      // room for any archive, so both fall back to their defaults together.
      if (st.max_dir_kb <= st.max_file_kb) {
        SKV_LOG(P7::kWarning, "max_dir_kb (%d) must be > max_file_kb (%d). Using defaults.",
                st.max_dir_kb, st.max_file_kb);
        st.max_file_kb = defaults.max_file_kb;
        st.max_dir_kb = defaults.max_dir_kb;
      }
    }

    if (auto resend = doc.find("resend"); resend != doc.end()) {
      const json& r = *resend;
      ResendConfig& rs = config.resend;
      readInt(r, "cooldown", rs.cooldown);
      readInt(r, "stale_threshold", rs.stale_threshold);
      readInt(r, "grace_period", rs.grace_period);
      readInt(r, "live_ack_threshold", rs.live_ack_threshold);
      readInt(r, "fast_ack_threshold", rs.fast_ack_threshold);
      readInt(r, "window", rs.window);
      if (rs.window < 1) {
        SKV_LOG(P7::kWarning, "resend.window (%d) must be at least 1. Using 1.", rs.window);
        rs.window = 1;
      }
    }

    if (auto status = doc.find("status"); status != doc.end()) {
      readString(*status, "prometheus_file", config.status.prometheus_file);
      readString(*status, "mqtt_topic", config.status.mqtt_topic);
    }
  }

  // These two reads are where a top-level value that is not an object fails (type error 306).
  readInt(doc, "maintenance_interval", config.maintenance_interval);
  readInt(doc, "loop_timeout_ms", config.loop_timeout_ms);

  SKV_LOG(P7::kInfo, "Config loaded: %s", path.c_str());
  return config;
}

}  // namespace kestova
