// Process-wide trace logger with the P7-shaped interface the service calls.
//
// Contract (what callers rely on):
//   - P7::LoggerInit(name, options) configures the process-wide logger once; it may be called again
//     (tests do) and then replaces the previous configuration. It never throws.
//   - P7::getTrace() returns the process-wide trace object; it is valid before LoggerInit (lines then go
//     to standard error) and for the whole life of the process. Never null.
//   - TraceChannel::Trace() formats with printf rules (checked by the compiler), escapes control
//     characters in the formatted text so no input can forge a log line, and writes the line through to
//     its sink before returning. It is thread-safe, never throws and never blocks for long.
//
// Option text: space-separated "/P7.Key=Value" tokens. Known keys:
//   /P7.Sink=FileTxt|Console|Null   /P7.Dir=<directory>   /P7.Roll=<N>hr|<N>min   /P7.Files=<count>
//   /P7.FSize=<MB per file>         /P7.Trc.Verb=<lowest level written, 0..5>
// Unknown keys and malformed values are ignored. The environment variable KESTOVA_LOG holds more
// options appended after the program's own text, so later options (the operator's) win.
//
// Line format for every sink:
//   YYYY-MM-DD HH:MM:SS.mmm LEVEL file:line function: message
// with LEVEL one of TRACE DEBUG INFO WARNING ERROR CRITICAL and file the base name of the path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace P7 {

enum Level : int {
  kTrace = 0,
  kDebug = 1,
  kInfo = 2,
  kWarning = 3,
  kError = 4,
  kCritical = 5,
};

// Name of the main trace channel, passed to LoggerInit by main.
extern const char MainTrace[];

// Configures the process-wide logger from `options` (plus $KESTOVA_LOG). Returns true when the
// configured sink could be opened; on false the logger falls back to standard error and keeps working.
bool LoggerInit(const std::string& name, const std::string& options);

class TraceChannel {
 public:
  TraceChannel() = default;
  TraceChannel(const TraceChannel&) = delete;
  TraceChannel& operator=(const TraceChannel&) = delete;

  // id and module are accepted for interface compatibility and not used.
  void Trace(uint16_t id, int level, void* module, int line, const char* file, const char* function,
             const char* format, ...) __attribute__((format(printf, 8, 9)));
};

TraceChannel* getTrace();

// One captured log line, as seen by ScopedCapture.
struct Record {
  int level = 0;
  std::string file;  // base name
  int line = 0;
  std::string function;
  std::string message;  // formatted and escaped text, without the line prefix
};

// Test helper: while alive, records every line at every level (independent of /P7.Trc.Verb) in
// memory, in addition to the configured sink. Not nestable across threads; one at a time.
class ScopedCapture {
 public:
  ScopedCapture();
  ~ScopedCapture();
  ScopedCapture(const ScopedCapture&) = delete;
  ScopedCapture& operator=(const ScopedCapture&) = delete;

  std::vector<Record> records() const;
  // Records whose message equals `message` exactly (and level matches, when level >= 0).
  int count(const std::string& message, int level = -1) const;
  // True when some record's message contains `fragment` (and level matches, when level >= 0).
  bool contains(const std::string& fragment, int level = -1) const;
  void clear();
};

}  // namespace P7

// Logs through the process-wide trace object with the enclosing function's name.
#define SKV_LOG(level, ...) \
  ::P7::getTrace()->Trace(0, (level), nullptr, __LINE__, __FILE__, __func__, __VA_ARGS__)
