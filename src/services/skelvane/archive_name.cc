#include "archive_name.h"

#include <algorithm>
#include <ctime>
#include <tuple>

#include "record_format.h"

namespace kestova {
namespace {

constexpr std::string_view kPrefix = "outbox.";
constexpr std::string_view kStampPattern = "0000-00-00_000000";
// More digits could overflow k; no archive of ours gets near this.
constexpr size_t kMaxCollisionDigits = 18;

bool Contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsStamp(std::string_view s) {
  if (s.size() != kStampPattern.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (kStampPattern[i] == '0' ? !IsDigit(s[i]) : s[i] != kStampPattern[i]) return false;
  }
  return true;
}

}  // namespace

bool ParseArchiveName(std::string_view name, ArchiveName* out) {
  *out = ArchiveName{};
  if (name.starts_with(kPrefix)) name.remove_prefix(kPrefix.size());
  out->stamp = name;
  std::string_view rest = name.substr(std::min(name.size(), kStampPattern.size()));
  if (!IsStamp(name.substr(0, kStampPattern.size()))) return false;
  uint64_t k = 0;
  if (rest.starts_with('_')) {
    size_t digits = 1;
    while (digits < rest.size() && IsDigit(rest[digits])) k = k * 10 + (rest[digits++] - '0');
    if (digits == 1 || digits - 1 > kMaxCollisionDigits) return false;
    rest.remove_prefix(digits);
  }
  if (rest != ".jsonl" && rest != ".jsonl.gz") return false;
  out->stamp = name.substr(0, kStampPattern.size());
  out->k = k;
  out->gz = rest.ends_with(".gz");
  return true;
}

bool ArchiveNameLess(std::string_view a, std::string_view b) {
  ArchiveName x, y;
  ParseArchiveName(a, &x);
  ParseArchiveName(b, &y);
  return std::tie(x.stamp, x.k, x.gz, a) < std::tie(y.stamp, y.k, y.gz, b);
}

std::string ArchiveStamp(std::chrono::system_clock::time_point now) {
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  char stamp[32];
  const size_t n = std::strftime(stamp, sizeof(stamp), "%Y-%m-%d_%H%M%S", &local);
  return std::string(stamp, n);
}

std::string ArchiveFileName(std::string_view stamp, uint64_t k, bool gz) {
  std::string name(kPrefix);
  name += stamp;
  if (k != 0) {
    name += '_';
    name += std::to_string(k);
  }
  name += gz ? ".jsonl.gz" : ".jsonl";
  return name;
}

std::string NewArchiveStamp(const std::vector<std::string>& names, std::string clock_stamp,
                            uint64_t* k) {
  // Restores delete the oldest archives, so a free number below one in use would sort before a
  // newer archive: the next number is the one after the highest.
  std::string_view newest;
  uint64_t next_k = 0;
  for (const std::string& name : names) {
    ArchiveName a;
    if (!ParseArchiveName(name, &a) || a.stamp < newest) continue;
    if (a.stamp > newest) {
      newest = a.stamp;
      next_k = 0;
    }
    next_k = std::max(next_k, a.k + 1);
  }
  *k = 0;
  // A clock that has not passed the newest stamp (several rotations in one second, or a wall clock
  // stepped back) would give a name sorting before archives that hold newer records.
  if (newest.empty() || clock_stamp > newest) return clock_stamp;
  *k = next_k;
  return std::string(newest);
}

bool IsArchiveName(std::string_view name) {
  return name.starts_with(kPrefix) && name != "outbox.jsonl" && Contains(name, ".jsonl") &&
         !Contains(name, kTempFileSuffix);
}

bool IsStaleCopyName(std::string_view name) {
  return name.starts_with(kPrefix) && name.ends_with(kTempFileSuffix) && Contains(name, ".jsonl") &&
         name != "outbox.jsonl.tmp";
}

}  // namespace kestova
