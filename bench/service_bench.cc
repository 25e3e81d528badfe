// End-to-end figures of the real skelvane binary against a private mosquitto on 127.0.0.1, each
// next to a baseline measured in the same run:
//   capture  N QoS 1 messages of about 200 bytes from one publisher, until all are in the outbox,
//            vs mosquitto_sub -q 1 writing the same messages to a file
//   resend   time per resend-chain step over a 1 MiB active file with an instant acknowledger,
//            vs one rewrite of that file plus one QoS 1 round trip through the same acknowledger
//   memory   resident size of the service with 100000 keys in its index (a limit, no baseline)
// Ours and the baseline alternate within each repetition, so a change of load on the shared cores
// hits both alike; the table gives the medians over the repetitions (wall time).
//
// Usage: service_bench [--reps N] [--messages N] [--steps N] [--keys N]
// The service binary is $SKELVANE_BIN_DIR/skelvane (bench/run sets it); it logs as in production
// (file sink, info and above) into the run's temporary directory.
#include <arpa/inet.h>
#include <dirent.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base64.h"
#include "bench_table.h"
#include "broker.h"
#include "env.h"
#include "record_format.h"
#include "subprocess.h"
#include "temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;
using testsupport::Subprocess;
using testsupport::TempDir;

constexpr char kTopic[] = "/kv/bench/data";
constexpr char kAckTopic[] = "/kv/bench/data/ack";

// Children started by this run; Die() ends them, since std::exit runs no destructors.
std::vector<pid_t>& Children() {
  static std::vector<pid_t> pids;
  return pids;
}

[[noreturn]] void Die(const std::string& why) {
  std::fprintf(stderr, "service_bench: %s\n", why.c_str());
  for (pid_t pid : Children()) ::kill(pid, SIGKILL);
  std::exit(1);
}

std::unique_ptr<Subprocess> Start(const std::vector<std::string>& argv,
                                  const std::map<std::string, std::string>& env,
                                  const std::string& output) {
  auto p = std::make_unique<Subprocess>(argv, env, output);
  if (p->pid() > 0) Children().push_back(p->pid());
  return p;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t SizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteWhole(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) Die("cannot write " + path);
}

// Polls `pred` every `poll` until it holds or `limit` passes; returns its last value.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit,
               std::chrono::microseconds poll = std::chrono::microseconds(500)) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(poll);
  }
  return pred();
}

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path ? path : "") + ":/usr/bin:/usr/sbin");
  for (std::string d; std::getline(dirs, d, ':');) {
    if (!d.empty() && ::access((d + "/" + name).c_str(), X_OK) == 0) return d + "/" + name;
  }
  Die(name + " not found");
}

// VmRSS or VmHWM of a process in KiB, from /proc.
int64_t ProcStatusKb(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return std::atoll(line.c_str() + std::strlen(key) + 1);
  }
  return 0;
}

// User plus system time of a process (all its threads) so far, from /proc.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  double ticks = 0;
  for (int i = 3; fields >> f; ++i) {
    if (i == 14 || i == 15) ticks += std::atof(f.c_str());  // utime, stime
    if (i == 15) break;
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// --- broker ----------------------------------------------------------------------------------

// A private mosquitto for the whole run. Nagle's algorithm is off on its sockets: with it, every
// QoS 1 round trip of small messages waits out a delayed acknowledgement (about 40 ms each way on
// Linux), which would make both sides of the resend comparison measure TCP timers instead of work.
// Logged: errors, warnings, notices and subscriptions (the readiness signal of both subscribers; a
// log file, which mosquitto writes through, unlike its standard output), not every message, which
// would load the shared cores with log writing that neither side of a comparison does. No limit on
// queued messages, so that a subscriber slower than the publisher gets every message late rather
// than some never.
class BenchBroker {
 public:
  BenchBroker() {
    port_ = testsupport::FreeLoopbackPort();
    std::string conf = fmt::format(
        "listener {} 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\nset_tcp_nodelay true\n"
        "log_dest file {}\n"
        "log_type error\nlog_type warning\nlog_type notice\nlog_type subscribe\n",
        port_, dir_.file("broker.log"));
    if (const char* user = std::getenv("USER"); user != nullptr && *user != '\0') {
      conf += fmt::format("user {}\n", user);
    } else {
      conf += "user root\n";
    }
    WriteWhole(dir_.file("mosquitto.conf"), conf);
    process_ = Start({testsupport::MosquittoPath(), "-c", dir_.file("mosquitto.conf")}, {},
                     dir_.file("broker.out"));
    if (!WaitUntil([&] { return Accepting(); }, std::chrono::seconds(10))) {
      Die("mosquitto did not start: " + Slurp(dir_.file("broker.out")));
    }
  }
  ~BenchBroker() { process_->Kill(SIGTERM); }

  std::string uri() const { return fmt::format("tcp://127.0.0.1:{}", port_); }
  int port() const { return port_; }
  // Waits until the broker has logged the subscription of `client_id` to `topic`.
  bool WaitSubscribed(const std::string& client_id, const std::string& topic) {
    const std::string needle = " " + client_id + " 1 " + topic + "\n";
    return WaitUntil(
        [&] { return Slurp(dir_.file("broker.log")).find(needle) != std::string::npos; },
        std::chrono::seconds(20), std::chrono::milliseconds(2));
  }

 private:
  bool Accepting() const {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    ::close(fd);
    return ok;
  }

  TempDir dir_;
  int port_ = 0;
  std::unique_ptr<Subprocess> process_;
};

// --- a minimal MQTT 3.1.1 client ---------------------------------------------------------------

// The bench's own side of every exchange: clean session, no keep-alive, QoS 1 publishes, and
// TCP_NODELAY, which Paho's C client does not set. With Nagle's algorithm a small publish that
// follows another small packet waits for the peer's delayed acknowledgement (about 40 ms on
// Linux), and a baseline made of such waits would measure TCP timers rather than work.
// Received publishes go to the handler on the reader thread, which acknowledges each after the
// handler returns; the handler may publish.
class WireClient {
 public:
  using Handler = std::function<void(const std::string& topic, const std::string& payload,
                                     Clock::time_point at)>;

  WireClient(int port, const std::string& client_id) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      Die("cannot connect to the broker");
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::string body("\0\4MQTT\4\2\0\0", 10);  // protocol, level 4, clean session, no keep-alive
    body += Str(client_id);
    Send(Packet(0x10, body));
    if (ReadPacket().type != 0x20) Die("no CONNACK");
  }
  ~WireClient() {
    ::shutdown(fd_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    ::close(fd_);
  }

  // Subscribes at QoS 1 and waits for the SUBACK; call before Start().
  void Subscribe(const std::string& topic) {
    Send(Packet(0x82, std::string("\0\1", 2) + Str(topic) + '\1'));
    if (ReadPacket().type != 0x90) Die("no SUBACK");
  }
  // Starts the reader thread; received publishes go to `handler`.
  void Start(Handler handler) {
    handler_ = std::move(handler);
    reader_ = std::thread([this] { ReadLoop(); });
  }
  void Publish(const std::string& topic, const std::string& payload) {
    Send(PublishPacket(topic, payload));
  }
  // Many publishes in large writes, as a busy publisher's socket carries them.
  void PublishAll(const std::string& topic, const std::vector<std::string>& payloads) {
    std::string batch;
    for (const std::string& p : payloads) {
      batch += PublishPacket(topic, p);
      if (batch.size() >= 64 * 1024) {
        Send(batch);
        batch.clear();
      }
    }
    Send(batch);
  }
  // PUBACKs received for our publishes.
  size_t acked() const { return acked_.load(); }

 private:
  struct Received {
    int type = 0;  // 0 when the connection has closed
    int flags = 0;
    std::string body;
  };

  static std::string Str(const std::string& s) {
    std::string out;
    out += static_cast<char>(s.size() >> 8);
    out += static_cast<char>(s.size() & 0xff);
    return out + s;
  }
  static std::string Packet(int type, const std::string& body) {
    std::string out(1, static_cast<char>(type));
    size_t n = body.size();
    do {
      char b = static_cast<char>(n % 128);
      n /= 128;
      if (n > 0) b = static_cast<char>(b | 0x80);
      out += b;
    } while (n > 0);
    return out + body;
  }
  std::string PublishPacket(const std::string& topic, const std::string& payload) {
    const uint16_t id = static_cast<uint16_t>(next_id_.fetch_add(1) % 65535 + 1);
    std::string body = Str(topic);
    body += static_cast<char>(id >> 8);
    body += static_cast<char>(id & 0xff);
    return Packet(0x32, body + payload);  // PUBLISH, QoS 1
  }
  void Send(const std::string& bytes) {
    std::lock_guard lk(write_mu_);
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t w = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (w <= 0) Die("send to the broker failed");
      done += static_cast<size_t>(w);
    }
  }
  bool ReadExact(char* buf, size_t n) {
    for (size_t done = 0; done < n;) {
      const ssize_t r = ::recv(fd_, buf + done, n - done, 0);
      if (r <= 0) return false;
      done += static_cast<size_t>(r);
    }
    return true;
  }
  Received ReadPacket() {
    Received p;
    char b = 0;
    if (!ReadExact(&b, 1)) return p;
    const int type = static_cast<unsigned char>(b);
    size_t len = 0;
    for (int shift = 0;; shift += 7) {
      if (!ReadExact(&b, 1)) return p;
      len |= static_cast<size_t>(b & 0x7f) << shift;
      if ((b & 0x80) == 0) break;
    }
    p.body.resize(len);
    if (!ReadExact(p.body.data(), len)) return p;
    p.type = type & 0xf0;
    p.flags = type & 0x0f;
    return p;
  }
  void ReadLoop() {
    for (;;) {
      Received p = ReadPacket();
      if (p.type == 0) return;  // closed
      if (p.type == 0x40) {
        acked_.fetch_add(1);
        continue;
      }
      if (p.type != 0x30) continue;
      const Clock::time_point at = Clock::now();
      const size_t topic_len =
          (static_cast<unsigned char>(p.body[0]) << 8) | static_cast<unsigned char>(p.body[1]);
      const std::string topic = p.body.substr(2, topic_len);
      size_t pos = 2 + topic_len;
      std::string id;
      if ((p.flags & 0x06) != 0) {  // QoS 1 or 2: a packet identifier follows
        id = p.body.substr(pos, 2);
        pos += 2;
      }
      if (handler_) handler_(topic, p.body.substr(pos), at);
      if (!id.empty()) Send(Packet(0x40, id));
    }
  }

 private:
  int fd_ = -1;
  std::mutex write_mu_;
  std::thread reader_;
  Handler handler_;
  std::atomic<uint32_t> next_id_{0};
  std::atomic<size_t> acked_{0};
};

// --- the service -----------------------------------------------------------------------------

class Service {
 public:
  Service(const BenchBroker& broker, const TempDir& dir, const json& storage, const json& resend)
      : dir_(dir) {
    json st = storage;
    st["dir"] = dir.file("outbox");
    json config = {{"topics", {kTopic}},
                   {"storage", st},
                   {"resend", resend},
                   {"maintenance_interval", 3600},
                   {"loop_timeout_ms", 1000}};
    WriteWhole(dir.file("skelvane.json"), config.dump());
    const std::string bin = testsupport::BinDir() + "/skelvane";
    if (::access(bin.c_str(), X_OK) != 0) Die(bin + " not found; set SKELVANE_BIN_DIR");
    std::map<std::string, std::string> env = {
        {"KESTOVA_MQTT_URI", broker.uri()},
        {"KESTOVA_LOG", "/P7.Sink=FileTxt /P7.Dir=" + dir.file("log") + " /P7.Trc.Verb=2"}};
    process_ = Start({bin, dir.file("skelvane.json")}, env, dir.file("service.out"));
  }
  ~Service() { process_->Kill(SIGKILL); }

  pid_t pid() const { return process_->pid(); }
  std::string client_id() const { return fmt::format("skelvane_{}", pid()); }
  std::string active_path() const { return dir_.file("outbox") + "/outbox.jsonl"; }
  // Everything the service logged so far.
  std::string Log() const {
    std::string all;
    if (DIR* d = ::opendir(dir_.file("log").c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') all += Slurp(dir_.file("log") + "/" + e->d_name);
      }
      ::closedir(d);
    }
    return all;
  }
  bool WaitLog(const std::string& text, std::chrono::milliseconds limit) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, limit,
                     std::chrono::milliseconds(5));
  }
  void WaitReady(BenchBroker& broker) const {
    if (!broker.WaitSubscribed(client_id(), kTopic) ||
        !broker.WaitSubscribed(client_id(), kAckTopic)) {
      Die("service did not subscribe; its output: " + Slurp(dir_.file("service.out")) + Log());
    }
  }

 private:
  const TempDir& dir_;
  std::unique_ptr<Subprocess> process_;
};

// A data message of the shape the service captures, padded to `size` bytes.
std::string DataMessage(int64_t ts, const std::string& id, size_t size) {
  std::string s =
      fmt::format(R"({{"timestamp":{},"msg_id":"{}","device":"meter-07","pad":")", ts, id);
  const size_t tail = 2;  // "}
  s.append(size > s.size() + tail ? size - s.size() - tail : 0, 'x');
  return s + "\"}";
}

std::string RecordOf(int64_t ts, const std::string& id, const std::string& payload) {
  return kestova::FormatRecordLine(
      ts, id, kTopic,
      base64_encode(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
}

// --- capture ---------------------------------------------------------------------------------

struct Capture {
  std::vector<std::string> payloads;
  int64_t outbox_bytes = 0;  // the active file once every message is stored
  int64_t sub_bytes = 0;     // mosquitto_sub's output: each payload and a line feed
};

Capture MakeCapture(int n, int run) {
  Capture c;
  const int64_t ts = UnixNow();
  for (int i = 0; i < n; ++i) {
    const std::string id = fmt::format("c{}-{:06d}", run, i);
    c.payloads.push_back(DataMessage(ts, id, 200));
    c.outbox_bytes += static_cast<int64_t>(RecordOf(ts, id, c.payloads.back()).size());
    c.sub_bytes += static_cast<int64_t>(c.payloads.back().size()) + 1;
  }
  return c;
}

// Publishes every message without waiting in between; returns when `done` holds (polled), the
// time from the first publish.
double PublishUntil(WireClient& publisher, const Capture& c, const std::function<bool()>& done) {
  const size_t before = publisher.acked();
  const auto t0 = Clock::now();
  publisher.PublishAll(kTopic, c.payloads);
  if (!WaitUntil(done, std::chrono::seconds(180))) Die("messages did not all arrive");
  const double took = Seconds(Clock::now() - t0);
  if (!WaitUntil([&] { return publisher.acked() >= before + c.payloads.size(); },
                 std::chrono::seconds(60))) {
    Die("publishes not acknowledged by the broker");
  }
  return took;
}

double CaptureByService(BenchBroker& broker, WireClient& publisher, const Capture& c) {
  TempDir dir;
  Service service(broker, dir,
                  {{"compress", false}, {"max_file_kb", 1 << 20}, {"max_dir_kb", 1 << 21}},
                  json::object());
  service.WaitReady(broker);
  const std::string active = service.active_path();
  const double took = PublishUntil(publisher, c, [&] { return SizeOf(active) >= c.outbox_bytes; });
  if (SizeOf(active) != c.outbox_bytes) Die("outbox holds other bytes than expected");
  std::printf("  skelvane CPU %.3f s for %zu messages\n", CpuSeconds(service.pid()),
              c.payloads.size());
  return took;
}

double CaptureBySub(BenchBroker& broker, WireClient& publisher, const Capture& c, int run) {
  TempDir dir;
  const std::string out = dir.file("sub.out");
  const std::string id = fmt::format("bench-sub-{}", run);
  auto sub = Start({FindProgram("mosquitto_sub"), "-h", "127.0.0.1", "-p",
                    std::to_string(broker.port()), "-q", "1", "-t", kTopic, "-i", id},
                   {}, out);
  if (!broker.WaitSubscribed(id, kTopic)) Die("mosquitto_sub did not subscribe");
  const double took = PublishUntil(publisher, c, [&] { return SizeOf(out) >= c.sub_bytes; });
  std::printf("  mosquitto_sub CPU %.3f s\n", CpuSeconds(sub->pid()));
  sub->Kill(SIGTERM);
  return took;
}

// --- resend chain ----------------------------------------------------------------------------

// Acknowledges every data message it receives at once (from its reader thread) while armed, and
// records when each arrived.
class Acknowledger {
 public:
  explicit Acknowledger(BenchBroker& broker) : client_(broker.port(), "bench-acker") {
    client_.Subscribe(kTopic);
    client_.Start([this](const std::string&, const std::string& payload, Clock::time_point at) {
      OnMessage(payload, at);
    });
  }
  // Acknowledges the next `n` messages; records their arrival times.
  void Arm(size_t n) {
    std::lock_guard lk(mu_);
    arrivals_.clear();
    budget_ = n;
  }
  size_t received() const {
    std::lock_guard lk(mu_);
    return arrivals_.size();
  }
  std::vector<Clock::time_point> arrivals() const {
    std::lock_guard lk(mu_);
    return arrivals_;
  }

 private:
  void OnMessage(const std::string& payload, Clock::time_point at) {
    const json doc = json::parse(payload, nullptr, /*allow_exceptions=*/false);
    std::lock_guard lk(mu_);
    arrivals_.push_back(at);
    if (budget_ == 0 || !doc.is_object()) return;
    --budget_;
    client_.Publish(kAckTopic, json{{"timestamp", doc.value("timestamp", int64_t{0})},
                                    {"msg_id", doc.value("msg_id", std::string())}}
                                   .dump());
  }

  mutable std::mutex mu_;
  std::vector<Clock::time_point> arrivals_;
  size_t budget_ = 0;
  WireClient client_;  // last: its reader thread, which uses the members above, ends first
};

// An active file of about `bytes` of old records (beyond every grace period), whose payloads are
// data messages naming their own record, as a republished message must.
std::string ResendFile(size_t bytes) {
  std::string text;
  const int64_t first = UnixNow() - 100000;
  for (int i = 0; text.size() < bytes; ++i) {
    const std::string id = fmt::format("r-{:06d}", i);
    text += RecordOf(first + i, id, DataMessage(first + i, id, 320));
  }
  return text;
}

double MeanStep(const std::vector<Clock::time_point>& t, size_t steps) {
  if (t.size() < steps + 1) Die("chain ended early");
  return Seconds(t[steps] - t[0]) / static_cast<double>(steps);
}

double ChainStep(BenchBroker& broker, WireClient& control, Acknowledger& acker,
                 const std::string& file, size_t steps, int run) {
  TempDir dir;
  ::mkdir(dir.file("outbox").c_str(), 0755);
  WriteWhole(dir.file("outbox") + "/outbox.jsonl", file);
  // No cooldown, so the live acknowledgement below starts the chain at once.
  Service service(broker, dir, json::object(), {{"cooldown", 0}});
  service.WaitReady(broker);
  acker.Arm(steps);
  control.Publish(kAckTopic,
                  json{{"timestamp", UnixNow()}, {"msg_id", fmt::format("live-{}", run)}}.dump());
  if (!WaitUntil([&] { return acker.received() >= steps + 1; }, std::chrono::seconds(120),
                 std::chrono::milliseconds(2))) {
    Die(fmt::format("chain stalled after {} steps; service log:\n{}", acker.received(),
                    service.Log()));
  }
  return MeanStep(acker.arrivals(), steps);
}

// One rewrite of the file as a flush does it: read it, write a new file, rename it over.
double Rewrite(const std::string& file) {
  TempDir dir;
  const std::string path = dir.file("outbox.jsonl");
  const std::string temp = path + ".tmp";
  WriteWhole(path, file);
  std::vector<double> times;
  for (int i = 0; i < 41; ++i) {
    const auto t0 = Clock::now();
    std::string text;
    if (kestova::ReadFileToString(kestova::Env::Default(), path, &text) != 0) Die("read");
    std::unique_ptr<kestova::WritableFile> out;
    if (kestova::Env::Default()->NewWritableFile(temp, true, &out) != 0 ||
        out->Append(text.data(), text.size()) != 0 || out->Close() != 0 ||
        ::rename(temp.c_str(), path.c_str()) != 0) {
      Die("rewrite");
    }
    times.push_back(Seconds(Clock::now() - t0));
  }
  return benchtable::Median(times);
}

// QoS 1 ping-pong through the same acknowledger: each acknowledgement that comes back makes the
// pinger publish the next message at once, from its reader thread, as the chain does.
double RoundTrip(BenchBroker& broker, Acknowledger& acker, size_t steps, int run) {
  std::mutex mu;
  std::vector<Clock::time_point> acks;
  WireClient pinger(broker.port(), fmt::format("bench-pinger-{}", run));  // ends before mu, acks
  pinger.Subscribe(kAckTopic);
  const int64_t ts = UnixNow() - 100000;
  auto ping = [&, ts](size_t k) {
    pinger.Publish(
        kTopic, DataMessage(ts + static_cast<int64_t>(k), fmt::format("p{}-{:06d}", run, k), 320));
  };
  acker.Arm(steps + 1);
  pinger.Start([&](const std::string&, const std::string&, Clock::time_point at) {
    size_t k;
    {
      std::lock_guard lk(mu);
      acks.push_back(at);
      k = acks.size();
    }
    if (k <= steps) ping(k);
  });
  ping(0);
  if (!WaitUntil(
          [&] {
            std::lock_guard lk(mu);
            return acks.size() >= steps + 1;
          },
          std::chrono::seconds(60), std::chrono::milliseconds(2))) {
    Die("ping-pong stalled");
  }
  std::lock_guard lk(mu);
  return MeanStep(acks, steps);
}

// --- memory ----------------------------------------------------------------------------------

struct Memory {
  double rss_mib = 0;        // largest VmRSS seen: after start-up and after a flush
  double hwm_mib = 0;        // VmHWM at the end
  double empty_rss_mib = 0;  // the same service over an empty outbox
  double bytes_per_key = 0;
  double long_id_rss_mib = 0;  // the same keys with 36-byte msg_ids (UUID-like)
};

// Starts the service over `keys` records, waits for its loop, then makes it flush the whole file
// and fetch one pending message (a live acknowledgement starts a chain that nobody acknowledges).
// `id_prefix` + eight digits make the msg_ids; up to 15 bytes they live inside the index's strings.
std::pair<int64_t, int64_t> ServiceRss(BenchBroker& broker, WireClient& control, int keys,
                                       const std::string& id_prefix = "m-") {
  TempDir dir;
  ::mkdir(dir.file("outbox").c_str(), 0755);
  {
    std::string text;
    const int64_t first = UnixNow() - 200000;
    for (int i = 0; i < keys; ++i) {
      const std::string id = fmt::format("{}{:08d}", id_prefix, i);
      text += RecordOf(first + i, id, DataMessage(first + i, id, 200));
    }
    WriteWhole(dir.file("outbox") + "/outbox.jsonl", text);
  }
  Service service(broker, dir, {{"max_file_kb", 1 << 20}, {"max_dir_kb", 1 << 21}},
                  {{"cooldown", 0}});
  if (!service.WaitLog("Entering message loop", std::chrono::seconds(60))) Die("no loop");
  if (!service.WaitLog(fmt::format("(index: {} entries)", keys), std::chrono::seconds(1))) {
    Die("index does not hold the keys");
  }
  service.WaitReady(broker);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  int64_t rss = ProcStatusKb(service.pid(), "VmRSS:");
  if (keys > 0) {
    control.Publish(kAckTopic, json{{"timestamp", UnixNow()}, {"msg_id", "live"}}.dump());
    if (!service.WaitLog("Resent: ", std::chrono::seconds(60))) Die("no resend");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rss = std::max(rss, ProcStatusKb(service.pid(), "VmRSS:"));
  }
  return {rss, ProcStatusKb(service.pid(), "VmHWM:")};
}

Memory MeasureMemory(BenchBroker& broker, WireClient& control, int keys) {
  Memory m;
  const auto [rss, hwm] = ServiceRss(broker, control, keys);
  const auto [empty_rss, empty_hwm] = ServiceRss(broker, control, 0);
  m.rss_mib = static_cast<double>(rss) / 1024;
  m.hwm_mib = static_cast<double>(hwm) / 1024;
  m.empty_rss_mib = static_cast<double>(empty_rss) / 1024;
  m.bytes_per_key = static_cast<double>(rss - empty_rss) * 1024 / keys;
  m.long_id_rss_mib =
      static_cast<double>(ServiceRss(broker, control, keys, "7f3c1e2a-9b4d-4c8e-a1f0-").first) /
      1024;
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 5;
  int messages = 20000;
  size_t steps = 200;
  int keys = 100000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (flag == "--reps") {
      reps = value;
    } else if (flag == "--messages") {
      messages = value;
    } else if (flag == "--steps") {
      steps = static_cast<size_t>(value);
    } else if (flag == "--keys") {
      keys = value;
    } else {
      Die("unknown flag " + flag);
    }
  }
  ::signal(SIGPIPE, SIG_IGN);

  BenchBroker broker;
  WireClient publisher(broker.port(), "bench-publisher");
  publisher.Start(nullptr);  // reads the broker's PUBACKs
  WireClient control(broker.port(), "bench-control");
  control.Start(nullptr);

  std::vector<double> ours_capture, sub_capture;
  for (int r = 0; r < reps; ++r) {
    const Capture c = MakeCapture(messages, r);
    ours_capture.push_back(CaptureByService(broker, publisher, c));
    sub_capture.push_back(CaptureBySub(broker, publisher, c, r));
    std::printf("capture %d: skelvane %.3f s, mosquitto_sub %.3f s\n", r, ours_capture.back(),
                sub_capture.back());
    std::fflush(stdout);
  }

  // Subscribed only now, so that it is no third receiver of the captured messages.
  Acknowledger acker(broker);
  const std::string file = ResendFile(1 << 20);
  std::vector<double> chain, base;
  for (int r = 0; r < reps; ++r) {
    chain.push_back(ChainStep(broker, control, acker, file, steps, r));
    const double rewrite = Rewrite(file);
    const double trip = RoundTrip(broker, acker, steps, r);
    base.push_back(rewrite + trip);
    std::printf("resend %d: chain step %.3f ms; rewrite %.3f ms + round trip %.3f ms\n", r,
                chain.back() * 1e3, rewrite * 1e3, trip * 1e3);
    std::fflush(stdout);
  }

  const Memory mem = MeasureMemory(broker, control, keys);
  std::printf(
      "memory: %d keys: VmRSS %.1f MiB (peak VmHWM %.1f MiB); empty outbox %.1f MiB; "
      "%.0f bytes per key; with 36-byte msg_ids %.1f MiB\n",
      keys, mem.rss_mib, mem.hwm_mib, mem.empty_rss_mib, mem.bytes_per_key, mem.long_id_rss_mib);

  benchtable::Emit({
      {fmt::format("capture via broker, {} QoS 1 msgs", messages), "mosquitto_sub -q 1 to a file",
       benchtable::Median(ours_capture), benchtable::Median(sub_capture), "s", 1.1, "wall"},
      {"resend chain step, 1 MiB active file", "1 rewrite of it + 1 QoS 1 round trip",
       benchtable::Median(chain) * 1e3, benchtable::Median(base) * 1e3, "ms", 1.5, "wall"},
      {fmt::format("resident memory, {} keys in the index", keys), "-", mem.rss_mib, 0, "MiB", 20,
       "-"},
  });
  return 0;
}
