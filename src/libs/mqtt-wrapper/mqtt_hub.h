// The Hub: a scheduler for calls into the MQTT library (Paho's asynchronous client) around its
// process-wide lock.
//
// Paho's asynchronous clients share one process-wide lock and one network (receive) thread, and
// that thread holds the lock while it runs any callback. The arrival callback of a message waits
// for the caller to be done with it before returning (that is what delays the PUBACK), so while a
// message is held the lock is taken for every client in the process. MQTTAsync_sendMessage with
// QoS > 0, MQTTAsync_subscribe, MQTTAsync_connect, MQTTAsync_isConnected and MQTTAsync_destroy all
// take that lock when called from a thread of ours, so the caller's thread must never call them
// directly: it would wait for itself.
//
// The Hub runs every Paho call (a Job) on behalf of our threads instead:
//   - while no arrival callback is parked, the owning client's worker thread makes the call;
//   - while one is parked, calls marked callback-safe (publish, disconnect; Paho recognises its
//     own threads and skips the lock, as it must for publishing from a message callback) run on the
//     parked receive thread itself, which is otherwise idle. Resubscriptions and connects are not
//     callback-safe and wait for the worker;
//   - a submitter waits only while its call can make progress. If the call can only proceed after
//     a parked callback is released (a worker caught on the lock, or a call that must wait for the
//     worker) it gets kQueued, and the call runs and reports its own failure later.
// Per owner, callback-safe calls keep their order; other calls keep theirs.
//
// One mutex (Hub::mu) guards the Hub and every client's hand-off state, so a parked callback can
// wait for "released, or work to do" on one condition variable. The hot waiters have their own
// (the parked callback, each receiving caller, each worker), so a message hand-off wakes only the
// thread it concerns. Lock order: Paho's lock, then ours. Nothing calls into Paho while holding
// ours.
#pragma once

#include <chrono>
#include <climits>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace kestova::mosquitto::internal {

using Clock = std::chrono::steady_clock;

constexpr int kQueued = INT_MIN;  // Hub::Call: the call was left to run later

// Paho's text for a return code.
const char* PahoText(int rc);

// What the Hub knows of a client: its worker thread. Fields guarded by Hub::mu.
struct JobOwner {
  std::condition_variable worker_cv;  // the worker waits here, so a wake-up concerns it alone
  bool worker_stop = false;           // leave once no job of this owner is left
  bool worker_done = false;
};

// One Paho call.
struct Job {
  enum class State { kWaiting, kOnWorker, kOnParked, kDone };

  Job(JobOwner* o, bool safe, std::string w) : owner(o), callback_safe(safe), what(std::move(w)) {}
  virtual ~Job() = default;
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  // The Paho call. Runs without the Hub mutex.
  virtual int Run() = 0;
  // Makes Run() independent of the submitter's buffers, before the submitter stops waiting.
  virtual void Own() {}
  // Reports rc when nobody waits for it; the default logs an error for a failure.
  virtual void Report(int rc);

  JobOwner* const owner;
  const bool callback_safe;
  const std::string what;
  State state = State::kWaiting;
  int rc = 0;
  bool abandoned = false;
};

// A Job over a function; `report` (when given) replaces the default report.
class FnJob final : public Job {
 public:
  FnJob(JobOwner* o, bool safe, std::string w, std::function<int()> fn,
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
  static Hub& Get();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  std::mutex mu;
  // Waiters other than the hot paths: submitters of calls, shutdown, WaitReady. Notified on every
  // change, which costs little while nobody waits.
  std::condition_variable cv;
  // The parked arrival callback (there is one receive thread, so at most one waiter): notified when
  // a call is queued or finishes, and when a client releases its held message.
  std::condition_variable park_cv;

  // Runs `job` and returns its result, or kQueued (see above).
  int Call(const std::shared_ptr<Job>& job);
  // Queues `job` without waiting. Requires `mu` held.
  void PostLocked(const std::shared_ptr<Job>& job);
  // Arrival callback side: marks the receive thread parked and runs callback-safe calls on it until
  // `released()` or, when given, `until`. Requires `lk` held on `mu`.
  void Park(std::unique_lock<std::mutex>& lk, const std::function<bool()>& released,
            std::optional<Clock::time_point> until = std::nullopt);
  // Runs the calls that may run on the receive thread now, oldest first: from an arrival callback
  // about to run a turn, so that publishes queued before it keep their place. Requires `lk` on
  // `mu`.
  void RunCallbackSafeJobs(std::unique_lock<std::mutex>& lk);
  // The body of `owner`'s worker thread: makes its calls until worker_stop is set and none is left,
  // then sets worker_done.
  void RunWorker(JobOwner& owner);
  // Wakes `owner`'s worker thread. Requires `mu` held.
  static void WakeWorker(JobOwner& owner) { owner.worker_cv.notify_one(); }

 private:
  Hub() = default;
  // Runs `job` in state `as`, with `mu` released around the call.
  void Execute(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Job>& job, Job::State as);
  void Queued(const std::shared_ptr<Job>& job);
  // A callback-safe call of an owner must not overtake an earlier callback-safe call of the same
  // owner that is still running on (or stuck in) the worker.
  bool BlockedByWorker(const Job& job) const;
  bool ParkedMayRun(const Job& job) const { return job.callback_safe && !BlockedByWorker(job); }
  std::shared_ptr<Job> NextForParked();
  // The next call `owner`'s worker may make now.
  std::shared_ptr<Job> NextForWorker(const JobOwner& owner);
  bool HasJobsOf(const JobOwner& owner) const;

  std::deque<std::shared_ptr<Job>> jobs_;
  bool parked_ = false;
};

}  // namespace kestova::mosquitto::internal
