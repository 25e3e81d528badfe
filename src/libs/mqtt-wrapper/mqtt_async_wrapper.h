// MqttAsyncWrapper: the production Client (mqtt_client.h), over the Eclipse Paho asynchronous C
// client (MQTTAsync). The Paho header stays inside this library.
//
// Contract (what the service relies on):
//   - Threads: calls come from the thread that owns the client, or from inside a turn Dispatch()
//     runs. Turns run on Paho's network thread while the owner waits in Dispatch() (or on the
//     owner's thread itself): one turn at a time, in order. Paho's threads call into the owner's
//     code only to run such turns.
//   - Connect() starts connecting and returns at once; afterwards the client keeps itself connected
//     (automatic reconnect with bounded back-off) and restores every subscription made so far after
//     every (re)connect.
//   - Receive() returns the next message of any subscribed topic, or throws std::runtime_error
//     after about timeout_s seconds without one.
//   - Delivery guarantee for received QoS 1 messages: the broker's PUBACK goes out only once the
//     caller has finished with the message, signalled by its next Receive() call, the end of its
//     Dispatch() turn, or the destructor. So a message the broker counts as delivered has already
//     been handled (stored) by the caller.
//   - Send() never waits on Paho's network thread; it throws std::runtime_error when the message
//     was not accepted for delivery (invalid, not connected, Paho error), with the reason in the
//     message, and returns kSendQueued for a message it could only queue (see below).
//   - Destruction disconnects cleanly within a bounded time.
//
// Environment variables (read at construction; an empty variable counts as unset):
//   KESTOVA_MQTT_URI         broker URI(s), comma-separated for failover (tried in order);
//                            default tcp://127.0.0.1:1883; ssl:// URIs use TLS with server
//                            certificate and host-name verification
//   KESTOVA_MQTT_USERNAME    user name
//   KESTOVA_MQTT_PASSWORD    password, only with a user name (never logged)
//   KESTOVA_MQTT_CA_FILE     CA certificate(s), PEM, for ssl:// (default: the system trust store)
//   KESTOVA_MQTT_CERT_FILE   client certificate chain, PEM, for ssl://; may also hold the key
//   KESTOVA_MQTT_KEY_FILE    client private key, PEM, for ssl://; only with a certificate file
//   KESTOVA_MQTT_KEEPALIVE   keep-alive in seconds (1..65535), default 30
//   KESTOVA_MQTT_CLIENT_ID   replaces the client id and turns on a persistent session (clean
//                            session off), so messages queued by the broker during a restart are
//                            delivered
// An invalid value (unknown URI scheme, keep-alive outside 1..65535, unreadable TLS file, TLS files
// without an ssl:// broker, password without user name) is reported in one error line naming the
// variable, and the constructor throws. (Paho itself also reads MQTT_C_CLIENT_TRACE and
// MQTT_C_CLIENT_TRACE_LEVEL, its own debug trace.)
//
// Delivery guarantee in detail. Paho sends the PUBACK of a received QoS 1 message when its arrival
// callback returns; the callback here hands the message to Receive() and returns only when the
// caller comes back for the next one (or destroys the client). So:
//   - a crash (even SIGKILL) before the next Receive() leaves the message unacknowledged, and the
//     broker delivers it again (duplicate flag set) to a persistent session;
//   - at most one received message is held at a time: while the caller is busy, Paho stops reading
//     and the broker keeps the rest (back-pressure; this layer queues nothing);
//   - a message may arrive twice (after a crash, a reconnect, a shutdown, or a resubscription that
//     re-sends retained messages) but is never acknowledged before the caller had it. QoS 0 has no
//     acknowledgement to delay, and Paho acknowledges QoS 2 on arrival: subscribe with QoS 1.
//   - Shutdown: the destructor releases the held message, waits up to 2 s for the acknowledgements
//     of the caller's own QoS 1/2 publishes and disconnects. The broker may push more messages
//     meanwhile; with a persistent session the connection is then cut under the first of them (a
//     cut rather than a DISCONNECT), so the broker keeps them all for the next run. A clean session
//     drops them, as the broker would at any disconnect.
// While a message is held, Paho's single network thread (shared by every client in the process) is
// parked: Paho sends no keep-alive ping, a lost connection is noticed only afterwards, and
// publishes made meanwhile are written when the caller next calls Receive(). Keep the handling of
// one message well inside the keep-alive interval; a Dispatch() turn that has to wait longer asks
// for a retry (TurnResult::kRetry), during which this layer keeps the connection alive itself
// (paho_socket_workaround.h).
//
// Send() never blocks on that thread. While a message is held, its publish is handed to Paho on the
// parked thread itself (Paho allows publishing from a message callback). When the publish can only
// be handed over after the held message is released (a message arriving at that very moment), Send
// returns kSendQueued: the message has not left yet, and a failure is logged later instead of
// thrown.
//
// Errors: Connect() throws std::runtime_error only when Paho refuses to start connecting (an
// unreachable broker is retried: first after about 1 s, doubling up to 30 s; Paho acts on a 3 s
// tick, so a restarted broker is typically back within a few seconds). Subscribe() logs an error
// and returns a non-zero code for an invalid topic filter or QoS (never throws); a subscription the
// broker refuses is logged as an error.
//
// Arguments the production client does not interpret:
//   Connect(flag, on_success, on_failure): flag is unused and the callbacks are never called
//     (progress is logged and visible through IsConnected()/WaitReady()).
//   Subscribe(topic, qos, flag, ...): flag and the callbacks are unused.
//   Receive(filter, ...): every message of every subscription is returned; filter is not applied.
//   Send(..., flag): flag is the MQTT retain flag.
//
// Processes with several clients: Paho's lock is process-wide, so creating or destroying a client
// while another client of the same process holds a message waits until that message is released
// (destruction gives up after a few seconds and finishes in the background).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mqtt_client.h"

namespace kestova::mosquitto {

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
  // Logs an error and sets nothing for a topic that is not a valid topic name.
  void SetWill(const std::string& topic, const std::vector<uint8_t>& payload,
               bool retained) override;
  // A turn for a message that arrives while the caller waits in here runs on Paho's network
  // thread, inside the arrival callback, so no thread switch is paid per message; its PUBACK goes
  // out when the turn has returned (the guarantee of Receive()). Messages that arrive while a turn
  // runs wait in the broker and the socket, as with Receive(). A turn may call Send() (it publishes
  // from the callback thread) and Subscribe(); it must not destroy the client. A message whose turn
  // threw is never acknowledged: the exception ends Dispatch, and destroying the client then
  // treats the message like one not yet received.
  // A message whose turn returns kRetry is held without a PUBACK (Paho acknowledges a message when
  // its arrival callback returns, whatever the callback answers, so the callback itself keeps it).
  // While it is held the connection is kept up: this layer writes an MQTT PINGREQ into the
  // broker socket every half keep-alive interval (plain TCP only: over TLS the broker may drop the
  // connection after 1.5 keep-alive intervals, and a persistent session then delivers the message
  // again).
  void Dispatch(const TurnFn& turn, int timeout_s) override;

  // True while a connection to the broker is up.
  bool IsConnected() const;
  // Waits up to `limit` until the client is connected and the broker has confirmed every
  // subscription made so far on the current connection; returns whether it is. Returns early
  // (false, unless already ready) when a message waits to be received: nothing changes until then.
  // For start-up checks and tests.
  bool WaitReady(std::chrono::milliseconds limit);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestova::mosquitto
