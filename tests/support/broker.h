// A private mosquitto broker for one test: listens on a free port on 127.0.0.1 only, anonymous
// access, configuration generated into its own temporary directory. Stop() and Restart() keep the
// port, so clients reconnect to the same URI; with persistence on, sessions (subscriptions and
// queued QoS 1 messages) survive a Stop()/Start() cycle. Failures are reported with ADD_FAILURE.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "subprocess.h"
#include "temp_dir.h"

namespace testsupport {

struct BrokerOptions {
  bool persistence = false;
  // TLS on the listener (PEM paths); uri() then starts with ssl://.
  std::string tls_cert_file;
  std::string tls_key_file;
  std::string tls_ca_file;  // sent as the chain; clients are not asked for certificates
  // Appended verbatim to the generated mosquitto.conf.
  std::vector<std::string> extra_config;
};

class Broker {
 public:
  // Starts the broker and waits until it accepts connections.
  explicit Broker(BrokerOptions options = {});
  // Stops the broker (SIGTERM, then SIGKILL).
  ~Broker();
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // Starts again on the same port; waits until it accepts connections. Returns false on failure.
  bool Start();
  // SIGTERM (a persistent broker saves its state), SIGKILL after `grace`; waits for the exit.
  void Stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
  // SIGKILL: a crash, nothing saved.
  void Kill();
  bool Restart() {
    Stop();
    return Start();
  }
  bool running();

  int port() const { return port_; }
  // tcp://127.0.0.1:<port> (ssl:// with TLS).
  std::string uri() const;
  // Everything the broker logged across all its runs (connections, subscriptions, errors).
  std::string log() const;
  const std::string& dir() const { return dir_.path(); }

 private:
  void WriteConfig() const;
  bool WaitAccepting(std::chrono::milliseconds limit);

  BrokerOptions options_;
  TempDir dir_;
  int port_ = 0;
  int runs_ = 0;
  std::unique_ptr<Subprocess> process_;
};

// A currently free TCP port on 127.0.0.1 (free when asked; another process may take it after).
int FreeLoopbackPort();

// Path of the mosquitto program: $SKELVANE_MOSQUITTO, else the first of PATH and /usr/sbin.
std::string MosquittoPath();

}  // namespace testsupport
