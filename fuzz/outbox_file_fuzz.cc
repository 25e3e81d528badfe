// A store over any active file, acknowledging the keys the first byte picks (and one in no line):
// index, pending and restart follow the valid lines; the flush keeps the rest byte for byte.
#include <memory>
#include <set>
#include <tuple>

#include "base64.h"
#include "fuzz_entries.h"
#include "outbox_store.h"
#include "record_format.h"

using kestova::AckKey;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::string& dir = fuzzentry::ScratchDir("outbox");
  const std::string active = kestova::ActiveFilePath(dir);
  fuzzentry::WriteWhole(active, text);
  std::vector<fuzzentry::ExpectedRecord> lines;
  std::set<AckKey> keys, acked, kept;
  for (std::string_view l : fuzzentry::Split(text)) {
    const fuzzentry::ExpectedRecord& r = lines.emplace_back(fuzzentry::Classify(l));
    if (r.valid) keys.insert({r.ts, r.msg_id});
  }
  size_t i = 0;
  for (const AckKey& k : keys) ((data[0] >> (i++ % 8)) & 1 ? acked : kept).insert(k);
  acked.insert({std::numeric_limits<int64_t>::min(), "\x01no-such-line"});
  const kestova::OutboxStoreConfig config{.dir = dir, .compress = false, .rotation_cooldown = 0};
  auto store = std::make_unique<kestova::OutboxStore>(config);
  FUZZ_CHECK(store->known() == keys, "index of the valid lines");
  for (const AckKey& k : acked) store->ackMessage(k.timestamp, k.msg_id);
  const auto check_pending = [&](const char* when) {
    std::vector<std::tuple<int64_t, std::string, std::string, std::vector<uint8_t>>> want, got;
    for (const auto& r : lines)
      if (r.valid && r.body && !acked.count({r.ts, r.msg_id}))
        want.emplace_back(r.ts, r.msg_id, r.topic, base64_decode(r.payload));
    for (auto& m : store->getPending(1 << 30))
      got.emplace_back(m.timestamp, m.msg_id, m.topic, m.payload);
    FUZZ_CHECK(got == want, when);
  };
  check_pending("pending retrieval before the flush");
  std::string want_file;
  for (const auto& r : lines)
    if (r.valid && !acked.count({r.ts, r.msg_id})) want_file.append(r.line).push_back('\n');
  const auto removed = std::ssize(lines) - std::count(want_file.begin(), want_file.end(), '\n');
  const int32_t flushed = store->flushAcks();
  FUZZ_CHECK(fuzzentry::ReadWhole(active) == want_file,
             "flush lost, changed or kept a line it should not");
  FUZZ_CHECK(flushed == removed, "flush count differs from the lines removed");
  FUZZ_CHECK(store->snapshot().ack_queue.empty(), "queue left after a committed flush");
  FUZZ_CHECK(!fuzzentry::ReadWhole(kestova::TempFilePath(active)), "flush left its temp file");
  FUZZ_CHECK(store->known() == kept, "index after the flush differs from the kept keys");
  check_pending("pending retrieval after the flush");
  store.reset();  // a restart over the flushed file
  store = std::make_unique<kestova::OutboxStore>(config);
  FUZZ_CHECK(store->known() == kept, "rebuilt index differs from the kept keys");
  std::filesystem::remove(active);
  return 0;
}
