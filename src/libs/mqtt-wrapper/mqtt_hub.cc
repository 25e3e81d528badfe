#include "mqtt_hub.h"

#include <MQTTAsync.h>

#include "p7.h"

namespace kestova::mosquitto::internal {

const char* PahoText(int rc) {
  const char* s = MQTTAsync_strerror(rc);
  return s ? s : "unknown error";
}

void Job::Report(int rc) {
  if (rc != MQTTASYNC_SUCCESS) {
    SKV_LOG(P7::kError, "MQTT %s failed: %s", what.c_str(), PahoText(rc));
  }
}

Hub& Hub::Get() {
  static Hub* hub = new Hub;
  return *hub;
}

int Hub::Call(const std::shared_ptr<Job>& job) {
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

void Hub::PostLocked(const std::shared_ptr<Job>& job) {
  job->Own();
  job->abandoned = true;
  jobs_.push_back(job);
  Queued(job);
}

void Hub::Park(std::unique_lock<std::mutex>& lk, const std::function<bool()>& released,
               std::optional<Clock::time_point> until) {
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
    if (job->state == Job::State::kWaiting) WakeWorker(*job->owner);
  }
  cv.notify_all();
}

void Hub::RunCallbackSafeJobs(std::unique_lock<std::mutex>& lk) {
  while (std::shared_ptr<Job> job = NextForParked()) Execute(lk, job, Job::State::kOnParked);
}

void Hub::RunWorker(JobOwner& owner) {
  std::unique_lock lk(mu);
  while (true) {
    if (std::shared_ptr<Job> job = NextForWorker(owner)) {
      job->Own();
      Execute(lk, job, Job::State::kOnWorker);
      continue;
    }
    if (owner.worker_stop && !HasJobsOf(owner)) break;
    owner.worker_cv.wait(lk);
  }
  owner.worker_done = true;
  cv.notify_all();
}

void Hub::Execute(std::unique_lock<std::mutex>& lk, const std::shared_ptr<Job>& job,
                  Job::State as) {
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
  WakeWorker(*job->owner);  // it may be waiting for its last job to finish
  park_cv.notify_one();     // a finished worker call may let queued calls run on the parked thread
  cv.notify_all();
}

void Hub::Queued(const std::shared_ptr<Job>& job) {
  WakeWorker(*job->owner);
  park_cv.notify_one();
  cv.notify_all();
}

bool Hub::BlockedByWorker(const Job& job) const {
  for (const auto& other : jobs_) {
    if (other.get() == &job) return false;
    if (other->owner == job.owner && other->callback_safe &&
        other->state == Job::State::kOnWorker) {
      return true;
    }
  }
  return false;
}

std::shared_ptr<Job> Hub::NextForParked() {
  for (const auto& job : jobs_) {
    if (job->state == Job::State::kWaiting && ParkedMayRun(*job)) return job;
  }
  return nullptr;
}

std::shared_ptr<Job> Hub::NextForWorker(const JobOwner& owner) {
  if (parked_) return nullptr;  // it would only wait for the lock
  for (const auto& job : jobs_) {
    if (job->owner == &owner && job->state == Job::State::kWaiting) return job;
  }
  return nullptr;
}

bool Hub::HasJobsOf(const JobOwner& owner) const {
  for (const auto& job : jobs_) {
    if (job->owner == &owner) return true;
  }
  return false;
}

}  // namespace kestova::mosquitto::internal
