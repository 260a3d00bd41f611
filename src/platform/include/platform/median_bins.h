// Groups of 16 histogram bins for the median kernel, in portable C++. A
// group is 16 consecutive 16-bit counts (the 16 coarse bins, or the 16 fine
// bins under one coarse bin), always 32-byte aligned in memory. The
// operations: load, store, add, slide (add one group and subtract another),
// add a multiple, running sums, and the search for the bin that holds a given
// rank. Counts wrap modulo 2^16; only the final counts, at most 32767, need
// to be exact.
#pragma once

#include <cstdint>

namespace vk_detail {

struct PortableBins {
    struct Group {
        std::uint16_t v[16];
    };
    // Running sums s[i] = v[0] + ... + v[i]; s[16] is the total.
    struct Sums {
        std::uint32_t s[17];
    };

    static Group zero() { return Group{}; }
    static Group load(const std::uint16_t* p) {
        Group g;
        for (int i = 0; i < 16; ++i)
            g.v[i] = p[i];
        return g;
    }
    static void store(std::uint16_t* p, const Group& g) {
        for (int i = 0; i < 16; ++i)
            p[i] = g.v[i];
    }
    static Group add(Group a, const Group& b) {
        for (int i = 0; i < 16; ++i)
            a.v[i] = static_cast<std::uint16_t>(a.v[i] + b.v[i]);
        return a;
    }
    static Group slide(Group a, const Group& in, const Group& out) {
        for (int i = 0; i < 16; ++i)
            a.v[i] = static_cast<std::uint16_t>(a.v[i] + in.v[i] - out.v[i]);
        return a;
    }
    // a + times * g (times below 2^15).
    static Group addTimes(Group a, const Group& g, std::int32_t times) {
        for (int i = 0; i < 16; ++i)
            a.v[i] =
                static_cast<std::uint16_t>(a.v[i] + g.v[i] * static_cast<std::uint32_t>(times));
        return a;
    }
    static Sums sums(const Group& g) {
        Sums s;
        std::uint32_t acc = 0;
        for (int i = 0; i < 16; ++i)
            s.s[i] = acc += g.v[i];
        s.s[16] = acc;
        return s;
    }
    static std::uint32_t total(const Sums& s) { return s.s[16]; }
    // The first bin whose running sum exceeds rank (rank < total).
    static int firstAbove(const Sums& s, std::uint32_t rank) {
        int k = 0;
        while (s.s[k] <= rank)
            ++k;
        return k;
    }
    // The running sum before bin k.
    static std::uint32_t before(const Sums& s, int k) { return k == 0 ? 0 : s.s[k - 1]; }
};

}  // namespace vk_detail
