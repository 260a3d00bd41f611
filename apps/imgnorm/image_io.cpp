// PNG and PGM files for the command-line tool.
#include "image_io.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

namespace imgnorm_cli {

FileError::FileError(const std::string& path, const std::string& reason) : std::runtime_error(path + ": " + reason) {}

namespace {

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return ext;
}

std::string sizeText(std::int64_t w, std::int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

// Rejects sizes that no pixel storage will be allocated for.
void checkDimensions(const std::string& name, std::int64_t w, std::int64_t h) {
    if (w < 1 || h < 1) throw FileError(name, "image has no pixels (" + sizeText(w, h) + ")");
    if (w > kMaxSide || h > kMaxSide || w * h > kMaxPixels)
        throw FileError(name, "image of " + sizeText(w, h) + " pixels is larger than the " +
                                  std::to_string(kMaxSide) + " pixels per side and " +
                                  std::to_string(kMaxPixels) + " pixels in all that imgnorm reads");
}

// ---------------------------------------------------------------------------
// PGM

class PgmParser {
public:
    PgmParser(const std::uint8_t* data, std::size_t size, const std::string& name)
        : data_(data), size_(size), name_(name) {}

    vkPelBuffer<std::uint8_t> parse() {
        const bool binary = data_[1] == '5';
        const std::int64_t w = number("width"), h = number("height"), maxval = number("maximum value");
        if (maxval > 255) throw FileError(name_, "16-bit PGM (maximum value " + std::to_string(maxval) +
                                                     "); imgnorm reads 8-bit grayscale images");
        if (maxval < 1) throw FileError(name_, "PGM maximum value must be at least 1");
        checkDimensions(name_, w, h);
        const std::size_t count = static_cast<std::size_t>(w * h);
        if (binary) {
            // Exactly one whitespace byte separates the header from the pixels.
            if (pos_ >= size_ || !isSpace(data_[pos_])) throw bad("no whitespace after the maximum value");
            ++pos_;
            if (size_ - pos_ < count)
                throw FileError(name_, "file is truncated: " + std::to_string(count) + " bytes of pixels expected, " +
                                           std::to_string(size_ - pos_) + " present");
        } else if (size_ - pos_ < 2 * count - 1) {
            // Each plain value takes at least one digit and one separator.
            throw FileError(name_, "file is truncated: " + std::to_string(count) + " pixel values expected");
        }

        vkPelBuffer<std::uint8_t> image(static_cast<std::int32_t>(w), static_cast<std::int32_t>(h));
        std::uint8_t scale[256];
        for (std::int64_t v = 0; v <= maxval; ++v)
            scale[v] = static_cast<std::uint8_t>((v * 255 + maxval / 2) / maxval);
        std::uint8_t* row = image.pointToOffset();
        for (std::int64_t y = 0; y < h; ++y, row += image.rowUpdate()) {
            if (binary) {
                std::memcpy(row, data_ + pos_, static_cast<std::size_t>(w));
                pos_ += static_cast<std::size_t>(w);
                for (std::int64_t x = 0; x < w && maxval < 255; ++x)
                    if (row[x] > maxval)
                        throw bad("pixel value " + std::to_string(row[x]) + " exceeds the maximum value " +
                                  std::to_string(maxval));
            } else {
                for (std::int64_t x = 0; x < w; ++x) {
                    const std::int64_t v = number("pixel value");
                    if (v > maxval)
                        throw bad("pixel value " + std::to_string(v) + " exceeds the maximum value " +
                                  std::to_string(maxval));
                    row[x] = static_cast<std::uint8_t>(v);
                }
            }
            if (maxval != 255)
                for (std::int64_t x = 0; x < w; ++x) row[x] = scale[row[x]];
        }
        return image;
    }

private:
    static bool isSpace(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

    FileError bad(const std::string& what) const { return FileError(name_, "corrupt PGM file: " + what); }

    // A decimal number after whitespace and comments.
    std::int64_t number(const char* what) {
        while (pos_ < size_) {
            if (isSpace(data_[pos_])) {
                ++pos_;
            } else if (data_[pos_] == '#') {
                while (pos_ < size_ && data_[pos_] != '\n' && data_[pos_] != '\r') ++pos_;
            } else {
                break;
            }
        }
        if (pos_ >= size_) throw FileError(name_, std::string("file is truncated: ") + what + " missing");
        if (data_[pos_] < '0' || data_[pos_] > '9') throw bad(std::string(what) + " is not a number");
        std::int64_t v = 0;
        while (pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9') {
            v = v * 10 + (data_[pos_++] - '0');
            if (v > (std::int64_t{1} << 40)) throw bad(std::string(what) + " is too large");
        }
        return v;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 2;
    const std::string& name_;
};

// ---------------------------------------------------------------------------
// PNG
//
// libpng reports errors by longjmp. Every call into libpng that can fail runs
// inside a function whose frame holds the setjmp and no C++ object with a
// destructor, so the jump never skips one; the C++ objects (the pixel buffer,
// the row pointers, the guards that free libpng's structures) live in the
// callers' frames.

struct PngErrorSink {
    char message[256];
};

void onPngError(png_structp png, png_const_charp message) {
    auto* sink = static_cast<PngErrorSink*>(png_get_error_ptr(png));
    std::snprintf(sink->message, sizeof sink->message, "%s", message != nullptr ? message : "unknown error");
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
    int paletteSize;
    png_color palette[256];
};

bool readPngHeader(png_structp png, png_infop info, PngHeader* header) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_user_limits(png, static_cast<png_uint_32>(kMaxSide), static_cast<png_uint_32>(kMaxSide));
    png_read_info(png, info);
    int interlace = 0;
    png_get_IHDR(png, info, &header->width, &header->height, &header->bitDepth, &header->colorType, &interlace,
                 nullptr, nullptr);
    header->paletteSize = 0;
    png_colorp palette = nullptr;
    int count = 0;
    if (header->colorType == PNG_COLOR_TYPE_PALETTE && png_get_PLTE(png, info, &palette, &count) != 0) {
        header->paletteSize = std::clamp(count, 0, 256);
        std::memcpy(header->palette, palette, sizeof(png_color) * static_cast<std::size_t>(header->paletteSize));
    }
    return true;
}

// Reads the pixels as one byte each: gray levels, or palette indices.
bool readPngRows(png_structp png, png_infop info, const PngHeader* header, png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    if (header->bitDepth < 8) {
        if (header->colorType == PNG_COLOR_TYPE_PALETTE)
            png_set_packing(png);
        else
            png_set_expand_gray_1_2_4_to_8(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != header->width) png_error(png, "unexpected row size");
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    return true;
}

struct PngReadGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReadGuard() {
        if (png != nullptr) png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr);
    }
};

vkPelBuffer<std::uint8_t> decodePng(const std::uint8_t* data, std::size_t size, const std::string& name) {
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

    const std::string notGray = "; imgnorm reads 8-bit grayscale images";
    switch (header->colorType) {
        case PNG_COLOR_TYPE_GRAY:
            break;
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            throw FileError(name, "grayscale PNG with an alpha channel" + notGray);
        case PNG_COLOR_TYPE_PALETTE:
            for (int i = 0; i < header->paletteSize; ++i) {
                const png_color& c = header->palette[i];
                if (c.red != c.green || c.green != c.blue) throw FileError(name, "colour PNG (palette)" + notGray);
            }
            break;
        default:
            throw FileError(name, std::string("colour PNG (") +
                                      ((header->colorType & PNG_COLOR_MASK_ALPHA) != 0 ? "RGBA" : "RGB") + ")" +
                                      notGray);
    }
    if (header->bitDepth > 8)
        throw FileError(name, std::to_string(header->bitDepth) + "-bit PNG" + notGray);
    checkDimensions(name, header->width, header->height);

    vkPelBuffer<std::uint8_t> image(static_cast<std::int32_t>(header->width),
                                    static_cast<std::int32_t>(header->height));
    std::vector<png_bytep> rows(header->height);
    for (std::size_t y = 0; y < rows.size(); ++y)
        rows[y] = image.pointToOffset() + static_cast<std::ptrdiff_t>(y) * image.rowUpdate();
    if (!readPngRows(guard.png, guard.info, header.get(), rows.data()))
        throw FileError(name, std::string("corrupt PNG file: ") + sink.message);

    if (header->colorType == PNG_COLOR_TYPE_PALETTE) {
        std::uint8_t gray[256] = {};
        for (int i = 0; i < header->paletteSize; ++i) gray[i] = header->palette[i].red;
        for (png_bytep row : rows)
            for (png_uint_32 x = 0; x < header->width; ++x) {
                if (row[x] >= header->paletteSize)
                    throw FileError(name, "corrupt PNG file: palette index " + std::to_string(row[x]) +
                                              " beyond the palette's " + std::to_string(header->paletteSize) +
                                              " entries");
                row[x] = gray[row[x]];
            }
    }
    return image;
}

bool writePngRows(png_structp png, png_infop info, FILE* file, png_uint_32 width, png_uint_32 height,
                  png_bytepp rows) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    // Fast compression: five times quicker than zlib's default on camera
    // images, for files about an eighth larger.
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

struct PngWriteGuard {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriteGuard() {
        if (png != nullptr) png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
    }
};

void encodePng(FILE* file, const vkPelBuffer_const<std::uint8_t>& image, const std::string& name) {
    PngErrorSink sink{};
    PngWriteGuard guard;
    guard.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, onPngError, onPngWarning);
    if (guard.png == nullptr) throw FileError(name, "cannot start the PNG encoder");
    guard.info = png_create_info_struct(guard.png);
    if (guard.info == nullptr) throw FileError(name, "cannot start the PNG encoder");
    std::vector<png_bytep> rows(static_cast<std::size_t>(image.height()));
    for (std::size_t y = 0; y < rows.size(); ++y)
        // libpng takes non-const rows but only reads them when writing.
        rows[y] = const_cast<png_bytep>(image.pointToOffset() + static_cast<std::ptrdiff_t>(y) * image.rowUpdate());
    if (!writePngRows(guard.png, guard.info, file, static_cast<png_uint_32>(image.width()),
                      static_cast<png_uint_32>(image.height()), rows.data()))
        throw FileError(name, std::string("cannot write PNG: ") + sink.message);
}

void encodePgm(FILE* file, const vkPelBuffer_const<std::uint8_t>& image, const std::string& name) {
    if (std::fprintf(file, "P5\n%d %d\n255\n", image.width(), image.height()) < 0)
        throw FileError(name, std::string("cannot write: ") + std::strerror(errno));
    const std::uint8_t* row = image.pointToOffset();
    for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate())
        if (std::fwrite(row, 1, static_cast<std::size_t>(image.width()), file) != static_cast<std::size_t>(image.width()))
            throw FileError(name, std::string("cannot write: ") + std::strerror(errno));
}

// A temporary file next to the target, renamed onto it by commit() and
// removed when the object goes away uncommitted. It is created with mode
// 0666 like any new file, so the umask decides its permissions.
class TempFile {
public:
    explicit TempFile(const std::string& target) : target_(target) {
        static std::atomic<unsigned> counter{0};
        const std::filesystem::path p(target);
        const std::filesystem::path dir = p.has_parent_path() ? p.parent_path() : std::filesystem::path(".");
        int fd = -1;
        for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            std::string name = ".";
            name.append(p.filename().string()).append(".tmp").append(std::to_string(::getpid()));
            name.append(".").append(std::to_string(counter.fetch_add(1)));
            path_ = (dir / name).string();
            fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) throw FileError(target, std::string("cannot create a file in its folder: ") + std::strerror(errno));
        file_ = ::fdopen(fd, "wb");
        if (file_ == nullptr) {
            const int err = errno;
            ::close(fd);
            ::unlink(path_.c_str());
            throw FileError(target, std::string("cannot open for writing: ") + std::strerror(err));
        }
    }
    ~TempFile() {
        if (file_ != nullptr) std::fclose(file_);
        if (!committed_) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    FILE* file() const { return file_; }

    // The rename makes the new file appear whole or not at all.
    void commit() {
        const bool flushed = std::fflush(file_) == 0 && std::ferror(file_) == 0;
        const int flushError = errno;
        const bool closed = std::fclose(file_) == 0;
        const int closeError = errno;
        file_ = nullptr;
        if (!flushed || !closed)
            throw FileError(target_, std::string("cannot write: ") + std::strerror(flushed ? closeError : flushError));
        if (std::rename(path_.c_str(), target_.c_str()) != 0)
            throw FileError(target_, std::string("cannot replace the file: ") + std::strerror(errno));
        committed_ = true;
    }

private:
    std::string target_;
    std::string path_;
    FILE* file_ = nullptr;
    bool committed_ = false;
};

constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

}  // namespace

ImageFormat formatForPath(const std::string& path) {
    const std::string ext = lowerExtension(path);
    if (ext == ".png") return ImageFormat::png;
    if (ext == ".pgm" || ext == ".pnm") return ImageFormat::pgm;
    throw FileError(path, "unknown image file type '" + ext + "' (use .png or .pgm)");
}

vkPelBuffer<std::uint8_t> decodeImage(const std::uint8_t* data, std::size_t size, const std::string& name) {
    if (size == 0) throw FileError(name, "empty file");
    if (size >= 8 && std::memcmp(data, kPngSignature, 8) == 0) return decodePng(data, size, name);
    if (size >= 2 && data[0] == 'P') {
        if (data[1] == '5' || data[1] == '2') return PgmParser(data, size, name).parse();
        if (data[1] == '3' || data[1] == '6') throw FileError(name, "colour PPM image; imgnorm reads 8-bit grayscale images");
    }
    throw FileError(name, "not a PNG or PGM image");
}

vkPelBuffer<std::uint8_t> readImage(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) throw FileError(path, "no such file");
    if (!std::filesystem::is_regular_file(status)) throw FileError(path, "not a regular file");

    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) throw FileError(path, std::string("cannot open: ") + std::strerror(errno));
    // Compressed or not, a file larger than this cannot hold an image of the
    // accepted size (plain PGM spends at most four bytes per pixel).
    const std::uintmax_t limit = static_cast<std::uintmax_t>(kMaxPixels) * 4 + (1 << 20);
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) throw FileError(path, "cannot read: " + ec.message());
    if (size > limit) throw FileError(path, "file is too large to be an image imgnorm reads");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        throw FileError(path, std::string("cannot read: ") + std::strerror(errno));
    return decodeImage(bytes.data(), bytes.size(), path);
}

void writeImage(const std::string& path, const vkPelBuffer_const<std::uint8_t>& image) {
    const ImageFormat format = formatForPath(path);
    if (!image.isBound() || image.width() < 1 || image.height() < 1) throw FileError(path, "no pixels to write");
    TempFile temp(path);
    if (format == ImageFormat::png)
        encodePng(temp.file(), image, path);
    else
        encodePgm(temp.file(), image, path);
    temp.commit();
}

}  // namespace imgnorm_cli
