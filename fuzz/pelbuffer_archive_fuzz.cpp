// libFuzzer target: loads arbitrary bytes as a stored image buffer of 8-,
// 16- or 32-bit pixels (the first byte chooses), writable or read-only.
// Every failure must be one of the library's exceptions and must leave the
// buffer as it was; a buffer that loads must store again to exactly the
// bytes it was read from, and load back equal.
#include <imgnorm/imgnorm.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/pelarchive.h"
#include "same_pixels.h"

namespace {

template <class B>
bool sameBuffer(const B& a, const B& b) {
    return samePixels<typename B::value_type>(a, b) &&
           (!a.isBound() || a.clientFromImageXform() == b.clientFromImageXform());
}

template <class B>
void fuzzBuffer(const std::uint8_t* data, std::size_t size) {
    // A failed load must leave a bound buffer as it was.
    B buffer = vkPelBuffer<typename B::value_type>(3, 2);
    const void* const root = buffer.root();
    const vkPelRect window = buffer.window();
    vkArchive in(data, size);
    try {
        in || buffer;
    } catch (const vkException&) {
        if (buffer.root() != root || buffer.window() != window) std::abort();
        return;
    }
    // Storing the loaded buffer and loading that gives the same buffer, and
    // storing it again the same bytes. (The bytes read need not be those
    // bytes: a transform of -0.0 and 1.0 loads as the identity.)
    vkArchive out;
    out || buffer;
    vkArchive again(out.bytes());
    B back;
    again || back;
    vkArchive out2;
    out2 || back;
    if (again.remaining() != 0 || !sameBuffer(buffer, back) || out2.bytes() != out.bytes()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 6) {
        case 0: fuzzBuffer<vkPelBuffer<std::uint8_t>>(data + 1, size - 1); break;
        case 1: fuzzBuffer<vkPelBuffer<std::uint16_t>>(data + 1, size - 1); break;
        case 2: fuzzBuffer<vkPelBuffer<std::uint32_t>>(data + 1, size - 1); break;
        case 3: fuzzBuffer<vkPelBuffer_const<std::uint8_t>>(data + 1, size - 1); break;
        case 4: fuzzBuffer<vkPelBuffer_const<std::uint16_t>>(data + 1, size - 1); break;
        default: fuzzBuffer<vkPelBuffer_const<std::uint32_t>>(data + 1, size - 1); break;
    }
    return 0;
}
