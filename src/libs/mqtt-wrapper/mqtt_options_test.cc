#include "mqtt_options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

namespace kestova::mosquitto {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using Env = std::map<std::string, std::string>;

MqttOptions Parse(const Env& env) {
  const auto lookup = [&env](const char* name) -> const char* {
    auto it = env.find(name);
    return it == env.end() ? nullptr : it->second.c_str();
  };
  return ParseMqttOptions(lookup, "passed-id");
}

// Accepted values (a failover list among them), and no secret in the line for the log. (The
// defaults: the e2e tests, which set no broker options but the URI.)
TEST(MqttOptions, AcceptedValues) {
  const MqttOptions o = Parse({{"KESTOVA_MQTT_URI", " tcp://a:1 ,ssl://[::1]:8883"},
                               {"KESTOVA_MQTT_CLIENT_ID", "fixed-id"},
                               {"KESTOVA_MQTT_USERNAME", "alice-login"},
                               {"KESTOVA_MQTT_PASSWORD", "hunter2"}});
  EXPECT_EQ(o.Describe(),
            "broker tcp://a:1, ssl://[::1]:8883, client id \"fixed-id\" (persistent session), "
            "keep-alive 30 s, with user name and password, TLS with CA (system default)");
}

// Each invalid value is refused with one line that names the variable and never the secret.
TEST(MqttOptions, InvalidValuesNameTheVariableAndHideSecrets) {
  const std::pair<Env, std::string> cases[] = {
      {{{"KESTOVA_MQTT_URI", "http://h:1"}}, "KESTOVA_MQTT_URI: \"http://h:1\""},
      {{{"KESTOVA_MQTT_URI", "tcp://h:65536"}}, "1..65535"},
      {{{"KESTOVA_MQTT_URI", "tcp://h/path"}}, "bad character"},
      {{{"KESTOVA_MQTT_URI", "tcp://a,,tcp://b"}}, "empty entry"},
      {{{"KESTOVA_MQTT_URI", "tcp://u:s3cret@h"}}, "credentials"},
      {{{"KESTOVA_MQTT_KEEPALIVE", "0"}}, "KESTOVA_MQTT_KEEPALIVE: \"0\""},
      {{{"KESTOVA_MQTT_PASSWORD", "s3cret"}}, "KESTOVA_MQTT_USERNAME is not"},
      {{{"KESTOVA_MQTT_URI", "ssl://h"}, {"KESTOVA_MQTT_CA_FILE", "/nonexistent/ca.pem"}},
       "KESTOVA_MQTT_CA_FILE: cannot read \"/nonexistent/ca.pem\""},
      {{{"KESTOVA_MQTT_URI", "ssl://h"}, {"KESTOVA_MQTT_KEY_FILE", "/etc/hostname"}},
       "KESTOVA_MQTT_CERT_FILE is not"},
      {{{"KESTOVA_MQTT_CA_FILE", "/etc/hostname"}}, "has no ssl:// broker"},
  };
  for (auto [env, expected] : cases) {
    if (!env.count("KESTOVA_MQTT_PASSWORD")) {
      env.insert({{"KESTOVA_MQTT_USERNAME", "user"}, {"KESTOVA_MQTT_PASSWORD", "s3cret"}});
    }
    EXPECT_THAT([&] { Parse(env); },
                ::testing::ThrowsMessage<std::runtime_error>(
                    AllOf(HasSubstr(expected), Not(HasSubstr("s3cret")), Not(HasSubstr("\n")))));
  }
}

}  // namespace
}  // namespace kestova::mosquitto
