// Helpers for the command-line tool's tests: a fresh folder per test, raw
// file bytes, and PNG files of any colour type and depth written with
// libpng directly (so the reader is tested against files it did not write).
#pragma once

#include <gtest/gtest.h>
#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace clitest {

namespace fs = std::filesystem;

// An empty folder for the running test, under the build tree.
inline fs::path freshDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path dir = fs::path(IMGNORM_TEST_WORK_DIR) / (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

inline std::vector<std::uint8_t> readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void writeText(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

struct RawPng {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    int bitDepth = 8;
    int colorType = PNG_COLOR_TYPE_GRAY;
    std::vector<std::vector<std::uint8_t>> rows;  // packed as the PNG stores them
    std::vector<png_color> palette;
};

// libpng jumps out of this frame on error; it holds no C++ object.
inline bool writeRawPngFile(FILE* f, const RawPng* png, png_bytepp rows) {
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    if (setjmp(png_jmpbuf(p))) {
        png_destroy_write_struct(&p, &info);
        return false;
    }
    png_init_io(p, f);
    png_set_IHDR(p, info, png->width, png->height, png->bitDepth, png->colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!png->palette.empty())
        png_set_PLTE(p, info, const_cast<png_colorp>(png->palette.data()), static_cast<int>(png->palette.size()));
    png_write_info(p, info);
    png_write_image(p, rows);
    png_write_end(p, nullptr);
    png_destroy_write_struct(&p, &info);
    return true;
}

inline void writeRawPng(const fs::path& path, RawPng png) {
    std::vector<png_bytep> rows;
    for (auto& r : png.rows) rows.push_back(r.data());
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const bool ok = writeRawPngFile(f, &png, rows.data());
    std::fclose(f);
    ASSERT_TRUE(ok) << path;
}

// An RGB image of w x h pixels.
inline void writeRgbPng(const fs::path& path, std::uint32_t w, std::uint32_t h) {
    RawPng png;
    png.width = w;
    png.height = h;
    png.colorType = PNG_COLOR_TYPE_RGB;
    png.rows.assign(h, std::vector<std::uint8_t>(3 * w, 90));
    writeRawPng(path, png);
}

}  // namespace clitest
