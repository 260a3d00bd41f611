// Reading and writing grayscale images of 8 or 16 bits per sample: PNG
// (through libpng), PGM (binary P5 and plain P2) and TIFF (through libtiff).
//
// Reading recognises the format by the file's first bytes, not its name.
// Accepted:
// - PNG: gray of 1, 2, 4 or 8 bits (low depths are scaled to 0..255 as
//   libpng expands them), palettes whose entries are all gray (mapped through
//   the palette), and 16-bit gray. A 16-bit file's sBIT chunk of 9..16 bits
//   states its depth; its samples, which the format stores scaled up to 16
//   bits, are shifted back down to that depth (a file whose samples are
//   plainly not scaled up is rejected rather than shifted to near black). An
//   sBIT below 9 in a 16-bit file is ignored. Transparency (tRNS) is ignored.
// - PGM: maximum value 1..255 gives 8-bit samples (rescaled to 0..255 when it
//   is below 255); 256..65535 gives 16-bit samples, kept as they are, with
//   the depth of the maximum value (bits needed to hold it: 4095 gives 12).
// - TIFF: one gray image (black is 0) of 8 or 16-bit unsigned samples,
//   uncompressed, LZW, Deflate or PackBits, in strips or tiles, either byte
//   order. A 16-bit file's MaxSampleValue tag states its depth as PGM's
//   maximum value does.
// Every 16-bit sample of an image with a stated depth d lies in 0..2^d - 1.
// Rejected with an error that names the file: colour and alpha channels,
// other sample sizes and formats, lossy TIFF compression, several TIFF pages,
// TIFF orientations other than top-left, corrupt or truncated files, and
// images wider or taller than kMaxSide or larger than kMaxPixels, which are
// rejected from the header, before any pixel storage is allocated.
//
// Writing chooses the format by the file name's extension (.png, .pgm, .pnm,
// .tif or .tiff, in any case). PNG is compressed at zlib level 1 (fast; files
// about an eighth larger than at the default level), TIFF with Deflate at
// level 1 and horizontal differencing. A 16-bit image with a stated depth
// records it (PNG sBIT with samples scaled up by bit replication, PGM
// maximum value 2^d - 1, TIFF MaxSampleValue), so that reading the file back
// gives the same samples and depth. It writes a temporary file in the
// target's folder and renames it into place, so a failure never leaves a
// partial file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>

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

enum class ImageFormat { png, pgm, tiff };

// The format that writeImage chooses for a path; FileError for any other
// extension.
ImageFormat formatForPath(const std::string& path);

// An image as a file holds it: 8 or 16-bit samples, and the significant
// bits the file states. Its window starts at position (0, 0).
struct GrayImage {
    std::variant<vkPelBuffer<std::uint8_t>, vkPelBuffer<std::uint16_t>> pels;
    // 8 for 8-bit samples; for 16-bit samples the depth the file states
    // (9..16), or 0 when it states none (PNG without sBIT, TIFF without
    // MaxSampleValue).
    std::int32_t depth = 8;

    bool deep() const { return pels.index() == 1; }
};

// Decoders of one format each, from bytes held in memory; name stands for
// the file in messages. Each throws FileError for bytes it cannot read.
GrayImage decodePng(const std::uint8_t* data, std::size_t size, const std::string& name);
GrayImage decodePgm(const std::uint8_t* data, std::size_t size, const std::string& name);
GrayImage decodeTiff(const std::uint8_t* data, std::size_t size, const std::string& name);

// Decodes bytes of any of the formats, recognised by their first bytes.
GrayImage decodeGrayImage(const std::uint8_t* data, std::size_t size, const std::string& name);
// Reads and decodes an image file.
GrayImage readGrayImage(const std::string& path);

// The same for commands that take 8-bit images only: a 16-bit file is a
// FileError.
vkPelBuffer<std::uint8_t> decodeImage(const std::uint8_t* data, std::size_t size, const std::string& name);
vkPelBuffer<std::uint8_t> readImage(const std::string& path);

// Writes the image's window (which must not be empty) to path, in the
// format of its extension, replacing any file there only when complete.
void writeImage(const std::string& path, const vkPelBuffer_const<std::uint8_t>& image);
// The same for 16-bit samples of depth 9..16, or 0 to state none; a sample
// above 2^depth - 1 is a FileError.
void writeImage(const std::string& path, const vkPelBuffer_const<std::uint16_t>& image,
                std::int32_t depth);

// Writes bytes to path, replacing any file there only when complete;
// durable flushes the file to the disk before the rename and the folder
// after it, so that the new file also survives a system crash.
void writeWholeFile(const std::string& path, const std::string& bytes, bool durable = false);

// Removes the temporary files that writes in progress have created, for a
// handler of a signal that ends the process (it only calls unlink).
void removeTemporaryFiles();

}  // namespace imgnorm_cli
