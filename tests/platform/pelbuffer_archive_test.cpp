#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/pelarchive.h"
#include "support/archive_bytes.h"
#include "support/images.h"

namespace {

using testbytes::Bytes;
using testbytes::kIdentity;
using U8 = std::uint8_t;

template <class T>
std::vector<U8> stored(vkPelBuffer_const<T> b) {
    vkArchive out;
    out || b;
    return out.bytes();
}

template <class T>
class PelBufferArchiveTyped : public ::testing::Test {};
using PixelTypes = ::testing::Types<U8, std::uint16_t, std::uint32_t>;
TYPED_TEST_SUITE(PelBufferArchiveTyped, PixelTypes);

TYPED_TEST(PelBufferArchiveTyped, RoundTripKeepsWindowPositionsTransformAndPixelsAtEverySize) {
    using T = TypeParam;
    const std::uint32_t seed = 41;
    std::mt19937 gen(seed);
    for (std::int32_t w : {1, 2, 3, 7, 8, 9, 63, 64, 65})
        for (std::int32_t h : {1, 3})
            for (int corner = 0; corner < 4; ++corner) {
                SCOPED_TRACE(testimg::trace(w, h, seed) + " corner " + std::to_string(corner));
                // A window at a corner of renumbered storage, with a transform.
                vkPelBuffer<T> original =
                    testimg::random<T>(w + 5, h + 4, gen, 0, std::numeric_limits<T>::max());
                original.window(vkPelRect((corner & 1) ? 5 : 0, (corner & 2) ? 4 : 0, w, h));
                original.offset(-3 * w, 7 + corner);
                original.clientFromImageXform(vkXform<2>(0.5, -0.25, 0.125, 2.0, -17.5, 3.0));
                const std::vector<U8> bytes = stored<T>(original);
                EXPECT_EQ(bytes.size(),
                          2 + 6 * 4 + 6 * 8 + std::size_t(w) * std::size_t(h) * sizeof(T));
                vkArchive in(bytes);
                vkPelBuffer<T> loaded;
                in || loaded;
                EXPECT_EQ(in.remaining(), 0u);
                EXPECT_EQ(loaded.window(), original.window());
                EXPECT_EQ(loaded.storageRect(),
                          original.window());  // new storage covering the window
                // Rows are packed below 32 bytes, 32-byte aligned from there.
                const std::size_t row = std::size_t(w) * sizeof(T);
                EXPECT_EQ(std::size_t(loaded.rowUpdate()) * sizeof(T),
                          row < 32 ? row : (row + 31) / 32 * 32);
                EXPECT_TRUE(loaded.clientFromImageXform() == original.clientFromImageXform());
                EXPECT_EQ(testimg::pixels<T>(loaded), testimg::pixels<T>(original));
            }
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
    EXPECT_EQ(stored<std::uint32_t>(testimg::fromRows<std::uint32_t>(1, 1, {0x01020304})),
              Bytes().imageHeader(0, 0, 1, 1, kIdentity).u32(0x01020304).v);
    EXPECT_EQ(stored(vkPelBuffer_const<U8>()), (std::vector<U8>{0, 0}));
}

TEST(PelBufferArchive, LoadingReplacesTheTargetAndNeverWritesSharedPixels) {
    vkPelBuffer<U8> shared = testimg::fromRows<U8>(2, 1, {5, 6});
    vkPelBuffer<U8> target = shared;  // same storage, same size as what is loaded
    vkArchive in(Bytes().imageHeader(0, 0, 2, 1, kIdentity).u8(50).u8(60).unboundImage().v);
    in || target;
    EXPECT_NE(target.root(), shared.root());
    EXPECT_EQ(testimg::pixels<U8>(shared), (std::vector<U8>{5, 6}));
    EXPECT_EQ(testimg::pixels<U8>(target), (std::vector<U8>{50, 60}));
    // An identity transform loads as the shared identity handle.
    EXPECT_EQ(target.clientFromImageXformBase(), vfIdentityXformHandle());
    EXPECT_EQ(target.imageFromClientXformBase(), vfIdentityXformHandle());
    in || target;
    EXPECT_FALSE(target.isBound());
}

TEST(PelBufferArchive, EmptyWindowRoundTripsUpToItsLongestSide) {
    // A window 0 pixels wide and 2^31 - 1 rows high holds no pixels, yet
    // every row walk over it would take seconds: neither stored nor loaded.
    for (auto [w, h] : {std::pair{0, 5}, {0, 65536}, {65536, 0}, {0, INT32_MAX}}) {
        vkArchive in(Bytes().imageHeader(10, -3, w, h, kIdentity).v);
        vkPelBuffer<U8> b;
        if (h == INT32_MAX) {
            EXPECT_THROW(in || b, vkArchive::Corrupt);
            continue;
        }
        in || b;
        EXPECT_EQ(b.window(), vkPelRect(10, -3, w, h));
        EXPECT_EQ(stored<U8>(b), in.bytes());
    }
}

TEST(PelBufferArchive, UnstorableBuffersThrowBeforeWritingAnything) {
    vkPelBuffer<U8> tall(1, 65537), nanXform(2, 2);
    tall.window(vkPelRect(0, 0, 0, 65537));
    nanXform.clientFromImageXform(vkXform<2>(1, 0, 0, 1, std::nan(""), 0));  // invertible
    EXPECT_TRUE(vfPelArchivable(vkPelBuffer_const<U8>()));
    for (vkPelBuffer<U8>* b : {&tall, &nanXform}) {
        EXPECT_FALSE(vfPelArchivable(*b));
        vkArchive out;
        unsigned char marker = 77;
        out || marker;
        EXPECT_THROW(out || *b, vkPelFunc::BadParams);
        EXPECT_EQ(out.bytes(), (std::vector<U8>{77}));
    }
}

TEST(PelBufferArchive, VersionOtherThanZeroThrowsUnknownVersionNamingTheBuffer) {
    vkArchive in(Bytes().u8(1).u8(0).v);
    vkPelBuffer<U8> target(3, 3);
    const void* root = target.root();
    try {
        in || target;
        FAIL() << "no exception";
    } catch (const vkArchive::UnknownVersion& e) {
        EXPECT_TRUE(e.text() == "vkPelBuffer" && e.line() == 0 && target.root() == root);
    }
}

TEST(PelBufferArchive, HostileOrTruncatedBytesThrowCorruptBeforeAllocating) {
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    auto header = [](std::int32_t x, std::int32_t w, std::int32_t h, const double(&e)[6]) {
        return Bytes().imageHeader(x, 0, w, h, e);
    };
    std::vector<U8> offOrigin = header(0, 1, 1, kIdentity).u8(0).v;
    offOrigin[18] = 1;  // the first pixel's x, after version, flag and window
    std::vector<std::pair<std::string, std::vector<U8>>> cases = {
        {"bound flag 2", Bytes().u8(0).u8(2).v},
        {"negative width", header(0, -1, 1, kIdentity).u8(0).v},
        {"negative height", header(0, 1, INT32_MIN, kIdentity).v},
        {"window past the position range", header(INT32_MAX - 1, 2, 1, kIdentity).u8(0).u8(0).v},
        {"first pixel off the window origin", offOrigin},
        {"huge image, few bytes", header(0, INT32_MAX, INT32_MAX, kIdentity).u8(0).v},
        {"NaN translation", header(0, 1, 1, {1, 0, 0, 1, nan, 0}).u8(0).v},
        {"infinite scale", header(0, 1, 1, {inf, 0, 0, 1, 0, 0}).u8(0).v},
        {"huge translation", header(0, 1, 1, {1, 0, 0, 1, 1e13, 0}).u8(0).v},
        {"singular matrix", header(0, 1, 1, {1, 2, 2, 4, 0, 0}).u8(0).v},
        {"inverse too large", header(0, 1, 1, {1e-13, 0, 0, 1, 0, 0}).u8(0).v}};
    // Every truncation of a valid 3 x 3 image, down to one pixel short.
    const std::vector<U8> valid = header(0, 3, 3, {2, 0, 0, 1, 5, 0}).u32(0).u32(0).u8(0).v;
    for (std::size_t n = 0; n < valid.size(); ++n)
        cases.push_back({"prefix of " + std::to_string(n),
                         std::vector<U8>(valid.begin(), valid.begin() + long(n))});
    for (const auto& [what, bytes] : cases) {
        vkArchive in(bytes);
        vkPelBuffer<U8> target = testimg::fromRows<U8>(2, 1, {8, 9});
        const void* root = target.root();
        EXPECT_THROW(in || target, vkArchive::Corrupt) << what;
        EXPECT_TRUE(target.root() == root && testimg::pixels<U8>(target) == std::vector<U8>({8, 9}))
            << what;
    }
}
