// Against a real mosquitto on a free loopback port; mosquitto_pub/mosquitto_sub act as the peer.
// Reconnection after a broker restart is covered end to end (tests/e2e/service_test.cc).
#include "mqtt_async_wrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
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

// Connected and subscribed. With `wait` off it does not wait for the SUBACK, which cannot come
// while a message the broker had queued for the session waits to be received.
std::unique_ptr<MqttAsyncWrapper> Subscriber(const std::string& uri, const std::string& filter,
                                             Env env = {}, bool wait = true) {
  auto c = Client(uri, std::move(env));
  c->Connect(false);
  c->Subscribe(filter, Qos::AtLeastOnce, false);
  if (wait) {
    EXPECT_TRUE(c->WaitReady(10s));
  }
  return c;
}

// Runs mosquitto_pub or mosquitto_sub (`tool`) against `broker` to completion, `input` on its
// standard input; returns its output.
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

// QoS 1: `payload` as one message (any bytes), or each of its lines as one.
void Publish(const Broker& b, const std::string& topic, const std::string& payload,
             bool lines = false) {
  std::vector<std::string> args = {"-t", topic, "-q", "1", lines ? "-l" : "-f"};
  if (!lines) args.push_back("/dev/stdin");
  Tool(b, "mosquitto_pub", args, payload);
}
std::string Lines(int n) {
  std::string lines;
  for (int i = 0; i < n; ++i) lines.append("m").append(std::to_string(i)).append("\n");
  return lines;
}

std::vector<uint8_t> B(const std::string& s) { return {s.begin(), s.end()}; }
std::string S(const std::vector<uint8_t>& b) { return {b.begin(), b.end()}; }

// Records at `level` whose message starts with `prefix`.
int Count(const P7::ScopedCapture& cap, const std::string& prefix, int level) {
  int n = 0;
  for (const auto& r : cap.records()) n += r.level == level && r.message.starts_with(prefix);
  return n;
}

// The payloads `c` receives until none comes for 2 s.
std::vector<std::string> ReceiveAll(MqttAsyncWrapper& c) {
  std::vector<std::string> got;
  try {
    while (true) got.push_back(S(c.Receive("/#", 2).payload));
  } catch (const std::runtime_error&) {
  }
  return got;
}

// Received byte for byte; sent with the QoS and retain flag asked for, also while a received
// message is held: that blocks Paho's lock, yet Send (which takes it) must return at once, and the
// publishes go out once the message is released.
TEST(MqttClient, PayloadsAndFlagsTravelExactly) {
  Broker broker;
  auto c = Subscriber(broker.uri(), "t/#");
  for (int q = 0; q <= 2; ++q) {
    const std::string topic = "r/q" + std::to_string(q),
                      payload = std::string("x\0\xfe", 3) + topic;
    EXPECT_EQ(c->Send(topic, B(payload), static_cast<Qos>(q), true), 0);
    std::this_thread::sleep_for(300ms);  // the broker retains a QoS 2 message when its flow ends
    EXPECT_EQ(Tool(broker, "mosquitto_sub",
                   {"-t", topic, "-q", "2", "-C", "1", "-W", "5", "-N", "-F", "%q %r %p"}),
              std::to_string(q) + " 1 " + payload);
  }
  std::string big(300000, 0);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  for (const std::string& payload : {std::string("\0a\0\xff\0", 5), std::string(), big}) {
    Publish(broker, "t/x", payload);
    const msg_t m = c->Receive("/#", 5);
    EXPECT_EQ(m.topic, "t/x");
    EXPECT_TRUE(S(m.payload) == payload) << payload.size();
    EXPECT_EQ(m.flags, 0);
  }
  alarm(60);  // a deadlock ends the test
  for (int q = 0; q <= 2; ++q) {
    const auto t0 = Clock::now();
    c->Send("out/q" + std::to_string(q), B("reply"), static_cast<Qos>(q), true);
    EXPECT_LT(Clock::now() - t0, 1s);
  }
  const auto t0 = Clock::now();
  c.reset();  // releases the held message, flushes the publishes, disconnects
  EXPECT_LT(Clock::now() - t0, 2s);
  alarm(0);
  EXPECT_EQ(Subscriber(broker.uri(), "r/#")->Receive("/#", 5).flags & 1, 1);
  for (int q = 0; q <= 2; ++q) {
    EXPECT_EQ(Tool(broker, "mosquitto_sub",
                   {"-t", "out/q" + std::to_string(q), "-C", "1", "-W", "5", "-N"}),
              "reply");
  }
}

// Refusals reach the caller with their reason (which topics are valid: topic_validation_test.cc).
// An invalid filter is refused with an error line and a failure code, never thrown: one bad
// configured topic must not end the service. mosquitto would close the connection over one.
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

// The first connection is retried along the failover list, with one warning; a client goes away
// within a bounded time whether idle, connecting to nothing or connected.
TEST(MqttClient, FailoverListIsRetriedAndDestructionIsBounded) {
  Broker broker;
  broker.Stop();
  const std::string dead = "tcp://127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort());
  const auto bounded = [](std::unique_ptr<MqttAsyncWrapper> c, bool connect) {
    if (connect) c->Connect(false);
    std::this_thread::sleep_for(300ms);
    const auto t0 = Clock::now();
    c.reset();
    EXPECT_LT(Clock::now() - t0, 3s);
  };
  bounded(Client(dead), false);
  bounded(Client(dead), true);
  P7::ScopedCapture cap;
  auto c = Client(dead + "," + broker.uri());
  c->Connect(false);
  c->Subscribe("fo/#", Qos::AtLeastOnce, false);
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(c->WaitReady(40s));
  Publish(broker, "fo/1", "found");
  EXPECT_EQ(S(c->Receive("/#", 5).payload), "found");
  EXPECT_EQ(Count(cap, "MQTT connect to", P7::kWarning), 1);
  bounded(std::move(c), false);
}

// Dispatch runs the turns of arriving messages on Paho's thread: in order, each once, never two at
// once, a slow turn holding back the rest (nothing lost), a time-out turn once traffic stops, and a
// turn may publish (as the resend chain does from an acknowledgement's turn).
TEST(MqttClient, DispatchRunsTurnsInOrderAndTurnsMayPublish) {
  Broker broker;
  auto c = Subscriber(broker.uri(), "bp/#");
  Publish(broker, "bp/x", Lines(200), true);
  int next = 0;
  std::atomic<int> inside{0};
  bool overlap = false;
  c->Dispatch(
      [&](const msg_t* m) {
        overlap |= inside++ != 0;
        if (m != nullptr) {
          EXPECT_EQ(S(m->payload), "m" + std::to_string(next));
          if (++next < 40) std::this_thread::sleep_for(10ms);
          if (next == 200) c->Send("out/last", B("reply"), Qos::AtLeastOnce, true);
        }
        --inside;
        // Ends at the first time-out after the last message.
        return m != nullptr || next < 200 ? TurnResult::Continue() : TurnResult::Stop();
      },
      1);
  EXPECT_EQ(next, 200);
  EXPECT_FALSE(overlap);
  c.reset();
  EXPECT_EQ(Tool(broker, "mosquitto_sub", {"-t", "out/last", "-C", "1", "-W", "5", "-N"}), "reply");
}

// A turn that throws ends Dispatch with its exception. Neither its message nor any the broker
// pushes while the client goes away is acknowledged: the persistent session gets them all again.
// The message is held before Dispatch (its turn on the caller's thread) or arrives during it (on
// Paho's thread).
TEST(MqttClient, NothingUnhandledIsAcknowledgedWhenATurnThrows) {
  Broker broker;
  for (const bool arrives_during : {false, true}) {
    const Env env = {{"KESTOVA_MQTT_CLIENT_ID", "throw-" + std::to_string(arrives_during)}};
    auto a = Subscriber(broker.uri(), "th/#", env);
    std::thread pub([&] {
      if (arrives_during) std::this_thread::sleep_for(500ms);
      Publish(broker, "th/1", Lines(300), true);
    });
    if (!arrives_during) pub.join();
    std::this_thread::sleep_for(200ms);
    auto turn = [](const msg_t* m) {
      if (m != nullptr) throw std::logic_error("disk on fire");
      return TurnResult::Continue();
    };
    EXPECT_THROW(a->Dispatch(turn, 5), std::logic_error);
    if (pub.joinable()) pub.join();
    a.reset();
    const auto got = ReceiveAll(*Subscriber(broker.uri(), "th/#", env, false));
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), 300u) << arrives_during;
  }
}

// A turn that cannot handle its message yet (a full disk) asks for a retry: the same message comes
// back after each pause and nothing overtakes it; the connection survives a hold of several
// keep-alive intervals (mosquitto drops a silent client within a few seconds); and a client that
// gives up while holding it leaves it to its persistent session.
TEST(MqttClient, RetriedMessageIsHeldUnacknowledgedAndTheConnectionStaysUp) {
  Broker broker;
  const Env env = {{"KESTOVA_MQTT_KEEPALIVE", "1"}, {"KESTOVA_MQTT_CLIENT_ID", "hold-1"}};
  P7::ScopedCapture cap;
  auto c = Subscriber(broker.uri(), "rt/#", env);
  Publish(broker, "rt/x", Lines(3), true);
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
  EXPECT_EQ(seen.front(), "m0");
  EXPECT_EQ(seen[seen.size() - 2], "m1");
  EXPECT_EQ(seen.back(), "m2");
  std::this_thread::sleep_for(1s);  // a dropped connection is noticed once Paho runs again
  EXPECT_FALSE(cap.contains("MQTT connection lost", P7::kWarning));

  Publish(broker, "rt/y", Lines(1), true);
  int tries = 0;
  auto turn = [&](const msg_t* m) {
    if (m != nullptr && ++tries < 3) return TurnResult::Retry(100ms);
    if (m != nullptr) throw std::logic_error("gave up while holding");
    return TurnResult::Continue();
  };
  EXPECT_THROW(c->Dispatch(turn, 5), std::logic_error);
  c.reset();
  EXPECT_EQ(ReceiveAll(*Subscriber(broker.uri(), "rt/#", env, false)),
            std::vector<std::string>{"m0"});
}

// The broker's certificate must chain to the configured CA (not just any) and name the host
// dialled.
TEST(MqttClient, TlsVerifiesTheCertificateAndTheHostName) {
  testsupport::TempDir d;
  testsupport::Subprocess gen(
      {"/bin/sh", "-c",
       "set -e; cd " + d.path() +
           "; o() { openssl \"$@\" 2>/dev/null; }; k='-newkey ec -pkeyopt "
           "ec_paramgen_curve:prime256v1 -nodes'; o req -x509 $k -keyout ca.key -out ca.pem -subj "
           "/CN=ca; o req $k -keyout srv.key -out srv.csr -subj /CN=broker; for n in "
           "good:IP:127.0.0.1 wrong:DNS:elsewhere.invalid; do echo subjectAltName=${n#*:} > x.ext; "
           "o x509 -req -in srv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -extfile x.ext -out "
           "${n%%:*}.pem; done"},
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

// One error line, never the password, then the constructor throws.
TEST(MqttClient, InvalidEnvironmentThrowsWithOneErrorLineAndNoSecret) {
  P7::ScopedCapture cap;
  EXPECT_THROW(Client("ssl://127.0.0.1:1", {{"KESTOVA_MQTT_KEEPALIVE", "0"},
                                            {"KESTOVA_MQTT_USERNAME", "svc"},
                                            {"KESTOVA_MQTT_PASSWORD", "pa55-secret"}}),
               std::runtime_error);
  EXPECT_EQ(Count(cap, "", P7::kError), 1);
  EXPECT_FALSE(cap.contains("pa55-secret"));
}

}  // namespace
}  // namespace kestova::mosquitto
