#include "service.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "handlers.h"
#include "outbox_store.h"
#include "p7.h"
#include "resender.h"

namespace kestova {

namespace {

// Receive time-out in whole seconds: the configured milliseconds truncated, at least one second.
int receiveTimeoutSeconds(int32_t loop_timeout_ms) { return std::max(1, loop_timeout_ms / 1000); }

}  // namespace

void perform(const AppConfig& config) {
  perform(
      config,
      [](const std::string& client_id) -> std::shared_ptr<mosquitto::Client> {
        return std::make_shared<mosquitto::MqttAsyncWrapper>(client_id);
      },
      Env::Default(), 0);
}

void perform(const AppConfig& config, const ClientFactory& factory, Env* env, long max_turns) {
  // Construction order matters: the store is complete (directory, index, restored archive) before
  // any MQTT traffic can arrive; destruction runs in reverse, so the client goes before the store.
  OutboxStore store(config.storage, env);
  const std::string client_id = fmt::format("skelvane_{}", getpid());
  std::shared_ptr<mosquitto::Client> client = factory(client_id);
  std::unordered_set<std::string> data_topics;
  std::unordered_set<std::string> ack_topics;

  client->Connect(false, nullptr, nullptr);
  for (const std::string& topic : config.topics) {
    const std::string ack_topic = topic + "/ack";
    data_topics.insert(topic);
    ack_topics.insert(ack_topic);
    client->Subscribe(topic, mosquitto::Qos::AtLeastOnce, false, nullptr, nullptr);
    client->Subscribe(ack_topic, mosquitto::Qos::AtLeastOnce, false, nullptr, nullptr);
    SKV_LOG(P7::kInfo, "Monitoring topic: %s (ack: %s)", topic.c_str(), ack_topic.c_str());
  }
  SKV_LOG(P7::kInfo, "Store stats: %s", store.statsString().c_str());

  // The resend chain publishes through the shared client; a refused message is reported to the
  // chain as false so it goes idle instead of counting the message as in flight.
  Resender::PublishFn publish = [client](const std::string& topic,
                                         const std::vector<uint8_t>& payload) -> bool {
    try {
      client->Send(topic, payload, mosquitto::Qos::AtLeastOnce, false);
      return true;
    } catch (const std::exception& e) {
      SKV_LOG(P7::kError, "Publish error: %s", e.what());
      return false;
    }
  };
  Resender resender(store, config.resend, std::move(publish), env);
  resender.onConnected();
  Env::SteadyTime last_maintenance = env->SteadyNow();
  SKV_LOG(P7::kInfo, "Entering message loop...");

  const int timeout_s = receiveTimeoutSeconds(config.loop_timeout_ms);
  mosquitto::msg_t msg;
  for (long turn = 0; max_turns <= 0 || turn < max_turns; ++turn) {
    msg.topic.clear();
    msg.payload.clear();
    try {
      msg = client->Receive("/#", timeout_s);
    } catch (const std::runtime_error&) {
      // No message this turn; the per-turn work below still runs.
    }

    if (ack_topics.count(msg.topic) != 0) {
      handleAckMessage(store, resender, msg);
    } else if (data_topics.count(msg.topic) != 0) {
      handleDataMessage(store, msg);
    }

    resender.tick();

    const Env::SteadyTime now = env->SteadyNow();
    const auto since = std::chrono::duration_cast<std::chrono::seconds>(now - last_maintenance);
    if (since.count() >= config.maintenance_interval) {
      try {
        store.flushAcks();
        store.rotateIfNeeded();
        store.cleanupRotated();
        SKV_LOG(P7::kInfo, "Maintenance: %s", store.statsString().c_str());
      } catch (const std::exception& e) {
        SKV_LOG(P7::kError, "Maintenance error: %s", e.what());
      }
      last_maintenance = now;
    }
  }
}

}  // namespace kestova
