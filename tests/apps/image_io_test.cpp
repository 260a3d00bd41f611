// Reading and writing PNG, PGM and TIFF files: exact round trips, the
// accepted and rejected kinds of file, hostile and damaged files, and safe
// replacement.
#include "image_io.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <zlib.h>

#include <functional>

#include "files.h"
#include "support/images.h"
#include "support/tiff_file.h"

using imgnorm_cli::FileError;
using imgnorm_cli::GrayImage;
using imgnorm_cli::readImage;
using imgnorm_cli::writeImage;
using namespace clitest;
using testtiff::tiffFile;

namespace {

// The message of the FileError that f throws; fails the test otherwise.
template <class F>
std::string fileErrorOf(F f) {
    try {
        f();
    } catch (const FileError& e) {
        return e.what();
    }
    ADD_FAILURE() << "no FileError";
    return "";
}

vkPelBuffer<std::uint8_t> decode(const std::string& bytes, const std::string& name = "m.pgm") {
    return imgnorm_cli::decodeImage(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                    bytes.size(), name);
}

std::string be32(std::uint64_t v) {
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

std::string chunk(const std::string& type, const std::string& data) {
    const std::string body = type + data;
    return be32(data.size()) + body +
           be32(crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                      static_cast<uInt>(body.size())));
}

// A PNG file built byte by byte, so that the reader meets files it did not
// write; rows are packed as the PNG stores them, the header's height may lie.
std::string pngFile(std::uint32_t width, std::uint32_t height, int depth, int colorType,
                    const std::vector<Pels>& rows, const Pels& palette = {}, int sbit = 0) {
    std::string raw;
    for (const Pels& r : rows)
        raw += '\0' + std::string(r.begin(), r.end());  // filter: none
    uLongf size = compressBound(raw.size());
    std::string z(size, '\0');
    compress(reinterpret_cast<Bytef*>(z.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
             raw.size());
    z.resize(size);
    const std::string header = be32(width) + be32(height) + static_cast<char>(depth) +
                               static_cast<char>(colorType) + std::string(3, '\0');
    return "\x89PNG\r\n\x1a\n" + chunk("IHDR", header) +
           (sbit == 0 ? "" : chunk("sBIT", std::string(1, static_cast<char>(sbit)))) +
           (palette.empty() ? "" : chunk("PLTE", std::string(palette.begin(), palette.end()))) +
           chunk("IDAT", z) + chunk("IEND", "");
}

GrayImage decodeAny(const std::string& bytes, const std::string& name = "m.tif") {
    return imgnorm_cli::decodeGrayImage(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                        bytes.size(), name);
}

template <class T>
std::string bytesOf(const std::vector<T>& v) {
    return std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

}  // namespace

// Each image sits in larger storage, away from position (0, 0), and is
// written twice to one path: the second write replaces the file whole. The
// extension chooses the format in any case. 8-bit images, and 16-bit ones of
// no stated depth, 12 and 16 bits keep their samples and depth (PGM always
// states one: 16 for an unstated depth).
TEST(WriteImage, RoundTripOfAWindowKeepsEveryPixelAndDepthAtAwkwardSizes) {
    const fs::path dir = freshDir();
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 3},  {3, 1},   {7, 5}, {8, 2},
                                         {9, 9}, {63, 4}, {64, 64}, {65, 3}};
    for (std::uint32_t seed = 0; seed < std::size(sizes); ++seed) {
        auto gen = testimg::rng(seed);
        const int w = sizes[seed].first, h = sizes[seed].second;
        for (const int depth : {8, 0, 12, 16})
            for (const std::string ext : {".PNG", ".Pnm", ".TIFF"}) {
                SCOPED_TRACE(ext + " depth " + std::to_string(depth) + " seed " +
                             std::to_string(seed));
                const auto roundTrip = [&](auto pel) {
                    using T = decltype(pel);
                    const auto img = testimg::random<T>(w, h, gen, 0, depth == 12 ? 4095 : T(~0u));
                    const auto big = testimg::embedded<T>(img, 4, T(~0u), {20, -7});
                    const fs::path fresh = dir / ("fresh" + ext), reused = dir / ("img" + ext);
                    for (const fs::path& file : {fresh, reused, reused}) {
                        if constexpr (sizeof(T) == 1)
                            writeImage(file.string(), big);
                        else
                            writeImage(file.string(), big, depth);
                    }
                    EXPECT_EQ(readFile(reused), readFile(fresh));
                    fs::remove(fresh);
                    const GrayImage back = imgnorm_cli::readGrayImage(reused.string());
                    ASSERT_EQ(back.deep(), sizeof(T) == 2);
                    EXPECT_EQ(back.depth, depth == 0 && ext == ".Pnm" ? 16 : depth);
                    const auto& pels = std::get<vkPelBuffer<T>>(back.pels);
                    EXPECT_EQ(pels.window(), vkPelRect(0, 0, w, h));
                    EXPECT_EQ(testimg::pixels(pels), testimg::pixels(img));
                };
                depth == 8 ? roundTrip(std::uint8_t{}) : roundTrip(std::uint16_t{});
            }
    }
}

TEST(WriteImage, FailureOrBadArgumentsLeaveNeitherTargetNorTemporaryFile) {
    const fs::path dir = freshDir();
    auto gen = testimg::rng(5);
    const vkPelBuffer<std::uint8_t> img = testimg::random<std::uint8_t>(4, 3, gen), none;
    fs::create_directories(dir / "taken.png" / "inside");  // the final rename fails
    const std::tuple<std::string, vkPelBuffer<std::uint8_t>, std::string> cases[] = {
        {"taken.png", img, "taken.png: "},
        {"none/x.png", img, "x.png: "},
        {"x.jpg", img, "x.jpg: unknown image file type '.jpg'"},
        {"x.png", none, "x.png: no pixels"},
    };
    for (const auto& c : cases) {
        const auto& name = std::get<0>(c);
        const auto& image = std::get<1>(c);
        EXPECT_NE(
            fileErrorOf([&] { writeImage((dir / name).string(), image); }).find(std::get<2>(c)),
            std::string::npos);
    }
    const auto deep = testimg::fromRows<std::uint16_t>(2, 1, {4095, 4096});
    EXPECT_NE(fileErrorOf([&] {
                  writeImage((dir / "d.png").string(), deep, 12);
              }).find("d.png: sample value 4096 at (1, 0) does not fit in 12 bits"),
              std::string::npos);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST(DecodeImage, LowDepthsGrayPalettesAndSmallMaxvalsAreScaledToTheFullRange) {
    const std::pair<std::string, Pels> cases[] = {
        {pngFile(10, 1, 1, 0, {{0xB1, 0x80}}), {255, 0, 255, 255, 0, 0, 0, 255, 255, 0}},
        {pngFile(4, 1, 2, 0, {{0x1B}}), {0, 85, 170, 255}},
        {pngFile(3, 1, 4, 0, {{0x01, 0xF0}}), {0, 17, 255}},
        {pngFile(4, 1, 8, 3, {{2, 0, 1, 2}}, {10, 10, 10, 200, 200, 200, 77, 77, 77}),
         {77, 10, 200, 77}},
        // v * 255 / maxval, rounded to nearest: 3 * 25.5 = 76.5 -> 77.
        {"P2\n# by hand\n3 2 # size\n10\n0 1 3\n# row two\n7 9 10\n", {0, 26, 77, 179, 230, 255}},
        {std::string("P5 3 1 15\n") + '\x00' + '\x07' + '\x0f', {0, 119, 255}},
    };
    for (const auto& [bytes, expected] : cases)
        EXPECT_EQ(testimg::pixels(decode(bytes)), expected) << bytes.substr(0, 20);
}

// sBIT shifts the scaled-up samples back (bit-replicated or zero-filled);
// without it, or from a PGM, the samples are kept as stored.
TEST(DecodeImage, DeepPngAndPgmKeepTheirSamplesAndStateTheirDepth) {
    const std::tuple<std::string, std::vector<std::uint16_t>, int> cases[] = {
        {pngFile(3, 1, 16, 0, {{0xFF, 0xFF, 0x80, 0x08, 0x00, 0x10}}, {}, 12), {4095, 2048, 1}, 12},
        {pngFile(2, 1, 16, 0, {{0x12, 0x34, 0xAB, 0xCD}}, {}, 16), {0x1234, 0xABCD}, 16},
        {pngFile(2, 1, 16, 0, {{0x12, 0x34, 0xAB, 0xCD}}), {0x1234, 0xABCD}, 0},
        {std::string("P5 2 1 1000\n") + "\x03\xe8" + '\0' + '\x07', {1000, 7}, 10},
        {"P2\n2 1\n4095\n4095 0\n", {4095, 0}, 12},
    };
    for (const auto& [bytes, expected, depth] : cases) {
        const GrayImage image = decodeAny(bytes);
        ASSERT_TRUE(image.deep()) << bytes.substr(0, 12);
        EXPECT_EQ(testimg::pixels(std::get<1>(image.pels)), expected);
        EXPECT_EQ(image.depth, depth);
    }
}

// Files libtiff writes in every layout the reader takes, tiles cut at the
// image's edges.
TEST(DecodeImage, TiffStripsTilesCompressionsAndByteOrdersDecodeExactly) {
    const fs::path dir = freshDir();
    auto gen = testimg::rng(11);
    const std::uint32_t w = 37, h = 21;
    for (const int bits : {8, 16})
        for (const int compression :
             {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE, COMPRESSION_PACKBITS})
            for (const bool tiled : {false, true})
                for (const char* mode : {"wl", "wb", "w8"}) {
                    SCOPED_TRACE(std::to_string(bits) + " bits, compression " +
                                 std::to_string(compression) + (tiled ? " tiles " : " strips ") +
                                 mode);
                    const auto set = [&](TIFF* t) {
                        TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
                        if (compression != COMPRESSION_NONE && compression != COMPRESSION_PACKBITS)
                            TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
                        if (tiled) {
                            TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
                            TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
                        } else {
                            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 4);
                        }
                    };
                    const auto check = [&](auto pel) {
                        using T = decltype(pel);
                        const auto pels = testimg::pixels(testimg::random<T>(w, h, gen, 0, T(~0u)));
                        const GrayImage back = decodeAny(
                            tiffFile(dir / "t.tif", w, h, bits, set, bytesOf(pels), mode));
                        ASSERT_EQ(back.deep(), bits == 16);
                        EXPECT_EQ(testimg::pixels(std::get<vkPelBuffer<T>>(back.pels)), pels);
                    };
                    bits == 8 ? check(std::uint8_t{}) : check(std::uint16_t{});
                }
}

TEST(DecodeImage, UnsupportedMalformedAndHugeFilesAreNamedErrors) {
    const fs::path tif = freshDir() / "t.tif";
    const auto tiff = [&](int bits, const std::function<void(TIFF*)>& set, int pages = 1) {
        return tiffFile(tif, 16, 16, bits, set, std::string(1, '\x55'), "w", pages);
    };
    const auto none = [](TIFF*) {};
    const std::pair<std::string, std::string> cases[] = {
        {"", "empty file"},
        {"hello, world", "not a PNG, PGM or TIFF image"},
        {pngFile(2, 1, 16, 0, {{0x0F, 0xFF, 0x00, 0x01}}, {}, 12), "not scaled up to 16 bits"},
        {"P5 1 1 70000\n\x01\x02", "maximum value 70000 is above 65535"},
        {"P5 1 1 1000\n\x03\xe9", "pixel value 1001 exceeds the maximum value 1000"},
        {tiff(8,
              [](TIFF* t) {
                  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
                  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
              }),
         "colour TIFF (RGB)"},
        {tiff(8,
              [](TIFF* t) {
                  const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
                  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 2);
                  TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &alpha);
              }),
         "grayscale TIFF with an alpha"},
        {tiff(32, [](TIFF* t) { TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP); }),
         "32-bit TIFF"},
        {tiff(16, [](TIFF* t) { TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT); }),
         "signed TIFF samples"},
        {tiff(1, none), "1-bit TIFF"},
        {tiff(8, [](TIFF* t) { TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE); }),
         "MinIsWhite"},
        {tiff(8, [](TIFF* t) { TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG); }),
         "TIFF compression JPEG is not read"},
        {tiff(8, [](TIFF* t) { TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_BOTRIGHT); }),
         "TIFF orientation 3"},
        {tiff(8, none, 2), "TIFF with more than one page"},
        {tiff(16, [](TIFF* t) { TIFFSetField(t, TIFFTAG_MAXSAMPLEVALUE, 4095); }),
         "sample value 21845 exceeds the MaxSampleValue 4095"},
        {pngFile(3, 1, 8, 2, {Pels(9, 90)}), "colour PNG (RGB)"},
        {pngFile(2, 1, 8, 3, {{1, 0}}, {10, 10, 10, 200, 200, 0}), "colour PNG (palette)"},
        {pngFile(2, 1, 8, 4, {{1, 2, 3, 4}}), "grayscale PNG with an alpha"},
        {pngFile(2, 1, 16, 0, {{1, 2, 3, 4}}), "16-bit PNG"},
        // Within libpng's limits, beyond ours: rejected from the header.
        {pngFile(60000, 60000, 8, 0, {Pels(60000)}), "image of 60000 x 60000 pixels is larger"},
        {"P5 1 1 65535\n\x01\x02", "16-bit PGM"},
        {"P6 1 1 255\nabc", "colour PPM"},
        {"P5\n3 x\n255\n", "height is not a number"},
        {"P5\n3 2\n0\n", "maximum value must be at least 1"},
        {"P5\n0 2\n255\n", "no pixels"},
        {"P5\n3 2\n255", "no whitespace after the maximum value"},
        {"P2\n2 1\n10\n3 11\n", "pixel value 11 exceeds the maximum value 10"},
        {std::string("P5 2 1 10\n") + '\x03' + '\x0b',
         "pixel value 11 exceeds the maximum value 10"},
        {"P2\n2 1\n255\n3\n", "file is truncated"},
        {"P5\n99999999999999 2\n255\n", "too large"},
        // The bytes are not there: rejected before the pixels are allocated.
        {"P5\n10000 10000\n255\n" + std::string(50, '\0'), "file is truncated: 100000000 bytes"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string& bytes = text;
        const std::string msg = fileErrorOf([&] { decode(bytes, "m.pgm"); });
        EXPECT_EQ(msg.rfind("m.pgm: ", 0), 0u) << msg;
        EXPECT_NE(msg.find(expected), std::string::npos) << expected << " <> " << msg;
    }
}

TEST(DecodeImage, TruncatedFilesAreErrorsAndFlippedPngBytesChangeNoPixel) {
    auto gen = testimg::rng(7);
    const fs::path dir = freshDir();
    const fs::path tif = dir / "small.tif";
    writeImage(tif.string(), testimg::random<std::uint16_t>(13, 11, gen, 0, 65535), 0);
    const std::string tiff = readFile(tif);
    // (Its last four bytes only end the list of pages: the image is whole
    // without them.)
    for (std::size_t i = 0; i + 4 < tiff.size(); ++i)
        EXPECT_EQ(
            fileErrorOf([&] { decodeAny(tiff.substr(0, i), "cut.tif"); }).rfind("cut.tif: ", 0), 0u)
            << "byte " << i;

    const fs::path file = dir / "small.png";
    writeImage(file.string(), testimg::random<std::uint8_t>(13, 11, gen));
    const std::string png = readFile(file);
    const auto original = testimg::pixels(decode(png));
    std::size_t rejected = 0;
    for (std::size_t i = 0; i < png.size(); ++i) {
        SCOPED_TRACE("byte " + std::to_string(i));
        EXPECT_EQ(fileErrorOf([&] { decode(png.substr(0, i), "cut.png"); }).rfind("cut.png: ", 0),
                  0u);
        std::string bad = png;
        bad[i] = static_cast<char>(bad[i] ^ 0x5A);
        try {
            // Only bytes that no checksum covers may change silently, and
            // then the pixels must still be the original ones.
            EXPECT_EQ(testimg::pixels(decode(bad, "bad.png")), original);
        } catch (const FileError& e) {
            ++rejected;
            EXPECT_EQ(std::string(e.what()).rfind("bad.png: ", 0), 0u);
        }
    }
    EXPECT_GT(rejected, png.size() * 9 / 10);
}
