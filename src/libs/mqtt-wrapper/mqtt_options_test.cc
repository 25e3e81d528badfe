#include "mqtt_options.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "temp_dir.h"

namespace kestova::mosquitto {
namespace {

using Env = std::map<std::string, std::string>;

MqttOptions Parse(const Env& env) {
  return ParseMqttOptions(
      [&env](const char* name) -> const char* {
        auto it = env.find(name);
        return it == env.end() ? nullptr : it->second.c_str();
      },
      "passed-id");
}

TEST(MqttOptions, DefaultsAndAcceptedValues) {
  testsupport::TempDir dir;
  const std::string ca = dir.file("ca.pem");
  testsupport::WriteFile(ca, "pem");

  MqttOptions d = Parse({{"KESTOVA_MQTT_URI", ""}});  // empty counts as unset
  EXPECT_EQ(d.uris, std::vector<std::string>{"tcp://127.0.0.1:1883"});
  EXPECT_EQ(d.keepalive_s, 30);
  EXPECT_EQ(d.client_id, "passed-id");
  EXPECT_FALSE(d.persistent_session);
  EXPECT_FALSE(d.UsesTls());

  MqttOptions o = Parse({{"KESTOVA_MQTT_URI", " tcp://a.example:1 ,ssl://[::1]:8883,ssl://b"},
                         {"KESTOVA_MQTT_KEEPALIVE", "65535"},
                         {"KESTOVA_MQTT_CLIENT_ID", "fixed-id"},
                         {"KESTOVA_MQTT_USERNAME", "alice-login"},
                         {"KESTOVA_MQTT_PASSWORD", "hunter2"},
                         {"KESTOVA_MQTT_CA_FILE", ca}});
  EXPECT_EQ(o.uris, (std::vector<std::string>{"tcp://a.example:1", "ssl://[::1]:8883", "ssl://b"}));
  EXPECT_EQ(o.keepalive_s, 65535);
  EXPECT_EQ(o.client_id, "fixed-id");
  EXPECT_TRUE(o.persistent_session);
  EXPECT_TRUE(o.UsesTls());
  EXPECT_EQ(o.password, "hunter2");
  const std::string described = o.Describe();
  EXPECT_NE(described.find("ssl://b"), std::string::npos);
  EXPECT_NE(described.find(ca), std::string::npos);
  EXPECT_EQ(described.find("hunter2"), std::string::npos);
  EXPECT_EQ(described.find("alice-login"), std::string::npos);
}

TEST(MqttOptions, InvalidValuesNameTheVariableAndHideSecrets) {
  struct Case {
    Env env;
    std::string expected;  // part of the error text
  };
  const Case cases[] = {
      {{{"KESTOVA_MQTT_URI", "http://h:1"}}, "KESTOVA_MQTT_URI: \"http://h:1\""},
      {{{"KESTOVA_MQTT_URI", "tcp://"}}, "no host"},
      {{{"KESTOVA_MQTT_URI", "tcp://h:0"}}, "1..65535"},
      {{{"KESTOVA_MQTT_URI", "tcp://h:65536"}}, "1..65535"},
      {{{"KESTOVA_MQTT_URI", "tcp://h:x"}}, "1..65535"},
      {{{"KESTOVA_MQTT_URI", "tcp://h/path"}}, "bad character"},
      {{{"KESTOVA_MQTT_URI", "tcp://a,,tcp://b"}}, "empty entry"},
      {{{"KESTOVA_MQTT_URI", "tcp://u:s3cret@h"}}, "credentials"},
      {{{"KESTOVA_MQTT_KEEPALIVE", "0"}}, "KESTOVA_MQTT_KEEPALIVE: \"0\""},
      {{{"KESTOVA_MQTT_KEEPALIVE", "65536"}}, "KESTOVA_MQTT_KEEPALIVE"},
      {{{"KESTOVA_MQTT_KEEPALIVE", "30s"}}, "KESTOVA_MQTT_KEEPALIVE"},
      {{{"KESTOVA_MQTT_KEEPALIVE", "-5"}}, "KESTOVA_MQTT_KEEPALIVE"},
      {{{"KESTOVA_MQTT_PASSWORD", "s3cret"}}, "KESTOVA_MQTT_USERNAME is not"},
      {{{"KESTOVA_MQTT_URI", "ssl://h"}, {"KESTOVA_MQTT_CA_FILE", "/nonexistent/ca.pem"}},
       "KESTOVA_MQTT_CA_FILE: cannot read \"/nonexistent/ca.pem\""},
      {{{"KESTOVA_MQTT_URI", "ssl://h"}, {"KESTOVA_MQTT_CERT_FILE", "/tmp"}}, "not a regular file"},
      {{{"KESTOVA_MQTT_URI", "ssl://h"}, {"KESTOVA_MQTT_KEY_FILE", "/etc/hostname"}},
       "KESTOVA_MQTT_CERT_FILE is not"},
      {{{"KESTOVA_MQTT_CA_FILE", "/etc/hostname"}}, "has no ssl:// broker"},
  };
  for (const auto& c : cases) {
    Env env = c.env;
    if (!env.count("KESTOVA_MQTT_PASSWORD")) {
      env["KESTOVA_MQTT_USERNAME"] = "user";
      env["KESTOVA_MQTT_PASSWORD"] = "s3cret";
    }
    try {
      Parse(env);
      ADD_FAILURE() << "accepted: " << c.expected;
    } catch (const std::runtime_error& e) {
      const std::string text = e.what();
      EXPECT_NE(text.find(c.expected), std::string::npos) << text;
      EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
      EXPECT_EQ(text.find('\n'), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace kestova::mosquitto
