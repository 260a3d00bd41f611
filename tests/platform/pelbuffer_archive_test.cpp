#include <gtest/gtest.h>
#include <imgnorm/pelarchive.h>

#include <cmath>
#include <limits>
#include <memory>

#include "support/archive_bytes.h"
#include "support/images.h"

namespace {

using testbytes::Bytes;
using testbytes::kIdentity;

template <class T>
std::vector<std::uint8_t> stored(vkPelBuffer_const<T> b) {
    vkArchive out;
    out || b;
    return out.bytes();
}

// A w x h window of random pixels placed in a corner of larger storage,
// renumbered to start at origin, with a non-identity transform.
template <class T>
vkPelBuffer<T> placed(std::int32_t w, std::int32_t h, int corner, vkPair<std::int32_t> origin,
                      std::mt19937& gen) {
    const std::uint32_t hi = static_cast<std::uint32_t>(std::numeric_limits<T>::max());
    vkPelBuffer<T> big = testimg::random<T>(w + 5, h + 4, gen, 0, hi);
    const std::int32_t x = (corner & 1) ? 5 : 0, y = (corner & 2) ? 4 : 0;
    big.window(vkPelRect(x, y, w, h));
    big.offset(origin);
    big.clientFromImageXform(vkXform<2>(0.5, -0.25, 0.125, 2.0, -17.5, 3.0));
    return big;
}

template <class T>
class PelBufferArchiveTyped : public ::testing::Test {};
using PixelTypes = ::testing::Types<std::uint8_t, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(PelBufferArchiveTyped, PixelTypes);

TYPED_TEST(PelBufferArchiveTyped, RoundTripKeepsWindowPositionsTransformAndPixelsAtEverySize) {
    using T = TypeParam;
    const std::uint32_t seed = 41;
    std::mt19937 gen(seed);
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65})
        for (std::int32_t h : {1, 3})
            for (int corner = 0; corner < 4; ++corner) {
                SCOPED_TRACE(::testing::Message() << "seed " << seed << " w " << w << " h " << h
                                                  << " corner " << corner);
                const vkPelBuffer<T> original = placed<T>(w, h, corner, {-3 * w, 7 + corner}, gen);
                vkArchive out;
                vkPelBuffer<T> source = original;
                out || source;
                EXPECT_EQ(out.bytes().size(),
                          2 + 6 * 4 + 6 * 8 + std::size_t(w) * std::size_t(h) * sizeof(T));

                vkArchive in(out.bytes());
                vkPelBuffer<T> loaded;
                in || loaded;
                EXPECT_EQ(in.remaining(), 0u);
                ASSERT_TRUE(loaded.isBound());
                EXPECT_EQ(loaded.window(), original.window());
                EXPECT_EQ(loaded.storageRect(),
                          original.window());  // storage exactly covers the window
                EXPECT_NE(loaded.root(), original.root());
                EXPECT_TRUE(loaded.clientFromImageXform() == original.clientFromImageXform());
                EXPECT_EQ(testimg::pixels<T>(loaded), testimg::pixels<T>(original));
            }
}

TYPED_TEST(PelBufferArchiveTyped, EveryTruncationThrowsCorruptAndKeepsTheTarget) {
    using T = TypeParam;
    std::mt19937 gen(7);
    const std::vector<std::uint8_t> bytes = stored<T>(placed<T>(5, 3, 3, {2, -9}, gen));
    const vkPelBuffer<T> keep = testimg::random<T>(2, 2, gen);
    const std::vector<T> keptPixels = testimg::pixels<T>(keep);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        SCOPED_TRACE(::testing::Message() << "prefix of " << n << " bytes");
        vkArchive in(bytes.data(), n);
        vkPelBuffer<T> target = keep;
        EXPECT_THROW(in || target, vkArchive::Corrupt);
        EXPECT_EQ(target.root(), keep.root());
        EXPECT_EQ(target.window(), keep.window());
        EXPECT_EQ(testimg::pixels<T>(keep), keptPixels);
    }
}

TYPED_TEST(PelBufferArchiveTyped, ReadOnlyHandleRoundTrips) {
    using T = TypeParam;
    std::mt19937 gen(3);
    const vkPelBuffer_const<T> original = placed<T>(9, 2, 1, {100, 200}, gen);
    vkArchive out;
    vkPelBuffer_const<T> source = original;
    out || source;
    vkArchive in(out.bytes());
    vkPelBuffer_const<T> loaded;
    in || loaded;
    EXPECT_EQ(loaded.window(), original.window());
    EXPECT_EQ(testimg::pixels<T>(loaded), testimg::pixels<T>(original));
}

}  // namespace

TEST(PelBufferArchive, StoredBytesFollowTheDocumentedLayout) {
    vkPelBuffer<std::uint16_t> b =
        testimg::fromRows<std::uint16_t>(3, 2, {0x0102, 0xA0B0, 7, 0xFFFF, 0, 0x8001});
    b.offset(-2, 5);
    b.clientFromImageXform(vkXform<2>(2, 0, 0, 3, 10, -4));
    Bytes expect;
    expect.imageHeader(-2, 5, 3, 2, {2, 0, 0, 3, 10, -4});
    for (std::uint32_t p : {0x0102u, 0xA0B0u, 7u, 0xFFFFu, 0u, 0x8001u})
        expect.u8(p & 0xFF).u8(p >> 8);
    EXPECT_EQ(stored<std::uint16_t>(b), expect.v);

    vkPelBuffer<std::uint32_t> one = testimg::fromRows<std::uint32_t>(1, 1, {0x01020304});
    EXPECT_EQ(stored<std::uint32_t>(one),
              Bytes().imageHeader(0, 0, 1, 1, kIdentity).u32(0x01020304).v);
}

TEST(PelBufferArchive, UnboundIsTwoBytesAndReplacesABoundTarget) {
    EXPECT_EQ(stored(vkPelBuffer_const<std::uint8_t>()), (std::vector<std::uint8_t>{0, 0}));
    vkArchive in(std::vector<std::uint8_t>{0, 0});
    vkPelBuffer<std::uint8_t> target(4, 4);
    in || target;
    EXPECT_FALSE(target.isBound());
}

TEST(PelBufferArchive, IdentityTransformLoadsAsTheSharedIdentityHandle) {
    vkArchive in(Bytes().imageHeader(3, 4, 1, 1, kIdentity).u8(9).v);
    vkPelBuffer<std::uint8_t> b;
    in || b;
    EXPECT_EQ(b.clientFromImageXformBase(), vfIdentityXformHandle());
    EXPECT_EQ(b.imageFromClientXformBase(), vfIdentityXformHandle());
    EXPECT_EQ(testimg::at<std::uint8_t>(b, 0, 0), 9);
}

TEST(PelBufferArchive, EmptyWindowRoundTripsUpToItsLongestSide) {
    for (auto [w, h] : {std::pair{0, 5}, std::pair{0, 65536}, std::pair{65536, 0}}) {
        vkArchive in(Bytes().imageHeader(10, -3, w, h, kIdentity).v);
        vkPelBuffer<std::uint8_t> b;
        in || b;
        ASSERT_TRUE(b.isBound());
        EXPECT_EQ(b.window(), vkPelRect(10, -3, w, h));
        EXPECT_EQ(stored<std::uint8_t>(b), in.bytes());
    }
    // A window 0 pixels wide and 2^31 - 1 rows high holds no pixels, yet
    // every row walk over it would take seconds: neither stored nor loaded.
    vkArchive in(Bytes().imageHeader(10, -3, 0, INT32_MAX, kIdentity).v);
    vkPelBuffer<std::uint8_t> b;
    EXPECT_THROW(in || b, vkArchive::Corrupt);
    vkPelBuffer<std::uint8_t> tall(1, 65537);
    tall.window(vkPelRect(0, 0, 0, 65537));
    EXPECT_FALSE(vfPelArchivable(tall));
    vkArchive out;
    EXPECT_THROW(out || tall, vkPelFunc::BadParams);
    EXPECT_TRUE(out.bytes().empty());
}

TEST(PelBufferArchive, LoadingAllocatesNewStorageAndNeverWritesSharedPixels) {
    vkPelBuffer<std::uint8_t> shared = testimg::fromRows<std::uint8_t>(2, 1, {5, 6});
    vkPelBuffer<std::uint8_t> target = shared;  // same storage, same size as what is loaded
    vkArchive in(Bytes().imageHeader(0, 0, 2, 1, kIdentity).u8(50).u8(60).v);
    in || target;
    EXPECT_NE(target.root(), shared.root());
    EXPECT_EQ(testimg::pixels<std::uint8_t>(shared), (std::vector<std::uint8_t>{5, 6}));
    EXPECT_EQ(testimg::pixels<std::uint8_t>(target), (std::vector<std::uint8_t>{50, 60}));
}

TEST(PelBufferArchive, NarrowRowsArePackedSoStorageStaysWithinTwiceThePixelBytes) {
    Bytes bytes;
    bytes.imageHeader(0, 0, 1, 64, kIdentity);
    for (unsigned i = 0; i < 64; ++i)
        bytes.u8(i);
    vkArchive in(bytes.v);
    vkPelBuffer<std::uint8_t> b;
    in || b;
    EXPECT_EQ(b.rowUpdate(), 1);
    EXPECT_EQ(testimg::at<std::uint8_t>(b, 0, 63), 63);
}

TEST(PelBufferArchive, VersionOtherThanZeroThrowsUnknownVersionNamingTheBuffer) {
    std::vector<std::uint8_t> bytes =
        stored<std::uint8_t>(testimg::fromRows<std::uint8_t>(1, 1, {1}));
    bytes[0] = 1;
    vkArchive in(bytes);
    vkPelBuffer<std::uint8_t> target(3, 3);
    const void* root = target.root();
    try {
        in || target;
        FAIL() << "no exception";
    } catch (const vkArchive::UnknownVersion& e) {
        EXPECT_EQ(e.text(), "vkPelBuffer");
        EXPECT_EQ(e.line(), 0);
    }
    EXPECT_EQ(target.root(), root);
}

TEST(PelBufferArchive, HostileHeadersThrowCorruptBeforeAllocating) {
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<Case> cases = {
        {"bound flag 2", Bytes().u8(0).u8(2).v},
        {"negative width", Bytes().imageHeader(0, 0, -1, 1, kIdentity).u8(0).v},
        {"negative height", Bytes().imageHeader(0, 0, 1, INT32_MIN, kIdentity).v},
        {"window past the position range",
         Bytes().imageHeader(INT32_MAX - 1, 0, 2, 1, kIdentity).u8(0).u8(0).v},
        {"first pixel off the window origin", Bytes()
                                                  .u8(0)
                                                  .u8(1)
                                                  .i32(0)
                                                  .i32(0)
                                                  .i32(1)
                                                  .i32(1)
                                                  .i32(1)
                                                  .i32(0)
                                                  .f64(1)
                                                  .f64(0)
                                                  .f64(0)
                                                  .f64(1)
                                                  .f64(0)
                                                  .f64(0)
                                                  .u8(0)
                                                  .v},
        {"huge image, few bytes",
         Bytes().imageHeader(0, 0, INT32_MAX, INT32_MAX, kIdentity).u8(0).v},
        {"one pixel more than the bytes",
         Bytes().imageHeader(0, 0, 3, 3, kIdentity).u32(0).u32(0).v},
        {"NaN translation", Bytes().imageHeader(0, 0, 1, 1, {1, 0, 0, 1, nan, 0}).u8(0).v},
        {"infinite scale", Bytes().imageHeader(0, 0, 1, 1, {inf, 0, 0, 1, 0, 0}).u8(0).v},
        {"huge translation", Bytes().imageHeader(0, 0, 1, 1, {1, 0, 0, 1, 1e13, 0}).u8(0).v},
        {"singular matrix", Bytes().imageHeader(0, 0, 1, 1, {1, 2, 2, 4, 0, 0}).u8(0).v},
        {"inverse too large", Bytes().imageHeader(0, 0, 1, 1, {1e-13, 0, 0, 1, 0, 0}).u8(0).v},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        vkArchive in(c.bytes);
        vkPelBuffer<std::uint8_t> target(2, 2);
        const void* root = target.root();
        EXPECT_THROW(in || target, vkArchive::Corrupt);
        EXPECT_EQ(target.root(), root);
    }
}

TEST(PelBufferArchive, UnstorableTransformThrowsBeforeWritingAnything) {
    vkPelBuffer<std::uint8_t> b(2, 2);
    b.clientFromImageXform(
        vkXform<2>(1, 0, 0, 1, std::nan(""), 0));  // invertible, yet not storable
    EXPECT_FALSE(vfPelArchivable(b));
    vkArchive out;
    unsigned char marker = 77;
    out || marker;
    EXPECT_THROW(out || b, vkPelFunc::BadParams);
    EXPECT_EQ(out.bytes(), (std::vector<std::uint8_t>{77}));
    EXPECT_TRUE(vfPelArchivable(vkPelBuffer_const<std::uint8_t>()));
}
