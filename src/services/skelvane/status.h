// Backlog health as figures a fleet can watch: what the service knows of its outbox and its
// traffic, rendered as a Prometheus text file (node_exporter's textfile collector format) and as
// one JSON document for an MQTT status topic.
//
// Every figure comes from state the service keeps anyway (no scan of archives per message); the
// renderers are pure functions of a StatusFigures value, so their output is stable and testable.
#pragma once

#include <cstdint>
#include <string>

#include "env.h"

namespace kestova {

struct StatusFigures {
  // Outbox.
  int64_t pending_messages = 0;      // unacknowledged records, active file and archives
  int64_t oldest_pending_age_s = 0;  // wall clock minus the oldest pending time stamp; 0: none
  bool has_pending = false;          // whether oldest_pending_age_s means anything
  int64_t active_bytes = 0;
  int64_t archive_bytes = 0;
  int64_t archives = 0;
  // Counters since start.
  int64_t captured = 0;
  int64_t rejected = 0;           // refused for their content (invalid JSON, missing keys)
  int64_t acknowledged = 0;       // acknowledgement entries accepted
  int64_t resent = 0;             // republished by the resend chain
  int64_t dropped_cleanup = 0;    // records in archives deleted at the directory limit
  int64_t dropped_disk_full = 0;  // records in archives deleted because the disk was full
  int64_t write_failures = 0;     // failed attempts to store a record
  int64_t store_bytes_written = 0;
  // Now.
  bool holding = false;         // a message waits for the outbox to become writable
  int64_t in_flight = 0;        // resent messages awaiting their acknowledgement
  double drain_rate_per_s = 0;  // acknowledged resends per second, smoothed
  double drain_eta_s = -1;      // pending / drain rate; -1 when not draining
};

// Prometheus text exposition format, one HELP and TYPE line per metric family, names prefixed
// "skelvane_". Ends with a line feed.
std::string RenderPrometheus(const StatusFigures& f);

// One compact JSON object: {"state":"online","pending_messages":...,...}. `state` is "online" or
// "offline" (the last will carries only the state and the client id).
std::string RenderStatusJson(const StatusFigures& f, const std::string& client_id);
std::string RenderOfflineJson(const std::string& client_id);

// The one-line summary for systemd's STATUS=.
std::string RenderStatusLine(const StatusFigures& f);

// Writes `content` to `path` atomically: a temporary file beside it ("<path>.tmp") renamed over
// it, so a collector never reads half a file.
Status WriteFileAtomically(Env* env, const std::string& path, const std::string& content);

// Exponentially smoothed rate of events per second, fed with counts at irregular times.
class RateMeter {
 public:
  // `half_life_s`: after that long without events the rate has halved.
  explicit RateMeter(double half_life_s = 60) : half_life_s_(half_life_s) {}
  // Adds `events` that happened since the previous call, at `now`.
  void Add(int64_t events, Env::SteadyTime now);
  // The rate as of `now` (decays while nothing happens).
  double PerSecond(Env::SteadyTime now) const;

 private:
  double half_life_s_;
  double rate_ = 0;
  int64_t unsettled_ = 0;  // events of calls without elapsed time, for the next one
  Env::SteadyTime last_{};
  bool started_ = false;
};

}  // namespace kestova
