#include "paho_jobs.h"

#include <algorithm>
#include <mutex>

#include "p7.h"

namespace kestova::mosquitto::internal {
namespace {

constexpr int kSubackFailure = 0x80;

struct SubscribeContext {
  Core* core;
  uint64_t epoch;
  std::vector<std::string> topics;
};

void OnSubscribed(void* context, MQTTAsync_successData* response) {
  auto* ctx = static_cast<SubscribeContext*>(context);
  std::vector<std::string> refused;
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    Core* c = ctx->core;
    for (size_t i = 0; i < ctx->topics.size(); ++i) {
      int granted = 0;
      if (response != nullptr) {
        granted = ctx->topics.size() == 1 ? response->alt.qos : response->alt.qosList[i];
      }
      if (granted == kSubackFailure) {
        refused.push_back(ctx->topics[i]);
      } else if (ctx->epoch == c->epoch) {
        c->confirmed.insert(ctx->topics[i]);
      }
    }
    hub.cv.notify_all();
  }
  for (const auto& t : refused) {
    SKV_LOG(P7::kError, "MQTT broker refused the subscription to %s", t.c_str());
  }
  delete ctx;
}

void OnSubscribeFailed(void* context, MQTTAsync_failureData* response) {
  auto* ctx = static_cast<SubscribeContext*>(context);
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    if (ctx->core->shutting_down) {  // cut short by our own disconnect
      delete ctx;
      return;
    }
  }
  std::string topics;
  for (const auto& t : ctx->topics) topics += (topics.empty() ? "" : ", ") + t;
  SKV_LOG(P7::kError,
          "MQTT subscribe to %s failed: %s (code %d); it is retried on the next reconnect",
          topics.c_str(), response && response->message ? response->message : "no reason given",
          response ? response->code : 0);
  delete ctx;
}

}  // namespace

int SendJob::Run() {
  MQTTAsync_message m = MQTTAsync_message_initializer;
  m.payload = const_cast<uint8_t*>(payload_->data());
  m.payloadlen = static_cast<int>(payload_->size());
  m.qos = qos_;
  m.retained = retained_ ? 1 : 0;
  // Counted before the call: the acknowledgement may come back before it returns.
  if (qos_ > 0) Count(+1);
  int rc = MQTTAsync_sendMessage(core_->handle, topic_->c_str(), &m, nullptr);
  if (qos_ > 0 && rc != MQTTASYNC_SUCCESS) Count(-1);
  return rc;
}

void SendJob::Count(int delta) {
  Hub& hub = Hub::Get();
  std::lock_guard lk(hub.mu);
  core_->unacked_publishes = std::max(0, core_->unacked_publishes + delta);
  hub.cv.notify_all();
}

void SendJob::Own() {
  if (topic_ == &own_topic_) return;
  own_topic_ = *topic_;
  own_payload_ = *payload_;
  topic_ = &own_topic_;
  payload_ = &own_payload_;
}

int SubscribeJob::Run() {
  std::vector<char*> topics;
  std::vector<int> qos;
  auto* ctx = new SubscribeContext{core_, epoch_, {}};
  for (auto& [topic, q] : subs_) {
    topics.push_back(topic.data());
    qos.push_back(q);
    ctx->topics.push_back(topic);
  }
  MQTTAsync_responseOptions ro = MQTTAsync_responseOptions_initializer;
  ro.onSuccess = OnSubscribed;
  ro.onFailure = OnSubscribeFailed;
  ro.context = ctx;
  int rc = MQTTAsync_subscribeMany(core_->handle, static_cast<int>(topics.size()), topics.data(),
                                   qos.data(), &ro);
  if (rc != MQTTASYNC_SUCCESS) delete ctx;
  return rc;
}

void SubscribeJob::Report(int rc) {
  // Lost the connection again before the call: the next connect resubscribes everything.
  if (rc == MQTTASYNC_DISCONNECTED) return;
  if (rc != MQTTASYNC_SUCCESS) {
    SKV_LOG(P7::kError, "MQTT subscribe could not be sent: %s; it is retried on the next reconnect",
            PahoText(rc));
  }
}

}  // namespace kestova::mosquitto::internal
