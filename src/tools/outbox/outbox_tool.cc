#include "outbox_tool.h"

#include <charconv>
#include <cstdint>

#include "cat_command.h"
#include "check_config.h"
#include "stat_verify.h"

namespace kestova::outbox_tool {
namespace {

constexpr char kUsage[] =
    "usage: skelvane-outbox stat DIR | verify DIR | cat DIR [--since TS] [--until TS] "
    "[--archives] | check-config [CONFIG]";

int Usage(std::ostream& err) {
  err << kUsage << '\n';
  return 2;
}

// A decimal int64 and nothing else: a leading '-' is allowed, a '+' or blank is not.
bool ParseTs(const std::string& text, int64_t* out) {
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, *out);
  return ec == std::errc() && p == end && !text.empty();
}

}  // namespace

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) return Usage(err);
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "check-config") {
    if (rest.size() > 1 || (rest.size() == 1 && rest[0].starts_with("-"))) return Usage(err);
    return CheckConfig(rest.empty() ? kDefaultConfigPath : rest[0], out);
  }
  if (command != "stat" && command != "verify" && command != "cat") return Usage(err);
  std::string dir;
  CatOptions opt;
  for (size_t i = 0; i < rest.size(); ++i) {
    const std::string& a = rest[i];
    if (command == "cat" && a == "--archives") {
      opt.archives = true;
    } else if (command == "cat" && (a == "--since" || a == "--until")) {
      if (i + 1 == rest.size() || !ParseTs(rest[++i], a == "--since" ? &opt.since : &opt.until)) {
        return Usage(err);
      }
    } else if (a.starts_with("-") || !dir.empty() || a.empty()) {
      return Usage(err);
    } else {
      dir = a;
    }
  }
  if (dir.empty()) return Usage(err);
  if (command == "stat") return Stat(dir, out, err);
  if (command == "verify") return Verify(dir, out, err);
  return Cat(dir, opt, out, err);
}

}  // namespace kestova::outbox_tool
