#include "paho_callbacks.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "client_core.h"
#include "dispatch_turns.h"
#include "p7.h"
#include "paho_jobs.h"
#include "paho_socket_workaround.h"

namespace kestova::mosquitto::internal {

int OnMessage(void* context, char* topic_name, int topic_len, MQTTAsync_message* message) {
  auto* c = static_cast<Core*>(context);
  msg_t msg;  // the one copy of the payload; moved from here on
  msg.topic.assign(topic_name,
                   topic_len > 0 ? static_cast<size_t>(topic_len) : std::strlen(topic_name));
  const auto* bytes = static_cast<const uint8_t*>(message->payload);
  msg.payload.assign(bytes, bytes + message->payloadlen);
  msg.flags = static_cast<uint8_t>((message->retained ? 1 : 0) | (message->dup ? 2 : 0));
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topic_name);

  Hub& hub = Hub::Get();
  std::unique_lock lk(hub.mu);
  if (MayRunTurnHere(*c)) {
    // Publishes queued before this message go first. Running them releases the lock, and the
    // caller may have begun a turn of its own (its time-out) meanwhile: hence the second check.
    hub.RunCallbackSafeJobs(lk);
    if (MayRunTurnHere(*c)) {
      if (RunTurnOnCallbackThread(lk, *c, msg)) return 1;  // handled: Paho now sends the PUBACK
      // The turn threw, or shutdown began while the message was held. It is held below,
      // unreceived, until the client is destroyed.
    }
  }
  if (!c->shutting_down) {
    // One receive thread: the previous callback has returned, so the slot is free.
    c->pending = std::move(msg);
    const uint64_t seq = ++c->delivered;
    c->recv_cv.notify_one();
    hub.cv.notify_all();
    hub.Park(lk, [c, seq] { return c->released >= seq; });
    if (seq <= c->taken) return 1;  // the caller is done with it: Paho now sends the PUBACK
  }
  // Shutting down, and the caller never received this one. A clean session loses it either way
  // (the broker drops the session on disconnect); a persistent one must not see it acknowledged.
  ++c->unhandled_at_shutdown;
  if (c->opts.persistent_session && !c->severed) c->severed = SeverConnection(c->opts);
  return 1;
}

void OnConnectionLost(void* context, char* cause) {
  auto* c = static_cast<Core*>(context);
  bool was_connected;
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    was_connected = c->connected && !c->shutting_down;
    c->connected = false;
    c->tls_error_logged = false;
    c->unacked_publishes = 0;  // a clean session drops them; a persistent one retries them later
    if (c->shutting_down) c->disconnected = true;
    hub.cv.notify_all();
  }
  if (was_connected) {
    SKV_LOG(P7::kWarning, "MQTT connection lost: %s; reconnecting in the background",
            cause ? cause : "the connection was closed");
  }
}

void OnConnected(void* context, char* /*cause*/) {
  auto* c = static_cast<Core*>(context);
  std::string where;
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    c->connected = true;
    c->connect_failure_logged = false;
    ++c->epoch;
    c->confirmed.clear();
    where = c->connected_server.empty() ? c->UriFor(nullptr) : c->connected_server;
    c->connected_server.clear();
    // Whatever the broker remembers, every subscription is made again on every connection. Not
    // from here: this runs on Paho's thread under its lock.
    if (!c->subs.empty() && !c->shutting_down) {
      hub.PostLocked(std::make_shared<SubscribeJob>(c, c->epoch, c->subs));
    }
    hub.cv.notify_all();
  }
  DisableNagle(c->opts);
  SKV_LOG(P7::kInfo, "MQTT connected to %s", where.c_str());
}

void OnConnectSucceeded(void* context, MQTTAsync_successData* response) {
  auto* c = static_cast<Core*>(context);
  Hub& hub = Hub::Get();
  std::lock_guard lk(hub.mu);
  // Called just before OnConnected for the first connection; reconnects only call OnConnected.
  if (response != nullptr) c->connected_server = c->UriFor(response->alt.connect.serverURI);
}

void OnConnectFailed(void* context, MQTTAsync_failureData* response) {
  auto* c = static_cast<Core*>(context);
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    if (c->connect_failure_logged) return;
    c->connect_failure_logged = true;
  }
  // With automatic reconnect on, Paho keeps retrying the first connection as well.
  SKV_LOG(P7::kWarning, "MQTT connect to %s failed: %s (code %d); retrying every %d to %d s",
          c->brokers.c_str(), response && response->message ? response->message : "no reason given",
          response ? response->code : 0, kMinRetryS, kMaxRetryS);
}

int OnTlsError(const char* text, size_t len, void* context) {
  auto* c = static_cast<Core*>(context);
  bool first;
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    first = !c->tls_error_logged;
    c->tls_error_logged = true;
  }
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
  SKV_LOG(first ? P7::kWarning : P7::kDebug, "MQTT TLS: %.*s", static_cast<int>(len), text);
  return 1;
}

void OnDelivered(void* context, MQTTAsync_token /*token*/) {
  auto* c = static_cast<Core*>(context);
  Hub& hub = Hub::Get();
  std::lock_guard lk(hub.mu);
  if (c->unacked_publishes > 0) --c->unacked_publishes;
  hub.cv.notify_all();
}

void OnDisconnected(void* context, MQTTAsync_successData* /*response*/) {
  auto* c = static_cast<Core*>(context);
  Hub& hub = Hub::Get();
  std::lock_guard lk(hub.mu);
  c->disconnected = true;
  c->connected = false;
  hub.cv.notify_all();
}

void OnDisconnectFailed(void* context, MQTTAsync_failureData* /*response*/) {
  OnDisconnected(context, nullptr);
}

}  // namespace kestova::mosquitto::internal
