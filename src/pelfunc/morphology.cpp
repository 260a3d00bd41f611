// Binary dilation and erosion with the 3x3 diamond (the pixel and its four
// edge neighbours), as bitwise OR and AND.
//
// OR and AND are idempotent, so a neighbour outside the rectangle can be
// replaced by the centre pixel itself without changing the result: the first
// row uses its own row as the row above, the last row as the row below, and
// the first and last pixel of a row stand in for their missing left and right
// neighbours. The inner loop then combines five pixels without a test.
#include <cstdint>

#include "imgnorm/pelfunc.h"
#include "platform/rows.h"

namespace {

struct Or {
    static std::uint8_t apply(std::uint8_t a, std::uint8_t b) { return static_cast<std::uint8_t>(a | b); }
};
struct And {
    static std::uint8_t apply(std::uint8_t a, std::uint8_t b) { return static_cast<std::uint8_t>(a & b); }
};

// One destination row from the rows above, at and below it (up and down may
// be the row itself).
template <class Op>
void morphRow(const std::uint8_t* up, const std::uint8_t* cur, const std::uint8_t* down, std::uint8_t* dst,
              std::int32_t n) {
    const std::int32_t last = n - 1;
    if (last == 0) {
        dst[0] = Op::apply(cur[0], Op::apply(up[0], down[0]));
        return;
    }
    dst[0] = Op::apply(Op::apply(cur[0], cur[1]), Op::apply(up[0], down[0]));
    for (std::int32_t x = 1; x < last; ++x)
        dst[x] = Op::apply(Op::apply(Op::apply(cur[x - 1], cur[x]), cur[x + 1]), Op::apply(up[x], down[x]));
    dst[last] = Op::apply(Op::apply(cur[last - 1], cur[last]), Op::apply(up[last], down[last]));
}

template <class Op>
void morph(const vkPelBuffer_const<std::uint8_t>& s, const vkPelBuffer<std::uint8_t>& d) {
    const std::int32_t w = s.width(), h = s.height();
    const std::ptrdiff_t ss = s.rowUpdate(), ds = d.rowUpdate();
    const std::uint8_t* cur = s.pointToOffset();
    std::uint8_t* out = d.pointToOffset();
    for (std::int32_t y = 0; y < h; ++y, cur += ss, out += ds) {
        const std::uint8_t* up = y > 0 ? cur - ss : cur;
        const std::uint8_t* down = y + 1 < h ? cur + ss : cur;
        morphRow<Op>(up, cur, down, out, w);
    }
}

}  // namespace

void vfBinaryMorph3x3Diamond(const vkPelBuffer_const<std::uint8_t>& source, bool dilate,
                             vkPelBuffer<std::uint8_t>& destination) {
    if (!source.isBound()) throw vkPel::BadWindow("the morphology source is unbound");
    if (destination.isBound() && destination.root() == source.root())
        throw vkPel::BadWindow("the morphology cannot work in place: destination shares the source's storage");

    vkPelRect rect = source.window();
    if (destination.isBound()) {
        rect &= destination.window();
    } else {
        destination = vkPelBuffer<std::uint8_t>(rect);
        destination.copyXforms(source);
    }
    if (rect.isNull()) return;
    const auto s = vk_detail::narrowed(source, rect);
    const auto d = vk_detail::narrowed(destination, rect);
    if (dilate)
        morph<Or>(s, d);
    else
        morph<And>(s, d);
}
