// Against a real mosquitto on a free loopback port; mosquitto_pub/mosquitto_sub act as the peer.
#include "mqtt_async_wrapper.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
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
using Bytes = std::vector<uint8_t>;
using Env = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;
using TurnResult = Client::TurnResult;

// Sets exactly `env` among the KESTOVA_MQTT_* variables while alive.
class ScopedEnv {
 public:
  explicit ScopedEnv(const Env& env) {
    for (const char* v : kVars) {
      if (const char* old = std::getenv(v)) saved_[v] = old;
      unsetenv(v);
    }
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
  }
  ~ScopedEnv() {
    for (const char* v : kVars) unsetenv(v);
    for (const auto& [k, v] : saved_) setenv(k.c_str(), v.c_str(), 1);
  }

 private:
  static constexpr const char* kVars[] = {"KESTOVA_MQTT_URI",       "KESTOVA_MQTT_USERNAME",
                                          "KESTOVA_MQTT_PASSWORD",  "KESTOVA_MQTT_CA_FILE",
                                          "KESTOVA_MQTT_CERT_FILE", "KESTOVA_MQTT_KEY_FILE",
                                          "KESTOVA_MQTT_KEEPALIVE", "KESTOVA_MQTT_CLIENT_ID"};
  Env saved_;
};

std::unique_ptr<MqttAsyncWrapper> Client(const std::string& uri, Env env = {}) {
  static int n = 0;  // a shared id would make the broker drop the older connection
  env["KESTOVA_MQTT_URI"] = uri;
  ScopedEnv scoped(env);
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

// Runs mosquitto_pub or mosquitto_sub (`tool`) against `broker` to completion; returns its output.
std::string Tool(const Broker& broker, const std::string& tool, std::vector<std::string> args,
                 const std::string& stdin_file = "") {
  testsupport::TempDir dir;
  std::string cmd = "exec /usr/bin/" + tool + " -h 127.0.0.1 -p " + std::to_string(broker.port());
  for (const auto& a : args) cmd += " '" + a + "'";
  if (!stdin_file.empty()) cmd += " < " + stdin_file;
  testsupport::Subprocess p({"/bin/sh", "-c", cmd}, {}, dir.file("out"));
  EXPECT_EQ(p.Wait(15s), 0) << cmd << ": " << p.Output();
  return p.Output();
}

void Publish(const Broker& b, const std::string& topic, const Bytes& payload, int qos = 1) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.file("p"), std::string(payload.begin(), payload.end()));
  Tool(b, "mosquitto_pub", {"-t", topic, "-q", std::to_string(qos), "-f", dir.file("p")});
}

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

int CountPrefix(const P7::ScopedCapture& cap, const std::string& prefix, int level) {
  int n = 0;
  for (const auto& r : cap.records()) n += r.level == level && r.message.rfind(prefix, 0) == 0;
  return n;
}

TEST(MqttClient, ReceivesPayloadBytesExactly) {
  Broker broker;
  auto c = Subscriber(broker.uri(), "t/#");
  Bytes big(300000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
  const std::pair<std::string, Bytes> cases[] = {
      {"t/zeros", {0, 'a', 0, 0xff, 0}}, {"t/empty", {}}, {"t/big", big}};
  for (const auto& [topic, payload] : cases) {
    Publish(broker, topic, payload);
    msg_t m = c->Receive("/#", 5);
    EXPECT_EQ(m.topic, topic);
    EXPECT_EQ(m.payload, payload) << topic;
    EXPECT_EQ(m.flags, 0) << topic;
  }
}

TEST(MqttClient, SendPublishesWithQosAndRetainAndReceiveSeesRetainFlag) {
  Broker broker;
  auto c = Client(broker.uri());
  c->Connect(false);
  ASSERT_TRUE(c->WaitReady(10s));
  for (int q = 0; q <= 2; ++q) {
    const std::string topic = "r/q" + std::to_string(q);
    const Bytes payload = {'x', 0, static_cast<uint8_t>(q), 0xfe};
    EXPECT_EQ(c->Send(topic, payload, static_cast<Qos>(q), true), 0);
    // Send returns before the QoS 2 flow ends, and the broker retains the message only at its end:
    // a subscriber arriving before that gets it as a live message.
    std::this_thread::sleep_for(300ms);
    // Retained, so a subscriber arriving later sees it: payload, QoS and retain as sent.
    std::string got = Tool(broker, "mosquitto_sub",
                           {"-t", topic, "-q", "2", "-C", "1", "-W", "5", "-N", "-F", "%q %r %p"});
    EXPECT_EQ(got, std::to_string(q) + " 1 " + S(payload));
  }
  auto late = Subscriber(broker.uri(), "r/#");
  EXPECT_EQ(late->Receive("/#", 5).flags & 1, 1);
}

TEST(MqttClient, ReceiveThrowsAfterTheTimeout) {
  Broker broker;
  auto c = Subscriber(broker.uri(), "quiet/#");
  auto t0 = Clock::now();
  EXPECT_THROW(c->Receive("/#", 1), std::runtime_error);
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  EXPECT_GT(s, 0.9);
  EXPECT_LT(s, 2.0);
}

TEST(MqttClient, SendRefusesWhatCannotBeDelivered) {
  Broker broker;
  auto c = Client(broker.uri());  // never connected
  const std::tuple<std::string, int, std::string> cases[] = {{"a/b", 1, "not connected"},
                                                             {"a/+", 1, "wildcards"},
                                                             {"a/#", 1, "wildcards"},
                                                             {"", 1, "empty topic"},
                                                             {"a\tb", 1, "control character"},
                                                             {"a\xC0\xAF", 1, "invalid UTF-8"},
                                                             {"a", 3, "QoS"}};
  for (const auto& [topic, q, why] : cases) {
    try {
      c->Send(topic, B("x"), static_cast<Qos>(q), false);
      ADD_FAILURE() << "accepted " << topic;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
  // An invalid filter is refused with an error line and a failure code, never thrown: one bad
  // configured topic must not end the service.
  P7::ScopedCapture cap;
  EXPECT_NE(c->Subscribe("a/#/ack", Qos::AtLeastOnce, false), 0);
  EXPECT_TRUE(cap.contains("MQTT subscribe to a/#/ack refused: '#' must be a whole last level",
                           P7::kError));
  // mosquitto closes the connection of a client that subscribes to such a filter.
  for (const char* bad : {"bad\ttopic", "bad\xED\xA0\x80", "bad\xC2\x85"}) {
    EXPECT_NE(c->Subscribe(bad, Qos::AtLeastOnce, false), 0) << bad;
  }
  EXPECT_EQ(c->Subscribe("caf\xC3\xA9/\xF0\x9F\x93\x88", Qos::AtLeastOnce, false), 0);
}

TEST(MqttClient, BrokerRestartRestoresSubscriptionsAndLogsOnce) {
  Broker broker;  // not persistent: the restarted broker has forgotten every subscription
  P7::ScopedCapture cap;
  auto c = Subscriber(broker.uri(), "re/#");
  Publish(broker, "re/1", B("before"));
  EXPECT_EQ(S(c->Receive("/#", 5).payload), "before");

  broker.Stop();
  // Coming back for the next message releases "before"; only then can Paho notice the loss.
  EXPECT_THROW(c->Receive("/#", 0), std::runtime_error);
  ASSERT_TRUE(testsupport::WaitFor([&] { return !c->IsConnected(); }, 10s));
  std::this_thread::sleep_for(2s);  // a few reconnect attempts fail meanwhile
  EXPECT_THROW(c->Send("re/x", B("x"), Qos::AtLeastOnce, false), std::runtime_error);
  ASSERT_TRUE(broker.Start());
  auto t0 = Clock::now();
  ASSERT_TRUE(c->WaitReady(40s));
  std::printf("reconnected and resubscribed %.1f s after the broker came back\n",
              std::chrono::duration<double>(Clock::now() - t0).count());

  Publish(broker, "re/2", B("after"));
  EXPECT_EQ(S(c->Receive("/#", 5).payload), "after");
  EXPECT_EQ(CountPrefix(cap, "MQTT connection lost:", P7::kWarning), 1);
  EXPECT_EQ(CountPrefix(cap, "MQTT connected to " + broker.uri(), P7::kInfo), 2);
}

TEST(MqttClient, FirstConnectFailureIsRetriedAcrossTheFailoverList) {
  Broker broker;
  broker.Stop();
  P7::ScopedCapture cap;
  const std::string dead = "tcp://127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort());
  auto c = Client(dead + "," + broker.uri());
  c->Connect(false);
  c->Subscribe("fo/#", Qos::AtLeastOnce, false);
  std::this_thread::sleep_for(1500ms);
  ASSERT_TRUE(broker.Start());
  ASSERT_TRUE(c->WaitReady(40s));
  Publish(broker, "fo/1", B("found"));
  EXPECT_EQ(S(c->Receive("/#", 5).payload), "found");
  EXPECT_EQ(CountPrefix(cap, "MQTT connect to", P7::kWarning), 1);
}

std::string PublishLines(const Broker& broker, const std::string& topic, int n) {
  testsupport::TempDir dir;
  std::string lines;
  for (int i = 0; i < n; ++i) lines += "m" + std::to_string(i) + "\n";
  testsupport::WriteFile(dir.file("lines"), lines);
  return Tool(broker, "mosquitto_pub", {"-t", topic, "-q", "1", "-l"}, dir.file("lines"));
}

// Dispatch runs the turns of arriving messages on Paho's thread: in order, each once, never two at
// once, a slow turn holding back the rest (nothing lost), a time-out turn once traffic stops, and a
// turn may publish (as the resend chain does from an acknowledgement's turn).
TEST(MqttClient, DispatchRunsTurnsInOrderAndTurnsMayPublish) {
  Broker broker;
  auto c = Subscriber(broker.uri(), "bp/#");
  PublishLines(broker, "bp/x", 200);
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

// A turn that throws ends Dispatch with its exception, and its message is never acknowledged: the
// persistent session gets it again. Held before Dispatch (turn on the caller's thread) and
// arriving during it (turn on Paho's thread).
TEST(MqttClient, MessageOfAThrowingTurnIsRedelivered) {
  Broker broker;
  for (const bool arrives_during : {false, true}) {
    const Env env = {{"KESTOVA_MQTT_CLIENT_ID", "throw-" + std::to_string(arrives_during)}};
    auto a = Subscriber(broker.uri(), "th/#", env);
    std::thread pub([&] {
      if (arrives_during) std::this_thread::sleep_for(500ms);
      Publish(broker, "th/1", B("again"));
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
    auto b = Subscriber(broker.uri(), "th/#", env, false);
    EXPECT_EQ(S(b->Receive("/#", 5).payload), "again") << arrives_during;
  }
}

// A turn that cannot handle its message yet (a full disk) asks for a retry: the same message comes
// back after each pause and nothing overtakes it; the connection survives a hold of several
// keep-alive intervals (mosquitto drops a silent client within a few seconds); and a process killed
// while holding it gets it again from its persistent session.
TEST(MqttClient, RetriedMessageIsHeldUnacknowledgedAndTheConnectionStaysUp) {
  Broker broker;
  const Env env = {{"KESTOVA_MQTT_KEEPALIVE", "1"}, {"KESTOVA_MQTT_CLIENT_ID", "hold-1"}};
  P7::ScopedCapture cap;
  auto c = Subscriber(broker.uri(), "rt/#", env);
  PublishLines(broker, "rt/x", 3);
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
  EXPECT_EQ(CountPrefix(cap, "MQTT connection lost", P7::kWarning), 0);

  // Held through retries, then gone without a PUBACK: the session gets it again.
  PublishLines(broker, "rt/y", 1);
  int tries = 0;
  auto turn = [&](const msg_t* m) {
    if (m != nullptr && ++tries < 3) return TurnResult::Retry(100ms);
    if (m != nullptr) throw std::logic_error("gave up while holding");
    return TurnResult::Continue();
  };
  EXPECT_THROW(c->Dispatch(turn, 5), std::logic_error);
  c.reset();
  auto b = Subscriber(broker.uri(), "rt/#", env, false);
  EXPECT_EQ(S(b->Receive("/#", 5).payload), "m0");
}

// A held message blocks Paho's lock; Send (which takes it) must still return at once, and the
// publish goes out once the message is released.
TEST(MqttClient, SendWhileHoldingAMessageReturnsAndIsDelivered) {
  Broker broker;
  auto c = Subscriber(broker.uri(), "in/#");
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 300 && !done; ++i) std::this_thread::sleep_for(100ms);
    if (!done) {
      std::fprintf(stderr, "deadlock: Send blocked while a message was held\n");
      std::abort();
    }
  });
  Publish(broker, "in/1", B("held"));
  EXPECT_EQ(S(c->Receive("/#", 5).payload), "held");
  for (int q = 0; q <= 2; ++q) {
    auto t0 = Clock::now();
    c->Send("out/q" + std::to_string(q), B("reply"), static_cast<Qos>(q), true);
    EXPECT_LT(Clock::now() - t0, 1s);
  }
  auto t0 = Clock::now();
  c.reset();  // releases the held message, flushes the publishes, disconnects
  EXPECT_LT(Clock::now() - t0, 2s);
  done = true;
  watchdog.join();
  for (int q = 0; q <= 2; ++q) {
    EXPECT_EQ(Tool(broker, "mosquitto_sub",
                   {"-t", "out/q" + std::to_string(q), "-C", "1", "-W", "5", "-N"}),
              "reply");
  }
}

TEST(MqttClient, DestructionIsBounded) {
  Broker broker;
  const std::string dead = "tcp://127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort());
  for (const auto& [uri, connect] :
       {std::pair{broker.uri(), false}, std::pair{dead, true}, std::pair{broker.uri(), true}}) {
    auto c = Client(uri);
    if (connect) c->Connect(false);
    std::this_thread::sleep_for(300ms);
    auto t0 = Clock::now();
    c.reset();
    EXPECT_LT(Clock::now() - t0, 3s) << uri;
  }
}

// Child side of the crash test: holds (or releases) one message, then waits to be killed.
TEST(MqttChild, HoldOrRelease) {
  const char* mode = std::getenv("SKELVANE_MQTT_CHILD");
  if (mode == nullptr) GTEST_SKIP() << "runs as a child of HeldMessageSurvivesACrash";
  auto c = Subscriber(std::getenv("KESTOVA_MQTT_URI"), "crash/#",
                      {{"KESTOVA_MQTT_CLIENT_ID", std::getenv("KESTOVA_MQTT_CLIENT_ID")}});
  std::printf("READY\n");
  std::fflush(stdout);
  if (std::string(mode) == "dispatch") {  // killed inside the turn
    c->Dispatch(
        [](const msg_t* m) {
          if (m != nullptr) std::printf("GOT %s\n", S(m->payload).c_str());
          std::fflush(stdout);
          if (m != nullptr) std::this_thread::sleep_for(60s);
          return TurnResult::Continue();
        },
        20);
  }
  std::printf("GOT %s\n", S(c->Receive("/#", 20).payload).c_str());
  std::fflush(stdout);
  if (std::string(mode) == "release") {
    EXPECT_THROW(c->Receive("/#", 1), std::runtime_error);
    std::printf("RELEASED\n");
    std::fflush(stdout);
  }
  std::this_thread::sleep_for(60s);
}

// The PUBACK of a QoS 1 message goes out only after its callback returns, which is at the next
// Receive() or at the end of its Dispatch() turn: a process killed while holding it (or inside its
// turn) gets it again; one killed after releasing does not.
TEST(MqttClient, HeldMessageSurvivesACrash) {
  Broker broker;
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
  for (const std::string mode : {"hold", "release", "dispatch"}) {
    const Env env = {{"KESTOVA_MQTT_URI", broker.uri()},
                     {"KESTOVA_MQTT_CLIENT_ID", "crash-" + mode}};
    testsupport::TempDir dir;
    Env child_env = env;
    child_env["SKELVANE_MQTT_CHILD"] = mode;
    testsupport::Subprocess child({self, "--gtest_filter=MqttChild.HoldOrRelease"}, child_env,
                                  dir.file("child"));
    auto saw = [&](const char* s) {
      return testsupport::WaitFor([&] { return child.Output().find(s) != std::string::npos; }, 20s);
    };
    ASSERT_TRUE(saw("READY")) << child.Output();
    Publish(broker, "crash/1", B("precious"));
    ASSERT_TRUE(saw(mode == "release" ? "RELEASED" : "GOT precious")) << child.Output();
    child.Kill(SIGKILL);

    auto again = Subscriber(broker.uri(), "crash/#", env, false);
    if (mode != "release") {
      msg_t m = again->Receive("/#", 5);
      EXPECT_EQ(S(m.payload), "precious");
      EXPECT_EQ(m.flags & 2, 2) << "redelivery carries the duplicate flag";
    } else {
      EXPECT_THROW(again->Receive("/#", 2), std::runtime_error) << "acknowledged, not redelivered";
    }
  }
}

TEST(MqttClient, PersistentSessionGetsWhatWasQueuedWhileDown) {
  testsupport::BrokerOptions opts;
  opts.persistence = true;
  Broker broker(opts);
  const Env env = {{"KESTOVA_MQTT_CLIENT_ID", "outbox-1"}};
  Subscriber(broker.uri(), "q/#", env).reset();  // registers the session, then goes away
  Publish(broker, "q/1", B("one"));
  Publish(broker, "q/2", B("two"));
  ASSERT_TRUE(broker.Restart());  // the broker's persistence keeps the session and its queue
  Publish(broker, "q/3", B("three"));
  auto c = Subscriber(broker.uri(), "q/#", env, false);
  for (const char* want : {"one", "two", "three"}) EXPECT_EQ(S(c->Receive("/#", 5).payload), want);
}

// Destroyed while the broker still pushes: whatever the client never handed to the caller stays
// with the broker (redelivered, possibly twice), none is acknowledged unseen.
TEST(MqttClient, ShutdownUnderLoadLeavesUnreceivedMessagesWithTheBroker) {
  Broker broker;
  const Env env = {{"KESTOVA_MQTT_CLIENT_ID", "busy-1"}};
  auto a = Subscriber(broker.uri(), "ld/#", env);
  testsupport::TempDir dir;
  std::string lines;
  for (int i = 0; i < 300; ++i) lines += std::to_string(i) + "\n";
  testsupport::WriteFile(dir.file("lines"), lines);
  Tool(broker, "mosquitto_pub", {"-t", "ld/x", "-q", "1", "-l"}, dir.file("lines"));
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) seen.insert(S(a->Receive("/#", 5).payload));
  // Done with the last one taken; the next is handed over to a Receive() that never comes.
  try {
    while (true) seen.insert(S(a->Receive("/#", 0).payload));
  } catch (const std::runtime_error&) {
  }
  std::this_thread::sleep_for(200ms);
  P7::ScopedCapture cap;
  a.reset();
  EXPECT_TRUE(cap.contains("closed the connection under"));

  auto b = Subscriber(broker.uri(), "ld/#", env, false);
  try {
    while (true) seen.insert(S(b->Receive("/#", 2).payload));
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(seen.size(), 300u);
}

// The broker's certificate must chain to the configured CA (not just any) and name the host
// dialled.
TEST(MqttClient, TlsVerifiesTheCertificateAndTheHostName) {
  testsupport::TempDir d;
  const std::string script =
      "set -e; cd " + d.path() +
      "; o() { openssl \"$@\" 2>/dev/null; }; k='-newkey ec -pkeyopt "
      "ec_paramgen_curve:prime256v1 -nodes'; o req -x509 $k -keyout ca.key -out ca.pem -subj "
      "/CN=ca; "
      "o req $k -keyout srv.key -out srv.csr -subj /CN=broker; for n in good:IP:127.0.0.1 "
      "wrong:DNS:elsewhere.invalid; do echo subjectAltName=${n#*:} > x.ext; o x509 -req -in "
      "srv.csr "
      "-CA ca.pem -CAkey ca.key -CAcreateserial -extfile x.ext -out ${n%%:*}.pem; done";
  testsupport::Subprocess gen({"/bin/sh", "-c", script}, {}, d.file("gen.log"));
  ASSERT_EQ(gen.Wait(30s), 0) << gen.Output();
  struct Case {
    std::string cert;
    bool with_ca;
    bool connects;
  };
  for (const Case& k :
       {Case{"good", true, true}, Case{"wrong", true, false}, Case{"good", false, false}}) {
    testsupport::BrokerOptions opts;
    opts.tls_cert_file = d.file(k.cert + ".pem");
    opts.tls_key_file = d.file("srv.key");
    Broker broker(opts);
    Env env;
    if (k.with_ca) env["KESTOVA_MQTT_CA_FILE"] = d.file("ca.pem");
    P7::ScopedCapture cap;
    auto c = Client(broker.uri(), env);
    c->Connect(false);
    EXPECT_EQ(c->WaitReady(k.connects ? 10s : 2s), k.connects) << k.cert << " " << k.with_ca;
    EXPECT_EQ(CountPrefix(cap, "MQTT connect to", P7::kWarning), k.connects ? 0 : 1);
  }
}

TEST(MqttClient, InvalidEnvironmentThrowsWithOneErrorLineAndNoSecret) {
  const Env cases[] = {
      {{"KESTOVA_MQTT_URI", "http://127.0.0.1:1"}},
      {{"KESTOVA_MQTT_KEEPALIVE", "0"}},
      {{"KESTOVA_MQTT_URI", "ssl://127.0.0.1:1"}, {"KESTOVA_MQTT_CA_FILE", "/nonexistent.pem"}},
  };
  for (Env env : cases) {
    env["KESTOVA_MQTT_USERNAME"] = "svc";
    env["KESTOVA_MQTT_PASSWORD"] = "pa55-secret";
    P7::ScopedCapture cap;
    ScopedEnv scoped(env);
    EXPECT_THROW(MqttAsyncWrapper("test-client"), std::runtime_error);
    int errors = 0;
    for (const auto& r : cap.records()) {
      errors += r.level == P7::kError;
      EXPECT_EQ(r.message.find("pa55-secret"), std::string::npos) << r.message;
    }
    EXPECT_EQ(errors, 1);
  }
}

}  // namespace
}  // namespace kestova::mosquitto
