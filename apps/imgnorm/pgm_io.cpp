// PGM files: binary P5 and plain P2, 8-bit (maximum value up to 255) and
// 16-bit (up to 65535, two bytes per binary sample, most significant first).
#include <cerrno>
#include <cstring>
#include <vector>

#include "codecs.h"

namespace imgnorm_cli {

namespace {

class PgmParser {
  public:
    PgmParser(const std::uint8_t* data, std::size_t size, const std::string& name)
        : data_(data), size_(size), name_(name) {}

    GrayImage parse() {
        if (size_ < 2 || data_[0] != 'P' || (data_[1] != '5' && data_[1] != '2'))
            throw bad("no P5 or P2 header");
        binary_ = data_[1] == '5';
        const std::int64_t w = number("width"), h = number("height");
        maxval_ = number("maximum value");
        if (maxval_ < 1) throw FileError(name_, "PGM maximum value must be at least 1");
        if (maxval_ > 65535)
            throw bad("maximum value " + std::to_string(maxval_) + " is above 65535");
        codec::checkDimensions(name_, w, h);
        const std::size_t count = static_cast<std::size_t>(w * h);
        const std::size_t sampleBytes = maxval_ > 255 ? 2 : 1;
        if (binary_) {
            // Exactly one whitespace byte separates the header from the pixels.
            if (pos_ >= size_ || !isSpace(data_[pos_]))
                throw bad("no whitespace after the maximum value");
            ++pos_;
            if ((size_ - pos_) / sampleBytes < count)
                throw FileError(name_, "file is truncated: " + std::to_string(count * sampleBytes) +
                                           " bytes of pixels expected, " +
                                           std::to_string(size_ - pos_) + " present");
        } else if (size_ - pos_ < 2 * count - 1) {
            // Each plain value takes at least one digit and one separator.
            throw FileError(
                name_, "file is truncated: " + std::to_string(count) + " pixel values expected");
        }
        const auto iw = static_cast<std::int32_t>(w), ih = static_cast<std::int32_t>(h);
        if (sampleBytes == 1) {
            vkPelBuffer<std::uint8_t> image = samples<std::uint8_t>(iw, ih);
            rescaleTo255(image);
            return {image, 8};
        }
        return {samples<std::uint16_t>(iw, ih),
                codec::bitsFor(static_cast<std::uint32_t>(maxval_))};
    }

  private:
    static bool isSpace(std::uint8_t c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
    }

    FileError bad(const std::string& what) const {
        return FileError(name_, "corrupt PGM file: " + what);
    }

    FileError tooLarge(std::int64_t v) const {
        return bad("pixel value " + std::to_string(v) + " exceeds the maximum value " +
                   std::to_string(maxval_));
    }

    // A decimal number after whitespace and comments.
    std::int64_t number(const char* what) {
        while (pos_ < size_) {
            if (isSpace(data_[pos_])) {
                ++pos_;
            } else if (data_[pos_] == '#') {
                while (pos_ < size_ && data_[pos_] != '\n' && data_[pos_] != '\r')
                    ++pos_;
            } else {
                break;
            }
        }
        if (pos_ >= size_)
            throw FileError(name_, std::string("file is truncated: ") + what + " missing");
        if (data_[pos_] < '0' || data_[pos_] > '9')
            throw bad(std::string(what) + " is not a number");
        std::int64_t v = 0;
        while (pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9') {
            v = v * 10 + (data_[pos_++] - '0');
            if (v > (std::int64_t{1} << 40)) throw bad(std::string(what) + " is too large");
        }
        return v;
    }

    // The samples as stored, each checked against the maximum value.
    template <class T>
    vkPelBuffer<T> samples(std::int32_t w, std::int32_t h) {
        vkPelBuffer<T> image(w, h);
        T* row = image.pointToOffset();
        for (std::int32_t y = 0; y < h; ++y, row += image.rowUpdate()) {
            if (!binary_) {
                for (std::int32_t x = 0; x < w; ++x) {
                    const std::int64_t v = number("pixel value");
                    if (v > maxval_) throw tooLarge(v);
                    row[x] = static_cast<T>(v);
                }
                continue;
            }
            const std::uint8_t* in = data_ + pos_;
            if constexpr (sizeof(T) == 1)
                std::memcpy(row, in, static_cast<std::size_t>(w));
            else
                for (std::int32_t x = 0; x < w; ++x)
                    row[x] = static_cast<T>(in[2 * x] << 8 | in[2 * x + 1]);
            pos_ += static_cast<std::size_t>(w) * sizeof(T);
            if (maxval_ < (1 << (8 * sizeof(T))) - 1)
                for (std::int32_t x = 0; x < w; ++x)
                    if (row[x] > maxval_) throw tooLarge(row[x]);
        }
        return image;
    }

    // 8-bit samples of a smaller maximum value cover 0..255.
    void rescaleTo255(const vkPelBuffer<std::uint8_t>& image) const {
        if (maxval_ == 255) return;
        std::uint8_t scale[256];
        for (std::int64_t v = 0; v <= maxval_; ++v)
            scale[v] = static_cast<std::uint8_t>((v * 255 + maxval_ / 2) / maxval_);
        std::uint8_t* row = image.pointToOffset();
        for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate())
            for (std::int32_t x = 0; x < image.width(); ++x)
                row[x] = scale[row[x]];
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 2;
    const std::string& name_;
    bool binary_ = true;
    std::int64_t maxval_ = 255;
};

}  // namespace

GrayImage decodePgm(const std::uint8_t* data, std::size_t size, const std::string& name) {
    return PgmParser(data, size, name).parse();
}

namespace codec {

void encodePgm(std::FILE* file, const EncodeSource& image, const std::string& name) {
    const std::int32_t bits = image.bytesPerSample == 1 ? 8 : (image.depth == 0 ? 16 : image.depth);
    const auto fail = [&] {
        return FileError(name, std::string("cannot write: ") + std::strerror(errno));
    };
    if (std::fprintf(file, "P5\n%d %d\n%d\n", image.width, image.height, (1 << bits) - 1) < 0)
        throw fail();
    const auto rowBytes =
        static_cast<std::size_t>(image.width) * static_cast<std::size_t>(image.bytesPerSample);
    std::vector<std::uint8_t> bigEndian(image.bytesPerSample == 2 ? rowBytes : 0);
    for (std::int32_t y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.row(y);
        if (image.bytesPerSample == 2) {
            const auto* in = reinterpret_cast<const std::uint16_t*>(row);
            for (std::int32_t x = 0; x < image.width; ++x) {
                bigEndian[2 * static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(in[x] >> 8);
                bigEndian[2 * static_cast<std::size_t>(x) + 1] = static_cast<std::uint8_t>(in[x]);
            }
            row = bigEndian.data();
        }
        if (std::fwrite(row, 1, rowBytes, file) != rowBytes) throw fail();
    }
}

}  // namespace codec

}  // namespace imgnorm_cli
