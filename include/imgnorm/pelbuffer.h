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
#include <memory>
#include <type_traits>
#include <utility>

#include "imgnorm/exception.h"
#include "imgnorm/export.h"
#include "imgnorm/geometry.h"
#include "imgnorm/xform.h"

namespace vk_detail {

// Asks a vkPelBuffer constructor for new storage whose pixels start
// undefined: for the library's own results, which it overwrites whole
// before anything reads them.
struct Uninitialized {};
inline constexpr Uninitialized uninitialized{};

// The pixels that buffers share: zeroed (or, on request, undefined) storage of width x height pixels of
// pelSize bytes, each row starting on a multiple of alignment bytes and the
// first on a multiple of 64. How the memory is obtained and recycled is the
// library's own business.
class IMGNORM_API PelStorage {
public:
    // A negative size throws vkPel::BadWindow; an alignment that is not a
    // power of two from 1 to 4096 vkPelFunc::BadParams; memory that cannot be
    // had std::bad_alloc. With zeroed false the pixels start undefined.
    PelStorage(std::int32_t width, std::int32_t height, std::size_t pelSize, int alignment,
               bool zeroed = true);
    // Pixels the caller owns: width x height pixels of pelSize bytes from data
    // on, each row rowStepBytes after the previous one; owner (may be null) is
    // held until the storage goes. A null data pointer, a negative size, or a
    // row step that is not a multiple of pelSize or is shorter than a row
    // throws vkPelFunc::BadParams.
    PelStorage(const void* data, std::int32_t width, std::int32_t height, std::size_t pelSize,
               std::ptrdiff_t rowStepBytes, std::shared_ptr<const void> owner);
    ~PelStorage();
    PelStorage(const PelStorage&) = delete;
    PelStorage& operator=(const PelStorage&) = delete;

    void* data() const { return data_; }
    std::int32_t width() const { return width_; }
    std::int32_t height() const { return height_; }
    // Distance from one row to the next, in pixels.
    std::ptrdiff_t stride() const { return stride_; }

private:
    std::shared_ptr<const void> owner_;  // of pixels the caller owns
    void* raw_ = nullptr;
    std::size_t bytes_ = 0;
    void* data_ = nullptr;
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

    // A view of pixels the caller owns, as held by a cv::Mat or a numpy
    // array: width x height pixels from data on, each row rowStepBytes bytes
    // after the previous one, window (0, 0, width, height). Nothing is
    // copied; the buffer and every copy of it keep owner alive (a null owner
    // leaves the pixels' lifetime to the caller). Throws vkPelFunc::BadParams
    // for a null data pointer, a negative size, or a row step that is not a
    // multiple of sizeof(T) or is shorter than a row.
    vkPelBuffer_const(const T* data, std::int32_t width, std::int32_t height, std::ptrdiff_t rowStepBytes,
                      std::shared_ptr<const void> owner)
        : storage_(std::make_shared<vk_detail::PelStorage>(data, width, height, sizeof(T), rowStepBytes,
                                                           std::move(owner))),
          window_(0, 0, width, height),
          imageFromClient_(vfIdentityXformHandle()),
          clientFromImage_(vfIdentityXformHandle()) {}

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
        : storage_(std::make_shared<vk_detail::PelStorage>(width, height, sizeof(T), alignment)),
          window_(0, 0, width, height),
          imageFromClient_(vfIdentityXformHandle()),
          clientFromImage_(vfIdentityXformHandle()) {}
    vkPelBuffer_const(const vkPelRect& r, int alignment, bool zeroed = true)
        : storage_(std::make_shared<vk_detail::PelStorage>(r.width(), r.height(), sizeof(T), alignment,
                                                           zeroed)),
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
        T* const first = static_cast<T*>(storage_->data());
        if (dy < 0 || dx < 0 || dy >= storage_->height() || dx >= storage_->width()) return first;
        return first + dy * storage_->stride() + dx;
    }
    void requireBound() const {
        if (!storage_) throw vkPel::UnboundWindow();
    }

private:
    std::shared_ptr<vk_detail::PelStorage> storage_;
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
    // The same with undefined pixels, for results written whole.
    vkPelBuffer(const vkPelRect& rect, vk_detail::Uninitialized, int alignment = 32)
        : vkPelBuffer_const<T>(rect, alignment, false) {}
    // A writable view of pixels the caller owns; see vkPelBuffer_const.
    vkPelBuffer(T* data, std::int32_t width, std::int32_t height, std::ptrdiff_t rowStepBytes,
                std::shared_ptr<const void> owner)
        : vkPelBuffer_const<T>(data, width, height, rowStepBytes, std::move(owner)) {}

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
