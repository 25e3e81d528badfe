// handleAckMessage, and through it the resend chain, must never throw. The chain takes nearly every
// ACK as live and every matching one as fast, so fuzzed ACKs keep driving flushAcks, getPending and
// the publish path; the store is refilled when it runs dry with keys easy to find (1/"a".. 3/"c").
#include "fuzz_entries.h"
#include "handlers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static auto* store =
      new kestova::OutboxStore({.dir = fuzzentry::ScratchDir("ack"), .compress = false});
  static auto* resender = [] {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    auto* r = new kestova::Resender(
        *store, {0, kMax, 0, kMax, kMax},
        [](const std::string&, const std::vector<uint8_t>& p) { return !p.empty(); });
    r->onConnected();
    return r;
  }();
  if (store->pendingCount() == 0) {
    store->flushAcks();  // keys still queued as acknowledged would be refused
    for (int i = 1; i <= 3; ++i) {
      const std::string id(1, static_cast<char>('a' + i - 1));
      const std::string p = "{\"timestamp\":" + std::to_string(i) + ",\"msg_id\":\"" + id + "\"}";
      store->store(reinterpret_cast<const uint8_t*>(p.data()), p.size(), i, id, "fuzz/data");
    }
  }
  kestova::handleAckMessage(*store, *resender, {"fuzz/data/ack", {data, data + size}});
  resender->tick();
  return 0;
}
