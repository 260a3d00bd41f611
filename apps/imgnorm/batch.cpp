// Worker threads, in-order reporting and the progress line.
#include "batch.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace imgnorm_cli {

ProgressLine::ProgressLine(bool enabled, std::size_t total)
    : enabled_(enabled), total_(total), start_(std::chrono::steady_clock::now()), lastDraw_() {}

void ProgressLine::clear() {
    if (!enabled_ || !shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    shown_ = false;
}

std::string ProgressLine::text(std::size_t done, std::size_t total, double elapsed) {
    char buf[128];
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
    if (done == 0 || rate <= 0) {
        std::snprintf(buf, sizeof buf, "%zu/%zu images", done, total);
    } else {
        const long left = std::lround(static_cast<double>(total - done) / rate);
        std::snprintf(buf, sizeof buf, "%zu/%zu images  %.1f/s  %ld:%02ld left", done, total, rate, left / 60,
                      left % 60);
    }
    return buf;
}

void ProgressLine::draw(std::size_t done) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (done < total_ && shown_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\r\033[K%s", text(done, total_, elapsed).c_str());
    std::fflush(stderr);
    shown_ = true;
}

std::size_t runBatch(std::size_t count, int jobs, const std::function<ItemResult(std::size_t, int)>& work,
                     const std::function<void(std::size_t, const ItemResult&)>& report, ProgressLine& progress,
                     const std::atomic<bool>* stop) {
    std::atomic<std::size_t> nextItem{0};
    std::atomic<std::size_t> started{0};
    std::mutex mutex;
    std::vector<std::optional<ItemResult>> results(count);
    std::size_t nextReport = 0;

    auto worker = [&](int index) {
        for (;;) {
            if (stop != nullptr && stop->load()) return;
            const std::size_t i = nextItem.fetch_add(1);
            if (i >= count) return;
            started.fetch_add(1);
            ItemResult result;
            try {
                result = work(i, index);
            } catch (const std::exception& e) {
                result = {false, e.what()};
            } catch (...) {
                result = {false, "unknown error"};
            }
            const std::lock_guard<std::mutex> lock(mutex);
            results[i] = std::move(result);
            if (nextReport < count && results[nextReport]) {
                progress.clear();
                for (; nextReport < count && results[nextReport]; ++nextReport) {
                    report(nextReport, *results[nextReport]);
                    results[nextReport].reset();
                }
            }
            progress.draw(nextReport);
        }
    };

    const int threads = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(jobs, 1)), count));
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t) pool.emplace_back(worker, t);
    worker(0);
    for (std::thread& t : pool) t.join();
    progress.clear();
    return started.load();
}

}  // namespace imgnorm_cli
