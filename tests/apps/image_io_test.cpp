// Reading and writing PNG and PGM files: exact round trips, the accepted and
// rejected kinds of file, hostile and damaged files, and safe replacement.
#include "image_io.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "files.h"
#include "support/images.h"

using imgnorm_cli::FileError;
using imgnorm_cli::readImage;
using imgnorm_cli::writeImage;
using namespace clitest;

namespace {

// The message of the FileError that f throws; fails the test when f throws
// nothing or something else.
template <class F>
std::string fileErrorOf(F f) {
    try {
        f();
    } catch (const FileError& e) {
        return e.what();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "not a FileError: " << e.what();
        return "";
    }
    ADD_FAILURE() << "no exception";
    return "";
}

void expectSamePixels(const vkPelBuffer_const<std::uint8_t>& a, const vkPelBuffer_const<std::uint8_t>& b) {
    ASSERT_EQ(a.width(), b.width());
    ASSERT_EQ(a.height(), b.height());
    EXPECT_EQ(testimg::pixels(a), testimg::pixels(b));
}

std::vector<std::uint8_t> smallPng(const fs::path& dir) {
    auto gen = testimg::rng(7);
    const auto img = testimg::random<std::uint8_t>(13, 11, gen);
    writeImage((dir / "small.png").string(), img);
    return readBytes(dir / "small.png");
}

// Rewrites the size in a PNG's header and its checksum, leaving the pixels.
void setPngSize(std::vector<std::uint8_t>& png, std::uint32_t w, std::uint32_t h) {
    auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) png[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    };
    put(16, w);
    put(20, h);
    put(29, static_cast<std::uint32_t>(crc32(0, png.data() + 12, 17)));
}

}  // namespace

TEST(WriteImage, PngAndPgmRoundTripsKeepEveryPixelAtAwkwardSizes) {
    const fs::path dir = freshDir();
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 3}, {3, 1}, {7, 5}, {8, 2}, {9, 9}, {63, 4}, {64, 64}, {65, 3}};
    for (std::uint32_t seed = 0; seed < std::size(sizes); ++seed) {
        auto gen = testimg::rng(seed);
        const auto img = testimg::random<std::uint8_t>(sizes[seed].first, sizes[seed].second, gen);
        for (const char* ext : {".png", ".pgm"}) {
            SCOPED_TRACE(std::string(ext) + " seed " + std::to_string(seed));
            const std::string path = (dir / ("img" + std::to_string(seed) + ext)).string();
            writeImage(path, img);
            const auto back = readImage(path);
            EXPECT_EQ(back.offset(), vkPair<std::int32_t>(0, 0));
            expectSamePixels(back, img);
        }
    }
}

TEST(WriteImage, WritesOnlyTheWindowOfLargerStorage) {
    const fs::path dir = freshDir();
    auto gen = testimg::rng(3);
    const auto content = testimg::random<std::uint8_t>(9, 5, gen);
    const auto big = testimg::embedded<std::uint8_t>(content, 4, 255, {20, -7});
    for (const char* name : {"w.png", "w.pgm"}) {
        writeImage((dir / name).string(), big);
        expectSamePixels(readImage((dir / name).string()), content);
    }
}

TEST(WriteImage, ReplacesAnExistingFileWhole) {
    const fs::path dir = freshDir();
    writeText(dir / "out.pgm", std::string(100000, 'x'));
    auto gen = testimg::rng(4);
    const auto img = testimg::random<std::uint8_t>(4, 3, gen);
    writeImage((dir / "out.pgm").string(), img);
    EXPECT_EQ(fs::file_size(dir / "out.pgm"), std::string("P5\n4 3\n255\n").size() + 12);
    expectSamePixels(readImage((dir / "out.pgm").string()), img);
}

TEST(WriteImage, FailureLeavesNeitherTargetNorTemporaryFile) {
    const fs::path dir = freshDir();
    auto gen = testimg::rng(5);
    const auto img = testimg::random<std::uint8_t>(4, 3, gen);
    // A folder where the file should go: the final rename fails.
    fs::create_directories(dir / "taken.png" / "inside");
    const std::string msg = fileErrorOf([&] { writeImage((dir / "taken.png").string(), img); });
    EXPECT_NE(msg.find("taken.png"), std::string::npos) << msg;
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir)) left.push_back(e.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"taken.png"});
    // A folder that does not exist.
    EXPECT_NE(fileErrorOf([&] { writeImage((dir / "none" / "x.png").string(), img); }).find("x.png"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "none"));
}

TEST(WriteImage, UnknownExtensionOrEmptyImageIsRejectedBeforeWriting) {
    const fs::path dir = freshDir();
    auto gen = testimg::rng(6);
    const auto img = testimg::random<std::uint8_t>(4, 3, gen);
    EXPECT_NE(fileErrorOf([&] { writeImage((dir / "x.jpg").string(), img); }).find("'.jpg'"), std::string::npos);
    EXPECT_NE(fileErrorOf([&] { writeImage((dir / "x.png").string(), vkPelBuffer<std::uint8_t>()); }).find("no pixels"),
              std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir));
    EXPECT_EQ(imgnorm_cli::formatForPath("A.PNG"), imgnorm_cli::ImageFormat::png);
    EXPECT_EQ(imgnorm_cli::formatForPath("a.Pnm"), imgnorm_cli::ImageFormat::pgm);
}

TEST(ReadImage, LowDepthGrayIsScaledToTheFullRange) {
    const fs::path dir = freshDir();
    RawPng one;  // 1-bit: 1 0 1 1 0 0 0 1 1 0
    one.width = 10;
    one.bitDepth = 1;
    one.rows = {{0xB1, 0x80}};
    writeRawPng(dir / "one.png", one);
    EXPECT_EQ(testimg::pixels(readImage((dir / "one.png").string())),
              (std::vector<std::uint8_t>{255, 0, 255, 255, 0, 0, 0, 255, 255, 0}));
    RawPng four;  // 4-bit: 0, 1, 15 scale by 17
    four.width = 3;
    four.bitDepth = 4;
    four.rows = {{0x01, 0xF0}};
    writeRawPng(dir / "four.png", four);
    EXPECT_EQ(testimg::pixels(readImage((dir / "four.png").string())), (std::vector<std::uint8_t>{0, 17, 255}));
}

TEST(ReadImage, GrayPaletteIsMappedAndColourPaletteRejected) {
    const fs::path dir = freshDir();
    RawPng pal;
    pal.width = 4;
    pal.colorType = PNG_COLOR_TYPE_PALETTE;
    pal.palette = {{10, 10, 10}, {200, 200, 200}, {77, 77, 77}};
    pal.rows = {{2, 0, 1, 2}};
    writeRawPng(dir / "gray.png", pal);
    EXPECT_EQ(testimg::pixels(readImage((dir / "gray.png").string())), (std::vector<std::uint8_t>{77, 10, 200, 77}));
    pal.palette[1] = {200, 0, 0};
    writeRawPng(dir / "red.png", pal);
    const std::string msg = fileErrorOf([&] { readImage((dir / "red.png").string()); });
    EXPECT_NE(msg.find("red.png: colour PNG (palette)"), std::string::npos) << msg;
}

TEST(ReadImage, ColourAlphaAndSixteenBitFilesAreRejectedNamingTheFile) {
    const fs::path dir = freshDir();
    writeRgbPng(dir / "rgb.png", 3, 2);
    EXPECT_NE(fileErrorOf([&] { readImage((dir / "rgb.png").string()); }).find("rgb.png: colour PNG (RGB)"),
              std::string::npos);
    RawPng ga;
    ga.width = 2;
    ga.colorType = PNG_COLOR_TYPE_GRAY_ALPHA;
    ga.rows = {{1, 2, 3, 4}};
    writeRawPng(dir / "ga.png", ga);
    EXPECT_NE(fileErrorOf([&] { readImage((dir / "ga.png").string()); }).find("ga.png: grayscale PNG with an alpha"),
              std::string::npos);
    RawPng deep;
    deep.width = 2;
    deep.bitDepth = 16;
    deep.rows = {{1, 2, 3, 4}};
    writeRawPng(dir / "deep.png", deep);
    EXPECT_NE(fileErrorOf([&] { readImage((dir / "deep.png").string()); }).find("deep.png: 16-bit PNG"),
              std::string::npos);
    writeText(dir / "deep.pgm", "P5 1 1 65535\n\x01\x02");
    EXPECT_NE(fileErrorOf([&] { readImage((dir / "deep.pgm").string()); }).find("deep.pgm: 16-bit PGM"),
              std::string::npos);
    writeText(dir / "c.ppm", "P6 1 1 255\nabc");
    EXPECT_NE(fileErrorOf([&] { readImage((dir / "c.ppm").string()); }).find("colour PPM"), std::string::npos);
}

TEST(ReadImage, MissingEmptyFolderAndForeignFilesAreNamedErrors) {
    const fs::path dir = freshDir();
    EXPECT_EQ(fileErrorOf([&] { readImage((dir / "gone.png").string()); }), (dir / "gone.png").string() + ": no such file");
    EXPECT_NE(fileErrorOf([&] { readImage(dir.string()); }).find("not a regular file"), std::string::npos);
    writeText(dir / "empty.png", "");
    EXPECT_NE(fileErrorOf([&] { readImage((dir / "empty.png").string()); }).find("empty.png: empty file"),
              std::string::npos);
    writeText(dir / "text.png", "hello, world");
    EXPECT_NE(fileErrorOf([&] { readImage((dir / "text.png").string()); }).find("text.png: not a PNG or PGM image"),
              std::string::npos);
}

TEST(DecodeImage, EveryTruncationOfAPngFailsCleanly) {
    const auto png = smallPng(freshDir());
    for (std::size_t n = 0; n < png.size(); ++n) {
        SCOPED_TRACE("length " + std::to_string(n));
        const std::string msg = fileErrorOf([&] { imgnorm_cli::decodeImage(png.data(), n, "cut.png"); });
        EXPECT_EQ(msg.rfind("cut.png: ", 0), 0u) << msg;
    }
}

TEST(DecodeImage, FlippedBytesAnywhereNeverCrash) {
    const auto png = smallPng(freshDir());
    const auto original = imgnorm_cli::decodeImage(png.data(), png.size(), "ok.png");
    std::size_t rejected = 0;
    for (std::size_t i = 0; i < png.size(); ++i) {
        auto bad = png;
        bad[i] ^= 0x5A;
        try {
            const auto img = imgnorm_cli::decodeImage(bad.data(), bad.size(), "bad.png");
            // Only bytes that no checksum covers may change silently, and
            // then the pixels must still be the original ones.
            expectSamePixels(img, original);
        } catch (const FileError& e) {
            ++rejected;
            EXPECT_EQ(std::string(e.what()).rfind("bad.png: ", 0), 0u);
        }
    }
    EXPECT_GT(rejected, png.size() * 9 / 10);
}

TEST(DecodeImage, HugeDimensionsAreRejectedFromTheHeader) {
    auto png = smallPng(freshDir());
    setPngSize(png, 60000, 60000);  // within libpng's limits, beyond ours
    std::string msg = fileErrorOf([&] { imgnorm_cli::decodeImage(png.data(), png.size(), "huge.png"); });
    EXPECT_NE(msg.find("60000 x 60000 pixels is larger"), std::string::npos) << msg;
    setPngSize(png, 3000000, 1);  // beyond libpng's side limit that we set
    msg = fileErrorOf([&] { imgnorm_cli::decodeImage(png.data(), png.size(), "wide.png"); });
    EXPECT_NE(msg.find("wide.png: corrupt PNG file"), std::string::npos) << msg;

    const std::string pgm = "P5\n70000 70000\n255\n";
    msg = fileErrorOf([&] {
        imgnorm_cli::decodeImage(reinterpret_cast<const std::uint8_t*>(pgm.data()), pgm.size(), "huge.pgm");
    });
    EXPECT_NE(msg.find("larger"), std::string::npos) << msg;
    // Within the limits, but the bytes are not there: rejected before the
    // pixels are allocated.
    const std::string cut = "P5\n10000 10000\n255\n" + std::string(50, '\0');
    msg = fileErrorOf([&] {
        imgnorm_cli::decodeImage(reinterpret_cast<const std::uint8_t*>(cut.data()), cut.size(), "cut.pgm");
    });
    EXPECT_NE(msg.find("cut.pgm: file is truncated: 100000000 bytes"), std::string::npos) << msg;
}

TEST(DecodeImage, PlainPgmWithCommentsAndSmallMaxvalIsRescaled) {
    const std::string plain = "P2\n# made by hand\n3 2 # size\n15\n0 1 2\n# row two\n13 14 15\n";
    const auto img =
        imgnorm_cli::decodeImage(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size(), "p.pgm");
    // v * 255 / 15, rounded: exact multiples of 17.
    EXPECT_EQ(testimg::pixels(img), (std::vector<std::uint8_t>{0, 17, 34, 221, 238, 255}));
    const std::string binary = std::string("P5 3 1 15\n") + '\x00' + '\x07' + '\x0f';
    EXPECT_EQ(testimg::pixels(imgnorm_cli::decodeImage(reinterpret_cast<const std::uint8_t*>(binary.data()),
                                                       binary.size(), "b.pgm")),
              (std::vector<std::uint8_t>{0, 119, 255}));
}

TEST(DecodeImage, MalformedPgmHeadersAndValuesAreNamedErrors) {
    const std::pair<std::string, std::string> cases[] = {
        {"P5\n3 x\n255\n", "height is not a number"},
        {"P5\n3 2\n0\n", "maximum value must be at least 1"},
        {"P5\n0 2\n255\n", "no pixels"},
        {"P5\n3 2\n255", "no whitespace after the maximum value"},
        {"P5\n3 2\n255\nab", "file is truncated"},
        {"P2\n2 1\n10\n3 11\n", "pixel value 11 exceeds the maximum value 10"},
        {std::string("P5 2 1 10\n") + '\x03' + '\x0b', "pixel value 11 exceeds the maximum value 10"},
        {"P2\n2 1\n255\n3\n", "file is truncated"},
        {"P5\n99999999999999 2\n255\n", "too large"},
    };
    for (const auto& [text, expected] : cases) {
        const std::string msg = fileErrorOf([&] {
            imgnorm_cli::decodeImage(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), "m.pgm");
        });
        EXPECT_NE(msg.find(expected), std::string::npos) << text << " -> " << msg;
        EXPECT_EQ(msg.rfind("m.pgm: ", 0), 0u) << msg;
    }
}
