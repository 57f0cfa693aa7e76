// ParseFile on an upgrade file in the page cache against md5sum of the same file (one MD5 pass
// over the same bytes, the physical floor), and the peak memory of parsing and extracting.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/container/bench_files.h"
#include "benchmark/benchmark.h"
#include "container/md5.h"
#include "container/upgrade_file.h"

extern char** environ;

namespace {

constexpr std::int64_t kMiB = 1 << 20;

// Runs argv[0] (looked up in PATH) with standard output sent to output; true when it exited
// with 0.
bool Spawn(const std::vector<std::string>& args, const char* output = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return false;
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_ParseFile(benchmark::State& state) {
  const std::string& path = qx::bench::UpgradeFileOfSize(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    qx::upgradeFile::UpgradeFile reader(path);
    if (!reader.ParseFile()) state.SkipWithError(reader.ErrorMessage().c_str());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The same bytes through read() and md5_append alone, in reads of state.range(1) bytes: with
// 1 KiB reads this is what ParseFile must cost at least; with 64 KiB reads it shows how much of
// that is the number of read() calls.
void BM_ReadAndHash(benchmark::State& state) {
  const std::string& path = qx::bench::UpgradeFileOfSize(static_cast<std::size_t>(state.range(0)));
  const auto chunk = static_cast<std::size_t>(state.range(1));
  std::vector<unsigned char> buffer(chunk);
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    md5_state md5;
    md5_init(&md5);
    ssize_t got;
    while ((got = ::read(fd, buffer.data(), chunk)) > 0)
      md5_append(&md5, buffer.data(), static_cast<int>(got));
    unsigned char digest[kMd5DigestBytes];
    md5_finish(&md5, digest);
    benchmark::DoNotOptimize(digest);
    ::close(fd);
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Md5sum(benchmark::State& state) {
  const std::string& path = qx::bench::UpgradeFileOfSize(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    if (!Spawn({"md5sum", path})) state.SkipWithError("md5sum failed");
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The probe (a separate program, so nothing of this process counts) parses the file and
// extracts every inner file; its peak RSS is the reader's whole footprint plus the C++ runtime.
void BM_PeakMemory(benchmark::State& state) {
  const std::string& path = qx::bench::UpgradeFileOfSize(static_cast<std::size_t>(state.range(0)));
  const std::string report = qx::bench::ScratchDirectory() + "/probe-report";
  long peak = 0;
  for (auto _ : state) {
    long rss = -1;
    if (Spawn({CONTAINER_MEMORY_PROBE, path, qx::bench::ScratchDirectory()}, report.c_str())) {
      std::FILE* in = std::fopen(report.c_str(), "r");
      if (in == nullptr || std::fscanf(in, "%ld", &rss) != 1) rss = -1;
      if (in != nullptr) std::fclose(in);
    }
    if (rss < 0) state.SkipWithError("probe failed");
    if (rss > peak) peak = rss;
  }
  state.counters["peak_rss_KiB"] = static_cast<double>(peak);
}

}  // namespace

BENCHMARK(BM_ParseFile)->Arg(24 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAndHash)
    ->Args({24 * kMiB, 1024})
    ->Args({24 * kMiB, 64 * 1024})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5sum)->Arg(24 * kMiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemory)
    ->Arg(1 * kMiB)
    ->Arg(24 * kMiB)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
