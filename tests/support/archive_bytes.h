// Test helper: an archive byte writer independent of vkArchive, so that
// expected bytes of the documented layouts are not produced by the code
// under test.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace testbytes {

struct Bytes {
    std::vector<std::uint8_t> v;

    Bytes& u8(unsigned x) { v.push_back(static_cast<std::uint8_t>(x)); return *this; }
    Bytes& u32(std::uint32_t x) { return u8(x & 0xFF).u8((x >> 8) & 0xFF).u8((x >> 16) & 0xFF).u8(x >> 24); }
    Bytes& i32(std::int32_t x) { return u32(static_cast<std::uint32_t>(x)); }
    // Little-endian IEEE double: the low word first.
    Bytes& f64(double d) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &d, 8);
        return u32(static_cast<std::uint32_t>(bits)).u32(static_cast<std::uint32_t>(bits >> 32));
    }
    Bytes& append(const std::vector<std::uint8_t>& more) { v.insert(v.end(), more.begin(), more.end()); return *this; }
    // The start of a bound image buffer: version, bound flag, window, first
    // pixel position, client-from-image transform (a, b, c, d, tx, ty).
    Bytes& imageHeader(std::int32_t x, std::int32_t y, std::int32_t w, std::int32_t h,
                       const double (&e)[6]) {
        u8(0).u8(1).i32(x).i32(y).i32(w).i32(h).i32(x).i32(y);
        for (double d : e) f64(d);
        return *this;
    }
    // An unbound image buffer.
    Bytes& unboundImage() { return u8(0).u8(0); }
};

constexpr double kIdentity[6] = {1, 0, 0, 1, 0, 0};

}  // namespace testbytes
