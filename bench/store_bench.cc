// Costs of the store's hot operations, each next to a baseline of the plain file I/O it cannot
// avoid:
//   BM_Store            vs BM_AppendBaseline     one record: open + append + close of the same line
//   BM_FlushAcks        vs BM_ReadWriteBaseline  10 MiB active file, 1% of its lines acknowledged:
//                                                read it, write it to a new file, rename
//   BM_RebuildIndex     vs BM_ReadBaseline       10 MiB active file: read it
//   BM_GetPendingOne    vs BM_ReadHeadBaseline   first pending record: read the first 4 KiB
// Records are about 480 bytes, like a typical telemetry message with its Base64 payload. The
// figures are CPU time (kernel time of the system calls included), which two shared cores disturb
// less than wall time; the table at the end gives the medians over the repetitions.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base64.h"
#include "bench_table.h"
#include "outbox_store.h"
#include "p7.h"
#include "record_writer.h"

namespace {

using kestova::OutboxStore;
using kestova::OutboxStoreConfig;

constexpr size_t kPayloadBytes = 320;  // 428 Base64 characters, ~480 bytes per line
constexpr size_t kFileBytes = 10 << 20;

class BenchDir {
 public:
  BenchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/skelvane-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~BenchDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

OutboxStoreConfig Config(const std::string& dir) {
  OutboxStoreConfig cfg;
  cfg.dir = dir;
  cfg.compress = false;
  cfg.max_file_kb = 1 << 30;  // never rotate inside a benchmark
  cfg.max_dir_kb = 1 << 30;
  cfg.max_index = 1 << 30;
  return cfg;
}

const std::vector<uint8_t>& Payload() {
  static const std::vector<uint8_t> payload = [] {
    std::vector<uint8_t> p(kPayloadBytes);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 131 + 7);
    return p;
  }();
  return payload;
}

std::string Line(int64_t ts) {
  const auto& p = Payload();
  return kestova::FormatRecordLine(ts, "msg-" + std::to_string(ts), "/kv/bridge/data/meter",
                                   base64_encode(p.data(), p.size()));
}

// Writes an active file of about kFileBytes; returns the number of records.
int64_t WriteActiveFile(const std::string& dir) {
  std::string text;
  int64_t n = 0;
  while (text.size() < kFileBytes) text += Line(1700000000 + n++);
  int fd = ::open((dir + "/outbox.jsonl").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    std::abort();
  }
  ::close(fd);
  return n;
}

std::string ReadAll(const std::string& path) {
  std::string out;
  if (!kestova::ReadFileToString(kestova::Env::Default(), path, &out).ok()) std::abort();
  return out;
}

void BM_Store(benchmark::State& state) {
  BenchDir dir;
  OutboxStore store(Config(dir.path()));
  const auto& p = Payload();
  int64_t ts = 1700000000;
  for (auto _ : state) {
    ++ts;
    bool ok =
        store.store(p.data(), p.size(), ts, "msg-" + std::to_string(ts), "/kv/bridge/data/meter")
            .stored();
    benchmark::DoNotOptimize(ok);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(Line(ts).size()));
}
BENCHMARK(BM_Store);

void BM_AppendBaseline(benchmark::State& state) {
  BenchDir dir;
  const std::string path = dir.path() + "/outbox.jsonl";
  const std::string line = Line(1700000000);
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    ::close(fd);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_AppendBaseline);

// Each iteration flushes the same 10 MiB file with every hundredth record acknowledged. The file
// is put back between iterations, untimed, as a second link to an untouched copy (the flush
// replaces the active file by rename and so never changes that copy).
void BM_FlushAcks(benchmark::State& state) {
  BenchDir dir;
  const int64_t n = WriteActiveFile(dir.path());
  const std::string active = dir.path() + "/outbox.jsonl";
  const std::string pristine = dir.path() + "/pristine";
  if (::link(active.c_str(), pristine.c_str()) != 0) std::abort();
  OutboxStore store(Config(dir.path()));
  int32_t removed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    ::unlink(active.c_str());
    if (::link(pristine.c_str(), active.c_str()) != 0) std::abort();
    for (int64_t i = 0; i < n; i += 100) {
      const int64_t ts = 1700000000 + i;
      store.ackMessage(ts, "msg-" + std::to_string(ts));
    }
    state.ResumeTiming();
    removed = store.flushAcks();
  }
  if (removed != (n + 99) / 100) state.SkipWithError("flush removed another number of lines");
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileBytes));
}
BENCHMARK(BM_FlushAcks)->Unit(benchmark::kMillisecond);

void BM_ReadWriteBaseline(benchmark::State& state) {
  BenchDir dir;
  WriteActiveFile(dir.path());
  const std::string path = dir.path() + "/outbox.jsonl";
  const std::string temp = path + ".tmp";
  for (auto _ : state) {
    std::string text = ReadAll(path);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    benchmark::DoNotOptimize(::write(fd, text.data(), text.size()));
    ::close(fd);
    ::rename(temp.c_str(), path.c_str());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileBytes));
}
BENCHMARK(BM_ReadWriteBaseline)->Unit(benchmark::kMillisecond);

void BM_RebuildIndex(benchmark::State& state) {
  BenchDir dir;
  WriteActiveFile(dir.path());
  std::unique_ptr<OutboxStore> store;
  for (auto _ : state) {  // a start-up: the lock, the index rebuild and the probe
    store.reset();
    store = std::make_unique<OutboxStore>(Config(dir.path()));
    benchmark::DoNotOptimize(store->pendingCount());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileBytes));
}
BENCHMARK(BM_RebuildIndex)->Unit(benchmark::kMillisecond);

void BM_ReadBaseline(benchmark::State& state) {
  BenchDir dir;
  WriteActiveFile(dir.path());
  for (auto _ : state) benchmark::DoNotOptimize(ReadAll(dir.path() + "/outbox.jsonl").size());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileBytes));
}
BENCHMARK(BM_ReadBaseline)->Unit(benchmark::kMillisecond);

// The resend chain's pattern: flush, then ask for the oldest pending message.
void BM_GetPendingOne(benchmark::State& state) {
  BenchDir dir;
  WriteActiveFile(dir.path());
  OutboxStore store(Config(dir.path()));
  store.ackMessage(1700000000, "msg-1700000000");
  store.flushAcks();
  for (auto _ : state) benchmark::DoNotOptimize(store.getPending(1));
}
BENCHMARK(BM_GetPendingOne);

void BM_ReadHeadBaseline(benchmark::State& state) {
  BenchDir dir;
  WriteActiveFile(dir.path());
  const std::string path = dir.path() + "/outbox.jsonl";
  char buf[4096];
  for (auto _ : state) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    benchmark::DoNotOptimize(::read(fd, buf, sizeof buf));
    ::close(fd);
  }
}
BENCHMARK(BM_ReadHeadBaseline);

}  // namespace

int main(int argc, char** argv) {
  // As in production: info and above, written nowhere, so the store pays for its own logging calls.
  P7::LoggerInit(P7::MainTrace, "/P7.Sink=Null /P7.Trc.Verb=2");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchtable::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto row = [&](const char* work, const char* baseline, const char* ours, const char* base,
                 double scale, const char* unit, double target) {
    return benchtable::Row{
        work,   baseline, reporter.Cpu(ours) * scale, reporter.Cpu(base) * scale, unit,
        target, "cpu"};
  };
  benchtable::Emit({
      row("store of one record", "open + append + close of the same bytes", "BM_Store",
          "BM_AppendBaseline", 1e6, "us", 1.5),
      row("rebuildIndex, 10 MiB active file", "reading the same file once", "BM_RebuildIndex",
          "BM_ReadBaseline", 1e3, "ms", 2.0),
      row("flushAcks removing 1% of the lines, 10 MiB", "read, write to a new file, rename",
          "BM_FlushAcks", "BM_ReadWriteBaseline", 1e3, "ms", 2.0),
      row("getPending(1) right after a flush", "reading the first 4 KiB", "BM_GetPendingOne",
          "BM_ReadHeadBaseline", 1e6, "us", 2.0),
  });
  benchmark::Shutdown();
  return 0;
}
