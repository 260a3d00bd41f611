#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <typeinfo>

#include "platform/pelarchive.h"
#include "scene.h"
#include "support/archive_bytes.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using D = vkPair<double>;
using Img = vkPelBuffer<std::uint8_t>;
using CImg = vkPelBuffer_const<std::uint8_t>;
using testbytes::Bytes;

namespace {

const Method kSingleMethods[] = {eIdentity, eMatchHistogram, eMatchMeanAndStddev, eMatchHistogramTails,
                                 eLinearlyFitGrayValues, eLocalCorrection, eLocalCorrectionEnhanced};

void loadInto(vkImageNormalizer& tool, const std::vector<std::uint8_t>& bytes) {
    vkArchive in(bytes);
    in || tool;
    EXPECT_EQ(in.remaining(), 0u);
}

std::vector<std::uint8_t> imageBytes(const CImg& image) { return scene::stored(image); }

// Everything a run shows a caller: the exception's kind and text, or success (the first character),
// message and the result's stored form (window, placement, pixels).
std::string runOutcome(const vkImageNormalizer& tool, const CImg& image, Method m) {
    bool success = false;
    std::string message;
    try {
        const auto bytes = imageBytes(tool.run(image, m, success, message, nullptr, 0));
        return (success ? "1" : "0") + message + "|" + std::string(bytes.begin(), bytes.end());
    } catch (const vkException& e) {
        return std::string(typeid(e).name()) + ": " + e.what();
    }
}

bool succeeds(const vkImageNormalizer& tool, const CImg& image, Method m) { return runOutcome(tool, image, m)[0] == '1'; }

bool refuses(const vkImageNormalizer& tool, const CImg& image, Method m) {
    return runOutcome(tool, image, m).rfind(typeid(NotTrained).name(), 0) == 0;
}

// The placed tool with parameters away from their defaults.
vkImageNormalizer configured(bool withMask, std::int32_t w = 40, std::int32_t h = 30) {
    vkImageNormalizer t = scene::placedTool(withMask, P(2, 2), w, h);
    t.set(D(0.1, 0.9), P(-40, 60), true);
    return t;
}

// The reference under other lighting, on a window shifted against it.
Img runImage(const vkImageNormalizer& t) {
    Img img = scene::mapped(t.referenceImage(), [](double v, std::int32_t x, std::int32_t) { return 0.8 * v + 20 + x / 4; });
    img.offset(t.referenceImage().offset() + P(2, 1));
    return img;
}

// A tool record item by item, written independently of the code under test.
struct Record {
    std::uint32_t methods = 0;
    D tails{0.0, 1.0};
    P neighborhood{101, 101}, granularity{1, 1}, range{-127, 127};
    bool keep = false;
    std::vector<std::uint8_t> mask = Bytes().unboundImage().v, reference = Bytes().unboundImage().v;

    std::vector<std::uint8_t> bytes() const {
        return Bytes().u8(0).u32(methods).u8(0).f64(tails.x()).f64(tails.y()).u8(0).i32(neighborhood.x()).i32(neighborhood.y())
            .u8(0).i32(granularity.x()).i32(granularity.y()).u8(0).i32(range.x()).i32(range.y()).u8(keep ? 1 : 0)
            .append(mask).append(reference).v;
    }
};

// A record of a small textured reference and a mask with a hole.
Record smallRecord(std::uint32_t methods) {
    Img mask = scene::maskOf(vkPelRect(0, 0, 9, 8), vkPelRect(0, 0, 9, 8));
    mask.set(P(4, 3), 0);
    return {.methods = methods, .neighborhood = P(5, 3), .mask = imageBytes(mask), .reference = imageBytes(scene::texture(10, 8, 9))};
}

}  // namespace

TEST(ToolArchive, EveryMethodSetRoundTripsEqualAndRunsIdentically) {
    int comparedImages = 0;
    for (bool withMask : {false, true}) {
        const vkImageNormalizer base = configured(withMask);
        const Img image = runImage(base);
        for (std::uint32_t set = 0; set <= kKnownMethods; ++set) {
            SCOPED_TRACE(::testing::Message() << "methods " << set << (withMask ? " with" : " without") << " mask");
            vkImageNormalizer tool = base;
            tool.train(static_cast<Method>(set), nullptr, 0);
            vkImageNormalizer loaded = configured(!withMask, 12, 9);  // other state, replaced entirely
            loaded.train(eLocalCorrection, nullptr, 0);
            loadInto(loaded, scene::stored(tool));
            EXPECT_TRUE(loaded == tool);
            for (Method m : kSingleMethods) {
                const std::string expect = runOutcome(tool, image, m);
                EXPECT_EQ(runOutcome(loaded, image, m), expect) << "run with method " << m;
                comparedImages += expect[0] == '1';
            }
        }
    }
    EXPECT_GT(comparedImages, 64 * 2);
}

TEST(ToolArchive, StoredBytesFollowTheDocumentedLayoutAndAnUnstorableImageWritesNothing) {
    EXPECT_EQ(scene::stored(vkImageNormalizer()), Record().bytes());  // the defaults
    vkImageNormalizer tool;
    Img ref = testimg::fromRows<std::uint8_t>(2, 1, {10, 250});
    ref.offset(-1, 3);
    ref.clientFromImageXform(vkXform<2>(1, 0, 0, 1, 0.5, 0));
    tool.referenceImage(ref, false);
    tool.set(D(0.25, 0.75), P(-3, 4), true);
    tool.neighborhoodSize(P(5, 7));
    tool.granularity(P(1, 2));
    tool.train(eMatchHistogram | eLocalCorrection, nullptr, 0);
    const Record r{.methods = 17, .tails = D(0.25, 0.75), .neighborhood = P(5, 7), .granularity = P(1, 2), .range = P(-3, 4),
                   .keep = true, .reference = Bytes().imageHeader(-1, 3, 2, 1, {1, 0, 0, 1, 0.5, 0}).u8(10).u8(250).v};
    EXPECT_EQ(scene::stored(tool), r.bytes());
    // A mask placed by a NaN transform cannot be stored: nothing is written.
    ref.clientFromImageXform(vkXform<2>(1, 0, 0, 1, 0, std::numeric_limits<double>::quiet_NaN()));
    tool.maskImage(ref, false);
    vkArchive out;
    EXPECT_THROW(out || tool, vkPelFunc::BadParams);
    EXPECT_TRUE(out.bytes().empty());
}

TEST(ToolArchive, VersionOtherThanZeroThrowsAndALaterOneLeavesTheToolReset) {
    vkImageNormalizer tool = configured(true);
    tool.train(eMatchHistogram | eLocalCorrection, nullptr, 0);
    const Img image = runImage(tool);
    // The record's version byte, then the four pairs' (each pair takes 1 + 2 * 8 or 1 + 2 * 4 bytes).
    for (std::size_t at : {0, 5, 22, 31, 40}) {
        SCOPED_TRACE(::testing::Message() << "version byte " << at);
        std::vector<std::uint8_t> bytes = scene::stored(tool);
        ASSERT_EQ(bytes[at], 0);
        bytes[at] = 1;
        vkImageNormalizer target = tool;
        try {
            vkArchive in(bytes);
            in || target;
            FAIL() << "no exception";
        } catch (const vkArchive::UnknownVersion& e) {
            // The record's version names its source (repository-relative), a pair's nothing.
            EXPECT_EQ(e.text(), at == 0 ? "src/imgnorm/persistence.cpp" : "");
            EXPECT_EQ(e.line() > 0, at == 0);
        }
        // Only the record's version is checked before the tool is reset.
        EXPECT_EQ(target == tool, at == 0);
        EXPECT_EQ(target.referenceImage().isBound(), at == 0);
        EXPECT_EQ(succeeds(target, image, eLocalCorrection), at == 0);
    }
}

TEST(ToolArchive, EveryTruncationThrowsAndLeavesAToolThatRefusesToRun) {
    vkImageNormalizer tool = configured(true, 12, 9);
    tool.train(static_cast<Method>(kKnownMethods), nullptr, 0);
    const std::vector<std::uint8_t> bytes = scene::stored(tool);
    const Img image = runImage(tool);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        SCOPED_TRACE(::testing::Message() << "prefix of " << n << " of " << bytes.size() << " bytes");
        vkImageNormalizer target = tool;
        vkArchive in(bytes.data(), n);
        EXPECT_THROW(in || target, vkArchive::Corrupt);
        EXPECT_EQ(target.trainedMethods(), n == 0 ? tool.trainedMethods() : eIdentity);  // n = 0 fails before the reset
        for (Method m : kSingleMethods) EXPECT_TRUE(n == 0 || m == eIdentity || refuses(target, image, m)) << "method " << m;
    }
}

TEST(ToolArchive, SizesAndStepsBelowOneLoadAndActAsOne) {
    const Img image = scene::texture(11, 7, 4);
    Record one = smallRecord(eMatchHistogram | eLocalCorrection | eLocalCorrectionEnhanced), below = one;
    one.neighborhood = P(1, 1);
    below.neighborhood = P(-7, 0);
    below.granularity = P(0, -2);
    vkImageNormalizer reference, loaded;
    loadInto(reference, one.bytes());
    loadInto(loaded, below.bytes());
    EXPECT_EQ(loaded.neighborhoodSize(), below.neighborhood);  // taken as stored
    EXPECT_EQ(loaded.granularity(), below.granularity);
    for (Method m : {eMatchHistogram, eLocalCorrection, eLocalCorrectionEnhanced}) {
        EXPECT_TRUE(succeeds(reference, image, m));
        EXPECT_EQ(runOutcome(loaded, image, m), runOutcome(reference, image, m)) << "method " << m;
    }
}

TEST(ToolArchive, FailedFinalTrainingKeepsTheLoadedItemsAndWhatDidTrain) {
    Record unknown = smallRecord(eMatchHistogram | 64), empty = smallRecord(eMatchHistogram | eLocalCorrection);
    unknown.range = P(-9, 9);
    empty.mask = imageBytes(Img(10, 8));
    for (const Record& r : {unknown, empty}) {
        const bool isEmpty = r.methods == empty.methods;
        vkImageNormalizer target;
        scene::expectThrow<CanNotTrain>([&] { loadInto(target, r.bytes()); },
                                        isEmpty ? "Histogram must be non-empty for the specified methods."
                                                : "<methods> contains an unknown normalization method.");
        EXPECT_TRUE(target.intensityVariationRange() == r.range && target.referenceImage().isBound());
        EXPECT_EQ(target.trainedMethods(), isEmpty ? eLocalCorrection : eIdentity);
        EXPECT_TRUE(refuses(target, scene::texture(5, 5), eMatchHistogram));
        EXPECT_EQ(succeeds(target, scene::texture(10, 8, 2), eLocalCorrection), isEmpty);
    }
}

TEST(ToolEquality, EqualForCopiesButEachStateMemberAloneOrANaNMakesToolsUnequal) {
    EXPECT_TRUE(vkImageNormalizer() == vkImageNormalizer());
    const vkImageNormalizer base = configured(true);
    vkImageNormalizer own = base;
    own.referenceImage(base.referenceImage(), true);  // own pixels, same content and placement
    own.maskImage(base.maskImage(), true);
    own.keepMaskedPixels(true);
    EXPECT_NE(own.referenceImage().root(), base.referenceImage().root());
    EXPECT_TRUE(own == base);
    using T = vkImageNormalizer;
    const std::pair<const char*, std::function<void(T&)>> variants[] = {
        {"trained methods", [](T& t) { t.train(eMatchHistogram, nullptr, 0); }},
        {"lower tail", [](T& t) { t.tailFractions(D(std::nextafter(0.1, 1.0), 0.9)); }},
        {"neighbourhood", [](T& t) { t.neighborhoodSize(P(11, 7)); }},
        {"granularity", [](T& t) { t.granularity(P(2, 3)); }},
        {"range", [](T& t) { t.intensityVariationRange(P(-41, 60)); }},
        {"keep masked pixels", [](T& t) { t.keepMaskedPixels(false); }},
        {"mask pixel", [](T& t) { t.maskImage(scene::mapped(t.maskImage(), [](double v, int x, int y) { return x == 1 && y == 1 ? double(int(v) ^ 1) : v; }), false); }},
        {"reference placement", [](T& t) { t.referenceImage(testimg::embedded<std::uint8_t>(t.referenceImage(), 0, 0, P(5, -7)), false); }},
        {"reference pixel", [](T& t) { t.referenceImage(scene::mapped(t.referenceImage(), [](double v, int x, int) { return x ? v : 255 - v; }), false); }}};
    for (const auto& [what, change] : variants) {
        T t = base;
        change(t);
        EXPECT_FALSE(t == base) << what;
        EXPECT_FALSE(base == t) << what;
    }
    // NaN tail fractions (which only a record can hold) make a tool equal to
    // itself only.
    vkImageNormalizer nanTails;
    loadInto(nanTails, Record{.tails = D(std::numeric_limits<double>::quiet_NaN(), 1.0)}.bytes());
    const vkImageNormalizer& same = nanTails;
    EXPECT_TRUE(nanTails == same);
    EXPECT_FALSE(vkImageNormalizer(nanTails) == nanTails);
}
