// TIFF files through libtiff: one page of 8 or 16-bit gray, in strips or
// tiles, uncompressed or with a lossless compression.
#include <tiffio.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <vector>

#include "codecs.h"

namespace imgnorm_cli {

namespace {

// The first error libtiff reports for one file (later ones tend to follow
// from it).
struct TiffErrorSink {
    std::string message;
};

int onTiffError(TIFF*, void* user, const char*, const char* format, va_list args) {
    auto* sink = static_cast<TiffErrorSink*>(user);
    if (sink->message.empty()) {
        char text[256];
        std::vsnprintf(text, sizeof text, format, args);
        sink->message = text;
    }
    return 1;
}

int onTiffWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// Bytes in memory as a file libtiff reads.
struct TiffMemory {
    const std::uint8_t* data;
    std::size_t size;
    std::uint64_t pos;
};

tmsize_t onMemoryRead(thandle_t handle, void* out, tmsize_t count) {
    auto* m = static_cast<TiffMemory*>(handle);
    if (count <= 0 || m->pos >= m->size) return 0;
    const auto n = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), m->size - m->pos);
    std::memcpy(out, m->data + m->pos, static_cast<std::size_t>(n));
    m->pos += n;
    return static_cast<tmsize_t>(n);
}

tmsize_t onMemoryWrite(thandle_t, void*, tmsize_t) {
    return -1;
}

toff_t onMemorySeek(thandle_t handle, toff_t offset, int whence) {
    auto* m = static_cast<TiffMemory*>(handle);
    const std::uint64_t base = whence == SEEK_CUR ? m->pos : (whence == SEEK_END ? m->size : 0);
    m->pos = base + offset;
    return m->pos;
}

int onClose(thandle_t) {
    return 0;
}

toff_t onMemorySize(thandle_t handle) {
    return static_cast<TiffMemory*>(handle)->size;
}

int onNoMap(thandle_t, void**, toff_t*) {
    return 0;
}

void onNoUnmap(thandle_t, void*, toff_t) {}

// A stdio file as a file libtiff writes.
tmsize_t onFileRead(thandle_t handle, void* out, tmsize_t count) {
    return static_cast<tmsize_t>(
        std::fread(out, 1, static_cast<std::size_t>(count), static_cast<FILE*>(handle)));
}

tmsize_t onFileWrite(thandle_t handle, void* in, tmsize_t count) {
    const std::size_t n =
        std::fwrite(in, 1, static_cast<std::size_t>(count), static_cast<FILE*>(handle));
    return n == static_cast<std::size_t>(count) ? count : -1;
}

toff_t onFileSeek(thandle_t handle, toff_t offset, int whence) {
    auto* file = static_cast<FILE*>(handle);
    if (::fseeko(file, static_cast<off_t>(offset), whence) != 0) return static_cast<toff_t>(-1);
    return static_cast<toff_t>(::ftello(file));
}

toff_t onFileSize(thandle_t handle) {
    struct stat st {};
    return ::fstat(::fileno(static_cast<FILE*>(handle)), &st) == 0 ? static_cast<toff_t>(st.st_size)
                                                                   : 0;
}

struct TiffCloser {
    void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

// Options that route libtiff's errors to sink and bound its allocations.
std::unique_ptr<TIFFOpenOptions, OptionsFree> openOptions(TiffErrorSink& sink) {
    std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
    if (!options) throw std::bad_alloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), onTiffError, &sink);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), onTiffWarning, nullptr);
    // Above any buffer a readable image needs (a whole 16-bit image in one
    // strip is 2 * kMaxPixels bytes).
    TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(),
                                        static_cast<tmsize_t>(kMaxPixels * 2 + (1 << 20)));
    return options;
}

bool losslessCompression(std::uint16_t c) {
    return c == COMPRESSION_NONE || c == COMPRESSION_LZW || c == COMPRESSION_ADOBE_DEFLATE ||
           c == COMPRESSION_DEFLATE || c == COMPRESSION_PACKBITS;
}

class TiffReader {
  public:
    TiffReader(const std::uint8_t* data, std::size_t size, const std::string& name)
        : memory_{data, size, 0}, name_(name) {}

    GrayImage read() {
        const auto options = openOptions(sink_);
        tif_.reset(TIFFClientOpenExt(name_.c_str(), "rm", &memory_, onMemoryRead, onMemoryWrite,
                                     onMemorySeek, onClose, onMemorySize, onNoMap, onNoUnmap,
                                     options.get()));
        if (!tif_) throw corrupt("cannot read its header");
        checkKind();
        std::uint32_t w = 0, h = 0;
        if (TIFFGetField(tif_.get(), TIFFTAG_IMAGEWIDTH, &w) != 1 ||
            TIFFGetField(tif_.get(), TIFFTAG_IMAGELENGTH, &h) != 1)
            throw corrupt("no image size");
        codec::checkDimensions(name_, w, h);
        if (TIFFLastDirectory(tif_.get()) == 0)
            throw FileError(name_,
                            "TIFF with more than one page; imgnorm reads one image per file");
        if (bits_ == 8) return {pixels<std::uint8_t>(w, h), 8};
        vkPelBuffer<std::uint16_t> image = pixels<std::uint16_t>(w, h);
        return {image, statedDepth(image)};
    }

  private:
    FileError corrupt(const std::string& what) const {
        return FileError(name_,
                         "corrupt TIFF file: " + (sink_.message.empty() ? what : sink_.message));
    }

    std::uint16_t field16(ttag_t tag) const {
        std::uint16_t v = 0;
        TIFFGetFieldDefaulted(tif_.get(), tag, &v);
        return v;
    }

    // Accepts one channel of black-is-0 gray, 8 or 16-bit unsigned, losslessly
    // compressed, top-left first.
    void checkKind() {
        const std::string gray = "; imgnorm reads grayscale images";
        std::uint16_t photometric = 0;
        if (TIFFGetField(tif_.get(), TIFFTAG_PHOTOMETRIC, &photometric) != 1)
            throw corrupt("no photometric interpretation");
        const std::uint16_t channels = field16(TIFFTAG_SAMPLESPERPIXEL);
        switch (photometric) {
            case PHOTOMETRIC_MINISBLACK:
                if (channels != 1)
                    throw FileError(name_, "grayscale TIFF with an alpha or extra channel (" +
                                               std::to_string(channels) + " samples per pixel)" +
                                               gray);
                break;
            case PHOTOMETRIC_MINISWHITE:
                throw FileError(name_,
                                "TIFF that stores white as 0 (MinIsWhite); imgnorm reads TIFF "
                                "whose 0 is black");
            case PHOTOMETRIC_RGB:
                throw FileError(name_, "colour TIFF (RGB)" + gray);
            case PHOTOMETRIC_PALETTE:
                throw FileError(name_, "colour TIFF (palette)" + gray);
            default:
                throw FileError(name_, "colour TIFF (photometric interpretation " +
                                           std::to_string(photometric) + ")" + gray);
        }
        bits_ = field16(TIFFTAG_BITSPERSAMPLE);
        if (bits_ != 8 && bits_ != 16)
            throw FileError(name_,
                            std::to_string(bits_) + "-bit TIFF; imgnorm reads 8 and 16-bit TIFF");
        const std::uint16_t format = field16(TIFFTAG_SAMPLEFORMAT);
        if (format != SAMPLEFORMAT_UINT)
            throw FileError(
                name_,
                std::string(format == SAMPLEFORMAT_INT ? "signed" : "floating-point or complex") +
                    " TIFF samples; imgnorm reads unsigned samples");
        const std::uint16_t compression = field16(TIFFTAG_COMPRESSION);
        if (!losslessCompression(compression)) {
            const TIFFCodec* codec = TIFFFindCODEC(compression);
            throw FileError(
                name_,
                "TIFF compression " +
                    (codec != nullptr ? std::string(codec->name) : std::to_string(compression)) +
                    " is not read (uncompressed, LZW, Deflate and PackBits are)");
        }
        const std::uint16_t orientation = field16(TIFFTAG_ORIENTATION);
        if (orientation != ORIENTATION_TOPLEFT)
            throw FileError(name_,
                            "TIFF orientation " + std::to_string(orientation) +
                                "; imgnorm reads images stored top row first, left to right");
    }

    // The pixels, strip by strip or tile by tile, through one block buffer.
    template <class T>
    vkPelBuffer<T> pixels(std::uint32_t w, std::uint32_t h) {
        vkPelBuffer<T> image(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h));
        TIFF* tif = tif_.get();
        std::uint32_t blockW = w, blockH = 0;
        if (TIFFIsTiled(tif) != 0) {
            if (TIFFGetField(tif, TIFFTAG_TILEWIDTH, &blockW) != 1 ||
                TIFFGetField(tif, TIFFTAG_TILELENGTH, &blockH) != 1 || blockW == 0 || blockH == 0)
                throw corrupt("no tile size");
            if (std::uint64_t{blockW} * blockH > (1u << 24))
                throw FileError(name_, "TIFF tiles of " + codec::sizeText(blockW, blockH) +
                                           " pixels are larger than imgnorm reads");
        } else {
            TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &blockH);
            blockH = std::clamp<std::uint32_t>(blockH, 1, h);
        }
        const std::size_t blockBytes = std::size_t{blockW} * blockH * sizeof(T);
        std::vector<T> block(std::size_t{blockW} * blockH);
        const bool tiled = TIFFIsTiled(tif) != 0;
        const std::uint32_t blocks = tiled ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
        for (std::uint32_t y0 = 0; y0 < h; y0 += blockH)
            for (std::uint32_t x0 = 0; x0 < w; x0 += blockW) {
                const std::uint32_t index =
                    tiled ? TIFFComputeTile(tif, x0, y0, 0, 0) : y0 / blockH;
                const std::uint32_t rows = std::min(blockH, h - y0),
                                    cols = std::min(blockW, w - x0);
                // A strip holds only its image rows; a tile is always whole.
                const std::size_t want =
                    tiled ? blockBytes : std::size_t{rows} * blockW * sizeof(T);
                if (index >= blocks) throw corrupt("fewer strips or tiles than the image needs");
                const tmsize_t got = tiled ? TIFFReadEncodedTile(tif, index, block.data(),
                                                                 static_cast<tmsize_t>(want))
                                           : TIFFReadEncodedStrip(tif, index, block.data(),
                                                                  static_cast<tmsize_t>(want));
                if (got != static_cast<tmsize_t>(want))
                    throw corrupt(std::string(tiled ? "tile " : "strip ") + std::to_string(index) +
                                  " is incomplete");
                for (std::uint32_t r = 0; r < rows; ++r)
                    std::memcpy(image.pointToOffset() +
                                    static_cast<std::ptrdiff_t>(y0 + r) * image.rowUpdate() + x0,
                                block.data() + std::size_t{r} * blockW, cols * sizeof(T));
            }
        return image;
    }

    // A MaxSampleValue of 256..65535 states the depth of 16-bit samples.
    std::int32_t statedDepth(const vkPelBuffer<std::uint16_t>& image) const {
        std::uint16_t largest = 0;
        if (TIFFGetField(tif_.get(), TIFFTAG_MAXSAMPLEVALUE, &largest) != 1 || largest < 256)
            return 0;
        const std::uint16_t* row = image.pointToOffset();
        for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate())
            for (std::int32_t x = 0; x < image.width(); ++x)
                if (row[x] > largest)
                    throw corrupt("sample value " + std::to_string(row[x]) +
                                  " exceeds the MaxSampleValue " + std::to_string(largest));
        return codec::bitsFor(largest);
    }

    TiffMemory memory_;
    const std::string& name_;
    TiffErrorSink sink_;
    TiffHandle tif_;
    std::uint16_t bits_ = 0;
};

}  // namespace

GrayImage decodeTiff(const std::uint8_t* data, std::size_t size, const std::string& name) {
    return TiffReader(data, size, name).read();
}

namespace codec {

void encodeTiff(std::FILE* file, const EncodeSource& image, const std::string& name) {
    TiffErrorSink sink;
    const auto options = openOptions(sink);
    TiffHandle tif(TIFFClientOpenExt(name.c_str(), "w", file, onFileRead, onFileWrite, onFileSeek,
                                     onClose, onFileSize, onNoMap, onNoUnmap, options.get()));
    const auto fail = [&] { return FileError(name, "cannot write TIFF: " + sink.message); };
    if (!tif) throw fail();
    TIFF* t = tif.get();
    const auto bits = static_cast<std::uint16_t>(8 * image.bytesPerSample);
    const std::size_t rowBytes =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.bytesPerSample);
    // Strips of about 64 KiB.
    const auto rowsPerStrip =
        static_cast<std::uint32_t>(std::clamp<std::size_t>((1 << 16) / rowBytes, 1, 1 << 16));
    bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(image.width)) == 1 &&
              TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(image.height)) == 1 &&
              TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits) == 1 &&
              TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1) == 1 &&
              TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT) == 1 &&
              TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1 &&
              TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1 &&
              TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) == 1 &&
              TIFFSetField(t, TIFFTAG_ZIPQUALITY, 1) == 1 &&
              TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL) == 1 &&
              TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip) == 1;
    if (ok && image.bytesPerSample == 2 && image.depth != 0)
        ok = TIFFSetField(t, TIFFTAG_MAXSAMPLEVALUE,
                          static_cast<std::uint16_t>((1 << image.depth) - 1)) == 1;
    if (!ok) throw fail();
    // libtiff's differencing works in the buffer it is given: hand it a copy.
    std::vector<std::uint8_t> row(rowBytes);
    for (std::int32_t y = 0; y < image.height; ++y) {
        std::memcpy(row.data(), image.row(y), rowBytes);
        if (TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0) != 1) throw fail();
    }
    if (TIFFFlush(t) != 1) throw fail();
}

}  // namespace codec

}  // namespace imgnorm_cli
