// What the format files (png_io.cpp, pgm_io.cpp, tiff_io.cpp) share with
// image_io.cpp: the size checks and the encoders' view of an image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "image_io.h"

namespace imgnorm_cli::codec {

std::string sizeText(std::int64_t w, std::int64_t h);

// Rejects sizes that no pixel storage will be allocated for.
void checkDimensions(const std::string& name, std::int64_t w, std::int64_t h);

// The bits 0..16 needed to hold value (0 for 0).
std::int32_t bitsFor(std::uint32_t value);

// A window to encode: rows of width samples of bytesPerSample bytes
// (native byte order), rowBytes apart; depth as in GrayImage.
struct EncodeSource {
    const std::uint8_t* first;
    std::ptrdiff_t rowBytes;
    std::int32_t width;
    std::int32_t height;
    std::int32_t bytesPerSample;  // 1 or 2
    std::int32_t depth;
    // paletteSize RGB triples (1..256): 8-bit samples are indices into them
    // (PNG only).
    const std::uint8_t* palette = nullptr;
    std::int32_t paletteSize = 0;

    const std::uint8_t* row(std::int32_t y) const { return first + y * rowBytes; }
};

// Encoders writing to an open file; FileError naming name on failure.
void encodePng(std::FILE* file, const EncodeSource& image, const std::string& name);
void encodePgm(std::FILE* file, const EncodeSource& image, const std::string& name);
void encodeTiff(std::FILE* file, const EncodeSource& image, const std::string& name);

// The PNG file's bytes, in memory.
std::string encodePngBytes(const EncodeSource& image, const std::string& name);

}  // namespace imgnorm_cli::codec
