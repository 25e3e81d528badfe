// Fuzzes handleDataMessage with arbitrary topics and payloads against a real store.
//
// Input layout: the first byte's low four bits give the topic length n (0..15), the next n bytes
// are the topic (raw bytes, so invalid UTF-8 reaches the store's serialisation), the rest is the
// payload. The store lives in one directory under /tmp for the whole run; a maintenance pass every
// few thousand inputs keeps its files small, as the service's loop does.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "handlers.h"
#include "p7.h"

namespace {

// The directory is removed when the run ends normally; after a crash it is kept for the
// post-mortem.
void RemoveAtExit(const char* dir) {
  static std::string path;
  path = dir;
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  });
}

kestova::OutboxStore& Store() {
  static kestova::OutboxStore* store = [] {
    P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null");
    char dir[] = "/tmp/skelvane-fuzz-data-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    RemoveAtExit(dir);
    kestova::OutboxStoreConfig config;
    config.dir = dir;
    config.compress = false;
    config.max_file_kb = 64;
    config.max_dir_kb = 512;
    config.rotation_cooldown = 0;
    return new kestova::OutboxStore(config);
  }();
  return *store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned long runs = 0;
  kestova::OutboxStore& store = Store();
  kestova::mosquitto::msg_t msg;
  msg.topic = "fuzz/data";
  if (size > 0) {
    const size_t n = std::min<size_t>(data[0] & 0x0f, size - 1);
    if (n > 0) msg.topic.assign(reinterpret_cast<const char*>(data + 1), n);
    data += 1 + n;
    size -= 1 + n;
  }
  msg.payload.assign(data, data + size);
  kestova::handleDataMessage(store, msg);

  if (++runs % 4096 == 0) {
    // Acknowledge everything held so far, then compact and trim like the maintenance pass.
    for (const kestova::AckKey& key : store.known()) store.ackMessage(key.timestamp, key.msg_id);
    store.flushAcks();
    store.rotateIfNeeded();
    store.cleanupRotated();
  }
  return 0;
}
