// End-to-end harness: a private broker, the real skelvane binary on a generated configuration, MQTT
// peers for the other side, and readers of its console log and its outbox directory.
#pragma once

#include <MQTTAsync.h>
#include <fmt/format.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "broker.h"

namespace testsupport {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

int64_t EnvInt(const char* name, int64_t fallback);  // $name when set
int64_t CountOf(const std::string& text, const std::string& fragment);
// {"timestamp":ts,"msg_id":id[,extra]}, compact (also an acknowledgement's form).
std::string DataPayload(int64_t ts, const std::string& msg_id, const std::string& extra = "");

// The messages starting with `prefix` of the whole console lines "YYYY-MM-DD HH:MM:SS.mmm LEVEL
// file:line function: message"; other text (a line being written, foreign output) is left out.
std::vector<std::string> ParseLog(const std::string& text, const std::string& prefix = "");

// An outbox line; valid: a JSON object of exactly msg_id, payload (standard Base64), topic and ts
// (an integer) in the compact form that a fresh serialisation gives back byte for byte.
struct Record {
  std::string line, msg_id, topic, payload;  // payload decoded
  bool valid = false;
};
std::vector<Record> ParseRecords(const std::string& text, std::string* tail = nullptr);

// The active file and every archive of a directory (gzip through zcat, which reports truncations
// that gzread can miss), while no service writes to it.
struct Audit {
  std::multimap<std::string, std::string> lines;  // msg_id -> record line
  std::vector<std::string> broken;  // lines that are not records, torn tails, unreadable archives
  bool has(const std::string& id) const { return lines.count(id) != 0; }
  std::string line(const std::string& id) const { return has(id) ? lines.find(id)->second : ""; }
};
Audit AuditOutbox(const std::string& dir);

// Paho, clean session, automatic reconnect, QoS 1. `on_message` runs on Paho's thread, may publish.
class Peer {
 public:
  using Handler = std::function<void(const std::string& topic, const std::string& payload)>;
  Peer(const std::string& uri, const std::string& client_id, Handler on_message = nullptr);
  ~Peer();
  bool Subscribe(const std::string& filter);
  bool Publish(const std::string& topic, const std::string& payload);  // waits for the PUBACK
  // Returns at once; WaitSettled, which waits for n publishes to be confirmed or failed, lists
  // the tags the broker has acknowledged so far.
  bool PublishAsync(const std::string& topic, const std::string& payload, int64_t tag = -1);
  std::vector<int64_t> WaitSettled(size_t n, std::chrono::milliseconds limit);

 private:
  struct Op {
    Peer* peer;
    int64_t tag;    // -2: someone waits for it, no tag
    int state = 0;  // 0 running, 1 done, 2 failed
    void Settle(int s);
  };
  Op* Send(const std::string& topic, const std::string& payload, int64_t tag);  // nullptr: refused
  template <typename Options>
  Op* Track(Options* o, int64_t tag);  // the operation's context and callbacks
  bool Await(Op* op, std::chrono::milliseconds limit);

  MQTTAsync client_ = nullptr;
  Handler handler_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Op> ops_;
  std::vector<int64_t> confirmed_;
  size_t failed_ = 0;
};

struct ServiceOptions {
  std::vector<std::string> topics = {"/kv/e2e/data"};
  // Merged (JSON merge patch) over {"storage": {"dir": <tmp>/outbox}, "resend": {"cooldown": 3600}
  // (no resend chain unless asked for), "maintenance_interval": 1, "loop_timeout_ms": 1000}.
  nlohmann::json config = nlohmann::json::object();
  std::map<std::string, std::string> env = {};  // besides KESTOVA_LOG, KESTOVA_MQTT_URI
  std::vector<std::string> broker_config = {};  // extra mosquitto.conf lines
};

// One broker and one outbox directory for runs of the service, each with an output file of its
// own. A sanitizer report in any run fails the test.
class Service {
 public:
  explicit Service(ServiceOptions options = {});
  ~Service();
  bool Start(bool ready = true);  // a new run; with `ready`, WaitReady
  // Waits for the message loop, then until a probe (invalid JSON, told apart by its length) on the
  // first topic comes back as a warning: the data subscription is live.
  bool WaitReady(std::chrono::milliseconds limit = 30s);
  int Stop(int sig) { return run_ ? run_->Kill(sig) : -1; }  // by PID; the exit status
  bool running() { return run_ && run_->running(); }
  pid_t pid() const { return run_ ? run_->pid() : -1; }

  Broker& broker() { return broker_; }
  Peer& control() { return *control_; }
  std::unique_ptr<Peer> NewPeer(const std::string& name, Peer::Handler on_message = nullptr) {
    return std::make_unique<Peer>(broker_.uri(), "e2e-" + name, std::move(on_message));
  }
  const std::string& dir() const { return dir_; }
  std::string active() const { return dir_ + "/outbox.jsonl"; }
  std::vector<std::string> Archives() const;  // outbox.*.jsonl[.gz], sorted
  std::vector<Record> Outbox() const { return ParseRecords(Contents(active())); }

  // The output file of run 1, 2, ... (0: the current one), from the start of that run on.
  std::string OutputPath(int run) const { return tmp_.file(fmt::format("service-{}.log", run)); }
  std::string Output(int run = 0) const { return Contents(OutputPath(run == 0 ? runs_ : run)); }
  int runs() const { return runs_; }
  size_t ready() const { return ready_; }  // index of the log line after the current run's probe
  // Index of the first line from `from` on whose message holds `fragment`; -1 after `limit`.
  int WaitLog(const std::string& fragment, std::chrono::milliseconds limit = 10s,
              size_t from = 0) const;
  // Publishes DataPayload(ts, id) on the first topic: true once captured (within 10 s).
  bool Capture(int64_t ts, const std::string& id);

 private:
  ServiceOptions options_;
  TempDir tmp_;
  std::string dir_;
  Broker broker_;
  std::unique_ptr<Peer> control_;
  std::unique_ptr<Subprocess> run_;
  int runs_ = 0, probes_ = 0;
  size_t ready_ = 0;
};

}  // namespace testsupport
