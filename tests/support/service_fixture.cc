#include "service_fixture.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>

namespace testsupport {

using nlohmann::json;
using namespace std::chrono_literals;

int64_t UnixNow() { return static_cast<int64_t>(std::time(nullptr)); }

// --- Log
// -------------------------------------------------------------------------------------------

std::vector<LogLine> ParseLogLines(const std::string& text) {
  static const std::regex kLine(
      R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) ([A-Z]+) ([^: ]+):\d+ ([^ ]+): (.*)$)");
  std::vector<LogLine> lines;
  std::istringstream in(text);
  std::string row;
  std::smatch m;
  while (std::getline(in, row)) {
    if (in.eof()) break;  // no line feed yet: still being written
    if (std::regex_match(row, m, kLine)) lines.push_back({m[1], m[2], m[3], m[4], m[5]});
  }
  return lines;
}

std::vector<std::string> MessagesStartingWith(const std::vector<LogLine>& lines,
                                              const std::string& prefix, size_t from) {
  std::vector<std::string> out;
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].message.rfind(prefix, 0) == 0) out.push_back(lines[i].message);
  }
  return out;
}

// --- Outbox
// ----------------------------------------------------------------------------------------

bool DecodeBase64(const std::string& text, std::string* out) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out->clear();
  if (text.size() % 4 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 4) {
    uint32_t group = 0;
    int pad = 0;
    for (size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      if (c == '=') {
        // Padding only at the very end, at most two.
        if (i + 4 != text.size() || j < 2) return false;
        ++pad;
        group <<= 6;
        continue;
      }
      if (pad > 0) return false;
      const size_t v = kAlphabet.find(c);
      if (v == std::string::npos) return false;
      group = (group << 6) | static_cast<uint32_t>(v);
    }
    out->push_back(static_cast<char>((group >> 16) & 0xFF));
    if (pad < 2) out->push_back(static_cast<char>((group >> 8) & 0xFF));
    if (pad < 1) out->push_back(static_cast<char>(group & 0xFF));
  }
  return true;
}

OutboxRecord ParseOutboxLine(const std::string& line) {
  OutboxRecord r;
  r.line = line;
  json j = json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object() || j.size() != 4) return r;
  if (!j.contains("msg_id") || !j["msg_id"].is_string()) return r;
  if (!j.contains("payload") || !j["payload"].is_string()) return r;
  if (!j.contains("topic") || !j["topic"].is_string()) return r;
  if (!j.contains("ts") || !j["ts"].is_number_integer()) return r;
  if (j.dump() != line) return r;
  if (!DecodeBase64(j["payload"].get<std::string>(), &r.payload)) return r;
  r.msg_id = j["msg_id"].get<std::string>();
  r.topic = j["topic"].get<std::string>();
  r.ts = j["ts"].get<int64_t>();
  r.valid = true;
  return r;
}

std::vector<OutboxRecord> ParseOutbox(const std::string& text, std::string* tail) {
  std::vector<OutboxRecord> records;
  size_t start = 0;
  while (true) {
    const size_t nl = text.find('\n', start);
    if (nl == std::string::npos) break;
    records.push_back(ParseOutboxLine(text.substr(start, nl - start)));
    start = nl + 1;
  }
  if (tail != nullptr) *tail = text.substr(start);
  return records;
}

bool ReadGzip(const std::string& path, std::string* out) {
  out->clear();
  gzFile f = gzopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  char buf[8192];
  int n = 0;
  while ((n = gzread(f, buf, sizeof(buf))) > 0) out->append(buf, static_cast<size_t>(n));
  int err = Z_OK;
  gzerror(f, &err);
  gzclose(f);
  return n == 0 && (err == Z_OK || err == Z_STREAM_END);
}

std::optional<std::string> TryReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// --- MQTT peer
// -------------------------------------------------------------------------------------

struct MqttPeer::Op {
  MqttPeer* peer;
  int64_t tag;    // >= -1: an asynchronous publish reports it; kBlocking: someone waits
  int state = 0;  // 0 running, 1 succeeded, 2 failed
};

namespace {
constexpr int64_t kBlocking = -2;
}

MqttPeer::MqttPeer(const std::string& uri, const std::string& client_id) {
  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
  create.maxBufferedMessages = 100000;  // the limit also counts publishes queued while connected
  if (MQTTAsync_createWithOptions(&client_, uri.c_str(), client_id.c_str(),
                                  MQTTCLIENT_PERSISTENCE_NONE, nullptr,
                                  &create) != MQTTASYNC_SUCCESS) {
    ADD_FAILURE() << "MQTTAsync_create failed for " << uri;
    client_ = nullptr;
    return;
  }
  MQTTAsync_setCallbacks(client_, this, &MqttPeer::OnLost, &MqttPeer::OnArrived, nullptr);
  MQTTAsync_setConnected(client_, this, &MqttPeer::OnConnected);
}

MqttPeer::~MqttPeer() {
  if (client_ == nullptr) return;
  if (MQTTAsync_isConnected(client_)) {
    Op* op = NewOp(kBlocking);
    MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
    d.timeout = 1000;
    d.context = op;
    d.onSuccess = &MqttPeer::OnSuccess;
    d.onFailure = &MqttPeer::OnFailure;
    if (MQTTAsync_disconnect(client_, &d) == MQTTASYNC_SUCCESS) WaitOp(op, 3s);
  }
  MQTTAsync_destroy(&client_);
}

MqttPeer::Op* MqttPeer::NewOp(int64_t tag) {
  std::lock_guard lk(mu_);
  ops_.push_back(std::make_unique<Op>(Op{this, tag}));
  return ops_.back().get();
}

bool MqttPeer::WaitOp(Op* op, std::chrono::milliseconds limit) {
  std::unique_lock lk(mu_);
  cv_.wait_for(lk, limit, [&] { return op->state != 0; });
  return op->state == 1;
}

void MqttPeer::OnSuccess(void* context, MQTTAsync_successData*) {
  auto* op = static_cast<Op*>(context);
  MqttPeer* self = op->peer;
  {
    std::lock_guard lk(self->mu_);
    op->state = 1;
    if (op->tag >= -1) self->confirmed_.push_back(op->tag);
  }
  self->cv_.notify_all();
}

void MqttPeer::OnFailure(void* context, MQTTAsync_failureData*) {
  auto* op = static_cast<Op*>(context);
  MqttPeer* self = op->peer;
  {
    std::lock_guard lk(self->mu_);
    op->state = 2;
    if (op->tag >= -1) ++self->failed_;
  }
  self->cv_.notify_all();
}

int MqttPeer::OnArrived(void* context, char* topic, int topic_len, MQTTAsync_message* message) {
  auto* self = static_cast<MqttPeer*>(context);
  PeerMessage m;
  m.topic = topic_len > 0 ? std::string(topic, static_cast<size_t>(topic_len)) : std::string(topic);
  m.payload.assign(static_cast<const char*>(message->payload),
                   static_cast<size_t>(message->payloadlen));
  m.at = Clock::now();
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topic);
  std::function<void(const PeerMessage&)> handler;
  {
    std::lock_guard lk(self->mu_);
    handler = self->handler_;
  }
  if (handler) handler(m);
  {
    std::lock_guard lk(self->mu_);
    self->messages_.push_back(std::move(m));
  }
  self->cv_.notify_all();
  return 1;
}

void MqttPeer::OnLost(void* context, char*) {
  auto* self = static_cast<MqttPeer*>(context);
  std::lock_guard lk(self->mu_);
  self->connected_ = false;
}

void MqttPeer::OnConnected(void* context, char*) {
  auto* self = static_cast<MqttPeer*>(context);
  {
    std::lock_guard lk(self->mu_);
    self->connected_ = true;
  }
  self->cv_.notify_all();
}

bool MqttPeer::Connect(std::chrono::milliseconds limit) {
  if (client_ == nullptr) return false;
  Op* op = NewOp(kBlocking);
  MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
  o.keepAliveInterval = 20;
  o.cleansession = 1;
  o.automaticReconnect = 1;
  o.minRetryInterval = 1;
  o.maxRetryInterval = 2;
  o.context = op;
  o.onSuccess = &MqttPeer::OnSuccess;
  o.onFailure = &MqttPeer::OnFailure;
  if (MQTTAsync_connect(client_, &o) != MQTTASYNC_SUCCESS) return false;
  if (!WaitOp(op, limit)) return false;
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, limit, [&] { return connected_; });
}

bool MqttPeer::Subscribe(const std::string& filter, std::chrono::milliseconds limit) {
  Op* op = NewOp(kBlocking);
  MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
  r.context = op;
  r.onSuccess = &MqttPeer::OnSuccess;
  r.onFailure = &MqttPeer::OnFailure;
  if (MQTTAsync_subscribe(client_, filter.c_str(), 1, &r) != MQTTASYNC_SUCCESS) return false;
  return WaitOp(op, limit);
}

bool MqttPeer::Publish(const std::string& topic, const std::string& payload,
                       std::chrono::milliseconds limit) {
  Op* op = NewOp(kBlocking);
  MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
  r.context = op;
  r.onSuccess = &MqttPeer::OnSuccess;
  r.onFailure = &MqttPeer::OnFailure;
  MQTTAsync_message m = MQTTAsync_message_initializer;
  m.payload = const_cast<char*>(payload.data());
  m.payloadlen = static_cast<int>(payload.size());
  m.qos = 1;
  if (MQTTAsync_sendMessage(client_, topic.c_str(), &m, &r) != MQTTASYNC_SUCCESS) return false;
  return WaitOp(op, limit);
}

bool MqttPeer::PublishAsync(const std::string& topic, const std::string& payload, int64_t tag) {
  Op* op = NewOp(tag < -1 ? -1 : tag);
  MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
  r.context = op;
  r.onSuccess = &MqttPeer::OnSuccess;
  r.onFailure = &MqttPeer::OnFailure;
  MQTTAsync_message m = MQTTAsync_message_initializer;
  m.payload = const_cast<char*>(payload.data());
  m.payloadlen = static_cast<int>(payload.size());
  m.qos = 1;
  if (MQTTAsync_sendMessage(client_, topic.c_str(), &m, &r) != MQTTASYNC_SUCCESS) {
    std::lock_guard lk(mu_);
    ++failed_;
    op->state = 2;
    return false;
  }
  return true;
}

std::vector<int64_t> MqttPeer::Confirmed() const {
  std::lock_guard lk(mu_);
  return confirmed_;
}

bool MqttPeer::WaitSettled(size_t n, std::chrono::milliseconds limit) {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, limit, [&] { return confirmed_.size() + failed_ >= n; });
}

size_t MqttPeer::failed_publishes() const {
  std::lock_guard lk(mu_);
  return failed_;
}

void MqttPeer::SetHandler(std::function<void(const PeerMessage&)> handler) {
  std::lock_guard lk(mu_);
  handler_ = std::move(handler);
}

std::vector<PeerMessage> MqttPeer::Messages() const {
  std::lock_guard lk(mu_);
  return messages_;
}

bool MqttPeer::WaitMessages(const std::function<bool(const std::vector<PeerMessage>&)>& pred,
                            std::chrono::milliseconds limit) {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, limit, [&] { return pred(messages_); });
}

bool MqttPeer::connected() const {
  std::lock_guard lk(mu_);
  return connected_;
}

// --- Service
// ---------------------------------------------------------------------------------------

ServiceFixture::ServiceFixture(ServiceOptions options) : options_(std::move(options)) {
  outbox_dir_ = tmp_.file("outbox");
  broker_ = std::make_unique<Broker>(options_.broker);

  json storage = options_.storage;
  storage["dir"] = outbox_dir_;
  json config = {{"topics", options_.topics},
                 {"storage", storage},
                 {"resend", options_.resend},
                 {"maintenance_interval", options_.maintenance_interval},
                 {"loop_timeout_ms", options_.loop_timeout_ms}};
  WriteFile(config_path(), config.dump(2));
  if (options_.probe_topic.empty()) options_.probe_topic = options_.topics.front();
  control_ = NewPeer("control");
}

ServiceFixture::~ServiceFixture() {
  if (service_ && service_->running()) service_->Kill(SIGKILL);
  // A sanitizer report from any run fails the test even when the behaviour looked right.
  for (int run = 1; run <= runs_; ++run) {
    const std::string out = TryReadFile(RunOutputPath(run)).value_or("");
    for (const char* marker :
         {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", ": runtime error: "}) {
      if (out.find(marker) != std::string::npos) {
        ADD_FAILURE() << "service run " << run << " reported \"" << marker << "\"";
      }
    }
  }
  if (::testing::Test::HasFailure()) {
    // The tail of the last run is usually enough to see what happened.
    const std::string out = Output();
    size_t from = out.size();
    for (int lines = 0; from > 0 && lines < 1500; --from) {
      if (out[from - 1] == '\n') ++lines;
    }
    std::printf("---- service output (last run, tail) ----\n%s---- end ----\n",
                out.substr(from).c_str());
  }
  control_.reset();
}

std::unique_ptr<MqttPeer> ServiceFixture::NewPeer(const std::string& name) {
  auto peer = std::make_unique<MqttPeer>(broker_->uri(), "e2e-" + name);
  EXPECT_TRUE(peer->Connect()) << "peer " << name << " did not connect to " << broker_->uri();
  return peer;
}

std::string ServiceFixture::RunOutputPath(int run) const {
  return tmp_.file("service-" + std::to_string(run) + ".log");
}

bool ServiceFixture::StartService(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  ++runs_;
  std::map<std::string, std::string> env = options_.env;
  env["KESTOVA_LOG"] = "/P7.Sink=Console /P7.Trc.Verb=0";
  env["KESTOVA_MQTT_URI"] = broker_->uri();
  service_ = std::make_unique<Subprocess>(
      std::vector<std::string>{BinDir() + "/skelvane", config_path()}, env, RunOutputPath(runs_));
  const bool looping = WaitFor(
      [&] {
        return !service_->running() ||
               !MessagesStartingWith(Log(), "Entering message loop").empty();
      },
      limit);
  if (!looping || !service_->running()) {
    ADD_FAILURE() << "the service did not enter its message loop";
    return false;
  }
  // The subscriptions are made by the client in the background. Invalid JSON on a data topic is
  // harmless (one warning, nothing stored) and its length tells the probes apart.
  while (Clock::now() < deadline) {
    const int n = ++probes_;
    const std::string probe(static_cast<size_t>(n), '#');
    const std::string expect = "Data: invalid JSON (" + std::to_string(n) + " bytes)";
    control_->Publish(options_.probe_topic, probe);
    const int at =
        WaitLog([&](const LogLine& l) { return l.message.rfind(expect, 0) == 0; }, 300ms);
    if (at >= 0) {
      ready_index_ = static_cast<size_t>(at) + 1;
      return true;
    }
    if (!service_->running()) break;
  }
  ADD_FAILURE() << "the service never received a probe on " << options_.probe_topic;
  return false;
}

int ServiceFixture::StopService(int sig) {
  if (!service_) return -1;
  return service_->Kill(sig);
}

bool ServiceFixture::service_running() { return service_ && service_->running(); }

pid_t ServiceFixture::service_pid() const { return service_ ? service_->pid() : -1; }

std::string ServiceFixture::Output() const {
  if (runs_ == 0) return "";
  return TryReadFile(RunOutputPath(runs_)).value_or("");
}

std::vector<LogLine> ServiceFixture::Log() const { return ParseLogLines(Output()); }

int ServiceFixture::WaitLog(const std::function<bool(const LogLine&)>& pred,
                            std::chrono::milliseconds limit, size_t from) const {
  int found = -1;
  WaitFor(
      [&] {
        const std::vector<LogLine> lines = Log();
        for (size_t i = from; i < lines.size(); ++i) {
          if (pred(lines[i])) {
            found = static_cast<int>(i);
            return true;
          }
        }
        return false;
      },
      limit);
  return found;
}

int ServiceFixture::WaitLogStartsWith(const std::string& prefix, std::chrono::milliseconds limit,
                                      size_t from) const {
  return WaitLog([&](const LogLine& l) { return l.message.rfind(prefix, 0) == 0; }, limit, from);
}

std::vector<OutboxRecord> ServiceFixture::Outbox() const {
  return ParseOutbox(TryReadFile(active_path()).value_or(""));
}

bool ServiceFixture::WaitOutbox(const std::function<bool(const std::vector<OutboxRecord>&)>& pred,
                                std::chrono::milliseconds limit) const {
  return WaitFor([&] { return pred(Outbox()); }, limit);
}

std::vector<std::string> ServiceFixture::Archives() const {
  std::vector<std::string> names;
  DIR* d = ::opendir(outbox_dir_.c_str());
  if (d == nullptr) return names;
  while (dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n.rfind("outbox.", 0) == 0 && n != "outbox.jsonl" &&
        n.find(".jsonl") != std::string::npos && n.find(".tmp") == std::string::npos) {
      names.push_back(n);
    }
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

int64_t ServiceFixture::DirBytes() const {
  int64_t total = 0;
  DIR* d = ::opendir(outbox_dir_.c_str());
  if (d == nullptr) return 0;
  while (dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    struct stat st {};
    if (::stat((outbox_dir_ + "/" + n).c_str(), &st) == 0) total += st.st_size;
  }
  ::closedir(d);
  return total;
}

std::string DataPayload(int64_t ts, const std::string& msg_id, const std::string& extra) {
  std::string p = "{\"timestamp\":" + std::to_string(ts) + ",\"msg_id\":" + json(msg_id).dump();
  if (!extra.empty()) p += "," + extra;
  return p + "}";
}

std::string AckPayload(int64_t ts, const std::string& msg_id) {
  return json{{"timestamp", ts}, {"msg_id", msg_id}}.dump();
}

void ReportFigure(const std::string& key, const std::string& label, const std::string& value) {
  std::printf("[ figure ] %s: %s\n", label.c_str(), value.c_str());
  std::fflush(stdout);
  ::testing::Test::RecordProperty(key, value);
}

}  // namespace testsupport
