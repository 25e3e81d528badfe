// Any bytes through the gzip codec against zlib's gzread (success, output, line counters), through
// decompressFile (its bytes, or no target or temp file; source untouched) and round trip.
#include <zlib.h>

#include "archive_shelf.h"
#include "fuzz_entries.h"
#include "gzip_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string& dir = fuzzentry::ScratchDir("archive");
  static auto* shelf = new kestova::ArchiveShelf(kestova::Env::Default(), {.dir = dir});
  const std::string source = dir + "/input.gz", target = dir + "/restored.jsonl";
  fuzzentry::WriteWhole(source, input);
  std::string ref;  // what gzread delivers, and whether it ended cleanly
  bool ref_ok = false;
  if (gzFile f = gzopen(source.c_str(), "rb")) {
    char buf[8192];
    int n = 0, err = Z_OK;
    while ((n = gzread(f, buf, sizeof buf)) > 0) ref.append(buf, static_cast<size_t>(n));
    gzerror(f, &err);
    ref_ok = n == 0 && (err == Z_OK || err == Z_STREAM_END);
    gzclose(f);
  }
  fuzzentry::MemorySource src(input, {size % 5 == 0 ? 0 : 1 + size % 300});
  fuzzentry::MemorySink sink;
  const kestova::GzipResult r = kestova::GzipDecompress(&src, &sink);
  const std::string& out = sink.text;
  FUZZ_CHECK(r.bytes_out == out.size() && r.complete_bytes <= r.bytes_out, "byte counters");
  FUZZ_CHECK(r.complete_bytes == 0 || out[r.complete_bytes - 1] == '\n', "complete_bytes");
  FUZZ_CHECK(r.complete_lines == static_cast<uint64_t>(
                                     std::count(out.begin(), out.begin() + r.complete_bytes, '\n')),
             "complete_lines");
  FUZZ_CHECK(r.ok() || !r.status.message().empty(), "failure without a message");
  // gzread misses a member cut off right after a full output buffer; the codec reports it.
  const bool gzread_missed_truncation =
      !r.ok() && ref_ok && r.error == kestova::GzipError::kTruncated && out.size() >= ref.size();
  FUZZ_CHECK(r.ok() == ref_ok || gzread_missed_truncation, "codec and gzread disagree on success");
  const size_t common = std::min(out.size(), ref.size());
  FUZZ_CHECK(r.ok() ? out == ref : out.compare(0, common, ref, 0, common) == 0, "codec output");
  const bool ok = shelf->decompressFile(source, target).ok();
  const std::optional<std::string> written = fuzzentry::ReadWhole(target);
  FUZZ_CHECK(ok == r.ok(), "decompressFile and the codec disagree");
  FUZZ_CHECK(ok ? written == out : !written, "decompressFile output, or a target after failing");
  FUZZ_CHECK(!fuzzentry::ReadWhole(target + ".tmp"), "decompressFile left its temp file");
  FUZZ_CHECK(fuzzentry::ReadWhole(source) == std::string(input), "decompressFile's source");
  std::filesystem::remove(target);
  fuzzentry::MemorySource plain(input, {1 + size % 4096});
  fuzzentry::MemorySink packed, unpacked;
  const kestova::GzipResult c = kestova::GzipCompress(&plain, &packed, 6);
  FUZZ_CHECK(c.ok() && c.bytes_in == size && c.bytes_out == packed.text.size(), "compression");
  fuzzentry::MemorySource packed_src(packed.text);
  FUZZ_CHECK(kestova::GzipDecompress(&packed_src, &unpacked).ok() && unpacked.text == input,
             "round trip");
  return 0;
}
