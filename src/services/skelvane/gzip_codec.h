// Streaming gzip (RFC 1952) between Env files, with every I/O failure reported.
//
// The store's archives are standard gzip files (zcat reads them). Going through zlib's deflate and
// inflate stream API rather than its gz* file functions means every byte passes through the Env,
// so a full disk, a read error or a failing close is seen and reported, never mistaken for success.
//
// Contract:
//   - Both copies stream through fixed 8 KiB buffers; no file is held in memory whole.
//   - They only read from `in` and append to `out`. Opening, syncing, closing, renaming and
//     removing the files is the caller's business, so that the caller decides what a failure
//     undoes.
//   - Nothing here logs; the result says what happened and how far the copy got.
#pragma once

#include <cstdint>
#include <string>

#include "env.h"
#include "io_status.h"

namespace kestova {

enum class GzipError {
  kNone,       // complete copy
  kRead,       // reading the source failed
  kWrite,      // appending to the target failed, e.g. ENOSPC
  kCorrupt,    // the compressed stream is damaged
  kTruncated,  // the compressed stream ends before its end marker
  kZlib,       // zlib refused to work (out of memory, bad parameters)
};

struct GzipResult {
  GzipError error = GzipError::kNone;  // where the copy stopped
  // Why: the errno of a failed read or write; EBADMSG with zlib's words for a damaged or cut-off
  // stream; EIO with zlib's words when zlib refused to work.
  Status status;
  uint64_t bytes_in = 0;   // bytes taken from the source
  uint64_t bytes_out = 0;  // bytes appended to the target
  // Decompression only: the target's length up to and including its last line feed, and the number
  // of line feeds written. After damage this is the part that consists of complete lines.
  uint64_t complete_bytes = 0;
  uint64_t complete_lines = 0;
  // Compression only: size of the input chunk whose compressed form could not be written.
  uint64_t failed_chunk = 0;

  bool ok() const { return error == GzipError::kNone; }
};

inline constexpr size_t kGzipChunk = 8192;

// Compresses all of `in` into `out` as one gzip member at `level` (zlib's window 15, memLevel 8).
GzipResult GzipCompress(SequentialFile* in, WritableFile* out, int level);

// Decompresses `in` into `out` the way gzread reads a file: concatenated gzip members are read one
// after another, data after the last complete member that is not another gzip header is ignored,
// and a source that does not start with the gzip magic is copied unchanged.
GzipResult GzipDecompress(SequentialFile* in, WritableFile* out);

}  // namespace kestova
