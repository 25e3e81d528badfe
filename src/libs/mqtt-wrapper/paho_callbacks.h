// The callbacks MqttAsyncWrapper registers with Paho; their context is the client's Core. Paho
// runs them on its network thread, holding its process-wide lock (see mqtt_hub.h): none of them
// calls into Paho except through the Hub.
#pragma once

#include <MQTTAsync.h>

#include <cstddef>

namespace kestova::mosquitto::internal {

// A message arrived. Runs its Dispatch() turn here when the caller waits in Dispatch(); otherwise
// hands it to Receive() and waits (parked) until the caller comes back for the next one. Returns
// when the message was handled, which is when Paho sends the PUBACK; at shutdown, an unreceived
// message of a persistent session has its connection cut under it instead.
int OnMessage(void* context, char* topic_name, int topic_len, MQTTAsync_message* message);
void OnConnectionLost(void* context, char* cause);
// Every (re)connection: resubscribes everything, turns Nagle's algorithm off.
void OnConnected(void* context, char* cause);
void OnConnectSucceeded(void* context, MQTTAsync_successData* response);
void OnConnectFailed(void* context, MQTTAsync_failureData* response);
int OnTlsError(const char* text, size_t len, void* context);
// A QoS 1/2 publish of ours completed its flow.
void OnDelivered(void* context, MQTTAsync_token token);
void OnDisconnected(void* context, MQTTAsync_successData* response);
void OnDisconnectFailed(void* context, MQTTAsync_failureData* response);

}  // namespace kestova::mosquitto::internal
