// Helpers shared by the robustness suites (tests/e2e/robustness_*_test.cc): knobs from the
// environment, process figures from /proc, an audit of everything an outbox directory holds, extra
// service runs over a fixture's configuration, and a tmpfs mount for one test.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "service_fixture.h"
#include "subprocess.h"

#if defined(__SANITIZE_ADDRESS__)
#define SKELVANE_TORTURE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SKELVANE_TORTURE_ASAN 1
#endif
#endif

namespace torture {

// True in an AddressSanitizer build (the service is built alike). Its redzones and quarantine make
// memory figures meaningless, so memory bounds are reported there but not judged.
#ifdef SKELVANE_TORTURE_ASAN
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// An integer knob: $name when set and numeric, else `fallback`.
inline int64_t EnvInt(const char* name, int64_t fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char* end = nullptr;
  const long long n = std::strtoll(v, &end, 10);
  return (end != nullptr && *end == '\0') ? n : fallback;
}

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when unreadable.
inline int64_t ProcStatusKb(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + ":", 0) == 0)
      return std::strtoll(line.c_str() + key.size() + 1, nullptr, 10);
  }
  return -1;
}

// Open file descriptors of a process; -1 when unreadable.
inline int CountFds(pid_t pid) {
  DIR* d = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(d);
  return n;
}

// The content of a gzip file as zcat gives it; false when zcat reports an error (a damaged or
// truncated archive). zcat rather than gzread: gzread can miss a truncation at a buffer edge.
inline bool Zcat(const std::string& path, std::string* out) {
  out->clear();
  FILE* p = ::popen(("zcat -- '" + path + "' 2>/dev/null").c_str(), "r");
  if (p == nullptr) return false;
  char buf[65536];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out->append(buf, n);
  return ::pclose(p) == 0;
}

// What an outbox directory holds: the active file and every archive (gzip ones through zcat),
// split into lines.
struct OutboxAudit {
  int archives = 0;
  int temp_files = 0;                        // names holding ".tmp"
  int64_t whole = 0;                         // lines that are complete, valid records
  int64_t broken = 0;                        // complete lines that are not records, and torn tails
  std::vector<std::string> unreadable;       // archives that could not be read completely
  std::map<std::string, int> ids;            // msg_id -> number of records
  std::map<std::string, std::string> lines;  // msg_id -> one of its record lines
  std::vector<std::string> broken_lines;     // the first few, for messages

  int64_t duplicates() const {
    int64_t d = 0;
    for (const auto& [id, n] : ids) d += n - 1;
    return d;
  }
  bool has(const std::string& id) const { return ids.count(id) != 0; }
};

inline void AuditText(const std::string& text, OutboxAudit* audit) {
  std::string tail;
  for (const testsupport::OutboxRecord& r : testsupport::ParseOutbox(text, &tail)) {
    if (r.line.empty()) continue;
    if (r.valid) {
      ++audit->whole;
      ++audit->ids[r.msg_id];
      audit->lines.emplace(r.msg_id, r.line);
    } else {
      ++audit->broken;
      if (audit->broken_lines.size() < 5) audit->broken_lines.push_back(r.line.substr(0, 200));
    }
  }
  if (!tail.empty()) {
    ++audit->broken;
    if (audit->broken_lines.size() < 5)
      audit->broken_lines.push_back("(torn) " + tail.substr(0, 200));
  }
}

// Reads the directory as it is; meaningful only while no service runs over it.
inline OutboxAudit AuditOutbox(const std::string& dir) {
  OutboxAudit audit;
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
  }
  for (const std::string& n : names) {
    if (n.find(".tmp") != std::string::npos) {
      ++audit.temp_files;
      continue;
    }
    if (n.rfind("outbox.", 0) != 0 || n.find(".jsonl") == std::string::npos) continue;
    const std::string path = dir + "/" + n;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    std::string text;
    if (n.size() > 3 && n.compare(n.size() - 3, 3, ".gz") == 0) {
      ++audit.archives;
      if (!Zcat(path, &text)) audit.unreadable.push_back(n);
    } else {
      if (n != "outbox.jsonl") ++audit.archives;
      text = testsupport::TryReadFile(path).value_or("");
    }
    AuditText(text, &audit);
  }
  return audit;
}

// A further run of the service over a fixture's configuration and outbox, started by the test
// itself, for runs the fixture's StartService does not cover (no readiness wait, a wrapper program
// in front, another log verbosity).
class ServiceRun {
 public:
  ServiceRun(testsupport::ServiceFixture& fx, const std::string& log_path,
             std::map<std::string, std::string> env = {}, std::vector<std::string> prefix = {},
             const std::string& verbosity = "0") {
    for (const auto& [k, v] : fx.options().env) env.emplace(k, v);
    env["KESTOVA_LOG"] = "/P7.Sink=Console /P7.Trc.Verb=" + verbosity;
    env["KESTOVA_MQTT_URI"] = fx.broker().uri();
    std::vector<std::string> argv = std::move(prefix);
    argv.push_back(testsupport::BinDir() + "/skelvane");
    argv.push_back(fx.config_path());
    process_ = std::make_unique<testsupport::Subprocess>(argv, env, log_path);
  }

  pid_t pid() const { return process_->pid(); }
  bool running() { return process_->running(); }
  int Kill(int sig) { return process_->Kill(sig); }
  std::string Output() const { return process_->Output(); }
  bool Logged(const std::string& fragment) const {
    return Output().find(fragment) != std::string::npos;
  }
  // Waits until `fragment` appears in the output; false after `limit` or when the run ended.
  bool WaitLogged(const std::string& fragment, std::chrono::milliseconds limit) {
    return testsupport::WaitFor([&] { return Logged(fragment) || !running(); }, limit) &&
           Logged(fragment);
  }
  // Waits for the message loop, then probes the data topic until the subscription is live.
  bool WaitReady(testsupport::ServiceFixture& fx, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    if (!WaitLogged("Entering message loop", limit)) return false;
    static int probes = 1000;
    while (Clock::now() < deadline && running()) {
      const int n = ++probes;
      fx.control().Publish(fx.options().probe_topic, std::string(static_cast<size_t>(n), '#'));
      if (WaitLogged("Data: invalid JSON (" + std::to_string(n) + " bytes)", 300ms)) return true;
    }
    return false;
  }

 private:
  std::unique_ptr<testsupport::Subprocess> process_;
};

// Occurrences of `fragment` in `text`.
inline int64_t CountOf(const std::string& text, const std::string& fragment) {
  int64_t n = 0;
  for (size_t at = text.find(fragment); at != std::string::npos;
       at = text.find(fragment, at + fragment.size())) {
    ++n;
  }
  return n;
}

// A tmpfs of `size` mounted on `dir` for the life of the object (the directory is created).
// mounted() is false when mounting is not possible here (not root, no CAP_SYS_ADMIN).
class TmpfsMount {
 public:
  TmpfsMount(const std::string& dir, const std::string& size) : dir_(dir) {
    ::mkdir(dir.c_str(), 0755);
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~TmpfsMount() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  bool mounted() const { return mounted_; }
  // Read-only or writable again, keeping the content.
  bool SetReadOnly(bool ro) {
    return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | (ro ? MS_RDONLY : 0), nullptr) == 0;
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

// A data payload of about `size` bytes: {"timestamp":ts,"msg_id":id,"fill":"xxx..."}.
inline std::string SizedPayload(int64_t ts, const std::string& id, size_t size) {
  const std::string head = testsupport::DataPayload(ts, id, "\"fill\":\"\"");
  const size_t fill = size > head.size() ? size - head.size() : 0;
  return testsupport::DataPayload(ts, id, "\"fill\":\"" + std::string(fill, 'x') + "\"");
}

}  // namespace torture
