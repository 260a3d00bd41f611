#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <typeinfo>

#include "scene.h"
#include "support/archive_bytes.h"

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using D = vkPair<double>;
using testbytes::Bytes;
using testbytes::kIdentity;

namespace {

const Method kSingleMethods[] = {eIdentity,
                                 eMatchHistogram,
                                 eMatchMeanAndStddev,
                                 eMatchHistogramTails,
                                 eLinearlyFitGrayValues,
                                 eLocalCorrection,
                                 eLocalCorrectionEnhanced};

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

// Everything a run shows a caller: the image (window, placement, pixels),
// success and message, or the kind and text of the exception.
struct Outcome {
    std::string thrown;
    bool success = false;
    std::string message;
    bool bound = false;
    vkPelRect window;
    vkXform<2> placement;
    std::vector<std::uint8_t> pixels;

    bool operator==(const Outcome& o) const {
        return thrown == o.thrown && success == o.success && message == o.message &&
               bound == o.bound && window == o.window && placement == o.placement &&
               pixels == o.pixels;
    }
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << "{thrown '" << o.thrown << "', success " << o.success << ", message '" << o.message
              << "', " << o.window.width() << "x" << o.window.height() << " at "
              << o.window.ul().x() << "," << o.window.ul().y() << "}";
}

Outcome runOutcome(const vkImageNormalizer& tool, const vkPelBuffer_const<std::uint8_t>& image,
                   Method m) {
    Outcome o;
    try {
        vkPelBuffer<std::uint8_t> r = tool.run(image, m, o.success, o.message, nullptr, 0);
        o.bound = r.isBound();
        if (o.bound) {
            o.window = r.window();
            o.placement = r.clientFromImageXform();
            o.pixels = testimg::pixels<std::uint8_t>(r);
        }
    } catch (const vkException& e) {
        o.thrown = std::string(typeid(e).name()) + ": " + e.what();
    }
    return o;
}

template <class E>
bool runThrows(const vkImageNormalizer& tool, const vkPelBuffer_const<std::uint8_t>& image,
               Method m) {
    bool success = false;
    std::string message;
    try {
        tool.run(image, m, success, message, nullptr, 0);
    } catch (const E&) {
        return true;
    } catch (...) {
        return false;
    }
    return false;
}

// A reference in a corner of larger storage, renumbered and placed by a
// non-identity transform; a mask of assorted non-zero values over part of
// it; parameters away from their defaults.
vkImageNormalizer configured(bool withMask, std::int32_t w = 40, std::int32_t h = 30) {
    vkPelBuffer<std::uint8_t> ref =
        testimg::embedded<std::uint8_t>(scene::texture(w, h, 3), 3, 9, P(5, -7));
    ref.clientFromImageXform(vkXform<2>(0.5, 0.0, 0.0, 0.5, 100.0, -20.0));
    vkImageNormalizer t;
    t.referenceImage(ref, false);
    if (withMask) {
        vkPelBuffer<std::uint8_t> mask(w - 4, h - 2);
        std::mt19937 gen(5);
        for (std::int32_t y = 0; y < mask.height(); ++y)
            for (std::int32_t x = 0; x < mask.width(); ++x)
                mask.pointToOffset()[y * mask.rowUpdate() + x] =
                    (x * 3 + y * 5) % 7 == 0 ? 0 : static_cast<std::uint8_t>(1 + gen() % 255);
        mask.offset(7, -6);
        t.maskImage(mask, true);
    }
    t.tailFractions(D(0.1, 0.9));
    t.neighborhoodSize(P(9, 7));
    t.granularity(P(2, 2));
    t.intensityVariationRange(P(-40, 60));
    t.keepMaskedPixels(true);
    return t;
}

// The reference under other lighting, on a window shifted against it.
vkPelBuffer<std::uint8_t> runImage(const vkImageNormalizer& t) {
    vkPelBuffer<std::uint8_t> img =
        scene::mapped(t.referenceImage(),
                      [](double v, std::int32_t x, std::int32_t) { return 0.8 * v + 20 + x / 4; });
    img.offset(t.referenceImage().offset() + P(2, 1));
    return img;
}

}  // namespace

TEST(ToolArchive, EveryMethodSetRoundTripsEqualAndRunsIdentically) {
    int comparedImages = 0;
    for (bool withMask : {false, true}) {
        const vkImageNormalizer base = configured(withMask);
        const vkPelBuffer<std::uint8_t> image = runImage(base);
        for (std::uint32_t set = 0; set <= kKnownMethods; ++set) {
            SCOPED_TRACE(::testing::Message()
                         << "methods " << set << (withMask ? " with" : " without") << " mask");
            vkImageNormalizer tool = base;
            tool.train(static_cast<Method>(set), nullptr, 0);
            vkImageNormalizer loaded =
                configured(!withMask, 12, 9);  // other state, replaced entirely
            loaded.train(eLocalCorrection, nullptr, 0);
            loadInto(loaded, stored(tool));
            EXPECT_TRUE(loaded == tool);
            EXPECT_EQ(loaded.trainedMethods(), tool.trainedMethods());
            for (Method m : kSingleMethods) {
                const Outcome expect = runOutcome(tool, image, m);
                EXPECT_EQ(runOutcome(loaded, image, m), expect) << "run with method " << m;
                comparedImages += expect.bound ? 1 : 0;
            }
        }
    }
    EXPECT_GT(comparedImages, 64 * 2);
}

TEST(ToolArchive, FileRoundTripGivesAnEqualToolThatRunsIdentically) {
    vkImageNormalizer tool = configured(true);
    tool.train(eMatchHistogramTails | eLocalCorrectionEnhanced, nullptr, 0);
    vkArchive out;
    out || tool;
    const std::string path = ::testing::TempDir() + "imgnorm_persistence_test.tool";
    out.saveToFile(path);
    vkArchive in = vkArchive::loadFromFile(path);
    std::remove(path.c_str());
    vkImageNormalizer loaded;
    in || loaded;
    EXPECT_TRUE(loaded == tool);
    const vkPelBuffer<std::uint8_t> image = runImage(tool);
    for (Method m : {eMatchHistogramTails, eLocalCorrectionEnhanced}) {
        const Outcome expect = runOutcome(tool, image, m);
        EXPECT_TRUE(expect.success);
        EXPECT_EQ(runOutcome(loaded, image, m), expect);
    }
}

TEST(ToolArchive, StoredBytesFollowTheDocumentedLayout) {
    vkImageNormalizer tool;
    vkPelBuffer<std::uint8_t> ref = testimg::fromRows<std::uint8_t>(2, 1, {10, 250});
    ref.offset(-1, 3);
    ref.clientFromImageXform(vkXform<2>(1, 0, 0, 1, 0.5, 0));
    tool.referenceImage(ref, false);
    tool.set(D(0.25, 0.75), P(-3, 4), true);
    tool.neighborhoodSize(P(5, 7));
    tool.granularity(P(1, 2));
    tool.train(eMatchHistogram | eLocalCorrection, nullptr, 0);
    // One line per item of the record.
    // clang-format off
    const std::vector<std::uint8_t> expect = Bytes()
                                                 .u8(0)
                                                 .u32(17)
                                                 .u8(0).f64(0.25).f64(0.75)
                                                 .u8(0).i32(5).i32(7)
                                                 .u8(0).i32(1).i32(2)
                                                 .u8(0).i32(-3).i32(4)
                                                 .u8(1)
                                                 .unboundImage()
                                                 .imageHeader(-1, 3, 2, 1, {1, 0, 0, 1, 0.5, 0}).u8(10).u8(250)
                                                 .v;
    // clang-format on
    EXPECT_EQ(stored(tool), expect);
}

TEST(ToolArchive, UnstorableImagePlacementThrowsBeforeWritingAnything) {
    vkImageNormalizer tool = configured(false);
    vkPelBuffer<std::uint8_t> mask(4, 4);
    mask.clientFromImageXform(vkXform<2>(1, 0, 0, 1, 0, std::numeric_limits<double>::quiet_NaN()));
    tool.maskImage(mask, false);
    vkArchive out;
    EXPECT_THROW(out || tool, vkPelFunc::BadParams);
    EXPECT_TRUE(out.bytes().empty());
}

TEST(ToolArchive, DefaultToolLoadedIntoAConfiguredToolGivesADefaultTool) {
    vkImageNormalizer target = configured(true);
    target.train(eMatchHistogram | eLocalCorrection, nullptr, 0);
    loadInto(target, stored(vkImageNormalizer()));
    EXPECT_TRUE(target == vkImageNormalizer());
    EXPECT_FALSE(target.referenceImage().isBound());
}

TEST(ToolArchive, UntrainedToolWithBoundImagesLoadsUntrained) {
    const vkImageNormalizer tool = configured(true);
    ASSERT_EQ(tool.trainedMethods(), eIdentity);
    vkImageNormalizer loaded;
    loadInto(loaded, stored(tool));
    EXPECT_TRUE(loaded == tool);
    EXPECT_EQ(loaded.trainedMethods(), eIdentity);
    EXPECT_TRUE(loaded.referenceImage().isBound());
    EXPECT_TRUE(loaded.maskImage().isBound());
    EXPECT_TRUE(runThrows<NotTrained>(loaded, runImage(tool), eMatchHistogram));
}

TEST(ToolArchive, RecordVersionOtherThanZeroThrowsAtItsSourceAndLeavesTheTargetUnchanged) {
    std::vector<std::uint8_t> bytes = stored(vkImageNormalizer());
    bytes[0] = 1;
    vkImageNormalizer target = configured(true);
    target.train(eMatchMeanAndStddev | eLocalCorrection, nullptr, 0);
    const vkImageNormalizer before = target;
    const vkPelBuffer<std::uint8_t> image = runImage(target);
    try {
        vkArchive in(bytes);
        in || target;
        FAIL() << "no exception";
    } catch (const vkArchive::UnknownVersion& e) {
        EXPECT_EQ(e.text(), "src/imgnorm/persistence.cpp");  // the real source, repository-relative
        EXPECT_GT(e.line(), 0);
    }
    EXPECT_TRUE(target == before);
    EXPECT_EQ(target.trainedMethods(), before.trainedMethods());
    for (Method m : {eMatchMeanAndStddev, eLocalCorrection})
        EXPECT_EQ(runOutcome(target, image, m), runOutcome(before, image, m));
}

TEST(ToolArchive, PairVersionOtherThanZeroThrowsWithoutPositionAfterTheReset) {
    vkImageNormalizer tool = configured(true);
    tool.train(eMatchHistogram, nullptr, 0);
    const std::vector<std::uint8_t> good = stored(tool);
    // Offsets of the four pair version bytes: after the record version and
    // the method bits, each pair takes 1 + 2 * 8 or 1 + 2 * 4 bytes.
    const std::size_t pairAt[4] = {5, 22, 31, 40};
    const vkImageNormalizer defaults;
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(::testing::Message() << "pair " << k);
        std::vector<std::uint8_t> bytes = good;
        ASSERT_EQ(bytes[pairAt[k]], 0);
        bytes[pairAt[k]] = 1;
        vkImageNormalizer target = tool;
        try {
            vkArchive in(bytes);
            in || target;
            FAIL() << "no exception";
        } catch (const vkArchive::UnknownVersion& e) {
            EXPECT_EQ(e.text(), "");
            EXPECT_EQ(e.line(), 0);
        }
        EXPECT_EQ(target.trainedMethods(), eIdentity);
        EXPECT_FALSE(target.referenceImage().isBound());
        EXPECT_EQ(target.tailFractions(), k > 0 ? tool.tailFractions() : defaults.tailFractions());
        EXPECT_EQ(target.neighborhoodSize(),
                  k > 1 ? tool.neighborhoodSize() : defaults.neighborhoodSize());
        EXPECT_EQ(target.granularity(), k > 2 ? tool.granularity() : defaults.granularity());
        EXPECT_EQ(target.intensityVariationRange(), defaults.intensityVariationRange());
        EXPECT_TRUE(runThrows<NotTrained>(target, runImage(tool), eMatchHistogram));
    }
}

namespace {

// A tool record item by item, as the format document describes it.
struct Record {
    std::uint32_t methods = 0;
    D tails{0.0, 1.0};
    P neighborhood{101, 101}, granularity{1, 1}, range{-127, 127};
    bool keep = false;
    std::vector<std::uint8_t> mask = Bytes().unboundImage().v, reference = Bytes().unboundImage().v;

    std::vector<std::uint8_t> bytes() const {
        // One line per item of the record.
        // clang-format off
        return Bytes()
            .u8(0)
            .u32(methods)
            .u8(0).f64(tails.x()).f64(tails.y())
            .u8(0).i32(neighborhood.x()).i32(neighborhood.y())
            .u8(0).i32(granularity.x()).i32(granularity.y())
            .u8(0).i32(range.x()).i32(range.y())
            .u8(keep ? 1 : 0)
            .append(mask)
            .append(reference)
            .v;
        // clang-format on
    }
};

std::vector<std::uint8_t> imageBytes(const vkPelBuffer_const<std::uint8_t>& image) {
    vkArchive out;
    vkPelBuffer_const<std::uint8_t> copy = image;
    out || copy;
    return out.bytes();
}

// A record of a small textured reference and a mask with a hole.
Record smallRecord(std::uint32_t methods) {
    Record r;
    r.methods = methods;
    r.reference = imageBytes(scene::texture(10, 8, 9));
    vkPelBuffer<std::uint8_t> mask(9, 8);
    vfPelSet(mask, std::uint8_t{200});
    mask.pointToOffset()[3 * mask.rowUpdate() + 4] = 0;
    r.mask = imageBytes(mask);
    r.neighborhood = P(5, 3);
    return r;
}

// Loads bytes into target. Any failure must be one of the library's
// exceptions; afterwards every method the tool claims must run or fail
// with one, and every method it does not claim must be refused.
void loadAndExercise(const std::vector<std::uint8_t>& bytes, vkImageNormalizer& target,
                     const vkPelBuffer_const<std::uint8_t>& image) {
    try {
        vkArchive in(bytes);
        in || target;
    } catch (const vkException&) {
    }
    for (Method m : kSingleMethods) {
        if (m == eIdentity) continue;
        if ((target.trainedMethods() & m) == 0) {
            EXPECT_TRUE(runThrows<NotTrained>(target, image, m)) << "method " << m;
            continue;
        }
        runOutcome(target, image, m);  // may fail, but only with a library exception
    }
}

}  // namespace

TEST(ToolArchive, EveryTruncationThrowsAndLeavesAToolThatRefusesToRun) {
    vkImageNormalizer tool = configured(true, 12, 9);
    tool.train(static_cast<Method>(kKnownMethods), nullptr, 0);
    const std::vector<std::uint8_t> bytes = stored(tool);
    const vkPelBuffer<std::uint8_t> image = runImage(tool);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        SCOPED_TRACE(::testing::Message()
                     << "prefix of " << n << " of " << bytes.size() << " bytes");
        vkImageNormalizer target = tool;
        vkArchive in(bytes.data(), n);
        EXPECT_THROW(in || target, vkArchive::Corrupt);
        if (n == 0) {
            EXPECT_EQ(target.trainedMethods(), tool.trainedMethods());  // failed before the reset
            continue;
        }
        EXPECT_EQ(target.trainedMethods(), eIdentity);
        for (Method m : kSingleMethods) {
            if (m == eIdentity) continue;
            EXPECT_TRUE(runThrows<NotTrained>(target, image, m)) << "method " << m;
        }
    }
}

TEST(ToolArchive, CorruptedBytesFailCleanlyOrGiveAToolThatRunsWhatItClaims) {
    const std::vector<std::uint8_t> good = smallRecord(kKnownMethods).bytes();
    const vkPelBuffer<std::uint8_t> image = scene::texture(11, 7, 4);
    for (std::size_t i = 0; i < good.size(); ++i)
        for (std::uint8_t value :
             {std::uint8_t{0x00}, std::uint8_t{0x7F}, std::uint8_t{0x80}, std::uint8_t{0xFF}}) {
            SCOPED_TRACE(::testing::Message() << "byte " << i << " set to " << int(value));
            std::vector<std::uint8_t> bytes = good;
            bytes[i] = value;
            vkImageNormalizer target;
            loadAndExercise(bytes, target, image);
        }
}

TEST(ToolArchive, HostileParametersTrainAndRunOrFailWithALibraryException) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const vkPelBuffer<std::uint8_t> image = scene::texture(11, 7, 4);
    std::vector<Record> records;
    for (P n : {P(-5, -5), P(INT32_MIN, INT32_MAX), P(INT32_MAX, INT32_MAX), P(0, 3)}) {
        records.push_back(smallRecord(kKnownMethods));
        records.back().neighborhood = n;
    }
    for (P g : {P(0, 0), P(-3, 2), P(INT32_MAX, 1), P(INT32_MIN, INT32_MIN)}) {
        records.push_back(smallRecord(kKnownMethods));
        records.back().granularity = g;
    }
    for (D f : {D(nan, nan), D(2.0, -1.0), D(-1e300, 1e300)}) {
        records.push_back(smallRecord(kKnownMethods));
        records.back().tails = f;
    }
    for (P r : {P(50, -50), P(INT32_MIN, INT32_MAX), P(5, 10)}) {
        records.push_back(smallRecord(kKnownMethods));
        records.back().range = r;
    }
    for (const Record& r : records) {
        SCOPED_TRACE(::testing::Message()
                     << "neighbourhood " << r.neighborhood.x() << "," << r.neighborhood.y()
                     << " granularity " << r.granularity.x() << "," << r.granularity.y()
                     << " range " << r.range.x() << "," << r.range.y());
        vkImageNormalizer target;
        loadAndExercise(r.bytes(), target, image);
    }
}

TEST(ToolArchive, SizesAndStepsBelowOneLoadAndActAsOne) {
    const vkPelBuffer<std::uint8_t> image = scene::texture(11, 7, 4);
    Record one = smallRecord(eMatchHistogram | eLocalCorrection | eLocalCorrectionEnhanced);
    one.neighborhood = P(1, 1);
    one.granularity = P(1, 1);
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
            const Outcome expect = runOutcome(reference, image, m);
            EXPECT_TRUE(expect.success);
            EXPECT_EQ(runOutcome(loaded, image, m), expect) << "method " << m;
        }
    }
}

TEST(ToolArchive, UnknownMethodBitsLoadEveryItemThenFailTrainingUntrained) {
    Record r = smallRecord(eMatchHistogram | 64);
    r.range = P(-9, 9);
    vkImageNormalizer target;
    try {
        loadInto(target, r.bytes());
        FAIL() << "no exception";
    } catch (const CanNotTrain& e) {
        EXPECT_EQ(e.message(), "<methods> contains an unknown normalization method.");
    }
    EXPECT_EQ(target.intensityVariationRange(), P(-9, 9));
    EXPECT_TRUE(target.referenceImage().isBound());
    EXPECT_EQ(target.trainedMethods(), eIdentity);
    EXPECT_TRUE(runThrows<NotTrained>(target, scene::texture(5, 5), eMatchHistogram));
}

TEST(ToolArchive, EmptyMaskedHistogramKeepsTheLocalMethodsOfTheLoad) {
    Record r = smallRecord(eMatchHistogram | eLocalCorrection);
    vkPelBuffer<std::uint8_t> zeros(10, 8);
    r.mask = imageBytes(zeros);
    vkImageNormalizer target;
    try {
        loadInto(target, r.bytes());
        FAIL() << "no exception";
    } catch (const CanNotTrain& e) {
        EXPECT_EQ(e.message(), "Histogram must be non-empty for the specified methods.");
    }
    EXPECT_EQ(target.trainedMethods(), eLocalCorrection);
    EXPECT_TRUE(runThrows<NotTrained>(target, scene::texture(5, 5), eMatchHistogram));
    EXPECT_TRUE(runOutcome(target, scene::texture(10, 8, 2), eLocalCorrection).success);
}

TEST(ToolEquality, DefaultsCopiesAndIndependentCopiesOfTheSameImagesAreEqual) {
    EXPECT_TRUE(vkImageNormalizer() == vkImageNormalizer());
    const vkImageNormalizer a = configured(true);
    const vkImageNormalizer copy = a;
    EXPECT_TRUE(copy == a);
    vkImageNormalizer b = a;
    b.referenceImage(a.referenceImage(), true);  // own pixels, same content and placement
    b.maskImage(a.maskImage(), true);
    b.keepMaskedPixels(true);
    EXPECT_NE(b.referenceImage().root(), a.referenceImage().root());
    EXPECT_TRUE(b == a);
}

TEST(ToolEquality, EachStateMemberAloneMakesToolsUnequal) {
    const vkImageNormalizer base = configured(true);
    std::vector<std::pair<const char*, vkImageNormalizer>> variants;
    auto vary = [&](const char* what, auto change) {
        vkImageNormalizer t = base;
        change(t);
        variants.emplace_back(what, t);
    };
    vary("trained methods", [](vkImageNormalizer& t) { t.train(eMatchHistogram, nullptr, 0); });
    vary("lower tail",
         [](vkImageNormalizer& t) { t.tailFractions(D(std::nextafter(0.1, 1.0), 0.9)); });
    vary("upper tail", [](vkImageNormalizer& t) { t.tailFractions(D(0.1, 0.95)); });
    vary("neighbourhood x", [](vkImageNormalizer& t) { t.neighborhoodSize(P(11, 7)); });
    vary("neighbourhood y", [](vkImageNormalizer& t) { t.neighborhoodSize(P(9, 9)); });
    vary("granularity", [](vkImageNormalizer& t) { t.granularity(P(2, 3)); });
    vary("range", [](vkImageNormalizer& t) { t.intensityVariationRange(P(-41, 60)); });
    vary("keep masked pixels", [](vkImageNormalizer& t) { t.keepMaskedPixels(false); });
    vary("no mask", [](vkImageNormalizer& t) { t.maskImage(vkPelBuffer<std::uint8_t>(), false); });
    vary("mask pixel", [](vkImageNormalizer& t) {
        vkPelBuffer<std::uint8_t> m = vfPelCopy(t.maskImage());
        m.pointToOffset()[m.rowUpdate() + 1] ^= 1;
        t.maskImage(m, false);
    });
    vary("mask position", [](vkImageNormalizer& t) {
        vkPelBuffer_const<std::uint8_t> m = vfPelCopy(t.maskImage());
        m.offset(m.offset() + P(1, 0));
        t.maskImage(m, false);
    });
    vary("reference placement", [](vkImageNormalizer& t) {
        vkPelBuffer_const<std::uint8_t> r = t.referenceImage();
        r.clientFromImageXform(r.clientFromImageXform() * vkXform<2>::translation(0.5, 0));
        t.referenceImage(r, false);
    });
    vary("reference pixel", [](vkImageNormalizer& t) {
        vkPelBuffer<std::uint8_t> r = vfPelCopy(t.referenceImage());
        r.pointToOffset()[r.rowUpdate() * (r.height() - 1) + r.width() - 1] ^= 0x80;
        t.referenceImage(r, false);
    });
    for (const auto& [what, t] : variants) {
        vkImageNormalizer untrained = t;
        if (std::string(what) != "trained methods") untrained.train(eIdentity, nullptr, 0);
        EXPECT_FALSE(untrained == base) << what;
        EXPECT_FALSE(base == untrained) << what;
    }
}

TEST(ToolEquality, TrainedDataIsNotCompared) {
    // Two tools share the reference pixels; the first is trained before they
    // change, the second after, so their reference histograms differ.
    vkPelBuffer<std::uint8_t> shared = scene::texture(12, 10, 8);
    vkImageNormalizer a, b;
    a.referenceImage(shared, false);
    b.referenceImage(shared, false);
    a.train(eMatchHistogram, nullptr, 0);
    vfPelSet(shared, std::uint8_t{3});
    b.train(eMatchHistogram, nullptr, 0);
    EXPECT_TRUE(a == b);
    const vkPelBuffer<std::uint8_t> image = scene::texture(12, 10, 1);
    EXPECT_FALSE(runOutcome(a, image, eMatchHistogram) == runOutcome(b, image, eMatchHistogram));
}

TEST(ToolEquality, NaNTailFractionsAreEqualOnlyToTheSameObject) {
    Record r;
    r.tails = D(std::numeric_limits<double>::quiet_NaN(), 1.0);
    vkImageNormalizer t;
    loadInto(t, r.bytes());
    const vkImageNormalizer& same = t;
    EXPECT_TRUE(t == same);
    const vkImageNormalizer copy = t;
    EXPECT_FALSE(copy == t);
}
