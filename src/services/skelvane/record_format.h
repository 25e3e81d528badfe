// The outbox's on-disk format: file names, the record writer and the line reader.
//
// Directory layout (all files directly in the configured storage directory, paths formed as
// dir + "/" + name without normalisation):
//   outbox.jsonl       the active file; every new record is appended here. May be absent.
//   outbox.jsonl.tmp   the next version of the active file while a flush runs; it replaces the
//                      active file by rename, which is the only commit mechanism for a rewrite.
//   outbox.<...>.jsonl[.gz]  rotated archives in the same line format (gzip when ".gz").
//
// Record: one captured message is one line, a JSON object in the JSON library's compact dump()
// form, terminated by exactly one line feed (0x0A):
//   {"msg_id":"a1","payload":"YWJj","topic":"/kv/bridge/data/meter","ts":1000}\n
// Members are written sorted by key: "msg_id" (string), "payload" (the message bytes in Base64, ""
// when empty), "topic" (string, the topic it was captured from), "ts" (signed 64-bit integer, Unix
// seconds). Strings are escaped as JSON requires; non-ASCII characters are written as raw UTF-8.
// A file is the plain concatenation of its lines in capture order; there is no header or trailer.
//
// Reading rules, shared by every reader (index rebuild, flush, pending retrieval, restore):
//   1. Lines are split on '\n'. The last line counts even without a final '\n'. A '\r' before the
//      '\n' stays part of the line (JSON treats it as white space).
//   2. A zero-length line is skipped: neither valid nor broken.
//   3. The line must be exactly one JSON value, white space around it allowed, nothing else after
//      it, no comments. A zero byte anywhere makes the line broken (the JSON lexer would otherwise
//      take it for the end of the text and ignore what follows).
//   4. The value must be an object with a number "ts" and a string "msg_id"; a missing member
//      counts as one of the wrong type. "ts" becomes a signed 64-bit integer: a fraction is cut
//      toward zero, values beyond the int64 range saturate at its limits.
//   5. "topic" and "payload" must be strings where they are used (pending retrieval).
//   6. Other members are ignored; members may stand in any order; of a repeated member the last
//      one counts.
// A non-empty line that breaks rule 3 or 4 is a broken line. Such a line whose last byte other than
// JSON white space (space, tab, CR, LF) is not '}' (every torn line) is called broken without
// being parsed, so a long one costs no more memory than the line itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "env.h"

namespace kestova {

inline constexpr char kActiveFileName[] = "outbox.jsonl";
inline constexpr char kTempFileSuffix[] = ".tmp";

// dir + "/outbox.jsonl".
std::string ActiveFilePath(const std::string& dir);
// The flush's temporary file for an active file: its path followed by ".tmp".
std::string TempFilePath(const std::string& active_path);

// --- writer ---

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

// --- splitter ---

// Splits a file into lines under reading rules 1 and 2, reading it in large chunks. A line may be
// of any length; memory use is proportional to the longest line.
class LineReader {
 public:
  static constexpr size_t kDefaultChunk = 128 * 1024;

  explicit LineReader(SequentialFile* file, size_t chunk = kDefaultChunk);
  // Reads through `buffer` instead of a buffer of its own, so that a caller that reads often keeps
  // one allocation: the string's capacity stays with the caller, its content is scratch.
  LineReader(SequentialFile* file, std::string* buffer, size_t chunk = kDefaultChunk);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next non-empty line, without its '\n'; valid until the next call. False at the end of the
  // file and after a read error; status() tells them apart. After a read error the fragment read
  // so far is not returned as a line.
  bool Next(std::string_view* line);
  // 0, or the errno of the read that failed.
  int status() const { return status_; }

 private:
  SequentialFile* file_;
  size_t chunk_;
  std::string own_;   // the buffer unless the caller lent one
  std::string& buf_;  // bytes [0, end_) are data read, the rest room for the next read
  size_t begin_ = 0;  // start of the unconsumed data in buf_
  size_t scan_ = 0;   // bytes before this offset are known to hold no '\n'
  size_t end_ = 0;    // end of the data read so far
  size_t next_read_ = 4096;
  bool eof_ = false;
  int status_ = 0;
};

// --- line reader ---

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

// --- JSON helpers, shared with the message handlers ---

// Nesting deeper than this is refused by ParseWholeJson, which keeps a hostile text of brackets
// from growing a document many times its own size.
inline constexpr int kMaxJsonDepth = 1000;

// Parses `text` as exactly one JSON value (white space around it allowed, no comments). False with
// *error (the JSON library's message where it has one, cut to a few hundred bytes) for anything
// else, including a zero byte anywhere in the text and nesting deeper than kMaxJsonDepth. Never
// throws for bad input.
bool ParseWholeJson(std::string_view text, nlohmann::json* out, std::string* error);

// A JSON number as a signed 64-bit integer: integers unchanged, a fraction cut toward zero, values
// beyond the int64 range (1e300, 18446744073709551615, infinities) saturated at
// INT64_MIN/INT64_MAX, NaN as 0. Throws nlohmann::json::type_error (302, "type must be number") for
// any other type.
int64_t JsonToInt64Saturating(const nlohmann::json& value);
int64_t DoubleToInt64Saturating(double d);
int64_t UnsignedToInt64Saturating(uint64_t u);

}  // namespace kestova
