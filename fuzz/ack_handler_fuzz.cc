// Fuzzes handleAckMessage, and through it the resend chain, against a real store.
//
// The chain is configured so that almost every accepted acknowledgement is live and every matching
// one is fast (no cooldown, no grace period), so fuzzed ACKs keep driving flushAcks, getPending and
// the publish path. The store is refilled with a few messages whenever it runs dry; their keys
// (timestamps 1..3, ids "a".."c") are small enough for the fuzzer to find.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

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

struct Rig {
  Rig() {
    P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null");
    char dir[] = "/tmp/skelvane-fuzz-ack-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    RemoveAtExit(dir);
    kestova::OutboxStoreConfig config;
    config.dir = dir;
    config.compress = false;
    store = new kestova::OutboxStore(config);
    kestova::ResendConfig rc;
    rc.cooldown = 0;
    rc.grace_period = 0;
    rc.stale_threshold = std::numeric_limits<int32_t>::max();
    rc.live_ack_threshold = std::numeric_limits<int32_t>::max();
    rc.fast_ack_threshold = std::numeric_limits<int32_t>::max();
    resender = new kestova::Resender(
        *store, rc, [](const std::string&, const std::vector<uint8_t>& p) { return !p.empty(); });
    resender->onConnected();
  }
  void Refill() {
    if (store->pendingCount() > 0) return;
    store->flushAcks();  // keys still queued as acknowledged would be refused
    static const char* const kIds[] = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) {
      const std::string payload = std::string("{\"timestamp\":") + std::to_string(i + 1) +
                                  ",\"msg_id\":\"" + kIds[i] + "\"}";
      store->store(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), i + 1, kIds[i],
                   "fuzz/data");
    }
  }
  kestova::OutboxStore* store;
  kestova::Resender* resender;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = new Rig();
  rig->Refill();
  kestova::mosquitto::msg_t msg;
  msg.topic = "fuzz/data/ack";
  msg.payload.assign(data, data + size);
  kestova::handleAckMessage(*rig->store, *rig->resender, msg);
  rig->resender->tick();
  return 0;
}
