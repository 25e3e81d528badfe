#include "e2e.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <set>

#include "base64.h"

namespace testsupport {

using nlohmann::json;

int64_t EnvInt(const char* name, int64_t fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoll(v) : fallback;
}

int64_t CountOf(const std::string& text, const std::string& fragment) {
  int64_t n = 0;
  for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1))
    ++n;
  return n;
}

std::string DataPayload(int64_t ts, const std::string& msg_id, const std::string& extra) {
  return "{\"timestamp\":" + std::to_string(ts) + ",\"msg_id\":" + json(msg_id).dump() +
         (extra.empty() ? "" : "," + extra) + "}";
}

std::vector<std::string> ParseLog(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::string row = text.substr(start, nl - start);
    size_t at = row.size() > 24 && std::isdigit(static_cast<unsigned char>(row[0])) &&
                        row[4] == '-' && row[13] == ':' && row[19] == '.' && row[23] == ' '
                    ? 23
                    : std::string::npos;
    for (int word = 0; word < 3 && at != std::string::npos; ++word) at = row.find(' ', at + 1);
    if (at != std::string::npos && row[at - 1] == ':' &&
        row.compare(at + 1, prefix.size(), prefix) == 0)
      out.push_back(row.substr(at + 1));
  }
  return out;
}

static Record ParseRecord(const std::string& line) {
  Record r;
  r.line = line;
  const json j = json::parse(line, nullptr, false);
  const auto str = [&](const char* key) {
    return j.is_object() && j.value(key, json()).is_string();
  };
  if (!str("msg_id") || !str("topic") || !str("payload") || j.size() != 4 ||
      !j.value("ts", json()).is_number_integer() || j.dump() != line) {
    return r;
  }
  // Standard Base64 with padding: the text re-encoding the decoded bytes gives (codec:
  // base64_test).
  const std::vector<uint8_t> bytes = base64_decode(j["payload"]);
  r.payload.assign(bytes.begin(), bytes.end());
  r.valid = base64_encode(bytes.data(), bytes.size()) == j["payload"];
  r.msg_id = j["msg_id"];
  r.topic = j["topic"];
  return r;
}

std::vector<Record> ParseRecords(const std::string& text, std::string* tail) {
  std::vector<Record> records;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    records.push_back(ParseRecord(text.substr(start, nl - start)));
  if (tail != nullptr) *tail = text.substr(start);
  return records;
}

// outbox.*.jsonl[.gz] in `dir` (no temporary files), sorted; with `active`, outbox.jsonl too.
static std::set<std::string> List(const std::string& dir, bool active) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    const std::string n = e.path().filename();
    if (n.starts_with("outbox.") && n.find(".jsonl") != std::string::npos &&
        n.find(".tmp") == std::string::npos && (active || n != "outbox.jsonl"))
      names.insert(n);
  }
  return names;
}

Audit AuditOutbox(const std::string& dir) {
  Audit a;
  for (const std::string& n : List(dir, true)) {
    const std::string path = dir + "/" + n;
    if (std::error_code ec; !std::filesystem::is_regular_file(path, ec)) continue;
    std::string text = n.ends_with(".gz") ? "" : Contents(path), tail;
    if (n.ends_with(".gz")) {
      FILE* p = ::popen(("zcat -- '" + path + "' 2>/dev/null").c_str(), "r");
      char buf[65536];
      for (size_t got; p && (got = std::fread(buf, 1, sizeof(buf), p)) > 0;) text.append(buf, got);
      if (p == nullptr || ::pclose(p) != 0) a.broken.push_back("(unreadable) " + n);
    }
    for (Record& r : ParseRecords(text, &tail)) {
      if (!r.valid && !r.line.empty()) a.broken.push_back(r.line.substr(0, 200));
      if (r.valid) a.lines.emplace(r.msg_id, r.line);
    }
    if (!tail.empty()) a.broken.push_back("(torn) " + tail.substr(0, 200));
  }
  return a;
}

template <typename Options>
Peer::Op* Peer::Track(Options* o, int64_t tag) {
  std::lock_guard lk(mu_);
  o->context = &ops_.emplace_back(Op{this, tag});
  o->onSuccess = [](void* c, MQTTAsync_successData*) { static_cast<Op*>(c)->Settle(1); };
  o->onFailure = [](void* c, MQTTAsync_failureData*) { static_cast<Op*>(c)->Settle(2); };
  return static_cast<Op*>(o->context);
}

void Peer::Op::Settle(int s) {
  std::lock_guard lk(peer->mu_);
  state = s;
  if (tag >= -1 && s == 1) peer->confirmed_.push_back(tag);
  peer->failed_ += tag >= -1 && s == 2;
  peer->cv_.notify_all();
}

bool Peer::Await(Op* op, std::chrono::milliseconds limit) {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, limit, [&] { return op->state != 0; }) && op->state == 1;
}

Peer::Peer(const std::string& uri, const std::string& client_id, Handler on_message)
    : handler_(std::move(on_message)) {
  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
  create.maxBufferedMessages = 100000;  // also counts publishes queued while connected
  MQTTAsync_createWithOptions(&client_, uri.c_str(), client_id.c_str(), MQTTCLIENT_PERSISTENCE_NONE,
                              nullptr, &create);
  const auto arrived = [](void* self, char* topic, int len, MQTTAsync_message* m) {
    const std::string t = len > 0 ? std::string(topic, static_cast<size_t>(len)) : topic;
    const std::string payload(static_cast<char*>(m->payload), static_cast<size_t>(m->payloadlen));
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topic);
    if (static_cast<Peer*>(self)->handler_) static_cast<Peer*>(self)->handler_(t, payload);
    return 1;
  };
  MQTTAsync_setCallbacks(client_, this, nullptr, arrived, nullptr);
  MQTTAsync_connectOptions o = MQTTAsync_connectOptions_initializer;
  o.automaticReconnect = 1;
  o.minRetryInterval = 1;
  o.maxRetryInterval = 2;
  Op* op = Track(&o, -2);
  EXPECT_TRUE(MQTTAsync_connect(client_, &o) == 0 && Await(op, 10s)) << client_id << " " << uri;
}

Peer::~Peer() {
  MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
  d.timeout = 1000;
  Op* op = Track(&d, -2);
  if (MQTTAsync_disconnect(client_, &d) == 0) Await(op, 3s);
  MQTTAsync_destroy(&client_);
}

bool Peer::Subscribe(const std::string& filter) {
  MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
  Op* op = Track(&r, -2);
  return MQTTAsync_subscribe(client_, filter.c_str(), 1, &r) == 0 && Await(op, 10s);
}

Peer::Op* Peer::Send(const std::string& topic, const std::string& payload, int64_t tag) {
  MQTTAsync_responseOptions r = MQTTAsync_responseOptions_initializer;
  Op* op = Track(&r, tag);
  const int n = static_cast<int>(payload.size());
  if (MQTTAsync_send(client_, topic.c_str(), n, payload.data(), 1, 0, &r) == 0) return op;
  op->Settle(2);
  return nullptr;
}

bool Peer::Publish(const std::string& topic, const std::string& payload) {
  Op* op = Send(topic, payload, -2);
  return op && Await(op, 10s);
}

bool Peer::PublishAsync(const std::string& topic, const std::string& payload, int64_t tag) {
  return Send(topic, payload, std::max<int64_t>(tag, -1)) != nullptr;
}

std::vector<int64_t> Peer::WaitSettled(size_t n, std::chrono::milliseconds limit) {
  std::unique_lock lk(mu_);
  cv_.wait_for(lk, limit, [&] { return confirmed_.size() + failed_ >= n; });
  return confirmed_;
}

Service::Service(ServiceOptions options)
    : options_(std::move(options)),
      dir_(tmp_.file("outbox")),
      broker_(BrokerOptions{"", "", options_.broker_config}) {
  json config = {{"topics", options_.topics},
                 {"storage", {{"dir", dir_}}},
                 {"resend", {{"cooldown", 3600}}},
                 {"maintenance_interval", 1},
                 {"loop_timeout_ms", 1000}};
  config.merge_patch(options_.config);
  WriteFile(tmp_.file("skelvane.json"), config.dump());
  control_ = NewPeer("control");
}

Service::~Service() {
  run_.reset();
  for (int run = 1; run <= runs_; ++run) {
    for (const char* marker :
         {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error"}) {
      EXPECT_EQ(CountOf(Output(run), marker), 0) << "run " << run << ": " << marker;
    }
  }
  if (::testing::Test::HasFailure()) {
    const std::string out = Output();
    std::printf("---- end of run %d ----\n%s----\n", runs_,
                out.substr(out.size() - std::min<size_t>(out.size(), 20000)).c_str());
  }
}

bool Service::Start(bool ready) {
  std::map<std::string, std::string> env = options_.env;
  env["KESTOVA_LOG"] = "/P7.Sink=Console /P7.Trc.Verb=0";
  env["KESTOVA_MQTT_URI"] = broker_.uri();
  run_ = std::make_unique<Subprocess>(
      std::vector<std::string>{BinDir() + "/skelvane", tmp_.file("skelvane.json")}, env,
      OutputPath(++runs_));
  ready_ = 0;
  return !ready || WaitReady();
}

bool Service::WaitReady(std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  EXPECT_GE(WaitLog("Entering message loop", limit), 0) << "no message loop";
  for (int at = -1; Clock::now() < deadline && running();) {
    const int n = ++probes_;
    control_->Publish(options_.topics.front(), std::string(static_cast<size_t>(n), '#'));
    if ((at = WaitLog("Data: invalid JSON (" + std::to_string(n) + " bytes)", 300ms)) >= 0) {
      ready_ = static_cast<size_t>(at) + 1;
      return true;
    }
  }
  ADD_FAILURE() << "the service never received a probe on " << options_.topics.front();
  return false;
}

int Service::WaitLog(const std::string& fragment, std::chrono::milliseconds limit,
                     size_t from) const {
  int found = -1;
  WaitFor(
      [&] {
        const std::vector<std::string> lines = ParseLog(Output());
        for (size_t i = from; i < lines.size() && found < 0; ++i) {
          if (lines[i].find(fragment) != std::string::npos) found = static_cast<int>(i);
        }
        return found >= 0;
      },
      limit);
  return found;
}

bool Service::Capture(int64_t ts, const std::string& id) {
  const size_t from = ParseLog(Output()).size();
  EXPECT_TRUE(control_->Publish(options_.topics.front(), DataPayload(ts, id)));
  return WaitLog("Captured: ts=" + std::to_string(ts) + " msg_id=" + id + " ", 10s, from) >= 0;
}

std::vector<std::string> Service::Archives() const {
  const std::set<std::string> names = List(dir_, false);
  return {names.begin(), names.end()};
}

}  // namespace testsupport
