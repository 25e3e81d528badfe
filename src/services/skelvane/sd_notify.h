// The systemd notification protocol (sd_notify(3)) without libsystemd: datagrams of
// "KEY=VALUE\n" lines to the unix socket named by $NOTIFY_SOCKET ("@" at its start names an
// abstract socket). Used for READY=1 once the loop runs, STATUS= with a one-line summary, and
// WATCHDOG=1 at half the interval $WATCHDOG_USEC asks for.
//
// Without $NOTIFY_SOCKET every call does nothing, so a service started outside systemd (or with
// Type=simple) behaves exactly as without this class.
#pragma once

#include <chrono>
#include <string>

namespace kestova {

class SystemdNotifier {
 public:
  // Reads $NOTIFY_SOCKET and $WATCHDOG_USEC (honouring $WATCHDOG_PID when set: the watchdog is
  // for that process only).
  SystemdNotifier();
  ~SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  bool enabled() const { return fd_ >= 0; }
  // How often to send WATCHDOG=1: half the interval systemd expects; zero when no watchdog is set.
  std::chrono::microseconds watchdogPeriod() const { return watchdog_period_; }

  // Sends `state` ("READY=1", "STATUS=...", "WATCHDOG=1", several separated by '\n'). Returns
  // whether the datagram went out; false (silently) when disabled.
  bool Notify(const std::string& state);

 private:
  int fd_ = -1;
  std::string address_;  // sun_path bytes, with a leading NUL for an abstract socket
  std::chrono::microseconds watchdog_period_{0};
};

}  // namespace kestova
