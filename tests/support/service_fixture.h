// End-to-end harness: a private broker, the real skelvane binary on a configuration generated into
// a temporary directory, an MQTT peer that plays the other side (publisher, receiver,
// acknowledger), and readers for what the service leaves behind: its console log and its outbox
// files.
#pragma once

#include <MQTTAsync.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "broker.h"
#include "subprocess.h"
#include "temp_dir.h"

namespace testsupport {

using Clock = std::chrono::steady_clock;

// Whole seconds since the Unix epoch, as carried in "timestamp".
int64_t UnixNow();

// --- Log
// -------------------------------------------------------------------------------------------

// One console line: "YYYY-MM-DD HH:MM:SS.mmm LEVEL file:line function: message".
struct LogLine {
  std::string time;  // "YYYY-MM-DD HH:MM:SS.mmm"
  std::string level, file, function, message;
};
// Lines that do not have the console format (a torn last line, foreign output) are left out.
std::vector<LogLine> ParseLogLines(const std::string& text);
// Messages of `lines` (from index `from`) that start with `prefix`.
std::vector<std::string> MessagesStartingWith(const std::vector<LogLine>& lines,
                                              const std::string& prefix, size_t from = 0);

// --- Outbox
// ----------------------------------------------------------------------------------------

// One outbox line. `valid` means: a JSON object with exactly the members msg_id (string), payload
// (string of standard Base64), topic (string) and ts (integer), written in the compact form that
// a fresh serialisation of it gives back byte for byte.
struct OutboxRecord {
  std::string line;  // as in the file, without its line feed
  bool valid = false;
  std::string msg_id, topic;
  int64_t ts = 0;
  std::string payload;  // decoded bytes
};
OutboxRecord ParseOutboxLine(const std::string& line);
// Splits on line feeds. Text after the last line feed (a line still being written) is not a record;
// it is handed back through `tail` when asked for.
std::vector<OutboxRecord> ParseOutbox(const std::string& text, std::string* tail = nullptr);
// Standard Base64 with padding; false on anything else.
bool DecodeBase64(const std::string& text, std::string* out);
// The decompressed content of a gzip file; false when it cannot be read completely.
bool ReadGzip(const std::string& path, std::string* out);
// Content of a file, or nullopt when it does not exist (no test failure).
std::optional<std::string> TryReadFile(const std::string& path);

// --- MQTT peer
// -------------------------------------------------------------------------------------

struct PeerMessage {
  std::string topic;
  std::string payload;
  Clock::time_point at;
};

// The test's own MQTT client (Paho asynchronous client, clean session, automatic reconnect).
// Received messages are recorded in arrival order; publishes are QoS 1.
class MqttPeer {
 public:
  MqttPeer(const std::string& uri, const std::string& client_id);
  ~MqttPeer();
  MqttPeer(const MqttPeer&) = delete;
  MqttPeer& operator=(const MqttPeer&) = delete;

  bool Connect(std::chrono::milliseconds limit = std::chrono::seconds(10));
  bool Subscribe(const std::string& filter,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Publishes and waits for the broker's PUBACK.
  bool Publish(const std::string& topic, const std::string& payload,
               std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Hands the message to Paho and returns at once; `tag` shows up in Confirmed() once the broker
  // has acknowledged it (PUBACK). False when Paho refused the message.
  bool PublishAsync(const std::string& topic, const std::string& payload, int64_t tag = -1);
  std::vector<int64_t> Confirmed() const;
  // Waits until `n` asynchronous publishes have been confirmed or have failed.
  bool WaitSettled(size_t n, std::chrono::milliseconds limit);
  size_t failed_publishes() const;

  // Runs on Paho's thread for every arriving message, before it is recorded. It may publish.
  void SetHandler(std::function<void(const PeerMessage&)> handler);
  std::vector<PeerMessage> Messages() const;
  // Waits until pred(Messages()) holds.
  bool WaitMessages(const std::function<bool(const std::vector<PeerMessage>&)>& pred,
                    std::chrono::milliseconds limit);
  bool connected() const;

 private:
  struct Op;
  Op* NewOp(int64_t tag);
  bool WaitOp(Op* op, std::chrono::milliseconds limit);
  static void OnSuccess(void* context, MQTTAsync_successData* response);
  static void OnFailure(void* context, MQTTAsync_failureData* response);
  static int OnArrived(void* context, char* topic, int topic_len, MQTTAsync_message* message);
  static void OnLost(void* context, char* cause);
  static void OnConnected(void* context, char* cause);

  MQTTAsync client_ = nullptr;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::unique_ptr<Op>> ops_;
  std::vector<PeerMessage> messages_;
  std::vector<int64_t> confirmed_;
  size_t failed_ = 0;
  bool connected_ = false;
  std::function<void(const PeerMessage&)> handler_;
};

// --- Service
// ---------------------------------------------------------------------------------------

struct ServiceOptions {
  std::vector<std::string> topics = {"/kv/e2e/data"};
  // Merged over the generated {"dir": <TempDir>/outbox}.
  nlohmann::json storage = nlohmann::json::object();
  nlohmann::json resend = nlohmann::json::object();
  int maintenance_interval = 1;
  int loop_timeout_ms = 1000;
  // Extra environment for the service (KESTOVA_LOG and KESTOVA_MQTT_URI are set already).
  std::map<std::string, std::string> env;
  BrokerOptions broker;
  // Concrete data topic for the readiness probe; empty: the first of `topics`.
  std::string probe_topic;
};

// One broker and one outbox directory for a test; the service can be started several times over
// the same outbox (each run logs into its own file).
class ServiceFixture {
 public:
  explicit ServiceFixture(ServiceOptions options = {});
  ~ServiceFixture();
  ServiceFixture(const ServiceFixture&) = delete;
  ServiceFixture& operator=(const ServiceFixture&) = delete;

  // Starts a run and waits until its message loop runs and its data subscription is live (a probe
  // of invalid JSON on the probe topic has come back as a warning). False on time-out.
  bool StartService(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // Sends `sig` to the service by PID and waits for it to end; returns the exit status.
  int StopService(int sig);
  bool service_running();
  pid_t service_pid() const;

  Broker& broker() { return *broker_; }
  const ServiceOptions& options() const { return options_; }
  const std::string& outbox_dir() const { return outbox_dir_; }
  std::string active_path() const { return outbox_dir_ + "/outbox.jsonl"; }
  std::string config_path() const { return tmp_.file("skelvane.json"); }
  // A connected peer named "e2e-<name>".
  std::unique_ptr<MqttPeer> NewPeer(const std::string& name);
  // The fixture's own peer (probes and plain publishes).
  MqttPeer& control() { return *control_; }

  // Log of the current run, parsed, and its raw text.
  std::vector<LogLine> Log() const;
  std::string Output() const;
  // Index of the first line at or after `from` for which pred holds; -1 after `limit`.
  int WaitLog(const std::function<bool(const LogLine&)>& pred, std::chrono::milliseconds limit,
              size_t from = 0) const;
  int WaitLogStartsWith(const std::string& prefix, std::chrono::milliseconds limit,
                        size_t from = 0) const;
  // Index of the log line just after the readiness probe of the current run.
  size_t ready_index() const { return ready_index_; }

  // Complete records of the active file (empty when it does not exist).
  std::vector<OutboxRecord> Outbox() const;
  // Waits until pred(Outbox()) holds.
  bool WaitOutbox(const std::function<bool(const std::vector<OutboxRecord>&)>& pred,
                  std::chrono::milliseconds limit) const;
  // Rotated archive names (outbox.*.jsonl[.gz], no ".tmp"), sorted.
  std::vector<std::string> Archives() const;
  // Total size in bytes of the directory's entries.
  int64_t DirBytes() const;

 private:
  std::string RunOutputPath(int run) const;

  ServiceOptions options_;
  TempDir tmp_;
  std::string outbox_dir_;
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<MqttPeer> control_;
  std::unique_ptr<Subprocess> service_;
  int runs_ = 0;
  size_t ready_index_ = 0;
  int probes_ = 0;
};

// Data message payload {"timestamp":ts,"msg_id":id} followed by `extra` members (JSON text without
// the braces, e.g. "\"v\":1"), compact.
std::string DataPayload(int64_t ts, const std::string& msg_id, const std::string& extra = "");
// ACK payload in the single form.
std::string AckPayload(int64_t ts, const std::string& msg_id);

// Prints a figure both to stdout ("[ figure ] <label>: <value>") and as a test property.
void ReportFigure(const std::string& key, const std::string& label, const std::string& value);

}  // namespace testsupport
