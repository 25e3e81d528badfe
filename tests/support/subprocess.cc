#include "subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "temp_dir.h"

extern char** environ;

namespace testsupport {

Subprocess::Subprocess(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& env,
                       const std::string& output_path)
    : output_path_(output_path) {
  // Built before fork: the child may only make async-signal-safe calls.
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) env_strings.push_back(entry);
  }
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  for (auto& e : env_strings) cenv.push_back(e.data());
  cargv.push_back(nullptr);
  cenv.push_back(nullptr);
  const int out = ::open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_TRUE(out >= 0 && in >= 0) << output_path;
  if ((pid_ = ::fork()) == 0) {
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execve(cargv[0], cargv.data(), cenv.data());
    ::_exit(127);
  }
  EXPECT_GT(pid_, 0) << "fork failed";
  ::close(out);
  ::close(in);
}

Subprocess::~Subprocess() { Kill(SIGKILL); }

bool Subprocess::running() {
  int st = 0;
  if (pid_ <= 0 || status_ != -1 || ::waitpid(pid_, &st, WNOHANG) != pid_) {
    return pid_ > 0 && status_ == -1;
  }
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return false;
}

int Subprocess::Wait(std::chrono::milliseconds limit) {
  WaitFor([&] { return !running(); }, limit);
  return status_;
}

int Subprocess::Kill(int sig) {
  if (!running()) return status_;
  ::kill(pid_, sig);
  if (Wait(std::chrono::seconds(10)) == -1) ::kill(pid_, SIGKILL);
  return Wait(std::chrono::seconds(10));
}

std::string Subprocess::Output() const { return Contents(output_path_); }

std::string BinDir() {
  const char* d = std::getenv("SKELVANE_BIN_DIR");
  return d ? d : "build/bin";
}

}  // namespace testsupport
