// Reading and writing 8-bit grayscale images: PNG (through libpng) and PGM
// (binary P5 and plain P2).
//
// Reading recognises the format by the file's first bytes, not its name.
// Accepted: grayscale PNG of 1, 2, 4 or 8 bits (low depths are scaled to
// 0..255 as libpng expands them), palette PNG whose entries are all gray
// (mapped through the palette), PGM with a maximum value of 1..255 (values
// are rescaled to 0..255 when it is below 255). Transparency (tRNS) is
// ignored. Rejected with an error that names the file: colour PNG, PNG with
// an alpha channel, 16-bit PNG and PGM, corrupt or truncated files, and
// images wider or taller than kMaxSide or larger than kMaxPixels, which are
// rejected from the header, before any pixel storage is allocated.
//
// Writing chooses the format by the file name's extension (.png, .pgm or
// .pnm, in any case); PNG files are 8-bit gray, compressed at zlib level 1
// (fast; files about an eighth larger than at the default level). It writes
// a temporary file in the target's folder and renames it into place, so a
// failure never leaves a partial file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <imgnorm/pelbuffer.h>

namespace imgnorm_cli {

// A file could not be read, decoded or written. The message starts with the
// file's path.
class FileError : public std::runtime_error {
public:
    FileError(const std::string& path, const std::string& reason);
};

inline constexpr std::int32_t kMaxSide = 1 << 20;
inline constexpr std::int64_t kMaxPixels = std::int64_t{1} << 28;

enum class ImageFormat { png, pgm };

// The format that writeImage chooses for a path; FileError for any other
// extension.
ImageFormat formatForPath(const std::string& path);

// Reads an image file. The result's window starts at position (0, 0).
vkPelBuffer<std::uint8_t> readImage(const std::string& path);

// Decodes an image held in memory; name stands for the file in messages.
vkPelBuffer<std::uint8_t> decodeImage(const std::uint8_t* data, std::size_t size, const std::string& name);

// Writes the image's window (which must not be empty) to path, in the
// format of its extension, replacing any file there only when complete.
void writeImage(const std::string& path, const vkPelBuffer_const<std::uint8_t>& image);

}  // namespace imgnorm_cli
