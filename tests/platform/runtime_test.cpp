#include <gtest/gtest.h>
#include <imgnorm/attention.h>

#include <atomic>
#include <thread>

TEST(Attention, CancelReachesTheWorkerThreadOnlyAndNestedScopesRestore) {
    vkAttention::Token token;
    std::atomic<bool> started{false}, cancelled{false};
    std::thread worker([&] {
        vkAttention::Scope scope(token);
        started = true;
        try {
            for (;;)
                vkAttention::check();
        } catch (const vkAttention::Cancelled&) {
            cancelled = true;
        }
    });
    while (!started)
        std::this_thread::yield();
    token.cancel();
    worker.join();
    EXPECT_TRUE(cancelled);
    EXPECT_NO_THROW(vkAttention::check());  // this thread has no token
    vkAttention::Scope outer(token);
    {
        vkAttention::Token inner;
        vkAttention::Scope nested(inner);
        EXPECT_NO_THROW(vkAttention::check());
    }
    EXPECT_THROW(vkAttention::check(), vkAttention::Cancelled);
    token.reset();
    EXPECT_NO_THROW(vkAttention::check());
}
