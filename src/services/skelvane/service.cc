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

// What one turn of the message loop works on.
struct Loop {
  const AppConfig& config;
  Env* env;
  OutboxStore& store;
  Resender& resender;
  std::unordered_set<std::string> data_topics;
  std::unordered_set<std::string> ack_topics;
  Env::SteadyTime last_maintenance;
};

// One turn of the message loop: the received message (nullptr after a receive time-out), the
// resend chain's deadline check, and the maintenance pass when it is due. Named like the routine it
// belongs to, because log lines carry the function name.
void perform(Loop& loop, const mosquitto::msg_t* msg) {
  if (msg != nullptr) {
    if (loop.ack_topics.count(msg->topic) != 0) {
      handleAckMessage(loop.store, loop.resender, *msg);
    } else if (loop.data_topics.count(msg->topic) != 0) {
      handleDataMessage(loop.store, *msg);
    }
  }

  loop.resender.tick();

  const Env::SteadyTime now = loop.env->SteadyNow();
  const auto since = std::chrono::duration_cast<std::chrono::seconds>(now - loop.last_maintenance);
  if (since.count() >= loop.config.maintenance_interval) {
    try {
      loop.store.flushAcks();
      loop.store.rotateIfNeeded();
      loop.store.cleanupRotated();
      SKV_LOG(P7::kInfo, "Maintenance: %s", loop.store.statsString().c_str());
    } catch (const std::exception& e) {
      SKV_LOG(P7::kError, "Maintenance error: %s", e.what());
    }
    loop.last_maintenance = now;
  }
}

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
  Loop loop{config,          env, store, resender, std::move(data_topics), std::move(ack_topics),
            env->SteadyNow()};
  SKV_LOG(P7::kInfo, "Entering message loop...");

  // One turn per received message and per receive time-out. The client may run turns on its own
  // network thread while this one waits in Dispatch (never two at once).
  const int timeout_s = receiveTimeoutSeconds(config.loop_timeout_ms);
  long turns = 0;
  client->Dispatch(
      [&](const mosquitto::msg_t* msg) {
        perform(loop, msg);
        return max_turns <= 0 || ++turns < max_turns;
      },
      timeout_s);
}

}  // namespace kestova
