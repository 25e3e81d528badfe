#include "check_config.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>
#include <vector>

#include "config.h"
#include "lock_probe.h"
#include "p7.h"

namespace kestova::outbox_tool {
namespace {

// The reason the file system refuses to let the service write in `path` (a directory), or empty.
std::string NotWritable(const std::string& path) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) {
    return "read-only file system";
  }
  if (::access(path.c_str(), W_OK) != 0) return std::strerror(errno);
  return {};
}

// The directory that holds `path`, trailing slashes ignored: "." for a bare name, "/" for a
// name in the root.
std::string ParentDir(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// What the service would meet at `dir` when it starts: problems that stop or trouble it, and notes
// that do not (a directory it will create, or one a running service holds).
void CheckOutboxDir(const std::string& dir, std::vector<std::string>* problems,
                    std::vector<std::string>* notes) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      problems->push_back(fmt::format("outbox directory {}: {}", dir, std::strerror(errno)));
      return;
    }
    notes->push_back(
        fmt::format("outbox directory {} does not exist (the service creates it)", dir));
    // It is created with its parents: the nearest one that exists must take a new directory.
    std::string up = dir;
    int rc;
    do {
      up = ParentDir(up);
      rc = ::stat(up.c_str(), &st);
    } while (rc != 0 && errno == ENOENT && up != "/" && up != ".");
    const std::string why = rc != 0                ? std::string(std::strerror(errno))
                            : !S_ISDIR(st.st_mode) ? "not a directory"
                                                   : NotWritable(up);
    if (!why.empty()) {
      problems->push_back(
          fmt::format("outbox directory {} cannot be created: {}: {}", dir, up, why));
    }
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    problems->push_back(fmt::format("outbox directory {} exists but is not a directory", dir));
    return;
  }
  if (std::string why = NotWritable(dir); !why.empty()) {
    problems->push_back(fmt::format("outbox directory {} is not writable: {}", dir, why));
  }
  bool in_use = false;
  const std::string state = LockState(dir, &in_use);
  if (in_use) notes->push_back(fmt::format("outbox directory {} is {}", dir, state));
}

// Every value of `c` under its dotted key, as JSON (invalid UTF-8 replaced).
void PrintConfig(const AppConfig& c, std::ostream& out) {
  // Every member by name: a member added to the configuration fails to compile here until it is
  // printed too.
  const auto& [topics, storage, resend, status, maintenance_interval, loop_timeout_ms] = c;
  const auto& [dir, compress, max_file_kb, max_dir_kb, rotation_cooldown, max_index, sync] =
      storage;
  const auto& [cooldown, stale_threshold, grace_period, live_ack_threshold, fast_ack_threshold,
               window] = resend;
  const auto& [prometheus_file, mqtt_topic] = status;
  auto row = [&](const char* key, const nlohmann::json& value) {
    out << fmt::format("{:<28}{}\n", key,
                       value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  };
  row("topics", topics);
  row("storage.dir", dir);
  row("storage.compress", compress);
  row("storage.sync", sync);
  row("storage.max_file_kb", max_file_kb);
  row("storage.max_dir_kb", max_dir_kb);
  row("storage.rotation_cooldown", rotation_cooldown);
  row("storage.max_index", max_index);
  row("resend.cooldown", cooldown);
  row("resend.stale_threshold", stale_threshold);
  row("resend.grace_period", grace_period);
  row("resend.live_ack_threshold", live_ack_threshold);
  row("resend.fast_ack_threshold", fast_ack_threshold);
  row("resend.window", window);
  row("status.prometheus_file", prometheus_file);
  row("status.mqtt_topic", mqtt_topic);
  row("maintenance_interval", maintenance_interval);
  row("loop_timeout_ms", loop_timeout_ms);
}

}  // namespace

int CheckConfig(const std::string& path, std::ostream& out) {
  std::vector<std::string> problems;
  std::vector<std::string> notes;
  AppConfig config;
  std::string type_error;
  {
    // The loader's own warnings (missing file, parse error, reset limits) are problems here.
    P7::ScopedCapture capture;
    try {
      config = loadConfig(path);
    } catch (const std::exception& e) {
      type_error = e.what();
    }
    for (const P7::Record& r : capture.records()) {
      if (r.level >= P7::kWarning) problems.push_back(r.message);
    }
  }
  out << fmt::format("config {}\n", path);
  if (!type_error.empty()) {
    problems.push_back(
        fmt::format("Config error: {} (the service exits with status 1)", type_error));
  } else {
    PrintConfig(config, out);
    if (config.topics.empty()) {
      problems.push_back("No topics configured (the service exits with status 1)");
    }
    CheckOutboxDir(config.storage.dir, &problems, &notes);
  }
  for (const std::string& p : problems) out << "problem: " << p << '\n';
  for (const std::string& n : notes) out << "note: " << n << '\n';
  if (problems.empty()) {
    out << "OK: no problems\n";
    return 0;
  }
  out << fmt::format("{} problem{}\n", problems.size(), problems.size() == 1 ? "" : "s");
  return 1;
}

}  // namespace kestova::outbox_tool
