// The MQTT client seam: what the service loop talks to. MqttAsyncWrapper (mqtt_async_wrapper.h) is
// the production implementation; unit tests of the loop provide their own. Deliberately free of
// the MQTT library's headers.
//
// Threads: calls come from the thread that owns the client, or from inside a turn that Dispatch()
// runs. A turn may run on another thread (the MQTT library's) while the owner waits in Dispatch();
// the rule is one turn at a time, in order, each seeing everything earlier turns and the owner did.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestova::mosquitto {

enum class Qos : int {
  AtMostOnce = 0,
  AtLeastOnce = 1,
  ExactlyOnce = 2,
};

// One received message.
struct msg_t {
  std::string topic;
  std::vector<uint8_t> payload;
  uint8_t flags = 0;  // bit 0: retained; bit 1: duplicate delivery. Carried along, not interpreted.
};

// Completion callbacks of Connect() and Subscribe(). Part of the interface's shape only: the
// production client never calls them, and their data types stay opaque.
struct SuccessData;
struct FailureData;
using SuccessCallback = void (*)(void* context, SuccessData* response);
using FailureCallback = void (*)(void* context, FailureData* response);

// Send() result: the message could only be queued, to be handed to the library once the message
// the client holds is released. It has not left yet; a failure then is logged, not reported.
constexpr int kSendQueued = 1;

class Client {
 public:
  virtual ~Client() = default;
  virtual int Connect(bool flag, SuccessCallback on_success = nullptr,
                      FailureCallback on_failure = nullptr) = 0;
  virtual int Subscribe(const std::string& topic, Qos qos, bool flag,
                        SuccessCallback on_success = nullptr,
                        FailureCallback on_failure = nullptr) = 0;
  virtual msg_t Receive(const std::string& filter, int timeout_s) = 0;
  // 0 when the message was handed over for delivery, kSendQueued (see there); throws
  // std::runtime_error when it was not accepted.
  virtual int Send(const std::string& topic, const std::vector<uint8_t>& payload, Qos qos,
                   bool flag) = 0;
  // The message the broker publishes for this client when the connection ends without a
  // DISCONNECT (the process died, the network went away), QoS 1. Takes effect for connections
  // made after the call: call it before Connect(). The default does nothing.
  virtual void SetWill(const std::string& /*topic*/, const std::vector<uint8_t>& /*payload*/,
                       bool /*retained*/) {}

  // What a turn of the caller's loop asks for next.
  struct TurnResult {
    enum class Kind { kContinue, kStop, kRetry };
    Kind kind = Kind::kContinue;
    // kRetry: the message was not handled (for example it could not be stored yet). It is not
    // acknowledged; the same message is handed to the turn again after this pause, and no other
    // message and no time-out turn runs meanwhile (the broker keeps everything behind it).
    std::chrono::milliseconds retry_after{0};

    static TurnResult Continue() { return {}; }
    static TurnResult Stop() { return {Kind::kStop, {}}; }
    static TurnResult Retry(std::chrono::milliseconds after) { return {Kind::kRetry, after}; }
  };
  // One turn of the caller's loop: `msg` is a received message, or nullptr when none came within
  // the time-out (a kRetry answer to a time-out turn counts as kContinue).
  using TurnFn = std::function<TurnResult(const msg_t* msg)>;
  // Runs `turn` once per received message and once after every `timeout_s` seconds without one,
  // until a turn returns kStop; an exception out of a turn ends Dispatch and passes to its caller.
  // One turn at a time, in order: turns never overlap, and each sees everything earlier turns did.
  // This default runs them on the calling thread over Receive(); implementations may run them on
  // another thread while the caller waits.
  virtual void Dispatch(const TurnFn& turn, int timeout_s);
};

}  // namespace kestova::mosquitto
