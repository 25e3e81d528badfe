// StatusReporter: gathers the service's figures (status.h) and sends them where the configuration
// asks: a Prometheus text file and a retained MQTT status document at every maintenance pass,
// the last will "offline" on the same topic, and systemd's READY=1, STATUS= and WATCHDOG=1.
//
// Called from the loop's turns only (one at a time), like everything else of the service. Every
// output is best effort: a failure is logged (once per change of cause) and never stops the loop.
#pragma once

#include <cstdint>
#include <string>

#include "config.h"
#include "env.h"
#include "mqtt_client.h"
#include "outbox_store.h"
#include "resender.h"
#include "sd_notify.h"
#include "status.h"

namespace kestova {

class StatusReporter {
 public:
  // `store`, `resender` and `client` must outlive the reporter. `client_id` names this service in
  // the MQTT documents.
  StatusReporter(const StatusConfig& config, OutboxStore& store, const Resender& resender,
                 mosquitto::Client& client, std::string client_id, Env* env);
  StatusReporter(const StatusReporter&) = delete;
  StatusReporter& operator=(const StatusReporter&) = delete;

  // Before the client connects: the retained "offline" document as its last will (nothing
  // without a status topic).
  static void ArmLastWill(const StatusConfig& config, mosquitto::Client& client,
                          const std::string& client_id);

  // What the loop counts.
  void Captured() { ++captured_; }
  void Rejected() { ++rejected_; }
  void Acknowledged(size_t entries) { acknowledged_ += static_cast<int64_t>(entries); }
  void WriteFailed() { ++write_failures_; }
  void SetHolding(bool holding) { holding_ = holding; }

  // Once the loop runs: READY=1 and the first report.
  void Ready();
  // Every turn: WATCHDOG=1 when half the watchdog interval has passed since the last one.
  void Tick();
  // Every maintenance pass: the file, the status topic and STATUS=.
  void Report();

  StatusFigures Figures();

 private:
  void WriteFile(const StatusFigures& f);
  void Publish(const StatusFigures& f);

  const StatusConfig config_;
  OutboxStore& store_;
  const Resender& resender_;
  mosquitto::Client& client_;
  const std::string client_id_;
  Env* env_;
  SystemdNotifier notifier_;
  Env::SteadyTime last_watchdog_{};
  RateMeter drain_;
  int64_t acked_resends_seen_ = 0;
  int64_t captured_ = 0, rejected_ = 0, acknowledged_ = 0, write_failures_ = 0;
  bool holding_ = false;
  int file_error_ = 0;  // the last error writing the Prometheus file, logged when it changes
};

}  // namespace kestova
