// Per-client state of MqttAsyncWrapper, shared with Paho's callbacks (their context pointer), the
// client's worker thread and the turns Dispatch() runs. It outlives the wrapper object when
// shutdown has to be finished in the background (the worker keeps it alive).
#pragma once

#include <MQTTAsync.h>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "mqtt_client.h"
#include "mqtt_hub.h"
#include "mqtt_options.h"

namespace kestova::mosquitto::internal {

// Automatic reconnect: first after about kMinRetryS, doubling up to kMaxRetryS.
constexpr int kMinRetryS = 1;
constexpr int kMaxRetryS = 30;

struct Core : JobOwner {
  MqttOptions opts;
  std::string brokers;  // all URIs, for log lines
  MQTTAsync handle = nullptr;
  std::vector<char*> uri_ptrs;
  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  MQTTAsync_connectOptions conn = MQTTAsync_connectOptions_initializer;
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  std::string will_topic;  // what `will` points into
  std::vector<uint8_t> will_payload;

  // Guarded by Hub::mu.
  bool connect_requested = false;
  bool connected = false;
  bool connect_failure_logged = false;
  bool tls_error_logged = false;
  std::string connected_server;  // from the connect success data, for the next log line
  uint64_t epoch = 0;            // +1 per established connection
  std::vector<std::pair<std::string, int>> subs;
  std::set<std::string> confirmed;  // subscriptions acknowledged on the current connection
  std::optional<msg_t> pending;     // handed over by the arrival callback, not yet received
  uint64_t delivered = 0;           // sequence number of the last message handed over
  uint64_t taken = 0;               // ... of the last message Receive() returned
  uint64_t released = 0;            // callbacks of messages up to this one may return
  bool shutting_down = false;
  int unacked_publishes = 0;      // QoS 1/2 publishes of this connection not yet acknowledged
  bool severed = false;           // the connection was cut under an unreceived message
  int unhandled_at_shutdown = 0;  // messages that arrived but were never received
  bool disconnected = false;
  std::condition_variable recv_cv;  // Receive() and Dispatch() wait here

  // Dispatch() state, guarded by Hub::mu.
  const Client::TurnFn* dispatch_turn = nullptr;  // set while the caller waits in Dispatch()
  bool turn_running = false;                      // a turn runs, on either thread
  Clock::time_point next_hold_ping{};             // a held message's next keep-alive ping
  bool dispatch_end = false;                      // a turn returned kStop or threw
  bool caller_waits_for_turn = false;             // Dispatch() waits for a turn on Paho's thread
  std::exception_ptr dispatch_error;              // thrown by a turn on Paho's thread
  Clock::time_point last_turn{};  // when the last turn ended (the time-out counts from it)

  // The configured URI Paho reports as "host:port", for log lines.
  std::string UriFor(const char* server) const {
    if (server == nullptr) return brokers;
    for (const auto& u : opts.uris) {
      size_t sep = u.find("://");
      if (sep != std::string::npos && u.compare(sep + 3, std::string::npos, server) == 0) return u;
    }
    return server;
  }
};

}  // namespace kestova::mosquitto::internal
