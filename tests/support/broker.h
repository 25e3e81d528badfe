// A private mosquitto (/usr/sbin/mosquitto, where Debian installs it) for one test: anonymous, on a
// free port of 127.0.0.1 only, configured in its own temporary directory. Start() after Stop()
// keeps the port; with "persistence true" among the extra lines, sessions (subscriptions, queued
// QoS 1 messages) survive. Failures are reported with ADD_FAILURE.
#pragma once

#include <memory>

#include "subprocess.h"
#include "temp_dir.h"

namespace testsupport {

struct BrokerOptions {
  std::string tls_cert_file, tls_key_file;       // PEM; TLS on the listener, uri() ssl://
  std::vector<std::string> extra_config;         // lines appended to mosquitto.conf
  std::vector<std::string> log_types = {"all"};  // mosquitto's log_type lines (benchmarks: fewer)
};

class Broker {
 public:
  explicit Broker(BrokerOptions options = {});  // started, accepting connections
  ~Broker() { Stop(); }
  bool Start();  // waits until it accepts connections
  // SIGTERM (a persistent broker saves its state), SIGKILL after `grace`.
  void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  bool running() { return process_ && process_->running(); }
  int port() const { return port_; }
  std::string uri() const;  // tcp://127.0.0.1:<port>, or ssl://

 private:
  BrokerOptions options_;
  TempDir dir_;
  int port_ = 0, runs_ = 0;
  std::unique_ptr<Subprocess> process_;
};

// A TCP port of 127.0.0.1 that is free when asked (another process may take it after).
int FreeLoopbackPort();

}  // namespace testsupport
