// Reading and writing PNG and PGM files: exact round trips, the accepted and
// rejected kinds of file, hostile and damaged files, and safe replacement.
#include "image_io.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "files.h"
#include "support/images.h"

using imgnorm_cli::FileError;
using imgnorm_cli::readImage;
using imgnorm_cli::writeImage;
using namespace clitest;

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
                    const std::vector<Pels>& rows, const Pels& palette = {}) {
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
           (palette.empty() ? "" : chunk("PLTE", std::string(palette.begin(), palette.end()))) +
           chunk("IDAT", z) + chunk("IEND", "");
}

}  // namespace

// Each image sits in larger storage, away from position (0, 0), and is
// written twice to one path: the second write replaces the file whole. The
// extension chooses the format in any case.
TEST(WriteImage, RoundTripOfAWindowKeepsEveryPixelAtAwkwardSizes) {
    const fs::path dir = freshDir();
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 3},  {3, 1},   {7, 5}, {8, 2},
                                         {9, 9}, {63, 4}, {64, 64}, {65, 3}};
    for (std::uint32_t seed = 0; seed < std::size(sizes); ++seed) {
        auto gen = testimg::rng(seed);
        const auto img = testimg::random<std::uint8_t>(sizes[seed].first, sizes[seed].second, gen);
        const auto big = testimg::embedded<std::uint8_t>(img, 4, 255, {20, -7});
        for (const std::string ext : {".PNG", ".Pnm"}) {
            SCOPED_TRACE(ext + " seed " + std::to_string(seed));
            const fs::path fresh = dir / ("fresh" + ext), reused = dir / ("img" + ext);
            writeImage(fresh.string(), big);
            writeImage(reused.string(), big);
            EXPECT_EQ(readFile(reused), readFile(fresh));
            fs::remove(fresh);
            const auto back = readImage(reused.string());
            EXPECT_EQ(back.window(), vkPelRect(0, 0, img.width(), img.height()));
            EXPECT_EQ(testimg::pixels(back), testimg::pixels(img));
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
    for (const auto& [name, image, message] : cases)
        EXPECT_NE(fileErrorOf([&] { writeImage((dir / name).string(), image); }).find(message),
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

TEST(DecodeImage, UnsupportedMalformedAndHugeFilesAreNamedErrors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "empty file"},
        {"hello, world", "not a PNG or PGM image"},
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
    for (const auto& [bytes, expected] : cases) {
        const std::string msg = fileErrorOf([&] { decode(bytes, "m.pgm"); });
        EXPECT_EQ(msg.rfind("m.pgm: ", 0), 0u) << msg;
        EXPECT_NE(msg.find(expected), std::string::npos) << expected << " <> " << msg;
    }
}

TEST(DecodeImage, TruncatedOrFlippedPngBytesAreErrorsOrChangeNoPixel) {
    auto gen = testimg::rng(7);
    const fs::path file = freshDir() / "small.png";
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
