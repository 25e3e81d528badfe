#include "record_writer.h"

#include <charconv>

#include "base64.h"
#include "record_canonical.h"

namespace kestova {
namespace {

bool AllPlain(std::string_view s) {
  return SkipPlain(s.data(), s.data() + s.size()) == s.data() + s.size();
}

// A string as dump() writes it. Plain strings are copied straight through, which is what the
// library's escaper gives for them; everything else goes through the library, which also throws
// type_error 316 for invalid UTF-8.
void AppendJsonString(std::string* out, const std::string& s) {
  if (AllPlain(s)) {
    out->push_back('"');
    out->append(s);
    out->push_back('"');
  } else {
    out->append(nlohmann::json(s).dump());
  }
}

// Byte for byte what dump() of the object {"msg_id","payload","topic","ts"} gives, assembled by
// hand: the Base64 text never needs escaping, and running the JSON escaper over it was the largest
// CPU cost of a store. `put_payload` appends the payload's Base64 text.
template <typename PutPayload>
void AppendRecordLineWith(std::string* out, int64_t ts, const std::string& msg_id,
                          const std::string& topic, size_t payload_chars, PutPayload put_payload) {
  out->reserve(out->size() + msg_id.size() + topic.size() + payload_chars + 64);
  out->append("{\"msg_id\":");
  AppendJsonString(out, msg_id);
  out->append(",\"payload\":\"");
  put_payload();
  out->append("\",\"topic\":");
  AppendJsonString(out, topic);
  out->append(",\"ts\":");
  char digits[24];
  const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, ts);
  out->append(digits, static_cast<size_t>(end - digits));
  out->append("}\n");
}

}  // namespace

void AppendRecordLine(std::string* out, int64_t ts, const std::string& msg_id,
                      const std::string& topic, std::string_view payload_base64) {
  AppendRecordLineWith(out, ts, msg_id, topic, payload_base64.size(),
                       [&] { out->append(payload_base64); });
}

void AppendRecordLine(std::string* out, int64_t ts, const std::string& msg_id,
                      const std::string& topic, const uint8_t* payload, size_t len) {
  AppendRecordLineWith(out, ts, msg_id, topic, base64_encoded_size(len),
                       [&] { base64_encode_append(out, payload, len); });
}

std::string FormatRecordLine(int64_t ts, const std::string& msg_id, const std::string& topic,
                             const std::string& payload_base64) {
  std::string line;
  AppendRecordLine(&line, ts, msg_id, topic, payload_base64);
  return line;
}

}  // namespace kestova
