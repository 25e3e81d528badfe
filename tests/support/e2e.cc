#include "e2e.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace testsupport {

using nlohmann::json;

int64_t UnixNow() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t EnvInt(const char* name, int64_t fallback) {
  const char* v = std::getenv(name);
  char* end = nullptr;
  const long long n = v ? std::strtoll(v, &end, 10) : 0;
  return (v && *v && *end == '\0') ? n : fallback;
}

int64_t ProcStatusKb(pid_t pid, const std::string& key) {
  const std::string status = Contents("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("\n" + key + ":");
  return at == std::string::npos ? -1 : std::strtoll(&status[at + key.size() + 2], nullptr, 10);
}

int64_t CountOf(const std::string& text, const std::string& fragment) {
  int64_t n = 0;
  for (size_t at = text.find(fragment); at != std::string::npos; at = text.find(fragment, at + 1)) {
    ++n;
  }
  return n;
}

std::string Contents(const std::string& path) {
  std::ostringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

void ReportFigure(const std::string& name, const std::string& value) {
  std::printf("[ figure ] %s: %s\n", name.c_str(), value.c_str());
  std::fflush(stdout);
}

std::string DataPayload(int64_t ts, const std::string& msg_id, const std::string& extra) {
  return "{\"timestamp\":" + std::to_string(ts) + ",\"msg_id\":" + json(msg_id).dump() +
         (extra.empty() ? "" : "," + extra) + "}";
}

std::string AckPayload(int64_t ts, const std::string& msg_id) {
  return json{{"timestamp", ts}, {"msg_id", msg_id}}.dump();
}

std::vector<LogLine> ParseLog(const std::string& text) {
  std::vector<LogLine> lines;
  for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    const std::string row = text.substr(start, nl - start);
    // The time stamp, then the level, "file:line" and "function:" as words.
    const size_t a = row.size() > 24 ? row.find(' ', 24) : std::string::npos;
    const size_t b = a == std::string::npos ? a : row.find(' ', a + 1);
    const size_t c = b == std::string::npos ? b : row.find(' ', b + 1);
    if (c != std::string::npos && std::isdigit(static_cast<unsigned char>(row[0])) &&
        row[4] == '-' && row[13] == ':' && row[19] == '.' && row[23] == ' ' && row[c - 1] == ':' &&
        c > b + 2 && row.rfind(':', b) > a) {
      lines.push_back({row.substr(24, a - 24), row.substr(a + 1, row.rfind(':', b) - a - 1),
                       row.substr(b + 1, c - b - 2), row.substr(c + 1)});
    }
  }
  return lines;
}

std::vector<std::string> Messages(const std::vector<LogLine>& lines, const std::string& prefix,
                                  size_t from) {
  std::vector<std::string> out;
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].message.rfind(prefix, 0) == 0) out.push_back(lines[i].message);
  }
  return out;
}

Record ParseRecord(const std::string& line) {
  Record r;
  r.line = line;
  const json j = json::parse(line, nullptr, false);
  if (!j.is_object() || j.size() != 4 || !j.contains("msg_id") || !j["msg_id"].is_string() ||
      !j.contains("topic") || !j["topic"].is_string() || !j.contains("ts") ||
      !j["ts"].is_number_integer() || !j.contains("payload") || !j["payload"].is_string() ||
      j.dump() != line) {
    return r;
  }
  // Standard Base64 with padding, decoded independently of the product's codec.
  const std::string b64 = j["payload"].get<std::string>();
  const size_t pad = b64.size() - std::min(b64.size(), b64.find_last_not_of('=') + 1);
  uint32_t bits = 0;
  for (size_t i = 0; i + pad < b64.size(); ++i) {
    const char c = b64[i];
    const int v = c >= 'A' && c <= 'Z'   ? c - 'A'
                  : c >= 'a' && c <= 'z' ? c - 'a' + 26
                  : c >= '0' && c <= '9' ? c - '0' + 52
                  : c == '+'             ? 62
                  : c == '/'             ? 63
                                         : -1;
    if (v < 0) return r;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    if (i % 4 != 0) r.payload.push_back(static_cast<char>(bits >> (6 - 2 * (i % 4))));
  }
  r.valid = b64.size() % 4 == 0 && pad <= 2;
  r.msg_id = j["msg_id"].get<std::string>();
  r.topic = j["topic"].get<std::string>();
  r.ts = j["ts"].get<int64_t>();
  return r;
}

std::vector<Record> ParseRecords(const std::string& text, std::string* tail) {
  std::vector<Record> records;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
    records.push_back(ParseRecord(text.substr(start, nl - start)));
  }
  if (tail != nullptr) *tail = text.substr(start);
  return records;
}

size_t Audit::duplicates() const {
  std::set<std::string> ids;
  for (const auto& [id, line] : lines) ids.insert(id);
  return lines.size() - ids.size();
}

static bool IsArchive(const std::string& n) {
  return n.starts_with("outbox.") && n != "outbox.jsonl" && n.find(".jsonl") != std::string::npos &&
         n.find(".tmp") == std::string::npos;
}

static std::set<std::string> List(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    names.insert(e.path().filename());
  return names;
}

Audit AuditOutbox(const std::string& dir) {
  Audit a;
  for (const std::string& n : List(dir)) {
    const std::string path = dir + "/" + n;
    struct stat st {};
    a.temp_files += n.find(".tmp") != std::string::npos;
    if ((n != "outbox.jsonl" && !IsArchive(n)) || ::stat(path.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode)) {
      continue;
    }
    std::string text = n.ends_with(".gz") ? "" : Contents(path), tail;
    if (n.ends_with(".gz")) {
      FILE* p = ::popen(("zcat -- '" + path + "' 2>/dev/null").c_str(), "r");
      char buf[65536];
      for (size_t got; p && (got = std::fread(buf, 1, sizeof(buf), p)) > 0;) text.append(buf, got);
      if (p == nullptr || ::pclose(p) != 0) a.unreadable.push_back(n);
    }
    for (Record& r : ParseRecords(text, &tail)) {
      if (!r.valid && !r.line.empty()) a.broken.push_back(r.line.substr(0, 200));
      if (r.valid) a.lines.emplace(r.msg_id, r.line);
      if (r.valid) a.files[n].push_back(r);
    }
    if (!tail.empty()) a.broken.push_back("(torn) " + tail.substr(0, 200));
  }
  return a;
}

template <typename Options>
Peer::Op* Peer::Track(Options* o, int64_t tag) {
  std::lock_guard lk(mu_);
  o->context = &ops_.emplace_back(Op{this, tag});
  o->onSuccess = [](void* c, MQTTAsync_successData*) {
    auto* op = static_cast<Op*>(c);
    std::lock_guard lk(op->peer->mu_);
    op->state = 1;
    if (op->tag >= -1) op->peer->confirmed_.push_back(op->tag);
    op->peer->cv_.notify_all();
  };
  o->onFailure = [](void* c, MQTTAsync_failureData*) {
    auto* op = static_cast<Op*>(c);
    std::lock_guard lk(op->peer->mu_);
    op->state = 2;
    op->peer->failed_ += op->tag >= -1;
    op->peer->cv_.notify_all();
  };
  return static_cast<Op*>(o->context);
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
  r.onFailure(op, nullptr);
  return nullptr;
}

bool Peer::Publish(const std::string& topic, const std::string& payload,
                   std::chrono::milliseconds limit) {
  Op* op = Send(topic, payload, -2);
  return op && Await(op, limit);
}

bool Peer::PublishAsync(const std::string& topic, const std::string& payload, int64_t tag) {
  return Send(topic, payload, std::max<int64_t>(tag, -1)) != nullptr;
}

std::vector<int64_t> Peer::Confirmed() const {
  std::lock_guard lk(mu_);
  return confirmed_;
}

bool Peer::WaitSettled(size_t n, std::chrono::milliseconds limit) {
  std::unique_lock lk(mu_);
  return cv_.wait_for(lk, limit, [&] { return confirmed_.size() + failed_ >= n; });
}

Service::Service(ServiceOptions options)
    : options_(std::move(options)),
      dir_(tmp_.file("outbox")),
      broker_(BrokerOptions{false, "", "", options_.broker_config}) {
  json storage = options_.storage;
  storage["dir"] = dir_;
  WriteFile(tmp_.file("skelvane.json"), json{{"topics", options_.topics},
                                             {"storage", storage},
                                             {"resend", options_.resend},
                                             {"maintenance_interval", 1},
                                             {"loop_timeout_ms", 1000}}
                                            .dump());
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
    size_t from = out.size();
    for (int lines = 0; from > 0 && lines < 200; --from) lines += out[from - 1] == '\n';
    std::printf("---- service output, end of run %d ----\n%s----\n", runs_, out.c_str() + from);
  }
}

std::unique_ptr<Peer> Service::NewPeer(const std::string& name, Peer::Handler on_message) {
  return std::make_unique<Peer>(broker_.uri(), "e2e-" + name, std::move(on_message));
}

std::string Service::Output(int run) const {
  return Contents(tmp_.file("service-" + std::to_string(run == 0 ? runs_ : run) + ".log"));
}

std::string Service::OutputPath(int run) const {
  return tmp_.file("service-" + std::to_string(run) + ".log");
}

bool Service::Start(bool ready, const std::vector<std::string>& prefix) {
  std::map<std::string, std::string> env = options_.env;
  env["KESTOVA_LOG"] = "/P7.Sink=Console /P7.Trc.Verb=0";
  env["KESTOVA_MQTT_URI"] = broker_.uri();
  std::vector<std::string> argv = prefix;
  argv.insert(argv.end(), {BinDir() + "/skelvane", tmp_.file("skelvane.json")});
  run_ = std::make_unique<Subprocess>(argv, env,
                                      tmp_.file("service-" + std::to_string(++runs_) + ".log"));
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
        const std::vector<LogLine> lines = Log();
        for (size_t i = from; i < lines.size() && found < 0; ++i) {
          if (lines[i].message.find(fragment) != std::string::npos) found = static_cast<int>(i);
        }
        return found >= 0;
      },
      limit);
  return found;
}

bool Service::Capture(int64_t ts, const std::string& id, const std::string& refusal) {
  const size_t from = Log().size();
  EXPECT_TRUE(control_->Publish(options_.topics.front(), DataPayload(ts, id)));
  const std::string captured = "Captured: ts=" + std::to_string(ts) + " msg_id=" + id + " ";
  std::string last;
  EXPECT_TRUE(WaitFor(
      [&] {
        const std::vector<LogLine> lines = Log();
        for (size_t i = from; i < lines.size(); ++i) {
          last = lines[i].message;
          if (last.starts_with(captured) || (!refusal.empty() && CountOf(last, refusal)))
            return true;
        }
        return false;
      },
      10s))
      << id << " was neither captured nor refused";
  return last.starts_with(captured);
}

std::vector<std::string> Service::Archives() const {
  std::vector<std::string> names;
  for (const std::string& n : List(dir_)) {
    if (IsArchive(n)) names.push_back(n);
  }
  return names;
}

Receiver::Receiver(Service& svc, const std::vector<std::string>& topics,
                   std::function<bool(const Msg&)> should_ack)
    : should_ack_(std::move(should_ack)), acker_(svc.NewPeer("acker")) {
  peer_ = svc.NewPeer("receiver", [this](const std::string& topic, const std::string& payload) {
    const json j = json::parse(payload, nullptr, false);
    if (!j.is_object() || !j.contains("msg_id") || !j["msg_id"].is_string() ||
        !j.contains("timestamp") || !j["timestamp"].is_number()) {
      return;
    }
    const Msg m{j["msg_id"].get<std::string>(), topic, payload, j["timestamp"].get<int64_t>()};
    if (!should_ack_ || should_ack_(m))
      acker_->PublishAsync(topic + "/ack", AckPayload(m.ts, m.id));
    std::lock_guard lk(mu_);
    seen_.push_back(m);
  });
  for (const std::string& t : topics) EXPECT_TRUE(peer_->Subscribe(t));
}

}  // namespace testsupport
