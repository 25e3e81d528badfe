// The record reader: one line of an outbox file (as LineReader gives it) read under the reading
// rules of record_format.h, rules 3 to 6, into a record's key or the whole record, or called
// broken with the reason.
//
// Two ways lead to the same answer for every line: a fast path that takes only the exact canonical
// form FormatRecordLine writes for strings of plain bytes, and the full reading through the JSON
// library, which decides everything else. The results, key, body and error text alike, never
// depend on which way was taken.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestova {

// Key of a record line (rules 3 and 4). False with *error set for a broken line.
bool ParseRecordKey(std::string_view line, int64_t* ts, std::string* msg_id, std::string* error);

// All of a record line. Returns false with *error for a broken line (rules 3 and 4). When the key
// is good but "topic" or "payload" is not a string, returns true with `body_error` set, so the
// caller can decide on the key (for instance skip an acknowledged line) before it looks at the
// body.
struct RecordLine {
  int64_t ts = 0;
  std::string msg_id;
  std::string topic;
  std::string payload;  // Base64 text as stored
  std::string body_error;
};
bool ParseRecordLine(std::string_view line, RecordLine* out, std::string* error);

// The two ways behind ParseRecordKey and ParseRecordLine, exposed so that a differential fuzz
// target can hold them against each other; everything else calls the functions above.
namespace record_paths {
// The fast path alone: true when `line` has exactly the shape FormatRecordLine writes for strings
// of printable ASCII without escapes (white space after the closing brace allowed), with the
// members as views into `line`. False says nothing about the line's validity.
bool ParseCanonical(std::string_view line, int64_t* ts, std::string_view* msg_id,
                    std::string_view* topic, std::string_view* payload);
// The full reading rules: the zero-byte and closing-brace checks, then the JSON library; never the
// fast path.
bool ParseKeyFull(std::string_view line, int64_t* ts, std::string* msg_id, std::string* error);
bool ParseLineFull(std::string_view line, RecordLine* out, std::string* error);
}  // namespace record_paths

}  // namespace kestova
