// Workaround: writing to Paho's broker socket behind its back.
//
// Why it exists: while a turn holds a received message, Paho's single network thread is parked in
// the message's arrival callback, holding Paho's process-wide lock (see mqtt_hub.h). Paho then
// sends no keep-alive PINGREQ of its own, and the broker drops a connection that stays silent for
// 1.5 keep-alive intervals. Paho offers no handle on its socket, so the socket is found through
// /proc/self/fd: the process's TCP sockets whose peer port is a configured broker port. Anything
// but exactly one such socket is left alone. Raw bytes would break a TLS stream: nothing is written
// over TLS.
//
// The same search serves two more needs Paho leaves open: cutting the connection under a held
// message at shutdown, and turning off Nagle's algorithm.
#pragma once

#include "mqtt_options.h"

namespace kestova::mosquitto::internal {

// Writes an MQTT PINGREQ into the broker socket. While Paho's lock is held nothing of Paho's
// writes to the socket, so the two bytes land between whole packets (Paho leaves part of a packet
// unsent only when the socket's send buffer was full). Paho reads the broker's PINGRESP later and
// takes it as the answer to a ping of its own. Returns whether the ping was written; always false
// over TLS.
bool WriteKeepAlivePing(const MqttOptions& opts);

// Cuts the TCP connection under Paho, so the PUBACK Paho sends when the current arrival callback
// returns never reaches the broker, which keeps the message for the persistent session. Paho sees
// a lost connection. Needed at shutdown only: a message can only be refused by not returning from
// its callback, and while the callback holds Paho's lock nothing (not even a disconnect) happens.
// Returns whether the connection was cut.
bool SeverConnection(const MqttOptions& opts);

// Paho C 1.3 leaves Nagle's algorithm on. A resend step writes several small packets in a row
// (PUBACKs of the messages it received, the next publish), and a small packet written while an
// earlier one is still unacknowledged waits for the broker's delayed TCP acknowledgement: about
// 40 ms on Linux, on every step. Set on every connection; another client's broker socket that
// matches as well gains the same.
void DisableNagle(const MqttOptions& opts);

}  // namespace kestova::mosquitto::internal
