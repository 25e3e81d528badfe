#include "gzip_codec.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestova {
namespace {

constexpr unsigned char kMagic0 = 0x1f;
constexpr unsigned char kMagic1 = 0x8b;

// Appends to the target and keeps the line bookkeeping of GzipResult.
class Sink {
 public:
  Sink(WritableFile* out, GzipResult* result, bool track_lines)
      : out_(out), result_(result), track_lines_(track_lines) {}

  bool put(const unsigned char* data, size_t n) {
    if (n == 0) return true;
    if (Status s = out_->Append(reinterpret_cast<const char*>(data), n); !s.ok()) {
      result_->error = GzipError::kWrite;
      result_->status = s;
      return false;
    }
    const auto* last =
        track_lines_ ? static_cast<const unsigned char*>(memrchr(data, '\n', n)) : nullptr;
    if (last != nullptr) {
      result_->complete_bytes = result_->bytes_out + static_cast<uint64_t>(last - data) + 1;
      result_->complete_lines += static_cast<uint64_t>(std::count(data, last + 1, '\n'));
    }
    result_->bytes_out += n;
    return true;
  }

 private:
  WritableFile* out_;
  GzipResult* result_;
  bool track_lines_;
};

void SetReadError(GzipResult* result, Status s) {
  result->error = GzipError::kRead;
  result->status = std::move(s);
}

// A damaged stream is EBADMSG, zlib refusing to work EIO; the text is zlib's when it gave one.
void SetZlibError(GzipResult* result, GzipError error, const z_stream& zs, const char* fallback) {
  result->error = error;
  result->status = Status::FromErrno(error == GzipError::kZlib ? EIO : EBADMSG,
                                     zs.msg != nullptr ? zs.msg : fallback);
}

// The source side of inflate: a buffer that keeps unconsumed input at its front when refilled.
class Source {
 public:
  Source(SequentialFile* in, z_stream* zs, GzipResult* result) : in_(in), zs_(zs), result_(result) {
    zs_->next_in = buf_;
    zs_->avail_in = 0;
  }

  // Reads more input behind what is left. False on a read error (recorded in the result).
  bool fill() {
    if (eof_) return true;
    if (zs_->avail_in > 0 && zs_->next_in != buf_) std::memmove(buf_, zs_->next_in, zs_->avail_in);
    zs_->next_in = buf_;
    size_t got = 0;
    Status s = in_->Read(sizeof(buf_) - zs_->avail_in,
                         reinterpret_cast<char*>(buf_) + zs_->avail_in, &got);
    if (!s.ok()) {
      SetReadError(result_, s);
      return false;
    }
    if (got == 0) eof_ = true;
    zs_->avail_in += static_cast<uInt>(got);
    result_->bytes_in += got;
    return true;
  }

  // Makes at least n bytes available unless the source ends first.
  bool want(size_t n) {
    while (zs_->avail_in < n && !eof_) {
      if (!fill()) return false;
    }
    return true;
  }

  bool eof() const { return eof_; }

 private:
  SequentialFile* in_;
  z_stream* zs_;
  GzipResult* result_;
  unsigned char buf_[kGzipChunk];
  bool eof_ = false;
};

bool StartsWithMagic(const z_stream& zs) {
  return zs.avail_in >= 2 && zs.next_in[0] == kMagic0 && zs.next_in[1] == kMagic1;
}

// Copies a source that is not gzip data unchanged, as gzread does.
void CopyPlain(SequentialFile* in, z_stream* zs, Sink* sink, GzipResult* result) {
  if (!sink->put(zs->next_in, zs->avail_in)) return;
  zs->avail_in = 0;
  unsigned char buf[kGzipChunk];
  for (;;) {
    size_t got = 0;
    if (Status s = in->Read(sizeof(buf), reinterpret_cast<char*>(buf), &got); !s.ok()) {
      SetReadError(result, s);
      return;
    }
    if (got == 0) return;
    result->bytes_in += got;
    if (!sink->put(buf, got)) return;
  }
}

}  // namespace

GzipResult GzipCompress(SequentialFile* in, WritableFile* out, int level) {
  GzipResult result;
  z_stream zs{};
  // windowBits 15 + 16 selects the gzip wrapper.
  if (deflateInit2(&zs, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
    SetZlibError(&result, GzipError::kZlib, zs, "deflateInit2 failed");
    return result;
  }
  Sink sink(out, &result, /*track_lines=*/false);
  char inbuf[kGzipChunk];
  unsigned char outbuf[kGzipChunk];
  bool done = false;
  while (!done) {
    size_t got = 0;
    if (Status s = in->Read(sizeof(inbuf), inbuf, &got); !s.ok()) {
      SetReadError(&result, s);
      break;
    }
    // End of the source: a read that delivers nothing.
    const int flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = reinterpret_cast<Bytef*>(inbuf);
    zs.avail_in = static_cast<uInt>(got);
    int rc = Z_OK;
    do {
      zs.next_out = outbuf;
      zs.avail_out = sizeof(outbuf);
      rc = deflate(&zs, flush);
      if (rc == Z_STREAM_ERROR) {
        SetZlibError(&result, GzipError::kZlib, zs, "deflate failed");
        break;
      }
      if (!sink.put(outbuf, sizeof(outbuf) - zs.avail_out)) {
        result.failed_chunk = got;
        break;
      }
    } while (zs.avail_out == 0);
    if (!result.ok()) break;
    result.bytes_in += got;
    if (flush == Z_FINISH) {
      if (rc != Z_STREAM_END) SetZlibError(&result, GzipError::kZlib, zs, "deflate did not finish");
      done = true;
    }
  }
  deflateEnd(&zs);
  return result;
}

GzipResult GzipDecompress(SequentialFile* in, WritableFile* out) {
  GzipResult result;
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 16) != Z_OK) {
    SetZlibError(&result, GzipError::kZlib, zs, "inflateInit2 failed");
    return result;
  }
  Sink sink(out, &result, /*track_lines=*/true);
  Source src(in, &zs, &result);
  unsigned char outbuf[kGzipChunk];

  if (src.want(2) && !StartsWithMagic(zs)) {
    CopyPlain(in, &zs, &sink, &result);
    inflateEnd(&zs);
    return result;
  }

  while (result.ok()) {
    // One member.
    bool member_done = false;
    while (!member_done) {
      if (zs.avail_in == 0 && !src.fill()) break;
      zs.next_out = outbuf;
      zs.avail_out = sizeof(outbuf);
      const int rc = inflate(&zs, Z_NO_FLUSH);
      if (!sink.put(outbuf, sizeof(outbuf) - zs.avail_out)) break;
      if (rc == Z_STREAM_END) {
        member_done = true;
      } else if (rc == Z_BUF_ERROR) {
        // No progress without more input; at the end of the source the member is cut short.
        if (src.eof() && zs.avail_in == 0) {
          result.error = GzipError::kTruncated;
          result.status = Status::FromErrno(EBADMSG, "unexpected end of file");
        }
      } else if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) {
        SetZlibError(&result, GzipError::kCorrupt, zs, "invalid compressed data");
      } else if (rc != Z_OK) {
        SetZlibError(&result, GzipError::kZlib, zs, "inflate failed");
      }
      if (!result.ok()) break;
    }
    if (!result.ok()) break;
    // Another member follows only when a gzip header does; anything else is trailing data that
    // gzread ignores as well.
    if (!src.want(2)) break;
    if (!StartsWithMagic(zs)) break;
    if (inflateReset(&zs) != Z_OK)
      SetZlibError(&result, GzipError::kZlib, zs, "inflateReset failed");
  }
  inflateEnd(&zs);
  return result;
}

}  // namespace kestova
