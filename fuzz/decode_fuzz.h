// The body of the image decoder targets (png_decode_fuzz, pgm_decode_fuzz,
// tiff_decode_fuzz): arbitrary bytes go to one decoder of the command-line
// tool. Every failure must be the tool's FileError; anything else (a crash,
// a sanitizer report, another exception, a hang) is a finding. An image that
// decodes must be within the size limits with samples within its stated
// depth, and encoding it in the same format and decoding that again must
// give the same samples and depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "codecs.h"
#include "image_io.h"
#include "same_pixels.h"

namespace decode_fuzz {

using imgnorm_cli::GrayImage;
using Decoder = GrayImage (*)(const std::uint8_t*, std::size_t, const std::string&);
using Encoder = void (*)(std::FILE*, const imgnorm_cli::codec::EncodeSource&, const std::string&);

template <class T>
void checkImage(const vkPelBuffer<T>& image, std::int32_t depth) {
    if (!image.isBound() || image.offset() != vkPair<std::int32_t>(0, 0) || image.width() < 1 ||
        image.height() < 1 || image.width() > imgnorm_cli::kMaxSide || image.height() > imgnorm_cli::kMaxSide ||
        image.window().area() > imgnorm_cli::kMaxPixels)
        std::abort();
    if (sizeof(T) == 1 ? depth != 8 : (depth != 0 && (depth < 9 || depth > 16))) std::abort();
    if (sizeof(T) == 2 && depth != 0)
        for (std::int32_t y = 0; y < image.height(); ++y)
            for (std::int32_t x = 0; x < image.width(); ++x)
                if ((image.pointToOffset()[y * image.rowUpdate() + x] >> depth) != 0) std::abort();
}

// Encodes the image into a temporary file (the encoders seek back to
// patch headers, which a memory stream would cut short) and decodes it again.
template <class T>
GrayImage reencoded(const vkPelBuffer<T>& image, std::int32_t depth, Decoder decode, Encoder encode) {
    std::FILE* file = std::tmpfile();
    if (file == nullptr) std::abort();
    encode(file,
           {reinterpret_cast<const std::uint8_t*>(image.pointToOffset()),
            image.rowUpdate() * static_cast<std::ptrdiff_t>(sizeof(T)), image.width(), image.height(),
            static_cast<std::int32_t>(sizeof(T)), depth},
           "re-encoded");
    std::vector<std::uint8_t> bytes;
    if (std::fseek(file, 0, SEEK_END) == 0) bytes.resize(static_cast<std::size_t>(std::ftell(file)));
    std::rewind(file);
    if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) std::abort();
    std::fclose(file);
    return decode(bytes.data(), bytes.size(), "re-encoded");
}

// depthWithout: the depth a file written with depth 0 states when read.
inline int fuzz(const std::uint8_t* data, std::size_t size, Decoder decode, Encoder encode,
                std::int32_t depthWithout) {
    GrayImage image;
    try {
        image = decode(data, size, "fuzzed");
    } catch (const imgnorm_cli::FileError&) {
        return 0;
    }
    std::visit([&](const auto& pels) { checkImage(pels, image.depth); }, image.pels);
    const GrayImage back =
        std::visit([&](const auto& pels) { return reencoded(pels, image.depth, decode, encode); }, image.pels);
    const std::int32_t depth = image.deep() && image.depth == 0 ? depthWithout : image.depth;
    if (back.pels.index() != image.pels.index() || back.depth != depth) std::abort();
    if (image.deep() ? !samePixels<std::uint16_t>(std::get<1>(image.pels), std::get<1>(back.pels))
                     : !samePixels<std::uint8_t>(std::get<0>(image.pels), std::get<0>(back.pels)))
        std::abort();
    return 0;
}

}  // namespace decode_fuzz
