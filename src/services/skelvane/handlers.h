// Message intake: turning received MQTT messages into store records and acknowledgements.
// Neither handler lets an exception out for any input: bad payloads yield at most a warning.
#pragma once

#include "mqtt_async_wrapper.h"
#include "outbox_store.h"
#include "resender.h"

namespace kestova {

void handleDataMessage(OutboxStore& store, const mosquitto::msg_t& msg);
void handleAckMessage(OutboxStore& store, Resender& resender, const mosquitto::msg_t& msg);

}  // namespace kestova
