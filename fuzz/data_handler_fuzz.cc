// handleDataMessage never throws: a raw topic of (first byte & 15) bytes, then the payload; every
// 4096 inputs all is acknowledged and compacted, as the loop's maintenance does.
#include "fuzz_entries.h"
#include "handlers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned long runs = 0;
  // 64 KB files, 512 KB in all, no rotation cooldown
  static auto* store = new kestova::OutboxStore({fuzzentry::ScratchDir("data"), false, 64, 512, 0});
  kestova::mosquitto::msg_t msg{"fuzz/data", {}};
  const size_t n = size == 0 ? 0 : std::min<size_t>(data[0] & 0x0f, size - 1);
  if (n > 0) msg.topic.assign(reinterpret_cast<const char*>(data + 1), n);
  msg.payload.assign(data + std::min(size, 1 + n), data + size);
  kestova::handleDataMessage(*store, msg);
  if (++runs % 4096 == 0) {
    for (const kestova::AckKey& key : store->known()) store->ackMessage(key.timestamp, key.msg_id);
    store->flushAcks();
    store->rotateIfNeeded();
    store->cleanupRotated();
  }
  return 0;
}
