// libFuzzer target: loads arbitrary bytes as a tool (8-bit, and deep), then
// runs every method on a small image, whether or not the load succeeded. Any failure must be
// one of the library's exceptions; anything else (a crash, a sanitizer
// report, std::bad_alloc, a hang) is a finding. The same bytes are also read
// as a stored persistent object (the exception record).
#include <imgnorm/imgnorm.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace {

using namespace vkImageNormalizerDefs;

const Method kMethods[] = {eIdentity,
                           eMatchHistogram,
                           eMatchMeanAndStddev,
                           eMatchHistogramTails,
                           eLinearlyFitGrayValues,
                           eLocalCorrection,
                           eLocalCorrectionEnhanced};

// A fixed 24 x 16 gradient with some texture (9-bit values on 16-bit
// pixels, which every deep tool accepts).
template <class T>
vkPelBuffer<T> makeImage() {
    vkPelBuffer<T> image(24, 16);
    for (std::int32_t y = 0; y < image.height(); ++y)
        for (std::int32_t x = 0; x < image.width(); ++x)
            image.pointToOffset()[y * image.rowUpdate() + x] =
                static_cast<T>(((x * 37 + y * 11) ^ (x * y)) & (sizeof(T) == 1 ? 255 : 511));
    return image;
}

template <class Tool, class T>
void runEveryMethod(const Tool& tool) {
    static const vkPelBuffer<T> base = makeImage<T>();
    // Place the run-time image where the loaded reference lies, so that the
    // windows overlap and the methods get past their early exits.
    vkPelBuffer_const<T> image = base;
    if (tool.referenceImage().isBound()) image.offset(tool.referenceImage().offset());
    vkDiagObject diag;
    for (Method m : kMethods) {
        bool success = false;
        std::string message;
        try {
            // One run records its diagnostics, which format the parameters.
            tool.run(image, m, success, message, m == eLocalCorrection ? &diag : nullptr,
                     vkDiagDefs::eInputs | vkDiagDefs::eResults);
        } catch (const vkException&) {
        }
    }
}

template <class Tool, class T>
void loadAndRun(const std::uint8_t* data, std::size_t size) {
    Tool tool;
    try {
        vkArchive in(data, size);
        in || tool;
    } catch (const vkException&) {
        // A failed load must leave a tool that runs only what it has data for.
    }
    runEveryMethod<Tool, T>(tool);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    loadAndRun<vkImageNormalizer, std::uint8_t>(data, size);
    loadAndRun<vkDeepImageNormalizer, std::uint16_t>(data, size);

    try {
        vkArchive in(data, size);
        vkPersistent* object = nullptr;
        in || object;
        std::unique_ptr<vkPersistent> owned(object);
        if (auto* e = dynamic_cast<vkException*>(object)) {
            owned.release();
            try {
                e->suicideAndRethrow();
            } catch (const vkException&) {
            }
        }
    } catch (const vkException&) {
    }
    return 0;
}
