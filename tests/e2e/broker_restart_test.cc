// The broker goes away and comes back on the same port while the service runs: the service keeps
// running, reconnects by itself and captures and acknowledges again without a restart of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "service_fixture.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Clock;
using testsupport::OutboxRecord;
using testsupport::ServiceFixture;
using testsupport::ServiceOptions;

const std::string kData = "/kv/e2e/data";

bool Holds(const std::vector<OutboxRecord>& records, const std::string& id) {
  for (const auto& r : records) {
    if (r.msg_id == id) return true;
  }
  return false;
}

TEST(BrokerRestartTest, CaptureResumesByItselfAndRecoveryTimeIsReported) {
  ServiceOptions options;
  options.resend = {{"cooldown", 3600}};
  ServiceFixture fx(options);
  ASSERT_TRUE(fx.StartService());
  const pid_t pid = fx.service_pid();
  const int64_t before_ts = testsupport::UnixNow();
  ASSERT_TRUE(fx.control().Publish(kData, testsupport::DataPayload(before_ts, "before")));
  ASSERT_TRUE(fx.WaitOutbox([](const auto& r) { return Holds(r, "before"); }, 10s));

  const size_t mark = fx.Log().size();
  fx.broker().Stop();
  ASSERT_GE(fx.WaitLogStartsWith("MQTT connection lost", 10s, mark), 0);
  std::this_thread::sleep_for(500ms);  // the outage itself

  const auto started = Clock::now();
  ASSERT_TRUE(fx.broker().Start());
  auto pub = fx.NewPeer("after-restart");
  // Publish a new message every 100 ms until one of them shows up in the outbox; those sent before
  // the service has subscribed again are simply not delivered to it.
  std::string captured;
  int sent = 0;
  const bool recovered = testsupport::WaitFor(
      [&] {
        for (const auto& r : fx.Outbox()) {
          if (r.msg_id.rfind("after-", 0) == 0) {
            captured = r.msg_id;
            return true;
          }
        }
        if (sent * 100ms <= Clock::now() - started) {
          pub->PublishAsync(kData, testsupport::DataPayload(testsupport::UnixNow(),
                                                            "after-" + std::to_string(++sent)));
        }
        return false;
      },
      40s);
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f s", seconds);
  testsupport::ReportFigure("broker_restart_recovery_s", "broker restart recovery", text);
  ASSERT_TRUE(recovered) << "nothing captured within 40 s of the broker's restart";
  EXPECT_LT(seconds, 35.0);

  // Same process throughout; its client reconnected on its own.
  EXPECT_TRUE(fx.service_running());
  EXPECT_EQ(fx.service_pid(), pid);
  const auto lines = fx.Log();
  EXPECT_EQ(testsupport::MessagesStartingWith(lines, "Entering message loop").size(), 1u);
  EXPECT_EQ(
      testsupport::MessagesStartingWith(lines, "MQTT connected to " + fx.broker().uri()).size(),
      2u);
  EXPECT_EQ(testsupport::MessagesStartingWith(lines, "MQTT connection lost").size(), 1u);

  // The ACK topic is subscribed again too: both messages leave with the next maintenance pass.
  const size_t acks_from = fx.Log().size();
  const int64_t captured_ts = [&] {
    for (const auto& r : fx.Outbox()) {
      if (r.msg_id == captured) return r.ts;
    }
    return int64_t{0};
  }();
  ASSERT_TRUE(pub->Publish(kData + "/ack", testsupport::AckPayload(before_ts, "before")));
  ASSERT_TRUE(pub->Publish(kData + "/ack", testsupport::AckPayload(captured_ts, captured)));
  ASSERT_GE(fx.WaitLogStartsWith("ACK: ts=" + std::to_string(captured_ts) + " msg_id=" + captured,
                                 10s, acks_from),
            0);
  EXPECT_TRUE(
      fx.WaitOutbox([&](const auto& r) { return !Holds(r, "before") && !Holds(r, captured); }, 5s));
}

}  // namespace
