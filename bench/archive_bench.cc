// Archive copies against the system's gzip tools on the same 10 MiB active file: compressFile vs
// `gzip -6`, decompressFile vs `zcat`. Prints the median time ratios (ours / tool) and the archive
// sizes at the end; a ratio near 1 means rotation and restore cost what the standard tools would.
// Wall time, since the tools run as child processes (started through the shell, as an operator
// would run them).
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "archive_shelf.h"
#include "base64.h"
#include "bench_table.h"
#include "env.h"
#include "p7.h"
#include "record_writer.h"

namespace {

using kestova::ArchiveShelf;

constexpr size_t kFileBytes = 10 * 1024 * 1024;

struct Fixture {
  std::string dir;
  std::string active, gz, tool_gz, out;
  std::unique_ptr<ArchiveShelf> shelf;

  Fixture() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "skelvane-bench-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir = tmpl;
    active = dir + "/source.jsonl";
    gz = dir + "/ours.jsonl.gz";
    tool_gz = dir + "/tool.jsonl.gz";
    out = dir + "/restored.jsonl";
    WriteActive();
    kestova::OutboxStoreConfig cfg;
    cfg.dir = dir;
    shelf = std::make_unique<ArchiveShelf>(kestova::Env::Default(), cfg);
  }
  ~Fixture() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // Telemetry records as the service stores them: a JSON document captured byte for byte, kept
  // Base64-encoded in a record line of about 480 bytes.
  void WriteActive() {
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> volts(228.0, 232.0), amps(0.0, 16.0);
    std::ofstream f(active, std::ios::binary);
    size_t written = 0;
    for (int64_t i = 0; written < kFileBytes; ++i) {
      const int64_t ts = 1709648102 + i;
      const std::string payload = fmt::format(
          R"({{"timestamp":{},"msg_id":"m-{:08d}","device":"meter-{:02d}","seq":{},)"
          R"("values":{{"u1":{:.2f},"u2":{:.2f},"u3":{:.2f},"i1":{:.3f},"i2":{:.3f},"i3":{:.3f}}},)"
          R"("status":"ok","fw":"2.4.1"}})",
          ts, i, i % 16, i, volts(rng), volts(rng), volts(rng), amps(rng), amps(rng), amps(rng));
      const std::string line = kestova::FormatRecordLine(
          ts, fmt::format("m-{:08d}", i), "/kv/bridge/data/meter",
          base64_encode(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
      f << line;
      written += line.size();
    }
  }
};

Fixture& Fx() {
  static Fixture fx;
  return fx;
}

int64_t SizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

void Run(benchmark::State& state, const std::string& cmd) {
  for (auto _ : state) {
    if (std::system(cmd.c_str()) != 0) state.SkipWithError(cmd.c_str());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileBytes));
}

void BM_CompressFile(benchmark::State& state) {
  Fixture& fx = Fx();
  for (auto _ : state) {
    if (!fx.shelf->compressFile(fx.active, fx.gz).ok()) state.SkipWithError("compressFile failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileBytes));
  state.counters["archive_bytes"] = static_cast<double>(SizeOf(fx.gz));
}

void BM_Gzip6(benchmark::State& state) {
  Fixture& fx = Fx();
  Run(state, fmt::format("gzip -6 -c '{}' > '{}'", fx.active, fx.tool_gz));
  state.counters["archive_bytes"] = static_cast<double>(SizeOf(fx.tool_gz));
}

void BM_DecompressFile(benchmark::State& state) {
  Fixture& fx = Fx();
  if (SizeOf(fx.gz) == 0) fx.shelf->compressFile(fx.active, fx.gz);
  for (auto _ : state) {
    if (!fx.shelf->decompressFile(fx.gz, fx.out).ok()) state.SkipWithError("decompressFile failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileBytes));
}

void BM_Zcat(benchmark::State& state) {
  Fixture& fx = Fx();
  if (SizeOf(fx.gz) == 0) fx.shelf->compressFile(fx.active, fx.gz);
  Run(state, fmt::format("zcat '{}' > '{}'", fx.gz, fx.out));
}

BENCHMARK(BM_CompressFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_Gzip6)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_DecompressFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);
BENCHMARK(BM_Zcat)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) {
  P7::LoggerInit("archive_bench", "/P7.Sink=Null");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchtable::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  Fixture& fx = Fx();
  std::printf("source %zu bytes; archive: ours %lld bytes, gzip -6 %lld bytes\n", kFileBytes,
              static_cast<long long>(SizeOf(fx.gz)), static_cast<long long>(SizeOf(fx.tool_gz)));
  benchtable::Emit({
      {"compressFile, 10 MiB active file", "gzip -6 of the same file",
       reporter.Real("BM_CompressFile") * 1e3, reporter.Real("BM_Gzip6") * 1e3, "ms", 1.1, "wall"},
      {"decompressFile of that archive", "zcat of it", reporter.Real("BM_DecompressFile") * 1e3,
       reporter.Real("BM_Zcat") * 1e3, "ms", 1.2, "wall"},
  });
  benchmark::Shutdown();
  return 0;
}
