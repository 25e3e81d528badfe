#include "mqtt_async_wrapper.h"

#include <dirent.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

#include "mqtt_options.h"
#include "p7.h"

namespace kestova::mosquitto {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kQueued = INT_MIN;  // Hub::Call: the call was left to run later
constexpr int kMinRetryS = 1;
constexpr int kMaxRetryS = 30;
constexpr int kConnectTimeoutS = 10;
constexpr auto kFlushWait = std::chrono::seconds(2);  // for our publishes' acknowledgements
constexpr int kDisconnectTimeoutMs = 500;
// Paho looks at a pending disconnect's timeout only on its 3 s housekeeping tick.
constexpr auto kDisconnectWait = std::chrono::seconds(4);
constexpr auto kWorkerJoinWait = std::chrono::seconds(3);
constexpr size_t kMaxPayload = 268435455;  // largest MQTT remaining length
constexpr size_t kMaxTopic = 65535;
constexpr int kSubackFailure = 0x80;

const char* PahoText(int rc) {
  const char* s = MQTTAsync_strerror(rc);
  return s ? s : "unknown error";
}

// ---------------------------------------------------------------------------------------------
// Paho's asynchronous clients share one process-wide lock and one network (receive) thread, and
// that thread holds the lock while it runs any callback. The arrival callback here waits for the
// caller's next Receive() before returning (that is what delays the PUBACK), so while a message is
// held the lock is taken for every client in the process. MQTTAsync_sendMessage with QoS > 0,
// MQTTAsync_subscribe, MQTTAsync_connect, MQTTAsync_isConnected and MQTTAsync_destroy all take that
// lock when called from a thread of ours, so the caller's thread must never call them directly: it
// would wait for its own next Receive().
//
// The Hub runs every Paho call on behalf of our threads instead:
//   - while no arrival callback is parked, the owning client's worker thread makes the call;
//   - while one is parked, calls marked callback-safe (publish, disconnect; Paho recognises its
//     own threads and skips the lock, as it must for publishing from a message callback) run on the
//     parked receive thread itself, which is otherwise idle. Resubscriptions and connects are not
//     callback-safe and wait for the worker;
//   - a submitter waits only while its call can make progress. If the call can only proceed after
//     a parked callback is released (a worker caught on the lock, or a call that must wait for the
//     worker) it gets kQueued, and the call runs and reports its own failure later.
// Per client, callback-safe calls keep their order; other calls keep theirs.
//
// One mutex guards the Hub and every client's hand-off state, so a parked callback can wait for
// "released, or work to do" on one condition variable. The hot waiters have their own (the parked
// callback, each Receive()/Dispatch() caller, each worker), so a message hand-off wakes only the
// thread it concerns. Lock order: Paho's lock, then ours. Nothing calls into Paho while holding
// ours.
//
// Dispatch() avoids the hand-off altogether: while the caller waits in it, the arrival callback
// runs the caller's turn itself (the caller's thread sleeps, so the turn has the caller's state to
// itself) and returns when the turn is done, which is when Paho sends the PUBACK.
// ---------------------------------------------------------------------------------------------

struct Core;
// Wakes `c`'s worker thread (its own condition variable, so the per-message hand-off between the
// arrival callback and Receive() does not wake every worker). Requires Hub::mu held.
void WakeWorker(Core* c);

struct Job {
  enum class State { kWaiting, kOnWorker, kOnParked, kDone };

  Job(Core* o, bool safe, std::string w) : owner(o), callback_safe(safe), what(std::move(w)) {}
  virtual ~Job() = default;
  // The Paho call. Runs without the Hub mutex.
  virtual int Run() = 0;
  // Makes Run() independent of the submitter's buffers, before the submitter stops waiting.
  virtual void Own() {}
  // Reports rc when nobody waits for it.
  virtual void Report(int rc) {
    if (rc != MQTTASYNC_SUCCESS) {
      SKV_LOG(P7::kError, "MQTT %s failed: %s", what.c_str(), PahoText(rc));
    }
  }

  Core* const owner;
  const bool callback_safe;
  const std::string what;
  State state = State::kWaiting;
  int rc = 0;
  bool abandoned = false;
};

class FnJob final : public Job {
 public:
  FnJob(Core* o, bool safe, std::string w, std::function<int()> fn,
        std::function<void(int)> report = nullptr)
      : Job(o, safe, std::move(w)), fn_(std::move(fn)), report_(std::move(report)) {}
  int Run() override { return fn_(); }
  void Report(int rc) override { report_ ? report_(rc) : Job::Report(rc); }

 private:
  std::function<int()> fn_;
  std::function<void(int)> report_;
};

class Hub {
 public:
  // Never destroyed: Paho's threads and detached workers may still use it while the process exits.
  static Hub& Get() {
    static Hub* hub = new Hub;
    return *hub;
  }

  std::mutex mu;
  // Waiters other than the hot paths: submitters of calls, shutdown, WaitReady. Notified on every
  // change, which costs little while nobody waits.
  std::condition_variable cv;
  // The parked arrival callback (there is one receive thread, so at most one waiter): notified when
  // a call is queued or finishes, and when a client releases its held message.
  std::condition_variable park_cv;

  // Runs `job` and returns its result, or kQueued (see above).
  int Call(const std::shared_ptr<Job>& job) {
    std::unique_lock lk(mu);
    jobs_.push_back(job);
    Queued(job);
    while (job->state != Job::State::kDone) {
      bool stuck = parked_ && (job->state == Job::State::kOnWorker ||
                               (job->state == Job::State::kWaiting && !ParkedMayRun(*job)));
      if (stuck) {
        if (job->state == Job::State::kWaiting) job->Own();
        job->abandoned = true;
        return kQueued;
      }
      cv.wait(lk);
    }
    return job->rc;
  }

  // Queues `job` without waiting. Requires `mu` held.
  void PostLocked(const std::shared_ptr<Job>& job) {
    job->Own();
    job->abandoned = true;
    jobs_.push_back(job);
    Queued(job);
  }

  // Arrival callback side: marks the receive thread parked and runs callback-safe calls on it until
  // `released()` or, when given, `until`. Requires `lk` held on `mu`.
  void Park(std::unique_lock<std::mutex>& lk, const std::function<bool()>& released,
            std::optional<Clock::time_point> until = std::nullopt) {
    parked_ = true;
    cv.notify_all();
    while (true) {
      if (std::shared_ptr<Job> job = NextForParked()) {
        Execute(lk, job, Job::State::kOnParked);
        continue;
      }
      if (released()) break;
      if (!until) {
        park_cv.wait(lk);
      } else if (park_cv.wait_until(lk, *until) == std::cv_status::timeout) {
        break;
      }
    }
    parked_ = false;
    for (const auto& job : jobs_) {
      if (job->state == Job::State::kWaiting) WakeWorker(job->owner);
    }
    cv.notify_all();
  }

  // Runs the calls that may run on the receive thread now, oldest first: from an arrival callback
  // about to run a turn, so that publishes queued before it keep their place. Requires `lk` on
  // `mu`.
  void RunCallbackSafeJobs(std::unique_lock<std::mutex>& lk) {
    while (std::shared_ptr<Job> job = NextForParked()) Execute(lk, job, Job::State::kOnParked);
  }

  // Worker side: the next call `owner`'s worker may make now. Requires `mu` held.
  std::shared_ptr<Job> NextForWorker(const Core* owner) {
    if (parked_) return nullptr;  // it would only wait for the lock
    for (const auto& job : jobs_) {
      if (job->owner == owner && job->state == Job::State::kWaiting) return job;
    }
    return nullptr;
  }

  bool HasJobsOf(const Core* owner) const {
    for (const auto& job : jobs_) {
      if (job->owner == owner) return true;
    }
    return false;
  }

  // Runs `job` in state `as`, with `mu` released around the call.
  void Execute(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Job>& job, Job::State as) {
    job->state = as;
    lk.unlock();
    int rc = job->Run();
    lk.lock();
    job->rc = rc;
    job->state = Job::State::kDone;
    for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
      if (*it == job) {
        jobs_.erase(it);
        break;
      }
    }
    if (job->abandoned) job->Report(rc);
    WakeWorker(job->owner);  // it may be waiting for its last job to finish
    park_cv.notify_one();    // a finished worker call may let queued calls run on the parked thread
    cv.notify_all();
  }

 private:
  void Queued(const std::shared_ptr<Job>& job) {
    WakeWorker(job->owner);
    park_cv.notify_one();
    cv.notify_all();
  }

  // A callback-safe call of an owner must not overtake an earlier callback-safe call of the same
  // owner that is still running on (or stuck in) the worker.
  bool BlockedByWorker(const Job& job) const {
    for (const auto& other : jobs_) {
      if (other.get() == &job) return false;
      if (other->owner == job.owner && other->callback_safe &&
          other->state == Job::State::kOnWorker) {
        return true;
      }
    }
    return false;
  }

  bool ParkedMayRun(const Job& job) const { return job.callback_safe && !BlockedByWorker(job); }

  std::shared_ptr<Job> NextForParked() {
    for (const auto& job : jobs_) {
      if (job->state == Job::State::kWaiting && ParkedMayRun(*job)) return job;
    }
    return nullptr;
  }

  std::deque<std::shared_ptr<Job>> jobs_;
  bool parked_ = false;
};

// ---------------------------------------------------------------------------------------------
// Per-client state shared with Paho's callbacks (their context pointer) and the worker thread. It
// outlives the wrapper object when shutdown has to be finished in the background.
struct Core {
  MqttOptions opts;
  std::string brokers;  // all URIs, for log lines
  MQTTAsync handle = nullptr;
  std::vector<char*> uri_ptrs;
  MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
  MQTTAsync_connectOptions conn = MQTTAsync_connectOptions_initializer;
  MQTTAsync_willOptions will = MQTTAsync_willOptions_initializer;
  std::string will_topic;  // what `will` points into
  std::vector<uint8_t> will_payload;

  // Guarded by Hub::mu.
  bool connect_requested = false;
  bool connected = false;
  bool connect_failure_logged = false;
  bool tls_error_logged = false;
  std::string connected_server;  // from the connect success data, for the next log line
  uint64_t epoch = 0;            // +1 per established connection
  std::vector<std::pair<std::string, int>> subs;
  std::set<std::string> confirmed;  // subscriptions acknowledged on the current connection
  std::optional<msg_t> pending;     // handed over by the arrival callback, not yet received
  uint64_t delivered = 0;           // sequence number of the last message handed over
  uint64_t taken = 0;               // ... of the last message Receive() returned
  uint64_t released = 0;            // callbacks of messages up to this one may return
  bool shutting_down = false;
  int unacked_publishes = 0;      // QoS 1/2 publishes of this connection not yet acknowledged
  bool severed = false;           // the connection was cut under an unreceived message
  int unhandled_at_shutdown = 0;  // messages that arrived but were never received
  bool disconnected = false;
  bool worker_stop = false;
  bool worker_done = false;
  std::condition_variable worker_cv;  // the worker waits here (see WakeWorker)
  std::condition_variable recv_cv;    // Receive() and Dispatch() wait here

  // Dispatch() state, guarded by Hub::mu.
  const Client::TurnFn* dispatch_turn = nullptr;  // set while the caller waits in Dispatch()
  bool turn_running = false;                      // a turn runs, on either thread
  Clock::time_point next_hold_ping{};             // a held message's next keep-alive ping
  bool dispatch_end = false;                      // a turn returned false or threw
  bool caller_waits_for_turn = false;             // Dispatch() waits for a turn on Paho's thread
  std::exception_ptr dispatch_error;              // thrown by a turn on Paho's thread
  Clock::time_point last_turn{};  // when the last turn ended (the time-out counts from it)

  // The configured URI Paho reports as "host:port", for log lines.
  std::string UriFor(const char* server) const {
    if (server == nullptr) return brokers;
    for (const auto& u : opts.uris) {
      size_t sep = u.find("://");
      if (sep != std::string::npos && u.compare(sep + 3, std::string::npos, server) == 0) return u;
    }
    return server;
  }
};

void WakeWorker(Core* c) { c->worker_cv.notify_one(); }

// The client whose Dispatch() turn this thread runs inside an arrival callback, if any: Send() from
// there publishes directly (Paho allows it from its own callback thread; any other route would wait
// for the callback to return).
thread_local Core* tl_turn_core = nullptr;

bool WriteKeepAlivePing(const Core& c);

// Holds the message of a turn that asked to be retried for `pause`, keeping the connection up
// meanwhile (see WriteKeepAlivePing). On Paho's thread (`on_paho_thread`) the wait parks it, so
// callback-safe calls of other threads still run. Returns false when the client began shutting
// down. Requires `lk` held on Hub::mu.
bool HoldMessage(std::unique_lock<std::mutex>& lk, Core& c, std::chrono::milliseconds pause,
                 bool on_paho_thread) {
  const auto until = Clock::now() + std::max(pause, std::chrono::milliseconds(0));
  // The broker gives up on a client silent for 1.5 keep-alive intervals.
  const auto ping_every = std::chrono::milliseconds(std::max(500, c.opts.keepalive_s * 500));
  while (!c.shutting_down) {
    const auto now = Clock::now();
    if (now >= until) return true;
    if (now >= c.next_hold_ping) {
      c.next_hold_ping = now + ping_every;
      lk.unlock();
      WriteKeepAlivePing(c);
      lk.lock();
      continue;
    }
    const auto wake = std::min(until, c.next_hold_ping);
    if (on_paho_thread) {
      Hub::Get().Park(
          lk, [&c] { return c.shutting_down; }, wake);
    } else {
      c.recv_cv.wait_until(lk, wake);
    }
  }
  return false;
}

// Whether an arriving message's turn may run on the callback thread now. Requires Hub::mu.
bool MayRunTurnHere(const Core& c) {
  return !c.shutting_down && c.dispatch_turn != nullptr && !c.turn_running && !c.dispatch_end;
}

// Arrival callback side of Dispatch(): runs the caller's turn for `msg` on this thread, again
// after each pause a turn asks for. Returns false when the message was not handled: the turn threw
// (and the exception goes to the caller) or the client began shutting down while holding it.
// Either way the message must not be acknowledged. Requires `lk` held on Hub::mu and
// MayRunTurnHere(c).
bool RunTurnOnCallbackThread(std::unique_lock<std::mutex>& lk, Core& c, const msg_t& msg) {
  c.turn_running = true;
  const Client::TurnFn& turn = *c.dispatch_turn;
  Client::TurnResult result;
  std::exception_ptr error;
  bool handled = false;
  while (true) {
    lk.unlock();
    tl_turn_core = &c;
    try {
      result = turn(&msg);
    } catch (...) {
      error = std::current_exception();
    }
    tl_turn_core = nullptr;
    lk.lock();
    if (error != nullptr || result.kind != Client::TurnResult::Kind::kRetry) {
      handled = error == nullptr;
      break;
    }
    if (!HoldMessage(lk, c, result.retry_after, /*on_paho_thread=*/true)) break;
  }
  c.turn_running = false;
  c.last_turn = Clock::now();
  if (error != nullptr) c.dispatch_error = error;
  if (error != nullptr || result.kind == Client::TurnResult::Kind::kStop) c.dispatch_end = true;
  // The caller sleeps through turns run here; it is woken only when it has to act.
  if (c.dispatch_end || c.caller_waits_for_turn) c.recv_cv.notify_one();
  return handled;
}

// True when `s` is well-formed UTF-8 (no overlong forms, surrogates or code points beyond U+10FFFF)
// without control characters (U+0000..U+001F, U+007F..U+009F). The broker drops the connection of
// a client that sends anything else in a topic, which would cost every other subscription too.
bool IsCleanUtf8(const std::string& s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t n;
    if (b < 0x80) {
      cp = b;
      n = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      n = 2;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      n = 3;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      n = 4;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kMinForLength[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinForLength[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp <= 0x1F || (cp >= 0x7F && cp <= 0x9F)) return false;
    i += n;
  }
  return true;
}

std::string TopicNameProblem(const std::string& topic) {
  if (topic.empty()) return "empty topic";
  if (topic.size() > kMaxTopic) return "topic longer than 65535 bytes";
  if (topic.find_first_of(std::string("+#\0", 3)) != std::string::npos) {
    return "wildcards and NUL are not allowed in a topic name";
  }
  if (!IsCleanUtf8(topic)) return "invalid UTF-8 or a control character in the topic";
  return {};
}

std::string FilterProblem(const std::string& filter) {
  if (filter.empty()) return "empty topic filter";
  if (filter.size() > kMaxTopic) return "topic filter longer than 65535 bytes";
  if (filter.find('\0') != std::string::npos) return "NUL in topic filter";
  if (!IsCleanUtf8(filter)) return "invalid UTF-8 or a control character in the topic filter";
  size_t start = 0;
  while (true) {
    size_t slash = filter.find('/', start);
    std::string level = filter.substr(start, slash == std::string::npos ? slash : slash - start);
    if (level.find('#') != std::string::npos && (level != "#" || slash != std::string::npos)) {
      return "'#' must be a whole last level";
    }
    if (level.find('+') != std::string::npos && level != "+") return "'+' must be a whole level";
    if (slash == std::string::npos) return {};
    start = slash + 1;
  }
}

// ---- jobs ----

// Borrows the caller's topic and payload while the caller waits (Paho copies them into its own
// command); copies them only when the call may outlive the wait, i.e. when a worker makes it.
class SendJob final : public Job {
 public:
  SendJob(Core* c, const std::string& topic, const std::vector<uint8_t>& payload, int qos,
          bool retained)
      : Job(c, true, "publish to " + topic),
        topic_(&topic),
        payload_(&payload),
        qos_(qos),
        retained_(retained) {}

  int Run() override {
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<uint8_t*>(payload_->data());
    m.payloadlen = static_cast<int>(payload_->size());
    m.qos = qos_;
    m.retained = retained_ ? 1 : 0;
    // Counted before the call: the acknowledgement may come back before it returns.
    if (qos_ > 0) Count(+1);
    int rc = MQTTAsync_sendMessage(owner->handle, topic_->c_str(), &m, nullptr);
    if (qos_ > 0 && rc != MQTTASYNC_SUCCESS) Count(-1);
    return rc;
  }

  void Count(int delta) {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    owner->unacked_publishes = std::max(0, owner->unacked_publishes + delta);
    hub.cv.notify_all();
  }

  void Own() override {
    if (topic_ == &own_topic_) return;
    own_topic_ = *topic_;
    own_payload_ = *payload_;
    topic_ = &own_topic_;
    payload_ = &own_payload_;
  }

 private:
  const std::string* topic_;
  const std::vector<uint8_t>* payload_;
  std::string own_topic_;
  std::vector<uint8_t> own_payload_;
  int qos_;
  bool retained_;
};

struct SubscribeContext {
  Core* core;
  uint64_t epoch;
  std::vector<std::string> topics;
};

void OnSubscribed(void* context, MQTTAsync_successData* response) {
  auto* ctx = static_cast<SubscribeContext*>(context);
  std::vector<std::string> refused;
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    Core* c = ctx->core;
    for (size_t i = 0; i < ctx->topics.size(); ++i) {
      int granted = 0;
      if (response != nullptr) {
        granted = ctx->topics.size() == 1 ? response->alt.qos : response->alt.qosList[i];
      }
      if (granted == kSubackFailure) {
        refused.push_back(ctx->topics[i]);
      } else if (ctx->epoch == c->epoch) {
        c->confirmed.insert(ctx->topics[i]);
      }
    }
    hub.cv.notify_all();
  }
  for (const auto& t : refused) {
    SKV_LOG(P7::kError, "MQTT broker refused the subscription to %s", t.c_str());
  }
  delete ctx;
}

void OnSubscribeFailed(void* context, MQTTAsync_failureData* response) {
  auto* ctx = static_cast<SubscribeContext*>(context);
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    if (ctx->core->shutting_down) {  // cut short by our own disconnect
      delete ctx;
      return;
    }
  }
  std::string topics;
  for (const auto& t : ctx->topics) topics += (topics.empty() ? "" : ", ") + t;
  SKV_LOG(P7::kError,
          "MQTT subscribe to %s failed: %s (code %d); it is retried on the next reconnect",
          topics.c_str(), response && response->message ? response->message : "no reason given",
          response ? response->code : 0);
  delete ctx;
}

class SubscribeJob final : public Job {
 public:
  SubscribeJob(Core* c, uint64_t epoch, std::vector<std::pair<std::string, int>> subs)
      : Job(c, false, "subscribe"), epoch_(epoch), subs_(std::move(subs)) {}

  int Run() override {
    std::vector<char*> topics;
    std::vector<int> qos;
    auto* ctx = new SubscribeContext{owner, epoch_, {}};
    for (auto& [topic, q] : subs_) {
      topics.push_back(topic.data());
      qos.push_back(q);
      ctx->topics.push_back(topic);
    }
    MQTTAsync_responseOptions ro = MQTTAsync_responseOptions_initializer;
    ro.onSuccess = OnSubscribed;
    ro.onFailure = OnSubscribeFailed;
    ro.context = ctx;
    int rc = MQTTAsync_subscribeMany(owner->handle, static_cast<int>(topics.size()), topics.data(),
                                     qos.data(), &ro);
    if (rc != MQTTASYNC_SUCCESS) delete ctx;
    return rc;
  }

  void Report(int rc) override {
    // Lost the connection again before the call: the next connect resubscribes everything.
    if (rc == MQTTASYNC_DISCONNECTED) return;
    if (rc != MQTTASYNC_SUCCESS) {
      SKV_LOG(P7::kError,
              "MQTT subscribe could not be sent: %s; it is retried on the next reconnect",
              PahoText(rc));
    }
  }

 private:
  uint64_t epoch_;
  std::vector<std::pair<std::string, int>> subs_;
};

// Broker ports of the configured URIs.
std::set<int> BrokerPorts(const MqttOptions& opts) {
  std::set<int> ports;
  for (const auto& u : opts.uris) {
    const bool tls = u.rfind("ssl://", 0) == 0;
    std::string rest = u.substr(u.find("://") + 3);
    size_t close = rest[0] == '[' ? rest.find(']') : 0;
    size_t colon = rest.find(':', close);
    ports.insert(colon == std::string::npos ? (tls ? 8883 : 1883)
                                            : std::atoi(rest.c_str() + colon + 1));
  }
  return ports;
}

// Paho offers no handle on its socket, so the process's TCP sockets are searched for those whose
// peer port is a configured broker port.
std::vector<int> BrokerSockets(const Core& c) {
  const std::set<int> ports = BrokerPorts(c.opts);
  std::vector<int> matches;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return {};
  while (const dirent* e = ::readdir(dir)) {
    const int fd = std::atoi(e->d_name);
    int type = 0;
    socklen_t len = sizeof(type);
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof(peer);
    if (e->d_name[0] == '.' || fd == ::dirfd(dir) ||
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) {
      continue;
    }
    int port = -1;
    if (peer.ss_family == AF_INET) port = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6) port = ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
    if (ports.count(port) > 0) matches.push_back(fd);
  }
  ::closedir(dir);
  return matches;
}

// Cuts the TCP connection under Paho, so the PUBACK Paho sends when the current arrival callback
// returns never reaches the broker, which keeps the message for the persistent session. Paho sees
// a lost connection. Needed at shutdown only: a message can only be refused by not returning from
// its callback, and while the callback holds Paho's lock nothing (not even a disconnect) happens.
// Anything but exactly one broker socket is left alone.
bool SeverConnection(const Core& c) {
  const std::vector<int> matches = BrokerSockets(c);
  return matches.size() == 1 && ::shutdown(matches.front(), SHUT_RDWR) == 0;
}

// Workaround: keep-alive while a message is held. Paho writes its own PINGREQ from its network
// thread, which is parked (holding Paho's lock) while a message is held in its arrival callback,
// and the broker drops a connection that stays silent for 1.5 keep-alive intervals. While that lock
// is held nothing of Paho's writes to the socket, so the two bytes of a PINGREQ written here land
// between whole packets (Paho leaves part of a packet unsent only when the socket's send buffer
// was full). Paho reads the broker's PINGRESP later and takes it as the answer to a ping. Not over
// TLS, where raw bytes would break the stream; anything but exactly one broker socket is left
// alone.
bool WriteKeepAlivePing(const Core& c) {
  if (c.opts.UsesTls()) return false;
  const std::vector<int> matches = BrokerSockets(c);
  static constexpr unsigned char kPingReq[2] = {0xC0, 0x00};
  return matches.size() == 1 &&
         ::send(matches.front(), kPingReq, sizeof(kPingReq), MSG_NOSIGNAL | MSG_DONTWAIT) ==
             static_cast<ssize_t>(sizeof(kPingReq));
}

// Paho C 1.3 leaves Nagle's algorithm on. A resend step writes several small packets in a row
// (PUBACKs of the messages it received, the next publish), and a small packet written while an
// earlier one is still unacknowledged waits for the broker's delayed TCP acknowledgement: about
// 40 ms on Linux, on every step. Set on every connection; another client's broker socket that
// matches as well gains the same.
void DisableNagle(const Core& c) {
  for (int fd : BrokerSockets(c)) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
}

// ---- Paho callbacks ----

int OnMessage(void* context, char* topic_name, int topic_len, MQTTAsync_message* message) {
  auto* c = static_cast<Core*>(context);
  msg_t msg;  // the one copy of the payload; moved from here on
  msg.topic.assign(topic_name,
                   topic_len > 0 ? static_cast<size_t>(topic_len) : std::strlen(topic_name));
  const auto* bytes = static_cast<const uint8_t*>(message->payload);
  msg.payload.assign(bytes, bytes + message->payloadlen);
  msg.flags = static_cast<uint8_t>((message->retained ? 1 : 0) | (message->dup ? 2 : 0));
  MQTTAsync_freeMessage(&message);
  MQTTAsync_free(topic_name);

  Hub& hub = Hub::Get();
  std::unique_lock lk(hub.mu);
  if (MayRunTurnHere(*c)) {
    // Publishes queued before this message go first. Running them releases the lock, and the
    // caller may have begun a turn of its own (its time-out) meanwhile: hence the second check.
    hub.RunCallbackSafeJobs(lk);
    if (MayRunTurnHere(*c)) {
      if (RunTurnOnCallbackThread(lk, *c, msg)) return 1;  // handled: Paho now sends the PUBACK
      // The turn threw, or shutdown began while the message was held. It is held below,
      // unreceived, until the client is destroyed.
    }
  }
  if (!c->shutting_down) {
    // One receive thread: the previous callback has returned, so the slot is free.
    c->pending = std::move(msg);
    const uint64_t seq = ++c->delivered;
    c->recv_cv.notify_one();
    hub.cv.notify_all();
    hub.Park(lk, [c, seq] { return c->released >= seq; });
    if (seq <= c->taken) return 1;  // the caller is done with it: Paho now sends the PUBACK
  }
  // Shutting down, and the caller never received this one. A clean session loses it either way
  // (the broker drops the session on disconnect); a persistent one must not see it acknowledged.
  ++c->unhandled_at_shutdown;
  if (c->opts.persistent_session && !c->severed) c->severed = SeverConnection(*c);
  return 1;
}

void OnConnectionLost(void* context, char* cause) {
  auto* c = static_cast<Core*>(context);
  bool was_connected;
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    was_connected = c->connected && !c->shutting_down;
    c->connected = false;
    c->tls_error_logged = false;
    c->unacked_publishes = 0;  // a clean session drops them; a persistent one retries them later
    if (c->shutting_down) c->disconnected = true;
    hub.cv.notify_all();
  }
  if (was_connected) {
    SKV_LOG(P7::kWarning, "MQTT connection lost: %s; reconnecting in the background",
            cause ? cause : "the connection was closed");
  }
}

void OnConnected(void* context, char* /*cause*/) {
  auto* c = static_cast<Core*>(context);
  std::string where;
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    c->connected = true;
    c->connect_failure_logged = false;
    ++c->epoch;
    c->confirmed.clear();
    where = c->connected_server.empty() ? c->UriFor(nullptr) : c->connected_server;
    c->connected_server.clear();
    // Whatever the broker remembers, every subscription is made again on every connection. Not
    // from here: this runs on Paho's thread under its lock.
    if (!c->subs.empty() && !c->shutting_down) {
      hub.PostLocked(std::make_shared<SubscribeJob>(c, c->epoch, c->subs));
    }
    hub.cv.notify_all();
  }
  DisableNagle(*c);
  SKV_LOG(P7::kInfo, "MQTT connected to %s", where.c_str());
}

void OnConnectSucceeded(void* context, MQTTAsync_successData* response) {
  auto* c = static_cast<Core*>(context);
  Hub& hub = Hub::Get();
  std::lock_guard lk(hub.mu);
  // Called just before OnConnected for the first connection; reconnects only call OnConnected.
  if (response != nullptr) c->connected_server = c->UriFor(response->alt.connect.serverURI);
}

void OnConnectFailed(void* context, MQTTAsync_failureData* response) {
  auto* c = static_cast<Core*>(context);
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    if (c->connect_failure_logged) return;
    c->connect_failure_logged = true;
  }
  // With automatic reconnect on, Paho keeps retrying the first connection as well.
  SKV_LOG(P7::kWarning, "MQTT connect to %s failed: %s (code %d); retrying every %d to %d s",
          c->brokers.c_str(), response && response->message ? response->message : "no reason given",
          response ? response->code : 0, kMinRetryS, kMaxRetryS);
}

int OnTlsError(const char* text, size_t len, void* context) {
  auto* c = static_cast<Core*>(context);
  bool first;
  {
    Hub& hub = Hub::Get();
    std::lock_guard lk(hub.mu);
    first = !c->tls_error_logged;
    c->tls_error_logged = true;
  }
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) --len;
  SKV_LOG(first ? P7::kWarning : P7::kDebug, "MQTT TLS: %.*s", static_cast<int>(len), text);
  return 1;
}

void OnDelivered(void* context, MQTTAsync_token /*token*/) {
  auto* c = static_cast<Core*>(context);
  Hub& hub = Hub::Get();
  std::lock_guard lk(hub.mu);
  if (c->unacked_publishes > 0) --c->unacked_publishes;
  hub.cv.notify_all();
}

void OnDisconnected(void* context, MQTTAsync_successData* /*response*/) {
  auto* c = static_cast<Core*>(context);
  Hub& hub = Hub::Get();
  std::lock_guard lk(hub.mu);
  c->disconnected = true;
  c->connected = false;
  hub.cv.notify_all();
}

void OnDisconnectFailed(void* context, MQTTAsync_failureData* /*response*/) {
  OnDisconnected(context, nullptr);
}

void WorkerLoop(const std::shared_ptr<Core>& c) {
  Hub& hub = Hub::Get();
  std::unique_lock lk(hub.mu);
  while (true) {
    if (std::shared_ptr<Job> job = hub.NextForWorker(c.get())) {
      job->Own();
      hub.Execute(lk, job, Job::State::kOnWorker);
      continue;
    }
    if (c->worker_stop && !hub.HasJobsOf(c.get())) break;
    c->worker_cv.wait(lk);
  }
  c->worker_done = true;
  hub.cv.notify_all();
}

}  // namespace

void Client::Dispatch(const TurnFn& turn, int timeout_s) {
  msg_t msg;
  while (true) {
    bool received = true;
    try {
      msg = Receive("/#", timeout_s);
    } catch (const std::runtime_error&) {
      received = false;  // the time-out
    }
    TurnResult result = turn(received ? &msg : nullptr);
    // Not calling Receive() again is what keeps the message unacknowledged meanwhile.
    while (received && result.kind == TurnResult::Kind::kRetry) {
      std::this_thread::sleep_for(result.retry_after);
      result = turn(&msg);
    }
    if (result.kind == TurnResult::Kind::kStop) return;
  }
}

struct MqttAsyncWrapper::Impl {
  std::shared_ptr<Core> core = std::make_shared<Core>();
  std::thread worker;
};

MqttAsyncWrapper::MqttAsyncWrapper(const std::string& client_id) : impl_(std::make_unique<Impl>()) {
  Core& c = *impl_->core;
  try {
    c.opts = ParseMqttOptionsFromEnvironment(client_id);
  } catch (const std::exception& e) {
    SKV_LOG(P7::kError, "Invalid MQTT configuration: %s", e.what());
    throw;
  }
  for (const auto& u : c.opts.uris) c.brokers += (c.brokers.empty() ? "" : ", ") + u;

  MQTTAsync_createOptions create = MQTTAsync_createOptions_initializer;
  create.sendWhileDisconnected = 0;  // Send() refuses while disconnected instead of buffering
  int rc =
      MQTTAsync_createWithOptions(&c.handle, c.opts.uris.front().c_str(), c.opts.client_id.c_str(),
                                  MQTTCLIENT_PERSISTENCE_NONE, nullptr, &create);
  if (rc == MQTTASYNC_SUCCESS) {
    rc = MQTTAsync_setCallbacks(c.handle, &c, OnConnectionLost, OnMessage, OnDelivered);
  }
  if (rc == MQTTASYNC_SUCCESS) rc = MQTTAsync_setConnected(c.handle, &c, OnConnected);
  if (rc != MQTTASYNC_SUCCESS) {
    if (c.handle != nullptr) MQTTAsync_destroy(&c.handle);
    std::string text = fmt::format("MQTT client could not be created: {}", PahoText(rc));
    SKV_LOG(P7::kError, "%s", text.c_str());
    throw std::runtime_error(text);
  }

  for (auto& u : c.opts.uris) c.uri_ptrs.push_back(u.data());
  MQTTAsync_connectOptions& o = c.conn;
  o.keepAliveInterval = c.opts.keepalive_s;
  o.cleansession = c.opts.persistent_session ? 0 : 1;
  o.connectTimeout = kConnectTimeoutS;
  o.automaticReconnect = 1;
  o.minRetryInterval = kMinRetryS;
  o.maxRetryInterval = kMaxRetryS;
  o.serverURIcount = static_cast<int>(c.uri_ptrs.size());
  o.serverURIs = c.uri_ptrs.data();
  o.username = c.opts.username.empty() ? nullptr : c.opts.username.c_str();
  o.password = c.opts.has_password ? c.opts.password.c_str() : nullptr;
  o.onSuccess = OnConnectSucceeded;
  o.onFailure = OnConnectFailed;
  o.context = &c;
  if (c.opts.UsesTls()) {
    c.ssl.trustStore = c.opts.ca_file.empty() ? nullptr : c.opts.ca_file.c_str();
    c.ssl.keyStore = c.opts.cert_file.empty() ? nullptr : c.opts.cert_file.c_str();
    c.ssl.privateKey = c.opts.key_file.empty() ? nullptr : c.opts.key_file.c_str();
    c.ssl.enableServerCertAuth = 1;  // the chain must verify against the CA
    c.ssl.verify = 1;                // and the certificate must name the host we dialled
    c.ssl.sslVersion = MQTT_SSL_VERSION_DEFAULT;
    c.ssl.ssl_error_cb = OnTlsError;
    c.ssl.ssl_error_context = &c;
    o.ssl = &c.ssl;
  }

  std::shared_ptr<Core> core = impl_->core;
  impl_->worker = std::thread([core] { WorkerLoop(core); });
  SKV_LOG(P7::kInfo, "MQTT client: %s", c.opts.Describe().c_str());
}

MqttAsyncWrapper::~MqttAsyncWrapper() {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::unique_lock lk(hub.mu);
  c->shutting_down = true;
  c->pending.reset();  // its callback sees that it was never received
  // The caller is done with the message it holds: let its callback return (PUBACK).
  c->released = c->delivered;
  hub.park_cv.notify_one();
  hub.cv.notify_all();
  // Let the publishes made so far finish their QoS 1/2 flows, which needs the network thread that
  // was just released. Messages arriving meanwhile are not handed over (see OnMessage).
  hub.cv.wait_for(lk, kFlushWait,
                  [c] { return c->unacked_publishes == 0 || !c->connected || c->severed; });
  if (c->connect_requested) {
    auto disconnect = [c] {
      MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
      d.timeout = kDisconnectTimeoutMs;
      d.onSuccess = OnDisconnected;
      d.onFailure = OnDisconnectFailed;
      d.context = c;
      int rc = MQTTAsync_disconnect(c->handle, &d);
      if (rc != MQTTASYNC_SUCCESS) OnDisconnected(c, nullptr);  // was not connected
      return rc;
    };
    hub.PostLocked(std::make_shared<FnJob>(c, true, "disconnect", disconnect, [](int) {}));
  } else {
    c->disconnected = true;
  }
  if (!hub.cv.wait_for(lk, kDisconnectWait, [c] { return c->disconnected; })) {
    SKV_LOG(P7::kWarning, "MQTT disconnect did not complete in time; closing anyway");
  }

  auto destroy = [c] {
    MQTTAsync_destroy(&c->handle);
    return MQTTASYNC_SUCCESS;
  };
  hub.PostLocked(std::make_shared<FnJob>(c, false, "destroy", destroy));
  c->worker_stop = true;
  WakeWorker(c);
  hub.cv.notify_all();
  bool done = hub.cv.wait_for(lk, kWorkerJoinWait, [c] { return c->worker_done; });
  const int unhandled = c->unhandled_at_shutdown;
  const bool severed = c->severed;
  lk.unlock();
  if (unhandled > 0 && severed) {
    SKV_LOG(P7::kInfo,
            "MQTT shutdown: closed the connection under %d message(s) not yet received; the broker "
            "delivers them again to this session",
            unhandled);
  } else if (unhandled > 0 && c->opts.persistent_session) {
    SKV_LOG(P7::kWarning,
            "MQTT shutdown: %d message(s) arrived too late to be received and were acknowledged",
            unhandled);
  } else if (unhandled > 0) {
    SKV_LOG(P7::kInfo,
            "MQTT shutdown: %d message(s) arrived too late; dropped with the clean session",
            unhandled);
  }
  if (done) {
    impl_->worker.join();
  } else {
    // Only possible when another client of this process holds a message: the worker finishes
    // the destroy once it is released, and keeps the shared state alive until then.
    SKV_LOG(P7::kError,
            "MQTT client shutdown is waiting for Paho's lock; finishing it in the background");
    impl_->worker.detach();
  }
}

int MqttAsyncWrapper::Connect(bool /*flag*/, SuccessCallback /*on_success*/,
                              FailureCallback /*on_failure*/) {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  {
    std::lock_guard lk(hub.mu);
    if (c->connect_requested) return 0;
    c->connect_requested = true;
  }
  auto connect = [c] { return MQTTAsync_connect(c->handle, &c->conn); };
  auto job = std::make_shared<FnJob>(c, false, "connect", connect);
  int rc = hub.Call(job);
  if (rc == kQueued || rc == MQTTASYNC_SUCCESS) return 0;
  {
    std::lock_guard lk(hub.mu);
    c->connect_requested = false;
  }
  std::string text = fmt::format("MQTT connect could not be started: {} ({})", PahoText(rc), rc);
  SKV_LOG(P7::kError, "%s", text.c_str());
  throw std::runtime_error(text);
}

int MqttAsyncWrapper::Subscribe(const std::string& topic, Qos qos, bool /*flag*/,
                                SuccessCallback /*on_success*/, FailureCallback /*on_failure*/) {
  const int q = static_cast<int>(qos);
  std::string problem = FilterProblem(topic);
  if (problem.empty() && (q < 0 || q > 2)) problem = "QoS must be 0, 1 or 2";
  // A filter the broker would refuse is reported and skipped, not thrown: one bad configured topic
  // (for example "a/#", whose derived acknowledgement filter "a/#/ack" is invalid) must not stop
  // the capture of every other topic.
  if (!problem.empty()) {
    SKV_LOG(P7::kError, "MQTT subscribe to %s refused: %s", topic.c_str(), problem.c_str());
    return MQTTASYNC_BAD_STRUCTURE;
  }

  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::lock_guard lk(hub.mu);
  bool known = false;
  for (auto& sub : c->subs) {
    if (sub.first == topic) {
      known = true;
      if (sub.second == q && c->confirmed.count(topic) > 0) return 0;
      sub.second = q;
    }
  }
  if (!known) c->subs.emplace_back(topic, q);
  c->confirmed.erase(topic);
  // Not connected yet: the connect callback subscribes everything.
  if (c->connected)
    hub.PostLocked(std::make_shared<SubscribeJob>(c, c->epoch, decltype(c->subs){{topic, q}}));
  return 0;
}

msg_t MqttAsyncWrapper::Receive(const std::string& /*filter*/, int timeout_s) {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::unique_lock lk(hub.mu);
  // Coming back for the next message means the caller is done with the previous one: let its
  // callback return, which sends the PUBACK.
  if (c->released < c->taken) {
    c->released = c->taken;
    hub.park_cv.notify_one();
    hub.cv.notify_all();
  }
  const auto deadline = Clock::now() + std::chrono::seconds(timeout_s > 0 ? timeout_s : 0);
  if (!c->recv_cv.wait_until(lk, deadline, [c] { return c->pending.has_value(); })) {
    throw std::runtime_error(fmt::format("no MQTT message within {} s", timeout_s));
  }
  msg_t msg = std::move(*c->pending);
  c->pending.reset();
  c->taken = c->delivered;
  return msg;
}

int MqttAsyncWrapper::Send(const std::string& topic, const std::vector<uint8_t>& payload, Qos qos,
                           bool flag) {
  const int q = static_cast<int>(qos);
  std::string problem = TopicNameProblem(topic);
  if (problem.empty() && (q < 0 || q > 2)) problem = "QoS must be 0, 1 or 2";
  if (problem.empty() && payload.size() > kMaxPayload) problem = "payload larger than MQTT allows";
  if (!problem.empty())
    throw std::runtime_error(fmt::format("MQTT send to {} refused: {}", topic, problem));

  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  {
    std::lock_guard lk(hub.mu);
    if (!c->connected)
      throw std::runtime_error(fmt::format("MQTT send to {} refused: not connected", topic));
  }
  int rc;
  if (tl_turn_core == c) {
    SendJob job(c, topic, payload, q, flag);  // inside the arrival callback: publish from here
    rc = job.Run();
  } else {
    rc = hub.Call(std::make_shared<SendJob>(c, topic, payload, q, flag));
  }
  if (rc == kQueued) return 0;  // accepted; a later failure is logged by the job
  if (rc != MQTTASYNC_SUCCESS) {
    throw std::runtime_error(
        fmt::format("MQTT send to {} failed: {} ({})", topic, PahoText(rc), rc));
  }
  return 0;
}

void MqttAsyncWrapper::Dispatch(const TurnFn& turn, int timeout_s) {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  const auto timeout = std::chrono::seconds(timeout_s > 0 ? timeout_s : 0);
  std::unique_lock lk(hub.mu);
  auto release_taken = [&] {  // the caller is done with the message it took: PUBACK
    if (c->released < c->taken) {
      c->released = c->taken;
      hub.park_cv.notify_one();
      hub.cv.notify_all();
    }
  };
  release_taken();
  c->dispatch_turn = &turn;
  c->dispatch_end = false;
  c->dispatch_error = nullptr;
  c->last_turn = Clock::now();
  // A turn on this thread: for the time-out, and for a message that was held (it arrived while a
  // turn ran, or before Dispatch() began). A throwing turn leaves its message unreleased.
  auto run_here = [&](const msg_t* msg) {
    c->turn_running = true;
    TurnResult result;
    while (true) {
      lk.unlock();
      try {
        result = turn(msg);
      } catch (...) {
        lk.lock();
        c->turn_running = false;
        c->dispatch_turn = nullptr;
        // Not handled after all: shutdown must treat it as never received (no PUBACK).
        if (msg != nullptr) c->taken = c->released;
        throw;
      }
      lk.lock();
      if (msg == nullptr || result.kind != TurnResult::Kind::kRetry) break;
      // Its arrival callback stays parked meanwhile, so the message is not acknowledged.
      HoldMessage(lk, *c, result.retry_after, /*on_paho_thread=*/false);
    }
    c->turn_running = false;
    c->last_turn = Clock::now();
    if (result.kind == TurnResult::Kind::kStop) c->dispatch_end = true;
  };
  while (!c->dispatch_end) {
    if (c->turn_running) {  // on Paho's thread; wait for it before judging the time-out
      c->caller_waits_for_turn = true;
      c->recv_cv.wait(lk, [c] { return !c->turn_running; });
      c->caller_waits_for_turn = false;
      continue;
    }
    if (c->pending.has_value()) {
      msg_t msg = std::move(*c->pending);
      c->pending.reset();
      c->taken = c->delivered;
      run_here(&msg);
      release_taken();
      continue;
    }
    const Clock::time_point deadline = c->last_turn + timeout;
    if (Clock::now() >= deadline) {
      run_here(nullptr);
      continue;
    }
    c->recv_cv.wait_until(lk, deadline);
  }
  c->dispatch_turn = nullptr;
  if (std::exception_ptr error = std::exchange(c->dispatch_error, nullptr)) {
    lk.unlock();
    std::rethrow_exception(error);
  }
}

void MqttAsyncWrapper::SetWill(const std::string& topic, const std::vector<uint8_t>& payload,
                               bool retained) {
  std::string problem = TopicNameProblem(topic);
  if (problem.empty() && payload.size() > kMaxPayload) problem = "payload larger than MQTT allows";
  if (!problem.empty()) {
    SKV_LOG(P7::kError, "MQTT last will on %s refused: %s", topic.c_str(), problem.c_str());
    return;
  }
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::lock_guard lk(hub.mu);
  // Paho reads the options when it (re)connects, under its own lock; a connection requested
  // already keeps what it was given.
  if (c->connect_requested) {
    SKV_LOG(P7::kError, "MQTT last will on %s set after Connect(); ignored", topic.c_str());
    return;
  }
  c->will_topic = topic;
  c->will_payload = payload;
  c->will.topicName = c->will_topic.c_str();
  c->will.message = nullptr;  // binary payload below
  c->will.payload.data = c->will_payload.data();
  c->will.payload.len = static_cast<int>(c->will_payload.size());
  c->will.retained = retained ? 1 : 0;
  c->will.qos = 1;
  c->conn.will = &c->will;
}

bool MqttAsyncWrapper::IsConnected() const {
  Hub& hub = Hub::Get();
  std::lock_guard lk(hub.mu);
  return impl_->core->connected;
}

bool MqttAsyncWrapper::WaitReady(std::chrono::milliseconds limit) {
  Hub& hub = Hub::Get();
  Core* c = impl_->core.get();
  std::unique_lock lk(hub.mu);
  auto ready = [c] {
    if (!c->connected) return false;
    for (const auto& sub : c->subs) {
      if (c->confirmed.count(sub.first) == 0) return false;
    }
    return true;
  };
  // While a message waits for the caller, Paho's network thread is parked and nothing can change.
  hub.cv.wait_for(lk, limit, [c, &ready] { return ready() || c->delivered > c->released; });
  return ready();
}

}  // namespace kestova::mosquitto
