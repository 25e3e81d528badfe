// LineReader over any bytes, chunk size, short reads and a failure point from the first four:
// the lines of a plain splitter (after a failure, those ended before it) and the error.
#include <cerrno>

#include "fuzz_entries.h"
#include "line_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t chunk = 1 + (data[0] % 64) * (data[0] % 3 == 0 ? 1 : 37);
  std::vector<size_t> pattern;
  for (int i = 0; i < 1 + (data[1] & 3); ++i) pattern.push_back((data[1] >> (2 + i)) & 7);
  const bool fail = (data[2] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 4), size - 4);
  const size_t fail_at = fail ? (size_t{data[3]} * 7) % (text.size() + 1) : std::string::npos;
  fuzzentry::MemorySource src(text, pattern, fail_at);
  kestova::LineReader reader(&src, {.chunk = chunk});
  std::vector<std::string> lines;  // the reader's views last only until its next call
  for (std::string_view line; reader.Next(&line);) {
    lines.emplace_back(line);
    FUZZ_CHECK(lines.size() <= text.size() + 1, "LineReader does not end");
  }
  const size_t nl = fail ? text.substr(0, fail_at).rfind('\n') : text.size();
  FUZZ_CHECK(reader.status().code() == (fail ? EIO : 0), "read status wrong");
  const auto want = fuzzentry::Split(text.substr(0, nl == std::string::npos ? 0 : nl));
  FUZZ_CHECK(std::equal(lines.begin(), lines.end(), want.begin(), want.end()), "LineReader lines");
  return 0;
}
