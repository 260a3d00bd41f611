// Timing helpers shared by the benchmark programs. The machines these run
// on are shared and noisy, so every figure is the CPU time of this thread
// (time another process takes the core away does not count) and every ratio
// comes from operations timed in turn inside the same loop.
#pragma once

#include <benchmark/benchmark.h>

#include <ctime>
#include <functional>

namespace bench {

inline double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Runs floor, ours and (if given) peer in turn in every iteration. Reports
// ours_ms, floorName (ours / floor) and, with a peer, peer_ms and xOpenCV
// (ours / peer).
inline void timeInTurns(benchmark::State& state, const char* floorName, const std::function<void()>& floor,
                        const std::function<void()>& ours, const std::function<void()>& peer) {
    double tOurs = 0, tFloor = 0, tPeer = 0;
    for (auto _ : state) {
        const double t0 = threadSeconds();
        floor();
        benchmark::ClobberMemory();
        const double t1 = threadSeconds();
        ours();
        const double t2 = threadSeconds();
        if (peer) peer();
        const double t3 = threadSeconds();
        tFloor += t1 - t0;
        tOurs += t2 - t1;
        tPeer += t3 - t2;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["ours_ms"] = 1e3 * tOurs / n;
    state.counters[floorName] = tOurs / tFloor;
    if (peer) {
        state.counters["peer_ms"] = 1e3 * tPeer / n;
        state.counters["xOpenCV"] = tOurs / tPeer;
    }
}

}  // namespace bench
