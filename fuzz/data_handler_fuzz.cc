// handleDataMessage must never throw. The first byte's low four bits give the topic length n, the
// next n bytes are the topic (raw, so invalid UTF-8 reaches the writer), the rest is the payload.
// Every 4096 inputs everything is acknowledged and compacted, as the loop's maintenance does.
#include "fuzz_entries.h"
#include "handlers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned long runs = 0;
  static auto* store = new kestova::OutboxStore({.dir = fuzzentry::ScratchDir("data"),
                                                 .compress = false,
                                                 .max_file_kb = 64,
                                                 .max_dir_kb = 512,
                                                 .rotation_cooldown = 0});
  kestova::mosquitto::msg_t msg;
  msg.topic = "fuzz/data";
  if (size > 0) {
    const size_t n = std::min<size_t>(data[0] & 0x0f, size - 1);
    if (n > 0) msg.topic.assign(reinterpret_cast<const char*>(data + 1), n);
    data += 1 + n;
    size -= 1 + n;
  }
  msg.payload.assign(data, data + size);
  kestova::handleDataMessage(*store, msg);
  if (++runs % 4096 == 0) {
    for (const kestova::AckKey& key : store->known()) store->ackMessage(key.timestamp, key.msg_id);
    store->flushAcks();
    store->rotateIfNeeded();
    store->cleanupRotated();
  }
  return 0;
}
