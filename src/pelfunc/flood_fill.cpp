// Scan-line flood fill of an 8-connected region, and the first pixel of a
// value in raster order.
#include <bit>
#include <cstdint>
#include <cstring>

#include "imgnorm/pelfunc.h"
#include "platform/rows.h"

namespace {

using Pel = std::uint8_t;

constexpr std::uint64_t broadcast(Pel v) { return std::uint64_t{v} * 0x0101010101010101u; }

std::uint64_t load8(const Pel* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Index of the first byte of a non-zero word difference, in memory order.
int firstByte(std::uint64_t diff) {
    if constexpr (std::endian::native == std::endian::little) return std::countr_zero(diff) / 8;
    else return std::countl_zero(diff) / 8;
}
// Index of the last byte of a non-zero word difference, in memory order.
int lastByte(std::uint64_t diff) {
    if constexpr (std::endian::native == std::endian::little) return 7 - std::countl_zero(diff) / 8;
    else return 7 - std::countr_zero(diff) / 8;
}

// The first i in [from, to) with row[i] != v, else to. Eight pixels a step.
std::int32_t findOther(const Pel* row, std::int32_t from, std::int32_t to, Pel v) {
    const std::uint64_t vv = broadcast(v);
    std::int32_t i = from;
    for (; to - i >= 8; i += 8)
        if (const std::uint64_t d = load8(row + i) ^ vv) return i + firstByte(d);
    for (; i < to; ++i)
        if (row[i] != v) return i;
    return to;
}

// The smallest i <= to such that row[i .. to) all equal v, not below from.
std::int32_t extendLeft(const Pel* row, std::int32_t from, std::int32_t to, Pel v) {
    const std::uint64_t vv = broadcast(v);
    std::int32_t i = to;
    for (; i - from >= 8; i -= 8)
        if (const std::uint64_t d = load8(row + i - 8) ^ vv) return i - 8 + lastByte(d) + 1;
    for (; i > from; --i)
        if (row[i - 1] != v) return i;
    return from;
}

// The first i in [from, to) with row[i] == v, else to. Most ranges are a few
// pixels long: up to 32 pixels are searched eight at a time inline (on a
// little-endian machine the lowest byte flagged by the zero-byte test is
// exact), longer ranges go on with memchr.
std::int32_t findValue(const Pel* row, std::int32_t from, std::int32_t to, Pel v) {
    std::int32_t i = from;
    const std::int32_t inlineEnd = to - from > 32 ? from + 32 : to;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kLow = 0x0101010101010101u, kHigh = 0x8080808080808080u;
        const std::uint64_t vv = broadcast(v);
        for (; inlineEnd - i >= 8; i += 8) {
            const std::uint64_t x = load8(row + i) ^ vv;
            if (const std::uint64_t zero = (x - kLow) & ~x & kHigh) return i + firstByte(zero);
        }
    }
    if (inlineEnd < to) {
        const void* hit = std::memchr(row + i, v, static_cast<std::size_t>(to - i));
        return hit ? static_cast<std::int32_t>(static_cast<const Pel*>(hit) - row) : to;
    }
    for (; i < to; ++i)
        if (row[i] == v) return i;
    return to;
}

// The fill proper, on a stack of pixel entries kept in the workspace (last in,
// first out, which keeps the work near the pixels just filled). Every pushed
// pixel already holds the new value when it is pushed, so a pixel is pushed
// at most once and never found stale; the start is processed without being
// pushed. At most W * H - 1 entries are ever pending, so a workspace of
// W * H entries never runs out: the fill needs no memory beyond what was
// prepared before its first write.
class ScanFill {
public:
    ScanFill(Pel* base, std::ptrdiff_t stride, std::int32_t w, std::int32_t h, Pel old, Pel value,
             std::vector<std::int64_t>& workspace)
        : base_(base), stride_(stride), w_(w), h_(h), old_(old), value_(value), stack_(workspace.data()),
          capacity_(workspace.size()) {}

    void run(std::int32_t x, std::int32_t y) {
        rowAt(y)[x] = value_;
        span(x, y);
        while (size_ != 0) {
            const std::int64_t p = stack_[--size_];
            span(static_cast<std::int32_t>(p & 0xffffffff), static_cast<std::int32_t>(p >> 32));
        }
    }

private:
    Pel* rowAt(std::int32_t y) const { return base_ + y * stride_; }

    void push(std::int32_t x, std::int32_t y) {
        if (size_ == capacity_) vstd_assert_(__LINE__);  // impossible by the bound above
        stack_[size_++] = (std::int64_t{y} << 32) | x;
    }

    // (x, y) holds the new value: widen it to the whole run of old pixels it
    // touches in its row, then push the first pixel of every run of old
    // pixels in the rows above and below that touches the filled run,
    // corners included. The rest of such a run is filled when its first
    // pixel is taken, by the widening.
    void span(std::int32_t x, std::int32_t y) {
        Pel* row = rowAt(y);
        const std::int32_t left = extendLeft(row, 0, x, old_);
        const std::int32_t right = findOther(row, x + 1, w_, old_);
        std::memset(row + left, value_, static_cast<std::size_t>(x - left));
        std::memset(row + x + 1, value_, static_cast<std::size_t>(right - x - 1));
        const std::int32_t from = left > 0 ? left - 1 : 0;
        const std::int32_t to = right < w_ ? right + 1 : w_;
        if (y > 0) seedRow(y - 1, from, to);
        if (y + 1 < h_) seedRow(y + 1, from, to);
    }

    void seedRow(std::int32_t y, std::int32_t from, std::int32_t to) {
        Pel* row = rowAt(y);
        std::int32_t i = findValue(row, from, to, old_);
        while (i < to) {
            row[i] = value_;
            push(i, y);
            i = findValue(row, findOther(row, i + 1, to, old_), to, old_);
        }
    }

    Pel* base_;
    std::ptrdiff_t stride_;
    std::int32_t w_, h_;
    Pel old_, value_;
    std::int64_t* stack_;
    std::size_t capacity_;
    std::size_t size_ = 0;
};

}  // namespace

void vf_FloodFill(const vkPelBuffer<std::uint8_t>& image, const vkPair<std::int32_t>& seed, unsigned char value,
                  std::vector<std::int64_t>& workspace) {
    vk_detail::requireBound(image);
    const vkPelRect& window = image.window();
    if (window.isNull()) throw vkPel::BadWindow("flood fill needs a non-empty window");
    if (!window.contains(seed)) throw vkPelFunc::BadParams("flood fill seed lies outside the window");
    const Pel old = image.get(seed);
    if (old == value) throw vkPelFunc::BadParams("flood fill seed already holds the fill value");

    // May throw std::bad_alloc; no pixel has been written yet.
    const auto area = static_cast<std::size_t>(window.area());
    if (workspace.size() < area) workspace.resize(area);

    const vkPair<std::int32_t> start = seed - window.ul();
    ScanFill(image.pointToOffset(), image.rowUpdate(), window.width(), window.height(), old, value, workspace)
        .run(start.x(), start.y());
}

bool vf_FindFirstPel(const vkPelBuffer_const<std::uint8_t>& image, unsigned char value, vkPair<std::int32_t>& where) {
    vk_detail::requireBound(image);
    const std::int32_t w = image.width();
    const Pel* row = image.pointToOffset();
    for (std::int32_t y = 0; y < image.height(); ++y, row += image.rowUpdate()) {
        const std::int32_t x = findValue(row, 0, w, value);
        if (x < w) {
            where = image.offset() + vkPair<std::int32_t>(x, y);
            return true;
        }
    }
    return false;
}
