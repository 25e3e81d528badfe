#include "mqtt_options.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace kestova::mosquitto {
namespace {

constexpr const char kUriVar[] = "KESTOVA_MQTT_URI";
constexpr const char kDefaultUri[] = "tcp://127.0.0.1:1883";
constexpr size_t kMaxClientIdBytes = 65535;  // MQTT strings carry a 16-bit length

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

bool IsDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Parses a decimal in [lo, hi]; false for anything else (signs, spaces, units, overflow).
bool ParseBounded(const std::string& s, long lo, long hi, long* out) {
  if (!IsDigits(s) || s.size() > 9) return false;
  long v = std::strtol(s.c_str(), nullptr, 10);
  if (v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

// Why `uri` is not usable as a Paho server URI, or empty when it is. Accepts the forms Paho parses
// itself: scheme://host[:port] with an IPv6 address in brackets.
std::string UriProblem(const std::string& uri) {
  std::string rest;
  if (uri.rfind("tcp://", 0) == 0) {
    rest = uri.substr(6);
  } else if (uri.rfind("ssl://", 0) == 0) {
    rest = uri.substr(6);
  } else {
    return "the scheme must be tcp:// or ssl://";
  }
  if (rest.find('@') != std::string::npos) {
    return "credentials in the URI are not supported; use KESTOVA_MQTT_USERNAME and "
           "KESTOVA_MQTT_PASSWORD";
  }
  std::string host, port;
  if (!rest.empty() && rest[0] == '[') {
    size_t close = rest.find(']');
    if (close == std::string::npos) return "unterminated [ in the host";
    host = rest.substr(1, close - 1);
    std::string tail = rest.substr(close + 1);
    if (!tail.empty()) {
      if (tail[0] != ':') return "unexpected text after the host";
      port = tail.substr(1);
      if (port.empty()) return "empty port";
    }
    for (char c : host) {
      if (!(IsHostChar(c) || c == ':' || c == '%')) return "bad character in the host";
    }
  } else {
    size_t colon = rest.find(':');
    host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port = rest.substr(colon + 1);
      if (port.empty()) return "empty port";
    }
    for (char c : host) {
      if (!IsHostChar(c)) return "bad character in the host (a path or IPv6 without [ ]?)";
    }
  }
  if (host.empty()) return "no host";
  long p = 0;
  if (!port.empty() && !ParseBounded(port, 1, 65535, &p)) return "the port must be in 1..65535";
  return {};
}

std::vector<std::string> ParseUris(const char* value) {
  std::vector<std::string> uris;
  std::string text = value;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string uri = Trim(text.substr(start, comma == std::string::npos ? comma : comma - start));
    if (uri.empty()) Fail(fmt::format("{}: empty entry in the broker list", kUriVar));
    std::string problem = UriProblem(uri);
    if (!problem.empty()) {
      // A URI with '@' may carry a password: name the problem, not the value.
      if (uri.find('@') != std::string::npos) Fail(fmt::format("{}: {}", kUriVar, problem));
      Fail(fmt::format("{}: \"{}\" is not a valid broker URI: {}", kUriVar, uri, problem));
    }
    uris.push_back(uri);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return uris;
}

void CheckReadableFile(const char* var, const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(fmt::format("{}: cannot read \"{}\": {}", var, path, std::strerror(errno)));
  struct stat st;
  bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  if (!regular) Fail(fmt::format("{}: \"{}\" is not a regular file", var, path));
}

}  // namespace

bool MqttOptions::UsesTls() const {
  for (const auto& u : uris) {
    if (u.rfind("ssl://", 0) == 0) return true;
  }
  return false;
}

std::string MqttOptions::Describe() const {
  std::string brokers;
  for (const auto& u : uris) brokers += (brokers.empty() ? "" : ", ") + u;
  std::string text =
      fmt::format("broker {}, client id \"{}\" ({} session), keep-alive {} s", brokers, client_id,
                  persistent_session ? "persistent" : "clean", keepalive_s);
  if (!username.empty())
    text += has_password ? ", with user name and password" : ", with user name";
  if (UsesTls()) {
    text += fmt::format(", TLS with CA {}", ca_file.empty() ? "(system default)" : ca_file);
    if (!cert_file.empty()) text += fmt::format(", client certificate {}", cert_file);
    if (!key_file.empty()) text += fmt::format(", client key {}", key_file);
  }
  return text;
}

MqttOptions ParseMqttOptions(const EnvLookup& env, const std::string& default_client_id) {
  auto get = [&](const char* name) -> std::string {
    const char* v = env(name);
    return v ? std::string(v) : std::string();
  };
  MqttOptions o;

  std::string uri = get(kUriVar);
  o.uris = ParseUris(uri.empty() ? kDefaultUri : uri.c_str());

  o.username = get("KESTOVA_MQTT_USERNAME");
  o.password = get("KESTOVA_MQTT_PASSWORD");
  o.has_password = !o.password.empty();
  if (o.has_password && o.username.empty()) {
    // MQTT 3.1.1 forbids a password without a user name; the broker would refuse the connection.
    Fail("KESTOVA_MQTT_PASSWORD is set but KESTOVA_MQTT_USERNAME is not");
  }

  o.ca_file = get("KESTOVA_MQTT_CA_FILE");
  o.cert_file = get("KESTOVA_MQTT_CERT_FILE");
  o.key_file = get("KESTOVA_MQTT_KEY_FILE");
  if (!o.key_file.empty() && o.cert_file.empty()) {
    Fail("KESTOVA_MQTT_KEY_FILE is set but KESTOVA_MQTT_CERT_FILE is not");
  }
  const std::pair<const char*, const std::string*> files[] = {
      {"KESTOVA_MQTT_CA_FILE", &o.ca_file},
      {"KESTOVA_MQTT_CERT_FILE", &o.cert_file},
      {"KESTOVA_MQTT_KEY_FILE", &o.key_file},
  };
  for (const auto& [var, path] : files) {
    if (path->empty()) continue;
    // TLS material next to plain tcp:// brokers means the operator believes the link is
    // encrypted when it is not.
    if (!o.UsesTls()) Fail(fmt::format("{} is set but {} has no ssl:// broker", var, kUriVar));
    CheckReadableFile(var, *path);
  }

  std::string keepalive = get("KESTOVA_MQTT_KEEPALIVE");
  if (!keepalive.empty()) {
    long v = 0;
    if (!ParseBounded(keepalive, 1, 65535, &v)) {
      Fail(
          fmt::format("KESTOVA_MQTT_KEEPALIVE: \"{}\" is not a whole number of seconds in 1..65535",
                      keepalive));
    }
    o.keepalive_s = static_cast<int>(v);
  }

  std::string id = get("KESTOVA_MQTT_CLIENT_ID");
  o.persistent_session = !id.empty();
  o.client_id = o.persistent_session ? id : default_client_id;
  if (o.client_id.empty()) Fail("MQTT client id is empty: pass one or set KESTOVA_MQTT_CLIENT_ID");
  if (o.client_id.size() > kMaxClientIdBytes) {
    Fail(fmt::format("MQTT client id is longer than {} bytes", kMaxClientIdBytes));
  }
  return o;
}

MqttOptions ParseMqttOptionsFromEnvironment(const std::string& default_client_id) {
  return ParseMqttOptions([](const char* name) { return std::getenv(name); }, default_client_id);
}

}  // namespace kestova::mosquitto
