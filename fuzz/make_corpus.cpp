// Writes the seed corpora of load_tool_fuzz (into DIRECTORY/load_tool):
// stored tools (untrained, each method set, with and without a mask, odd
// parameters), some truncated ones, deep tools of 12 and 16 bits, and one
// stored exception; and of pelbuffer_archive_fuzz (into
// DIRECTORY/pelbuffer_archive): stored buffers of each pixel type, unbound,
// empty, with a transform, and truncated.
// Usage: make_corpus DIRECTORY
#include <imgnorm/imgnorm.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/pelarchive.h"

namespace {

using namespace vkImageNormalizerDefs;

vkPelBuffer<std::uint8_t> pattern(std::int32_t w, std::int32_t h, int seed) {
    vkPelBuffer<std::uint8_t> b(w, h);
    for (std::int32_t y = 0; y < h; ++y)
        for (std::int32_t x = 0; x < w; ++x)
            b.pointToOffset()[y * b.rowUpdate() + x] =
                static_cast<std::uint8_t>(40 + (x * 13 + y * 7 + seed * 31) % 170);
    return b;
}

vkImageNormalizer tool(bool withMask) {
    vkImageNormalizer t;
    vkPelBuffer<std::uint8_t> ref = pattern(16, 12, 1);
    ref.offset(3, -2);
    t.referenceImage(ref, false);
    if (withMask) {
        vkPelBuffer<std::uint8_t> mask = pattern(14, 10, 2);
        mask.pointToOffset()[2 * mask.rowUpdate() + 3] = 0;
        mask.pointToOffset()[5 * mask.rowUpdate() + 9] = 0;
        mask.offset(4, -1);
        mask.clientFromImageXform(vkXform<2>(2, 0, 0, 2, 1.5, -3));
        t.maskImage(mask, false);
    }
    t.neighborhoodSize(vkPair<std::int32_t>(7, 5));
    t.granularity(vkPair<std::int32_t>(2, 1));
    t.set(vkPair<double>(0.05, 0.95), vkPair<std::int32_t>(-60, 60), withMask);
    return t;
}

// The stored bytes of an 8-bit or a deep tool.
template <class Tool>
std::vector<std::uint8_t> bytesOf(Tool t) {
    vkArchive out;
    out || t;
    return out.bytes();
}

void write(const std::string& dir, const std::string& name,
           const std::vector<std::uint8_t>& bytes) {
    const std::string path = dir + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fclose(f);
}

// A stored buffer, after the byte that tells the target its pixel type.
template <class T>
std::vector<std::uint8_t> storedBuffer(std::uint8_t type, vkPelBuffer<T> b) {
    vkArchive out;
    out || b;
    std::vector<std::uint8_t> bytes{type};
    bytes.insert(bytes.end(), out.bytes().begin(), out.bytes().end());
    return bytes;
}

void writeBufferSeeds(const std::string& dir) {
    std::filesystem::create_directories(dir);
    vkPelBuffer<std::uint8_t> moved = pattern(9, 4, 3);
    moved.offset(-5, 7);
    moved.clientFromImageXform(vkXform<2>(0.5, 0.25, 0, 2, -1, 3));
    vkPelBuffer<std::uint16_t> deep(5, 3);
    vkPelBuffer<std::uint32_t> wide(3, 2);
    for (std::int32_t i = 0; i < 3; ++i) {
        deep.pointToOffset()[i] = static_cast<std::uint16_t>(4095 * i);
        wide.pointToOffset()[i] = 0x89ABCDEFu >> i;
    }
    const std::vector<std::uint8_t> full = storedBuffer(0, moved);
    write(dir, "unbound_8", storedBuffer(0, vkPelBuffer<std::uint8_t>()));
    write(dir, "empty_8", storedBuffer(3, vkPelBuffer<std::uint8_t>(0, 7)));
    write(dir, "moved_8", full);
    write(dir, "deep_16", storedBuffer(1, deep));
    write(dir, "wide_32", storedBuffer(5, wide));
    write(dir, "truncated_8", std::vector<std::uint8_t>(full.begin(), full.end() - 5));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = std::string(argv[1]) + "/load_tool";
    std::filesystem::create_directories(dir);
    writeBufferSeeds(std::string(argv[1]) + "/pelbuffer_archive");
    write(dir, "default.tool", bytesOf(vkImageNormalizer()));
    write(dir, "untrained_bound.tool", bytesOf(tool(true)));
    for (bool withMask : {false, true})
        for (std::uint32_t set : {1u, 2u, 4u, 8u, 16u, 32u, 7u, 49u, 63u}) {
            vkImageNormalizer t = tool(withMask);
            t.train(static_cast<Method>(set), nullptr, 0);
            write(dir, std::string(withMask ? "mask_" : "nomask_") + std::to_string(set) + ".tool",
                  bytesOf(t));
        }
    {
        // Parameters no setter accepts, written over a stored tool's bytes.
        std::vector<std::uint8_t> b = bytesOf(tool(true));
        b[1] = 63;  // methods
        for (std::size_t k = 0; k < 8; ++k)
            b[23 + k] = 0;  // neighbourhood (0, 0)
        write(dir, "zero_neighborhood.tool", b);
    }
    const std::vector<std::uint8_t> full = [] {
        vkImageNormalizer t = tool(true);
        t.train(static_cast<Method>(63), nullptr, 0);
        return bytesOf(t);
    }();
    for (std::size_t cut :
         {std::size_t{3}, std::size_t{30}, std::size_t{51}, std::size_t{130}, full.size() - 1})
        write(dir, "truncated_" + std::to_string(cut) + ".tool",
              std::vector<std::uint8_t>(full.begin(),
                                        full.begin() + static_cast<std::ptrdiff_t>(cut)));
    for (std::int32_t depth : {12, 16}) {
        // The 8-bit tool's items with a reference spread over the depth.
        const vkImageNormalizer t = tool(true);
        vkDeepImageNormalizer d(depth);
        const vkPelBuffer_const<std::uint8_t>& ref8 = t.referenceImage();
        vkPelBuffer<std::uint16_t> ref(ref8.width(), ref8.height());
        ref.offset(ref8.offset());
        for (std::int32_t y = 0; y < ref.height(); ++y)
            for (std::int32_t x = 0; x < ref.width(); ++x)
                ref.pointToOffset()[y * ref.rowUpdate() + x] = static_cast<std::uint16_t>(
                    ref8.pointToOffset()[y * ref8.rowUpdate() + x] << (depth - 8));
        d.referenceImage(ref, false);
        d.maskImage(t.maskImage(), false);
        d.neighborhoodSize(t.neighborhoodSize());
        d.granularity(t.granularity());
        d.set(t.tailFractions(), vkPair<std::int32_t>(-900, 900), true);
        d.train(static_cast<Method>(63), nullptr, 0);
        write(dir, "deep" + std::to_string(depth) + "_63.tool", bytesOf(d));
    }
    {
        vkArchive out;
        vkPersistent* e = new CanNotTrain("Histogram must be non-empty for the specified methods.");
        out || e;
        delete e;
        write(dir, "exception.rec", out.bytes());
    }
    return 0;
}
