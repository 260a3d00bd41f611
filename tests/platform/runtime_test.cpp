// Cancellation, diagnostics recording, assertion reporting and formatting.
#include <gtest/gtest.h>
#include <imgnorm/attention.h>
#include <imgnorm/diag.h>
#include <imgnorm/util.h>

#include <atomic>
#include <thread>

TEST(Attention, CheckWithoutTokenNeverThrows) { EXPECT_NO_THROW(vkAttention::check()); }

TEST(Attention, CancelFromAnotherThreadReachesTheWorker) {
    vkAttention::Token token;
    std::atomic<bool> started{false};
    std::atomic<bool> cancelled{false};
    std::thread worker([&] {
        vkAttention::Scope scope(token);
        started = true;
        try {
            for (;;) vkAttention::check();
        } catch (const vkAttention::Cancelled&) {
            cancelled = true;
        }
    });
    while (!started) std::this_thread::yield();
    token.cancel();
    worker.join();
    EXPECT_TRUE(cancelled);
    EXPECT_NO_THROW(vkAttention::check());  // this thread has no token
}

TEST(Attention, ScopesNestAndRestore) {
    vkAttention::Token outer, inner;
    outer.cancel();
    vkAttention::Scope a(outer);
    {
        vkAttention::Scope b(inner);
        EXPECT_NO_THROW(vkAttention::check());
    }
    EXPECT_THROW(vkAttention::check(), vkAttention::Cancelled);
    outer.reset();
    EXPECT_NO_THROW(vkAttention::check());
}

TEST(Diag, RecordsKeepOrderNameLevelAndKind) {
    vkDiagObject diag;
    vkPelBuffer<std::uint8_t> img(2, 2);
    vf_AddImage(&diag, img, "view", false);
    diag.level(3);
    vf_AddImage(&diag, img, "copy", true);
    vf_AddText(&diag, "a=1\n", "text");
    vf_AddImage(nullptr, img, "ignored", false);
    img.set(vkPair<std::int32_t>(0, 0), 9);

    ASSERT_EQ(diag.records().size(), 3u);
    const auto& r = diag.records();
    EXPECT_EQ(r[0].name(), "view");
    EXPECT_EQ(r[0].level(), 0);
    EXPECT_TRUE(r[0].isImage());
    EXPECT_EQ(r[0].image().get(vkPair<std::int32_t>(0, 0)), 9);  // shares pixels
    EXPECT_EQ(r[1].level(), 3);
    EXPECT_EQ(r[1].image().get(vkPair<std::int32_t>(0, 0)), 0);  // copied before the change
    EXPECT_FALSE(r[2].isImage());
    EXPECT_EQ(r[2].text(), "a=1\n");
    EXPECT_TRUE(vkDiagObject::shouldRecord(0x30000, 0x20000));
    EXPECT_FALSE(vkDiagObject::shouldRecord(0x10000, 0x20000));
}

TEST(Assert, ReportsByThrowingWithTheLine) {
    try {
        vstd_assert_(1234);
        FAIL();
    } catch (const vkAssertionFailure& e) {
        EXPECT_NE(std::string(e.what()).find("1234"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("runtime_test.cpp"), std::string::npos);
    }
}

TEST(Util, FormattingAndClamping) {
    EXPECT_EQ(vfStr(true), "true");
    EXPECT_EQ(vfStr(false), "false");
    EXPECT_EQ(vfStr(std::int32_t{-17}), "-17");
    EXPECT_EQ(vfStr(101.0), "101");
    EXPECT_EQ(vfStr(0.3), "0.3");
    EXPECT_EQ(vfStr(-127.0), "-127");
    EXPECT_EQ(vfILimit(300, 0, 255), 255);
    EXPECT_EQ(vfILimit(-4, 0, 255), 0);
    EXPECT_TRUE(vfRealEq(vkVector<2>(1, 2), vkVector<2>(1.5, 2), 0.5));
    EXPECT_FALSE(vfRealEq(vkVector<2>(1, 2), vkVector<2>(1.5, 2), 0.0));
}
