// Pieces of the logger that are pure functions of their input, exposed so the unit tests can check
// them directly, plus the one test hook (a clock offset). Not part of the public interface; only
// files in this directory include it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace P7::internal {

enum class SinkKind { kFileTxt, kConsole, kNull };

// The effective configuration. The defaults are what a LoggerInit with empty option text gets.
struct Options {
  SinkKind sink = SinkKind::kFileTxt;
  std::string dir;  // empty: "/var/log/p7/" + argv[0], decided when the sink opens
  std::chrono::seconds roll{std::chrono::hours(24)};
  int max_files = 3;
  uint64_t max_file_bytes = 10ull << 20;
  int verbosity = 2;  // kInfo
};

// Applies the "/P7.Key=Value" tokens in `text`, in order, on top of `*opts`. Unknown keys, tokens
// without "/P7." or "=", and malformed or out-of-range values leave `*opts` unchanged.
void ApplyOptions(std::string_view text, Options* opts);

// Defaults, then the program's text, then `env_text` ($KESTOVA_LOG; may be null).
Options ResolveOptions(std::string_view program_text, const char* env_text);

// Replaces control characters so the text fits on one line: \n \r \t become two-character escapes,
// other bytes below 0x20 and 0x7f become \xHH (lower-case hex). Everything else, including
// backslash and bytes >= 0x80, is copied unchanged.
std::string EscapeControl(std::string_view text);

// mkdir -p: creates every missing component of `path` (empty components from "//" and "." are
// skipped). Returns 0, or the errno of the step that failed (ENOTDIR when a component exists and is
// not a directory).
int MakeDirs(const std::string& path);

// "<name>-YYYYMMDD-HHMMSS-<seq>.log" with seq zero-padded to three digits (more when it grows).
std::string LogFileName(const std::string& name, const struct tm& local, unsigned seq);

// True when `filename` has the shape LogFileName produces for `name`; only such files are ever
// deleted when old files are pruned.
bool IsOwnLogFile(const std::string& name, std::string_view filename);

// The logger's clock: the system clock plus the offset set here. Tests move time forward to trigger
// time-based rolling without sleeping.
void SetClockOffsetForTest(std::chrono::seconds offset);
std::chrono::system_clock::time_point Now();

}  // namespace P7::internal
