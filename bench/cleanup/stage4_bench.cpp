// Stage 4 (rotated logs, oldest first) on a device with 1,000 home logs at indexes 9000-9999
// and 50 members in each /var/log series: the cleanup's own passes (one directory listing per
// series and find) against the straightforward index probe written here as the peer (an
// existence test of every index in scan order), same device, same removal order.
//
// Run on a workstation, the program builds a simulated device, copies itself in and runs
// there; inside (where the simulator's marker file exists) it runs the benchmarks. Lookups are
// counted by wrapping the C library's path calls at link time (-Wl,--wrap, see CMakeLists.txt),
// so the cleanup code itself carries no counting; the unlink wrapper also records the removal
// order.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "benchmark/benchmark.h"
#include "cleanup/cleanup_kv70.h"
#include "cleanup/cleanup_stages.h"
#include "cleanup/rotated_logs.h"
#include "sim/host/device.h"

// Counting wrappers: every path resolution the stage makes goes through one of these.
// The linker's --wrap fixes these names.
// NOLINTBEGIN(bugprone-reserved-identifier,readability-identifier-naming)
extern "C" {
int __real_stat(const char* path, struct stat* st);
int __real_lstat(const char* path, struct stat* st);
int __real_statvfs(const char* path, struct statvfs* st);
int __real_unlink(const char* path);
DIR* __real_opendir(const char* path);
struct dirent* __real_readdir(DIR* dir);
}

namespace {
unsigned long g_lookups = 0;                     // stat, lstat, statvfs, unlink, opendir
unsigned long g_entries = 0;                     // directory entries read
std::vector<std::string>* g_unlinked = nullptr;  // where unlinked paths are recorded, if set
}  // namespace

extern "C" {
int __wrap_stat(const char* path, struct stat* st) {
  ++g_lookups;
  return __real_stat(path, st);
}
int __wrap_lstat(const char* path, struct stat* st) {
  ++g_lookups;
  return __real_lstat(path, st);
}
int __wrap_statvfs(const char* path, struct statvfs* st) {
  ++g_lookups;
  return __real_statvfs(path, st);
}
int __wrap_unlink(const char* path) {
  ++g_lookups;
  if (g_unlinked != nullptr) g_unlinked->push_back(path);
  return __real_unlink(path);
}
DIR* __wrap_opendir(const char* path) {
  ++g_lookups;
  return __real_opendir(path);
}
struct dirent* __wrap_readdir(DIR* dir) {
  ++g_entries;
  return __real_readdir(dir);
}
}
// NOLINTEND(bugprone-reserved-identifier,readability-identifier-naming)

namespace {

namespace cleanup = qx::upgrader::cleanup;

constexpr const char kDevicePath[] = "/bench/cleanup_stage4_bench";
constexpr int kFirstHomeIndex = 9000;

void WriteMember(const std::string& path, long mtime) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, "rotated\n", 8) != 8 || ::close(fd) != 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// The members interleave in time across the series, so every pass weighs all three.
void Populate() {
  ::mkdir("/home/logs", 0755);
  ::mkdir("/var/log", 0755);
  for (int index = kFirstHomeIndex; index <= cleanup::kHomeLogSeries.last_index; ++index) {
    WriteMember(cleanup::MemberPath(cleanup::kHomeLogSeries, index), 1000 + 10 * index);
  }
  for (int index = 1; index <= 50; ++index) {  // the highest index is the oldest
    WriteMember(cleanup::MemberPath(cleanup::kMessagesSeries, index), 190000 - 1000 * index);
    WriteMember(cleanup::MemberPath(cleanup::kSyslogSeries, index), 190500 - 1000 * index);
  }
}

// The peer: every pass tests each index of each series in scan order until its first member,
// takes the oldest across the series (ties to the earlier series) and unlinks it.
void IndexProbeStage(cleanup::CleanupBase& cleanup) {
  const cleanup::RotatedLogSeries* const kOrder[] = {
      &cleanup::kHomeLogSeries, &cleanup::kMessagesSeries, &cleanup::kSyslogSeries};
  for (;;) {
    std::string chosen;
    long chosen_time = 0;
    for (const cleanup::RotatedLogSeries* series : kOrder) {
      const int step = series->oldest_is_highest ? -1 : 1;
      int index = series->oldest_is_highest ? series->last_index : series->first_index;
      for (; index >= series->first_index && index <= series->last_index; index += step) {
        const std::string path = cleanup::MemberPath(*series, index);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (chosen.empty() || st.st_mtime < chosen_time) {
          chosen = path;
          chosen_time = st.st_mtime;
        }
        break;
      }
    }
    if (chosen.empty() || ::unlink(chosen.c_str()) != 0) return;
    (void)cleanup.CalculateFreespace();
    if (cleanup.EnoughFreeSpace()) return;
  }
}

// The removal order of the last run of each, compared once all benchmarks have run.
std::vector<std::string> g_orders[2];

void BM_Stage4(benchmark::State& state, bool index_probe) {
  unsigned long lookups = 0, entries = 0, passes = 0;
  std::vector<std::string>& order = g_orders[index_probe ? 1 : 0];
  for (auto _ : state) {
    state.PauseTiming();
    Populate();
    order.clear();
    g_lookups = g_entries = 0;
    cleanup::CleanupKV70 never_enough(0xFFFFFFFFu);  // every member goes
    state.ResumeTiming();
    g_unlinked = &order;
    if (index_probe) {
      IndexProbeStage(never_enough);
    } else {
      cleanup::ClearOldLogs(never_enough);
    }
    g_unlinked = nullptr;
    passes += order.size();
    lookups += g_lookups;
    entries += g_entries;
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["passes"] = static_cast<double>(passes) / n;
  state.counters["lookups"] = static_cast<double>(lookups) / n;
  state.counters["dir_entries"] = static_cast<double>(entries) / n;
}
BENCHMARK_CAPTURE(BM_Stage4, listing, false)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK_CAPTURE(BM_Stage4, index_probe, true)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);  // about ten million stat calls a run

int RunInsideDevice(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // Both scans must remove the same members in the same order.
  if (g_orders[0].empty() || g_orders[1].empty()) return 0;  // one of them filtered out
  const bool same = g_orders[0] == g_orders[1];
  std::printf("removal order: %zu members, %s\n", g_orders[0].size(),
              same ? "identical for both scans" : "DIFFERENT");
  return same ? 0 : 1;
}

int RunOnHost(int argc, char** argv) {
  qx::sim::DeviceSpec spec;
  spec.start_services = false;
  spec.binaries.push_back({QX_STAGE4_BENCH_BINARY, kDevicePath});
  std::string error;
  std::unique_ptr<qx::sim::Device> device = qx::sim::Device::Create(spec, &error);
  if (device == nullptr) {
    std::fprintf(stderr, "cleanup_stage4_bench: no device: %s\n", error.c_str());
    return 1;
  }
  std::vector<std::string> args = {kDevicePath};
  args.insert(args.end(), argv + 1, argv + argc);
  const qx::sim::RunResult run = device->Run(args, std::chrono::minutes(20));
  std::fputs(run.output.c_str(), stdout);
  if (!run.started) std::fprintf(stderr, "cleanup_stage4_bench: %s\n", run.error.c_str());
  return run.exited ? run.exit_status : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (::access(qx::sim::kDeviceMarker, F_OK) == 0) return RunInsideDevice(argc, argv);
  return RunOnHost(argc, argv);
}
