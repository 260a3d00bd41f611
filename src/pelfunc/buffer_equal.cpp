// Equality of two image buffers: binding, window, client placement of the
// window's corners (within a tolerance) and pixels.
#include <array>
#include <cstdint>

#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "platform/util.h"

namespace {

template <class T>
const vkXform<2>& clientFromImage(const vkPelBuffer_const<T>& b) {
    const vkXformHandle& h = b.clientFromImageXformBase();
    if (!h) throw vkBadPointer("buffer without a pixel-to-client transform");
    return *h;
}

template <class T>
bool bufferEqual(const vkPelBuffer_const<T>& a, const vkPelBuffer_const<T>& b, double tolerance) {
    if (!a.isBound() || !b.isBound()) return a.isBound() == b.isBound();
    const vkPelRect& w = a.window();
    if (w != b.window()) return false;
    const vkXform<2>& xa = clientFromImage(a);
    const vkXform<2>& xb = clientFromImage(b);
    // The windows are equal, so each corner is one pixel position mapped
    // through both buffers' transforms.
    const std::array<vkPair<std::int32_t>, 4> corners{w.ul(), w.ur(), w.ll(), w.lr()};
    for (const auto& c : corners) {
        const vkVector<2> p(c);
        if (!vfRealEq(xa.map(p), xb.map(p), tolerance)) return false;
    }
    return vfPelEqual(a, b);
}

}  // namespace

bool vf_PelBufferEqual(const vkPelBuffer_const<std::uint8_t>& a, const vkPelBuffer_const<std::uint8_t>& b,
                       double tolerance) {
    return bufferEqual(a, b, tolerance);
}

bool vf_PelBufferEqual(const vkPelBuffer_const<std::uint16_t>& a,
                       const vkPelBuffer_const<std::uint16_t>& b, double tolerance) {
    return bufferEqual(a, b, tolerance);
}

bool vf_PelBufferEqual(const vkPelBuffer_const<std::uint32_t>& a, const vkPelBuffer_const<std::uint32_t>& b,
                       double tolerance) {
    return bufferEqual(a, b, tolerance);
}
