// vkArchive: little-endian, fixed-width binary items over a memory buffer.
#include "imgnorm/archive.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
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

void vkArchive::saveToFile(const std::string& path) const {
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(tmp.c_str(), "wb"), &std::fclose);
        if (!f) throw FileError("cannot create archive file '" + path + "': " + std::strerror(errno));
        const bool ok = std::fwrite(bytes_.data(), 1, bytes_.size(), f.get()) == bytes_.size() &&
                        std::fflush(f.get()) == 0;
        if (!ok) {
            f.reset();
            std::remove(tmp.c_str());
            throw FileError("cannot write archive file '" + path + "'");
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(tmp.c_str());
        throw FileError("cannot write archive file '" + path + "': " + std::strerror(err));
    }
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
