// Resender: republishes unacknowledged messages oldest first, as a chain paced by acknowledgement
// latency and message age. Driven from outside only (onConnected once, tick every loop turn,
// onAckReceived for every acknowledgement entry); no thread or timer of its own.
//
// The chain keeps up to `window` republished messages in flight, in file order on the wire, each
// with its own deadline (stale_threshold after its own send). A live acknowledgement starts a chain
// when nothing is in flight and no cooldown runs; the start sends up to `window` messages. Each
// fast acknowledgement of a message in flight fills the window again (one send: the next pending
// message not in flight). A slow acknowledgement or a time-out stops new sends: the messages still
// in flight may yet be acknowledged, and the chain is idle once none is left. With a window of 1
// this is the one-at-a-time chain.
//
// The Resender relies on one property of the store only: pending retrieval never offers a message
// whose acknowledgement the store has been told of (OutboxStore::ackMessage comes before
// onAckReceived). Whether acknowledged lines are compacted out of the file is the store's choice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "env.h"
#include "outbox_store.h"

namespace kestova {

class Resender {
 public:
  // What a publish reports; true and false convert to kSent and kFailed. kQueued: the client could
  // only queue the message, it has not left yet. The chain takes it as a failed send (nothing goes
  // in flight, the message stays pending), with a debug line instead of the error.
  struct Published {
    enum Kind { kFailed, kSent, kQueued };
    Published(bool sent) : kind(sent ? kSent : kFailed) {}  // NOLINT(google-explicit-constructor)
    Published(Kind k) : kind(k) {}                          // NOLINT(google-explicit-constructor)
    Kind kind;
  };
  using PublishFn =
      std::function<Published(const std::string& topic, const std::vector<uint8_t>& payload)>;
  using FlightKey = AckKey;

  // `outbox` must outlive the Resender. `env` supplies the steady and system clocks. A window
  // below 1 counts as 1.
  Resender(OutboxStore& outbox, const ResendConfig& config, PublishFn publish,
           Env* env = Env::Default());
  Resender(const Resender&) = delete;
  Resender& operator=(const Resender&) = delete;

  void onConnected();
  void tick();
  void onAckReceived(int64_t timestamp, const std::string& msg_id);

  // Whether this Resender republished the key less than stale_threshold seconds ago (steady
  // clock). Our own republished messages come back on the data subscription; the data path uses
  // this to tell such an echo from a new capture. Remembers at most max(kMinResentMemory,
  // 4 * window) sends: beyond that the oldest are forgotten first, and their echoes are stored
  // again (delivered twice, never lost).
  bool resentRecently(int64_t timestamp, const std::string& msg_id) const;
  static constexpr size_t kMinResentMemory = 4096;

  // Read-only views for tests.
  std::set<FlightKey> inflight() const;
  Env::SteadyTime cooldownUntil() const { return cooldown_until_; }
  Env::SteadyTime lastSendAt() const { return last_send_at_; }
  // The earliest deadline of the messages in flight; unchanged while nothing is in flight.
  Env::SteadyTime inflightDeadline() const { return inflight_deadline_; }
  size_t resentRemembered() const { return resent_order_.size(); }

  // For the status figures: messages republished, and acknowledgements of republished messages
  // still in flight, since construction; messages in flight now.
  int64_t resentTotal() const { return resent_total_; }
  int64_t ackedResendsTotal() const { return acked_resends_total_; }
  size_t inFlightCount() const { return inflight_.size(); }

 private:
  // Sends the oldest pending messages not in flight until the window is full; stops early when
  // nothing more is pending, the next one is within the grace period or a publish fails. With a
  // window of one this is the chain's single step, hence the name (log lines carry it).
  void sendOne();
  // Notes a successful send in the flight and in the memory of recent sends.
  void recordSend(const PendingMessage& msg, Env::SteadyTime now);
  // The earliest deadline among the messages in flight (which must not be empty).
  Env::SteadyTime earliestDeadline() const;
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
  std::map<FlightKey, Env::SteadyTime> inflight_;  // each message in flight and its send time
  int64_t resent_total_ = 0;
  int64_t acked_resends_total_ = 0;
  // Set by a slow acknowledgement or a time-out: no new sends until a live acknowledgement starts
  // the next chain.
  bool stopped_ = false;
  // Recent sends, oldest first, and the latest send time of each key among them. A key sent twice
  // has two entries in the order but one in the map; an entry of the order removes its map entry
  // only when the times agree.
  std::deque<std::pair<Env::SteadyTime, FlightKey>> resent_order_;
  std::map<FlightKey, Env::SteadyTime> resent_at_;
  size_t resent_capacity_;
};

}  // namespace kestova
