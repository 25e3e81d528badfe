// The reader's fast path against its full JSON reading; an odd first byte puts fields cut at 0xff
// (msg_id, payload, topic, ts, trailer) into a record line. (The writer against dump():
// record_format_test.)
#include <tuple>

#include "fuzz_entries.h"
#include "record_reader.h"

namespace {

namespace paths = kestova::record_paths;

auto Tie(const kestova::RecordLine& r) {
  return std::tie(r.ts, r.msg_id, r.topic, r.payload, r.body_error);
}

void CheckLine(std::string_view line) {
  int64_t fast_ts = 0, key_ts = 0, full_key_ts = 0;
  std::string_view fast_id, fast_topic, fast_payload;
  kestova::RecordLine full, got;
  std::string full_error, got_error, key_id, full_key_id, key_error, full_key_error;
  const bool ok = paths::ParseLineFull(line, &full, &full_error);
  FUZZ_CHECK(!paths::ParseCanonical(line, &fast_ts, &fast_id, &fast_topic, &fast_payload) ||
                 (ok && full.body_error.empty() &&
                  std::tie(fast_ts, fast_id, fast_topic, fast_payload) ==
                      std::tie(full.ts, full.msg_id, full.topic, full.payload)),
             "the fast path reads a line otherwise than the full parser");
  FUZZ_CHECK(kestova::ParseRecordLine(line, &got, &got_error) == ok &&
                 (ok ? Tie(got) == Tie(full) : got_error == full_error),
             "ParseRecordLine differs from the full reading");
  FUZZ_CHECK(kestova::ParseRecordKey(line, &key_ts, &key_id, &key_error) == ok &&
                 paths::ParseKeyFull(line, &full_key_ts, &full_key_id, &full_key_error) == ok &&
                 (ok ? std::tie(key_ts, key_id, full_key_ts, full_key_id) ==
                           std::tie(full.ts, full.msg_id, full.ts, full.msg_id)
                     : key_error == full_key_error),
             "ParseRecordKey differs from the full reading");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) == 0) {
    for (std::string_view line : fuzzentry::Split(rest)) CheckLine(line);
    return 0;
  }
  std::vector<std::string_view> f = fuzzentry::Split(rest, '\xff', true);
  f.resize(5);
  const std::string id(f[0]), payload(f[1]), topic(f[2]), ts_text(f[3]);
  // The stored payload text taken verbatim (any bytes), as another writer might have left it.
  CheckLine("{\"msg_id\":\"" + id + "\",\"payload\":\"" + payload + "\",\"topic\":\"" + topic +
            "\",\"ts\":" + ts_text + "}" + std::string(f[4]));
  return 0;
}
