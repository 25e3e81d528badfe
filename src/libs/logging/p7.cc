// The process-wide logger: line formatting, the three sinks, rolling and pruning of log files, the
// fall back to standard error, and in-memory capture for tests.
//
// All sink state lives in one heap object that is never destroyed, so threads that log while the
// process exits (Paho's, for one) never touch a destroyed mutex. One mutex serialises configuration
// and writes; formatting and escaping happen before it is taken.
#include "p7.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <system_error>
#include <tuple>

#include "p7_internal.h"

namespace P7 {

const char MainTrace[] = "skelvane";

namespace {

using internal::Options;
using internal::SinkKind;
using Clock = std::chrono::system_clock;

constexpr const char* kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "CRITICAL"};

int ClampLevel(int level) { return std::clamp(level, static_cast<int>(kTrace), int{kCritical}); }

const char* BaseName(const char* path) {
  if (path == nullptr || *path == '\0') return "?";
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr && slash[1] != '\0' ? slash + 1 : path;
}

std::string ErrorText(int err) { return std::error_code(err, std::generic_category()).message(); }

// Writes all of `data`, retrying short writes and EINTR. Returns 0 or the errno of the failure.
int WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

std::string FormatMessage(const char* format, va_list ap) {
  if (format == nullptr) return {};
  char buf[1024];
  va_list copy;
  va_copy(copy, ap);
  const int n = std::vsnprintf(buf, sizeof buf, format, copy);
  va_end(copy);
  if (n < 0) return std::string("(unformattable: ") + format + ")";
  if (static_cast<size_t>(n) < sizeof buf) return std::string(buf, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n), '\0');
  va_copy(copy, ap);
  std::vsnprintf(out.data(), out.size() + 1, format, copy);
  va_end(copy);
  return out;
}

std::string FormatLine(Clock::time_point now, int level, const std::string& file, int line,
                       const std::string& function, const std::string& message) {
  const std::time_t secs = Clock::to_time_t(now);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  struct tm t {};
  localtime_r(&secs, &t);
  return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}.{:03d} {} {}:{} {}: {}\n",
                     t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
                     static_cast<int>(ms), kLevelNames[level], file, line, function, message);
}

// Names used in file names: no path separators or control characters.
std::string FileNamePrefix(const std::string& name) {
  std::string out = name.empty() ? std::string("p7") : name;
  for (char& c : out) {
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  }
  return out;
}

std::string DefaultDir() { return std::string("/var/log/p7/") + program_invocation_name; }

class Logger {
 public:
  // Before LoggerInit: standard error at INFO and above.
  Logger() { active_ = Active::kStderr; }

  bool Init(const std::string& name, const Options& opts) {
    std::lock_guard<std::mutex> lock(mu_);
    CloseFile();
    opts_ = opts;
    name_ = FileNamePrefix(name);
    dir_ = opts.dir.empty() ? DefaultDir() : opts.dir;
    verbosity_ = opts.verbosity;
    switch (opts.sink) {
      case SinkKind::kNull:
        active_ = Active::kNull;
        return true;
      case SinkKind::kConsole:
        active_ = Active::kStdout;
        return true;
      case SinkKind::kFileTxt:
        return OpenNewFile(internal::Now());
    }
    return true;
  }

  bool Wanted(int level) const {
    return level >= verbosity_.load(std::memory_order_relaxed) ||
           capturing_.load(std::memory_order_relaxed);
  }

  void Write(int level, const std::string& file, int line, const std::string& function,
             const std::string& message) {
    if (level < verbosity_.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(mu_);
    const Clock::time_point now = internal::Now();
    const std::string text = FormatLine(now, level, file, line, function, message);
    switch (active_) {
      case Active::kNull:
        return;
      case Active::kStdout:
        WriteAll(STDOUT_FILENO, text);  // nowhere to report a failing standard output
        return;
      case Active::kStderr:
        WriteAll(STDERR_FILENO, text);
        return;
      case Active::kFile:
        break;
    }
    const bool roll_by_size = written_ > 0 && written_ + text.size() > opts_.max_file_bytes;
    if ((roll_by_size || now >= roll_at_) && !OpenNewFile(now)) {
      WriteAll(STDERR_FILENO, text);
      return;
    }
    if (const int err = WriteAll(fd_, text); err != 0) {
      FallBack("cannot write " + path_, err);
      WriteAll(STDERR_FILENO, text);
      return;
    }
    written_ += text.size();
  }

  bool Capturing() const { return capturing_.load(std::memory_order_relaxed); }

  // Capture registry. Kept apart from mu_ so capturing never waits on a slow sink.
  void Capture(const Record& r) {
    std::lock_guard<std::mutex> lock(capture_mu_);
    for (auto& [owner, records] : captures_) records.push_back(r);
  }
  void AddCapture(const ScopedCapture* owner) {
    std::lock_guard<std::mutex> lock(capture_mu_);
    captures_[owner];
    capturing_ = true;
  }
  void RemoveCapture(const ScopedCapture* owner) {
    std::lock_guard<std::mutex> lock(capture_mu_);
    captures_.erase(owner);
    capturing_ = !captures_.empty();
  }
  std::vector<Record> Captured(const ScopedCapture* owner) const {
    std::lock_guard<std::mutex> lock(capture_mu_);
    auto it = captures_.find(owner);
    return it == captures_.end() ? std::vector<Record>{} : it->second;
  }
  void ClearCapture(const ScopedCapture* owner) {
    std::lock_guard<std::mutex> lock(capture_mu_);
    auto it = captures_.find(owner);
    if (it != captures_.end()) it->second.clear();
  }

 private:
  enum class Active { kStderr, kStdout, kFile, kNull };

  void CloseFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_.clear();
    written_ = 0;
  }

  // Opens a fresh file in dir_ and makes it current, then prunes old files. On failure the logger
  // has fallen back to standard error. Caller holds mu_.
  bool OpenNewFile(Clock::time_point now) {
    // Created again on every roll, so a directory removed under a running service comes back.
    if (const int err = internal::MakeDirs(dir_); err != 0) {
      FallBack("cannot create directory " + dir_, err);
      return false;
    }
    const std::time_t secs = Clock::to_time_t(now);
    struct tm t {};
    localtime_r(&secs, &t);
    // O_EXCL with a sequence number: a second roll within the same second, or a restart, never
    // appends to (or truncates) an existing file.
    for (unsigned seq = 0;; ++seq) {
      const std::string path = dir_ + "/" + internal::LogFileName(name_, t, seq);
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0640);
      if (fd >= 0) {
        CloseFile();
        fd_ = fd;
        path_ = path;
        active_ = Active::kFile;
        roll_at_ = now + opts_.roll;
        Prune();
        return true;
      }
      if (errno != EEXIST || seq >= 100000) {
        FallBack("cannot open " + path, errno);
        return false;
      }
    }
  }

  // Deletes our own oldest files until at most max_files remain, the current one included. Oldest
  // means least recently modified (a file is never written after its successor is created), with
  // the name's time stamp and sequence number breaking ties between equal mtimes.
  void Prune() {
    DIR* d = ::opendir(dir_.c_str());
    if (d == nullptr) return;
    using Key = std::tuple<int64_t, std::string, unsigned long, std::string>;
    std::vector<Key> files;
    const std::string current = path_.substr(path_.rfind('/') + 1);
    while (const dirent* e = ::readdir(d)) {
      const std::string fname = e->d_name;
      if (fname == current || !internal::IsOwnLogFile(name_, fname)) continue;
      struct stat st;
      if (::stat((dir_ + "/" + fname).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      const int64_t mtime = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
      // name "-" YYYYMMDD-HHMMSS "-" seq ".log"
      const std::string stamp = fname.substr(name_.size() + 1, 15);
      const unsigned long seq = std::strtoul(fname.c_str() + name_.size() + 17, nullptr, 10);
      files.emplace_back(mtime, stamp, seq, fname);
    }
    ::closedir(d);
    std::sort(files.begin(), files.end());
    const size_t keep_others = static_cast<size_t>(std::max(opts_.max_files - 1, 0));
    for (size_t i = 0; i + keep_others < files.size(); ++i) {
      ::unlink((dir_ + "/" + std::get<3>(files[i])).c_str());
    }
  }

  // Switches to standard error for good (until the next LoggerInit) and says why, in one line that
  // is written whatever the verbosity. Caller holds mu_.
  void FallBack(const std::string& what, int err) {
    CloseFile();
    active_ = Active::kStderr;
    Record r;
    r.level = kError;
    r.file = BaseName(__FILE__);
    r.line = __LINE__;
    r.function = __func__;
    r.message = internal::EscapeControl("logging: " + what + ": " + ErrorText(err) +
                                        "; logging to standard error");
    WriteAll(STDERR_FILENO,
             FormatLine(internal::Now(), r.level, r.file, r.line, r.function, r.message));
    if (capturing_) Capture(r);
  }

  std::mutex mu_;
  Options opts_;
  std::string name_ = "p7";
  std::string dir_;
  Active active_;
  int fd_ = -1;
  std::string path_;
  uint64_t written_ = 0;
  Clock::time_point roll_at_{};
  std::atomic<int> verbosity_{kInfo};

  mutable std::mutex capture_mu_;
  std::map<const ScopedCapture*, std::vector<Record>> captures_;
  std::atomic<bool> capturing_{false};
};

Logger& GetLogger() {
  static Logger* const logger = new Logger();  // never destroyed, see the file comment
  return *logger;
}

TraceChannel g_main_trace;

}  // namespace

bool LoggerInit(const std::string& name, const std::string& options) {
  try {
    return GetLogger().Init(name, internal::ResolveOptions(options, std::getenv("KESTOVA_LOG")));
  } catch (...) {
    return false;
  }
}

TraceChannel* getTrace() { return &g_main_trace; }

void TraceChannel::Trace(uint16_t /*id*/, int level, void* /*module*/, int line, const char* file,
                         const char* function, const char* format, ...) {
  // Nothing may escape: a logger that throws would turn a log call into a crash. On an exception
  // (allocation failure) the line is lost instead.
  level = ClampLevel(level);
  std::string raw;
  bool wanted = false;
  va_list ap;
  va_start(ap, format);
  try {
    wanted = GetLogger().Wanted(level);
    if (wanted) raw = FormatMessage(format, ap);
  } catch (...) {
    wanted = false;
  }
  va_end(ap);
  if (!wanted) return;
  try {
    Record r;
    r.level = level;
    r.file = internal::EscapeControl(BaseName(file));
    r.line = line;
    r.function = internal::EscapeControl(function != nullptr ? function : "?");
    r.message = internal::EscapeControl(raw);
    Logger& logger = GetLogger();
    if (logger.Capturing()) logger.Capture(r);
    logger.Write(r.level, r.file, r.line, r.function, r.message);
  } catch (...) {
  }
}

ScopedCapture::ScopedCapture() { GetLogger().AddCapture(this); }
ScopedCapture::~ScopedCapture() { GetLogger().RemoveCapture(this); }

std::vector<Record> ScopedCapture::records() const { return GetLogger().Captured(this); }

int ScopedCapture::count(const std::string& message, int level) const {
  int n = 0;
  for (const Record& r : records()) {
    if (r.message == message && (level < 0 || r.level == level)) ++n;
  }
  return n;
}

bool ScopedCapture::contains(const std::string& fragment, int level) const {
  for (const Record& r : records()) {
    if (r.message.find(fragment) != std::string::npos && (level < 0 || r.level == level)) {
      return true;
    }
  }
  return false;
}

void ScopedCapture::clear() { GetLogger().ClearCapture(this); }

}  // namespace P7
