#include "broker.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>

namespace testsupport {

// Port 0: binds any free port and returns it; else connects and returns the port when that works.
static int LoopbackSocket(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t len = sizeof(addr);
  auto* sa = reinterpret_cast<sockaddr*>(&addr);
  const bool ok = port == 0 ? ::bind(fd, sa, len) == 0 && ::getsockname(fd, sa, &len) == 0
                            : ::connect(fd, sa, len) == 0;
  ::close(fd);
  return ok ? ntohs(addr.sin_port) : 0;
}

int FreeLoopbackPort() { return LoopbackSocket(0); }

Broker::Broker(BrokerOptions options) : options_(std::move(options)) {
  // Another process may take the port between probing and binding: try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreeLoopbackPort();
    if (Start()) return;
    Stop();
  }
  ADD_FAILURE() << "mosquitto did not start: " << process_->Output();
}

bool Broker::Start() {
  if (running()) return true;
  std::ostringstream conf;
  // Started as root, mosquitto would switch to its own user, which cannot write the persistence
  // file into our private directory.
  if (const passwd* pw = ::getpwuid(::geteuid())) conf << "user " << pw->pw_name << "\n";
  conf << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\nlog_dest stdout\n"
       << "persistence_location " << dir_.path() << "/\n";
  for (const auto& type : options_.log_types) conf << "log_type " << type << "\n";
  if (!options_.tls_cert_file.empty()) {
    conf << "certfile " << options_.tls_cert_file << "\nkeyfile " << options_.tls_key_file << "\n";
  }
  for (const auto& line : options_.extra_config) conf << line << "\n";
  WriteFile(dir_.file("mosquitto.conf"), conf.str());
  process_ = std::make_unique<Subprocess>(
      std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir_.file("mosquitto.conf")},
      std::map<std::string, std::string>{},
      dir_.file("broker-" + std::to_string(++runs_) + ".log"));
  return WaitFor([&] { return !running() || LoopbackSocket(port_) == port_; },
                 std::chrono::seconds(5)) &&
         running();
}

void Broker::Stop(std::chrono::milliseconds grace) {
  if (!running()) return;
  ::kill(process_->pid(), SIGTERM);
  if (process_->Wait(grace) == -1) process_->Kill(SIGKILL);
}

std::string Broker::uri() const {
  return (options_.tls_cert_file.empty() ? "tcp://127.0.0.1:" : "ssl://127.0.0.1:") +
         std::to_string(port_);
}

}  // namespace testsupport
