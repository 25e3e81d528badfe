#include "file_scan.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>

#include "archive_name.h"
#include "env.h"
#include "gzip_codec.h"
#include "line_splitter.h"

namespace kestova::outbox_tool {
namespace {

constexpr size_t kReadChunk = 64 * 1024;

// A read-only descriptor as the SequentialFile that GzipDecompress reads, counting what it read.
class FdFile : public SequentialFile {
 public:
  explicit FdFile(int fd) : fd_(fd) {}
  ~FdFile() override { ::close(fd_); }
  FdFile(const FdFile&) = delete;
  FdFile& operator=(const FdFile&) = delete;

  Status Read(size_t n, char* buf, size_t* got) override {
    for (;;) {
      const ssize_t r = ::read(fd_, buf, n);
      if (r >= 0) {
        *got = static_cast<size_t>(r);
        bytes_read_ += *got;
        return Status();
      }
      if (errno != EINTR) return Status::FromErrno(errno);
    }
  }
  int fd() const { return fd_; }
  uint64_t bytes_read() const { return bytes_read_; }

 private:
  int fd_;
  uint64_t bytes_read_ = 0;
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

}  // namespace

FileScan ScanFile(const std::string& dir, const std::string& name, const ScanHooks& hooks) {
  FileScan s;
  s.name = name;
  const std::string path = dir + "/" + name;
  // The service's own test for an archive to decompress.
  const bool gz = IsGzipArchiveName(name);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) {
      s.moved = true;
    } else {
      s.error = std::strerror(errno);
    }
    return s;
  }
  FdFile file(fd);
  struct stat at_open {};
  if (::fstat(fd, &at_open) != 0) {
    s.error = std::strerror(errno);
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
    const GzipResult r = GzipDecompress(&file, &splitter);
    if (r.error == GzipError::kCorrupt || r.error == GzipError::kTruncated) {
      // The service restores the complete lines before the damage and drops the rest.
      ++s.broken;
      damage(splitter.lines() + 1, splitter.offset(),
             fmt::format("gzip stream {}: {}; what follows is lost",
                         r.error == GzipError::kTruncated ? "truncated" : "corrupt",
                         r.status.message()));
      return s;
    }
    if (!r.ok()) {
      s.error = r.status.message();
      return s;
    }
  } else {
    std::string buf(kReadChunk, '\0');
    for (;;) {
      size_t got = 0;
      if (Status st = file.Read(buf.size(), buf.data(), &got); !st.ok()) {
        s.error = st.message();
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

}  // namespace kestova::outbox_tool
