// The canonical form of a record line: exactly what FormatRecordLine writes when msg_id and topic
// are strings of plain bytes (below), which is nearly every line in practice. The writer produces
// it without the JSON library, and the record reader's fast path takes it back the same way.
//
// The JSON library reads about a hundred MB/s, so a flush or index rebuild of a full active file
// would block the service loop for long; for a canonical line the answer is found here in a single
// pass. Only a shape whose meaning is beyond doubt is taken: member order as written, no white
// space except after the closing brace, strings of plain bytes (which the JSON reading leaves
// exactly as they are) and a "ts" of at most 18 digits. Everything else is left to the full parser,
// which decides. Both paths give the same result for every line; fuzz/line_reader_diff_fuzz.cc
// holds them against each other.
#pragma once

#include <cstdint>
#include <string_view>

namespace kestova {

// Bytes that stand for themselves inside a JSON string: printable ASCII except '"' and '\\'. A
// string of only such bytes is what JSON escaping gives for it, written between quotes.
constexpr bool IsPlainByte(unsigned char c) {
  return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
}

// The first byte in [p, end) that is not plain, or end. The inner loop of both the writer and the
// fast reader, so it looks at 16 bytes at a time where the compiler offers portable vector types
// (SSE2 on x86-64, NEON on Arm64).
const char* SkipPlain(const char* p, const char* end);

// A canonical line's members, as views into the line.
struct CanonicalRecord {
  int64_t ts = 0;
  std::string_view msg_id, payload, topic;
};

// True with *out filled when `line` is in the canonical form (JSON white space after the closing
// brace allowed). False says nothing about the line's validity; *out is then unspecified.
bool ScanCanonical(std::string_view line, CanonicalRecord* out);

}  // namespace kestova
