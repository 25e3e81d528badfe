// Resender: republishes unacknowledged messages one at a time, oldest first, as a chain paced by
// acknowledgement latency and message age. Driven from outside only (onConnected once, tick every
// loop turn, onAckReceived for every acknowledgement entry); no thread or timer of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "config.h"
#include "env.h"
#include "outbox_store.h"

namespace kestova {

class Resender {
 public:
  using PublishFn =
      std::function<bool(const std::string& topic, const std::vector<uint8_t>& payload)>;
  using FlightKey = AckKey;

  // `outbox` must outlive the Resender. `env` supplies the steady and system clocks.
  Resender(OutboxStore& outbox, const ResendConfig& config, PublishFn publish,
           Env* env = Env::Default());
  Resender(const Resender&) = delete;
  Resender& operator=(const Resender&) = delete;

  void onConnected();
  void tick();
  void onAckReceived(int64_t timestamp, const std::string& msg_id);
  void sendOne();

  // Read-only views for tests.
  const std::set<FlightKey>& inflight() const { return inflight_; }
  Env::SteadyTime cooldownUntil() const { return cooldown_until_; }
  Env::SteadyTime lastSendAt() const { return last_send_at_; }
  Env::SteadyTime inflightDeadline() const { return inflight_deadline_; }

 private:
  // Warns that the wall clock looks off, judged by an acknowledgement's age; rate-limited.
  void warnClockSkew(int64_t timestamp, int64_t age);

  OutboxStore& outbox_;
  ResendConfig config_;
  PublishFn publish_;
  Env* env_;
  Env::SteadyTime cooldown_until_ = Env::SteadyTime::min();
  Env::SteadyTime last_send_at_ = Env::SteadyTime::min();
  Env::SteadyTime inflight_deadline_ = Env::SteadyTime::min();
  Env::SteadyTime next_skew_warning_ = Env::SteadyTime::min();  // the first one logs at once
  std::set<FlightKey> inflight_;
};

}  // namespace kestova
