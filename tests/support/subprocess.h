// Child processes for process-level and end-to-end tests: a program with extra environment, its
// standard output and error in one file, waited for with a time limit, signalled by PID.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class Subprocess {
 public:
  // Starts argv[0] (a path); `env` entries are added to (or replace) the inherited environment.
  Subprocess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& output_path);
  ~Subprocess();  // SIGKILL when still running
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // The exit status, 128+signal when killed by one, or -1 when still running after `limit`.
  int Wait(std::chrono::milliseconds limit);
  int Kill(int sig);  // sends `sig` and waits for the exit (SIGKILL after 10 s)
  std::string Output() const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string output_path_;
};

// Polls `pred` every 20 ms until it holds or `limit` passes; returns its last value.
template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
  for (const auto end = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < end;) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return pred();
}

// Directory of the built programs: $SKELVANE_BIN_DIR (set by ctest), else build/bin.
std::string BinDir();

}  // namespace testsupport
