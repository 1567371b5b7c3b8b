// Allocations that fail on purpose, for the tests that show what the code does when memory runs
// out. Included by one file of a test program, it replaces operator new for the whole program, the
// libraries that the program loads included; not under ThreadSanitizer, whose runtime owns it.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_THREAD__)
#define PELMOR_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PELMOR_TSAN 1
#endif
#endif

namespace failing_allocator {

#if defined(PELMOR_TSAN)
inline constexpr bool kInPlace = false;
#else
inline constexpr bool kInPlace = true;
#endif
// This thread's allocations: how many more succeed (-1: any number), the largest that succeeds
// (0: any size), and whether one has failed.
inline thread_local long left = -1;
inline thread_local std::size_t largest = 0;
inline thread_local bool refused = false;

}  // namespace failing_allocator

#if !defined(PELMOR_TSAN)
// Not inlined: inlined, the pair of malloc and free looks mismatched to GCC.
[[gnu::noinline]] void* operator new(std::size_t size) {
  namespace fa = failing_allocator;
  if (fa::left == 0 || (fa::largest != 0 && size > fa::largest)) {
    fa::refused = true;
    throw std::bad_alloc();
  }
  if (fa::left > 0) --fa::left;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
  std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
#endif
