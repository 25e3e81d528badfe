// LineReader over any bytes, with chunk size, short reads and a read failure point from the first
// four: exactly the lines of a plain splitter (after a failure, those ended before it) and the
// error. Both record parsers must agree with the DOM on each line; errors are capped texts.
#include <cerrno>

#include "fuzz_entries.h"
#include "record_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const size_t chunk = 1 + (data[0] % 64) * (data[0] % 3 == 0 ? 1 : 37);
  std::vector<size_t> pattern;
  for (int i = 0; i < 1 + (data[1] & 3); ++i) pattern.push_back((data[1] >> (2 + i)) & 7);
  const bool fail = (data[2] & 1) != 0;
  const std::string text(reinterpret_cast<const char*>(data + 4), size - 4);
  const size_t fail_at = fail ? (size_t{data[3]} * 7) % (text.size() + 1) : text.size();
  fuzzentry::MemorySource src(text, pattern, fail ? fail_at : std::string::npos);
  kestova::LineReader reader(&src, chunk);
  std::vector<std::string> got;
  for (std::string_view line; reader.Next(&line);) {
    got.emplace_back(line);
    FUZZ_CHECK(got.size() <= text.size() + 1, "LineReader does not end");
  }
  std::string_view visible(text);
  if (fail) {  // only the lines that ended with '\n' before the failure point
    const size_t nl = visible.substr(0, fail_at).rfind('\n');
    visible = visible.substr(0, nl == std::string_view::npos ? 0 : nl);
  }
  FUZZ_CHECK(reader.status() == (fail ? EIO : 0), "read status wrong");
  const std::vector<std::string_view> want = fuzzentry::SplitLines(visible);
  FUZZ_CHECK(got == std::vector<std::string>(want.begin(), want.end()), "LineReader lines");
  for (std::string_view line : fuzzentry::SplitLines(text)) {
    const fuzzentry::ExpectedRecord w = fuzzentry::Classify(line);
    int64_t ts = 0;
    std::string msg_id, error, error2;
    kestova::RecordLine rec;
    FUZZ_CHECK(kestova::ParseRecordKey(line, &ts, &msg_id, &error) == w.valid, "key validity");
    FUZZ_CHECK(kestova::ParseRecordLine(line, &rec, &error2) == w.valid, "line validity");
    if (!w.valid) {
      FUZZ_CHECK(!error.empty() && !error2.empty() && error.size() < 1024 && error2.size() < 1024,
                 "broken line without a capped error text");
      continue;
    }
    FUZZ_CHECK(ts == w.ts && msg_id == w.msg_id && rec.ts == w.ts && rec.msg_id == w.msg_id, "key");
    FUZZ_CHECK(rec.body_error.empty() == w.body &&
                   (!w.body || (rec.topic == w.topic && rec.payload == w.payload)),
               "body");
  }
  return 0;
}
