// A small generated set of sample images: a textured golden image with a
// mask, and run-time images of the same scene under typical changes of light
// and with a defect.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <imgnorm/pelbuffer.h>

namespace imgnorm_cli {

struct SampleImage {
    std::string name;         // file name without extension: "golden", "drift", ...
    std::string description;  // one line for the listing
    vkPelBuffer<std::uint8_t> image;
};

// golden, mask, then the run-time images drift, contrast, ramp, vignette,
// shading (vignette and contrast together) and defect, all width x height
// (each at least 16). The same arguments give the
// same pixels on every machine.
std::vector<SampleImage> makeSamples(std::int32_t width, std::int32_t height);

}  // namespace imgnorm_cli
