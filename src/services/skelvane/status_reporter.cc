#include "status_reporter.h"

#include <chrono>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "p7.h"
#include "saturating.h"

namespace kestova {
namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

StatusReporter::StatusReporter(const StatusConfig& config, OutboxStore& store,
                               const Resender& resender, mosquitto::Client& client,
                               std::string client_id, Env* env)
    : config_(config),
      store_(store),
      resender_(resender),
      client_(client),
      client_id_(std::move(client_id)),
      env_(env),
      drain_(/*half_life_s=*/60) {}

void StatusReporter::ArmLastWill(const StatusConfig& config, mosquitto::Client& client,
                                 const std::string& client_id) {
  if (config.mqtt_topic.empty()) return;
  client.SetWill(config.mqtt_topic, Bytes(RenderOfflineJson(client_id)), /*retained=*/true);
}

void StatusReporter::Ready() {
  drain_.Add(0, env_->SteadyNow());
  last_watchdog_ = env_->SteadyNow();
  notifier_.Notify("READY=1");
  Report();
}

void StatusReporter::Tick() {
  if (notifier_.watchdogPeriod().count() == 0) return;
  const Env::SteadyTime now = env_->SteadyNow();
  if (now - last_watchdog_ < notifier_.watchdogPeriod()) return;
  last_watchdog_ = now;
  notifier_.Notify("WATCHDOG=1");
}

StatusFigures StatusReporter::Figures() {
  const OutboxStore::Figures s = store_.figures();
  StatusFigures f;
  f.pending_messages = s.pending_active + s.pending_archives;
  if (s.has_oldest) {
    const int64_t now_s =
        std::chrono::duration_cast<std::chrono::seconds>(env_->SystemNow().time_since_epoch())
            .count();
    f.has_pending = true;
    f.oldest_pending_age_s = SaturatingSub(now_s, s.oldest_ts);
  }
  f.active_bytes = s.active_bytes;
  f.archive_bytes = s.archive_bytes;
  f.archives = s.archives;
  f.captured = captured_;
  f.rejected = rejected_;
  f.acknowledged = acknowledged_;
  f.resent = resender_.resentTotal();
  f.dropped_cleanup = s.dropped_cleanup;
  f.dropped_disk_full = s.dropped_disk_full;
  f.write_failures = write_failures_;
  f.store_bytes_written = static_cast<int64_t>(s.bytes_written);
  f.holding = holding_;
  f.in_flight = static_cast<int64_t>(resender_.inFlightCount());
  f.drain_rate_per_s = drain_.PerSecond(env_->SteadyNow());
  // Below one message in about 17 minutes the estimate would mean nothing.
  f.drain_eta_s = f.drain_rate_per_s >= 1e-3
                      ? static_cast<double>(f.pending_messages) / f.drain_rate_per_s
                      : -1;
  return f;
}

void StatusReporter::Report() {
  const int64_t acked = resender_.ackedResendsTotal();
  drain_.Add(acked - acked_resends_seen_, env_->SteadyNow());
  acked_resends_seen_ = acked;
  const StatusFigures f = Figures();
  if (!config_.prometheus_file.empty()) WriteFile(f);
  if (!config_.mqtt_topic.empty()) Publish(f);
  notifier_.Notify("STATUS=" + RenderStatusLine(f));
}

void StatusReporter::WriteFile(const StatusFigures& f) {
  const Status st = WriteFileAtomically(env_, config_.prometheus_file, RenderPrometheus(f));
  const int err = st.code();
  if (err != file_error_ && err != 0) {
    SKV_LOG(P7::kWarning, "Cannot write status file %s: %s", config_.prometheus_file.c_str(),
            st.message().c_str());
  } else if (err != file_error_) {
    SKV_LOG(P7::kInfo, "Status file %s written again", config_.prometheus_file.c_str());
  }
  file_error_ = err;
}

void StatusReporter::Publish(const StatusFigures& f) {
  try {
    client_.Send(config_.mqtt_topic, Bytes(RenderStatusJson(f, client_id_)),
                 mosquitto::Qos::AtLeastOnce, /*retained=*/true);
  } catch (const std::exception& e) {
    // Not connected: the next pass publishes again, and the retained copy stays meanwhile.
    SKV_LOG(P7::kDebug, "Status publish skipped: %s", e.what());
  }
}

}  // namespace kestova
