#include "outbox_tool.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "archive_name.h"
#include "base64.h"
#include "config.h"
#include "env.h"
#include "gzip_codec.h"
#include "outbox_store.h"
#include "p7.h"
#include "record_format.h"

namespace kestova::outbox_tool {
namespace {

constexpr char kUsage[] =
    "usage: skelvane-outbox stat DIR | verify DIR | cat DIR [--since TS] [--until TS] "
    "[--archives] | check-config [CONFIG]";
constexpr char kLockFileName[] = "outbox.lock";
constexpr size_t kReadChunk = 64 * 1024;
// Damaged lines verify lists per file; the rest of a file full of garbage is only counted.
constexpr uint64_t kListedPerFile = 20;

int Usage(std::ostream& err) {
  err << kUsage << '\n';
  return 2;
}

std::string ErrnoText(int err) { return std::strerror(err); }

// --- reading a file as the service does ---

// A read-only descriptor as the SequentialFile that GzipDecompress reads, counting what it read.
class FdFile : public SequentialFile {
 public:
  explicit FdFile(int fd) : fd_(fd) {}
  ~FdFile() override { ::close(fd_); }
  FdFile(const FdFile&) = delete;
  FdFile& operator=(const FdFile&) = delete;

  int Read(size_t n, char* buf, size_t* got) override {
    for (;;) {
      const ssize_t r = ::read(fd_, buf, n);
      if (r >= 0) {
        *got = static_cast<size_t>(r);
        bytes_read_ += *got;
        return 0;
      }
      if (errno != EINTR) return errno;
    }
  }
  int fd() const { return fd_; }
  uint64_t bytes_read() const { return bytes_read_; }

 private:
  int fd_;
  uint64_t bytes_read_ = 0;
};

// Reading rules 1 and 2 of record_format.h (split on '\n', the last line counts without one, empty
// lines are skipped) over data pushed in pieces, because GzipDecompress pushes where LineReader
// pulls. Line numbers and offsets are those of the physical lines, empty ones included, so that
// `sed -n Np` (after zcat for an archive) shows the line reported.
class LineSplitter {
 public:
  using OnLine =
      std::function<void(std::string_view line, uint64_t number, uint64_t offset, bool terminated)>;
  explicit LineSplitter(OnLine on_line) : on_line_(std::move(on_line)) {}

  void Push(const char* p, size_t n) {
    const char* const end = p + n;
    while (p < end) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
      if (nl == nullptr) {
        partial_.append(p, end);
        return;
      }
      if (partial_.empty()) {
        Emit(std::string_view(p, nl - p), true);
      } else {
        partial_.append(p, nl);
        Emit(partial_, true);
        partial_.clear();
      }
      p = nl + 1;
    }
  }
  // The end of the data: a last line without '\n' is a line too.
  void Finish() {
    if (!partial_.empty()) Emit(partial_, false);
    partial_.clear();
  }
  uint64_t lines() const { return number_; }   // lines ended by '\n' so far
  uint64_t offset() const { return offset_; }  // the offset after the last of them

 private:
  void Emit(std::string_view line, bool terminated) {
    ++number_;
    if (!line.empty()) on_line_(line, number_, offset_, terminated);
    offset_ += line.size() + 1;
  }

  OnLine on_line_;
  std::string partial_;  // a line begun but not ended: never more than one line
  uint64_t number_ = 0;
  uint64_t offset_ = 0;
};

// The decompressed data of an archive, straight into the splitter.
class SplitterSink : public WritableFile {
 public:
  explicit SplitterSink(LineSplitter* splitter) : splitter_(splitter) {}
  int Append(const char* data, size_t n) override {
    splitter_->Push(data, n);
    return 0;
  }
  int Sync() override { return 0; }
  int Close() override { return 0; }

 private:
  LineSplitter* splitter_;
};

// Where the gzip data of a file ends when bytes that do not start another member follow it
// (GzipDecompress ignores them, so nothing else sees them); nullopt when the last member ends the
// file, and when the stream is damaged before (the reading pass reports that).
std::optional<uint64_t> TrailingDataAt(int fd) {
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 16) != Z_OK) return std::nullopt;
  unsigned char in[kGzipChunk];
  unsigned char out[kGzipChunk];
  uint64_t pos = 0;  // file offset of the next read
  std::optional<uint64_t> trailing;
  for (;;) {
    if (zs.avail_in == 0) {
      const ssize_t r = ::pread(fd, in, sizeof in, static_cast<off_t>(pos));
      if (r <= 0) break;
      pos += static_cast<uint64_t>(r);
      zs.next_in = in;
      zs.avail_in = static_cast<uInt>(r);
    }
    zs.next_out = out;
    zs.avail_out = sizeof out;
    const int rc = inflate(&zs, Z_NO_FLUSH);
    if (rc == Z_STREAM_END) {
      const uint64_t member_end = pos - zs.avail_in;
      unsigned char magic[2];
      const ssize_t r = ::pread(fd, magic, 2, static_cast<off_t>(member_end));
      if (r == 0) break;
      if (r != 2 || magic[0] != 0x1f || magic[1] != 0x8b) {
        trailing = member_end;
        break;
      }
      if (inflateReset(&zs) != Z_OK) break;
    } else if (rc != Z_OK) {
      break;
    }
  }
  inflateEnd(&zs);
  return trailing;
}

// What one file holds for the service.
struct FileScan {
  std::string name;        // the file read
  std::string moved_from;  // the active file's name when it had been rotated into `name`
  bool listed = true;      // false: no such file in the directory (an absent active file)
  bool moved = false;      // gone between listing and opening (rotated, restored, cleaned up)
  bool changed = false;    // appended to or truncated while it was read
  bool not_gzip = false;   // a ".gz" name over data without the gzip magic (read as plain text)
  std::string error;       // why it could not be read (whole), empty when it could
  uint64_t bytes = 0;      // size when opened
  uint64_t records = 0;    // deliverable records
  uint64_t broken = 0;     // broken lines; a damaged gzip stream counts as one
  int64_t oldest = std::numeric_limits<int64_t>::max();
  int64_t newest = std::numeric_limits<int64_t>::min();
};

struct Hooks {
  std::function<void(const RecordLine&)> record;  // each deliverable record, in file order
  // Each damage: line 0 when it is not a line (data after the gzip stream, offset in the file).
  std::function<void(const FileScan&, uint64_t line, uint64_t offset, const std::string& why)>
      damage;
  bool check_gzip_end = false;
};

FileScan ScanFile(const std::string& dir, const std::string& name, const Hooks& hooks) {
  FileScan s;
  s.name = name;
  const std::string path = dir + "/" + name;
  // The service's own test for an archive to decompress.
  const bool gz = name.find(".gz") != std::string::npos;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) {
      s.moved = true;
    } else {
      s.error = ErrnoText(errno);
    }
    return s;
  }
  FdFile file(fd);
  struct stat at_open {};
  if (::fstat(fd, &at_open) != 0) {
    s.error = ErrnoText(errno);
    return s;
  }
  if (!S_ISREG(at_open.st_mode)) {
    s.error = "not a regular file";
    return s;
  }
  s.bytes = static_cast<uint64_t>(at_open.st_size);
  auto damage = [&](uint64_t line, uint64_t offset, const std::string& why) {
    if (hooks.damage) hooks.damage(s, line, offset, why);
  };

  LineSplitter splitter(
      [&](std::string_view line, uint64_t number, uint64_t offset, bool terminated) {
        RecordLine rec;
        std::string why;
        if (ParseRecordLine(line, &rec, &why)) {
          if (rec.body_error.empty()) {
            ++s.records;
            s.oldest = std::min(s.oldest, rec.ts);
            s.newest = std::max(s.newest, rec.ts);
            if (hooks.record) hooks.record(rec);
            return;
          }
          why = "undeliverable record: " + rec.body_error;
        }
        if (!terminated) {
          // A line being appended, or cut by the truncation that follows a compression.
          if (s.changed) return;
          why = "torn line (no line feed at the end of the file): " + why;
        }
        ++s.broken;
        damage(number, offset, why);
      });

  if (gz) {
    unsigned char magic[2] = {0, 0};
    s.not_gzip = ::pread(fd, magic, 2, 0) != 2 || magic[0] != 0x1f || magic[1] != 0x8b;
    SplitterSink sink(&splitter);
    const GzipResult r = GzipDecompress(&file, &sink);
    if (r.error == GzipError::kCorrupt || r.error == GzipError::kTruncated) {
      // The service restores the complete lines before the damage and drops the rest.
      ++s.broken;
      damage(splitter.lines() + 1, splitter.offset(),
             fmt::format("gzip stream {}: {}; what follows is lost",
                         r.error == GzipError::kTruncated ? "truncated" : "corrupt", r.message));
      return s;
    }
    if (!r.ok()) {
      s.error = r.message;
      return s;
    }
  } else {
    std::string buf(kReadChunk, '\0');
    for (;;) {
      size_t got = 0;
      if (int err = file.Read(buf.size(), buf.data(), &got)) {
        s.error = ErrnoText(err);
        return s;
      }
      if (got == 0) break;
      splitter.Push(buf.data(), got);
    }
  }
  // The active file grows by appends and is emptied after a compression while it is read: what
  // was read is then of a moment in between, and a last line without its line feed may be one that
  // was still being written. Archives never change in place, and a name that leads to another file
  // now (a flush's rename, a rotation) leaves the complete file that was read.
  struct stat now {};
  s.changed = !gz && ::stat(path.c_str(), &now) == 0 && now.st_ino == at_open.st_ino &&
              now.st_dev == at_open.st_dev &&
              static_cast<uint64_t>(now.st_size) != file.bytes_read();
  splitter.Finish();
  if (gz && hooks.check_gzip_end && !s.not_gzip) {
    if (const auto at = TrailingDataAt(fd)) {
      damage(0, *at,
             fmt::format("{} bytes of data after the end of the gzip stream", s.bytes - *at));
    }
  }
  return s;
}

struct Listing {
  bool active = false;
  std::vector<std::string> archives;  // archive order
  std::vector<std::string> temps;     // "outbox.*.tmp"
};

// listRotated over a listing taken once, so that the active file and the archives are seen at
// the same moment: between two listings the service may rotate the active file into an archive or
// restore an archive into it, and its records would be read twice or not at all.
class ListingEnv : public Env {
 public:
  explicit ListingEnv(std::vector<std::string> names) : names_(std::move(names)) {}
  int GetChildren(const std::string&, std::vector<std::string>* names) override {
    *names = names_;
    return 0;
  }
  // An archive that is gone by the time listRotated looks at it was renamed or removed after the
  // listing: it is kept (as `vanished`) for the reader to find again or report as moved. A
  // dangling link under an archive name is no such file.
  int Stat(const std::string& path, FileInfo* info) override {
    const int rc = Default()->Stat(path, info);
    struct stat st {};
    if (rc == 0 && !info->exists && (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))) {
      vanished_.push_back(path.substr(path.rfind('/') + 1));
    }
    return rc;
  }
  const std::vector<std::string>& vanished() const { return vanished_; }
  // listRotated needs nothing else; the tool writes nothing.
  int NewSequentialFile(const std::string&, std::unique_ptr<SequentialFile>*) override {
    return ENOSYS;
  }
  int NewWritableFile(const std::string&, bool, std::unique_ptr<WritableFile>*) override {
    return ENOSYS;
  }
  int ReadLastByte(const std::string&, char*) override { return ENOSYS; }
  int TruncateFile(const std::string&, uint64_t) override { return ENOSYS; }
  int RenameFile(const std::string&, const std::string&) override { return ENOSYS; }
  int RemoveFile(const std::string&) override { return ENOSYS; }
  int CreateDir(const std::string&, mode_t) override { return ENOSYS; }
  int SyncDir(const std::string&) override { return ENOSYS; }
  int LockFile(const std::string&, std::unique_ptr<FileLock>*) override { return ENOSYS; }
  SteadyTime SteadyNow() override { return Default()->SteadyNow(); }
  SystemTime SystemNow() override { return Default()->SystemNow(); }

 private:
  std::vector<std::string> names_;
  std::vector<std::string> vanished_;
};

bool ListOutbox(const std::string& dir, Listing* listing, std::ostream& err) {
  std::vector<std::string> names;
  if (int e = Env::Default()->GetChildren(dir, &names)) {
    err << fmt::format("skelvane-outbox: cannot read directory {}: {}\n", dir, ErrnoText(e));
    return false;
  }
  for (const std::string& n : names) {
    if (n == kActiveFileName) listing->active = true;
    if (n.starts_with("outbox.") && n.ends_with(kTempFileSuffix)) listing->temps.push_back(n);
  }
  std::sort(listing->temps.begin(), listing->temps.end());
  ListingEnv env(std::move(names));
  listing->archives = listRotated(&env, dir);
  listing->archives.insert(listing->archives.end(), env.vanished().begin(), env.vanished().end());
  std::sort(listing->archives.begin(), listing->archives.end(),
            [](const std::string& a, const std::string& b) { return ArchiveNameLess(a, b); });
  return true;
}

// The files in delivery order: the active file first (the service drains it first), then, with
// `archives`, each archive oldest first (restored one by one once the active file has drained).
std::vector<FileScan> ScanOutbox(const std::string& dir, const Listing& listing, bool archives,
                                 const Hooks& hooks) {
  std::vector<FileScan> scans;
  FileScan active;
  active.name = kActiveFileName;
  active.listed = listing.active;
  if (listing.active) active = ScanFile(dir, kActiveFileName, hooks);
  if (active.moved) {
    // Only a rotation without compression takes the name away, and the archive it makes sorts
    // after every archive there was.
    const std::vector<std::string> now = listRotated(Env::Default(), dir);
    if (!now.empty() &&
        (listing.archives.empty() || ArchiveNameLess(listing.archives.back(), now.back()))) {
      active = ScanFile(dir, now.back(), hooks);
      active.moved_from = kActiveFileName;
    }
  }
  scans.push_back(std::move(active));
  if (archives) {
    for (const std::string& name : listing.archives) scans.push_back(ScanFile(dir, name, hooks));
  }
  return scans;
}

// Notes on files that moved or changed under the reader, for every command alike.
void PrintFileNotes(const std::vector<FileScan>& scans, std::ostream& os) {
  for (const FileScan& s : scans) {
    if (!s.moved_from.empty()) {
      os << fmt::format("note: {} was rotated to {} while reading; read from there\n", s.moved_from,
                        s.name);
    }
    if (s.moved) {
      os << fmt::format("note: {}: moved while reading (rotated, restored or cleaned up)\n",
                        s.name);
    }
    if (s.changed) {
      os << fmt::format("note: {}: changed while reading (appended to or emptied by the service)\n",
                        s.name);
    }
    if (s.not_gzip) {
      os << fmt::format("note: {}: not gzip data; the service reads it as plain text\n", s.name);
    }
  }
}

// --- the lock probe ---

// Whether a running service holds "<dir>/outbox.lock" (an exclusive flock for its whole run).
// Read from /proc/locks, which lists every flock with the device and inode of its file, so the
// probe itself takes no lock: a service starting at that very moment must not find its directory
// "in use" because of us.
std::string LockState(const std::string& dir, bool* in_use) {
  *in_use = false;
  const std::string path = dir + "/" + kLockFileName;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return "not in use (no outbox.lock)";
    return fmt::format("unknown whether in use (cannot stat {}: {})", kLockFileName,
                       ErrnoText(errno));
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

// --- commands ---

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

std::string TsText(uint64_t records, int64_t ts) {
  return records == 0 ? "-" : fmt::format("{} {}", ts, Iso8601(ts));
}

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
  Hooks hooks;
  hooks.check_gzip_end = true;
  hooks.damage = [&](const FileScan& s, uint64_t line, uint64_t offset, const std::string& why) {
    if (++damaged[s.name] > kListedPerFile) return;
    const bool gz = s.name.find(".gz") != std::string::npos && !s.not_gzip;
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

struct CatOptions {
  int64_t since = std::numeric_limits<int64_t>::min();
  int64_t until = std::numeric_limits<int64_t>::max();
  bool archives = false;
};

// Whether `s` is well-formed UTF-8 (RFC 3629: shortest forms only, no surrogates, nothing above
// U+10FFFF), which the JSON library requires of every string it writes.
bool IsUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t more = 0;                     // continuation bytes
    unsigned char lo = 0x80, hi = 0xbf;  // range of the first of them
    if (c >= 0xc2 && c <= 0xdf) {
      more = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      more = 2;
      lo = c == 0xe0 ? 0xa0 : 0x80;
      hi = c == 0xed ? 0x9f : 0xbf;
    } else if (c >= 0xf0 && c <= 0xf4) {
      more = 3;
      lo = c == 0xf0 ? 0x90 : 0x80;
      hi = c == 0xf4 ? 0x8f : 0xbf;
    } else {
      return false;
    }
    if (s.size() - i <= more) return false;
    for (size_t k = 1; k <= more; ++k) {
      const unsigned char t = s[i + k];
      if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xbf)) return false;
    }
    i += more + 1;
  }
  return true;
}

// One record as a JSON line, written straight to the stream: a large payload is not copied once
// more into the text of the line.
void PrintRecord(const RecordLine& rec, std::ostream& out) {
  nlohmann::ordered_json j;
  j["ts"] = rec.ts;
  j["msg_id"] = rec.msg_id;
  j["topic"] = rec.topic;
  const std::vector<uint8_t> bytes = base64_decode(rec.payload);
  std::string text(bytes.begin(), bytes.end());
  if (IsUtf8(text)) {
    j["payload"] = std::move(text);
  } else {
    j["payload_base64"] = base64_encode(bytes.data(), bytes.size());
  }
  out << j << '\n';
}

int Cat(const std::string& dir, const CatOptions& opt, std::ostream& out, std::ostream& err) {
  Listing listing;
  if (!ListOutbox(dir, &listing, err)) return 1;
  Hooks hooks;
  hooks.record = [&](const RecordLine& rec) {
    if (rec.ts >= opt.since && rec.ts <= opt.until) PrintRecord(rec, out);
  };
  const std::vector<FileScan> scans = ScanOutbox(dir, listing, opt.archives, hooks);
  out.flush();
  uint64_t broken = 0;
  int status = 0;
  for (const FileScan& s : scans) {
    broken += s.broken;
    if (!s.error.empty()) {
      err << fmt::format("skelvane-outbox: cannot read {}: {}\n", s.name, s.error);
      status = 1;
    }
  }
  PrintFileNotes(scans, err);
  if (broken > 0) err << fmt::format("skelvane-outbox: skipped {} broken lines\n", broken);
  return status;
}

// The reason the file system refuses to let the service write in `path` (a directory), or empty.
std::string NotWritable(const std::string& path) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) == 0 && (fs.f_flag & ST_RDONLY) != 0) {
    return "read-only file system";
  }
  if (::access(path.c_str(), W_OK) != 0) return ErrnoText(errno);
  return {};
}

std::string ParentDir(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

void CheckOutboxDir(const std::string& dir, std::vector<std::string>* problems,
                    std::vector<std::string>* notes) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != ENOTDIR) {
      problems->push_back(fmt::format("outbox directory {}: {}", dir, ErrnoText(errno)));
      return;
    }
    notes->push_back(
        fmt::format("outbox directory {} does not exist (the service creates it)", dir));
    // It is created with its parents: the nearest one that exists must take a new directory.
    std::string up = dir;
    int rc;
    do {
      up = ParentDir(up);
      rc = ::stat(up.c_str(), &st);
    } while (rc != 0 && errno == ENOENT && up != "/" && up != ".");
    const std::string why = rc != 0                ? ErrnoText(errno)
                            : !S_ISDIR(st.st_mode) ? "not a directory"
                                                   : NotWritable(up);
    if (!why.empty()) {
      problems->push_back(
          fmt::format("outbox directory {} cannot be created: {}: {}", dir, up, why));
    }
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    problems->push_back(fmt::format("outbox directory {} exists but is not a directory", dir));
    return;
  }
  if (std::string why = NotWritable(dir); !why.empty()) {
    problems->push_back(fmt::format("outbox directory {} is not writable: {}", dir, why));
  }
  bool in_use = false;
  const std::string state = LockState(dir, &in_use);
  if (in_use) notes->push_back(fmt::format("outbox directory {} is {}", dir, state));
}

void PrintConfig(const AppConfig& c, std::ostream& out) {
  // Every member by name: a member added to the configuration fails to compile here until it is
  // printed too.
  const auto& [topics, storage, resend, status, maintenance_interval, loop_timeout_ms] = c;
  const auto& [dir, compress, max_file_kb, max_dir_kb, rotation_cooldown, max_index, sync] =
      storage;
  const auto& [cooldown, stale_threshold, grace_period, live_ack_threshold, fast_ack_threshold,
               window] = resend;
  const auto& [prometheus_file, mqtt_topic] = status;
  auto row = [&](const char* key, const nlohmann::json& value) {
    out << fmt::format("{:<28}{}\n", key,
                       value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  };
  row("topics", topics);
  row("storage.dir", dir);
  row("storage.compress", compress);
  row("storage.sync", sync);
  row("storage.max_file_kb", max_file_kb);
  row("storage.max_dir_kb", max_dir_kb);
  row("storage.rotation_cooldown", rotation_cooldown);
  row("storage.max_index", max_index);
  row("resend.cooldown", cooldown);
  row("resend.stale_threshold", stale_threshold);
  row("resend.grace_period", grace_period);
  row("resend.live_ack_threshold", live_ack_threshold);
  row("resend.fast_ack_threshold", fast_ack_threshold);
  row("resend.window", window);
  row("status.prometheus_file", prometheus_file);
  row("status.mqtt_topic", mqtt_topic);
  row("maintenance_interval", maintenance_interval);
  row("loop_timeout_ms", loop_timeout_ms);
}

int CheckConfig(const std::string& path, std::ostream& out) {
  std::vector<std::string> problems;
  std::vector<std::string> notes;
  AppConfig config;
  std::string type_error;
  {
    // The loader's own warnings (missing file, parse error, reset limits) are problems here.
    P7::ScopedCapture capture;
    try {
      config = loadConfig(path);
    } catch (const std::exception& e) {
      type_error = e.what();
    }
    for (const P7::Record& r : capture.records()) {
      if (r.level >= P7::kWarning) problems.push_back(r.message);
    }
  }
  out << fmt::format("config {}\n", path);
  if (!type_error.empty()) {
    problems.push_back(
        fmt::format("Config error: {} (the service exits with status 1)", type_error));
  } else {
    PrintConfig(config, out);
    if (config.topics.empty()) {
      problems.push_back("No topics configured (the service exits with status 1)");
    }
    CheckOutboxDir(config.storage.dir, &problems, &notes);
  }
  for (const std::string& p : problems) out << "problem: " << p << '\n';
  for (const std::string& n : notes) out << "note: " << n << '\n';
  if (problems.empty()) {
    out << "OK: no problems\n";
    return 0;
  }
  out << fmt::format("{} problem{}\n", problems.size(), problems.size() == 1 ? "" : "s");
  return 1;
}

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
