// What one end-to-end case pays for its device: create, run `true` inside, tear down.
// Target: median under 50 ms. Peers measured in the same run: running `true` in an existing
// device, and a plain fork+exec of the host's own true (the floor of running any program).
//
//   build/release/bench/sim/sim_device_bench --benchmark_repetitions=20
//       --benchmark_report_aggregates_only=true   (one command line)
#include <spawn.h>
#include <sys/wait.h>

#include <memory>
#include <string>

#include "benchmark/benchmark.h"
#include "sim/host/device.h"

extern char** environ;

namespace {

void CreateRunTrueTeardown(benchmark::State& state) {
  qx::sim::DeviceSpec spec;
  spec.start_services = state.range(0) != 0;
  for (auto _ : state) {
    std::string error;
    auto device = qx::sim::Device::Create(spec, &error);
    if (!device) {
      state.SkipWithError(error.c_str());
      return;
    }
    const qx::sim::RunResult result = device->Run({"/bin/true"});
    if (!result.exited || result.exit_status != 0) state.SkipWithError("true failed");
  }
}
BENCHMARK(CreateRunTrueTeardown)
    ->Arg(1)
    ->Arg(0)
    ->ArgName("services")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void RunTrueInExistingDevice(benchmark::State& state) {
  std::string error;
  auto device = qx::sim::Device::Create(qx::sim::DeviceSpec{}, &error);
  if (!device) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(device->Run({"/bin/true"}).exit_status);
}
BENCHMARK(RunTrueInExistingDevice)->Unit(benchmark::kMillisecond)->UseRealTime();

void HostForkExecTrue(benchmark::State& state) {
  char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
  for (auto _ : state) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) != 0) {
      state.SkipWithError("posix_spawn failed");
      return;
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
}
BENCHMARK(HostForkExecTrue)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
