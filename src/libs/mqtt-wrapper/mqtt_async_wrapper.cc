#include "mqtt_async_wrapper.h"

#include <MQTTAsync.h>
#include <fmt/format.h>

#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#include "client_core.h"
#include "dispatch_turns.h"
#include "mqtt_hub.h"
#include "mqtt_options.h"
#include "p7.h"
#include "paho_callbacks.h"
#include "paho_jobs.h"
#include "topic_validation.h"

namespace kestova::mosquitto {
namespace {

using internal::Clock;
using internal::Core;
using internal::FnJob;
using internal::Hub;
using internal::PahoText;

constexpr int kConnectTimeoutS = 10;
constexpr auto kFlushWait = std::chrono::seconds(2);  // for our publishes' acknowledgements
constexpr int kDisconnectTimeoutMs = 500;
// Paho looks at a pending disconnect's timeout only on its 3 s housekeeping tick.
constexpr auto kDisconnectWait = std::chrono::seconds(4);
constexpr auto kWorkerJoinWait = std::chrono::seconds(3);
constexpr size_t kMaxPayload = 268435455;  // largest MQTT remaining length

}  // namespace

struct MqttAsyncWrapper::Impl {
  std::shared_ptr<Core> core = std::make_shared<Core>();
  std::thread worker;
};

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& client_id) : impl_(std::make_unique<Impl>()) {
  Core& c = *impl_->core;
  try {
    c.opts = ParseMqttOptionsFromEnvironment(client_id);
  } catch (const std::exception& e) {
    SKV_LOG(P7::kError, "Invalid MQTT configuration: %s", e.what());
    throw;
  }
  for (const auto& u : c.opts.uris) c.brokers += (c.brokers.empty() ? "" : ", ") + u;

  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
  create.sendWhileDisconnected = 0;  // Send() refuses while disconnected instead of buffering
  int rc =
      MQTTAsync_createWithOptions(&c.handle, c.opts.uris.front().c_str(), c.opts.client_id.c_str(),
                                  MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
  if (rc == MQTTASYNC_SUCCESS) {
    rc = MQTTAsync_setCallbacks(c.handle, &c, internal::OnConnectionLost, internal::OnMessage,
                                internal::OnDelivered);
  }
  if (rc == MQTTASYNC_SUCCESS) rc = MQTTAsync_setConnected(c.handle, &c, internal::OnConnected);
  if (rc != MQTTASYNC_SUCCESS) {
    if (c.handle != nullptr) MQTTAsync_destroy(&c.handle);
    std::string text = fmt::format("MQTT client could not be created: {}", PahoText(rc));
    SKV_LOG(P7::kError, "%s", text.c_str());
    throw std::runtime_error(text);
  }

  for (auto& u : c.opts.uris) c.uri_ptrs.push_back(u.data());
  MQTTAsync_connectOptions& o = c.conn;
  o.keepAliveInterval = c.opts.keepalive_s;
  o.cleansession = c.opts.persistent_session ? 0 : 1;
  o.connectTimeout = kConnectTimeoutS;
  o.automaticReconnect = 1;
  o.minRetryInterval = internal::kMinRetryS;
  o.maxRetryInterval = internal::kMaxRetryS;
  o.serverURIcount = static_cast<int>(c.uri_ptrs.size());
  o.serverURIs = c.uri_ptrs.data();
  o.username = c.opts.username.empty() ? nullptr : c.opts.username.c_str();
  o.password = c.opts.has_password ? c.opts.password.c_str() : nullptr;
  o.onSuccess = internal::OnConnectSucceeded;
  o.onFailure = internal::OnConnectFailed;
  o.context = &c;
  if (c.opts.UsesTls()) {
    c.ssl.trustStore = c.opts.ca_file.empty() ? nullptr : c.opts.ca_file.c_str();
    c.ssl.keyStore = c.opts.cert_file.empty() ? nullptr : c.opts.cert_file.c_str();
    c.ssl.privateKey = c.opts.key_file.empty() ? nullptr : c.opts.key_file.c_str();
    c.ssl.enableServerCertAuth = 1;  // the chain must verify against the CA
    c.ssl.verify = 1;                // and the certificate must name the host we dialled
    c.ssl.sslVersion = MQTT_SSL_VERSION_DEFAULT;
    c.ssl.ssl_error_cb = internal::OnTlsError;
    c.ssl.ssl_error_context = &c;
    o.ssl = &c.ssl;
  }

  std::shared_ptr<Core> core = impl_->core;
  impl_->worker = std::thread([core] { Hub::Get().RunWorker(*core); });
  SKV_LOG(P7::kInfo, "MQTT client: %s", c.opts.Describe().c_str());
}

MqttAsyncWrapper::~MqttAsyncWrapper() {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::unique_lock lk(hub.mu);
  c->shutting_down = true;
  c->pending.reset();  // its callback sees that it was never received
  // The caller is done with the message it holds: let its callback return (PUBACK).
  c->released = c->delivered;
  hub.park_cv.notify_one();
  hub.cv.notify_all();
  // Let the publishes made so far finish their QoS 1/2 flows, which needs the network thread that
  // was just released. Messages arriving meanwhile are not handed over (see OnMessage).
  hub.cv.wait_for(lk, kFlushWait,
                  [c] { return c->unacked_publishes == 0 || !c->connected || c->severed; });
  if (c->connect_requested) {
    auto disconnect = [c] {
      MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
      d.timeout = kDisconnectTimeoutMs;
      d.onSuccess = internal::OnDisconnected;
      d.onFailure = internal::OnDisconnectFailed;
      d.context = c;
      int rc = MQTTAsync_disconnect(c->handle, &d);
      if (rc != MQTTASYNC_SUCCESS) internal::OnDisconnected(c, nullptr);  // was not connected
      return rc;
    };
    hub.PostLocked(std::make_shared<FnJob>(c, true, "disconnect", disconnect, [](int) {}));
  } else {
    c->disconnected = true;
  }
  if (!hub.cv.wait_for(lk, kDisconnectWait, [c] { return c->disconnected; })) {
    SKV_LOG(P7::kWarning, "MQTT disconnect did not complete in time; closing anyway");
  }

  auto destroy = [c] {
    MQTTAsync_destroy(&c->handle);
    return MQTTASYNC_SUCCESS;
  };
  hub.PostLocked(std::make_shared<FnJob>(c, false, "destroy", destroy));
  c->worker_stop = true;
  Hub::WakeWorker(*c);
  hub.cv.notify_all();
  bool done = hub.cv.wait_for(lk, kWorkerJoinWait, [c] { return c->worker_done; });
  const int unhandled = c->unhandled_at_shutdown;
  const bool severed = c->severed;
  lk.unlock();
  if (unhandled > 0 && severed) {
    SKV_LOG(P7::kInfo,
            "MQTT shutdown: closed the connection under %d message(s) not yet received; the broker "
            "delivers them again to this session",
            unhandled);
  } else if (unhandled > 0 && c->opts.persistent_session) {
    SKV_LOG(P7::kWarning,
            "MQTT shutdown: %d message(s) arrived too late to be received and were acknowledged",
            unhandled);
  } else if (unhandled > 0) {
    SKV_LOG(P7::kInfo,
            "MQTT shutdown: %d message(s) arrived too late; dropped with the clean session",
            unhandled);
  }
  if (done) {
    impl_->worker.join();
  } else {
    // Only possible when another client of this process holds a message: the worker finishes
    // the destroy once it is released, and keeps the shared state alive until then.
    SKV_LOG(P7::kError,
            "MQTT client shutdown is waiting for Paho's lock; finishing it in the background");
    impl_->worker.detach();
  }
}

int MqttAsyncWrapper::Connect(bool /*flag*/, SuccessCallback /*on_success*/,
                              FailureCallback /*on_failure*/) {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  {
    std::lock_guard lk(hub.mu);
    if (c->connect_requested) return 0;
    c->connect_requested = true;
  }
  auto connect = [c] { return MQTTAsync_connect(c->handle, &c->conn); };
  auto job = std::make_shared<FnJob>(c, false, "connect", connect);
  int rc = hub.Call(job);
  if (rc == internal::kQueued || rc == MQTTASYNC_SUCCESS) return 0;
  {
    std::lock_guard lk(hub.mu);
    c->connect_requested = false;
  }
  std::string text = fmt::format("MQTT connect could not be started: {} ({})", PahoText(rc), rc);
  SKV_LOG(P7::kError, "%s", text.c_str());
  throw std::runtime_error(text);
}

int MqttAsyncWrapper::Subscribe(const std::string& topic, Qos qos, bool /*flag*/,
                                SuccessCallback /*on_success*/, FailureCallback /*on_failure*/) {
  const int q = static_cast<int>(qos);
  std::string problem = FilterProblem(topic);
  if (problem.empty() && (q < 0 || q > 2)) problem = "QoS must be 0, 1 or 2";
  // A filter the broker would refuse is reported and skipped, not thrown: one bad configured topic
  // (for example "a/#", whose derived acknowledgement filter "a/#/ack" is invalid) must not stop
  // the capture of every other topic.
  if (!problem.empty()) {
    SKV_LOG(P7::kError, "MQTT subscribe to %s refused: %s", topic.c_str(), problem.c_str());
    return MQTTASYNC_BAD_STRUCTURE;
  }

  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::lock_guard lk(hub.mu);
  bool known = false;
  for (auto& sub : c->subs) {
    if (sub.first == topic) {
      known = true;
      if (sub.second == q && c->confirmed.count(topic) > 0) return 0;
      sub.second = q;
    }
  }
  if (!known) c->subs.emplace_back(topic, q);
  c->confirmed.erase(topic);
  // Not connected yet: the connect callback subscribes everything.
  if (c->connected)
    hub.PostLocked(
        std::make_shared<internal::SubscribeJob>(c, c->epoch, decltype(c->subs){{topic, q}}));
  return 0;
}

msg_t MqttAsyncWrapper::Receive(const std::string& /*filter*/, int timeout_s) {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::unique_lock lk(hub.mu);
  // Coming back for the next message means the caller is done with the previous one: let its
  // callback return, which sends the PUBACK.
  if (c->released < c->taken) {
    c->released = c->taken;
    hub.park_cv.notify_one();
    hub.cv.notify_all();
  }
  const auto deadline = Clock::now() + std::chrono::seconds(timeout_s > 0 ? timeout_s : 0);
  if (!c->recv_cv.wait_until(lk, deadline, [c] { return c->pending.has_value(); })) {
    throw std::runtime_error(fmt::format("no MQTT message within {} s", timeout_s));
  }
  msg_t msg = std::move(*c->pending);
  c->pending.reset();
  c->taken = c->delivered;
  return msg;
}

int MqttAsyncWrapper::Send(const std::string& topic, const std::vector<uint8_t>& payload, Qos qos,
                           bool flag) {
  const int q = static_cast<int>(qos);
  std::string problem = TopicNameProblem(topic);
  if (problem.empty() && (q < 0 || q > 2)) problem = "QoS must be 0, 1 or 2";
  if (problem.empty() && payload.size() > kMaxPayload) problem = "payload larger than MQTT allows";
  if (!problem.empty())
    throw std::runtime_error(fmt::format("MQTT send to {} refused: {}", topic, problem));

  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  {
    std::lock_guard lk(hub.mu);
    if (!c->connected)
      throw std::runtime_error(fmt::format("MQTT send to {} refused: not connected", topic));
  }
  int rc;
  if (internal::InTurnOf(*c)) {  // inside the arrival callback: publish from here
    internal::SendJob job(c, topic, payload, q, flag);
    rc = job.Run();
  } else {
    rc = hub.Call(std::make_shared<internal::SendJob>(c, topic, payload, q, flag));
  }
  if (rc == internal::kQueued) return kSendQueued;  // not sent yet; a failure is logged later
  if (rc != MQTTASYNC_SUCCESS) {
    throw std::runtime_error(
        fmt::format("MQTT send to {} failed: {} ({})", topic, PahoText(rc), rc));
  }
  return 0;
}

void MqttAsyncWrapper::Dispatch(const TurnFn& turn, int timeout_s) {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  const auto timeout = std::chrono::seconds(timeout_s > 0 ? timeout_s : 0);
  std::unique_lock lk(hub.mu);
  auto release_taken = [&] {  // the caller is done with the message it took: PUBACK
    if (c->released < c->taken) {
      c->released = c->taken;
      hub.park_cv.notify_one();
      hub.cv.notify_all();
    }
  };
  release_taken();
  c->dispatch_turn = &turn;
  c->dispatch_end = false;
  c->dispatch_error = nullptr;
  c->last_turn = Clock::now();
  // A turn on this thread: for the time-out, and for a message that was held (it arrived while a
  // turn ran, or before Dispatch() began). A throwing turn leaves its message unreleased.
  auto run_here = [&](const msg_t* msg) {
    c->turn_running = true;
    TurnResult result;
    while (true) {
      lk.unlock();
      try {
        result = turn(msg);
      } catch (...) {
        lk.lock();
        c->turn_running = false;
        c->dispatch_turn = nullptr;
        // Not handled after all: shutdown must treat it as never received (no PUBACK).
        if (msg != nullptr) c->taken = c->released;
        throw;
      }
      lk.lock();
      if (msg == nullptr || result.kind != TurnResult::Kind::kRetry) break;
      // Its arrival callback stays parked meanwhile, so the message is not acknowledged.
      internal::HoldMessage(lk, *c, result.retry_after, /*on_paho_thread=*/false);
    }
    c->turn_running = false;
    c->last_turn = Clock::now();
    if (result.kind == TurnResult::Kind::kStop) c->dispatch_end = true;
  };
  while (!c->dispatch_end) {
    if (c->turn_running) {  // on Paho's thread; wait for it before judging the time-out
      c->caller_waits_for_turn = true;
      c->recv_cv.wait(lk, [c] { return !c->turn_running; });
      c->caller_waits_for_turn = false;
      continue;
    }
    if (c->pending.has_value()) {
      msg_t msg = std::move(*c->pending);
      c->pending.reset();
      c->taken = c->delivered;
      run_here(&msg);
      release_taken();
      continue;
    }
    const Clock::time_point deadline = c->last_turn + timeout;
    if (Clock::now() >= deadline) {
      run_here(nullptr);
      continue;
    }
    c->recv_cv.wait_until(lk, deadline);
  }
  c->dispatch_turn = nullptr;
  if (std::exception_ptr error = std::exchange(c->dispatch_error, nullptr)) {
    lk.unlock();
    std::rethrow_exception(error);
  }
}

void MqttAsyncWrapper::SetWill(const std::string& topic, const std::vector<uint8_t>& payload,
                               bool retained) {
  std::string problem = TopicNameProblem(topic);
  if (problem.empty() && payload.size() > kMaxPayload) problem = "payload larger than MQTT allows";
  if (!problem.empty()) {
    SKV_LOG(P7::kError, "MQTT last will on %s refused: %s", topic.c_str(), problem.c_str());
    return;
  }
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::lock_guard lk(hub.mu);
  // Paho reads the options when it (re)connects, under its own lock; a connection requested
  // already keeps what it was given.
  if (c->connect_requested) {
    SKV_LOG(P7::kError, "MQTT last will on %s set after Connect(); ignored", topic.c_str());
    return;
  }
  c->will_topic = topic;
  c->will_payload = payload;
  c->will.topicName = c->will_topic.c_str();
  c->will.message = nullptr;  // binary payload below
  c->will.payload.data = c->will_payload.data();
  c->will.payload.len = static_cast<int>(c->will_payload.size());
  c->will.retained = retained ? 1 : 0;
  c->will.qos = 1;
  c->conn.will = &c->will;
}

bool MqttAsyncWrapper::IsConnected() const {
  Hub& hub = Hub::Get();
  std::lock_guard lk(hub.mu);
  return impl_->core->connected;
}

bool MqttAsyncWrapper::WaitReady(std::chrono::milliseconds limit) {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::unique_lock lk(hub.mu);
  auto ready = [c] {
    if (!c->connected) return false;
    for (const auto& sub : c->subs) {
      if (c->confirmed.count(sub.first) == 0) return false;
    }
    return true;
  };
  // While a message waits for the caller, Paho's network thread is parked and nothing can change.
  hub.cv.wait_for(lk, limit, [c, &ready] { return ready() || c->delivered > c->released; });
  return ready();
}

}  // namespace kestova::mosquitto
