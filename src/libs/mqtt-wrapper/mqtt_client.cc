#include "mqtt_client.h"

#include <stdexcept>
#include <thread>

namespace kestova::mosquitto {

void Client::Dispatch(const TurnFn& turn, int timeout_s) {
  msg_t msg;
  while (true) {
    bool received = true;
    try {
      msg = Receive("/#", timeout_s);
    } catch (const std::runtime_error&) {
      received = false;  // the time-out
    }
    TurnResult result = turn(received ? &msg : nullptr);
    // Not calling Receive() again is what keeps the message unacknowledged meanwhile.
    while (received && result.kind == TurnResult::Kind::kRetry) {
      std::this_thread::sleep_for(result.retry_after);
      result = turn(&msg);
    }
    if (result.kind == TurnResult::Kind::kStop) return;
  }
}

}  // namespace kestova::mosquitto
