// PNG files through libpng: gray of 1 to 16 bits and palettes of grays.
//
// libpng reports errors by longjmp. Every call into libpng that can fail runs
// inside a function whose frame holds the setjmp and no C++ object with a
// destructor, so the jump never skips one; the C++ objects (the pixel buffer,
// the row pointers, the guards that free libpng's structures) live in the
// callers' frames.
#include <png.h>

#include <algorithm>
#include <array>
#include <bit>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs.h"

namespace imgnorm_cli {

namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

struct PngErrorSink {
    char message[256];
};

void onPngError(png_structp png, png_const_charp message) {
    auto* sink = static_cast<PngErrorSink*>(png_get_error_ptr(png));
    std::snprintf(sink->message, sizeof sink->message, "%s",
                  message != nullptr ? message : "unknown error");
    png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

struct PngMemoryReader {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
};

void onPngRead(png_structp png, png_bytep out, png_size_t count) {
    auto* reader = static_cast<PngMemoryReader*>(png_get_io_ptr(png));
    if (reader->size - reader->pos < count) png_error(png, "file is truncated");
    std::memcpy(out, reader->data + reader->pos, count);
    reader->pos += count;
}

struct PngHeader {
    png_uint_32 width;
    png_uint_32 height;
    int bitDepth;
    int colorType;
    int significantBits;  // of the sBIT chunk; 0 without one
    int paletteSize;
    png_color palette[256];
};

bool readPngHeader(png_structp png, png_infop info, PngHeader* header) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_user_limits(png, static_cast<png_uint_32>(kMaxSide),
                        static_cast<png_uint_32>(kMaxSide));
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Fuzzed files keep their mutated chunks: checksums would reject them all.
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#ifdef PNG_IGNORE_ADLER32
    png_set_option(png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
#endif
    png_read_info(png, info);
    int interlace = 0;
    png_get_IHDR(png, info, &header->width, &header->height, &header->bitDepth, &header->colorType,
                 &interlace, nullptr, nullptr);
    png_color_8p sbit = nullptr;
    header->significantBits =
        png_get_sBIT(png, info, &sbit) != 0 && sbit != nullptr ? sbit->gray : 0;
    header->paletteSize = 0;
    png_colorp palette = nullptr;
    int count = 0;
    if (header->colorType == PNG_COLOR_TYPE_PALETTE &&
        png_get_PLTE(png, info, &palette, &count) != 0) {
        header->paletteSize = std::clamp(count, 0, 256);
        std::memcpy(header->palette, palette,
                    sizeof(png_color) * static_cast<std::size_t>(header->paletteSize));
    }
    return true;
}

// Reads the pixels as one byte each (gray levels, or palette indices) or,
// for 16-bit files, as native 16-bit samples.
bool readPngRows(png_structp png, png_infop info, const PngHeader* header, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    if (header->bitDepth < 8) {
        if (header->colorType == PNG_COLOR_TYPE_PALETTE)
            png_set_packing(png);
        else
            png_set_expand_gray_1_2_4_to_8(png);
    }
    if (header->bitDepth == 16 && kLittleEndian) png_set_swap(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != header->width * (header->bitDepth == 16 ? 2u : 1u))
        png_error(png, "unexpected row size");
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

// Frees libpng's structures however reading or writing ends.
template <void (*Destroy)(png_structpp, png_infopp)>
struct PngGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngGuard() {
        if (png != nullptr) Destroy(&png, info != nullptr ? &info : nullptr);
    }
};
void destroyRead(png_structpp png, png_infopp info) { png_destroy_read_struct(png, info, nullptr); }
using PngReadGuard = PngGuard<destroyRead>;
using PngWriteGuard = PngGuard<png_destroy_write_struct>;

template <class T>
std::vector<png_bytep> rowPointers(const vkPelBuffer<T>& image) {
    std::vector<png_bytep> rows(static_cast<std::size_t>(image.height()));
    for (std::size_t y = 0; y < rows.size(); ++y)
        rows[y] = reinterpret_cast<png_bytep>(image.pointToOffset() +
                                              static_cast<std::ptrdiff_t>(y) * image.rowUpdate());
    return rows;
}

// A 16-bit file of d < 16 significant bits stores each sample scaled up to
// 16 bits; shifting down recovers it. Samples that all fit in d bits yet use
// the low bits were written unscaled: shifting would lose them.
std::int32_t unscale(const vkPelBuffer<std::uint16_t>& image, int significantBits,
                     const std::string& name) {
    if (significantBits == 16) return 16;
    if (significantBits < 9 || significantBits > 16) return 0;
    const int shift = 16 - significantBits;
    const std::uint16_t lowMask = static_cast<std::uint16_t>((1 << shift) - 1);
    std::uint16_t largest = 0, lowBits = 0;
    std::uint16_t* row = image.pointToOffset();
    for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate())
        for (std::int32_t x = 0; x < image.width(); ++x) {
            largest = std::max(largest, row[x]);
            lowBits = static_cast<std::uint16_t>(lowBits | (row[x] & lowMask));
        }
    if (lowBits != 0 && largest < (1u << significantBits))
        throw FileError(name, "16-bit PNG whose sBIT chunk states " +
                                  std::to_string(significantBits) +
                                  " significant bits, but whose samples are not scaled up to 16 "
                                  "bits (the largest is " +
                                  std::to_string(largest) +
                                  "); write the file without sBIT, or scale the samples");
    row = image.pointToOffset();
    for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate())
        for (std::int32_t x = 0; x < image.width(); ++x)
            row[x] = static_cast<std::uint16_t>(row[x] >> shift);
    return significantBits;
}

bool writePngRows(png_structp png, png_infop info, FILE* file, png_uint_32 width,
                  png_uint_32 height, int bitDepth, int significantBits, png_const_colorp palette,
                  int paletteSize, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    // Fast compression: five times quicker than zlib's default on camera
    // images, for files about an eighth larger.
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, width, height, bitDepth,
                 palette != nullptr ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (palette != nullptr) png_set_PLTE(png, info, palette, paletteSize);
    if (significantBits != 0) {
        png_color_8 sbit{};
        sbit.gray = static_cast<png_byte>(significantBits);
        png_set_sBIT(png, info, &sbit);
    }
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

}  // namespace

GrayImage decodePng(const std::uint8_t* data, std::size_t size, const std::string& name) {
    PngErrorSink sink{};
    PngMemoryReader reader{data, size, 0};
    PngReadGuard guard;
    guard.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &sink, onPngError, onPngWarning);
    if (guard.png == nullptr) throw FileError(name, "cannot start the PNG decoder");
    guard.info = png_create_info_struct(guard.png);
    if (guard.info == nullptr) throw FileError(name, "cannot start the PNG decoder");
    png_set_read_fn(guard.png, &reader, onPngRead);

    auto header = std::make_unique<PngHeader>();
    if (!readPngHeader(guard.png, guard.info, header.get()))
        throw FileError(name, std::string("corrupt PNG file: ") + sink.message);

    const std::string notGray = "; imgnorm reads grayscale images";
    switch (header->colorType) {
        case PNG_COLOR_TYPE_GRAY:
            break;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            throw FileError(name, "grayscale PNG with an alpha channel" + notGray);
        case PNG_COLOR_TYPE_PALETTE:
            for (int i = 0; i < header->paletteSize; ++i) {
                const png_color& c = header->palette[i];
                if (c.red != c.green || c.green != c.blue)
                    throw FileError(name, "colour PNG (palette)" + notGray);
            }
            break;
        default:
            throw FileError(
                name, std::string("colour PNG (") +
                          ((header->colorType & PNG_COLOR_MASK_ALPHA) != 0 ? "RGBA" : "RGB") + ")" +
                          notGray);
    }
    codec::checkDimensions(name, header->width, header->height);
    const auto w = static_cast<std::int32_t>(header->width),
               h = static_cast<std::int32_t>(header->height);

    if (header->bitDepth == 16) {
        vkPelBuffer<std::uint16_t> image(w, h);
        std::vector<png_bytep> rows = rowPointers(image);
        if (!readPngRows(guard.png, guard.info, header.get(), rows.data()))
            throw FileError(name, std::string("corrupt PNG file: ") + sink.message);
        const std::int32_t depth = unscale(image, header->significantBits, name);
        return {image, depth};
    }

    vkPelBuffer<std::uint8_t> image(w, h);
    std::vector<png_bytep> rows = rowPointers(image);
    if (!readPngRows(guard.png, guard.info, header.get(), rows.data()))
        throw FileError(name, std::string("corrupt PNG file: ") + sink.message);
    if (header->colorType == PNG_COLOR_TYPE_PALETTE) {
        std::uint8_t gray[256] = {};
        for (int i = 0; i < header->paletteSize; ++i)
            gray[i] = header->palette[i].red;
        for (png_bytep row : rows)
            for (png_uint_32 x = 0; x < header->width; ++x) {
                if (row[x] >= header->paletteSize)
                    throw FileError(name, "corrupt PNG file: palette index " +
                                              std::to_string(row[x]) + " beyond the palette's " +
                                              std::to_string(header->paletteSize) + " entries");
                row[x] = gray[row[x]];
            }
    }
    return {image, 8};
}

namespace codec {

void encodePng(FILE* file, const EncodeSource& image, const std::string& name) {
    PngErrorSink sink{};
    PngWriteGuard guard;
    guard.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, onPngError, onPngWarning);
    if (guard.png == nullptr) throw FileError(name, "cannot start the PNG encoder");
    guard.info = png_create_info_struct(guard.png);
    if (guard.info == nullptr) throw FileError(name, "cannot start the PNG encoder");
    std::vector<png_bytep> rows(static_cast<std::size_t>(image.height));
    // 16-bit samples go most significant byte first, scaled up to 16 bits by
    // repeating their top bits below them (4095 of 12 bits becomes 65535).
    std::vector<std::uint8_t> wide;
    const bool deep = image.bytesPerSample == 2;
    if (deep) {
        const auto w = static_cast<std::size_t>(image.width);
        wide.resize(2 * w * rows.size());
        const int up = image.depth == 0 ? 0 : 16 - image.depth, down = image.depth - up;
        for (std::int32_t y = 0; y < image.height; ++y) {
            const auto* in = reinterpret_cast<const std::uint16_t*>(image.row(y));
            std::uint8_t* out = wide.data() + 2 * w * static_cast<std::size_t>(y);
            for (std::size_t x = 0; x < w; ++x) {
                const unsigned v =
                    up == 0 ? in[x] : (unsigned{in[x]} << up | unsigned{in[x]} >> down);
                out[2 * x] = static_cast<std::uint8_t>(v >> 8);
                out[2 * x + 1] = static_cast<std::uint8_t>(v);
            }
            rows[static_cast<std::size_t>(y)] = out;
        }
    } else {
        for (std::int32_t y = 0; y < image.height; ++y)
            // libpng takes non-const rows but only reads them when writing.
            rows[static_cast<std::size_t>(y)] = const_cast<png_bytep>(image.row(y));
    }
    std::array<png_color, 256> palette{};
    const int paletteSize = std::clamp(image.paletteSize, 1, 256);
    if (image.palette != nullptr)
        for (std::size_t i = 0; i < static_cast<std::size_t>(paletteSize); ++i)
            palette[i] = {image.palette[3 * i], image.palette[3 * i + 1], image.palette[3 * i + 2]};
    if (!writePngRows(guard.png, guard.info, file, static_cast<png_uint_32>(image.width),
                      static_cast<png_uint_32>(image.height), deep ? 16 : 8, deep ? image.depth : 0,
                      image.palette != nullptr && !deep ? palette.data() : nullptr, paletteSize,
                      rows.data()))
        throw FileError(name, std::string("cannot write PNG: ") + sink.message);
}

std::string encodePngBytes(const EncodeSource& image, const std::string& name) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* file = ::open_memstream(&buffer, &size);
    if (file == nullptr) throw std::bad_alloc();
    try {
        encodePng(file, image, name);
    } catch (...) {
        std::fclose(file);
        std::free(buffer);
        throw;
    }
    const bool flushed = std::fclose(file) == 0;
    std::string bytes = flushed ? std::string(buffer, size) : std::string();
    std::free(buffer);
    if (!flushed) throw FileError(name, "cannot encode PNG in memory");
    return bytes;
}

}  // namespace codec

}  // namespace imgnorm_cli
