#include "dispatch_turns.h"

#include <algorithm>
#include <exception>

#include "paho_socket_workaround.h"

namespace kestova::mosquitto::internal {
namespace {

// The client whose Dispatch() turn this thread runs inside an arrival callback, if any.
thread_local const Core* tl_turn_core = nullptr;

}  // namespace

bool InTurnOf(const Core& c) { return tl_turn_core == &c; }

bool HoldMessage(std::unique_lock<std::mutex>& lk, Core& c, std::chrono::milliseconds pause,
                 bool on_paho_thread) {
  const auto until = Clock::now() + std::max(pause, std::chrono::milliseconds(0));
  // The broker gives up on a client silent for 1.5 keep-alive intervals.
  const auto ping_every = std::chrono::milliseconds(std::max(500, c.opts.keepalive_s * 500));
  while (!c.shutting_down) {
    const auto now = Clock::now();
    if (now >= until) return true;
    if (now >= c.next_hold_ping) {
      c.next_hold_ping = now + ping_every;
      lk.unlock();
      WriteKeepAlivePing(c.opts);
      lk.lock();
      continue;
    }
    const auto wake = std::min(until, c.next_hold_ping);
    if (on_paho_thread) {
      Hub::Get().Park(
          lk, [&c] { return c.shutting_down; }, wake);
    } else {
      c.recv_cv.wait_until(lk, wake);
    }
  }
  return false;
}

bool MayRunTurnHere(const Core& c) {
  return !c.shutting_down && c.dispatch_turn != nullptr && !c.turn_running && !c.dispatch_end;
}

bool RunTurnOnCallbackThread(std::unique_lock<std::mutex>& lk, Core& c, const msg_t& msg) {
  c.turn_running = true;
  const Client::TurnFn& turn = *c.dispatch_turn;
  Client::TurnResult result;
  std::exception_ptr error;
  bool handled = false;
  while (true) {
    lk.unlock();
    tl_turn_core = &c;
    try {
      result = turn(&msg);
    } catch (...) {
      error = std::current_exception();
    }
    tl_turn_core = nullptr;
    lk.lock();
    if (error != nullptr || result.kind != Client::TurnResult::Kind::kRetry) {
      handled = error == nullptr;
      break;
    }
    if (!HoldMessage(lk, c, result.retry_after, /*on_paho_thread=*/true)) break;
  }
  c.turn_running = false;
  c.last_turn = Clock::now();
  if (error != nullptr) c.dispatch_error = error;
  if (error != nullptr || result.kind == Client::TurnResult::Kind::kStop) c.dispatch_end = true;
  // The caller sleeps through turns run here; it is woken only when it has to act.
  if (c.dispatch_end || c.caller_waits_for_turn) c.recv_cv.notify_one();
  return handled;
}

}  // namespace kestova::mosquitto::internal
