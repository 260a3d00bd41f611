// Hands the calling thread's cancellation token to worker threads.
#pragma once

#include <atomic>

namespace vk_detail {

// The flag of the token installed on the calling thread; null when none.
std::atomic<bool>* currentAttention();

// Installs a flag taken from another thread with currentAttention() on the
// calling thread while it lives (the flag's owner must outlive it).
class AttentionRelay {
  public:
    explicit AttentionRelay(std::atomic<bool>* flag);
    ~AttentionRelay();
    AttentionRelay(const AttentionRelay&) = delete;
    AttentionRelay& operator=(const AttentionRelay&) = delete;

  private:
    std::atomic<bool>* previous_;
};

}  // namespace vk_detail
