// vkArchive: a binary archive in memory, optionally read from or written to
// a file. One operator|| per item type serves both directions: it writes
// the item when the archive is storing and reads into it when loading.
//
// Encoding (see docs/archive-format.md): every item has a fixed width and is
// little-endian. bool is one byte 0 or 1; unsigned char one byte; 32-bit and
// 64-bit integers four and eight bytes (two's complement for the signed
// ones); double the eight bytes of its IEEE-754 binary64 form; a string a
// 32-bit byte count followed by the bytes. Loading never reads past the end
// of the archive: a short or malformed archive throws vkArchive::Corrupt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "imgnorm/exception.h"
#include "imgnorm/export.h"

class IMGNORM_API vkArchive {
public:
    enum class Direction { storing, loading };

    // A stored record names a version this code does not know. The text is
    // the source file or the class name of the level that read the version.
    class IMGNORM_API UnknownVersion : public vkExceptionWithString {
    public:
        explicit UnknownVersion(const std::string& text = "", std::int32_t line = 0);
        ~UnknownVersion() override;
        std::int32_t errorNumber() const override;
        void suicideAndRethrow() override;
        const std::string& text() const { return text_; }
        std::int32_t line() const { return line_; }

    private:
        std::string text_;
        std::int32_t line_;
    };

    // The bytes cannot be an archive of what is being loaded: they end too
    // early, or hold a value that no stored item can have.
    VK_DECLARE_PLATFORM_EXCEPTION(Corrupt, vkExceptionWithString);

    // A stored object names a class that is not registered.
    VK_DECLARE_PLATFORM_EXCEPTION(UnknownClass, vkExceptionWithString);

    // The archive cannot be read from or written to its file.
    VK_DECLARE_PLATFORM_EXCEPTION(FileError, vkExceptionWithString);

    // A storing archive over an empty memory buffer.
    vkArchive();
    // A loading archive over a copy of the given bytes.
    explicit vkArchive(std::vector<std::uint8_t> bytes);
    vkArchive(const std::uint8_t* data, std::size_t size);

    // A loading archive over the contents of a file.
    static vkArchive loadFromFile(const std::string& path);
    // Writes the stored bytes to a file: into a new file of a unique name in
    // the target's folder, flushed to the disk (fsync), then renamed over
    // the target, and the folder flushed. The target is replaced whole or
    // not at all: a failure (a full disk, a missing folder, a target that
    // is a folder) throws FileError naming the file, keeps any old file and
    // removes the temporary one. Threads or processes saving to one path at
    // once end with one of their files, complete.
    void saveToFile(const std::string& path) const;

    bool isLoading() const { return direction_ == Direction::loading; }
    bool isStoring() const { return direction_ == Direction::storing; }

    // The bytes written so far (storing) or the whole archive (loading).
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // Loading: the read position and the bytes not read yet.
    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }

    // Storing: makes room for size more bytes at once (growing at least
    // geometrically), so that a large item is written without repeated
    // reallocation. Does nothing on a loading archive.
    void reserve(std::size_t size);

    // Raw byte access for the item operators.
    void writeBytes(const void* data, std::size_t size);
    void readBytes(void* data, std::size_t size);
    // Throws Corrupt unless at least size bytes remain to be read; lets a
    // loader reject a size before it allocates for it.
    void requireRemaining(std::uint64_t size) const;

private:
    friend class vkPersistent;
    Direction direction_;
    std::vector<std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    std::set<std::pair<const void*, std::size_t>> visited_;
};

IMGNORM_API vkArchive& operator||(vkArchive& ar, bool& v);
IMGNORM_API vkArchive& operator||(vkArchive& ar, unsigned char& v);
IMGNORM_API vkArchive& operator||(vkArchive& ar, std::int32_t& v);
IMGNORM_API vkArchive& operator||(vkArchive& ar, std::uint32_t& v);
IMGNORM_API vkArchive& operator||(vkArchive& ar, std::int64_t& v);
IMGNORM_API vkArchive& operator||(vkArchive& ar, std::uint64_t& v);
IMGNORM_API vkArchive& operator||(vkArchive& ar, double& v);
IMGNORM_API vkArchive& operator||(vkArchive& ar, std::string& v);

// A polymorphic object: its registered class name, then its own data. A
// null pointer is stored as an empty name. Loading creates the object
// through the registry; the caller owns it.
IMGNORM_API vkArchive& operator||(vkArchive& ar, vkPersistent*& object);

// Loading-only reads (throw Corrupt on a storing archive) and storing-only
// writes (throw Corrupt on a loading archive), for code that reads a value
// into a variable of another type.
template <class T>
vkArchive& operator>>(vkArchive& ar, T& v) {
    if (!ar.isLoading()) throw vkArchive::Corrupt("operator>> on a storing archive");
    return ar || v;
}
template <class T>
vkArchive& operator<<(vkArchive& ar, T v) {
    if (!ar.isStoring()) throw vkArchive::Corrupt("operator<< on a loading archive");
    return ar || v;
}
