// The steps of vkImageNormalizerBase whose calls differ between 8-bit and
// deep images, as overloads by pixel type, so that its members are written
// once for both.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "imgnorm/diag.h"
#include "imgnorm/geometry.h"
#include "imgnorm/pelbuffer.h"

namespace imgnorm_detail {

// Throws BadImage when a bound image holds a value above 2^depth - 1 (never
// for 8-bit images). what names the image in the message.
void checkDepth(const vkPelBuffer_const<std::uint8_t>& image, std::int32_t depth, const char* what);
void checkDepth(const vkPelBuffer_const<std::uint16_t>& image, std::int32_t depth,
                const char* what);

// The bitwise OR of the values a method read from the run-time image and
// from the reference, gathered by the passes that read them (from several
// threads at once): a deep image holds a value above 2^depth - 1 exactly
// when its OR does.
struct SeenValues {
    mutable std::atomic<std::uint32_t> image{0}, reference{0};
    // Adds the ORs of the image's and the reference's values of one piece.
    void add(const std::uint32_t* bits) const {
        image.fetch_or(bits[0], std::memory_order_relaxed);
        reference.fetch_or(bits[1], std::memory_order_relaxed);
    }
};
// Throws BadImage as checkDepth does, for the image ("Image") first, then
// for the reference ("referenceImage()"); never for depth 8.
void refuseAboveDepth(const SeenValues& seen, std::int32_t depth);
// checkDepth on the part of a bound image outside rect.
void checkDepthOutside(const vkPelBuffer_const<std::uint16_t>& image, const vkPelRect& rect,
                       std::int32_t depth, const char* what);
void checkDepthOutside(const vkPelBuffer_const<std::uint8_t>& image, const vkPelRect& rect,
                       std::int32_t depth, const char* what);

// The operations whose call differs between 8-bit and deep images, by pixel
// type, with the depth (ignored on 8-bit images).
void maskedHistogram(const vkPelBuffer_const<std::uint8_t>& image,
                     const vkPelBuffer_const<std::uint8_t>& mask, std::int32_t depth,
                     std::vector<std::uint32_t>& histogram);
void maskedHistogram(const vkPelBuffer_const<std::uint16_t>& image,
                     const vkPelBuffer_const<std::uint8_t>& mask, std::int32_t depth,
                     std::vector<std::uint32_t>& histogram);
// Records the image without copying it.
void addImage(vkDiagObject* diag, const vkPelBuffer_const<std::uint8_t>& image, std::int32_t depth,
              const std::string& name);
void addImage(vkDiagObject* diag, const vkPelBuffer_const<std::uint16_t>& image, std::int32_t depth,
              const std::string& name);
vkPelBuffer<std::uint8_t> linearFit(const vkPelBuffer_const<std::uint8_t>& image,
                                    const vkPelBuffer_const<std::uint8_t>& reference,
                                    const vkPelBuffer_const<std::uint8_t>& weights,
                                    const std::vector<vkDegree>& angles, std::int32_t depth,
                                    vkDiagObject* details);
vkPelBuffer<std::uint16_t> linearFit(const vkPelBuffer_const<std::uint16_t>& image,
                                     const vkPelBuffer_const<std::uint16_t>& reference,
                                     const vkPelBuffer_const<std::uint8_t>& weights,
                                     const std::vector<vkDegree>& angles, std::int32_t depth,
                                     vkDiagObject* details);

}  // namespace imgnorm_detail
