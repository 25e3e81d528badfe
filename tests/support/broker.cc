#include "broker.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace testsupport {
namespace {

bool Executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

bool CanConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = 0;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

std::string MosquittoPath() {
  const char* env = std::getenv("SKELVANE_MOSQUITTO");
  if (env && *env) return env;
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/usr/local/sbin");
  std::string d;
  while (std::getline(dirs, d, ':')) {
    if (!d.empty() && Executable(d + "/mosquitto")) return d + "/mosquitto";
  }
  return "/usr/sbin/mosquitto";
}

Broker::Broker(BrokerOptions options) : options_(std::move(options)) {
  // Another process may grab the port between probing and binding: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreeLoopbackPort();
    if (Start()) return;
    Stop();
  }
  ADD_FAILURE() << "mosquitto did not start; log:\n" << log();
}

Broker::~Broker() { Stop(); }

void Broker::WriteConfig() const {
  std::ostringstream conf;
  // Started as root, mosquitto would switch to the "mosquitto" user and could no longer write its
  // persistence file into our private directory.
  if (const passwd* pw = ::getpwuid(::geteuid())) conf << "user " << pw->pw_name << "\n";
  conf << "listener " << port_ << " 127.0.0.1\n"
       << "allow_anonymous true\n"
       << "log_dest stdout\n"
       << "log_type all\n"
       << "log_timestamp_format %H:%M:%S\n"
       << "connection_messages true\n"
       << "persistence " << (options_.persistence ? "true" : "false") << "\n"
       << "persistence_location " << dir_.path() << "/\n";
  if (!options_.tls_cert_file.empty()) {
    conf << "certfile " << options_.tls_cert_file << "\n"
         << "keyfile " << options_.tls_key_file << "\n";
    if (!options_.tls_ca_file.empty()) conf << "cafile " << options_.tls_ca_file << "\n";
  }
  for (const auto& line : options_.extra_config) conf << line << "\n";
  WriteFile(dir_.file("mosquitto.conf"), conf.str());
}

bool Broker::WaitAccepting(std::chrono::milliseconds limit) {
  return WaitFor([&] { return !running() ? true : CanConnect(port_); }, limit) && running();
}

bool Broker::Start() {
  if (process_ && running()) return true;
  WriteConfig();
  ++runs_;
  process_ = std::make_unique<Subprocess>(
      std::vector<std::string>{MosquittoPath(), "-c", dir_.file("mosquitto.conf")},
      std::map<std::string, std::string>{}, dir_.file("broker-" + std::to_string(runs_) + ".log"));
  return WaitAccepting(std::chrono::seconds(5));
}

void Broker::Stop(std::chrono::milliseconds grace) {
  if (!process_ || !running()) return;
  ::kill(process_->pid(), SIGTERM);
  if (process_->Wait(grace) == -1) process_->Kill(SIGKILL);
}

void Broker::Kill() {
  if (process_ && running()) process_->Kill(SIGKILL);
}

bool Broker::running() { return process_ && process_->running(); }

std::string Broker::uri() const {
  return (options_.tls_cert_file.empty() ? "tcp://127.0.0.1:" : "ssl://127.0.0.1:") +
         std::to_string(port_);
}

std::string Broker::log() const {
  std::string text;
  for (int i = 1; i <= runs_; ++i) {
    std::string path = dir_.file("broker-" + std::to_string(i) + ".log");
    if (FileExists(path)) text += ReadFile(path);
  }
  return text;
}

}  // namespace testsupport
