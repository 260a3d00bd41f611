// The archive form of image buffers: header items, then the window's pixels
// row by row. Loading validates the whole header before it allocates.
#include "platform/pelarchive.h"

#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

namespace {

// Largest magnitude of a transform element (and of its inverse's elements)
// that an archive may hold.
constexpr double kMaxXformElement = 1e12;

bool elementsStorable(const vkXform<2>& x) {
    const double e[6] = {x.a(), x.b(), x.c(), x.d(), x.trans().x(), x.trans().y()};
    for (double v : e)
        if (!(std::fabs(v) <= kMaxXformElement)) return false;  // also rejects NaN
    return true;
}

// Longest side of an empty window. Such a window holds no pixels, so the
// archive's size does not bound its sides; yet pixel functions walk its rows,
// and a window 0 pixels wide and 2^31 rows high would keep them busy for
// seconds.
constexpr std::int32_t kMaxEmptySide = 65536;

bool sidesStorable(const vkPelRect& w) {
    return !w.isNull() || (w.width() <= kMaxEmptySide && w.height() <= kMaxEmptySide);
}

bool xformStorable(const vkXform<2>& x) {
    if (!elementsStorable(x)) return false;
    const double det = x.determinant();
    if (det == 0.0 || !std::isfinite(det)) return false;
    return elementsStorable(x.inverse());
}

// Rows of at least 32 bytes are 32-byte aligned as new buffers are; shorter
// rows are packed, so that a narrow image never costs more than twice its
// pixel bytes.
template <class T>
int rowAlignment(std::int32_t width) {
    return static_cast<std::uint64_t>(width) * sizeof(T) >= 32 ? 32 : 1;
}

template <class T>
void writeRow(vkArchive& ar, const T* row, std::int32_t width) {
    const std::size_t n = static_cast<std::size_t>(width);
    if constexpr (sizeof(T) == 1 || std::endian::native == std::endian::little) {
        ar.writeBytes(row, n * sizeof(T));
    } else {
        std::vector<std::uint8_t> bytes(n * sizeof(T));
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t k = 0; k < sizeof(T); ++k)
                bytes[i * sizeof(T) + k] = static_cast<std::uint8_t>(row[i] >> (8 * k));
        ar.writeBytes(bytes.data(), bytes.size());
    }
}

template <class T>
void readRow(vkArchive& ar, T* row, std::int32_t width) {
    const std::size_t n = static_cast<std::size_t>(width);
    if constexpr (sizeof(T) == 1 || std::endian::native == std::endian::little) {
        ar.readBytes(row, n * sizeof(T));
    } else {
        std::vector<std::uint8_t> bytes(n * sizeof(T));
        ar.readBytes(bytes.data(), bytes.size());
        for (std::size_t i = 0; i < n; ++i) {
            T v = 0;
            for (std::size_t k = 0; k < sizeof(T); ++k)
                v = static_cast<T>(v | (T{bytes[i * sizeof(T) + k]} << (8 * k)));
            row[i] = v;
        }
    }
}

template <class T>
void storeBuffer(vkArchive& ar, const vkPelBuffer_const<T>& buffer) {
    // Everything is checked before the first byte is written.
    if (buffer.isBound() && !xformStorable(buffer.clientFromImageXform()))
        throw vkPelFunc::BadParams(
            "the image's client-from-image transform cannot be archived: its elements or "
            "those of its inverse are not finite or exceed 1e12");
    if (buffer.isBound() && !sidesStorable(buffer.window()))
        throw vkPelFunc::BadParams(
            "the image's window is empty but longer than 65536 pixels: it cannot be archived");
    const vkPelRect& w = buffer.window();
    ar.reserve(2 + 6 * 4 + 6 * 8 +
               static_cast<std::size_t>(w.area()) * sizeof(T));  // one allocation
    ar << static_cast<unsigned char>(0) << buffer.isBound();
    if (!buffer.isBound()) return;
    const vkXform<2>& x = buffer.clientFromImageXform();
    ar << w.ul().x() << w.ul().y() << w.width() << w.height() << buffer.offset().x()
       << buffer.offset().y();
    ar << x.a() << x.b() << x.c() << x.d() << x.trans().x() << x.trans().y();
    if (w.isNull()) return;
    const T* row = buffer.pointToOffset();
    for (std::int32_t y = 0; y < w.height(); ++y, row += buffer.rowUpdate())
        writeRow(ar, row, w.width());
}

template <class T>
vkPelBuffer<T> loadBuffer(vkArchive& ar) {
    unsigned char version = 0;
    ar >> version;
    if (version != 0) throw vkArchive::UnknownVersion("vkPelBuffer", 0);
    bool bound = false;
    ar >> bound;
    if (!bound) return vkPelBuffer<T>();

    std::int32_t x = 0, y = 0, width = 0, height = 0, firstX = 0, firstY = 0;
    ar >> x >> y >> width >> height >> firstX >> firstY;
    double e[6] = {};
    for (double& v : e)
        ar >> v;

    if (width < 0 || height < 0)
        throw vkArchive::Corrupt("archived image has a negative size " + std::to_string(width) +
                                 " x " + std::to_string(height));
    if (std::int64_t{x} + width > std::numeric_limits<std::int32_t>::max() ||
        std::int64_t{y} + height > std::numeric_limits<std::int32_t>::max())
        throw vkArchive::Corrupt("archived image window leaves the pixel position range");
    if (firstX != x || firstY != y)
        throw vkArchive::Corrupt(
            "archived image's first pixel position is not its window's origin");
    // The pixels must be in the archive before storage is made for them.
    const std::uint64_t left = ar.remaining();
    const auto w64 = static_cast<std::uint64_t>(width), h64 = static_cast<std::uint64_t>(height);
    if (w64 * h64 > left / sizeof(T) || !sidesStorable(vkPelRect(x, y, width, height)))
        throw vkArchive::Corrupt("archived image of " + std::to_string(width) + " x " +
                                 std::to_string(height) + " pixels is larger than the " +
                                 std::to_string(left) + " bytes that remain");
    const vkXform<2> xform(e[0], e[1], e[2], e[3], e[4], e[5]);
    if (!xformStorable(xform))
        throw vkArchive::Corrupt(
            "archived image transform is not finite, not invertible, or exceeds 1e12");

    vkPelBuffer<T> buffer(vkPelRect(x, y, width, height), rowAlignment<T>(width));
    if (!xform.isIdentity())
        buffer.clientFromImageXformBase(std::make_shared<const vkXform<2>>(xform));
    if (buffer.window().isNull()) return buffer;
    T* row = buffer.pointToOffset();
    for (std::int32_t r = 0; r < height; ++r, row += buffer.rowUpdate())
        readRow(ar, row, width);
    return buffer;
}

template <class T>
vkArchive& passBuffer(vkArchive& ar, vkPelBuffer_const<T>& buffer) {
    if (ar.isStoring())
        storeBuffer(ar, buffer);
    else
        buffer = loadBuffer<T>(ar);  // replaced only once the whole buffer is read
    return ar;
}

template <class T>
vkArchive& passBuffer(vkArchive& ar, vkPelBuffer<T>& buffer) {
    if (ar.isStoring())
        storeBuffer<T>(ar, buffer);
    else
        buffer = loadBuffer<T>(ar);
    return ar;
}

template <class T>
bool archivable(const vkPelBuffer_const<T>& b) {
    return !b.isBound() || (xformStorable(b.clientFromImageXform()) && sidesStorable(b.window()));
}

}  // namespace

// The overloads of one pixel type.
#define VK_DEFINE_PEL_ARCHIVE(T)                                                                \
    vkArchive& operator||(vkArchive& ar, vkPelBuffer<T>& b) { return passBuffer(ar, b); }       \
    vkArchive& operator||(vkArchive& ar, vkPelBuffer_const<T>& b) { return passBuffer(ar, b); } \
    bool vfPelArchivable(const vkPelBuffer_const<T>& b) { return archivable(b); }

VK_DEFINE_PEL_ARCHIVE(std::uint8_t)
VK_DEFINE_PEL_ARCHIVE(std::uint16_t)
VK_DEFINE_PEL_ARCHIVE(std::uint32_t)

#undef VK_DEFINE_PEL_ARCHIVE
