// Running one operation per benchmark iteration, alone or paired with its baseline.
#pragma once

#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <string>

namespace pelmor_bench {

// One client operation: returns the empty string on success, else why it failed.
using Operation = std::function<std::string()>;

// Runs `op` once per iteration; the first failure skips the benchmark with its text.
inline void run_operation(benchmark::State& state, const Operation& op) {
  for (auto _ : state) {
    if (const std::string failure = op(); !failure.empty()) {
      state.SkipWithError(failure.c_str());
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

// Runs `ours` and `baseline` alternately, one of each per iteration (in turn first), each timed
// on its own with the monotonic clock. Whatever else the machine does in the meantime falls on
// both alike, so their ratio holds where separate runs of the two drift apart. Reports the mean
// time of each (ours_ns, baseline_ns) and their ratio (ratio: ours / baseline) as counters.
inline void run_paired(benchmark::State& state, const Operation& ours, const Operation& baseline) {
  using Clock = std::chrono::steady_clock;
  Clock::duration ours_total{}, baseline_total{};
  auto timed = [](const Operation& op, Clock::duration& total) {
    const auto start = Clock::now();
    std::string failure = op();
    total += Clock::now() - start;
    return failure;
  };
  bool ours_first = true;
  for (auto _ : state) {
    std::string failure = ours_first ? timed(ours, ours_total) : timed(baseline, baseline_total);
    if (failure.empty()) {
      failure = ours_first ? timed(baseline, baseline_total) : timed(ours, ours_total);
    }
    if (!failure.empty()) {
      state.SkipWithError(failure.c_str());
      break;
    }
    ours_first = !ours_first;
  }
  const auto n = static_cast<double>(state.iterations());
  if (n == 0 || baseline_total.count() == 0) return;
  using Ns = std::chrono::duration<double, std::nano>;
  state.counters["ours_ns"] = Ns(ours_total).count() / n;
  state.counters["baseline_ns"] = Ns(baseline_total).count() / n;
  state.counters["ratio"] = Ns(ours_total).count() / Ns(baseline_total).count();
}

}  // namespace pelmor_bench
