// Against a real mosquitto on a free loopback port; mosquitto_pub/mosquitto_sub act as the peer.
// Reconnection after a broker restart is covered end to end (tests/e2e/service_test.cc).
#include "mqtt_async_wrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "broker.h"
#include "p7.h"
#include "subprocess.h"
#include "temp_dir.h"

namespace kestova::mosquitto {
namespace {

using namespace std::chrono_literals;
using testsupport::Broker;
using Env = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;
using TurnResult = Client::TurnResult;

// A client made under exactly `env` (plus the URI) among the KESTOVA_MQTT_* variables.
std::unique_ptr<MqttAsyncWrapper> Client(const std::string& uri, Env env = {}) {
  static int n = 0;  // a shared id would make the broker drop the older connection
  for (const char* v : {"URI", "USERNAME", "PASSWORD", "CA_FILE", "CERT_FILE", "KEY_FILE",
                        "KEEPALIVE", "CLIENT_ID"}) {
    unsetenv(("KESTOVA_MQTT_" + std::string(v)).c_str());
  }
  env["KESTOVA_MQTT_URI"] = uri;
  for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
  return std::make_unique<MqttAsyncWrapper>("test-client-" + std::to_string(++n));
}

// Connected and subscribed; `wait` off for a session with queued messages (no SUBACK before them).
std::unique_ptr<MqttAsyncWrapper> Subscriber(const std::string& uri, const std::string& filter,
                                             Env env = {}, bool wait = true) {
  auto c = Client(uri, std::move(env));
  c->Connect(false);
  c->Subscribe(filter, Qos::AtLeastOnce, false);
  EXPECT_TRUE(!wait || c->WaitReady(10s));
  return c;
}

// Runs mosquitto_pub or mosquitto_sub to completion, `input` on its stdin; returns its output.
std::string Tool(const Broker& broker, const std::string& tool, std::vector<std::string> args,
                 const std::string& input = "") {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.file("in"), input);
  std::string cmd = "exec /usr/bin/" + tool + " -h 127.0.0.1 -p " + std::to_string(broker.port());
  for (const auto& a : args) cmd += " '" + a + "'";
  testsupport::Subprocess p({"/bin/sh", "-c", cmd + " < " + dir.file("in")}, {}, dir.file("out"));
  EXPECT_EQ(p.Wait(15s), 0) << cmd << ": " << p.Output();
  return p.Output();
}

// QoS 1: each line of `lines` as one message.
void Publish(const Broker& b, const std::string& topic, const std::string& lines) {
  Tool(b, "mosquitto_pub", {"-t", topic, "-q", "1", "-l"}, lines);
}
std::string Lines(int n) {
  std::string lines;
  for (int i = 0; i < n; ++i) lines.append("m").append(std::to_string(i)).append("\n");
  return lines;
}

std::vector<uint8_t> B(const std::string& s) { return {s.begin(), s.end()}; }
std::string S(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

// The payloads `c` receives until none comes for 2 s.
std::vector<std::string> ReceiveAll(MqttAsyncWrapper& c) {
  std::vector<std::string> got;
  try {
    while (true) got.push_back(S(c.Receive("/#", 2).payload));
  } catch (const std::runtime_error&) {
  }
  return got;
}

// Bytes, QoS and retain flag travel exactly (received bytes: the e2e capture test); Send returns
// at once while a received message holds Paho's lock, and its publishes go out once it is released.
TEST(MqttClient, PayloadsAndFlagsTravelExactly) {
  Broker broker;
  auto c = Subscriber(broker.uri(), "t/#");
  Publish(broker, "t/x", "held\n");
  EXPECT_EQ(S(c->Receive("/#", 5).payload), "held");
  alarm(60);  // a deadlock ends the test
  const auto t0 = Clock::now();
  c->Send("r/q1", B(std::string("x\0\xfe", 3)), Qos::AtLeastOnce, true);  // the service's QoS
  EXPECT_LT(Clock::now() - t0, 1s);
  const auto t1 = Clock::now();
  c.reset();  // releases the held message, flushes the publishes, disconnects
  EXPECT_LT(Clock::now() - t1, 2s);
  alarm(0);
  EXPECT_EQ(Tool(broker, "mosquitto_sub",
                 {"-t", "r/q1", "-q", "2", "-C", "1", "-W", "5", "-N", "-F", "%q %r %p"}),
            "1 1 " + std::string("x\0\xfe", 3));
}

// Refusals carry their reason; a bad filter is an error line, never thrown (it must not end the
// service).
TEST(MqttClient, SendAndSubscribeRefuseWhatCannotBeDelivered) {
  auto c = Client("tcp://127.0.0.1:1");  // never connected
  for (const auto& [topic, q, why] :
       {std::tuple{"a/b", 1, "not connected"}, {"a/+", 1, "wildcards"}, {"a", 3, "QoS"}}) {
    EXPECT_THAT([&] { c->Send(topic, B("x"), static_cast<Qos>(q), false); },
                testing::ThrowsMessage<std::runtime_error>(testing::HasSubstr(why)));
  }
  P7::ScopedCapture cap;
  EXPECT_NE(c->Subscribe("a/#/ack", Qos::AtLeastOnce, false), 0);
  EXPECT_EQ(
      cap.count("MQTT subscribe to a/#/ack refused: '#' must be a whole last level", P7::kError),
      1);
}

// Destruction is bounded while not connected, idle or connecting (a service stop with the broker
// away must not wait for Paho's retries).
TEST(MqttClient, DestructionIsBoundedWhileNotConnected) {
  const std::string dead = "tcp://127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort());
  for (const bool connect : {false, true}) {
    auto idle = Client(dead);
    if (connect) idle->Connect(false);
    std::this_thread::sleep_for(300ms);
    const auto t0 = Clock::now();
    idle.reset();
    EXPECT_LT(Clock::now() - t0, 3s);
  }
}

// Turns in order, once each, a time-out turn when idle. (A turn that publishes: the resends of the
// e2e conservation test.)
TEST(MqttClient, DispatchRunsTurnsInOrder) {
  Broker broker;
  auto c = Subscriber(broker.uri(), "bp/#");
  Publish(broker, "bp/x", Lines(200));
  int next = 0;
  c->Dispatch(
      [&](const msg_t* m) {
        if (m != nullptr) {
          EXPECT_EQ(S(m->payload), "m" + std::to_string(next));
          if (++next < 40) std::this_thread::sleep_for(10ms);
        }
        // Ends at the first time-out after the last message.
        return m != nullptr || next < 200 ? TurnResult::Continue() : TurnResult::Stop();
      },
      1);
  EXPECT_EQ(next, 200);
}

// A throwing turn ends Dispatch; neither its message (held before Dispatch, arriving during it, or
// retried first) nor any pushed during shutdown is acknowledged: the session gets them all again.
TEST(MqttClient, NothingUnhandledIsAcknowledgedWhenATurnThrows) {
  Broker broker;
  for (const int mode : {0, 1, 2}) {
    const bool arrives_during = mode == 1;
    const Env env = {{"KESTOVA_MQTT_CLIENT_ID", "throw-" + std::to_string(mode)}};
    auto a = Subscriber(broker.uri(), "th/#", env);
    std::thread pub([&] {
      if (arrives_during) std::this_thread::sleep_for(500ms);
      Publish(broker, "th/1", Lines(300));
    });
    if (!arrives_during) pub.join();
    std::this_thread::sleep_for(200ms);
    int tries = 0;
    auto turn = [&](const msg_t* m) {
      if (m != nullptr && mode == 2 && ++tries < 3) return TurnResult::Retry(100ms);
      if (m != nullptr) throw std::logic_error("disk on fire");
      return TurnResult::Continue();
    };
    EXPECT_THROW(a->Dispatch(turn, 5), std::logic_error);
    if (pub.joinable()) pub.join();
    a.reset();
    const auto got = ReceiveAll(*Subscriber(broker.uri(), "th/#", env, false));
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), 300u) << mode;
  }
}

// A retried message comes back alone after each pause, unacknowledged, over several keep-alive
// intervals without losing the connection, and is acknowledged once handled.
TEST(MqttClient, RetriedMessageIsHeldUnacknowledgedAndTheConnectionStaysUp) {
  Broker broker;
  const Env env = {{"KESTOVA_MQTT_KEEPALIVE", "1"}, {"KESTOVA_MQTT_CLIENT_ID", "hold-1"}};
  P7::ScopedCapture cap;
  auto c = Subscriber(broker.uri(), "rt/#", env);
  Publish(broker, "rt/x", Lines(3));
  std::vector<std::string> seen;
  const auto t0 = Clock::now();
  c->Dispatch(
      [&](const msg_t* m) {
        if (m == nullptr) return seen.size() >= 3 ? TurnResult::Stop() : TurnResult::Continue();
        seen.push_back(S(m->payload));
        if (seen.back() == "m1" && Clock::now() - t0 < 9s) return TurnResult::Retry(500ms);
        return TurnResult::Continue();
      },
      1);
  ASSERT_GE(seen.size(), 10u);
  EXPECT_EQ(seen[seen.size() - 2], "m1");
  EXPECT_EQ(seen.back(), "m2");
  std::this_thread::sleep_for(1s);  // a dropped connection is noticed once Paho runs again
  EXPECT_FALSE(cap.contains("MQTT connection lost", P7::kWarning));
  c.reset();
  EXPECT_TRUE(ReceiveAll(*Subscriber(broker.uri(), "rt/#", env, false)).empty());
}

// The broker's certificate must chain to the configured CA and name the host dialled.
TEST(MqttClient, TlsVerifiesTheCertificateAndTheHostName) {
  testsupport::TempDir d;
  testsupport::Subprocess gen({"/bin/sh", "-c", "set -e; cd " + d.path() + R"(
o() { openssl "$@" 2>/dev/null; }; k='-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes'
o req -x509 $k -keyout ca.key -out ca.pem -subj /CN=ca
o req $k -keyout srv.key -out srv.csr -subj /CN=broker
for n in good:IP:127.0.0.1 wrong:DNS:elsewhere.invalid; do echo subjectAltName=${n#*:} > x.ext
  o x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -extfile x.ext -out ${n%%:*}.pem
done)"},
                              {}, d.file("gen.log"));
  ASSERT_EQ(gen.Wait(30s), 0) << gen.Output();
  for (const auto& [cert, with_ca, connects] :
       {std::tuple{"good", true, true}, {"wrong", true, false}, {"good", false, false}}) {
    Broker broker({.tls_cert_file = d.file(cert + std::string(".pem")),
                   .tls_key_file = d.file("srv.key"),
                   .extra_config = {}});
    auto c =
        Client(broker.uri(), with_ca ? Env{{"KESTOVA_MQTT_CA_FILE", d.file("ca.pem")}} : Env{});
    c->Connect(false);
    EXPECT_EQ(c->WaitReady(connects ? 10s : 2s), connects) << cert << " " << with_ca;
  }
}

}  // namespace
}  // namespace kestova::mosquitto
