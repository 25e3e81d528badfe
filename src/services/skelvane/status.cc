#include "status.h"

#include <fmt/format.h>

#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>

namespace kestova {
namespace {

struct Family {
  const char* name;
  const char* type;  // "gauge" or "counter"
  const char* help;
};

void AppendFamily(std::string* out, const Family& fam) {
  *out += fmt::format("# HELP skelvane_{} {}\n# TYPE skelvane_{} {}\n", fam.name, fam.help,
                      fam.name, fam.type);
}

void AppendSample(std::string* out, const char* name, const std::string& labels, double value) {
  // Counts print as plain integers (a double's shortest form would write 1e+06).
  if (value == std::trunc(value) && std::fabs(value) < 1e15) {
    *out += fmt::format("skelvane_{}{} {}\n", name, labels, static_cast<int64_t>(value));
  } else {
    *out += fmt::format("skelvane_{}{} {:.6g}\n", name, labels, value);
  }
}

void AppendMetric(std::string* out, const Family& fam, double value) {
  AppendFamily(out, fam);
  AppendSample(out, fam.name, "", value);
}

double Seconds(Env::SteadyTime::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

std::string RenderPrometheus(const StatusFigures& f) {
  std::string out;
  AppendMetric(&out,
               {"outbox_pending_messages", "gauge",
                "Unacknowledged messages in the outbox (active file and archives)."},
               static_cast<double>(f.pending_messages));
  AppendMetric(&out,
               {"outbox_oldest_pending_age_seconds", "gauge",
                "Age of the oldest unacknowledged message (0 when none)."},
               f.has_pending ? static_cast<double>(f.oldest_pending_age_s) : 0.0);
  AppendFamily(&out, {"outbox_bytes", "gauge", "Bytes on disk, by file kind."});
  AppendSample(&out, "outbox_bytes", "{file=\"active\"}", static_cast<double>(f.active_bytes));
  AppendSample(&out, "outbox_bytes", "{file=\"archives\"}", static_cast<double>(f.archive_bytes));
  AppendMetric(&out, {"outbox_archives", "gauge", "Rotated archives waiting for delivery."},
               static_cast<double>(f.archives));
  AppendMetric(&out, {"messages_captured_total", "counter", "Messages stored since start."},
               static_cast<double>(f.captured));
  AppendMetric(
      &out,
      {"messages_rejected_total", "counter", "Messages refused for their content since start."},
      static_cast<double>(f.rejected));
  AppendMetric(
      &out,
      {"messages_acknowledged_total", "counter", "Acknowledgement entries accepted since start."},
      static_cast<double>(f.acknowledged));
  AppendMetric(&out, {"messages_resent_total", "counter", "Messages republished since start."},
               static_cast<double>(f.resent));
  AppendFamily(&out, {"messages_dropped_total", "counter",
                      "Stored messages given up with a deleted archive, by reason."});
  AppendSample(&out, "messages_dropped_total", "{reason=\"cleanup\"}",
               static_cast<double>(f.dropped_cleanup));
  AppendSample(&out, "messages_dropped_total", "{reason=\"disk_full\"}",
               static_cast<double>(f.dropped_disk_full));
  AppendMetric(
      &out,
      {"store_write_failures_total", "counter", "Failed attempts to store a message since start."},
      static_cast<double>(f.write_failures));
  AppendMetric(
      &out, {"store_bytes_written_total", "counter", "Bytes the outbox store wrote since start."},
      static_cast<double>(f.store_bytes_written));
  AppendMetric(
      &out,
      {"capture_holding", "gauge", "1 while a message waits for the outbox to become writable."},
      f.holding ? 1.0 : 0.0);
  AppendMetric(&out,
               {"chain_in_flight", "gauge", "Resent messages awaiting their acknowledgement."},
               static_cast<double>(f.in_flight));
  AppendMetric(&out,
               {"drain_rate_per_second", "gauge", "Acknowledged resends per second, smoothed."},
               f.drain_rate_per_s);
  AppendMetric(&out,
               {"drain_eta_seconds", "gauge",
                "Estimated seconds until the outbox is empty at the drain rate (-1: not "
                "draining)."},
               f.drain_eta_s);
  return out;
}

std::string RenderStatusJson(const StatusFigures& f, const std::string& client_id) {
  nlohmann::ordered_json j;
  j["state"] = "online";
  j["client_id"] = client_id;
  j["pending_messages"] = f.pending_messages;
  j["oldest_pending_age_seconds"] = f.has_pending ? f.oldest_pending_age_s : 0;
  j["outbox_bytes"] = {{"active", f.active_bytes}, {"archives", f.archive_bytes}};
  j["archives"] = f.archives;
  j["captured"] = f.captured;
  j["rejected"] = f.rejected;
  j["acknowledged"] = f.acknowledged;
  j["resent"] = f.resent;
  j["dropped"] = {{"cleanup", f.dropped_cleanup}, {"disk_full", f.dropped_disk_full}};
  j["write_failures"] = f.write_failures;
  j["store_bytes_written"] = f.store_bytes_written;
  j["holding"] = f.holding;
  j["chain"] = f.in_flight > 0 ? "in_flight" : "idle";
  j["in_flight"] = f.in_flight;
  j["drain_rate_per_second"] = std::round(f.drain_rate_per_s * 1000) / 1000;
  j["drain_eta_seconds"] = f.drain_eta_s < 0 ? -1 : std::llround(f.drain_eta_s);
  // Topics and ids come from the configuration and the environment: invalid UTF-8 is replaced
  // rather than thrown on.
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string RenderOfflineJson(const std::string& client_id) {
  nlohmann::ordered_json j;
  j["state"] = "offline";
  j["client_id"] = client_id;
  return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string RenderStatusLine(const StatusFigures& f) {
  std::string line = fmt::format("{} pending", f.pending_messages);
  if (f.has_pending) line += fmt::format(", oldest {}s", f.oldest_pending_age_s);
  line += fmt::format(", {} archives", f.archives);
  if (f.in_flight > 0) line += fmt::format(", {} in flight", f.in_flight);
  if (f.drain_eta_s >= 0) line += fmt::format(", empty in ~{}s", std::llround(f.drain_eta_s));
  if (f.holding) line += ", HOLDING (outbox not writable)";
  return line;
}

Status WriteFileAtomically(Env* env, const std::string& path, const std::string& content) {
  const std::string temp = path + ".tmp";
  std::unique_ptr<WritableFile> file;
  Status st = env->NewWritableFile(temp, /*truncate=*/true, &file);
  if (st.ok()) st = file->Append(content.data(), content.size());
  if (file != nullptr) {
    const Status closed = file->Close();
    if (st.ok()) st = closed;
  }
  if (st.ok()) st = env->RenameFile(temp, path);
  if (!st.ok()) env->RemoveFile(temp);
  return st;
}

void RateMeter::Add(int64_t events, Env::SteadyTime now) {
  if (!started_) {
    started_ = true;
    last_ = now;
    return;
  }
  unsettled_ += events;
  const double dt = Seconds(now - last_);
  if (dt <= 0) return;  // counted with the next call that has a duration
  const double keep = std::exp2(-dt / half_life_s_);
  rate_ = rate_ * keep + (static_cast<double>(unsettled_) / dt) * (1 - keep);
  unsettled_ = 0;
  last_ = now;
}

double RateMeter::PerSecond(Env::SteadyTime now) const {
  if (!started_) return 0;
  const double dt = Seconds(now - last_);
  return dt > 0 ? rate_ * std::exp2(-dt / half_life_s_) : rate_;
}

}  // namespace kestova
