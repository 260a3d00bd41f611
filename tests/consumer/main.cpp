// A downstream program built against the installed library: it uses the
// public types and catches an exception thrown inside the shared library.
#include <imgnorm/imgnorm.h>

#include <cstdio>

int main() {
    vkPelBuffer<std::uint8_t> image(16, 8);
    vfPelSet(image, std::uint8_t{7});
    std::vector<std::uint32_t> histogram;
    vfPelHistogram(image, histogram);
    if (histogram[7] != 16 * 8) return 1;

    vkImageNormalizer tool;
    try {
        tool.neighborhoodSize(vkPair<std::int32_t>(0, 5));
        return 2;
    } catch (const vkImageNormalizerDefs::Errors& e) {
        if (e.errorNumber() != 0x10007A01) return 3;
        std::printf("consumer ok: %s\n", e.what());
    }
    return 0;
}
