// The outbox's on-disk format: file names and the record line. This header defines the format;
// the code that writes and reads it is split by task:
//   record_writer.h     writes one record as its line;
//   line_reader.h       splits a file into lines (reading rules 1 and 2);
//   record_reader.h     reads one line into a record or calls it broken (rules 3 to 6);
//   record_canonical.h  the exact form the writer gives, which the reader takes on a fast path.
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

#include <string>

namespace kestova {

inline constexpr char kActiveFileName[] = "outbox.jsonl";
inline constexpr char kTempFileSuffix[] = ".tmp";

// dir + "/outbox.jsonl".
std::string ActiveFilePath(const std::string& dir);
// The flush's temporary file for an active file: its path followed by ".tmp".
std::string TempFilePath(const std::string& active_path);

}  // namespace kestova
