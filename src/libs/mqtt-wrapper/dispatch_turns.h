// Running the caller's Dispatch() turns inside Paho's arrival callback, and holding a message whose
// turn asked for a retry.
//
// While the caller waits in Dispatch(), the arrival callback runs the caller's turn itself, so no
// thread switch is paid per message: the caller's thread sleeps, so the turn has the caller's state
// to itself, and the callback returns when the turn is done, which is when Paho sends the PUBACK.
// Turns run one at a time, in order, whichever thread runs them (Core::turn_running).
#pragma once

#include <chrono>
#include <mutex>

#include "client_core.h"

namespace kestova::mosquitto::internal {

// Whether this thread runs a turn of `c` inside an arrival callback. Send() from there publishes
// directly (Paho allows it from its own callback thread; any other route would wait for the
// callback to return).
bool InTurnOf(const Core& c);

// Holds the message of a turn that asked to be retried for `pause`, keeping the connection up
// meanwhile with keep-alive pings of our own (paho_socket_workaround.h). On Paho's thread
// (`on_paho_thread`) the wait parks it, so callback-safe calls of other threads still run. Returns
// false when the client began shutting down. Requires `lk` held on Hub::mu.
bool HoldMessage(std::unique_lock<std::mutex>& lk, Core& c, std::chrono::milliseconds pause,
                 bool on_paho_thread);

// Whether an arriving message's turn may run on the callback thread now. Requires Hub::mu.
bool MayRunTurnHere(const Core& c);

// Arrival callback side of Dispatch(): runs the caller's turn for `msg` on this thread, again
// after each pause a turn asks for. Returns false when the message was not handled: the turn threw
// (and the exception goes to the caller) or the client began shutting down while holding it.
// Either way the message must not be acknowledged. Requires `lk` held on Hub::mu and
// MayRunTurnHere(c).
bool RunTurnOnCallbackThread(std::unique_lock<std::mutex>& lk, Core& c, const msg_t& msg);

}  // namespace kestova::mosquitto::internal
