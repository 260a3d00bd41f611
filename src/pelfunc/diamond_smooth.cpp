// In-place 3x3 diamond smoothing: 4 x centre + the edge neighbours that lie
// inside the window, divided by the weight of the pixels counted.
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "imgnorm/pelfunc.h"

namespace {

using Pel = std::uint8_t;

// One output row. V (0, 1 or 2) is the number of vertical neighbours every
// pixel of the row has: the rows above and/or below, passed in v0 and v1
// (unused pointers are ignored). The divisors follow from V alone: 4 + V for
// a row of one pixel, 5 + V at the row's ends, 6 + V inside; all are
// compile-time constants (the interior 8 of V = 2 is a shift).
template <int V>
void smoothRow(const Pel* __restrict__ centre, const Pel* __restrict__ v0, const Pel* __restrict__ v1,
               Pel* __restrict__ out, std::int32_t w) {
    auto vertical = [&](std::int32_t x) -> unsigned {
        if constexpr (V == 0) return 0;
        else if constexpr (V == 1) return v0[x];
        else return unsigned{v0[x]} + v1[x];
    };
    if (w == 1) {
        out[0] = static_cast<Pel>((4u * centre[0] + vertical(0)) / (4 + V));
        return;
    }
    constexpr unsigned kEnd = 5 + V, kInner = 6 + V;
    out[0] = static_cast<Pel>((4u * centre[0] + centre[1] + vertical(0)) / kEnd);
    for (std::int32_t x = 1; x + 1 < w; ++x)
        out[x] = static_cast<Pel>((4u * centre[x] + centre[x - 1] + centre[x + 1] + vertical(x)) / kInner);
    out[w - 1] = static_cast<Pel>((4u * centre[w - 1] + centre[w - 2] + vertical(w - 1)) / kEnd);
}

}  // namespace

void vf_PelSmooth3x3Diamond(vkPelBuffer<std::uint8_t>& image) {
    const std::int32_t w = image.width(), h = image.height();
    if (w == 0 || h == 0) return;
    Pel* row = image.pointToOffset();
    const std::ptrdiff_t stride = image.rowUpdate();
    const auto n = static_cast<std::size_t>(w);

    // The old values of the row being written and of the row above it are
    // kept in two row buffers; the row below is still unchanged in the image.
    // Only these two rows are allocated, never a copy of the whole window.
    std::vector<Pel> rows(2 * n);
    Pel* above = rows.data();
    Pel* centre = rows.data() + n;
    std::memcpy(centre, row, n);
    if (h == 1) {
        smoothRow<0>(centre, nullptr, nullptr, row, w);
        return;
    }
    smoothRow<1>(centre, row + stride, nullptr, row, w);
    for (std::int32_t y = 1; y + 1 < h; ++y) {
        std::swap(above, centre);
        row += stride;
        std::memcpy(centre, row, n);
        smoothRow<2>(centre, above, row + stride, row, w);
    }
    std::swap(above, centre);
    row += stride;
    std::memcpy(centre, row, n);
    smoothRow<1>(centre, above, nullptr, row, w);
}
