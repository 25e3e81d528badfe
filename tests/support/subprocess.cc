#include "subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

extern char** environ;

namespace testsupport {

Subprocess::Subprocess(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& env,
                       const std::string& output_path)
    : output_path_(output_path) {
  // Build argv and envp before fork: only async-signal-safe calls are allowed in the child.
  std::vector<std::string> env_strings;
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const char* eq = std::strchr(*e, '=');
    if (eq == nullptr) continue;
    merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
  }
  for (const auto& [k, v] : env) merged[k] = v;
  for (const auto& [k, v] : merged) env_strings.push_back(k + "=" + v);
  std::vector<char*> cargv, cenv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (auto& e : env_strings) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  int fd = ::open(output_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << output_path;
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(fd, 1);
    dup2(fd, 2);
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    execve(cargv[0], cargv.data(), cenv.data());
    _exit(127);
  }
  ::close(fd);
  if (pid_ < 0) ADD_FAILURE() << "fork failed";
}

Subprocess::~Subprocess() {
  if (pid_ > 0 && !reaped_) Kill(SIGKILL);
}

static int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

bool Subprocess::running() {
  if (pid_ <= 0 || reaped_) return false;
  int st = 0;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    status_ = DecodeStatus(st);
    return false;
  }
  return true;
}

int Subprocess::Wait(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  if (reaped_) return status_;
  WaitFor([&] { return !running(); }, limit);
  return reaped_ ? status_ : -1;
}

int Subprocess::Kill(int sig) {
  if (pid_ <= 0) return -1;
  if (reaped_) return status_;
  ::kill(pid_, sig);
  int rc = Wait(std::chrono::seconds(10));
  if (rc == -1 && sig != SIGKILL) {
    ::kill(pid_, SIGKILL);
    rc = Wait(std::chrono::seconds(10));
  }
  return rc;
}

std::string Subprocess::Output() const {
  std::ifstream in(output_path_, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string BinDir() {
  const char* d = std::getenv("SKELVANE_BIN_DIR");
  return d ? d : "build/bin";
}

}  // namespace testsupport
