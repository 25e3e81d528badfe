// Connection settings of the MQTT client layer, read from the KESTOVA_MQTT_* environment variables
// (see mqtt_async_wrapper.h for the operator-facing list).
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestova::mosquitto {

struct MqttOptions {
  std::vector<std::string> uris;  // tried in order; each tcp://host[:port] or ssl://host[:port]
  std::string username;           // empty: none
  std::string password;           // secret: never logged, never part of an error text
  bool has_password = false;
  std::string ca_file;    // empty: the system's default trust store (ssl:// only)
  std::string cert_file;  // client certificate chain, PEM; may also hold the key
  std::string key_file;   // client private key, PEM
  int keepalive_s = 30;
  std::string client_id;
  bool persistent_session = false;  // KESTOVA_MQTT_CLIENT_ID was set: clean session off

  bool UsesTls() const;
  // One line for the log: brokers, client id, session kind, keep-alive and TLS file paths. Never
  // the user name or the password.
  std::string Describe() const;
};

// Returns the value of an environment variable, or null when unset.
using EnvLookup = std::function<const char*(const char* name)>;

// Reads and validates the settings; an empty value counts as unset. `default_client_id` is used
// unless KESTOVA_MQTT_CLIENT_ID is set. Throws std::runtime_error whose text is one line naming the
// variable and what is wrong with it; secret values are never echoed.
MqttOptions ParseMqttOptions(const EnvLookup& env, const std::string& default_client_id);

// ParseMqttOptions over the process environment.
MqttOptions ParseMqttOptionsFromEnvironment(const std::string& default_client_id);

}  // namespace kestova::mosquitto
