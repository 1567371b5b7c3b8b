// Character classes of the log rendering, generated from the Unicode Character Database.
#pragma once

#include <cstddef>
#include <cstdint>

namespace helper_ipc::detail {

struct CodeRange {
  std::uint32_t first;
  std::uint32_t last;
};

// Sorted, disjoint ranges of the code points that the log rendering escapes.
extern const CodeRange kLogEscapedRanges[];
extern const std::size_t kLogEscapedRangeCount;

}  // namespace helper_ipc::detail
