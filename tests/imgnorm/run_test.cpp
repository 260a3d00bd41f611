#include <gtest/gtest.h>

#include <cstdlib>

#include "imgnorm/attention.h"
#include "scene.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;

namespace {

struct Outcome {
    vkPelBuffer<std::uint8_t> image;
    bool success = false;
    std::string message;
};

Outcome runOn(const vkImageNormalizer& t, const vkPelBuffer_const<std::uint8_t>& img, Method m,
              vkDiagObject* diag = nullptr, std::uint32_t flags = 0) {
    Outcome o;
    o.image = t.run(img, m, o.success, o.message, diag, flags);
    return o;
}

vkImageNormalizer trained(const vkPelBuffer_const<std::uint8_t>& ref, Method m,
                          const vkPelBuffer_const<std::uint8_t>& mask = {}) {
    vkImageNormalizer t;
    t.referenceImage(ref, true);
    t.maskImage(mask, true);
    t.train(m, nullptr, 0);
    return t;
}

// Largest absolute difference between two equally sized windows.
int maxDiff(const vkPelBuffer_const<std::uint8_t>& a, const vkPelBuffer_const<std::uint8_t>& b) {
    EXPECT_EQ(a.width(), b.width());
    EXPECT_EQ(a.height(), b.height());
    int m = 0;
    auto pa = testimg::pixels(a), pb = testimg::pixels(b);
    for (size_t i = 0; i < pa.size() && i < pb.size(); ++i) m = std::max(m, std::abs(int(pa[i]) - int(pb[i])));
    return m;
}

const Method kGlobal[] = {eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails};

}  // namespace

TEST(Run, IdentityCopiesTheWholeImageEvenUntrained) {
    vkImageNormalizer t;
    auto img = testimg::embedded<std::uint8_t>(scene::texture(9, 7), 2, 0, P(3, 4));
    Outcome o = runOn(t, img, eIdentity);
    EXPECT_TRUE(o.success);
    EXPECT_TRUE(o.message.empty());
    EXPECT_EQ(o.image.window(), img.window());
    EXPECT_NE(o.image.root(), img.root());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(o.image), testimg::pixels<std::uint8_t>(img));
}

TEST(Run, ChecksRunInOrderAndResetSuccessAndMessage) {
    vkImageNormalizer t = trained(scene::texture(16, 16), eLocalCorrection);
    bool success = true;
    std::string message = "stale";
    vkPelBuffer<std::uint8_t> unbound;
    auto expectBad = [&](Method m, const vkPelBuffer_const<std::uint8_t>& img, const std::string& text) {
        success = true;
        message = "stale";
        try {
            t.run(img, m, success, message, nullptr, 0);
            ADD_FAILURE() << "no exception for " << text;
        } catch (const Errors& e) {
            EXPECT_EQ(e.message(), text);
        }
        EXPECT_FALSE(success);
        EXPECT_TRUE(message.empty());
    };
    expectBad(static_cast<Method>(64), scene::texture(4, 4), "Cannot specify an unknown normalization method.");
    expectBad(eMatchHistogram | eMatchMeanAndStddev, unbound, "Cannot run with more than one normalization method.");
    expectBad(eMatchHistogram, scene::texture(4, 4), "This tool was not trained for the specified  method.");
    expectBad(eLocalCorrection, unbound, "Image must be bound.");
    EXPECT_THROW(t.run(scene::texture(4, 4), eMatchHistogram, success, message, nullptr, 0), NotTrained);
}

TEST(Run, DisjointWindowsGiveAnUnboundSuccess) {
    auto ref = scene::texture(16, 16);
    vkImageNormalizer t = trained(ref, eMatchHistogram);
    auto far = scene::texture(8, 8);
    far.offset(50, 50);
    Outcome o = runOn(t, far, eMatchHistogram);
    EXPECT_TRUE(o.success);
    EXPECT_FALSE(o.image.isBound());
}

TEST(Run, MaskExcludingTheCommonWindowGivesAnEmptyHistogram) {
    auto ref = scene::texture(32, 16);
    vkPelBuffer<std::uint8_t> mask(32, 16);
    vkPelBuffer<std::uint8_t> left = mask;
    left.window(vkPelRect(0, 0, 16, 16));
    vfPelSet<std::uint8_t>(left, 255);
    auto img = scene::texture(16, 16, 9);
    img.offset(16, 0);  // lies entirely over the excluded half
    for (Method m : kGlobal) {
        vkImageNormalizer t = trained(ref, m, mask);
        Outcome o = runOn(t, img, m);
        EXPECT_FALSE(o.success);
        EXPECT_EQ(o.message, "Cannot normalize since histogram is empty.");
        EXPECT_FALSE(o.image.isBound());
    }
}

TEST(Run, MeanAndStddevOfAFlatImageFails) {
    vkImageNormalizer t = trained(scene::texture(16, 16), eMatchMeanAndStddev);
    vkPelBuffer<std::uint8_t> flat(16, 16);
    vfPelSet<std::uint8_t>(flat, 90);
    Outcome o = runOn(t, flat, eMatchMeanAndStddev);
    EXPECT_FALSE(o.success);
    EXPECT_EQ(o.message, "Cannot match when standard deviation is 0.");
    EXPECT_FALSE(o.image.isBound());
}

TEST(Run, GlobalMethodsUndoAGlobalLightingChange) {
    auto ref = scene::texture(64, 48);
    // A strictly increasing map keeps every level distinct: matching the
    // histogram undoes it exactly; the linear stretches undo a linear one.
    auto monotone = scene::mapped(ref, [](double v, int, int) { return 1.1 * v - 10; });
    for (Method m : kGlobal) {
        vkImageNormalizer t = trained(ref, m);
        Outcome o = runOn(t, monotone, m);
        ASSERT_TRUE(o.success) << o.message;
        EXPECT_EQ(o.image.window(), ref.window());
        EXPECT_LE(maxDiff(o.image, ref), m == eMatchHistogram ? 0 : 2) << m;
    }
}

TEST(Run, WorksOnViewsThatOnlyPartlyOverlap) {
    auto refStorage = testimg::embedded<std::uint8_t>(scene::texture(40, 30), 5, 0, P(0, 0));
    auto runTime = testimg::embedded<std::uint8_t>(scene::texture(40, 30, 5), 3, 255, P(10, 12));
    runTime.clientFromImageXform(vkXform<2>::translation(0.5, 0.25));
    vkPelBuffer<std::uint8_t> mask(vkPelRect(-5, 5, 60, 60));
    vfPelSet<std::uint8_t>(mask, 9);
    vkImageNormalizer t = trained(refStorage, eMatchHistogram, mask);
    Outcome o = runOn(t, runTime, eMatchHistogram);
    ASSERT_TRUE(o.success);
    EXPECT_EQ(o.image.window(), vkPelRect(10, 12, 30, 18));
    EXPECT_EQ(o.image.clientFromImageXformBase(), runTime.clientFromImageXformBase());
    // The same as running on a cropped copy of the overlap.
    vkPelBuffer<std::uint8_t> crop = vfPelCopy<std::uint8_t>(runTime);
    crop.window(vkPelRect(10, 12, 30, 18));
    Outcome c = runOn(t, vfPelCopy<std::uint8_t>(crop), eMatchHistogram);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(o.image), testimg::pixels<std::uint8_t>(c.image));
}

TEST(Run, KeepMaskedPixelsRestoresExcludedPixelsOnly) {
    auto ref = scene::texture(32, 32);
    vkPelBuffer<std::uint8_t> mask(32, 32);
    vkPelBuffer<std::uint8_t> top = mask;
    top.window(vkPelRect(0, 0, 32, 16));
    vfPelSet<std::uint8_t>(top, 255);
    auto img = scene::mapped(ref, [](double v, int, int) { return 255 - v; });
    for (bool keep : {false, true}) {
        vkImageNormalizer t;
        t.referenceImage(ref, false);
        t.maskImage(mask, false);
        t.keepMaskedPixels(keep);
        t.train(eMatchMeanAndStddev, nullptr, 0);
        Outcome o = runOn(t, img, eMatchMeanAndStddev);
        ASSERT_TRUE(o.success);
        vkPelBuffer_const<std::uint8_t> bottomOut = o.image, bottomIn = img;
        bottomOut.window(vkPelRect(0, 16, 32, 16));
        bottomIn.window(vkPelRect(0, 16, 32, 16));
        if (keep) {
            EXPECT_EQ(testimg::pixels(bottomOut), testimg::pixels(bottomIn));
        } else {
            EXPECT_GT(maxDiff(bottomOut, bottomIn), 50);
        }
    }
}

TEST(Run, RecordsInputsAndResultAtTheirLevelsAndRestoresTheLevel) {
    auto ref = scene::texture(16, 16);
    vkImageNormalizer t = trained(ref, eMatchHistogram);
    t.set({0.5, 0.75}, {-3, 4}, false);
    vkDiagObject diag;
    diag.level(5);
    auto img = scene::texture(16, 16, 3);
    Outcome o = runOn(t, img, eMatchHistogram, &diag, 0x30000);
    ASSERT_TRUE(o.success);
    const auto& r = diag.records();
    ASSERT_EQ(r.size(), 5u);
    const char* names[] = {"Image Normalization", "Run-time parameters", "referenceImage", "maskImage",
                           "Image Normalization Result"};
    const int levels[] = {5, 5, 6, 6, 6};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(r[i].name(), names[i]);
        EXPECT_EQ(r[i].level(), levels[i]) << names[i];
    }
    EXPECT_NE(r[0].image().root(), img.root());  // a copy of the input
    EXPECT_FALSE(r[3].image().isBound());        // the unbound mask is recorded too
    EXPECT_EQ(r[1].text(),
              "method=eMatchHistogram\nkeepMaskedPixels=false\ntailFractions=( 0.5 , 0.75 )\n"
              "neighborhoodSize=(101, 101)\ngranularity=(1, 1)\nintensityRange=(-3, 4)\n");
    EXPECT_EQ(diag.level(), 5);

    // Invalid requests are recorded under their method name before failing,
    // and the level is restored on the way out.
    vkDiagObject d2;
    bool s;
    std::string m;
    EXPECT_THROW(t.run(img, static_cast<Method>(3), s, m, &d2, 0x10000), BadParams);
    EXPECT_EQ(d2.records()[1].text().substr(0, 21), "method=UnknownMethod\n");
    EXPECT_EQ(d2.level(), 0);
}

TEST(Run, LeavesTheToolUnchangedAndRepeatable) {
    auto ref = scene::texture(24, 24);
    vkImageNormalizer t = trained(ref, eMatchHistogram | eMatchHistogramTails);
    auto img = scene::texture(24, 24, 7);
    Outcome a = runOn(t, img, eMatchHistogram);
    Outcome b = runOn(t, img, eMatchHistogramTails);
    Outcome c = runOn(t, img, eMatchHistogram);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(a.image), testimg::pixels<std::uint8_t>(c.image));
    EXPECT_EQ(t.trainedMethods(), eMatchHistogram | eMatchHistogramTails);
    EXPECT_EQ(testimg::pixels<std::uint8_t>(t.referenceImage()), testimg::pixels<std::uint8_t>(ref));
}

TEST(Run, CancellationStopsAGlobalRun) {
    vkImageNormalizer t = trained(scene::texture(16, 16), eMatchHistogram);
    vkAttention::Token token;
    token.cancel();
    vkAttention::Scope scope(token);
    bool s = true;
    std::string m;
    EXPECT_THROW(t.run(scene::texture(16, 16), eMatchHistogram, s, m, nullptr, 0), vkAttention::Cancelled);
    EXPECT_FALSE(s);
}
