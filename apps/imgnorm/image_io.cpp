// Image files for the command-line tool: recognising the format, reading
// whole files, checking sizes, and writing through a temporary file.
#include "image_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "codecs.h"

namespace imgnorm_cli {

FileError::FileError(const std::string& path, const std::string& reason) : std::runtime_error(path + ": " + reason) {}

namespace codec {

std::string sizeText(std::int64_t w, std::int64_t h) { return std::to_string(w) + " x " + std::to_string(h); }

void checkDimensions(const std::string& name, std::int64_t w, std::int64_t h) {
    if (w < 1 || h < 1) throw FileError(name, "image has no pixels (" + sizeText(w, h) + ")");
    if (w > kMaxSide || h > kMaxSide || w * h > kMaxPixels)
        throw FileError(name, "image of " + sizeText(w, h) + " pixels is larger than the " +
                                  std::to_string(kMaxSide) + " pixels per side and " +
                                  std::to_string(kMaxPixels) + " pixels in all that imgnorm reads");
}

std::int32_t bitsFor(std::uint32_t value) {
    return static_cast<std::int32_t>(std::bit_width(value));
}

}  // namespace codec

namespace {

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    return ext;
}

// The temporary files being written, for removeTemporaryFiles() to remove
// from a signal handler: slots of fixed storage, each free (0), being
// filled (1) or naming a file (2). A path too long for a slot, or one more
// file than there are slots, goes unrecorded.
struct PendingFile {
    std::atomic<int> state{0};
    char path[4096];
};
static_assert(std::atomic<int>::is_always_lock_free);
constexpr std::size_t kPendingSlots = 320;  // more than the most jobs at once
PendingFile gPending[kPendingSlots];

PendingFile* recordPending(const std::string& path, PendingFile* slot) {
    if (path.size() >= sizeof(slot->path)) return slot;
    for (std::size_t i = 0; slot == nullptr && i < kPendingSlots; ++i) {
        int expected = 0;
        if (gPending[i].state.compare_exchange_strong(expected, 1)) slot = &gPending[i];
    }
    if (slot == nullptr) return nullptr;
    slot->state.store(1);
    std::memcpy(slot->path, path.c_str(), path.size() + 1);
    slot->state.store(2);
    return slot;
}

// Writes reach the disk before the rename publishes them.
bool syncFile(FILE* file) { return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0; }

void syncFolder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// A temporary file next to the target, renamed onto it by commit() and
// removed when the object goes away uncommitted (or the process ends by a
// signal, see removeTemporaryFiles). It is created with mode 0666 like any
// new file, so the umask decides its permissions.
class TempFile {
public:
    explicit TempFile(const std::string& target) : target_(target) {
        static std::atomic<unsigned> counter{0};
        const std::filesystem::path p(target);
        dir_ = p.has_parent_path() ? p.parent_path() : std::filesystem::path(".");
        int fd = -1;
        for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            std::string name = ".";
            name.append(p.filename().string()).append(".tmp").append(std::to_string(::getpid()));
            name.append(".").append(std::to_string(counter.fetch_add(1)));
            path_ = (dir_ / name).string();
            // Recorded before it exists, so that no signal finds it unrecorded.
            pending_ = recordPending(path_, pending_);
            fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) {
            const int err = errno;
            release();
            throw FileError(target, std::string("cannot create a file in its folder: ") + std::strerror(err));
        }
        file_ = ::fdopen(fd, "wb");
        if (file_ == nullptr) {
            const int err = errno;
            ::close(fd);
            ::unlink(path_.c_str());
            release();
            throw FileError(target, std::string("cannot open for writing: ") + std::strerror(err));
        }
    }
    ~TempFile() {
        if (file_ != nullptr) std::fclose(file_);
        if (!committed_) ::unlink(path_.c_str());
        release();
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    FILE* file() const { return file_; }

    // The rename makes the new file appear whole or not at all; durable
    // also flushes the file and then its folder to the disk.
    void commit(bool durable = false) {
        const bool flushed = (durable ? syncFile(file_) : std::fflush(file_) == 0) && std::ferror(file_) == 0;
        const int flushError = errno;
        const bool closed = std::fclose(file_) == 0;
        const int closeError = errno;
        file_ = nullptr;
        if (!flushed || !closed)
            throw FileError(target_, std::string("cannot write: ") + std::strerror(flushed ? closeError : flushError));
        if (std::rename(path_.c_str(), target_.c_str()) != 0)
            throw FileError(target_, std::string("cannot replace the file: ") + std::strerror(errno));
        committed_ = true;
        release();
        if (durable) syncFolder(dir_);
    }

private:
    void release() {
        if (pending_ != nullptr) pending_->state.store(0);
        pending_ = nullptr;
    }

    std::string target_;
    std::filesystem::path dir_;
    std::string path_;
    FILE* file_ = nullptr;
    PendingFile* pending_ = nullptr;
    bool committed_ = false;
};

// Recognises the format by the first bytes; false when they are of none.
bool sniff(const std::uint8_t* data, std::size_t size, ImageFormat& format) {
    static constexpr std::uint8_t png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (size >= 8 && std::memcmp(data, png, 8) == 0) {
        format = ImageFormat::png;
    } else if (size >= 2 && data[0] == 'P' && (data[1] == '5' || data[1] == '2')) {
        format = ImageFormat::pgm;
    } else if (size >= 4 && ((data[0] == 'I' && data[1] == 'I' &&
                              (data[2] == 42 || data[2] == 43) && data[3] == 0) ||
                             (data[0] == 'M' && data[1] == 'M' && data[2] == 0 &&
                              (data[3] == 42 || data[3] == 43)))) {
        format = ImageFormat::tiff;  // classic TIFF (42) or BigTIFF (43), either byte order
    } else {
        return false;
    }
    return true;
}

const char* formatName(ImageFormat format) {
    return format == ImageFormat::png ? "PNG" : (format == ImageFormat::pgm ? "PGM" : "TIFF");
}

void writeEncoded(const std::string& path, const codec::EncodeSource& source) {
    const ImageFormat format = formatForPath(path);
    TempFile temp(path);
    if (format == ImageFormat::png)
        codec::encodePng(temp.file(), source, path);
    else if (format == ImageFormat::pgm)
        codec::encodePgm(temp.file(), source, path);
    else
        codec::encodeTiff(temp.file(), source, path);
    temp.commit();
}

template <class T>
codec::EncodeSource encodeSource(const vkPelBuffer_const<T>& image, std::int32_t depth) {
    return {reinterpret_cast<const std::uint8_t*>(image.pointToOffset()),
            image.rowUpdate() * static_cast<std::ptrdiff_t>(sizeof(T)),
            image.width(),
            image.height(),
            static_cast<std::int32_t>(sizeof(T)),
            depth};
}

template <class T>
void requirePixels(const std::string& path, const vkPelBuffer_const<T>& image) {
    formatForPath(path);
    if (!image.isBound() || image.width() < 1 || image.height() < 1)
        throw FileError(path, "no pixels to write");
}

}  // namespace

ImageFormat formatForPath(const std::string& path) {
    const std::string ext = lowerExtension(path);
    if (ext == ".png") return ImageFormat::png;
    if (ext == ".pgm" || ext == ".pnm") return ImageFormat::pgm;
    if (ext == ".tif" || ext == ".tiff") return ImageFormat::tiff;
    throw FileError(path, "unknown image file type '" + ext + "' (use .png, .pgm or .tif)");
}

GrayImage decodeGrayImage(const std::uint8_t* data, std::size_t size, const std::string& name) {
    if (size == 0) throw FileError(name, "empty file");
    ImageFormat format{};
    if (sniff(data, size, format)) {
        if (format == ImageFormat::png) return decodePng(data, size, name);
        if (format == ImageFormat::pgm) return decodePgm(data, size, name);
        return decodeTiff(data, size, name);
    }
    if (size >= 2 && data[0] == 'P' && (data[1] == '3' || data[1] == '6'))
        throw FileError(name, "colour PPM image; imgnorm reads grayscale images");
    throw FileError(name, "not a PNG, PGM or TIFF image");
}

namespace {

std::vector<std::uint8_t> readBytes(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) throw FileError(path, "no such file");
    if (!std::filesystem::is_regular_file(status)) throw FileError(path, "not a regular file");

    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) throw FileError(path, std::string("cannot open: ") + std::strerror(errno));
    // Compressed or not, a file larger than this cannot hold an image of the
    // accepted size (plain 16-bit PGM spends at most six bytes per pixel).
    const std::uintmax_t limit = static_cast<std::uintmax_t>(kMaxPixels) * 6 + (1 << 20);
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) throw FileError(path, "cannot read: " + ec.message());
    if (size > limit) throw FileError(path, "file is too large to be an image imgnorm reads");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size())
        throw FileError(path, std::string("cannot read: ") + std::strerror(errno));
    return bytes;
}

}  // namespace

GrayImage readGrayImage(const std::string& path) {
    const std::vector<std::uint8_t> bytes = readBytes(path);
    return decodeGrayImage(bytes.data(), bytes.size(), path);
}

vkPelBuffer<std::uint8_t> decodeImage(const std::uint8_t* data, std::size_t size,
                                      const std::string& name) {
    GrayImage image = decodeGrayImage(data, size, name);
    if (!image.deep()) return std::get<0>(image.pels);
    ImageFormat format{};
    sniff(data, size, format);
    throw FileError(name, std::string("16-bit ") + formatName(format) +
                              "; imgnorm reads 8-bit grayscale images");
}

vkPelBuffer<std::uint8_t> readImage(const std::string& path) {
    const std::vector<std::uint8_t> bytes = readBytes(path);
    return decodeImage(bytes.data(), bytes.size(), path);
}

void writeImage(const std::string& path, const vkPelBuffer_const<std::uint8_t>& image) {
    requirePixels(path, image);
    writeEncoded(path, encodeSource(image, 8));
}

void writeImage(const std::string& path, const vkPelBuffer_const<std::uint16_t>& image,
                std::int32_t depth) {
    requirePixels(path, image);
    if (depth != 0 && (depth < 9 || depth > 16))
        throw FileError(path, "cannot write 16-bit samples of depth " + std::to_string(depth) +
                                  " (9 to 16, or 0)");
    if (depth != 0 && depth < 16) {
        const std::uint32_t top = (1u << depth) - 1;
        const std::uint16_t* row = image.pointToOffset();
        for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate())
            for (std::int32_t x = 0; x < image.width(); ++x)
                if (row[x] > top)
                    throw FileError(path, "sample value " + std::to_string(row[x]) + " at (" +
                                              std::to_string(x) + ", " + std::to_string(y) +
                                              ") does not fit in " + std::to_string(depth) +
                                              " bits");
    }
    writeEncoded(path, encodeSource(image, depth));
}

void writeWholeFile(const std::string& path, const std::string& bytes, bool durable) {
    TempFile temp(path);
    if (std::fwrite(bytes.data(), 1, bytes.size(), temp.file()) != bytes.size())
        throw FileError(path, std::string("cannot write: ") + std::strerror(errno));
    temp.commit(durable);
}

void removeTemporaryFiles() {
    for (PendingFile& f : gPending)
        if (f.state.load() == 2) ::unlink(f.path);
}

}  // namespace imgnorm_cli
