// handleAckMessage and the resend chain it drives (every ACK live, every match fast) never throw;
// the store is refilled when it runs dry with keys easy to find (1/"a".. 3/"c").
#include "fuzz_entries.h"
#include "handlers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  static auto* store =
      new kestova::OutboxStore({.dir = fuzzentry::ScratchDir("ack"), .compress = false});
  static auto* resender = new kestova::Resender(
      *store, {0, kMax, 0, kMax, kMax},
      [](const std::string&, const std::vector<uint8_t>& p) { return !p.empty(); });
  [[maybe_unused]] static const bool connected = (resender->onConnected(), true);
  if (store->pendingCount() == 0) {
    store->flushAcks();  // keys still queued as acknowledged would be refused
    for (const char* p : {R"({"timestamp":1,"msg_id":"a"})", R"({"timestamp":2,"msg_id":"b"})",
                          R"({"timestamp":3,"msg_id":"c"})"}) {
      kestova::handleDataMessage(*store, {"fuzz/data", {p, p + std::strlen(p)}});
    }
  }
  kestova::handleAckMessage(*store, *resender, {"fuzz/data/ack", {data, data + size}});
  resender->tick();
  return 0;
}
