#include "resender.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ratio>
#include <type_traits>
#include <utility>

#include "p7.h"
#include "saturating.h"

namespace kestova {
namespace {

using SteadyDuration = Env::SteadyTime::duration;
static_assert(std::is_same_v<SteadyDuration::rep, int64_t> &&
                  std::is_same_v<SteadyDuration::period, std::nano>,
              "time points are handled as signed 64-bit nanosecond counts");

constexpr int64_t kNanosPerSecond = 1'000'000'000;

// An acknowledgement older than this, or of a message from the future, points to a wall clock
// (ours or the publishers') that is off: every ACK then looks stale (or never live) and no chain
// starts, so it is reported, at most once per kSkewWarningInterval of the steady clock.
constexpr int64_t kMaxPlausibleAckAge = 365LL * 24 * 3600;
constexpr int32_t kSkewWarningInterval = 3600;  // seconds

// `t` moved by a configured number of seconds. The product fits in 64 bits for every int32 (at most
// about 2.1e18 ns); the sum clamps at the clock's limits, so a deadline near the end of time stays
// there rather than wrapping into the past.
Env::SteadyTime PlusSeconds(Env::SteadyTime t, int32_t seconds) {
  const int64_t nanos = static_cast<int64_t>(seconds) * kNanosPerSecond;
  return Env::SteadyTime(SteadyDuration(SaturatingAdd(t.time_since_epoch().count(), nanos)));
}

// Whole seconds from `since` to `now`, cut toward zero (1.9 s counts as 1 s).
int64_t WholeSecondsBetween(Env::SteadyTime since, Env::SteadyTime now) {
  return SaturatingSub(now.time_since_epoch().count(), since.time_since_epoch().count()) /
         kNanosPerSecond;
}

// Age of a message in whole seconds on the wall clock (the clock cut toward zero to whole seconds);
// negative for timestamps in the future.
int64_t AgeSeconds(Env* env, int64_t timestamp) {
  const int64_t now_s =
      std::chrono::duration_cast<std::chrono::seconds>(env->SystemNow().time_since_epoch()).count();
  return SaturatingSub(now_s, timestamp);
}

}  // namespace

Resender::Resender(OutboxStore& outbox, const ResendConfig& config, PublishFn publish, Env* env)
    : outbox_(outbox), config_(config), publish_(std::move(publish)), env_(env) {
  config_.window = std::max<int32_t>(config_.window, 1);
  // Every message in flight must be remembered until its deadline, with room to spare for those
  // acknowledged or timed out before it.
  resent_capacity_ = std::max(kMinResentMemory, 4 * static_cast<size_t>(config_.window));
}

std::set<Resender::FlightKey> Resender::inflight() const {
  std::set<FlightKey> keys;
  for (const auto& [key, sent_at] : inflight_) keys.insert(keys.end(), key);
  return keys;
}

void Resender::onConnected() {
  inflight_.clear();
  stopped_ = false;
  inflight_deadline_ = Env::SteadyTime::min();
  cooldown_until_ = PlusSeconds(env_->SteadyNow(), config_.cooldown);
  SKV_LOG(P7::kInfo, "Connected, %d pending, waiting for live-ACK to start chain (cooldown %ds)",
          static_cast<int>(outbox_.pendingCount()), static_cast<int>(config_.cooldown));
}

void Resender::tick() {
  if (inflight_.empty()) return;  // no clock read while idle
  const Env::SteadyTime now = env_->SteadyNow();
  if (now < inflight_deadline_) return;
  size_t timed_out = 0;
  for (auto it = inflight_.begin(); it != inflight_.end();) {
    if (now < PlusSeconds(it->second, config_.stale_threshold)) {
      ++it;
      continue;
    }
    it = inflight_.erase(it);
    ++timed_out;
  }
  SKV_LOG(P7::kWarning, "Inflight timeout: %zu unacked message(s), clearing chain", timed_out);
  stopped_ = true;
  // While nothing is in flight the deadline keeps its value; it is only consulted otherwise.
  if (!inflight_.empty()) inflight_deadline_ = earliestDeadline();
}

Env::SteadyTime Resender::earliestDeadline() const {
  Env::SteadyTime first = Env::SteadyTime::max();
  for (const auto& [key, sent_at] : inflight_) first = std::min(first, sent_at);
  return PlusSeconds(first, config_.stale_threshold);
}

void Resender::sendOne() {
  // Compacting (when the store finds it worth a rewrite) keeps the oldest pending line near the
  // start of the active file. The key just acknowledged is not offered either way.
  outbox_.compactIfWorthwhile();
  // Of the first `window` pending messages at most inflight_.size() are in flight, so they hold
  // every message this step may send, in file order.
  const size_t window = static_cast<size_t>(config_.window);
  const std::vector<PendingMessage> pending = outbox_.getPending(config_.window);
  for (const PendingMessage& msg : pending) {
    if (inflight_.size() >= window) return;
    if (inflight_.count(FlightKey{msg.timestamp, msg.msg_id}) != 0) continue;
    const int64_t age = AgeSeconds(env_, msg.timestamp);
    if (age >= 0 && age < config_.grace_period) {
      // The producer may still be delivering it on its own; the next live or fast ACK looks
      // again. A timestamp in the future (a publisher's clock ahead, or ours behind after boot)
      // is no such sign: holding it back would block everything behind it until our clock
      // reached it.
      SKV_LOG(P7::kDebug, "Oldest pending within grace period (age=%llds < %ds), skipping",
              static_cast<long long>(age), static_cast<int>(config_.grace_period));
      return;
    }
    if (const Published::Kind sent = publish_(msg.topic, msg.payload).kind;
        sent != Published::kSent) {
      // Nothing recorded: the message stays pending for the next step (or the next live ACK
      // when nothing is in flight).
      if (sent == Published::kQueued) {
        SKV_LOG(P7::kDebug, "Resend publish queued, not sent: ts=%lld msg_id=%s",
                static_cast<long long>(msg.timestamp), msg.msg_id.c_str());
      } else {
        SKV_LOG(P7::kError, "Resend publish failed: ts=%lld msg_id=%s",
                static_cast<long long>(msg.timestamp), msg.msg_id.c_str());
      }
      return;
    }
    recordSend(msg, env_->SteadyNow());
    SKV_LOG(P7::kInfo, "Resent: ts=%lld msg_id=%s topic=%s (age=%llds)",
            static_cast<long long>(msg.timestamp), msg.msg_id.c_str(), msg.topic.c_str(),
            static_cast<long long>(age));
  }
  // Nothing in flight after a full scan: nothing was pending.
  if (inflight_.empty()) SKV_LOG(P7::kDebug, "No pending to send, chain idle");
}

void Resender::recordSend(const PendingMessage& msg, Env::SteadyTime now) {
  ++resent_total_;
  FlightKey key{msg.timestamp, msg.msg_id};
  const Env::SteadyTime deadline = PlusSeconds(now, config_.stale_threshold);
  inflight_deadline_ = inflight_.empty() ? deadline : std::min(inflight_deadline_, deadline);
  inflight_.emplace(key, now);
  last_send_at_ = now;

  // Forget sends that are too old to be echoed, and the oldest beyond the capacity.
  while (!resent_order_.empty() &&
         (resent_order_.size() >= resent_capacity_ ||
          now >= PlusSeconds(resent_order_.front().first, config_.stale_threshold))) {
    const auto& [sent_at, old] = resent_order_.front();
    if (auto it = resent_at_.find(old); it != resent_at_.end() && it->second == sent_at) {
      resent_at_.erase(it);
    }
    resent_order_.pop_front();
  }
  resent_at_[key] = now;
  resent_order_.emplace_back(now, std::move(key));
}

bool Resender::resentRecently(int64_t timestamp, const std::string& msg_id) const {
  if (resent_at_.empty()) return false;  // no clock read on the usual path
  const auto it = resent_at_.find(FlightKey{timestamp, msg_id});
  return it != resent_at_.end() &&
         env_->SteadyNow() < PlusSeconds(it->second, config_.stale_threshold);
}

void Resender::warnClockSkew(int64_t timestamp, int64_t age) {
  const Env::SteadyTime now = env_->SteadyNow();
  if (now < next_skew_warning_) return;
  next_skew_warning_ = PlusSeconds(now, kSkewWarningInterval);
  SKV_LOG(P7::kWarning, "Clock skew? ACK of ts=%lld is %llds old",
          static_cast<long long>(timestamp), static_cast<long long>(age));
}

void Resender::onAckReceived(int64_t timestamp, const std::string& msg_id) {
  // 1. The acknowledgement of a message in flight: its own latency alone decides, whatever its age.
  if (auto it = inflight_.find(FlightKey{timestamp, msg_id}); it != inflight_.end()) {
    ++acked_resends_total_;
    const int64_t latency = WholeSecondsBetween(it->second, env_->SteadyNow());
    inflight_.erase(it);
    if (!inflight_.empty()) inflight_deadline_ = earliestDeadline();
    if (stopped_) {
      SKV_LOG(P7::kDebug, "ACK after chain stop (latency=%llds), %zu still in flight",
              static_cast<long long>(latency), inflight_.size());
    } else if (latency <= config_.fast_ack_threshold) {
      SKV_LOG(P7::kDebug, "Fast ACK (latency=%llds): continuing chain",
              static_cast<long long>(latency));
      sendOne();
    } else {
      stopped_ = true;
      SKV_LOG(P7::kInfo, "Slow ACK (latency=%llds > %ds): chain stopped, waiting for next live-ACK",
              static_cast<long long>(latency), static_cast<int>(config_.fast_ack_threshold));
    }
    return;
  }

  // 2. Any other acknowledgement is classified by the age of the message it names. Stale is tested
  // before live, so a stale threshold below the live threshold leaves no mid-age band. Only these
  // ages hint at a clock off: a resent message may rightly be years old (restored from an archive).
  const int64_t age = AgeSeconds(env_, timestamp);
  if (age < 0 || age > kMaxPlausibleAckAge) warnClockSkew(timestamp, age);
  if (age > config_.stale_threshold) {
    // The receiver is still catching up on old messages: hold chain starts back. The cooldown only
    // ever moves later.
    const Env::SteadyTime until = PlusSeconds(env_->SteadyNow(), config_.cooldown);
    if (cooldown_until_ >= until) return;
    cooldown_until_ = until;
    SKV_LOG(P7::kInfo, "Stale ACK (age=%llds): cooldown extended %ds", static_cast<long long>(age),
            static_cast<int>(config_.cooldown));
    return;
  }
  if (age > config_.live_ack_threshold) {
    SKV_LOG(P7::kDebug, "Mid-age ACK (age=%llds), no chain trigger", static_cast<long long>(age));
    return;
  }
  if (env_->SteadyNow() < cooldown_until_) {
    SKV_LOG(P7::kDebug, "Live ACK (age=%llds) but in cooldown, ignoring",
            static_cast<long long>(age));
    return;
  }
  if (!inflight_.empty()) {
    SKV_LOG(P7::kDebug, "Live ACK (age=%llds) but chain already in flight, ignoring",
            static_cast<long long>(age));
    return;
  }
  SKV_LOG(P7::kDebug, "Live ACK (age=%llds): starting resend chain", static_cast<long long>(age));
  stopped_ = false;
  sendOne();
}

}  // namespace kestova
