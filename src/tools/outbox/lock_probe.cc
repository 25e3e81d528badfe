#include "lock_probe.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kestova::outbox_tool {
namespace {

constexpr char kLockFileName[] = "outbox.lock";

}  // namespace

std::string LockState(const std::string& dir, bool* in_use) {
  *in_use = false;
  const std::string path = dir + "/" + kLockFileName;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return "not in use (no outbox.lock)";
    return fmt::format("unknown whether in use (cannot stat {}: {})", kLockFileName,
                       std::strerror(errno));
  }
  std::ifstream locks("/proc/locks");
  if (!locks) return "unknown whether in use (/proc/locks unreadable)";
  // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF": device numbers in hex, the inode decimal.
  const std::string file_id = fmt::format("{:02x}:{:02x}:{}", major(st.st_dev), minor(st.st_dev),
                                          static_cast<unsigned long long>(st.st_ino));
  std::string line;
  while (std::getline(locks, line)) {
    std::istringstream in(line);
    std::string id, type, mode, access, pid, where;  // pid: of the holder
    in >> id >> type;
    if (type == "->") in >> type;  // a waiter, listed under the holder
    in >> mode >> access >> pid >> where;
    if (type == "FLOCK" && where == file_id) {
      *in_use = true;
      return "in use by a running service";
    }
  }
  return "not in use";
}

}  // namespace kestova::outbox_tool
