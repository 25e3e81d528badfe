// The Paho calls of MqttAsyncWrapper that carry data, as Hub jobs: publish and subscribe.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "client_core.h"
#include "mqtt_hub.h"

namespace kestova::mosquitto::internal {

// A publish; callback-safe. Counts QoS 1/2 publishes in Core::unacked_publishes until Paho reports
// them delivered. Borrows the caller's topic and payload while the caller waits (Paho copies them
// into its own command); copies them only when the call may outlive the wait (Own()).
class SendJob final : public Job {
 public:
  SendJob(Core* c, const std::string& topic, const std::vector<uint8_t>& payload, int qos,
          bool retained)
      : Job(c, true, "publish to " + topic),
        core_(c),
        topic_(&topic),
        payload_(&payload),
        qos_(qos),
        retained_(retained) {}

  int Run() override;
  void Own() override;

 private:
  void Count(int delta);

  Core* const core_;
  const std::string* topic_;
  const std::vector<uint8_t>* payload_;
  std::string own_topic_;
  std::vector<uint8_t> own_payload_;
  int qos_;
  bool retained_;
};

// One SUBSCRIBE for `subs` (topic, QoS) on connection `epoch`; not callback-safe. The broker's
// answer marks each topic confirmed for that connection (Core::confirmed), or logs its refusal.
class SubscribeJob final : public Job {
 public:
  SubscribeJob(Core* c, uint64_t epoch, std::vector<std::pair<std::string, int>> subs)
      : Job(c, false, "subscribe"), core_(c), epoch_(epoch), subs_(std::move(subs)) {}

  int Run() override;
  void Report(int rc) override;

 private:
  Core* const core_;
  uint64_t epoch_;
  std::vector<std::pair<std::string, int>> subs_;
};

}  // namespace kestova::mosquitto::internal
