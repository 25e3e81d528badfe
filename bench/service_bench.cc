// End-to-end figures of the real skelvane binary against a private mosquitto on 127.0.0.1, each
// next to a baseline measured in the same run:
//   capture   N QoS 1 messages of about 200 bytes from one publisher, until all are in the outbox,
//             vs mosquitto_sub -q 1 writing the same messages to a file
//   queued    100000 such messages queued by the broker for the service's persistent session while
//             it is stopped, from its start until all are in the outbox, vs mosquitto_sub -q 1 -c
//             (persistent session) started over the same queue, writing it to a file
//   drain     a backlog of old records (1 MiB and 10 MiB) resent to an instant acknowledger, one at
//             a time, from a live acknowledgement until the outbox is empty:
//               bytes the service wrote (/proc/<pid>/io) vs the backlog's own bytes
//               time per chain step vs reading the next line of the file, publishing its payload
//               and a QoS 1 round trip through the same acknowledger
//   latency   time per resent message with 20 ms and 100 ms acknowledgement latency, a window of
//             16 vs a window of 1
//   memory    resident size of the service with 100000 keys in its index (a limit, no baseline)
// Ours and the baseline alternate within each repetition, so a change of load on the shared cores
// hits both alike; the table gives the medians over the repetitions (wall time; bytes for the
// drain rows).
//
// Usage: service_bench [--reps N] [--big-reps N] [--messages N] [--queued N] [--keys N]
// --big-reps bounds the repetitions of the 10 MiB drain (default 3). The service binary is
// $SKELVANE_BIN_DIR/skelvane (bench/run sets it); it logs as in production (file sink, info and
// above) into the run's temporary directory, under $TMPDIR: the write counts of the drain need a
// file system that writes to a device, which the program checks (not tmpfs).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <linux/magic.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
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
#include "record_reader.h"
#include "record_writer.h"
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

// What /proc/<pid>/io counts for a process (all its threads): wchar, the bytes it passed to write
// calls of every kind (files, its log, sockets); write_bytes, the bytes it caused to be sent to
// the storage layer (counted when a page is dirtied); cancelled_write_bytes, the part of those
// that never reached the device because the file was truncated or deleted first.
struct Io {
  int64_t wchar = 0;
  int64_t write_bytes = 0;
  int64_t cancelled = 0;

  Io operator-(const Io& o) const {
    return {wchar - o.wchar, write_bytes - o.write_bytes, cancelled - o.cancelled};
  }
  int64_t device() const { return write_bytes - cancelled; }
};

Io ReadIo(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/io");
  Io io;
  int found = 0;
  std::string key;
  for (int64_t value; in >> key >> value;) {
    if (key == "wchar:") io.wchar = value, ++found;
    if (key == "write_bytes:") io.write_bytes = value, ++found;
    if (key == "cancelled_write_bytes:") io.cancelled = value, ++found;
  }
  if (found != 3) Die(fmt::format("cannot read /proc/{}/io", pid));
  return io;
}

// Bytes of the regular files directly in `dir`.
int64_t DirBytes(const std::string& dir) {
  int64_t total = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] != '.') total += SizeOf(dir + "/" + e->d_name);
    }
    ::closedir(d);
  }
  return total;
}

double MiB(int64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

// --- broker ----------------------------------------------------------------------------------

// The test support's private mosquitto, configured for the whole run: Nagle's algorithm off on its
// sockets (with it, every QoS 1 round trip of small messages waits out a delayed acknowledgement,
// about 40 ms each way on Linux, and both sides of the resend comparison would measure TCP timers
// instead of work); errors, warnings, notices and subscriptions logged to a file of its own (the
// readiness signal of both subscribers; mosquitto writes a log file through), not every message,
// which would load the shared cores with log writing that neither side of a comparison does; no
// limit on queued messages, so that a subscriber slower than the publisher gets every message late
// rather than some never.
class BenchBroker {
 public:
  BenchBroker() : broker_(Options(dir_)) {
    if (!broker_.running()) Die("mosquitto did not start");
  }

  std::string uri() const { return broker_.uri(); }
  int port() const { return broker_.port(); }
  // Waits until the broker has logged the subscription of `client_id` to `topic`.
  bool WaitSubscribed(const std::string& client_id, const std::string& topic) {
    return WaitLogged(" " + client_id + " 1 " + topic + "\n");
  }
  // Waits until the broker has seen `client_id` go (`count` times in this run), so that what is
  // published next is queued for its session rather than sent to a dying connection.
  bool WaitGone(const std::string& client_id, int count = 1) {
    return WaitUntil(
        [&] {
          const std::string log = Slurp(dir_.file("broker.log"));
          return Count(log, "Client " + client_id + " closed its connection.") +
                     Count(log, "Client " + client_id + " disconnected.") >=
                 count;
        },
        std::chrono::seconds(20), std::chrono::milliseconds(2));
  }

 private:
  bool WaitLogged(const std::string& needle) {
    return WaitUntil(
        [&] { return Slurp(dir_.file("broker.log")).find(needle) != std::string::npos; },
        std::chrono::seconds(20), std::chrono::milliseconds(2));
  }
  static int Count(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
      ++n;
    }
    return n;
  }
  static testsupport::BrokerOptions Options(const TempDir& dir) {
    testsupport::BrokerOptions o;
    o.log_types = {"error", "warning", "notice", "subscribe"};
    o.extra_config = {"max_queued_messages 0", "set_tcp_nodelay true",
                      "log_dest file " + dir.file("broker.log")};
    return o;
  }

  TempDir dir_;  // before broker_: its log file name goes into the broker's configuration
  testsupport::Broker broker_;
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
  // Starts the service on `dir`'s outbox. A non-empty `client_id` is given to it as
  // KESTOVA_MQTT_CLIENT_ID: a persistent session under that id.
  Service(const BenchBroker& broker, const TempDir& dir, const json& storage, const json& resend,
          const std::string& client_id = "")
      : dir_(dir), fixed_id_(client_id) {
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
    if (!client_id.empty()) env["KESTOVA_MQTT_CLIENT_ID"] = client_id;
    process_ = Start({bin, dir.file("skelvane.json")}, env, dir.file("service.out"));
  }
  ~Service() { process_->Kill(SIGKILL); }

  pid_t pid() const { return process_->pid(); }
  std::string client_id() const {
    return fixed_id_.empty() ? fmt::format("skelvane_{}", pid()) : fixed_id_;
  }
  std::string active_path() const { return dir_.file("outbox") + "/outbox.jsonl"; }
  std::string log_dir() const { return dir_.file("log"); }
  // Everything the service logged so far.
  std::string Log() const {
    std::string all;
    if (DIR* d = ::opendir(log_dir().c_str())) {
      while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.') all += Slurp(log_dir() + "/" + e->d_name);
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
  std::string fixed_id_;
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

// --- capture of a queue ----------------------------------------------------------------------

// Ends the persistent session of `client_id` at the broker, with the messages queued for it: a
// clean-session connect under that id discards it. Without this every later publish of the run
// would be queued for the session again.
void DropSession(BenchBroker& broker, const std::string& client_id) {
  { WireClient wipe(broker.port(), client_id); }
  if (!broker.WaitGone(client_id, 3)) Die("session of " + client_id + " not dropped");
}

// Publishes every message while the receiver is away and waits until the broker has taken them
// all (queued for the receiver's session).
void QueueAll(WireClient& publisher, const Capture& c) {
  const size_t before = publisher.acked();
  publisher.PublishAll(kTopic, c.payloads);
  if (!WaitUntil([&] { return publisher.acked() >= before + c.payloads.size(); },
                 std::chrono::seconds(120))) {
    Die("publishes not acknowledged by the broker");
  }
}

struct Timed {
  double seconds = 0;
  double cpu = 0;  // of the receiving process
};

// The service's persistent session is made by a first start (then killed); the queue builds up
// while it is stopped; the time runs from the second start until every message is in the outbox.
Timed QueuedByService(BenchBroker& broker, WireClient& publisher, const Capture& c, int run) {
  TempDir dir;
  const std::string id = fmt::format("bench-skelvane-q{}", run);
  const json storage = {{"compress", false}, {"max_file_kb", 1 << 20}, {"max_dir_kb", 1 << 21}};
  {
    Service first(broker, dir, storage, json::object(), id);
    first.WaitReady(broker);
  }
  if (!broker.WaitGone(id)) Die("broker did not see the service go");
  QueueAll(publisher, c);
  Timed t;
  {
    const auto t0 = Clock::now();
    Service service(broker, dir, storage, json::object(), id);
    const std::string active = service.active_path();
    if (!WaitUntil([&] { return SizeOf(active) >= c.outbox_bytes; }, std::chrono::seconds(300),
                   std::chrono::milliseconds(1))) {
      Die("queued messages did not all arrive; service log:\n" + service.Log());
    }
    t.seconds = Seconds(Clock::now() - t0);
    t.cpu = CpuSeconds(service.pid());
    if (SizeOf(active) != c.outbox_bytes) Die("outbox holds other bytes than expected");
  }
  DropSession(broker, id);
  return t;
}

Timed QueuedBySub(BenchBroker& broker, WireClient& publisher, const Capture& c, int run) {
  TempDir dir;
  const std::string id = fmt::format("bench-sub-q{}", run);
  const std::vector<std::string> argv = {FindProgram("mosquitto_sub"),
                                         "-h",
                                         "127.0.0.1",
                                         "-p",
                                         std::to_string(broker.port()),
                                         "-q",
                                         "1",
                                         "-c",
                                         "-i",
                                         id,
                                         "-t",
                                         kTopic};
  {
    auto first = Start(argv, {}, dir.file("first.out"));
    if (!broker.WaitSubscribed(id, kTopic)) Die("mosquitto_sub did not subscribe");
    first->Kill(SIGTERM);
  }
  if (!broker.WaitGone(id)) Die("broker did not see mosquitto_sub go");
  QueueAll(publisher, c);
  Timed t;
  const std::string out = dir.file("sub.out");
  const auto t0 = Clock::now();
  auto sub = Start(argv, {}, out);
  if (!WaitUntil([&] { return SizeOf(out) >= c.sub_bytes; }, std::chrono::seconds(300),
                 std::chrono::milliseconds(1))) {
    Die("queued messages did not all reach mosquitto_sub");
  }
  t.seconds = Seconds(Clock::now() - t0);
  t.cpu = CpuSeconds(sub->pid());
  sub->Kill(SIGTERM);
  DropSession(broker, id);
  return t;
}

// --- resend chain ----------------------------------------------------------------------------

// Bytes of a QoS 1 PUBLISH of `payload` on `topic`, as it crosses the wire.
int64_t PublishBytes(const std::string& topic, const std::string& payload) {
  const size_t body = 2 + topic.size() + 2 + payload.size();
  size_t length_bytes = 1;
  for (size_t n = body; n >= 128; n /= 128) ++length_bytes;
  return static_cast<int64_t>(1 + length_bytes + body);
}

// Acknowledges the data messages it receives while armed, at once (from its reader thread) or,
// with a delay, from a timer thread `delay` after each arrived; records when each message arrived
// and when each acknowledgement went out.
class Acknowledger {
 public:
  explicit Acknowledger(BenchBroker& broker) : client_(broker.port(), "bench-acker") {
    timer_ = std::thread([this] { TimerLoop(); });
    client_.Subscribe(kTopic);
    client_.Start([this](const std::string& topic, const std::string& payload,
                         Clock::time_point at) { OnMessage(topic, payload, at); });
  }
  ~Acknowledger() {
    {
      std::lock_guard lk(mu_);
      quit_ = true;
    }
    wake_.notify_all();
    timer_.join();
  }

  // Acknowledges the next `n` messages, each `delay` after its arrival; forgets the records of
  // earlier ones and drops the acknowledgements still waiting for their time.
  void Arm(size_t n, Clock::duration delay = Clock::duration::zero()) {
    std::lock_guard lk(mu_);
    arrivals_.clear();
    acked_at_.clear();
    due_.clear();
    budget_ = n;
    delay_ = delay;
    bytes_ = 0;
  }
  size_t received() const {
    std::lock_guard lk(mu_);
    return arrivals_.size();
  }
  size_t acked() const {
    std::lock_guard lk(mu_);
    return acked_at_.size();
  }
  std::vector<Clock::time_point> arrivals() const {
    std::lock_guard lk(mu_);
    return arrivals_;
  }
  std::vector<Clock::time_point> acked_at() const {
    std::lock_guard lk(mu_);
    return acked_at_;
  }
  // Wire bytes of the data messages received since Arm(): what their publisher sent for them.
  int64_t bytes() const {
    std::lock_guard lk(mu_);
    return bytes_;
  }

 private:
  void OnMessage(const std::string& topic, const std::string& payload, Clock::time_point at) {
    const json doc = json::parse(payload, nullptr, /*allow_exceptions=*/false);
    std::lock_guard lk(mu_);
    arrivals_.push_back(at);
    bytes_ += PublishBytes(topic, payload);
    if (budget_ == 0 || !doc.is_object()) return;
    --budget_;
    std::string ack = json{{"timestamp", doc.value("timestamp", int64_t{0})},
                           {"msg_id", doc.value("msg_id", std::string())}}
                          .dump();
    if (delay_ == Clock::duration::zero()) {
      Send(ack);
      return;
    }
    due_.emplace_back(at + delay_, std::move(ack));  // in arrival order, so in order of time
    wake_.notify_one();
  }
  void Send(const std::string& ack) {  // under mu_
    client_.Publish(kAckTopic, ack);
    acked_at_.push_back(Clock::now());
  }
  void TimerLoop() {
    std::unique_lock lk(mu_);
    while (!quit_) {
      if (due_.empty()) {
        wake_.wait(lk);
      } else if (Clock::now() < due_.front().first) {
        wake_.wait_until(lk, due_.front().first);
      } else {
        Send(due_.front().second);
        due_.pop_front();
      }
    }
  }

  mutable std::mutex mu_;
  std::condition_variable wake_;
  std::vector<Clock::time_point> arrivals_;
  std::vector<Clock::time_point> acked_at_;
  std::deque<std::pair<Clock::time_point, std::string>> due_;
  size_t budget_ = 0;
  Clock::duration delay_{};
  int64_t bytes_ = 0;
  bool quit_ = false;
  std::thread timer_;
  WireClient client_;  // last: its reader thread, which uses the members above, ends first
};

// An active file of at least `bytes` and `records` old records (beyond every grace period), whose
// payloads are data messages naming their own record, as a republished message must.
std::string Backlog(const std::string& prefix, size_t bytes, size_t records = 0) {
  std::string text;
  const int64_t first = UnixNow() - 100000;
  for (size_t i = 0; text.size() < bytes || i < records; ++i) {
    const int64_t ts = first + static_cast<int64_t>(i);
    const std::string id = fmt::format("{}{:06d}", prefix, i);
    text += RecordOf(ts, id, DataMessage(ts, id, 320));
  }
  return text;
}

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Mean and longest interval between consecutive time points, over the first n + 1 of them.
std::pair<double, double> Steps(const std::vector<Clock::time_point>& t, size_t n) {
  if (n == 0 || t.size() < n + 1) Die("chain ended early");
  double longest = 0;
  for (size_t i = 1; i <= n; ++i) longest = std::max(longest, Seconds(t[i] - t[i - 1]));
  return {Seconds(t[n] - t[0]) / static_cast<double>(n), longest};
}

struct DrainRun {
  size_t records = 0;      // in the backlog
  size_t resent = 0;       // messages the acknowledger received
  double seconds = 0;      // from the live acknowledgement to the end
  double step = 0;         // mean interval between resent messages at the acknowledger
  double longest = 0;      // the longest such interval
  double per_msg = 0;      // with `count`: mean interval between acknowledgements, past the first
                           // window
  Io io;                   // of the service, over the drain
  int64_t log_bytes = 0;   // written to its log meanwhile
  int64_t mqtt_bytes = 0;  // sent to the broker meanwhile (resent messages and PUBACKs)
};

// Starts the service over `backlog` as its active file, with a window of `window`, and lets the
// acknowledger (acknowledging `delay` after each arrival) drain it from a live acknowledgement on:
// with `count` 0 until the outbox is empty, else until `count` messages are acknowledged.
DrainRun Drain(BenchBroker& broker, WireClient& control, Acknowledger& acker,
               const std::string& backlog, int window, Clock::duration delay, size_t count,
               const std::string& live_id) {
  TempDir dir;
  ::mkdir(dir.file("outbox").c_str(), 0755);
  WriteWhole(dir.file("outbox") + "/outbox.jsonl", backlog);
  // No cooldown and no grace period, so the live acknowledgement starts the chain at once and
  // every record may be resent; a fast-ACK limit far above the latency, so none stops it.
  Service service(broker, dir, {{"max_file_kb", 1 << 20}, {"max_dir_kb", 1 << 21}},
                  {{"cooldown", 0},
                   {"grace_period", 0},
                   {"stale_threshold", 60},
                   {"live_ack_threshold", 120},
                   {"fast_ack_threshold", 30},
                   {"window", window}});
  if (!service.WaitLog("Entering message loop", std::chrono::seconds(60))) Die("no loop");
  service.WaitReady(broker);
  DrainRun d;
  d.records = Lines(backlog);
  acker.Arm(std::numeric_limits<size_t>::max(), delay);
  const std::string active = service.active_path();
  const int64_t log0 = DirBytes(service.log_dir());
  const Io io0 = ReadIo(service.pid());
  const auto t0 = Clock::now();
  control.Publish(kAckTopic, json{{"timestamp", UnixNow()}, {"msg_id", live_id}}.dump());
  const bool done =
      WaitUntil([&] { return count == 0 ? SizeOf(active) == 0 : acker.acked() >= count; },
                std::chrono::seconds(600), std::chrono::milliseconds(1));
  d.seconds = Seconds(Clock::now() - t0);
  d.io = ReadIo(service.pid()) - io0;
  d.log_bytes = DirBytes(service.log_dir()) - log0;
  if (!done) {
    Die(fmt::format("drain stalled after {} messages; service log:\n{}", acker.received(),
                    service.Log()));
  }
  const std::vector<Clock::time_point> arrivals = acker.arrivals();
  const std::vector<Clock::time_point> acked = acker.acked_at();
  d.resent = arrivals.size();
  // Each resent message, and the PUBACK of its acknowledgement and of its own echo.
  d.mqtt_bytes = acker.bytes() + 8 * static_cast<int64_t>(d.resent);
  acker.Arm(0);
  std::tie(d.step, d.longest) = Steps(arrivals, std::min(arrivals.size(), d.records) - 1);
  if (count > 0) {
    const size_t first = static_cast<size_t>(window) - 1;
    d.per_msg = Seconds(acked[count - 1] - acked[first]) / static_cast<double>(count - 1 - first);
  }
  return d;
}

// The unavoidable part of a chain step, as a ping-pong through the same acknowledger: when the
// acknowledgement of the previous message comes back, read the next line of the file (one pread
// at the position after the previous line), decode its payload and publish it at QoS 1.
double LineRoundTrip(BenchBroker& broker, Acknowledger& acker, const std::string& path,
                     size_t steps, int run) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Die("cannot open " + path);
  std::string buf(4096, '\0');
  uint64_t offset = 0;
  kestova::RecordLine record;
  auto next = [&] {
    const ssize_t got = ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(offset));
    const void* end = got > 0 ? std::memchr(buf.data(), '\n', static_cast<size_t>(got)) : nullptr;
    if (end == nullptr) Die("no line at the read position");
    const std::string_view line(buf.data(), static_cast<const char*>(end) - buf.data());
    offset += line.size() + 1;
    std::string error;
    if (!kestova::ParseRecordLine(line, &record, &error)) Die("broken line: " + error);
    const std::vector<uint8_t> payload = base64_decode(record.payload);
    return std::string(payload.begin(), payload.end());
  };

  std::mutex mu;
  std::vector<Clock::time_point> acks;
  WireClient pinger(broker.port(), fmt::format("bench-pinger-{}", run));  // ends before mu, acks
  pinger.Subscribe(kAckTopic);
  acker.Arm(steps + 1);
  pinger.Start([&](const std::string&, const std::string&, Clock::time_point at) {
    size_t k;
    {
      std::lock_guard lk(mu);
      acks.push_back(at);
      k = acks.size();
    }
    if (k <= steps) pinger.Publish(kTopic, next());
  });
  pinger.Publish(kTopic, next());
  if (!WaitUntil(
          [&] {
            std::lock_guard lk(mu);
            return acks.size() >= steps + 1;
          },
          std::chrono::seconds(120), std::chrono::milliseconds(2))) {
    Die("ping-pong stalled");
  }
  ::close(fd);
  std::lock_guard lk(mu);
  return Steps(acks, steps).first;
}

// Figures of one backlog size over the repetitions.
struct DrainFigures {
  std::vector<double> step, base, wchar, device, write_bytes, cancelled, files, log, mqtt, longest;
  size_t records = 0;
  int64_t bytes = 0;
};

DrainFigures DrainSeries(BenchBroker& broker, WireClient& control, Acknowledger& acker, size_t size,
                         int reps, const std::string& name) {
  DrainFigures f;
  const std::string backlog = Backlog("d-", size);
  f.records = Lines(backlog);
  f.bytes = static_cast<int64_t>(backlog.size());
  TempDir dir;
  const std::string copy = dir.file("backlog.jsonl");
  WriteWhole(copy, backlog);
  const size_t steps = std::min<size_t>(f.records - 1, 4000);
  for (int r = 0; r < reps; ++r) {
    const DrainRun d = Drain(broker, control, acker, backlog, 1, Clock::duration::zero(), 0,
                             fmt::format("live-{}-{}", name, r));
    if (d.resent != d.records) {
      std::printf("  note: %zu messages resent for %zu records\n", d.resent, d.records);
    }
    const double base = LineRoundTrip(broker, acker, copy, steps, r);
    const int64_t files = d.io.wchar - d.log_bytes - d.mqtt_bytes;
    f.step.push_back(d.step);
    f.base.push_back(base);
    f.longest.push_back(d.longest);
    f.wchar.push_back(MiB(d.io.wchar));
    f.device.push_back(MiB(d.io.device()));
    f.write_bytes.push_back(MiB(d.io.write_bytes));
    f.cancelled.push_back(MiB(d.io.cancelled));
    f.files.push_back(MiB(files));
    f.log.push_back(MiB(d.log_bytes));
    f.mqtt.push_back(MiB(d.mqtt_bytes));
    std::printf(
        "drain %s %d: %zu msgs in %.2f s; step %.3f ms (longest %.1f ms), line + round trip "
        "%.3f ms; wchar %.2f MiB (outbox files %.2f, log %.2f, MQTT %.2f), write_bytes %.2f - "
        "cancelled %.2f = %.2f MiB; backlog %.2f MiB\n",
        name.c_str(), r, d.resent, d.seconds, d.step * 1e3, d.longest * 1e3, base * 1e3,
        MiB(d.io.wchar), MiB(files), MiB(d.log_bytes), MiB(d.mqtt_bytes), MiB(d.io.write_bytes),
        MiB(d.io.cancelled), MiB(d.io.device()), MiB(f.bytes));
    std::fflush(stdout);
  }
  return f;
}

// Steady-state time per acknowledged message with `latency`: window 16 and window 1.
struct LatencyFigures {
  std::vector<double> wide, narrow;
};

LatencyFigures LatencySeries(BenchBroker& broker, WireClient& control, Acknowledger& acker,
                             std::chrono::milliseconds latency, int reps) {
  // About 1.5 s of the one-at-a-time chain, and as many round trips of the window of 16.
  const size_t per_window = static_cast<size_t>(1500 / latency.count());
  LatencyFigures f;
  for (int r = 0; r < reps; ++r) {
    for (int window : {16, 1}) {
      const size_t count = per_window * static_cast<size_t>(window);
      const std::string tag = fmt::format("l{}-w{}-{}-", latency.count(), window, r);
      const DrainRun d = Drain(broker, control, acker, Backlog(tag, 0, count + 2 * 16), window,
                               latency, count, tag + "live");
      (window == 1 ? f.narrow : f.wide).push_back(d.per_msg);
      std::printf("latency %lld ms, window %d, run %d: %.3f ms per message (%zu messages)\n",
                  static_cast<long long>(latency.count()), window, r, d.per_msg * 1e3, count);
      std::fflush(stdout);
    }
  }
  return f;
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
  int big_reps = 3;
  int messages = 20000;
  int queued = 100000;
  int keys = 100000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (flag == "--reps") {
      reps = value;
    } else if (flag == "--big-reps") {
      big_reps = value;
    } else if (flag == "--messages") {
      messages = value;
    } else if (flag == "--queued") {
      queued = value;
    } else if (flag == "--keys") {
      keys = value;
    } else {
      Die("unknown flag " + flag);
    }
  }
  big_reps = std::max(1, std::min(big_reps, reps));
  ::signal(SIGPIPE, SIG_IGN);
  using benchtable::Median;
  using benchtable::Note;

  // The drain's write counts mean nothing on a file system that never writes to a device.
  {
    TempDir probe;
    struct statfs fs;
    if (::statfs(probe.path().c_str(), &fs) != 0) Die("statfs " + probe.path());
    const bool memory = fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC;
    Note(fmt::format("outboxes under {} (file system type {:#x}{})", probe.path(),
                     static_cast<unsigned long>(fs.f_type),
                     memory ? ": in memory, so write_bytes counts nothing; set TMPDIR to a disk"
                            : ", on a device"));
  }

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

  std::vector<double> ours_queued, sub_queued, ours_queued_cpu, sub_queued_cpu;
  for (int r = 0; r < reps; ++r) {
    const Capture c = MakeCapture(queued, 1000 + r);
    const Timed ours = QueuedByService(broker, publisher, c, r);
    const Timed sub = QueuedBySub(broker, publisher, c, r);
    ours_queued.push_back(ours.seconds);
    sub_queued.push_back(sub.seconds);
    ours_queued_cpu.push_back(ours.cpu);
    sub_queued_cpu.push_back(sub.cpu);
    std::printf("queued %d: skelvane %.3f s (CPU %.3f s), mosquitto_sub %.3f s (CPU %.3f s)\n", r,
                ours.seconds, ours.cpu, sub.seconds, sub.cpu);
    std::fflush(stdout);
  }

  // Subscribed only now, so that it is no further receiver of the captured messages.
  Acknowledger acker(broker);
  const DrainFigures small = DrainSeries(broker, control, acker, 1 << 20, reps, "1MiB");
  const DrainFigures big = DrainSeries(broker, control, acker, 10 << 20, big_reps, "10MiB");
  const LatencyFigures l20 =
      LatencySeries(broker, control, acker, std::chrono::milliseconds(20), reps);
  const LatencyFigures l100 =
      LatencySeries(broker, control, acker, std::chrono::milliseconds(100), reps);

  const Memory mem = MeasureMemory(broker, control, keys);
  std::printf(
      "memory: %d keys: VmRSS %.1f MiB (peak VmHWM %.1f MiB); empty outbox %.1f MiB; "
      "%.0f bytes per key; with 36-byte msg_ids %.1f MiB\n",
      keys, mem.rss_mib, mem.hwm_mib, mem.empty_rss_mib, mem.bytes_per_key, mem.long_id_rss_mib);

  Note(fmt::format("queued capture CPU (medians): skelvane {:.2f} s, mosquitto_sub {:.2f} s",
                   Median(ours_queued_cpu), Median(sub_queued_cpu)));
  for (const auto* f : {&small, &big}) {
    Note(fmt::format(
        "drain of {:.2f} MiB ({} records, {} reps): wchar {:.2f} MiB = outbox files {:.2f} + log "
        "{:.2f} + MQTT {:.2f}; to the device (write_bytes - cancelled) {:.2f} MiB = {:.2f} - "
        "{:.2f}; longest chain step {:.1f} ms",
        MiB(f->bytes), f->records, f->step.size(), Median(f->wchar), Median(f->files),
        Median(f->log), Median(f->mqtt), Median(f->device), Median(f->write_bytes),
        Median(f->cancelled), Median(f->longest) * 1e3));
  }
  if (big_reps < reps) Note(fmt::format("the 10 MiB rows take {} repetitions", big_reps));

  const std::string line_trip = "read next line + publish + QoS 1 round trip";
  benchtable::Emit({
      {fmt::format("capture via broker, {} QoS 1 msgs", messages), "mosquitto_sub -q 1 to a file",
       Median(ours_capture), Median(sub_capture), "s", 1.1, "wall"},
      {fmt::format("capture of {} msgs queued while stopped", queued),
       "mosquitto_sub -q 1 -c, same queue to a file", Median(ours_queued), Median(sub_queued), "s",
       2.0, "wall"},
      {"resend chain step, 1 MiB active file", line_trip, Median(small.step) * 1e3,
       Median(small.base) * 1e3, "ms", 1.5, "wall"},
      {"resend chain step, 10 MiB active file", line_trip, Median(big.step) * 1e3,
       Median(big.base) * 1e3, "ms", 1.5, "wall"},
      {"bytes written (wchar) draining 1 MiB, W=1", "the backlog's own bytes", Median(small.wchar),
       MiB(small.bytes), "MiB", 3, "-"},
      {"bytes written (wchar) draining 10 MiB, W=1", "the backlog's own bytes", Median(big.wchar),
       MiB(big.bytes), "MiB", 3, "-"},
      {"time per msg, 20 ms ACK latency, W=16", "the same with W=1", Median(l20.wide) * 1e3,
       Median(l20.narrow) * 1e3, "ms", 0.1, "wall"},
      {"time per msg, 100 ms ACK latency, W=16", "the same with W=1", Median(l100.wide) * 1e3,
       Median(l100.narrow) * 1e3, "ms", 0.1, "wall"},
      {fmt::format("resident memory, {} keys in the index", keys), "-", mem.rss_mib, 0, "MiB", 20,
       "-"},
  });
  return 0;
}
