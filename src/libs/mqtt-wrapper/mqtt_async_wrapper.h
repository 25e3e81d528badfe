// MQTT client layer over the Eclipse Paho asynchronous C client (MQTTAsync).
//
// Contract (what the service relies on):
//   - All calls come from one thread (the caller's "main" thread). Paho's own threads never call
//     back into the caller's code.
//   - Connect() starts connecting and returns at once; afterwards the client keeps itself connected
//     (automatic reconnect with bounded back-off) and restores every subscription made so far after
//     every (re)connect.
//   - Receive() returns the next message of any subscribed topic, or throws std::runtime_error after
//     about timeout_s seconds without one.
//   - Delivery guarantee for received QoS 1 messages: the broker's PUBACK goes out only once the
//     caller has finished with the message, signalled by its next Receive() call (or the destructor).
//     So a message the broker counts as delivered has already been handled (stored) by the caller.
//   - Send() never waits on Paho's callback thread; it throws std::runtime_error when the message was
//     not accepted for delivery (not connected, Paho error), with the reason in the message.
//   - Destruction disconnects cleanly within a bounded time.
//
// Environment (read at construction):
//   KESTOVA_MQTT_URI         broker URI(s), comma-separated for failover; default tcp://127.0.0.1:1883;
//                            ssl:// URIs use TLS with server certificate and host-name verification
//   KESTOVA_MQTT_USERNAME, KESTOVA_MQTT_PASSWORD   credentials (never logged)
//   KESTOVA_MQTT_CA_FILE, KESTOVA_MQTT_CERT_FILE, KESTOVA_MQTT_KEY_FILE   TLS files
//   KESTOVA_MQTT_KEEPALIVE   keep-alive in seconds (1..65535), default 30
//   KESTOVA_MQTT_CLIENT_ID   replaces the client id and turns on a persistent session (clean session
//                            off), so messages queued by the broker during a restart are delivered
#pragma once

#include <MQTTAsync.h>

#include <cstdint>
#include <memory>
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

using SuccessCallback = void (*)(void* context, MQTTAsync_successData* response);
using FailureCallback = void (*)(void* context, MQTTAsync_failureData* response);

// The seam the service loop talks to; MqttAsyncWrapper is the production implementation and unit tests
// of the loop provide their own.
class Client {
 public:
  virtual ~Client() = default;
  virtual int Connect(bool flag, SuccessCallback on_success = nullptr,
                      FailureCallback on_failure = nullptr) = 0;
  virtual int Subscribe(const std::string& topic, Qos qos, bool flag,
                        SuccessCallback on_success = nullptr,
                        FailureCallback on_failure = nullptr) = 0;
  virtual msg_t Receive(const std::string& filter, int timeout_s) = 0;
  virtual int Send(const std::string& topic, const std::vector<uint8_t>& payload, Qos qos,
                   bool flag) = 0;
};

class MqttAsyncWrapper final : public Client {
 public:
  // Throws std::runtime_error when the environment holds an invalid value (one clear log line says
  // which) or Paho cannot create the client.
  explicit MqttAsyncWrapper(const std::string& client_id);
  ~MqttAsyncWrapper() override;
  MqttAsyncWrapper(const MqttAsyncWrapper&) = delete;
  MqttAsyncWrapper& operator=(const MqttAsyncWrapper&) = delete;

  int Connect(bool flag, SuccessCallback on_success = nullptr,
              FailureCallback on_failure = nullptr) override;
  int Subscribe(const std::string& topic, Qos qos, bool flag, SuccessCallback on_success = nullptr,
                FailureCallback on_failure = nullptr) override;
  msg_t Receive(const std::string& filter, int timeout_s) override;
  int Send(const std::string& topic, const std::vector<uint8_t>& payload, Qos qos,
           bool flag) override;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestova::mosquitto
