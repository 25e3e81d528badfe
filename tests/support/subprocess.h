// Child processes for process-level and end-to-end tests: start a program with extra environment,
// capture its standard output and error into a file, wait with a time limit, kill by PID.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

class Subprocess {
 public:
  // Starts argv[0] (a path) with argv; `env` entries are added to (or replace) the inherited
  // environment. Standard output and error both go to `output_path`.
  Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& output_path);
  // Kills the child (SIGKILL) if it still runs, and reaps it.
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Waits up to `limit` for the child to exit; returns its exit status, or -1 on time-out, or
  // 128+signal when it was killed by a signal.
  int Wait(std::chrono::milliseconds limit);
  // Sends `sig` and waits for the exit (up to 10 s).
  int Kill(int sig);
  const std::string& output_path() const { return output_path_; }
  std::string Output() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  bool reaped_ = false;
  std::string output_path_;
};

// Polls `pred` every 20 ms until it is true or `limit` passes. Returns the last value of pred.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    struct timespec ts = {0, 20 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  return pred();
}

// Directory holding the built programs (build/bin), from $SKELVANE_BIN_DIR set by ctest.
std::string BinDir();

}  // namespace testsupport
