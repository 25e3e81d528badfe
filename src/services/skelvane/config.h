// Configuration records and the loader that fills them from the JSON configuration file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestova {

struct OutboxStoreConfig {
  std::string dir = "/var/lib/skelvane";
  bool compress = true;
  int32_t max_file_kb = 10240;
  int32_t max_dir_kb = 51200;
  int32_t rotation_cooldown = 120;
  int32_t max_index = 100000;  // not settable from the file
  bool sync = false;           // force data to the device at every commit point

  bool operator==(const OutboxStoreConfig&) const = default;
};

struct ResendConfig {
  int32_t cooldown = 30;
  int32_t stale_threshold = 120;
  int32_t grace_period = 120;
  int32_t live_ack_threshold = 120;
  int32_t fast_ack_threshold = 30;
  // Republished messages the chain keeps in flight at once; at least 1 (the one-at-a-time chain).
  int32_t window = 1;

  bool operator==(const ResendConfig&) const = default;
};

// Where the service reports its backlog health; each output is off while its key is empty.
struct StatusConfig {
  std::string prometheus_file;  // a Prometheus text file, rewritten at every maintenance pass
  std::string mqtt_topic;       // retained status document, and the last will "offline"

  bool operator==(const StatusConfig&) const = default;
};

struct AppConfig {
  std::vector<std::string> topics;
  OutboxStoreConfig storage;
  ResendConfig resend;
  StatusConfig status;
  int32_t maintenance_interval = 60;
  int32_t loop_timeout_ms = 1000;

  bool operator==(const AppConfig&) const = default;
};

// Reads the configuration file at `path`. A missing or unparsable file yields the defaults with the
// single default topic; a value of the wrong JSON type throws (a std::exception carrying the JSON
// library's type-error text), and main turns that into exit status 1.
AppConfig loadConfig(const std::string& path);

}  // namespace kestova
