// The median filter's sliding-histogram kernel (after Perreault and Hebert),
// for any pixel type and any group-of-bins implementation. Included by the
// file of each instruction set, which defines VK_MEDIAN_TARGET to the
// attribute its functions are compiled with; everything here is in an
// unnamed namespace, so that each such file has its own copy.
//
// Values are split into 4-bit digits, most significant first: 8-bit values
// into 2 levels, 12-bit values into 3, 16-bit values into 4 (of which the
// last two are kept and searched apart, see SplitStore and sweepSplit). For
// each image column the kernel
// keeps a histogram of the column's pixels in the rows of the current
// neighbourhood, as groups of 16 counts (median_bins.h): at level 1 one
// group of running counts over the first digit; at level l + 1 one group
// over digit l + 1 for each value of the first l digits that occurs (dense
// columns keep plain counts there, so that a pixel changes one bin of each
// such level, and the search sums them up). Moving down a row adds one
// pixel to each column and removes one. Along a row, the search descends
// level by level through the kernel's groups of the digits found so far,
// which slide by one column per step. A group is brought up to date only
// when the search enters it, by sliding it over
// the steps since it was last current, or by summing the columns of the
// neighbourhood when that is cheaper; each remembers the step it was last
// current at, and the one in use stays in registers. While the median stays
// in the same group of the last level, the next median is found in that
// group alone, from the count of pixels below it, which moves by the
// entering and leaving columns' counts below it (columns that count in
// bytes sum a group's first bins in one instruction); with more than two
// levels, a median just outside that group is looked for in the group next
// to it first. The cost per pixel therefore does not grow with the kernel
// size.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "imgnorm/attention.h"
#include "platform/median_kernel.h"

#ifndef VK_MEDIAN_TARGET
#define VK_MEDIAN_TARGET
#endif
// The functions that return a group are always inlined: GCC 12 was seen to
// lose the upper half of a 256-bit group returned from such a function
// compiled out of line for AVX2.
#define VK_MEDIAN_GROUP VK_MEDIAN_TARGET __attribute__((always_inline))

namespace vk_detail {
namespace {

// Entry 16 i + o: the change of a level-1 group of running counts when a
// pixel of first digit i enters and one of first digit o leaves (1 in lanes
// i and above, minus 1 in lanes o and above).
struct TopChange {
    alignas(32) std::uint16_t g[256][16];
};
constexpr TopChange kTopChange = [] {
    TopChange t{};
    for (int i = 0; i < 16; ++i)
        for (int o = 0; o < 16; ++o)
            for (int j = 0; j < 16; ++j)
                t.g[16 * i + o][j] = static_cast<std::uint16_t>((j >= i) - (j >= o));
    return t;
}();

// 16 all-ones bytes, then 16 zero bytes: the first d bytes of kFirstBytes +
// 16 - d are all ones.
alignas(32) constexpr std::uint8_t kFirstBytes[32] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,    0,    0};

// The sum of the first d of the 16 bytes at p (16-byte aligned).
inline std::uint32_t sumFirstBytes(const std::uint8_t* p, int d) {
#if defined(__SSE2__)
    const __m128i keep = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kFirstBytes + 16 - d));
    const __m128i sums =
        _mm_sad_epu8(_mm_and_si128(_mm_load_si128(reinterpret_cast<const __m128i*>(p)), keep),
                     _mm_setzero_si128());
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
#else
    std::uint32_t sum = 0;
    for (int j = 0; j < d; ++j)
        sum += p[j];
    return sum;
#endif
}

// Calls f(r, weight) for each source row r of result row y's
// neighbourhood: rows beyond the window's edges are left out when clipping;
// when repeating, the edge rows stand in for them.
template <class T, class F>
void forEachRow(const MedianJobOf<T>& job, std::int32_t y, F&& f) {
    const std::int32_t ry = job.radiusY, hgt = job.height;
    const std::int32_t r0 = std::max(0, y - ry), r1 = std::min(hgt - 1, y + ry);
    for (std::int32_t r = r0; r <= r1; ++r) {
        std::int32_t weight = 1;
        if (!job.clip && r == 0) weight += r0 - (y - ry);
        if (!job.clip && r == hgt - 1) weight += (y + ry) - r1;
        f(r, weight);
    }
}

// Columns of values below 16^Levels (2 levels: 8-bit values; 3: values of
// up to 12 bits). The levels lie in each column side by side: level 1
// (16-bit running counts), then the 16 groups of level 2, then the 256 of
// level 3, whose plain counts are Count: bytes when no column can count
// more than 255 pixels (a kernel at most 255 rows high), which halves the
// memory the columns take. Larger values count as the largest. The last
// column of the stripe's is always empty.
template <class Bins, class T, int Levels, class Count>
class DenseStore {
  public:
    using Pel = T;
    using Group = typename Bins::Group;
    using Column = const std::uint8_t*;  // the column's first byte
    static constexpr int kLevels = Levels;
    static constexpr std::uint32_t kTop = (1u << (4 * Levels)) - 1;
    // Bins of levels 2 and 3, after the 16 of level 1.
    static constexpr std::size_t kCountBins = Levels == 2 ? 256 : 256 + 4096;
    // 32-byte slots per column.
    static constexpr std::size_t kColumnSlots = (32 + sizeof(Count) * kCountBins + 31) / 32;
    static constexpr std::size_t kColumnBytes = 32 * kColumnSlots;
    // Groups below level 1 hold plain counts (a pixel changes one bin), not
    // running ones: the search sums them up when it reaches them.
    static constexpr bool kRunningBelowTop = false;
    // Every level is counted for every pixel (see SplitStore).
    static constexpr bool kLazy = false;

    VK_MEDIAN_TARGET void reset(std::int32_t columns) {
        columns_ = static_cast<std::size_t>(columns);
        const std::size_t slots = (columns_ + 1) * kColumnSlots;
        if (bins_.size() < slots) bins_.resize(slots);
        std::memset(static_cast<void*>(bins_.data()), 0, slots * sizeof(Slot));
        base_ = reinterpret_cast<std::uint8_t*>(bins_.data());
    }
    Column column(std::int32_t c) const { return at(c); }
    Column empty() const { return column(static_cast<std::int32_t>(columns_)); }
    // The group at `level` under the first level - 1 digits `prefix`.
    VK_MEDIAN_GROUP Group load(Column c, int level, std::uint32_t prefix) const {
        if (level == 1) return Bins::load(reinterpret_cast<const std::uint16_t*>(c));
        return Bins::load(counts(c) + kLevelOffset[level] + 16 * prefix);
    }
    // Whether countBelow is available: with byte counts the sums of a few
    // bins of a group are cheap.
    static constexpr bool kCountsBelow = sizeof(Count) == 1;
    // The number of pixels in column c whose first Digits digits are below
    // `prefix`.
    template <int Digits = Levels - 1>
    std::uint32_t countBelow(Column c, std::uint32_t prefix) const {
        const std::uint32_t first = prefix >> (4 * (Digits - 1));
        std::uint32_t n = first == 0 ? 0 : reinterpret_cast<const std::uint16_t*>(c)[first - 1];
        const Count* bins = counts(c);
        for (int l = 2; l <= Digits; ++l) {
            const std::uint32_t group = prefix >> (4 * (Digits - l));
            n += sumFirstBytes(bins + kLevelOffset[l] + 16 * (group >> 4),
                               static_cast<int>(group & 15));
        }
        return n;
    }
    // Counts w more (w may be negative) pixels of value v in column c.
    VK_MEDIAN_TARGET void add(std::int32_t c, std::uint32_t v, std::int32_t w) {
        std::uint8_t* bins = at(c);
        auto* top = reinterpret_cast<std::uint16_t*>(bins);
        if constexpr (sizeof(T) > 1) v = std::min(v, kTop);
        Bins::count(top, static_cast<int>(v >> (4 * (Levels - 1))), w);
        for (int l = 2; l <= Levels; ++l)
            bump(bins, l, v, w);
    }
    VK_MEDIAN_TARGET void remove(std::int32_t c, std::uint32_t v, std::int32_t w) { add(c, v, -w); }
    // Adds a pixel and removes another, the level-1 group in one pass.
    VK_MEDIAN_TARGET void replace(std::int32_t c, std::uint32_t in, std::int32_t win,
                                  std::uint32_t out, std::int32_t wout) {
        exchange<true>(c, in, win, out, wout);
    }

    // The same for pixels that both count once (no mask): the level-1
    // change comes from a table by both digits, one add instead of two
    // masked ones.
    VK_MEDIAN_TARGET void replace(std::int32_t c, std::uint32_t in, std::uint32_t out) {
        exchange<false>(c, in, 1, out, 1);
    }

  private:
    // Counts win more pixels of value in and wout fewer of value out in
    // column c; the level-1 group from weights (Weighted) or from the table
    // of unit changes.
    template <bool Weighted>
    VK_MEDIAN_GROUP void exchange(std::int32_t c, std::uint32_t in, std::int32_t win,
                                  std::uint32_t out, std::int32_t wout) {
        std::uint8_t* bins = at(c);
        auto* top = reinterpret_cast<std::uint16_t*>(bins);
        if constexpr (sizeof(T) > 1) {
            in = std::min(in, kTop);
            out = std::min(out, kTop);
        }
        const int shift = 4 * (Levels - 1);
        if constexpr (Weighted)
            Bins::count2(top, static_cast<int>(in >> shift), win, static_cast<int>(out >> shift),
                         -wout);
        else
            Bins::store(top,
                        Bins::add(Bins::load(top),
                                  Bins::load(kTopChange.g[(in >> shift) * 16 + (out >> shift)])));
        for (int l = 2; l <= Levels; ++l) {
            bump(bins, l, in, win);
            bump(bins, l, out, -wout);
        }
    }

    struct alignas(32) Slot {
        std::uint16_t v[16];
    };
    // Where each level's groups start among a column's counts.
    static constexpr std::size_t kLevelOffset[4] = {0, 0, 0, 256};
    // The counts of levels 2 and 3 of the column whose level-1 group is at c
    // (bytes may alias any storage).
    static const Count* counts(Column c) { return reinterpret_cast<const Count*>(c + 32); }
    static Count* counts(std::uint8_t* c) { return reinterpret_cast<Count*>(c + 32); }
    // Adds w to the bin of v at `level` (its first `level` digits) in the
    // column whose level-1 group is at bins.
    static void bump(std::uint8_t* bins, int level, std::uint32_t v, std::int32_t w) {
        Count* bin = counts(bins) + kLevelOffset[level] + (v >> (4 * (Levels - level)));
        *bin = static_cast<Count>(*bin + static_cast<std::uint32_t>(w));
    }
    std::uint8_t* at(std::int32_t c) const {
        return base_ + static_cast<std::size_t>(c) * kColumnBytes;
    }
    std::vector<Slot> bins_;        // kColumnSlots slots per column
    std::uint8_t* base_ = nullptr;  // bins_ as bytes
    std::size_t columns_ = 0;
};

// Columns of 16-bit values, split by byte. The high byte is counted in each
// column as 8-bit values are (levels 1 and 2). The low byte (levels 3 and
// 4) is counted only under the high bytes the medians reach: in blocks of
// kBlockColumns columns for one high byte each, a block filled from the
// neighbourhood's rows when the sweep first needs it (ensure), kept up to
// date by the row changes while it lives, and given back to a pool when no
// median of the last kKeepRows rows needed it. A 16-bit image's pixels
// spread over many high bytes but its medians over few nearby, so a row
// change counts the low bytes of few pixels, in few cache lines.
template <class Bins, class CountT>
class SplitStore {
    using High = DenseStore<Bins, std::uint8_t, 2, CountT>;

  public:
    using Pel = std::uint16_t;
    using Group = typename Bins::Group;
    using Column = std::int32_t;  // the column's index
    using Count = CountT;
    // The levels of the high byte, which the sweep reaches through load.
    static constexpr int kLevels = 2;
    static constexpr bool kCountsBelow = High::kCountsBelow;
    static constexpr bool kLazy = true;
    static constexpr std::int32_t kBlockColumns = 32;
    static constexpr std::int32_t kKeepRows = 4;
    static constexpr std::int32_t kLivePerBlock = 16;

    // Sets the rows blocks are filled from: the job's window from column cx0.
    void source(const MedianJobOf<Pel>& job, std::int32_t cx0) {
        job_ = &job;
        cx0_ = cx0;
    }
    VK_MEDIAN_TARGET void reset(std::int32_t columns) {
        columns_ = columns;
        // The empty column starts a block of its own, whose counts under
        // every high byte are the pool's first block, all zero.
        blocks_ = (columns + kBlockColumns - 1) / kBlockColumns + 1;
        high_.reset((blocks_ - 1) * kBlockColumns);
        blockOf_.assign(static_cast<std::size_t>(blocks_) * 256, -1);
        std::fill_n(blockOf_.end() - 256, 256, 0);
        if (pool_.empty()) pool_.resize(kBlockSlots);
        std::memset(static_cast<void*>(pool_.data()), 0, kBlockSlots * sizeof(Slot));
        users_.resize(pool_.size() / kBlockSlots);
        free_.clear();
        for (std::size_t b = users_.size() - 1; b > 0; --b)
            free_.push_back(static_cast<std::int32_t>(b));
        live_.clear();
    }
    Column column(std::int32_t c) const { return c; }
    Column empty() const { return (blocks_ - 1) * kBlockColumns; }
    VK_MEDIAN_GROUP Group load(Column c, int level, std::uint32_t prefix) const {
        return high_.load(high_.column(c), level, prefix);
    }
    // The number of pixels in column c whose high byte is below `high`.
    std::uint32_t countBelow(Column c, std::uint32_t high) const {
        return high_.template countBelow<2>(high_.column(c), high);
    }
    // A column's low-byte counts under one high byte: level 3, then the 16
    // groups of level 4 (kFineCounts counts, current where ensured).
    static constexpr std::size_t kFineCounts = 272;
    const Count* fine(Column c, std::uint32_t high) const {
        return reinterpret_cast<const Count*>(blockAt(blockOf(c), high)) +
               static_cast<std::size_t>(inBlock(c)) * kFineCounts;
    }
    VK_MEDIAN_TARGET void add(std::int32_t c, std::uint32_t v, std::int32_t w) {
        high_.add(c, v >> 8, w);
        bumpFine(c, v, w);
    }
    VK_MEDIAN_TARGET void remove(std::int32_t c, std::uint32_t v, std::int32_t w) { add(c, v, -w); }
    VK_MEDIAN_TARGET void replace(std::int32_t c, std::uint32_t in, std::int32_t win,
                                  std::uint32_t out, std::int32_t wout) {
        high_.replace(c, in >> 8, win, out >> 8, wout);
        bumpFine(c, in, win);
        bumpFine(c, out, -wout);
    }
    VK_MEDIAN_TARGET void replace(std::int32_t c, std::uint32_t in, std::uint32_t out) {
        high_.replace(c, in >> 8, out >> 8);
        bumpFine(c, in, 1);
        bumpFine(c, out, -1);
    }

    // The columns now hold the neighbourhoods of row y: blocks no median
    // needed since row y - kKeepRows go back to the pool, and all of them
    // when more than kLivePerBlock per block of columns live (none is in
    // use between rows), so that medians which roam over many high bytes
    // (small kernels on noise) keep the pool near one row's needs.
    void startRow(std::int32_t y) {
        row_ = y;
        lastHigh_ = kNoHigh;
        const std::int32_t since =
            live_.size() > static_cast<std::size_t>(kLivePerBlock * (blocks_ - 1)) ? y
                                                                                   : y - kKeepRows;
        for (std::size_t i = 0; i < live_.size();) {
            const std::int32_t b = live_[i];
            User& u = users_[static_cast<std::size_t>(b)];
            if (u.lastRow >= since) {
                ++i;
                continue;
            }
            blockOf_[static_cast<std::size_t>(u.key)] = -1;
            free_.push_back(b);
            live_[i] = live_.back();
            live_.pop_back();
        }
    }
    // Makes the low-byte counts under high byte `high` current in columns
    // c0 .. c1.
    void ensure(std::uint32_t high, Column c0, Column c1) {
        const std::int32_t k0 = blockOf(c0), k1 = blockOf(c1);
        if (high != lastHigh_ || k0 < lastK0_ || k1 > lastK1_) ensureBlocks(high, k0, k1);
    }

  private:
    VK_MEDIAN_TARGET void ensureBlocks(std::uint32_t high, std::int32_t k0, std::int32_t k1) {
        for (std::int32_t k = k0; k <= k1 && k + 1 < blocks_; ++k) {
            const std::size_t key = static_cast<std::size_t>(k) * 256 + high;
            if (blockOf_[key] < 0) fill(k, high);
            users_[static_cast<std::size_t>(blockOf_[key])].lastRow = row_;
        }
        lastHigh_ = high;
        lastK0_ = k0;
        lastK1_ = k1;
    }

  public:
    // Adds the low-byte counts under `high` of columns c0 .. c1 (all
    // ensured) to the kFineCounts / 16 groups at sums: whole blocks by
    // their sums, the rest column by column, or as their block's sum less
    // its other columns when those are fewer.
    VK_MEDIAN_GROUP void sumFine(Column c0, Column c1, std::uint32_t high, Group* sums) const {
        constexpr std::int32_t kHalf = kBlockColumns / 2;
        for (Column c = c0; c <= c1;) {
            const Column first = c - inBlock(c);
            const Column end = std::min(c1 + 1, first + kBlockColumns);
            const Slot* block = blockAt(blockOf(c), high);
            const auto* col = reinterpret_cast<const Count*>(block);
            if (end - c > kHalf) {
                for (std::size_t g = 0; g < kFineCounts / 16; ++g)
                    sums[g] = Bins::add(sums[g], Bins::load(block[kColumnsSlots + g].v));
                for (Column j = first; j < first + kBlockColumns; ++j) {
                    if (j == c) j = end;
                    if (j >= first + kBlockColumns) break;
#pragma GCC unroll 17
                    for (std::size_t g = 0; g < kFineCounts / 16; ++g)
                        sums[g] = Bins::slide(
                            sums[g], Bins::zero(),
                            Bins::load(col + static_cast<std::size_t>(j - first) * kFineCounts +
                                       16 * g));
                }
            } else {
                for (Column j = c; j < end; ++j)
#pragma GCC unroll 17
                    for (std::size_t g = 0; g < kFineCounts / 16; ++g)
                        sums[g] = Bins::add(
                            sums[g],
                            Bins::load(col + static_cast<std::size_t>(j - first) * kFineCounts +
                                       16 * g));
            }
            c = end;
        }
    }

  private:
    struct alignas(32) Slot {
        std::uint16_t v[16];
    };
    // A block: its columns' counts, then their sums in 16 bits.
    static constexpr std::size_t kColumnsSlots =
        kBlockColumns * kFineCounts * sizeof(Count) / sizeof(Slot);
    static constexpr std::size_t kBlockSlots = kColumnsSlots + kFineCounts / 16;
    const Slot* blockAt(std::int32_t k, std::uint32_t high) const {
        return pool_.data() +
               static_cast<std::size_t>(blockOf_[static_cast<std::size_t>(k) * 256 + high]) *
                   kBlockSlots;
    }
    static constexpr std::uint32_t kNoHigh = ~0u;
    // Column c's block and its place there (columns are never negative: a
    // shift and a mask).
    static std::int32_t blockOf(Column c) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(c) / kBlockColumns);
    }
    static std::int32_t inBlock(Column c) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(c) % kBlockColumns);
    }
    struct User {
        std::int32_t key;      // block * 256 + high byte
        std::int32_t lastRow;  // the last row whose medians needed it
    };

    void bumpFine(std::int32_t c, std::uint32_t v, std::int32_t w) {
        const std::int32_t b = blockOf_[static_cast<std::size_t>(blockOf(c)) * 256 + (v >> 8)];
        if (b < 0) return;
        bumpIn(pool_.data() + static_cast<std::size_t>(b) * kBlockSlots, inBlock(c), v, w);
    }
    // Counts w more pixels of value v in column j of the block.
    static void bumpIn(Slot* block, std::int32_t j, std::uint32_t v, std::int32_t w) {
        bumpBoth(reinterpret_cast<Count*>(block) + static_cast<std::size_t>(j) * kFineCounts, v, w);
        bumpBoth(block[kColumnsSlots].v, v, w);
    }
    // Adds w to the level-3 and level-4 counts of v among counts.
    template <class C>
    static void bumpBoth(C* counts, std::uint32_t v, std::int32_t w) {
        C& level3 = counts[(v >> 4) & 15];
        C& level4 = counts[16 + (v & 255)];
        level3 = static_cast<C>(level3 + static_cast<std::uint32_t>(w));
        level4 = static_cast<C>(level4 + static_cast<std::uint32_t>(w));
    }
    // Counts the low bytes under `high` of block k's columns from the rows
    // of row_'s neighbourhoods.
    VK_MEDIAN_TARGET void fill(std::int32_t k, std::uint32_t high) {
        if (free_.empty()) {
            free_.push_back(static_cast<std::int32_t>(users_.size()));
            users_.emplace_back();
            pool_.resize(users_.size() * kBlockSlots);
        }
        const std::int32_t b = free_.back();
        free_.pop_back();
        const auto key = static_cast<std::int32_t>(k * 256 + static_cast<std::int32_t>(high));
        blockOf_[static_cast<std::size_t>(key)] = b;
        users_[static_cast<std::size_t>(b)] = User{key, row_};
        live_.push_back(b);
        Slot* block = pool_.data() + static_cast<std::size_t>(b) * kBlockSlots;
        std::memset(static_cast<void*>(block), 0, kBlockSlots * sizeof(Slot));
        const MedianJobOf<Pel>& job = *job_;
        const std::int32_t c0 = k * kBlockColumns;
        const std::int32_t n = std::min(kBlockColumns, columns_ - c0);
        forEachRow(job, row_, [&](std::int32_t r, std::int32_t weight) VK_MEDIAN_TARGET {
            const Pel* p = job.image + r * job.imageStride + cx0_ + c0;
            const std::uint8_t* m =
                job.mask != nullptr ? job.mask + r * job.maskStride + cx0_ + c0 : nullptr;
            // A whole block's row is compared at once where the groups can.
            if constexpr (requires { Bins::sameHigh(p, high); }) {
                if (n == kBlockColumns) {
                    for (std::uint32_t hits = Bins::sameHigh(p, high); hits != 0;
                         hits &= hits - 1) {
                        const auto j = static_cast<std::int32_t>(__builtin_ctz(hits));
                        if (m == nullptr || m[j] != 0) bumpIn(block, j, p[j], weight);
                    }
                    return;
                }
            }
            for (std::int32_t j = 0; j < n; ++j)
                if ((p[j] >> 8) == high && (m == nullptr || m[j] != 0))
                    bumpIn(block, j, p[j], weight);
        });
    }

    High high_;
    const MedianJobOf<Pel>* job_ = nullptr;
    std::int32_t cx0_ = 0, columns_ = 0, blocks_ = 0, row_ = 0;
    // By block and high byte: the pool's block that counts them, or -1.
    std::vector<std::int32_t> blockOf_;
    std::vector<Slot> pool_;  // kBlockSlots slots per block
    std::vector<User> users_;
    std::vector<std::int32_t> free_, live_;
    // The last blocks ensured in this row.
    std::uint32_t lastHigh_ = kNoHigh;
    std::int32_t lastK0_ = 0, lastK1_ = 0;
};

// The columns of one row of results. Result i's neighbourhood spans table
// entries i .. i + 2 * rx; entries realLo .. realHi - 1 are columns inside
// the window, those before and after stand for columns beyond its edges
// (empty when clipping, copies of the edge column when repeating).
template <class Column>
struct RowColumns {
    const Column* col;
    std::int32_t realLo, realHi;
    bool repeat;
};

template <class Bins, class Store, bool Masked>
class StripeFilter {
    using T = typename Store::Pel;
    using Column = typename Store::Column;
    using Group = typename Bins::Group;
    static constexpr int L = Store::kLevels;

  public:
    VK_MEDIAN_TARGET StripeFilter(const MedianJobOf<T>& job, std::int32_t stripeWidth)
        : job_(job),
          col_(static_cast<std::size_t>(stripeWidth + 2 * job.radiusX)),
          empty_(std::clamp(job.empty, job.lo, job.hi)) {
        // Groups below level 1: 16 at level 2, 256 at level 3, ...
        std::size_t at = 0;
        for (int l = 1; l < L; ++l) {
            offset_[l] = at;
            at += std::size_t{16} << (4 * (l - 1));
        }
        cache_.resize(at);
        current_.assign(at, kStale);
        if constexpr (Store::kLazy) {
            bundles_.resize(256 * kBundleGroups);
            bundleAt_.assign(256, kStale);
        }
    }

    // Results for columns sx0 .. sx1 - 1 of the source window.
    VK_MEDIAN_TARGET void run(std::int32_t sx0, std::int32_t sx1) {
        const std::int32_t rx = job_.radiusX, w = job_.width;
        const std::int32_t cx0 = std::max(0, sx0 - rx), cx1 = std::min(w, sx1 + rx);
        const std::int32_t ncols = cx1 - cx0;
        if constexpr (Store::kLazy) store_.source(job_, cx0);
        store_.reset(ncols);

        // Neighbourhood columns outside the window are empty when clipping,
        // the edge column when repeating.
        const std::int32_t span = (sx1 - sx0) + 2 * rx;
        for (std::int32_t i = 0; i < span; ++i) {
            const std::int32_t j = sx0 - rx + i;
            if (j >= 0 && j < w)
                col_[static_cast<std::size_t>(i)] = store_.column(j - cx0);
            else
                col_[static_cast<std::size_t>(i)] =
                    job_.clip ? store_.empty() : store_.column(std::clamp(j, 0, w - 1) - cx0);
        }

        const std::int32_t y0 = job_.outY, y1 = job_.outY + job_.outHeight;
        forEachRow(job_, y0, [&](std::int32_t r, std::int32_t weight) {
            changeRow(r, cx0, ncols, weight, true);
        });

        const RowColumns<Column> rc{col_.data(), std::max(0, rx - sx0),
                                    std::min(span, w - sx0 + rx), !job_.clip};
        T* out = job_.result + (sx0 - job_.outX);
        for (std::int32_t y = y0; y < y1; ++y, out += job_.resultStride) {
            if constexpr (Store::kLazy) store_.startRow(y);
            if (y > y0) step(y, cx0, ncols);
            if (((y - y0) & 63) == 63) vkAttention::check();
            if constexpr (Store::kLazy)
                sweepSplit(rc, sx1 - sx0, out);
            else
                sweepRow(rc, sx1 - sx0, out);
        }
    }

  private:
    const T* pels(std::int32_t r, std::int32_t c) const {
        return job_.image + r * job_.imageStride + c;
    }
    const std::uint8_t* maskRow(std::int32_t r, std::int32_t c) const {
        return Masked ? job_.mask + r * job_.maskStride + c : nullptr;
    }
    static std::int32_t weightOf(const std::uint8_t* mask, std::int32_t c, std::int32_t w) {
        if constexpr (Masked)
            return w * (mask[c] != 0);
        else
            return w;
    }

    // Adds (or removes) source row r, weighted, to the columns.
    VK_MEDIAN_TARGET void changeRow(std::int32_t r, std::int32_t cx0, std::int32_t ncols,
                                    std::int32_t weight, bool insert) {
        const T* p = pels(r, cx0);
        const std::uint8_t* m = maskRow(r, cx0);
        for (std::int32_t c = 0; c < ncols; ++c) {
            if (insert)
                store_.add(c, p[c], weightOf(m, c, weight));
            else
                store_.remove(c, p[c], weightOf(m, c, weight));
        }
    }

    // Moves the columns from the rows of result row y - 1 to those of row
    // y: one row leaves at the top, one enters at the bottom.
    VK_MEDIAN_TARGET void step(std::int32_t y, std::int32_t cx0, std::int32_t ncols) {
        std::int32_t rOut = y - job_.radiusY - 1, rIn = y + job_.radiusY;
        if (job_.clip) {
            if (rOut >= 0 && rIn < job_.height) {
                replaceRow(rOut, rIn, cx0, ncols);
            } else {
                if (rOut >= 0) changeRow(rOut, cx0, ncols, 1, false);
                if (rIn < job_.height) changeRow(rIn, cx0, ncols, 1, true);
            }
        } else {
            rOut = std::clamp(rOut, 0, job_.height - 1);
            rIn = std::clamp(rIn, 0, job_.height - 1);
            if (rOut != rIn) replaceRow(rOut, rIn, cx0, ncols);
        }
    }

    VK_MEDIAN_TARGET void replaceRow(std::int32_t rOut, std::int32_t rIn, std::int32_t cx0,
                                     std::int32_t ncols) {
        const T *po = pels(rOut, cx0), *pi = pels(rIn, cx0);
        const std::uint8_t *mo = maskRow(rOut, cx0), *mi = maskRow(rIn, cx0);
        for (std::int32_t c = 0; c < ncols; ++c)
            if constexpr (Masked)
                store_.replace(c, pi[c], weightOf(mi, c, 1), po[c], weightOf(mo, c, 1));
            else
                store_.replace(c, pi[c], po[c]);
    }

    // Makes `prefix` the group g in use at level l + 1 (l >= 1), current at
    // step i of the row whose first step is `base`: the group held before
    // goes back to the cache with the step it is current at (heldAt), and
    // the new one comes from it, brought up to step i.
    VK_MEDIAN_GROUP void hold(const RowColumns<Column>& rc, std::int64_t base, int l,
                              std::uint32_t prefix, std::int32_t i, Group& g,
                              std::uint32_t& heldPrefix, std::int32_t& heldAt) {
        if (prefix != heldPrefix) {
            if (heldPrefix != kNone) {
                Bins::store(cache_[offset_[l] + heldPrefix].v, g);
                current_[offset_[l] + heldPrefix] = base + heldAt;
            }
            heldPrefix = prefix;
            const std::int64_t at = current_[offset_[l] + prefix] - base;
            // A group older than the row is summed anew.
            heldAt = static_cast<std::int32_t>(std::max<std::int64_t>(at, -2 * job_.radiusX - 2));
            g = Bins::load(cache_[offset_[l] + prefix].v);
        }
        if (heldAt != i) {
            g = catchUp(rc, g, heldAt, i, l + 1, prefix);
            heldAt = i;
        }
    }

    // Sum of the group at (level, prefix) over table entries a .. b - 1.
    // Columns beyond the edges are counted without walking them, so a
    // kernel much wider than the window costs no more than the window's
    // width.
    VK_MEDIAN_GROUP Group columnSum(const RowColumns<Column>& rc, std::int32_t a, std::int32_t b,
                                    int level, std::uint32_t prefix) const {
        Group acc = Bins::zero();
        const std::int32_t lo = std::max(a, rc.realLo), hi = std::min(b, rc.realHi);
        for (std::int32_t j = lo; j < hi; ++j)
            acc = Bins::add(acc, store_.load(rc.col[j], level, prefix));
        if (rc.repeat) {
            if (a < rc.realLo)
                acc = Bins::addTimes(acc, store_.load(rc.col[rc.realLo], level, prefix),
                                     rc.realLo - a);
            if (b > rc.realHi)
                acc = Bins::addTimes(acc, store_.load(rc.col[rc.realHi - 1], level, prefix),
                                     b - rc.realHi);
        }
        return acc;
    }

    // Brings the group g at (level, prefix), current at step `at`, up to
    // step i: by sliding it, or by summing the neighbourhood's columns when
    // that is cheaper (at most span additions against 2 per step).
    VK_MEDIAN_GROUP Group catchUp(const RowColumns<Column>& rc, Group g, std::int32_t at,
                                  std::int32_t i, int level, std::uint32_t prefix) const {
        const std::int32_t rx = job_.radiusX;
        if (i - at > rx) return columnSum(rc, i, i + 2 * rx + 1, level, prefix);
        for (std::int32_t s = at + 1; s <= i; ++s)
            g = Bins::slide(g, store_.load(rc.col[s + 2 * rx], level, prefix),
                            store_.load(rc.col[s - 1], level, prefix));
        return g;
    }

    // The number of the first of a row's n steps. Steps are numbered across
    // rows, so groups of earlier rows are stale.
    std::int64_t numberSteps(std::int32_t n) {
        const std::int64_t base = stepBase_;
        stepBase_ += n + 2 * job_.radiusX + 2;
        return base;
    }

    // Brings the bundle of high byte h, current at step `at`, up to step i:
    // slid step by step (inline, as it is at almost every step), or summed
    // anew over the neighbourhood's columns when that is cheaper.
    VK_MEDIAN_GROUP void bring(const RowColumns<Column>& rc, std::uint32_t h, std::int64_t base,
                               std::int32_t i) {
        Slot* b = bundles_.data() + h * kBundleGroups;
        const std::int64_t at = bundleAt_[h] - base;
        bundleAt_[h] = base + i;
        const std::int32_t rx = job_.radiusX;
        if (i - at <= rx) {
            for (auto s = static_cast<std::int32_t>(at) + 1; s <= i; ++s) {
                const auto* enter = store_.fine(rc.col[s + 2 * rx], h);
                const auto* leave = store_.fine(rc.col[s - 1], h);
                if constexpr (requires { Bins::slideMany(b[0].v, enter, leave, 1); })
                    Bins::slideMany(b[0].v, enter, leave, kBundleGroups);
                else
                    for (std::size_t g = 0; g < kBundleGroups; ++g)
                        Bins::store(b[g].v,
                                    Bins::slide(Bins::load(b[g].v), Bins::load(enter + 16 * g),
                                                Bins::load(leave + 16 * g)));
            }
            return;
        }
        sumBundle(rc, h, i);
    }

    // Sums the bundle of high byte h over the neighbourhood of step i.
    VK_MEDIAN_TARGET void sumBundle(const RowColumns<Column>& rc, std::uint32_t h, std::int32_t i) {
        Slot* b = bundles_.data() + h * kBundleGroups;
        // Columns beyond the edges are counted without walking them.
        const std::int32_t rx = job_.radiusX;
        const std::int32_t lo = std::max(i, rc.realLo), hi = std::min(i + 2 * rx + 1, rc.realHi);
        const std::int32_t before = rc.repeat ? std::max(0, rc.realLo - i) : 0;
        const std::int32_t after = rc.repeat ? std::max(0, i + 2 * rx + 1 - rc.realHi) : 0;
        Group acc[kBundleGroups];
        for (Group& a : acc)
            a = Bins::zero();
        store_.sumFine(rc.col[lo], rc.col[hi - 1], h, acc);
        const auto* first = store_.fine(rc.col[lo], h);
        const auto* last = store_.fine(rc.col[hi - 1], h);
        for (std::size_t g = 0; g < kBundleGroups; ++g) {
            if (before > 0) acc[g] = Bins::addTimes(acc[g], Bins::load(first + 16 * g), before);
            if (after > 0) acc[g] = Bins::addTimes(acc[g], Bins::load(last + 16 * g), after);
            Bins::store(b[g].v, acc[g]);
        }
    }

    // The running counts of the low byte's first digit in the bundle of
    // high byte h.
    VK_MEDIAN_GROUP Group thirdOf(std::uint32_t h) const {
        return Bins::prefixSum(Bins::load(bundles_[h * kBundleGroups].v));
    }

    // The median from the bundle of high byte h, below which `below`
    // pixels lie; `third` is thirdOf(h).
    VK_MEDIAN_GROUP std::uint32_t fromBundle(std::uint32_t h, std::uint32_t below,
                                             std::uint32_t middle, const Group& third) const {
        const Slot* b = bundles_.data() + h * kBundleGroups;
        const Group rank = Bins::splat(middle - below);
        const int k3 = Bins::firstAbove(third, rank);
        const Group fourth =
            Bins::add(Bins::prefixSum(Bins::load(b[1 + k3].v)), Bins::laneBelow(third, k3));
        return h * 256 + static_cast<std::uint32_t>(k3 * 16 + Bins::firstAbove(fourth, rank));
    }

    // One row of results from columns split by byte: the high byte as for
    // 8-bit values (levels 1 and 2), then the low byte from the bundle of
    // that high byte, slid along at every step. The median of 16-bit values
    // moves by many levels from one pixel to the next, out of any group of
    // 16 of them, but it leaves its high byte far less often; while it stays
    // there, the count of pixels below that high byte moves by the entering
    // and leaving columns' counts below it, and the level-2 group of its
    // first digit slides along, so that a median that leaves the high byte
    // for another of the same first digit is found without the level above,
    // which is left behind.
    VK_MEDIAN_TARGET void sweepSplit(const RowColumns<Column>& rc, std::int32_t n, T* out) {
        const std::int64_t base = numberSteps(n);
        const Column* col = rc.col;
        const std::int32_t rx = job_.radiusX, span = 2 * rx + 1;
        const std::uint32_t lo = job_.lo, hi = job_.hi;
        Group coarse = columnSum(rc, 0, span, 1, 0);
        std::int32_t coarseAt = 0;
        Group second = Bins::zero();  // the level-2 group in use, its prefix and step
        std::uint32_t secondPrefix = kNone;
        std::int32_t secondAt = -1;
        std::uint32_t middle = 0;
        // The median's high byte and the number of pixels below it, when
        // they are followed from step to step.
        std::uint32_t high = 0, below = 0;
        bool follow = false;
        for (std::int32_t i = 0; i < n; ++i) {
            const Column in = col[i + 2 * rx], gone = col[i > 0 ? i - 1 : 0];
            const bool inside = !Masked && i > rc.realLo && i + span <= rc.realHi;
            if (!inside) {
                coarse = catchUp(rc, coarse, coarseAt, i, 1, 0);
                coarseAt = i;
                const std::uint32_t t = Bins::total(coarse);
                if (Masked && t == 0) {
                    out[i] = empty_;
                    follow = false;
                    continue;
                }
                middle = (t - 1) / 2;
            }
            // Whether the median's high byte is found (in `high`, with the
            // pixels below it in `below`), and whether its bundle is current.
            bool found = false, current = false;
            Group third = Bins::zero();
            if constexpr (Store::kCountsBelow) {
                if (follow) {
                    second = Bins::slide(second, store_.load(in, 2, secondPrefix),
                                         store_.load(gone, 2, secondPrefix));
                    secondAt = i;
                    below += store_.countBelow(in, high) - store_.countBelow(gone, high);
                    store_.ensure(high, in, in);
                    bring(rc, high, base, i);
                    third = thirdOf(high);
                    found = current = middle - below < Bins::total(third);
                    if (!found) {
                        // Out of the high byte: within the level-2 group, the
                        // pixels below its first lane are those below the
                        // high byte less the group's lanes below it.
                        const Group running = Bins::prefixSum(second);
                        const std::uint32_t start =
                            below - Bins::total(Bins::laneBelow(running, high & 15));
                        found = middle - start < Bins::total(running);
                        if (found) {
                            const Group rank = Bins::splat(middle);
                            const int k2 =
                                Bins::firstAbove(Bins::add(running, Bins::splat(start)), rank);
                            high = secondPrefix * 16 + static_cast<std::uint32_t>(k2);
                            below = start + Bins::total(Bins::laneBelow(running, k2));
                        }
                    }
                }
            }
            if (!found) {
                if (coarseAt != i) {
                    coarse = catchUp(rc, coarse, coarseAt, i, 1, 0);
                    coarseAt = i;
                }
                const Group rank = Bins::splat(middle);
                const int k1 = Bins::firstAbove(coarse, rank);
                const auto first = static_cast<std::uint32_t>(k1);
                hold(rc, base, 1, first, i, second, secondPrefix, secondAt);
                const Group under = Bins::laneBelow(coarse, k1), running = Bins::prefixSum(second);
                const int k2 = Bins::firstAbove(Bins::add(running, under), rank);
                high = first * 16 + static_cast<std::uint32_t>(k2);
                below = Bins::total(Bins::add(under, Bins::laneBelow(running, k2)));
            }
            if (!current) {
                store_.ensure(high, col[std::max(i, rc.realLo)],
                              col[std::min(i + 2 * rx, rc.realHi - 1)]);
                bring(rc, high, base, i);
                third = thirdOf(high);
            }
            out[i] =
                static_cast<T>(std::min(std::max(fromBundle(high, below, middle, third), lo), hi));
            follow = true;
        }
    }

    // One row of results.
    VK_MEDIAN_TARGET void sweepRow(const RowColumns<Column>& rc, std::int32_t n, T* out) {
        const Column* col = rc.col;
        const std::int32_t rx = job_.radiusX, span = 2 * rx + 1;
        const std::uint32_t lo = job_.lo, hi = job_.hi;
        const std::int64_t base = numberSteps(n);

        Group coarse = columnSum(rc, 0, span, 1, 0);
        std::int32_t coarseAt = 0;  // the step the coarse group is current at
        // Per level below 1: the group in use, its prefix and the step it is
        // current at.
        Group held[L];
        std::uint32_t heldPrefix[L];
        std::int32_t heldAt[L];
        for (int l = 0; l < L; ++l) {
            held[l] = Bins::zero();
            heldPrefix[l] = kNone;
            heldAt[l] = -1;
        }
        // The number of pixels counted and the middle rank, also in every lane.
        std::uint32_t total = 0, middle = 0;
        Group rank = Bins::zero();
        // Where the last median was found: the number of pixels below the
        // last level's group in use. While the median stays in that group,
        // the next one is found from it alone: the count below moves by the
        // entering and leaving columns' counts below the group, and the
        // group slides; the levels above are left behind and caught up when
        // the median leaves the group.
        constexpr bool kShortcut = Store::kCountsBelow && !Masked;
        constexpr std::uint32_t kLastPrefix = (1u << (4 * (L - 1))) - 1;
        std::uint32_t below1 = 0;
        bool shortcut = false;
        // Makes `prefix` the group in use at level l + 1, current at step i.
        const auto use = [&](int l, std::uint32_t prefix, std::int32_t i) VK_MEDIAN_GROUP {
            hold(rc, base, l, prefix, i, held[l], heldPrefix[l], heldAt[l]);
        };
        for (std::int32_t i = 0; i < n; ++i) {
            // The columns that enter and leave at this step.
            const Column in = col[i + 2 * rx], gone = col[i > 0 ? i - 1 : 0];
            // Unmasked neighbourhoods that lie inside the window all count
            // as many pixels: the count is read at the first of them and
            // where a neighbourhood reaches beyond an edge.
            const bool inside = !Masked && i > rc.realLo && i + span <= rc.realHi;
            if constexpr (kShortcut) {
                if (shortcut && inside) {
                    std::uint32_t prefix = heldPrefix[L - 1];
                    const Group& g = held[L - 1];
                    held[L - 1] =
                        Bins::slide(g, store_.load(in, L, prefix), store_.load(gone, L, prefix));
                    heldAt[L - 1] = i;
                    below1 += store_.countBelow(in, prefix) - store_.countBelow(gone, prefix);
                    Group running = Bins::add(Bins::prefixSum(g), Bins::splat(below1));
                    // The pixels below the group's end.
                    std::uint32_t upTo = Bins::total(running);
                    // A median just outside the group is in the next group
                    // up or down, counted from this one (with 8-bit values
                    // the descent through two levels is as cheap).
                    if (L > 2 && below1 > middle && prefix > 0) {
                        upTo = below1;
                        use(L - 1, --prefix, i);
                        running = Bins::prefixSum(g);
                        below1 -= Bins::total(running);
                        running = Bins::add(running, Bins::splat(below1));
                    } else if (L > 2 && upTo <= middle && prefix < kLastPrefix) {
                        below1 = upTo;
                        use(L - 1, ++prefix, i);
                        running = Bins::add(Bins::prefixSum(g), Bins::splat(below1));
                        upTo = Bins::total(running);
                    }
                    if (below1 <= middle && upTo > middle) {
                        const auto k = static_cast<std::uint32_t>(Bins::firstAbove(running, rank));
                        out[i] = static_cast<T>(std::min(std::max(prefix * 16 + k, lo), hi));
                        continue;
                    }
                }
            }
            if (coarseAt != i) {
                coarse = catchUp(rc, coarse, coarseAt, i, 1, 0);
                coarseAt = i;
            }
            if (!inside) {
                const std::uint32_t t = Bins::total(coarse);
                if (Masked && t == 0) {
                    out[i] = empty_;
                    shortcut = false;
                    continue;
                }
                if (t != total) {
                    total = t;
                    middle = (t - 1) / 2;
                    rank = Bins::splat(middle);
                }
            }
            int k = Bins::firstAbove(coarse, rank);
            // The count below the group searched next, in every lane.
            Group below = Bins::laneBelow(coarse, k);
            std::uint32_t prefix = static_cast<std::uint32_t>(k);
            for (int l = 1; l < L; ++l) {
                use(l, prefix, i);
                const Group& g = held[l];
                const Group running = Store::kRunningBelowTop ? g : Bins::prefixSum(g);
                if (kShortcut && l + 1 == L) below1 = Bins::total(below);
                k = Bins::firstAbove(Bins::add(running, below), rank);
                if (l + 1 < L) below = Bins::add(below, Bins::laneBelow(running, k));
                prefix = prefix * 16 + static_cast<std::uint32_t>(k);
            }
            shortcut = true;
            out[i] = static_cast<T>(std::min(std::max(prefix, lo), hi));
        }
    }

    struct alignas(32) Slot {
        std::uint16_t v[16];
    };
    // Older than any step: such a group is summed anew.
    static constexpr std::int64_t kStale = std::numeric_limits<std::int64_t>::min() / 2;
    static constexpr std::uint32_t kNone = ~0u;

    const MedianJobOf<T>& job_;
    Store store_;
    std::vector<Column> col_;
    std::vector<Slot> cache_;            // groups below level 1, by level and prefix
    std::vector<std::int64_t> current_;  // the step each was last current at
    std::size_t offset_[L] = {};
    // Split stores: per high byte, the neighbourhood's low-byte counts (a
    // bundle of kBundleGroups groups) and the step they are current at.
    static constexpr std::size_t kBundleGroups = 17;
    std::vector<Slot> bundles_;
    std::vector<std::int64_t> bundleAt_;
    std::int64_t stepBase_ = 0;
    T empty_;
};

template <class Bins, class Store, bool Masked>
VK_MEDIAN_TARGET void runStripes(const MedianJobOf<typename Store::Pel>& job,
                                 std::int32_t stripeWidth) {
    StripeFilter<Bins, Store, Masked> filter(job, stripeWidth);
    const std::int32_t end = job.outX + job.outWidth;
    for (std::int32_t sx0 = job.outX; sx0 < end; sx0 += stripeWidth) {
        filter.run(sx0, std::min(sx0 + stripeWidth, end));
        vkAttention::check();
    }
}

template <class Bins, class Store>
VK_MEDIAN_TARGET void runStripes(const MedianJobOf<typename Store::Pel>& job,
                                 std::int32_t stripeWidth) {
    if (job.mask != nullptr)
        runStripes<Bins, Store, true>(job, stripeWidth);
    else
        runStripes<Bins, Store, false>(job, stripeWidth);
}

// The kernel for one instruction set: dense columns for up to 12 bits,
// columns split by byte above.
template <class Bins, class T, class Count>
VK_MEDIAN_TARGET void filterStripesCounting(const MedianJobOf<T>& job, std::int32_t stripeWidth) {
    if constexpr (sizeof(T) == 1)
        runStripes<Bins, DenseStore<Bins, T, 2, Count>>(job, stripeWidth);
    else if (job.depth <= 12)
        runStripes<Bins, DenseStore<Bins, T, 3, Count>>(job, stripeWidth);
    else
        runStripes<Bins, SplitStore<Bins, Count>>(job, stripeWidth);
}

template <class Bins, class T>
VK_MEDIAN_TARGET void filterStripes(const MedianJobOf<T>& job, std::int32_t stripeWidth) {
    if (job.radiusY > kByteCountRadius)
        filterStripesCounting<Bins, T, std::uint16_t>(job, stripeWidth);
    else
        filterStripesCounting<Bins, T, std::uint8_t>(job, stripeWidth);
}

}  // namespace
}  // namespace vk_detail
