// Running one operation per benchmark iteration.
#pragma once

#include <benchmark/benchmark.h>

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

}  // namespace pelmor_bench
