// vkArchive: little-endian, fixed-width binary items over a memory buffer.
#include "imgnorm/archive.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Items are encoded little-endian whatever the host's byte order.
template <class U>
void putLE(vkArchive& ar, U v) {
    std::uint8_t b[sizeof(U)];
    for (std::size_t i = 0; i < sizeof(U); ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    ar.writeBytes(b, sizeof(U));
}

template <class U>
U getLE(vkArchive& ar) {
    std::uint8_t b[sizeof(U)];
    ar.readBytes(b, sizeof(U));
    U v = 0;
    for (std::size_t i = 0; i < sizeof(U); ++i) v = static_cast<U>(v | (static_cast<U>(b[i]) << (8 * i)));
    return v;
}

template <class U>
vkArchive& passUnsigned(vkArchive& ar, U& v) {
    if (ar.isStoring())
        putLE(ar, v);
    else
        v = getLE<U>(ar);
    return ar;
}

template <class S, class U>
vkArchive& passSigned(vkArchive& ar, S& v) {
    U u = static_cast<U>(v);
    passUnsigned(ar, u);
    if (ar.isLoading()) v = static_cast<S>(u);  // two's complement
    return ar;
}

// Longest class name an archive may hold; longer means corrupt.
constexpr std::uint32_t kMaxClassName = 1024;

}  // namespace

vkArchive::vkArchive() : direction_(Direction::storing) {}

vkArchive::vkArchive(std::vector<std::uint8_t> bytes)
    : direction_(Direction::loading), bytes_(std::move(bytes)) {}

vkArchive::vkArchive(const std::uint8_t* data, std::size_t size)
    : direction_(Direction::loading), bytes_(data, data + size) {}

vkArchive vkArchive::loadFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FileError("cannot open archive file '" + path + "': " + std::strerror(errno));
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw FileError("cannot read archive file '" + path + "'");
    return vkArchive(std::move(bytes));
}

namespace {

// Writes all of size bytes to fd, resuming after partial writes and signals;
// false with errno set when the file cannot take them (a full disk, a file
// size limit).
bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size != 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Flushes a folder's entries, so that a rename in it survives a crash.
// Folders that cannot be opened or flushed (some file systems refuse) are
// left as they are: the file itself is complete either way.
void syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

void vkArchive::saveToFile(const std::string& path) const {
    const auto fail = [&](const std::string& what, int err) {
        return FileError("cannot " + what + " archive file '" + path + "': " + std::strerror(err));
    };
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    // A name no other thread or process uses at the same time (the process
    // id and a counter; O_EXCL skips names left behind by a crash): each
    // saver writes its own file, and the last rename wins with a whole file.
    static std::atomic<std::uint32_t> counter{0};
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        tmp = path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) throw fail("create", errno);
    const bool written = writeAll(fd, bytes_.data(), bytes_.size()) && ::fsync(fd) == 0;
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    const int closeError = errno;
    if (!written || !closed) {
        ::unlink(tmp.c_str());
        throw fail("write", written ? closeError : writeError);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw fail("replace", err);
    }
    syncFolder(folder);
}

void vkArchive::reserve(std::size_t size) {
    if (!isStoring() || size > bytes_.max_size() - bytes_.size()) return;
    const std::size_t need = bytes_.size() + size;
    if (need > bytes_.capacity()) bytes_.reserve(std::max(need, 2 * bytes_.capacity()));
}

void vkArchive::writeBytes(const void* data, std::size_t size) {
    if (!isStoring()) throw Corrupt("writing to a loading archive");
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
}

void vkArchive::readBytes(void* data, std::size_t size) {
    if (!isLoading()) throw Corrupt("reading from a storing archive");
    requireRemaining(size);
    if (size != 0) std::memcpy(data, bytes_.data() + pos_, size);
    pos_ += size;
}

void vkArchive::requireRemaining(std::uint64_t size) const {
    if (size > remaining())
        throw Corrupt("archive ends too early: " + std::to_string(size) + " bytes needed at offset " +
                      std::to_string(pos_) + ", " + std::to_string(remaining()) + " left");
}

vkArchive& operator||(vkArchive& ar, bool& v) {
    std::uint8_t b = v ? 1 : 0;
    passUnsigned(ar, b);
    if (ar.isLoading()) {
        if (b > 1) throw vkArchive::Corrupt("archive holds " + std::to_string(b) + " as a bool");
        v = b != 0;
    }
    return ar;
}

vkArchive& operator||(vkArchive& ar, unsigned char& v) { return passUnsigned(ar, v); }
vkArchive& operator||(vkArchive& ar, std::uint32_t& v) { return passUnsigned(ar, v); }
vkArchive& operator||(vkArchive& ar, std::uint64_t& v) { return passUnsigned(ar, v); }
vkArchive& operator||(vkArchive& ar, std::int32_t& v) { return passSigned<std::int32_t, std::uint32_t>(ar, v); }
vkArchive& operator||(vkArchive& ar, std::int64_t& v) { return passSigned<std::int64_t, std::uint64_t>(ar, v); }

vkArchive& operator||(vkArchive& ar, double& v) {
    static_assert(sizeof(double) == 8, "double must be IEEE-754 binary64");
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, 8);
    passUnsigned(ar, bits);
    if (ar.isLoading()) std::memcpy(&v, &bits, 8);
    return ar;
}

vkArchive& operator||(vkArchive& ar, std::string& v) {
    if (ar.isStoring()) {
        if (v.size() > UINT32_MAX) throw vkArchive::Corrupt("string too long for an archive");
        std::uint32_t n = static_cast<std::uint32_t>(v.size());
        ar || n;
        ar.writeBytes(v.data(), v.size());
    } else {
        std::uint32_t n = 0;
        ar || n;
        ar.requireRemaining(n);  // before allocating
        std::string s(n, '\0');
        ar.readBytes(s.data(), n);
        v = std::move(s);
    }
    return ar;
}

vkArchive& operator||(vkArchive& ar, vkPersistent*& object) {
    if (ar.isStoring()) {
        std::string name;
        if (object != nullptr) {
            name = vk_Instantiator::className(typeid(*object));
            if (!vk_Instantiator::isRegistered(name))
                throw vkArchive::UnknownClass("class '" + name + "' is not registered for archiving");
        }
        ar || name;
        if (object != nullptr) object->dispatchSerialize(ar);
        return ar;
    }
    std::uint32_t n = 0;
    ar || n;
    if (n > kMaxClassName) throw vkArchive::Corrupt("archive holds a class name of " + std::to_string(n) + " bytes");
    ar.requireRemaining(n);
    std::string name(n, '\0');
    ar.readBytes(name.data(), n);
    if (name.empty()) {
        object = nullptr;
        return ar;
    }
    std::unique_ptr<vkPersistent> made(vk_Instantiator::make(name));
    if (!made) throw vkArchive::UnknownClass("archive names the unknown class '" + name + "'");
    made->dispatchSerialize(ar);
    object = made.release();
    return ar;
}
