// vkLocalGainNormalizer: parameters, errors, windows, masked pixels and its
// archive record. The corrections' values are checked against a slow
// reference in local_gain_test.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <typeinfo>

#include "imgnorm/gain_normalizer.h"
#include "scene.h"
#include "support/archive_bytes.h"

namespace {

using namespace vkImageNormalizerDefs;
using P = vkPair<std::int32_t>;
using D = vkPair<double>;
using Img = vkPelBuffer<std::uint8_t>;
using CImg = vkPelBuffer_const<std::uint8_t>;
using Correction = vkLocalGainNormalizer::Correction;
using testbytes::Bytes;

const Correction kCorrections[] = {Correction::gainAndOffset, Correction::gainOnly};

// The reference under a vignette and a contrast change, on a larger window.
Img shaded(const vkImageNormalizer& s) {
    const Img lit = scene::mapped(
        s.referenceImage(), [](double v, int x, int y) { return (0.5 + 0.012 * x) * v + 0.4 * y; });
    return testimg::embedded<std::uint8_t>(
        lit, 2, 0, P(s.referenceImage().offset().x(), s.referenceImage().offset().y()));
}

vkLocalGainNormalizer trained(const vkImageNormalizer& s) {
    vkLocalGainNormalizer g;
    g.gainRange(D(0.5, 3.0));
    g.deviationFloor(2.0);
    g.train(s);
    return g;
}

// Bad parameters, training and runs are refused, each with its message,
// and leave the tool as it was.
TEST(LocalGainNormalizer, RefusesBadParametersAndRequestsWithoutChangingTheTool) {
    vkLocalGainNormalizer untrainedTool;
    const vkImageNormalizer s = scene::placedTool(true);
    EXPECT_EQ(scene::thrown<NotTrained>(
                  [&] { (void)untrainedTool.run(shaded(s), Correction::gainOnly); }),
              "This tool was not trained.");
    vkLocalGainNormalizer g = trained(s);
    const vkLocalGainNormalizer before = g;
    const Img expected = g.run(shaded(s), Correction::gainAndOffset);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const D& bad :
         {D(0.0, 4.0), D(1.5, 4.0), D(0.5, 0.9), D(0.5, 16.5), D(nan, 2.0), D(0.5, nan)})
        EXPECT_EQ(scene::thrown<BadParams>([&] { g.gainRange(bad); }),
                  "gainRange must be: 0 < x <= 1 <= y <= 16");
    for (double bad : {0.0, -1.0, 64.5, nan})
        EXPECT_EQ(scene::thrown<BadParams>([&] { g.deviationFloor(bad); }),
                  "deviationFloor must be: 0 < floor <= 64");
    EXPECT_EQ(scene::thrown<CanNotTrain>([&] { g.train(vkImageNormalizer()); }),
              "The source tool's referenceImage() must be bound to train a local gain correction.");
    {
        // A training cancelled part-way publishes nothing.
        vkAttention::Token token;
        token.cancel();
        vkAttention::Scope scope(token);
        EXPECT_THROW(g.train(scene::placedTool(false, P(3, 3))), vkAttention::Cancelled);
    }
    EXPECT_EQ(scene::thrown<BadImage>([&] { (void)g.run(Img(), Correction::gainOnly); }),
              "Image must be bound.");
    EXPECT_EQ(scene::thrown<BadParams>([&] { (void)g.run(shaded(s), static_cast<Correction>(2)); }),
              "Cannot specify an unknown local gain correction.");
    EXPECT_TRUE(g == before);
    EXPECT_TRUE(vfPelEqual<std::uint8_t>(g.run(shaded(s), Correction::gainAndOffset), expected));
    // Accepted values at the limits keep the training: only run reads them.
    g.gainRange(D(1.0, 1.0));
    g.deviationFloor(64.0);
    EXPECT_TRUE(g.isTrained());
}

// A run-time image that covers only part of the trained window gives what a
// tool trained on that part alone gives, on that part, with the run-time
// image's transforms; a disjoint image gives an unbound result.
TEST(LocalGainNormalizer, APartialWindowEqualsTrainingOnTheCroppedReference) {
    for (const P g : {P(1, 1), P(2, 3)}) {
        const vkImageNormalizer full = scene::placedTool(true, g);
        const vkPelRect part(12, -3, 21, 17);
        Img image = testimg::crop<std::uint8_t>(shaded(full), part);
        image.clientFromImageXform(vkXform<2>(2.0, 0.0, 0.0, 1.0, 7.0, 0.0));
        vkImageNormalizer cropped = full;
        cropped.referenceImage(testimg::crop(full.referenceImage(), part), false);
        cropped.maskImage(testimg::crop(full.maskImage(), part), false);
        for (Correction c : kCorrections) {
            SCOPED_TRACE(static_cast<int>(c) + 10 * g.y());
            const Img got = trained(full).run(image, c);
            EXPECT_EQ(got.window(), part);
            EXPECT_TRUE(vfPelEqual<std::uint8_t>(got, trained(cropped).run(image, c)));
            EXPECT_EQ(got.clientFromImageXform().map(vkVector<2>(1.0, 1.0)).x(), 9.0);
        }
        Img far = testimg::crop<std::uint8_t>(shaded(full), part);
        far.offset(500, 500);
        EXPECT_FALSE(trained(full).run(far, Correction::gainOnly).isBound());
    }
}

TEST(LocalGainNormalizer, KeepsTheRunTimePixelsOutsideTheMaskWhenTheSourceSaysSo) {
    vkImageNormalizer s = scene::placedTool(true, P(2, 2));
    const Img image = shaded(s);
    const Img corrected = trained(s).run(image, Correction::gainAndOffset);
    s.keepMaskedPixels(true);
    const Img kept = trained(s).run(image, Correction::gainAndOffset);
    int excluded = 0, changed = 0;
    for (std::int32_t y = 0; y < kept.height(); ++y)
        for (std::int32_t x = 0; x < kept.width(); ++x) {
            const vkPair<std::int32_t> p(kept.offset().x() + x, kept.offset().y() + y);
            const bool in = s.maskImage().window().contains(p) && s.maskImage().get(p) != 0;
            const std::uint8_t want = in ? corrected.get(p) : image.get(p);
            EXPECT_EQ(kept.get(p), want) << p.x() << "," << p.y();
            excluded += in ? 0 : 1;
            changed += !in && corrected.get(p) != image.get(p) ? 1 : 0;
        }
    EXPECT_GT(changed, excluded / 2);  // without keeping, excluded pixels are corrected too
}

// The tool trained on s with a gain range of 0.5..3 and a floor of 2 stores
// the source's record, then its own items; the record loads into an equal
// tool that runs alike on image. Returns the tool and the record.
template <class Tool, class Pel>
std::pair<Tool, std::vector<std::uint8_t>> expectRecordRoundTrip(const typename Tool::Source& s,
                                                                 const vkPelBuffer<Pel>& image) {
    Tool g;
    g.gainRange(D(0.5, 3.0));
    g.deviationFloor(2.0);
    g.train(s);
    const auto bytes = scene::stored(g);
    EXPECT_EQ(bytes,
              Bytes().append(scene::stored(s)).u8(0).u8(1).u8(0).f64(0.5).f64(3.0).f64(2.0).v);
    Tool loaded;
    vkArchive in(bytes);
    in || loaded;
    EXPECT_EQ(in.remaining(), 0u);
    EXPECT_TRUE(loaded == g);
    for (Correction c : kCorrections)
        EXPECT_EQ(testimg::pixels<Pel>(loaded.run(image, c)),
                  testimg::pixels<Pel>(g.run(image, c)));
    return {g, bytes};
}

// The record at 8 bits with and without a mask, and at 12 bits (its source's
// deep record); each loader refuses the other depth's record, and the deep
// tool refuses a value above its depth in the reference and in the image. An
// untrained tool keeps its parameters and stays untrained.
TEST(LocalGainNormalizer, ArchiveRecordIsTheSourcesRecordThenItsOwnItemsAtEachDepth) {
    const vkImageNormalizer plain = scene::placedTool(false, P(2, 2)),
                            s8 = scene::placedTool(true, P(2, 2));
    expectRecordRoundTrip<vkLocalGainNormalizer>(plain, shaded(plain));
    auto [eight, eightRecord] = expectRecordRoundTrip<vkLocalGainNormalizer>(s8, shaded(s8));
    vkDeepImageNormalizer s(12);
    s.referenceImage(testimg::deepened(s8.referenceImage()), true);
    s.maskImage(s8.maskImage(), true);
    s.neighborhoodSize(P(9, 7));
    s.granularity(P(2, 2));
    const vkPelBuffer<std::uint16_t> image = testimg::deepened(shaded(s8));
    auto [deep, deepRecord] = expectRecordRoundTrip<vkDeepLocalGainNormalizer>(s, image);
    const vkDeepLocalGainNormalizer trainedDeep = deep;
    vkArchive deepIn(deepRecord), eightIn(eightRecord);
    EXPECT_THROW(deepIn || eight, vkArchive::UnknownVersion);
    EXPECT_THROW(eightIn || deep, vkArchive::UnknownVersion);

    vkPelBuffer<std::uint16_t> above = vfPelCopy(image);
    above.pointToOffset()[15 * above.rowUpdate() + 20] = 4096;
    EXPECT_THROW((void)deep.run(above, Correction::gainOnly), BadImage);
    vkDeepImageNormalizer wide(12);
    wide.referenceImage(above, true);
    EXPECT_THROW(deep.train(wide), BadImage);
    EXPECT_TRUE(deep == trainedDeep);

    vkLocalGainNormalizer fresh;
    fresh.gainRange(D(0.75, 1.5));
    vkArchive in(scene::stored(fresh));
    in || eight;
    EXPECT_TRUE(eight == fresh);
    EXPECT_FALSE(eight.isTrained());
}

// Hostile records: each is refused with its own exception, and the tool
// loaded into is left exactly as it was. (The loader checks the gain range
// and the floor with the setters' checks, which their own test tries at
// every edge.)
TEST(LocalGainNormalizer, RefusesHostileRecordsAndLeavesTheTargetAsItWas) {
    const vkImageNormalizer s = scene::placedTool(true);
    const auto head = scene::stored(s);
    const auto emptySource = scene::stored(vkImageNormalizer());
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    auto record = [&](unsigned version, unsigned trainedFlag, double lo, double hi, double floor) {
        return Bytes().append(head).u8(version).u8(trainedFlag).u8(0).f64(lo).f64(hi).f64(floor).v;
    };
    struct Case {
        const char* name;
        std::vector<std::uint8_t> bytes;
        const std::type_info& thrown;
    };
    std::vector<Case> cases = {
        {"version 1", record(1, 1, 0.5, 2, 1), typeid(vkArchive::UnknownVersion)},
        {"trained flag 2", record(0, 2, 0.5, 2, 1), typeid(vkArchive::Corrupt)},
        {"NaN highest gain", record(0, 1, 0.5, nan, 1), typeid(vkArchive::Corrupt)},
        {"infinite floor", record(0, 1, 0.5, 2, inf), typeid(vkArchive::Corrupt)},
        {"trained without a reference",
         Bytes().append(emptySource).u8(0).u8(1).u8(0).f64(0.5).f64(2).f64(1).v,
         typeid(CanNotTrain)},
    };
    const auto whole = record(0, 1, 0.5, 2, 1);
    for (std::size_t n = 0; n < whole.size(); n += n < head.size() - 8 ? 97 : 1)
        cases.push_back({"truncated",
                         std::vector<std::uint8_t>(whole.begin(),
                                                   whole.begin() + static_cast<std::ptrdiff_t>(n)),
                         typeid(vkArchive::Corrupt)});

    vkLocalGainNormalizer target = trained(scene::placedTool(false, P(2, 2)));
    const vkLocalGainNormalizer before = target;
    const Img expected = target.run(shaded(s), Correction::gainAndOffset);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.bytes.size()));
        EXPECT_EQ(scene::loadOutcome(target, c.bytes), c.thrown.name());
        EXPECT_TRUE(target == before);
    }
    EXPECT_TRUE(
        vfPelEqual<std::uint8_t>(target.run(shaded(s), Correction::gainAndOffset), expected));
}

}  // namespace
