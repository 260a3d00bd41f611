// Groups of 16 histogram bins for the median kernel, in portable C++. A
// group holds running counts: lane j counts the values whose digit (the
// group's 4 bits of the value) is at most j, so lane 15 is the group's
// total. Lanes are 16-bit and always 32-byte aligned in memory. Counts wrap
// modulo 2^16; only the final counts, at most 32767, need to be exact.
//
// Lanes may also be loaded from 16 bytes, each widened to a lane (columns
// whose counts cannot exceed 255 keep them in bytes).
//
// The operations: load, store, add, slide (add one group and subtract
// another), add a multiple, count a value in (add w to lanes d and above),
// a value in every lane, running sums, the first lane above a rank given in
// every lane, the lane below a given one in every lane, and the total.
#pragma once

#include <cstdint>

namespace vk_detail {

struct PortableBins {
    struct Group {
        std::uint16_t v[16];
    };

    static Group zero() { return Group{}; }
    static Group load(const std::uint16_t* p) {
        Group g;
        for (int i = 0; i < 16; ++i)
            g.v[i] = p[i];
        return g;
    }
    static Group load(const std::uint8_t* p) {
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
    // Counts w more (w may be negative) values of digit d in the group at p.
    static void count(std::uint16_t* p, int d, std::int32_t w) {
        for (int i = d; i < 16; ++i)
            p[i] = static_cast<std::uint16_t>(p[i] + static_cast<std::uint32_t>(w));
    }
    // count(p, d1, w1) and count(p, d2, w2) at once.
    static void count2(std::uint16_t* p, int d1, std::int32_t w1, int d2, std::int32_t w2) {
        count(p, d1, w1);
        count(p, d2, w2);
    }
    static Group splat(std::uint32_t x) {
        Group g;
        for (int i = 0; i < 16; ++i)
            g.v[i] = static_cast<std::uint16_t>(x);
        return g;
    }
    // The first lane whose count exceeds rank (rank in every lane, below the
    // total).
    static int firstAbove(const Group& g, const Group& rank) {
        int k = 0;
        while (g.v[k] <= rank.v[k])
            ++k;
        return k;
    }
    // Running sums of the lanes: lane j gets lanes 0 .. j.
    static Group prefixSum(Group g) {
        for (int i = 1; i < 16; ++i)
            g.v[i] = static_cast<std::uint16_t>(g.v[i] + g.v[i - 1]);
        return g;
    }
    // Lane k - 1 in every lane; zero for k = 0.
    static Group laneBelow(const Group& g, int k) { return splat(k == 0 ? 0 : g.v[k - 1]); }
    static std::uint32_t total(const Group& g) { return g.v[15]; }
};

}  // namespace vk_detail
