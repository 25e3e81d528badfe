// The record writer: one captured message as its record line (record_format.h), byte for byte
// what the JSON library's compact dump() of the object {"msg_id","payload","topic","ts"} gives,
// assembled without it for the common case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>  // the type_error the writer throws
#include <string>
#include <string_view>

namespace kestova {

// The complete record line for one message, including its terminating '\n'. `payload_base64` is the
// already encoded payload (Base64 characters only, which JSON never escapes). Throws
// nlohmann::json::type_error (id 316) when msg_id or topic is not valid UTF-8; nothing else throws.
std::string FormatRecordLine(int64_t ts, const std::string& msg_id, const std::string& topic,
                             const std::string& payload_base64);
// The same line appended to *out, which lets a caller reuse one buffer for every record. When it
// throws, *out may hold a part of the line.
void AppendRecordLine(std::string* out, int64_t ts, const std::string& msg_id,
                      const std::string& topic, std::string_view payload_base64);
// The same again from the raw payload, Base64-encoded straight into *out: what base64_encode
// gives, without the intermediate string.
void AppendRecordLine(std::string* out, int64_t ts, const std::string& msg_id,
                      const std::string& topic, const uint8_t* payload, size_t len);

}  // namespace kestova
