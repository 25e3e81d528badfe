#include "sd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "p7.h"

namespace kestova {

SystemdNotifier::SystemdNotifier() {
  const char* socket_name = std::getenv("NOTIFY_SOCKET");
  if (socket_name == nullptr || socket_name[0] == '\0') return;
  std::string path = socket_name;
  if (path[0] != '/' && path[0] != '@') {
    SKV_LOG(P7::kWarning, "NOTIFY_SOCKET %s is neither a path nor an abstract socket; ignored",
            socket_name);
    return;
  }
  if (path[0] == '@') path[0] = '\0';
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    SKV_LOG(P7::kWarning, "NOTIFY_SOCKET is too long; ignored");
    return;
  }
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    SKV_LOG(P7::kWarning, "Cannot create the systemd notification socket: %s",
            std::strerror(errno));
    return;
  }
  address_ = path;

  const char* usec = std::getenv("WATCHDOG_USEC");
  const char* pid = std::getenv("WATCHDOG_PID");
  char* end = nullptr;
  const long long interval = usec != nullptr ? std::strtoll(usec, &end, 10) : 0;
  const bool for_us = pid == nullptr || std::strtoll(pid, nullptr, 10) == ::getpid();
  if (usec != nullptr && end != usec && *end == '\0' && interval > 0 && for_us) {
    watchdog_period_ = std::chrono::microseconds(interval / 2);
  }
}

SystemdNotifier::~SystemdNotifier() {
  if (fd_ >= 0) ::close(fd_);
}

bool SystemdNotifier::Notify(const std::string& state) {
  if (fd_ < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, address_.data(), address_.size());
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size());
  // Never blocks the loop: a full socket buffer drops this notification (the next one follows).
  return ::sendto(fd_, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                  reinterpret_cast<const sockaddr*>(&addr),
                  len) == static_cast<ssize_t>(state.size());
}

}  // namespace kestova
