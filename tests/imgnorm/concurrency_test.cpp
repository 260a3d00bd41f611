// One trained tool run from many threads at once, and the process-wide state
// (the persistent-class registry, the cache of pixel blocks) used from many threads at once. These
// tests also run under ThreadSanitizer (the tsan preset).
#include <gtest/gtest.h>

#include <imgnorm/memory.h>
#include <imgnorm/persistent.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "scene.h"

using namespace vkImageNormalizerDefs;

namespace {

constexpr int kThreads = 8;

template <class F>
void onThreads(F work) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(work, t);
    for (auto& thread : threads)
        thread.join();
}

template <int N>
struct Registered : vkPersistent {};

template <int... N>
void registerAndLookUp(int thread, std::integer_sequence<int, N...>) {
    using Make = vkPersistent* (*)();
    const std::type_info* types[] = {&typeid(Registered<N>)...};
    const Make makers[] = {[]() -> vkPersistent* { return new Registered<N>; }...};
    const std::string mine = vk_Instantiator::className(*types[thread]);
    for (int round = 0; round < 50; ++round) {
        const vk_Instantiator registration(*types[thread], makers[thread]);
        const std::unique_ptr<vkPersistent> made(vk_Instantiator::make(mine));
        ASSERT_TRUE(made);
        const vkPersistent& object = *made;
        EXPECT_TRUE(typeid(object) == *types[thread]);
        EXPECT_TRUE(vk_Instantiator::isRegistered("vkImageNormalizerDefs::CanNotTrain"));
    }
    EXPECT_FALSE(vk_Instantiator::isRegistered(mine));
}

}  // namespace

TEST(Concurrent, EightThreadsRunningEveryMethodOnOneToolGetTheSerialResults) {
    // A mask, a granularity and keepMaskedPixels, so that every trained
    // member is read; images under different light, one of them flat (a
    // global method then fails with a message).
    const auto ref = scene::texture(72, 48);
    vkImageNormalizer tool;
    tool.referenceImage(ref, true);
    tool.maskImage(scene::maskOf(ref.window(), vkPelRect(4, 3, 60, 40)), true);
    tool.neighborhoodSize({15, 11});
    tool.granularity({2, 2});
    tool.keepMaskedPixels(true);
    tool.train(static_cast<Method>(kKnownMethods), nullptr, 0);
    vkPelBuffer<std::uint8_t> flat(72, 48);
    vfPelSet<std::uint8_t>(flat, 90);
    const std::vector<vkPelBuffer<std::uint8_t>> images = {
        scene::mapped(ref,
                      [](double v, std::int32_t x, std::int32_t) { return v * 0.8 + x * 0.5; }),
        scene::texture(72, 48, 5), flat};
    const auto runOne = [&](std::size_t task) {
        vkDiagObject diag;
        return scene::runOn(tool, images[task / 7],
                            static_cast<Method>(task % 7 == 6 ? 0 : 1u << (task % 7)), &diag, 0x30000);
    };
    const std::size_t tasks = images.size() * 7;
    std::vector<scene::Outcome> serial;
    for (std::size_t i = 0; i < tasks; ++i)
        serial.push_back(runOne(i));

    std::atomic<int> differing{0};
    onThreads([&](int thread) {
        // Each thread starts at another task, so different methods overlap.
        for (std::size_t i = 0; i < 2 * tasks; ++i) {
            const std::size_t task = (i + static_cast<std::size_t>(thread) * 5) % tasks;
            if (!(runOne(task) == serial[task])) ++differing;
        }
    });
    EXPECT_EQ(differing, 0);
}

TEST(Concurrent, PersistentClassesRegisterAndAreMadeFromManyThreadsAtOnce) {
    onThreads(
        [](int thread) { registerAndLookUp(thread, std::make_integer_sequence<int, kThreads>()); });
}

TEST(Concurrent, ThreadsShareTheCacheOfPixelBlocksWhileItsCapChanges) {
    const std::size_t saved = vfPelCacheLimit();
    std::atomic<int> dirty{0};
    onThreads([&](int thread) {
        for (int i = 0; i < 24; ++i) {
            vkPelBuffer<std::uint8_t> b(1024, 1024 + 256 * ((thread + i) % 3));
            dirty += b.get(vkPair<std::int32_t>(1023, 1023)) != 0 ? 1 : 0;
            vfPelSet(b, std::uint8_t{7});
            if (thread == 0 && i % 8 == 0) vfSetPelCacheLimit(static_cast<std::size_t>(i) << 20);
        }
    });
    EXPECT_EQ(dirty, 0);
    EXPECT_LE(vfPelCacheBytes(), vfPelCacheLimit());
    vfSetPelCacheLimit(saved);
}
