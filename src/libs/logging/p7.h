// Process-wide trace logger with the P7-shaped interface the service calls.
//
// Contract (what callers rely on):
//   - P7::LoggerInit(name, options) configures the process-wide logger once; it may be called again
//     (tests do) and then replaces the previous configuration. It never throws.
//   - P7::getTrace() returns the process-wide trace object; it is valid before LoggerInit
//     (lines then go to standard error) and for the whole life of the process. Never null.
//   - TraceChannel::Trace() formats with printf rules (checked by the compiler), escapes control
//     characters in the formatted text so no input can forge a log line, and writes the line
//     through to its sink before returning. It is thread-safe, never throws and never blocks for
//     long.
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
// The time is local time. A level outside 0..5 is clamped to TRACE or CRITICAL.
//
// Option details:
//   - Keys and the Sink value are matched case-insensitively; a value ends at the next blank, so a
//     directory name cannot contain spaces. A later token for the same key wins.
//   - Defaults (empty option text): Sink=FileTxt, Dir=/var/log/p7/<argv[0]> (the "//" that an
//     absolute argv[0] produces is fine), Roll=24hr, Files=3, FSize=10, Trc.Verb=2 (INFO).
//   - Roll: <N>hr or <N>min, N >= 1. Files: 1..100000. FSize: MiB, decimal fractions allowed
//     ("0.5"); a single line longer than the limit still goes into one file of its own.
//     Trc.Verb: 0..5.
//   - Before the first LoggerInit lines go to standard error at INFO and above.
//
// Escaping: in the formatted message (and in file and function) \n, \r and \t become the two
// characters "\n", "\r", "\t"; other bytes below 0x20 and 0x7f become "\xHH" (lower-case hex, e.g.
// ESC is "\x1b"). A backslash is kept as it is, so a message that already contains the two
// characters "\n" looks like an escaped newline; that is ambiguous to a reader but can never start
// a new line. Bytes >= 0x80 (UTF-8) pass through unchanged. An embedded NUL (from "%c") is "\x00".
//
// Sinks. Each line is one write(2) of the whole line (short writes are continued), nothing is held
// in a buffer:
//   - Console: standard output. Null: nothing (ScopedCapture still sees every line).
//   - FileTxt: the directory is created like mkdir -p (mode 0750). Files are named
//     <name>-YYYYMMDD-HHMMSS-NNN.log (local time of opening, NNN a sequence number from 000 that
//     keeps names unique within one second and across restarts; name is the LoggerInit name with
//     '/' and control characters replaced by '_'), opened O_APPEND|O_EXCL with mode 0640. A new
//     file is started by LoggerInit, when the next line would take the file past FSize, and on
//     the first line Roll after the file was opened. After each new file, the oldest of our own
//     files in the directory (by modification time; only names of the shape above with the same
//     <name>) are deleted so at most Files remain, the current one included. Other files in the
//     directory are never touched; two processes must not share one directory and name.
//   - Fallback: when the directory cannot be created, a file cannot be opened or a write fails
//     (ENOSPC, EACCES, EFBIG, ...), the logger writes one ERROR line to standard error, e.g.
//       ... ERROR p7.cc:NN FallBack: logging: cannot write /x/y.log: No space left on device;
//       logging to standard error
//     (regardless of Trc.Verb), and from then on writes every line, including the one that failed,
//     to standard error. It does not go back to files until the next LoggerInit.
// A write to a pipe whose reader has gone raises SIGPIPE; the program is expected to ignore it.
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
// configured sink could be opened; on false the logger falls back to standard error and keeps
// working.
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
