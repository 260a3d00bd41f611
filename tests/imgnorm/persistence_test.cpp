#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <typeinfo>

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

std::vector<std::uint8_t> stored(vkImageNormalizer tool) {
    vkArchive out;
    out || tool;
    return out.bytes();
}

void loadInto(vkImageNormalizer& tool, const std::vector<std::uint8_t>& bytes) {
    vkArchive in(bytes);
    in || tool;
    EXPECT_EQ(in.remaining(), 0u);
}

std::vector<std::uint8_t> imageBytes(const CImg& image) {
    vkArchive out;
    CImg copy = image;
    out || copy;
    return out.bytes();
}

// Everything a run shows a caller: the exception's kind and text, or success
// (the first character), message and the result's stored form (window,
// placement, pixels).
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

// A reference in a corner of larger storage, renumbered and placed by a
// non-identity transform; a mask of assorted non-zero values over part of
// it; parameters away from their defaults.
vkImageNormalizer configured(bool withMask, std::int32_t w = 40, std::int32_t h = 30) {
    Img ref = testimg::embedded<std::uint8_t>(scene::texture(w, h, 3), 3, 9, P(5, -7));
    ref.clientFromImageXform(vkXform<2>(0.5, 0.0, 0.0, 0.5, 100.0, -20.0));
    vkImageNormalizer t;
    t.referenceImage(ref, false);
    if (withMask) {
        auto gen = testimg::rng(5);
        Img mask = testimg::random<std::uint8_t>(w - 4, h - 2, gen, 0, 3);  // a quarter excluded
        mask.offset(7, -6);
        t.maskImage(mask, true);
    }
    t.set(D(0.1, 0.9), P(-40, 60), true);
    t.neighborhoodSize(P(9, 7));
    t.granularity(P(2, 2));
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
    Record r;
    r.methods = methods;
    r.reference = imageBytes(scene::texture(10, 8, 9));
    Img mask(9, 8);
    vfPelSet(mask, std::uint8_t{200});
    mask.set(P(4, 3), 0);
    r.mask = imageBytes(mask);
    r.neighborhood = P(5, 3);
    return r;
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
            loadInto(loaded, stored(tool));
            EXPECT_TRUE(loaded == tool);
            EXPECT_EQ(loaded.trainedMethods(), tool.trainedMethods());
            for (Method m : kSingleMethods) {
                const std::string expect = runOutcome(tool, image, m);
                EXPECT_EQ(runOutcome(loaded, image, m), expect) << "run with method " << m;
                comparedImages += expect[0] == '1';
            }
        }
    }
    EXPECT_GT(comparedImages, 64 * 2);
    // Unbound images replace bound ones too.
    vkImageNormalizer target = configured(true);
    loadInto(target, stored(vkImageNormalizer()));
    EXPECT_TRUE(target == vkImageNormalizer());
    EXPECT_FALSE(target.referenceImage().isBound());
}

TEST(ToolArchive, StoredBytesFollowTheDocumentedLayout) {
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
    EXPECT_EQ(stored(tool), r.bytes());
}

TEST(ToolArchive, UnstorableImagePlacementThrowsBeforeWritingAnything) {
    vkImageNormalizer tool = configured(false);
    Img mask(4, 4);
    mask.clientFromImageXform(vkXform<2>(1, 0, 0, 1, 0, std::numeric_limits<double>::quiet_NaN()));
    tool.maskImage(mask, false);
    vkArchive out;
    EXPECT_THROW(out || tool, vkPelFunc::BadParams);
    EXPECT_TRUE(out.bytes().empty());
}

TEST(ToolArchive, VersionOtherThanZeroThrowsAndALaterOneLeavesTheToolReset) {
    vkImageNormalizer tool = configured(true);
    tool.train(eMatchHistogram | eLocalCorrection, nullptr, 0);
    const Img image = runImage(tool);
    // The record version, then the four pair versions: after the record
    // version and the method bits, each pair takes 1 + 2 * 8 or 1 + 2 * 4 bytes.
    for (std::size_t at : {0, 5, 22, 31, 40}) {
        SCOPED_TRACE(::testing::Message() << "version byte " << at);
        std::vector<std::uint8_t> bytes = stored(tool);
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
        EXPECT_EQ(target.tailFractions(), at != 5 ? tool.tailFractions() : vkImageNormalizer().tailFractions());
    }
}

TEST(ToolArchive, EveryTruncationThrowsAndLeavesAToolThatRefusesToRun) {
    vkImageNormalizer tool = configured(true, 12, 9);
    tool.train(static_cast<Method>(kKnownMethods), nullptr, 0);
    const std::vector<std::uint8_t> bytes = stored(tool);
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

TEST(ToolArchive, HostileParametersFailCleanlyOrGiveAToolThatRunsWhatItClaims) {
    // (Random corruption of every item is the fuzz target's job.)
    std::vector<Record> records;
    auto hostile = [&](auto change) {
        records.push_back(smallRecord(kKnownMethods));
        change(records.back());
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (P n : {P(-5, -5), P(INT32_MIN, INT32_MAX), P(INT32_MAX, INT32_MAX), P(0, 3)}) hostile([&](Record& r) { r.neighborhood = n; });
    for (P g : {P(0, 0), P(-3, 2), P(INT32_MAX, 1), P(INT32_MIN, INT32_MIN)}) hostile([&](Record& r) { r.granularity = g; });
    for (D f : {D(nan, nan), D(2.0, -1.0), D(-1e300, 1e300)}) hostile([&](Record& r) { r.tails = f; });
    for (P v : {P(50, -50), P(INT32_MIN, INT32_MAX), P(5, 10)}) hostile([&](Record& r) { r.range = v; });
    const Img image = scene::texture(11, 7, 4);
    for (std::size_t k = 0; k < records.size(); ++k) {
        SCOPED_TRACE(::testing::Message() << "record " << k);
        // Any failure must be one of the library's exceptions; afterwards every
        // method the tool claims must run or fail with one, every other one
        // must be refused.
        vkImageNormalizer target;
        try {
            vkArchive in(records[k].bytes());
            in || target;
        } catch (const vkException&) {
        }
        for (Method m : kSingleMethods)
            if (m == eIdentity || (target.trainedMethods() & m) != 0)
                runOutcome(target, image, m);  // runs, or fails with a library exception
            else
                EXPECT_TRUE(refuses(target, image, m)) << "method " << m;
    }
}

TEST(ToolArchive, SizesAndStepsBelowOneLoadAndActAsOne) {
    const Img image = scene::texture(11, 7, 4);
    Record one = smallRecord(eMatchHistogram | eLocalCorrection | eLocalCorrectionEnhanced);
    one.neighborhood = P(1, 1);
    vkImageNormalizer reference;
    loadInto(reference, one.bytes());
    for (auto [n, g] : {std::pair{P(0, 0), P(1, 1)}, std::pair{P(-7, 0), P(0, -2)}}) {
        Record r = one;
        r.neighborhood = n;
        r.granularity = g;
        vkImageNormalizer loaded;
        loadInto(loaded, r.bytes());
        EXPECT_EQ(loaded.neighborhoodSize(), n);  // taken as stored
        EXPECT_EQ(loaded.granularity(), g);
        EXPECT_EQ(loaded.trainedMethods(), reference.trainedMethods());
        for (Method m : {eMatchHistogram, eLocalCorrection, eLocalCorrectionEnhanced}) {
            EXPECT_TRUE(succeeds(reference, image, m));
            EXPECT_EQ(runOutcome(loaded, image, m), runOutcome(reference, image, m)) << "method " << m;
        }
    }
}

TEST(ToolArchive, FailedFinalTrainingKeepsTheLoadedItemsAndWhatDidTrain) {
    Record unknown = smallRecord(eMatchHistogram | 64), empty = smallRecord(eMatchHistogram | eLocalCorrection);
    unknown.range = P(-9, 9);
    empty.mask = imageBytes(Img(10, 8));
    for (const Record& r : {unknown, empty}) {
        const bool isEmpty = r.methods == empty.methods;
        vkImageNormalizer target;
        try {
            loadInto(target, r.bytes());
            ADD_FAILURE() << "no exception";
        } catch (const CanNotTrain& e) {
            EXPECT_EQ(e.message(), isEmpty ? "Histogram must be non-empty for the specified methods."
                                           : "<methods> contains an unknown normalization method.");
        }
        EXPECT_EQ(target.intensityVariationRange(), r.range);
        EXPECT_TRUE(target.referenceImage().isBound());
        EXPECT_EQ(target.trainedMethods(), isEmpty ? eLocalCorrection : eIdentity);
        EXPECT_TRUE(refuses(target, scene::texture(5, 5), eMatchHistogram));
        EXPECT_EQ(succeeds(target, scene::texture(10, 8, 2), eLocalCorrection), isEmpty);
    }
}

TEST(ToolEquality, EqualForCopiesButEachStateMemberAloneMakesToolsUnequal) {
    EXPECT_TRUE(vkImageNormalizer() == vkImageNormalizer());
    const vkImageNormalizer base = configured(true);
    vkImageNormalizer own = base;
    own.referenceImage(base.referenceImage(), true);  // own pixels, same content and placement
    own.maskImage(base.maskImage(), true);
    own.keepMaskedPixels(true);
    EXPECT_NE(own.referenceImage().root(), base.referenceImage().root());
    EXPECT_TRUE(own == base);
    using T = vkImageNormalizer;
    using Edit = std::function<void(T&)>;
    auto image = [](bool mask, std::function<void(Img&)> edit) -> Edit {
        return [=](T& t) {
            Img i = vfPelCopy(mask ? t.maskImage() : t.referenceImage());
            edit(i);
            mask ? t.maskImage(i, false) : t.referenceImage(i, false);
        };
    };
    const std::pair<const char*, Edit> variants[] = {
        {"trained methods", [](T& t) { t.train(eMatchHistogram, nullptr, 0); }},
        {"lower tail", [](T& t) { t.tailFractions(D(std::nextafter(0.1, 1.0), 0.9)); }},
        {"upper tail", [](T& t) { t.tailFractions(D(0.1, 0.95)); }},
        {"neighbourhood", [](T& t) { t.neighborhoodSize(P(11, 7)); }},
        {"granularity", [](T& t) { t.granularity(P(2, 3)); }},
        {"range", [](T& t) { t.intensityVariationRange(P(-41, 60)); }},
        {"keep masked pixels", [](T& t) { t.keepMaskedPixels(false); }},
        {"no mask", [](T& t) { t.maskImage(Img(), false); }},
        {"mask pixel", image(true, [](Img& m) { m.pointToOffset()[m.rowUpdate() + 1] ^= 1; })},
        {"mask position", image(true, [](Img& m) { m.offset(m.offset() + P(1, 0)); })},
        {"reference placement", image(false, [](Img& r) { r.clientFromImageXform(r.clientFromImageXform() * vkXform<2>::translation(0.5, 0)); })},
        {"reference pixel", image(false, [](Img& r) { r.pointToOffset()[r.rowUpdate() * (r.height() - 1) + r.width() - 1] ^= 0x80; })}};
    for (const auto& [what, change] : variants) {
        T t = base;
        change(t);
        EXPECT_FALSE(t == base) << what;
        EXPECT_FALSE(base == t) << what;
    }
}

TEST(ToolEquality, TrainedDataIsNotCompared) {
    // Two tools share the reference pixels; the first is trained before they
    // change, the second after, so their reference histograms differ.
    Img shared = scene::texture(12, 10, 8);
    vkImageNormalizer a = configured(false), b = a;
    a.referenceImage(shared, false);
    b.referenceImage(shared, false);
    a.train(eMatchHistogram, nullptr, 0);
    vfPelSet(shared, std::uint8_t{3});
    b.train(eMatchHistogram, nullptr, 0);
    EXPECT_TRUE(a == b);
    const Img image = scene::texture(12, 10, 1);
    EXPECT_NE(runOutcome(a, image, eMatchHistogram), runOutcome(b, image, eMatchHistogram));
}

TEST(ToolEquality, NaNTailFractionsAreEqualOnlyToTheSameObject) {
    Record r;
    r.tails = D(std::numeric_limits<double>::quiet_NaN(), 1.0);
    vkImageNormalizer t;
    loadInto(t, r.bytes());
    const vkImageNormalizer& same = t;
    EXPECT_TRUE(t == same);
    EXPECT_FALSE(vkImageNormalizer(t) == t);
}
