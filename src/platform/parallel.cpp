// The library's pool of threads and its parallel loop over row strips.
#include "platform/parallel.h"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/attention_relay.h"
#include "imgnorm/exception.h"
#include "imgnorm/threads.h"

namespace {

constexpr std::int32_t kMaxThreads = 1024;
// A strip should hold at least this many pixels, so that starting it costs
// little next to its work ...
constexpr std::int64_t kStripPixels = std::int64_t{1} << 16;
// ... and there should be at most this many, enough for work stealing to
// even out the load on many cores.
constexpr std::int32_t kMostStrips = 64;

// IMGNORM_NUM_THREADS when it is an integer 1..kMaxThreads, else every core
// the process may run on.
std::int32_t defaultCount() {
    if (const char* text = std::getenv("IMGNORM_NUM_THREADS")) {
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        if (end != text && *end == '\0' && n >= 1 && n <= kMaxThreads)
            return static_cast<std::int32_t>(n);
    }
    return std::clamp(tbb::info::default_concurrency(), 1, kMaxThreads);
}

// The threads of one setting. Calls keep the pool they started with, so a
// new setting never disturbs a running operation.
struct Pool {
    explicit Pool(std::int32_t n) : count(n) {
        if (n > 1) arena = std::make_unique<tbb::task_arena>(n);
    }
    std::int32_t count;
    std::unique_ptr<tbb::task_arena> arena;  // null when the caller works alone
};

std::mutex& poolMutex() {
    static std::mutex m;
    return m;
}

std::shared_ptr<Pool>& poolSlot() {
    static std::shared_ptr<Pool> pool;
    return pool;
}

std::shared_ptr<Pool> currentPool() {
    const std::lock_guard<std::mutex> lock(poolMutex());
    std::shared_ptr<Pool>& pool = poolSlot();
    if (!pool) pool = std::make_shared<Pool>(defaultCount());
    return pool;
}

}  // namespace

void vfSetNumThreads(std::int32_t count) {
    if (count < 0 || count > kMaxThreads)
        throw vkPelFunc::BadParams("the number of threads must be 0 (the default) to 1024");
    auto pool = std::make_shared<Pool>(count == 0 ? defaultCount() : count);
    const std::lock_guard<std::mutex> lock(poolMutex());
    poolSlot().swap(pool);
}

std::int32_t vfNumThreads() {
    return currentPool()->count;
}

namespace vk_detail {

std::int32_t threadCount() {
    return vfNumThreads();
}

std::int32_t stripRows(std::int32_t height, std::int32_t width, std::int32_t minRows) {
    const std::int64_t forPixels = (kStripPixels + std::max(width, 1) - 1) / std::max(width, 1);
    const std::int64_t forCount = (std::int64_t{height} + kMostStrips - 1) / kMostStrips;
    const std::int64_t rows =
        std::max({std::int64_t{minRows}, forPixels, forCount, std::int64_t{1}});
    return static_cast<std::int32_t>(std::min<std::int64_t>(rows, std::max(height, 1)));
}

void runStrips(std::int32_t height, std::int32_t rowsPerStrip, StripFunction f, void* context) {
    if (height <= 0) return;
    const std::int32_t rows = std::max(rowsPerStrip, 1);
    const std::int32_t strips = stripCount(height, rows);
    const auto runStrip = [&](std::int32_t i) {
        const std::int32_t y0 = i * rows;
        f(context, y0, height - y0 > rows ? y0 + rows : height);
    };
    const std::shared_ptr<Pool> pool = strips > 1 ? currentPool() : nullptr;
    if (!pool || !pool->arena) {
        for (std::int32_t i = 0; i < strips; ++i)
            runStrip(i);
        return;
    }
    std::atomic<bool>* const token = currentAttention();
    // Isolation keeps a thread that waits for its own strips from picking up
    // strips of an unrelated call meanwhile (which could hold it for long,
    // or run into a lock the waiting call holds).
    pool->arena->execute([&] {
        tbb::this_task_arena::isolate([&] {
            tbb::parallel_for(
                tbb::blocked_range<std::int32_t>(0, strips, 1),
                [&](const tbb::blocked_range<std::int32_t>& range) {
                    const AttentionRelay relay(token);
                    for (std::int32_t i = range.begin(); i != range.end(); ++i)
                        runStrip(i);
                },
                tbb::simple_partitioner());
        });
    });
}

}  // namespace vk_detail
