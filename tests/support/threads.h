// Test helper: run an operation under several thread counts.
#pragma once

#include <imgnorm/threads.h>

#include <cstdint>
#include <iterator>

namespace testthreads {

// Counts that split work unevenly (3, 7) besides the common ones.
inline constexpr std::int32_t kCounts[] = {1, 2, 3, 7};

// Sets the library's thread count for the scope, then restores the default.
class Count {
  public:
    explicit Count(std::int32_t n) { vfSetNumThreads(n); }
    ~Count() { vfSetNumThreads(0); }
    Count(const Count&) = delete;
    Count& operator=(const Count&) = delete;
};

// run() under each of kCounts; every result must equal the one-thread one.
// Returns the first count whose result differs, or 0 when none does.
template <class F>
std::int32_t firstCountThatDiffers(F run) {
    decltype(run()) first;
    for (int i = 0; i < static_cast<int>(std::size(kCounts)); ++i) {
        const Count count(kCounts[i]);
        auto got = run();
        if (i == 0)
            first = got;
        else if (!(got == first))
            return kCounts[i];
    }
    return 0;
}

}  // namespace testthreads
