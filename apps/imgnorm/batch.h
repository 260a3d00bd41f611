// Runs a batch of independent items on worker threads, reporting each
// item's outcome in input order, with an optional progress line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace imgnorm_cli {

struct ItemResult {
    bool ok = false;
    std::string message;  // what went wrong, or a note on success
};

// A line on stderr showing images done / total, rate and time left,
// redrawn in place. Disabled, it prints nothing.
class ProgressLine {
public:
    ProgressLine(bool enabled, std::size_t total);
    bool enabled() const { return enabled_; }
    // Erases the line, so that other output can be written.
    void clear();
    // Draws the line for done items (at most ten times a second, and always
    // for the last item).
    void draw(std::size_t done);
    // The text of the line, for done items after elapsed seconds.
    static std::string text(std::size_t done, std::size_t total, double elapsedSeconds);

private:
    bool enabled_;
    bool shown_ = false;
    std::size_t total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// Calls work(index, worker) for every index below count, on `jobs` threads
// (worker is 0 .. jobs-1, so each thread can own its data). report(index,
// result) is called exactly once per item, in index order, never for two
// items at once. An exception from work counts as a failure of that item;
// the other items go on. Once *stop is true no further item is started;
// the items already started finish and are reported (they are always the
// first ones). Returns the number of items run.
std::size_t runBatch(std::size_t count, int jobs, const std::function<ItemResult(std::size_t, int)>& work,
                     const std::function<void(std::size_t, const ItemResult&)>& report, ProgressLine& progress,
                     const std::atomic<bool>* stop = nullptr);

}  // namespace imgnorm_cli
