#include "paho_socket_workaround.h"

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace kestova::mosquitto::internal {
namespace {

// Broker ports of the configured URIs.
std::set<int> BrokerPorts(const MqttOptions& opts) {
  std::set<int> ports;
  for (const auto& u : opts.uris) {
    const bool tls = u.rfind("ssl://", 0) == 0;
    std::string rest = u.substr(u.find("://") + 3);
    size_t close = rest[0] == '[' ? rest.find(']') : 0;
    size_t colon = rest.find(':', close);
    ports.insert(colon == std::string::npos ? (tls ? 8883 : 1883)
                                            : std::atoi(rest.c_str() + colon + 1));
  }
  return ports;
}

// The process's TCP sockets whose peer port is a broker port.
std::vector<int> BrokerSockets(const MqttOptions& opts) {
  const std::set<int> ports = BrokerPorts(opts);
  std::vector<int> matches;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return {};
  while (const dirent* e = ::readdir(dir)) {
    const int fd = std::atoi(e->d_name);
    int type = 0;
    socklen_t len = sizeof(type);
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof(peer);
    if (e->d_name[0] == '.' || fd == ::dirfd(dir) ||
        ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM ||
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) {
      continue;
    }
    int port = -1;
    if (peer.ss_family == AF_INET) port = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6) port = ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
    if (ports.count(port) > 0) matches.push_back(fd);
  }
  ::closedir(dir);
  return matches;
}

}  // namespace

bool WriteKeepAlivePing(const MqttOptions& opts) {
  if (opts.UsesTls()) return false;
  const std::vector<int> matches = BrokerSockets(opts);
  static constexpr unsigned char kPingReq[2] = {0xC0, 0x00};
  return matches.size() == 1 &&
         ::send(matches.front(), kPingReq, sizeof(kPingReq), MSG_NOSIGNAL | MSG_DONTWAIT) ==
             static_cast<ssize_t>(sizeof(kPingReq));
}

bool SeverConnection(const MqttOptions& opts) {
  const std::vector<int> matches = BrokerSockets(opts);
  return matches.size() == 1 && ::shutdown(matches.front(), SHUT_RDWR) == 0;
}

void DisableNagle(const MqttOptions& opts) {
  for (int fd : BrokerSockets(opts)) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  }
}

}  // namespace kestova::mosquitto::internal
