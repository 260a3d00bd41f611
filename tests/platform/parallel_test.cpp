#include <gtest/gtest.h>
#include <imgnorm/attention.h>
#include <imgnorm/threads.h>
#include <oneapi/tbb/info.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "platform/attention_relay.h"
#include "platform/parallel.h"
#include "support/threads.h"

namespace {

using Strip = std::pair<std::int32_t, std::int32_t>;

void brief() {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
}

}  // namespace

TEST(ParallelRows, EveryThreadCountCutsTheSameStripsAndRunsEachOnce) {
    for (const std::int32_t height : {1, 63, 1000, 4099})
        for (const std::int32_t rows : {1, 7, 64, 5000}) {
            std::vector<Strip> want;
            for (std::int32_t y = 0; y < height; y += rows)
                want.emplace_back(y, std::min(y + rows, height));
            for (const std::int32_t n : testthreads::kCounts) {
                const testthreads::Count count(n);
                std::mutex m;
                std::vector<Strip> got;
                vk_detail::parallelRows(height, rows, [&](std::int32_t y0, std::int32_t y1) {
                    const std::lock_guard<std::mutex> lock(m);
                    got.emplace_back(y0, y1);
                });
                std::sort(got.begin(), got.end());
                EXPECT_EQ(got, want) << height << " rows by " << rows << ", " << n << " threads";
            }
        }
}

TEST(ParallelRows, WorkersSeeTheCallersTokenAndFailuresReachTheCallerAfterAllStrips) {
    const testthreads::Count count(2);
    vkAttention::Token token;
    const vkAttention::Scope scope(token);
    std::atomic<bool>* const callers = vk_detail::currentAttention();
    std::atomic<int> seen{0}, running{0};
    vk_detail::parallelRows(64, 1, [&](std::int32_t, std::int32_t) {
        brief();
        seen += vk_detail::currentAttention() == callers;
    });
    EXPECT_EQ(seen, 64);

    const auto failAt = [&](std::int32_t y0) {
        ++running;
        brief();
        --running;
        if (y0 == 5) throw std::range_error("strip 5");
    };
    EXPECT_THROW(
        try {
            vk_detail::parallelRows(64, 1, [&](std::int32_t y0, std::int32_t) { failAt(y0); });
        } catch (...) {
            EXPECT_EQ(running, 0);
            throw;
        },
        std::range_error);

    token.cancel();
    EXPECT_THROW(
        vk_detail::parallelRows(64, 1, [](std::int32_t, std::int32_t) { vkAttention::check(); }),
        vkAttention::Cancelled);
}

TEST(ParallelRows, CallsFromSeveralThreadsShareTheCount) {
    const testthreads::Count count(2);
    std::atomic<int> running{0}, most{0};
    const auto strip = [&](std::int32_t, std::int32_t) {
        const int now = ++running;
        int seen = most;
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        brief();
        --running;
    };
    std::vector<std::thread> callers;
    for (int i = 0; i < 4; ++i)
        callers.emplace_back([&] { vk_detail::parallelRows(32, 1, strip); });
    for (std::thread& t : callers)
        t.join();
    EXPECT_LE(most, 2);
}

TEST(ThreadCount, SetCountEnvironmentOrAllCores) {
    const std::int32_t cores = std::max(1, tbb::info::default_concurrency());
    const struct {
        const char* env;
        std::int32_t set;
        std::int32_t want;
    } cases[] = {{nullptr, 0, cores}, {"3", 0, 3}, {"0", 0, cores}, {"3x", 0, cores},
                 {"2000", 0, cores},  {"3", 5, 5}, {nullptr, 1, 1}};
    for (const auto& c : cases) {
        if (c.env != nullptr)
            setenv("IMGNORM_NUM_THREADS", c.env, 1);
        else
            unsetenv("IMGNORM_NUM_THREADS");
        vfSetNumThreads(c.set);
        EXPECT_EQ(vfNumThreads(), c.want)
            << (c.env != nullptr ? c.env : "unset") << ", set " << c.set;
    }
    unsetenv("IMGNORM_NUM_THREADS");
    vfSetNumThreads(0);
    EXPECT_THROW(vfSetNumThreads(-1), vkPelFunc::BadParams);
    EXPECT_THROW(vfSetNumThreads(1025), vkPelFunc::BadParams);
    EXPECT_EQ(vfNumThreads(), cores);
}
