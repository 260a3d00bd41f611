// Image buffers: a window onto shared, reference-counted pixel storage.
//
// Pixel positions: every buffer gives each pixel of its storage an integer
// position (x to the right, y downwards). The window is a rectangle of such
// positions inside the storage; offset() is the position of the window's
// first pixel, and offset(p) renumbers the positions so that the first pixel
// gets p (the pixels themselves stay where they are). Copies of a buffer share
// the pixels; the window, the positions and the transform handles belong to
// each copy.
//
// Client coordinates: clientFromImageXform() maps a position (in the pixel-edge
// convention: the pixel at position (x, y) covers [x, x+1) x [y, y+1)) to the
// caller's coordinate frame; imageFromClientXform() is its inverse. Both are
// held as shared handles that start as the identity.
//
// vkPelBuffer<T> gives write access to the pixels; vkPelBuffer_const<T> only
// read access. A vkPelBuffer<T> converts to a vkPelBuffer_const<T>, never the
// other way round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

#include "imgnorm/exception.h"
#include "imgnorm/export.h"
#include "imgnorm/geometry.h"
#include "imgnorm/xform.h"

namespace vk_detail {

// Zeroed memory for pixel storage, and its release (with the same size).
// Blocks below 1 MiB come from calloc. Larger ones are mapped directly,
// aligned to 2 MiB and marked for transparent huge pages, which makes the
// first touch of a fresh block several times cheaper than with 4 KiB pages.
// Each thread also keeps the last large blocks it released (at most 4 and
// 128 MiB in all; the oldest go first) and hands them out again, zeroed, to
// allocations of the same size or up to a quarter smaller: a pipeline that
// makes and drops images of one size then pays a memset instead of a page
// fault per page. The trade-off is that up to 128 MiB per thread that has
// released large images stays mapped until that thread ends. No lock is
// taken: a block released on another thread joins that thread's blocks.
// Throws std::bad_alloc when the memory cannot be had.
IMGNORM_API void* allocatePelBlock(std::size_t bytes);
IMGNORM_API void releasePelBlock(void* block, std::size_t bytes) noexcept;

// Zero-initialised pixel storage with rows aligned to the requested number of
// bytes; untouched pages of a fresh block cost nothing.
template <class T>
class PelStorage {
public:
    PelStorage(std::int32_t width, std::int32_t height, int alignment) : width_(width), height_(height) {
        if (width < 0 || height < 0) throw vkPel::BadWindow("negative image size");
        if (alignment < 1 || alignment > 4096 || (alignment & (alignment - 1)) != 0)
            throw vkPelFunc::BadParams("row alignment must be a power of two from 1 to 4096");
        const std::size_t align = std::max<std::size_t>(static_cast<std::size_t>(alignment), sizeof(T));
        const std::uint64_t rowBytes =
            (static_cast<std::uint64_t>(width) * sizeof(T) + align - 1) / align * align;
        stride_ = static_cast<std::ptrdiff_t>(rowBytes / sizeof(T));
        const std::uint64_t total = rowBytes * static_cast<std::uint64_t>(height);
        // Keep sizes far from the address-space limit; anything larger is an
        // allocation failure, not an overflow.
        if (total > (std::uint64_t{1} << 46)) throw std::bad_alloc();
        // Even empty storage gets a real block, so a bound buffer never has a
        // null pixel address.
        bytes_ = static_cast<std::size_t>(total) + 64;
        raw_ = allocatePelBlock(bytes_);
        auto addr = reinterpret_cast<std::uintptr_t>(raw_);
        data_ = reinterpret_cast<T*>((addr + 63) & ~std::uintptr_t{63});
    }
    ~PelStorage() { releasePelBlock(raw_, bytes_); }
    PelStorage(const PelStorage&) = delete;
    PelStorage& operator=(const PelStorage&) = delete;

    T* data() const { return data_; }
    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    std::ptrdiff_t stride() const { return stride_; }

private:
    void* raw_ = nullptr;
    std::size_t bytes_ = 0;
    T* data_ = nullptr;
    std::int32_t width_;
    std::int32_t height_;
    std::ptrdiff_t stride_ = 0;
};

}  // namespace vk_detail

template <class T>
class vkPelBuffer_const {
    static_assert(std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t> ||
                      std::is_same_v<T, std::uint32_t>,
                  "pixel types are 8-, 16- and 32-bit unsigned");

public:
    using value_type = T;

    // Unbound: no storage, an empty window, identity transforms.
    vkPelBuffer_const()
        : imageFromClient_(vfIdentityXformHandle()), clientFromImage_(vfIdentityXformHandle()) {}

    bool isBound() const { return storage_ != nullptr; }
    // Drops the storage (the pixels stay alive while other buffers share them)
    // and empties the window; the transforms are kept.
    void setUnbound() {
        storage_.reset();
        window_ = vkPelRect();
        origin_ = vkPair<std::int32_t>();
    }

    // The window, in pixel positions. Empty when unbound.
    const vkPelRect& window() const { return window_; }
    // Sets the window. It must lie inside the storage, else vkPel::BadWindow;
    // with clip true it is first intersected with the storage.
    void window(const vkPelRect& rect, bool clip = false) {
        requireBound();
        const vkPelRect all = storageRect();
        if (clip) {
            window_ = rect & all;
        } else {
            if (!all.contains(rect)) throw vkPel::BadWindow("window does not lie inside the image storage");
            window_ = rect;
        }
    }
    void window(const vkPair<std::int32_t>& origin, const vkPair<std::int32_t>& size, bool clip = false) {
        window(vkPelRect(origin, size), clip);
    }
    // The window becomes the whole storage.
    void setEntire() {
        requireBound();
        window_ = storageRect();
    }
    // The whole storage, in pixel positions (empty when unbound).
    vkPelRect storageRect() const {
        if (!storage_) return vkPelRect();
        return vkPelRect(origin_.x(), origin_.y(), storage_->width(), storage_->height());
    }

    std::int32_t width() const { return window_.width(); }
    std::int32_t height() const { return window_.height(); }

    // Position of the window's first pixel.
    vkPair<std::int32_t> offset() const { return window_.ul(); }
    // Renumbers the positions so that the window's first pixel is at p.
    void offset(const vkPair<std::int32_t>& p) {
        requireBound();
        const std::int64_t dx = std::int64_t{p.x()} - window_.ul().x();
        const std::int64_t dy = std::int64_t{p.y()} - window_.ul().y();
        const std::int64_t ox = origin_.x() + dx, oy = origin_.y() + dy;
        const std::int64_t lim = INT32_MAX;
        if (ox < INT32_MIN || oy < INT32_MIN || ox + storage_->width() > lim ||
            oy + storage_->height() > lim)
            throw vkPel::BadWindow("pixel positions would leave the coordinate range");
        origin_ = vkPair<std::int32_t>(static_cast<std::int32_t>(ox), static_cast<std::int32_t>(oy));
        window_ = vkPelRect(p.x(), p.y(), window_.width(), window_.height());
    }
    void offset(std::int32_t x, std::int32_t y) { offset(vkPair<std::int32_t>(x, y)); }

    // Distance in pixels from one row to the next.
    std::ptrdiff_t rowUpdate() const { return storage_ ? storage_->stride() : 0; }

    // Address of the window's first pixel; vkPel::UnboundWindow when unbound.
    const T* pointToOffset() const { return address(window_.ul()); }
    // Address of the pixel at position p, which must lie in the storage.
    const T* pointToPel(const vkPair<std::int32_t>& p) const {
        requireBound();
        if (!storageRect().contains(p)) throw vkPel::BadWindow("pixel position outside the image storage");
        return address(p);
    }
    // The pixel at position p, which must lie in the window.
    T get(const vkPair<std::int32_t>& p) const {
        requireBound();
        if (!window_.contains(p)) throw vkPel::BadWindow("pixel position outside the window");
        return *address(p);
    }

    // Identity of the shared storage: equal for buffers that share pixels,
    // null when unbound.
    const void* root() const { return storage_.get(); }

    // Transforms between pixel positions (image) and client coordinates.
    const vkXform<2>& imageFromClientXform() const { return *imageFromClient_; }
    const vkXform<2>& clientFromImageXform() const { return *clientFromImage_; }
    const vkXformHandle& imageFromClientXformBase() const { return imageFromClient_; }
    const vkXformHandle& clientFromImageXformBase() const { return clientFromImage_; }
    // Setting one transform sets the other to its inverse. A null handle
    // throws vkBadPointer; a singular transform vkPelFunc::BadParams.
    void imageFromClientXformBase(const vkXformHandle& h) {
        if (!h) throw vkBadPointer("null transform handle");
        auto inv = h->isIdentity() ? vfIdentityXformHandle() : std::make_shared<const vkXform<2>>(h->inverse());
        imageFromClient_ = h;
        clientFromImage_ = std::move(inv);
    }
    void clientFromImageXformBase(const vkXformHandle& h) {
        if (!h) throw vkBadPointer("null transform handle");
        auto inv = h->isIdentity() ? vfIdentityXformHandle() : std::make_shared<const vkXform<2>>(h->inverse());
        clientFromImage_ = h;
        imageFromClient_ = std::move(inv);
    }
    void imageFromClientXform(const vkXform<2>& x) {
        imageFromClientXformBase(std::make_shared<const vkXform<2>>(x));
    }
    void clientFromImageXform(const vkXform<2>& x) {
        clientFromImageXformBase(std::make_shared<const vkXform<2>>(x));
    }
    // Shares the other buffer's transform handles.
    template <class U>
    void copyXforms(const vkPelBuffer_const<U>& other) {
        imageFromClient_ = other.imageFromClientXformBase();
        clientFromImage_ = other.clientFromImageXformBase();
    }

protected:
    // Allocation, for vkPelBuffer's constructors.
    vkPelBuffer_const(std::int32_t width, std::int32_t height, int alignment)
        : storage_(std::make_shared<vk_detail::PelStorage<T>>(width, height, alignment)),
          window_(0, 0, width, height),
          imageFromClient_(vfIdentityXformHandle()),
          clientFromImage_(vfIdentityXformHandle()) {}
    vkPelBuffer_const(const vkPelRect& r, int alignment)
        : storage_(std::make_shared<vk_detail::PelStorage<T>>(r.width(), r.height(), alignment)),
          window_(r),
          origin_(r.ul()),
          imageFromClient_(vfIdentityXformHandle()),
          clientFromImage_(vfIdentityXformHandle()) {}

    T* address(const vkPair<std::int32_t>& p) const {
        requireBound();
        const std::ptrdiff_t dy = std::ptrdiff_t{p.y()} - origin_.y();
        const std::ptrdiff_t dx = std::ptrdiff_t{p.x()} - origin_.x();
        // An empty window may sit anywhere; it is never dereferenced, so a
        // position outside the storage gives the storage's first pixel.
        if (dy < 0 || dx < 0 || dy >= storage_->height() || dx >= storage_->width())
            return storage_->data();
        return storage_->data() + dy * storage_->stride() + dx;
    }
    void requireBound() const {
        if (!storage_) throw vkPel::UnboundWindow();
    }

private:
    std::shared_ptr<vk_detail::PelStorage<T>> storage_;
    vkPelRect window_;
    vkPair<std::int32_t> origin_;  // position of the storage's first pixel
    vkXformHandle imageFromClient_;
    vkXformHandle clientFromImage_;
};

template <class T>
class vkPelBuffer : public vkPelBuffer_const<T> {
public:
    // Unbound.
    vkPelBuffer() = default;
    // New zeroed storage of width x height pixels, window at position (0, 0);
    // each row starts on a multiple of alignment bytes.
    vkPelBuffer(std::int32_t width, std::int32_t height, int alignment = 32)
        : vkPelBuffer_const<T>(width, height, alignment) {}
    // New zeroed storage covering exactly the rectangle, at its positions.
    explicit vkPelBuffer(const vkPelRect& rect, int alignment = 32) : vkPelBuffer_const<T>(rect, alignment) {}

    // Writable forms of the pixel accessors. They are const: a const handle
    // still writes the pixels it shares.
    T* pointToOffset() const { return this->address(this->window().ul()); }
    T* pointToPel(const vkPair<std::int32_t>& p) const {
        return const_cast<T*>(vkPelBuffer_const<T>::pointToPel(p));
    }
    // Writes the pixel at position p, which must lie in the window.
    void set(const vkPair<std::int32_t>& p, T value) const {
        this->requireBound();
        if (!this->window().contains(p)) throw vkPel::BadWindow("pixel position outside the window");
        *this->address(p) = value;
    }
};
