// The service routine: builds the store, the MQTT client and the resend chain, then runs the
// message loop for the life of the process.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "config.h"
#include "env.h"
#include "mqtt_client.h"

namespace kestova {

using ClientFactory =
    std::function<std::shared_ptr<mosquitto::Client>(const std::string& client_id)>;

// Never returns normally; every exception it does not handle passes to the caller. `factory` makes
// the MQTT client (production: MqttAsyncWrapper); `max_turns` > 0 ends the loop after that many
// turns by returning (tests only).
void perform(const AppConfig& config);
void perform(const AppConfig& config, const ClientFactory& factory, Env* env, long max_turns);

}  // namespace kestova
