#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "scene.h"

using namespace vkImageNormalizerDefs;

// Faults for the failure test: the countdown-th operator new from now on
// throws std::bad_alloc, or cancels faultToken instead (the next cancellation
// poll then stops the call). The replacement allocates with malloc, which the
// sanitizers still watch, so nothing changes for the other tests.
namespace {
std::atomic<int> allocCountdown{0};
bool cancelInsteadOfThrowing = false;
vkAttention::Token faultToken;
}  // namespace

void* operator new(std::size_t size) {
    if (allocCountdown.load(std::memory_order_relaxed) > 0 && allocCountdown.fetch_sub(1) == 1) {
        if (!cancelInsteadOfThrowing) throw std::bad_alloc();
        faultToken.cancel();
    }
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}
// Out of line, so that the compiler does not take free after new for a mismatch.
[[gnu::noinline]] void freeAllocation(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p) noexcept {
    freeAllocation(p);
}
void operator delete(void* p, std::size_t) noexcept {
    freeAllocation(p);
}

namespace {

void expectCanNotTrain(vkImageNormalizer& t, std::uint32_t methods, const std::string& message) {
    scene::expectThrow<CanNotTrain>([&] { t.train(static_cast<Method>(methods), nullptr, 0); }, message);
}

}  // namespace

TEST(Train, BadRequestsAndEmptyMaskedHistogramsKeepOnlyWhatCouldTrain) {
    const auto ref = scene::texture(16, 16);
    vkImageNormalizer t = scene::trained(ref, eMatchHistogram), unbound;
    for (std::uint32_t bad : {64u, eMatchHistogram | 128u}) expectCanNotTrain(t, bad, "<methods> contains an unknown normalization method.");
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram);
    expectCanNotTrain(unbound, eMatchHistogram, "referenceImage() must be bound for the specified methods.");
    // A mask away from the reference, or one that excludes everything: only
    // the global methods fail.
    for (const auto& mask : {scene::maskOf(vkPelRect(100, 100, 8, 8), vkPelRect(100, 100, 8, 8)), scene::maskOf(ref.window(), {})}) {
        vkImageNormalizer m = scene::trained(ref, eIdentity, mask);
        expectCanNotTrain(m, eMatchMeanAndStddev, "Histogram must be non-empty for the specified methods.");
        EXPECT_EQ(m.trainedMethods(), eIdentity);
        expectCanNotTrain(m, eMatchHistogram | eLocalCorrection, "Histogram must be non-empty for the specified methods.");
        EXPECT_EQ(m.trainedMethods(), eLocalCorrection);
    }
}

// The reference histogram's counts are 32-bit: a view over four rows of
// storage claiming 65536 x 65536 pixels is refused before a pixel is read,
// and trains once a mask narrows it to those rows.
TEST(Train, AReferenceOf2To32PixelsIsRefusedUnlessTheMaskNarrowsIt) {
    constexpr std::int32_t kSide = 65536;
    std::vector<std::uint8_t> rows(4 * kSide, 7);
    vkImageNormalizer t;
    t.referenceImage(vkPelBuffer_const<std::uint8_t>(rows.data(), kSide, kSide, kSide, nullptr), false);
    expectCanNotTrain(t, eMatchHistogram,
                      "referenceImage() holds 2^32 or more pixels where the mask allows, more than the "
                      "histogram can count.");
    vkPelBuffer<std::uint8_t> mask(kSide, 4);
    vfPelSet<std::uint8_t>(mask, 1);
    t.maskImage(mask, false);
    t.train(eMatchHistogram, nullptr, 0);
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram);
}

TEST(Train, SettersUntrainButSetKeepsTheTraining) {
    vkImageNormalizer t = scene::trained(scene::texture(16, 16), eIdentity);
    for (int setter = 0; setter < 7; ++setter) {
        t.train(eMatchHistogram, nullptr, 0);
        if (setter == 0) t.neighborhoodSize(t.neighborhoodSize());
        if (setter == 1) t.granularity(t.granularity());
        if (setter == 2) t.tailFractions(t.tailFractions());
        if (setter == 3) t.intensityVariationRange(t.intensityVariationRange());
        if (setter == 4) t.keepMaskedPixels(false);
        if (setter == 5) t.referenceImage(t.referenceImage(), false);
        if (setter == 6) t.maskImage(t.maskImage(), false);
        EXPECT_EQ(t.trainedMethods(), eIdentity) << "setter " << setter;
    }
    t.train(eMatchHistogram, nullptr, 0);
    t.set({0.1, 0.9}, {-5, 5}, true);
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram);
}

// Runs call with the n-th allocation failing (or cancelling), for n = 1, 2,
// ... until it completes; check(completed) runs after each attempt.
template <class Call, class Check>
void failAtEveryAllocation(bool cancel, Call call, Check check) {
    const vkAttention::Scope scope(faultToken);
    bool done = false;
    for (int n = 1; !done; ++n) {
        SCOPED_TRACE(::testing::Message()
                     << (cancel ? "cancelled at allocation " : "failed allocation ") << n);
        cancelInsteadOfThrowing = cancel;
        allocCountdown = n;
        try {
            call();
            done = true;
        } catch (const std::bad_alloc&) {
            EXPECT_FALSE(cancel);
        } catch (const vkAttention::Cancelled&) {
            EXPECT_TRUE(cancel);
        }
        allocCountdown = 0;
        faultToken.reset();
        check(done);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(Train, AFailureAtAnyPointLeavesThePreviousTrainingRunningBitIdentically) {
    // The mask is shared with the caller: changing its pixels changes every
    // trained member that a retraining derives (masks, weights, histogram),
    // while the tool stays trained.
    const auto ref = scene::texture(40, 30), image = scene::texture(40, 30, 7);
    vkPelBuffer<std::uint8_t> mask = scene::maskOf(ref.window(), vkPelRect(3, 2, 30, 24));
    vkImageNormalizer tool;
    tool.referenceImage(ref, true);
    tool.maskImage(mask, false);
    tool.neighborhoodSize({9, 7});
    tool.granularity({2, 2});
    tool.keepMaskedPixels(true);
    tool.train(static_cast<Method>(kKnownMethods), nullptr, 0);
    const auto results = [&](const vkImageNormalizer& t) {
        std::vector<vkPelBuffer<std::uint8_t>> out;
        bool ok = false;
        std::string message;
        for (std::uint32_t m = 1; m <= 32; m <<= 1)
            out.push_back(t.run(image, static_cast<Method>(m), ok, message, nullptr, 0));
        return out;
    };
    const auto before = results(tool);
    const auto changedRuns = [&](const vkImageNormalizer& t) {
        const auto after = results(t);
        int changed = 0;
        for (std::size_t i = 0; i < before.size(); ++i)
            changed += vf_PelBufferEqual(after[i], before[i], 0.0) ? 0 : 1;
        return changed;
    };
    vkPelBuffer<std::uint8_t> hole = mask;
    hole.window(vkPelRect(10, 8, 12, 10));
    vfPelSet(hole, std::uint8_t{0});

    for (bool cancel : {false, true}) {
        vkImageNormalizer t = tool;
        failAtEveryAllocation(
            cancel, [&] { t.train(static_cast<Method>(kKnownMethods), nullptr, 0); },
            [&](bool trained) {
                ASSERT_EQ(t.trainedMethods(), kKnownMethods);
                // Only a training that completed may change what the tool
                // does (and this one changes it).
                ASSERT_EQ(changedRuns(t) > 0, trained);
                if (!trained) t = tool;
            });
    }

    // A copy assignment that fails (here: where it allocates the target's
    // histogram or fit angles) leaves the target as it was.
    vkImageNormalizer t;
    t.granularity({3, 3});
    const vkImageNormalizer untrained = t;
    failAtEveryAllocation(
        false, [&] { t = tool; },
        [&](bool assigned) {
            ASSERT_TRUE(assigned ? t == tool && changedRuns(t) == 0 : t == untrained);
        });
}
