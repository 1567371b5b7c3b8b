// pelmor_bench: the benchmarks of the protocol library, the daemon's connection loop and its tool
// runner, each beside a baseline measured in the same run. scripts/bench runs it and prints the
// table of ratios; BENCHMARKS.md explains the figures.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "benchmarks.h"
#include "environment.h"
#include "peers.h"

namespace {

std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) return line.substr(line.find_first_not_of(" \t", colon + 1));
    }
  }
  return "unknown";
}

std::optional<std::string> out_file(int argc, char** argv) {
  constexpr std::string_view kFlag = "--benchmark_out=";
  std::optional<std::string> file;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.substr(0, kFlag.size()) == kFlag) file = std::string(arg.substr(kFlag.size()));
  }
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<std::string> results = out_file(argc, argv);  // Initialize takes it away
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // As root this returns twice: in the supervising process with its exit status, and in the
  // benchmark process (no longer root) with nothing.
  if (const std::optional<int> status = pelmor_bench::enter(results)) return *status;

  benchmark::AddCustomContext("cpu_model", cpu_model());
#if defined(__clang__)
  benchmark::AddCustomContext("compiler", __VERSION__);
#elif defined(__GNUC__)
  benchmark::AddCustomContext("compiler", "GCC " __VERSION__);
#endif
  benchmark::AddCustomContext("simdjson_ondemand_kernel", pelmor_bench::SimdjsonOnDemand::kernel());
  const auto& unavailable = pelmor_bench::daemon_unavailable();
  benchmark::AddCustomContext("daemon", unavailable ? "unavailable: " + *unavailable : "running");
  if (unavailable)
    std::fprintf(stderr, "pelmor_bench: daemon benchmarks skip: %s\n", unavailable->c_str());

  pelmor_bench::register_decode_benchmarks();
  pelmor_bench::register_frame_benchmarks();
  pelmor_bench::register_socket_benchmarks();
  pelmor_bench::register_tool_benchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  pelmor_bench::leave();
  return 0;
}
