// A store over an arbitrary active file, acknowledging the keys the first byte selects (and one in
// no line): the index, the pending messages before and after the flush, and a restart must follow
// the valid lines, and the flush must keep exactly the unacknowledged ones, byte for byte, in
// order.
#include <memory>
#include <set>

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
  std::vector<std::pair<std::string_view, fuzzentry::ExpectedRecord>> lines;
  std::set<AckKey> keys, acked, kept;
  for (std::string_view l : fuzzentry::Split(text)) {
    lines.emplace_back(l, fuzzentry::Classify(l));
    if (lines.back().second.valid)
      keys.insert({lines.back().second.ts, lines.back().second.msg_id});
  }
  size_t i = 0;
  for (const AckKey& k : keys) ((data[0] >> (i++ % 8)) & 1 ? acked : kept).insert(k);
  acked.insert({std::numeric_limits<int64_t>::min(), "\x01no-such-line"});
  const kestova::OutboxStoreConfig config{.dir = dir, .compress = false, .rotation_cooldown = 0};
  auto store = std::make_unique<kestova::OutboxStore>(config);
  FUZZ_CHECK(store->known() == keys, "index of the valid lines");
  for (const AckKey& k : acked) store->ackMessage(k.timestamp, k.msg_id);
  const auto check_pending = [&](const char* when) {
    std::vector<const fuzzentry::ExpectedRecord*> want;
    for (const auto& [bytes, rec] : lines) {
      if (rec.valid && rec.body && !acked.count({rec.ts, rec.msg_id})) want.push_back(&rec);
    }
    const std::vector<kestova::PendingMessage> got = store->getPending(1 << 30);
    FUZZ_CHECK(got.size() == want.size(), when);
    for (size_t k = 0; k < want.size(); ++k) {
      FUZZ_CHECK(got[k].timestamp == want[k]->ts && got[k].msg_id == want[k]->msg_id &&
                     got[k].topic == want[k]->topic &&
                     got[k].payload == base64_decode(want[k]->payload),
                 when);
    }
  };
  check_pending("pending retrieval before the flush");
  std::string want_file;
  int32_t removed = 0;
  for (const auto& [bytes, rec] : lines) {
    if (rec.valid && !acked.count({rec.ts, rec.msg_id})) {
      want_file.append(bytes).push_back('\n');
    } else {
      ++removed;
    }
  }
  const int32_t flushed = store->flushAcks();
  const std::string after = fuzzentry::ReadWhole(active).value_or("(gone)");
  FUZZ_CHECK(after == want_file, "flush lost, changed or kept a line it should not");
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
