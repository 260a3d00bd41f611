// Cancellation tokens and the per-thread cancellation poll.
#include "imgnorm/attention.h"

#include "platform/attention_relay.h"

namespace {
thread_local std::atomic<bool>* tCurrent = nullptr;
}  // namespace

vkAttention::Token::Token() : flag_(std::make_shared<std::atomic<bool>>(false)) {}
void vkAttention::Token::cancel() const { flag_->store(true, std::memory_order_relaxed); }
void vkAttention::Token::reset() const { flag_->store(false, std::memory_order_relaxed); }
bool vkAttention::Token::isCancelled() const { return flag_->load(std::memory_order_relaxed); }

vkAttention::Scope::Scope(const Token& token) : flag_(token.flag_), previous_(tCurrent) {
    tCurrent = flag_.get();
}

vkAttention::Scope::~Scope() { tCurrent = previous_; }

void vkAttention::check() {
    if (tCurrent != nullptr && tCurrent->load(std::memory_order_relaxed)) throw Cancelled();
}

std::atomic<bool>* vk_detail::currentAttention() { return tCurrent; }

vk_detail::AttentionRelay::AttentionRelay(std::atomic<bool>* flag) : previous_(tCurrent) {
    tCurrent = flag;
}

vk_detail::AttentionRelay::~AttentionRelay() { tCurrent = previous_; }
