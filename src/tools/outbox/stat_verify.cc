#include "stat_verify.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <map>
#include <vector>

#include "archive_name.h"
#include "lock_probe.h"
#include "outbox_listing.h"

namespace kestova::outbox_tool {
namespace {

// Damaged lines verify lists per file; the rest of a file full of garbage is only counted.
constexpr uint64_t kListedPerFile = 20;

std::string Iso8601(int64_t ts) {
  const time_t t = static_cast<time_t>(ts);
  std::tm tm{};
  char text[64];
  if (gmtime_r(&t, &tm) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) {
    return "?";
  }
  return text;
}

// A file's oldest or newest ts as a cell of the stat table: "-" for a file without records.
std::string TsText(uint64_t records, int64_t ts) {
  return records == 0 ? "-" : fmt::format("{} {}", ts, Iso8601(ts));
}

}  // namespace

int Stat(const std::string& dir, std::ostream& out, std::ostream& err) {
  Listing listing;
  if (!ListOutbox(dir, &listing, err)) return 1;
  const std::vector<FileScan> scans = ScanOutbox(dir, listing, /*archives=*/true, {});
  bool in_use = false;
  out << fmt::format("outbox {}: {}\n", dir, LockState(dir, &in_use));
  size_t width = 12;
  for (const FileScan& s : scans) width = std::max(width, s.name.size());
  auto row = [&](const std::string& name, uint64_t records, uint64_t broken, const std::string& old,
                 const std::string& last, const std::string& bytes) {
    out << fmt::format("{:<{}}  {:>8}  {:>6}  {:<31}  {:<31}  {:>12}\n", name, width, records,
                       broken, old, last, bytes);
  };
  out << fmt::format("{:<{}}  {:>8}  {:>6}  {:<31}  {:<31}  {:>12}\n", "FILE", width, "RECORDS",
                     "BROKEN", "OLDEST", "NEWEST", "BYTES");
  FileScan total;
  int status = 0;
  for (const FileScan& s : scans) {
    if (s.moved || !s.error.empty()) {
      out << fmt::format("{:<{}}  {}\n", s.name, width,
                         s.moved ? "moved while reading" : "unreadable: " + s.error);
      if (!s.moved) status = 1;
      continue;
    }
    row(s.name, s.records, s.broken, TsText(s.records, s.oldest), TsText(s.records, s.newest),
        std::to_string(s.bytes));
    total.records += s.records;
    total.broken += s.broken;
    total.bytes += s.bytes;
    total.oldest = std::min(total.oldest, s.oldest);
    total.newest = std::max(total.newest, s.newest);
  }
  row("total", total.records, total.broken, TsText(total.records, total.oldest),
      TsText(total.records, total.newest), std::to_string(total.bytes));
  PrintFileNotes(scans, out);
  return status;
}

int Verify(const std::string& dir, std::ostream& out, std::ostream& err) {
  Listing listing;
  if (!ListOutbox(dir, &listing, err)) return 1;
  std::map<std::string, uint64_t> damaged;  // damage count per file
  ScanHooks hooks;
  hooks.check_gzip_end = true;
  hooks.damage = [&](const FileScan& s, uint64_t line, uint64_t offset, const std::string& why) {
    if (++damaged[s.name] > kListedPerFile) return;
    const bool gz = IsGzipArchiveName(s.name) && !s.not_gzip;
    if (line == 0) {
      out << fmt::format("damage: {} (byte {}): {}\n", s.name, offset, why);
    } else {
      out << fmt::format("damage: {}:{} ({}byte {}): {}\n", s.name, line, gz ? "decompressed " : "",
                         offset, why);
    }
  };
  const std::vector<FileScan> scans = ScanOutbox(dir, listing, /*archives=*/true, hooks);
  uint64_t files = 0;
  uint64_t records = 0;
  uint64_t damages = 0;
  for (const FileScan& s : scans) {
    if (!s.error.empty()) {
      out << fmt::format("damage: {}: cannot read: {}\n", s.name, s.error);
      ++damaged[s.name];
    }
    if (s.listed && !s.moved) ++files;
    records += s.records;
  }
  for (const auto& [name, n] : damaged) {
    damages += n;
    if (n > kListedPerFile) {
      out << fmt::format("damage: {}: {} more damaged lines not listed\n", name,
                         n - kListedPerFile);
    }
  }
  for (const std::string& t : listing.temps) {
    out << fmt::format(
        "note: {}: temporary file (a write in progress, or left by a crash; the service removes "
        "it at start-up)\n",
        t);
  }
  PrintFileNotes(scans, out);
  if (damages == 0) {
    out << fmt::format("OK: {} files, {} records\n", files, records);
    return 0;
  }
  out << fmt::format("DAMAGED: {} damaged lines or streams in {} of {} files, {} records intact\n",
                     damages, damaged.size(), files, records);
  return 1;
}

}  // namespace kestova::outbox_tool
