#include "service.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "handlers.h"
#include "mqtt_async_wrapper.h"
#include "outbox_store.h"
#include "p7.h"
#include "resender.h"
#include "status_reporter.h"
#include "topic_router.h"

namespace kestova {

namespace {

// Receive time-out in whole seconds: the configured milliseconds truncated, at least one second.
int receiveTimeoutSeconds(int32_t loop_timeout_ms) { return std::max(1, loop_timeout_ms / 1000); }

using TurnResult = mosquitto::Client::TurnResult;

// Pause before the first retry of a message that could not be stored; doubled per attempt.
constexpr std::chrono::milliseconds kFirstHoldPause{1000};
constexpr std::chrono::milliseconds kMaxHoldPause{30000};

// A data message that could not be stored yet (full disk, read-only file system). The client
// keeps it unacknowledged and hands it to the loop again, so the broker keeps it and everything
// behind it until the outbox can take it.
struct Hold {
  bool active = false;
  Env::SteadyTime since{};
  int attempts = 0;
};

// What one turn of the message loop works on.
struct Loop {
  const AppConfig& config;
  Env* env;
  OutboxStore& store;
  Resender& resender;
  StatusReporter& status;
  TopicRouter router;
  Env::SteadyTime last_maintenance;
  Hold hold;
};

// Stores a data message, making room on a full disk by deleting the oldest archive (the newest data
// wins, as at the directory limit). Returns whether the message is settled (stored, or refused for
// its content); false when it must be held and tried again.
bool captureData(Loop& loop, const mosquitto::msg_t& msg) {
  Hold& hold = loop.hold;
  if (hold.active) {
    // Free what can be freed before the next attempt: acknowledged lines and excess archives.
    try {
      loop.store.flushAcks();
      loop.store.cleanupRotated();
    } catch (const std::exception& e) {
      SKV_LOG(P7::kError, "Maintenance error: %s", e.what());
    }
  }
  DataOutcome out = handleDataMessage(loop.store, msg, &loop.resender);
  while (out.retry && out.error.code() == ENOSPC && loop.store.dropOldestArchive("disk full")) {
    out = handleDataMessage(loop.store, msg, &loop.resender);
  }
  const Env::SteadyTime now = loop.env->SteadyNow();
  if (out.stored) loop.status.Captured();
  if (out.rejected) loop.status.Rejected();
  if (out.retry) loop.status.WriteFailed();
  loop.status.SetHolding(out.retry);
  if (out.retry) {
    if (!hold.active) {
      SKV_LOG(P7::kError,
              "Outbox write failed: %s; holding message ts=%lld msg_id=%s until it can "
              "be stored",
              out.error.message().c_str(), static_cast<long long>(out.timestamp),
              out.msg_id.c_str());
      hold = Hold{true, now, 0};
    }
    ++hold.attempts;
    return false;
  }
  if (hold.active) {
    const auto held = std::chrono::duration_cast<std::chrono::seconds>(now - hold.since);
    SKV_LOG(P7::kInfo, "Capture resumed: ts=%lld msg_id=%s settled after %llds held, %d attempts",
            static_cast<long long>(out.timestamp), out.msg_id.c_str(),
            static_cast<long long>(held.count()), hold.attempts + 1);
    hold = Hold{};
  }
  return true;
}

// One turn of the message loop: the received message (nullptr after a receive time-out), the
// resend chain's deadline check, and the maintenance pass when it is due. Named like the routine it
// belongs to, because log lines carry the function name. Asks the client to hand the message in
// again later when it could not be stored.
TurnResult perform(Loop& loop, const mosquitto::msg_t* msg) {
  bool settled = true;
  if (msg != nullptr) {
    switch (loop.router.route(msg->topic)) {
      case TopicRouter::Route::kAck:
        loop.status.Acknowledged(handleAckMessage(loop.store, loop.resender, *msg));
        break;
      case TopicRouter::Route::kData:
        settled = captureData(loop, *msg);
        break;
      case TopicRouter::Route::kNone:
        break;
    }
  }

  loop.resender.tick();
  loop.status.Tick();

  const Env::SteadyTime now = loop.env->SteadyNow();
  const auto since = std::chrono::duration_cast<std::chrono::seconds>(now - loop.last_maintenance);
  if (since.count() >= loop.config.maintenance_interval) {
    try {
      loop.store.flushAcks();
      loop.store.rotateIfNeeded();
      loop.store.cleanupRotated();
      SKV_LOG(P7::kInfo, "Maintenance: %s", loop.store.statsString().c_str());
      loop.status.Report();
    } catch (const std::exception& e) {
      SKV_LOG(P7::kError, "Maintenance error: %s", e.what());
    }
    loop.last_maintenance = now;
  }
  if (settled) return TurnResult::Continue();
  const int doublings = std::min(loop.hold.attempts - 1, 5);
  return TurnResult::Retry(std::min(kMaxHoldPause, kFirstHoldPause * (1 << doublings)));
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
  TopicRouter router(config.topics);
  // The status documents name the session the broker knows.
  const char* session_id = std::getenv("KESTOVA_MQTT_CLIENT_ID");
  const std::string status_id = session_id != nullptr && *session_id ? session_id : client_id;
  StatusReporter::ArmLastWill(config.status, *client, status_id);
  client->Connect(false, nullptr, nullptr);
  for (const TopicRouter::Subscription& sub : router.subscriptions()) {
    client->Subscribe(sub.data, mosquitto::Qos::AtLeastOnce, false, nullptr, nullptr);
    // A filter ending in "#" delivers its own ACK topics.
    if (!sub.ack.empty()) {
      client->Subscribe(sub.ack, mosquitto::Qos::AtLeastOnce, false, nullptr, nullptr);
    }
    SKV_LOG(P7::kInfo, "Monitoring topic: %s (ack: %s)", sub.data.c_str(), sub.ack_for_log.c_str());
  }
  SKV_LOG(P7::kInfo, "Store stats: %s", store.statsString().c_str());

  // The resend chain publishes through the shared client; a refused message is reported to the
  // chain as failed, and one the client could only queue (it has not left) as queued, so that the
  // chain goes idle instead of counting the message as in flight.
  Resender::PublishFn publish = [client](
                                    const std::string& topic,
                                    const std::vector<uint8_t>& payload) -> Resender::Published {
    try {
      if (client->Send(topic, payload, mosquitto::Qos::AtLeastOnce, false) ==
          mosquitto::kSendQueued) {
        return Resender::Published::kQueued;
      }
      return true;
    } catch (const std::exception& e) {
      SKV_LOG(P7::kError, "Publish error: %s", e.what());
      return false;
    }
  };
  Resender resender(store, config.resend, std::move(publish), env);
  resender.onConnected();
  StatusReporter status(config.status, store, resender, *client, status_id, env);
  Loop loop{config, env, store, resender, status, std::move(router), env->SteadyNow(), {}};
  SKV_LOG(P7::kInfo, "Entering message loop...");
  status.Ready();

  // One turn per received message and per receive time-out. The client may run turns on its own
  // network thread while this one waits in Dispatch (never two at once).
  const int timeout_s = receiveTimeoutSeconds(config.loop_timeout_ms);
  long turns = 0;
  client->Dispatch(
      [&](const mosquitto::msg_t* msg) {
        const TurnResult result = perform(loop, msg);
        if (result.kind == TurnResult::Kind::kRetry) return result;  // the same turn, again
        if (max_turns > 0 && ++turns >= max_turns) return TurnResult::Stop();
        return result;
      },
      timeout_s);
}

}  // namespace kestova
