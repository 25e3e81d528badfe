// Option parsing, escaping, directory creation and log file naming for the logger.
#include <errno.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>

#include "p7_internal.h"

namespace P7::internal {
namespace {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Whole-string unsigned decimal; rejects signs, blanks and trailing junk.
bool ParseInt(std::string_view s, long long* out) {
  if (s.empty() || !IsDigit(s.front())) return false;
  long long v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return false;
  *out = v;
  return true;
}

// "<N>hr" or "<N>min", N >= 1, at most a year so the deadline arithmetic cannot overflow.
bool ParseRoll(std::string_view v, std::chrono::seconds* out) {
  long long unit = 0;
  std::string_view digits;
  if (v.size() > 2 && EqualsIgnoreCase(v.substr(v.size() - 2), "hr")) {
    unit = 3600;
    digits = v.substr(0, v.size() - 2);
  } else if (v.size() > 3 && EqualsIgnoreCase(v.substr(v.size() - 3), "min")) {
    unit = 60;
    digits = v.substr(0, v.size() - 3);
  } else {
    return false;
  }
  long long n = 0;
  if (!ParseInt(digits, &n) || n < 1 || n * unit > 366LL * 24 * 3600) return false;
  *out = std::chrono::seconds(n * unit);
  return true;
}

// Megabytes (MiB), decimal fractions allowed; must come to at least one byte.
bool ParseMegabytes(std::string_view v, uint64_t* out) {
  if (v.empty() || !(IsDigit(v.front()) || v.front() == '.')) return false;
  std::string s(v);
  char* end = nullptr;
  errno = 0;
  const double mb = std::strtod(s.c_str(), &end);
  if (errno != 0 || end != s.c_str() + s.size() || !std::isfinite(mb)) return false;
  const double bytes = mb * 1048576.0;
  if (bytes < 1.0 || bytes > 1e15) return false;
  *out = static_cast<uint64_t>(bytes);
  return true;
}

void ApplyOne(std::string_view key, std::string_view value, Options* opts) {
  long long n = 0;
  if (EqualsIgnoreCase(key, "Sink")) {
    if (EqualsIgnoreCase(value, "FileTxt")) {
      opts->sink = SinkKind::kFileTxt;
    } else if (EqualsIgnoreCase(value, "Console")) {
      opts->sink = SinkKind::kConsole;
    } else if (EqualsIgnoreCase(value, "Null")) {
      opts->sink = SinkKind::kNull;
    }
  } else if (EqualsIgnoreCase(key, "Dir")) {
    if (!value.empty()) opts->dir = std::string(value);
  } else if (EqualsIgnoreCase(key, "Roll")) {
    ParseRoll(value, &opts->roll);
  } else if (EqualsIgnoreCase(key, "Files")) {
    if (ParseInt(value, &n) && n >= 1 && n <= 100000) opts->max_files = static_cast<int>(n);
  } else if (EqualsIgnoreCase(key, "FSize")) {
    ParseMegabytes(value, &opts->max_file_bytes);
  } else if (EqualsIgnoreCase(key, "Trc.Verb")) {
    if (ParseInt(value, &n) && n >= 0 && n <= 5) opts->verbosity = static_cast<int>(n);
  }
}

std::atomic<long long> g_clock_offset_s{0};

}  // namespace

void ApplyOptions(std::string_view text, Options* opts) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && IsSpace(text[i])) ++i;
    size_t j = i;
    while (j < text.size() && !IsSpace(text[j])) ++j;
    std::string_view token = text.substr(i, j - i);
    i = j;
    constexpr std::string_view kPrefix = "/P7.";
    if (token.size() <= kPrefix.size() || !EqualsIgnoreCase(token.substr(0, 4), kPrefix)) continue;
    token.remove_prefix(kPrefix.size());
    const size_t eq = token.find('=');
    if (eq == std::string_view::npos) continue;
    ApplyOne(token.substr(0, eq), token.substr(eq + 1), opts);
  }
}

Options ResolveOptions(std::string_view program_text, const char* env_text) {
  Options opts;
  ApplyOptions(program_text, &opts);
  if (env_text != nullptr) ApplyOptions(env_text, &opts);
  return opts;
}

std::string EscapeControl(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += ch;
    }
  }
  return out;
}

int MakeDirs(const std::string& path) {
  if (path.empty()) return ENOENT;
  std::string prefix = path[0] == '/' ? "" : ".";
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == '/') ++i;
    size_t j = i;
    while (j < path.size() && path[j] != '/') ++j;
    if (j == i) break;
    const std::string_view part(path.data() + i, j - i);
    i = j;
    prefix += '/';
    prefix += part;
    if (part == ".") continue;
    if (::mkdir(prefix.c_str(), 0750) == 0) continue;
    const int err = errno;
    // Existing components (including ones we may not write to, such as /var) are fine as long as
    // they are directories.
    struct stat st;
    if (::stat(prefix.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) continue;
      return ENOTDIR;
    }
    return err;
  }
  return 0;
}

std::string LogFileName(const std::string& name, const struct tm& t, unsigned seq) {
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &t);
  std::string seq_text = std::to_string(seq);
  if (seq_text.size() < 3) seq_text.insert(0, 3 - seq_text.size(), '0');
  return name + "-" + stamp + "-" + seq_text + ".log";
}

bool IsOwnLogFile(const std::string& name, std::string_view f) {
  // name "-" 8 digits "-" 6 digits "-" 3+ digits ".log"
  if (f.size() < name.size() + 1 || f.substr(0, name.size()) != name) return false;
  f.remove_prefix(name.size());
  auto take = [&f](char c) {
    if (f.empty() || f.front() != c) return false;
    f.remove_prefix(1);
    return true;
  };
  auto digits = [&f](size_t min, size_t max) {
    size_t n = 0;
    while (n < f.size() && IsDigit(f[n])) ++n;
    if (n < min || n > max) return false;
    f.remove_prefix(n);
    return true;
  };
  return take('-') && digits(8, 8) && take('-') && digits(6, 6) && take('-') && digits(3, 10) &&
         f == ".log";
}

void SetClockOffsetForTest(std::chrono::seconds offset) { g_clock_offset_s = offset.count(); }

std::chrono::system_clock::time_point Now() {
  return std::chrono::system_clock::now() + std::chrono::seconds(g_clock_offset_s.load());
}

}  // namespace P7::internal
