// vkFlatField: averaging the dark and flat frames, and the calibration of a
// raw image.
#include "imgnorm/flat_field.h"

#include <algorithm>
#include <string>

#include "imgnorm/attention.h"
#include "imgnorm/errors.h"
#include "imgnorm/pel_dispatch.h"
#include "platform/rows.h"

using vkImageNormalizerDefs::BadImage;

struct vkFlatField::Data {
    std::int32_t width = 0, height = 0;
    std::int32_t depth = 8;
    std::vector<float> dark, gain;  // row by row, width x height
    double meanSignal = 0.0;
    std::int64_t unmeasured = 0;
};

namespace {

std::string sizeText(std::int32_t w, std::int32_t h) {
    return std::to_string(w) + " x " + std::to_string(h);
}

// The pixel-wise sum of the frames, row by row (in 64 bits: 16-bit frames
// may be many); each must be bound, of the given size and within depth bits.
template <class Pel>
std::vector<std::uint64_t> frameSum(const std::vector<vkPelBuffer_const<Pel>>& frames,
                                    const char* kind, std::int32_t w, std::int32_t h,
                                    std::int32_t depth) {
    std::vector<std::uint64_t> sum(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const vkPelBuffer_const<Pel>& f = frames[i];
        const std::string name = std::string(kind) + " frame " + std::to_string(i + 1);
        if (!f.isBound()) throw BadImage(name + " is not bound.");
        if (f.width() != w || f.height() != h)
            throw BadImage(name + " is " + sizeText(f.width(), f.height()) +
                           ", the first flat frame " + sizeText(w, h) + ".");
        imgnorm_detail::checkDepth(f, depth, name.c_str());
        const Pel* row = f.pointToOffset();
        std::uint64_t* s = sum.data();
        for (std::int32_t y = 0; y < h; ++y, row += f.rowUpdate(), s += w)
            for (std::int32_t x = 0; x < w; ++x)
                s[x] += row[x];
        vkAttention::check();
    }
    return sum;
}

// out = (raw - dark) * gain, rounded half up and clamped to 0..255, or to
// 0..top on 16-bit images.
VK_ROW_KERNEL void calibrateRow(const std::uint8_t* __restrict raw, const float* __restrict dark,
                                const float* __restrict gain, std::uint8_t* __restrict out,
                                std::int32_t n, std::int32_t) {
    for (std::int32_t x = 0; x < n; ++x)
        out[x] = vk_detail::roundToPel((static_cast<float>(raw[x]) - dark[x]) * gain[x]);
}
VK_ROW_KERNEL void calibrateRow(const std::uint16_t* __restrict raw, const float* __restrict dark,
                                const float* __restrict gain, std::uint16_t* __restrict out,
                                std::int32_t n, std::int32_t top) {
    for (std::int32_t x = 0; x < n; ++x)
        out[x] = static_cast<std::uint16_t>(std::clamp(
            static_cast<std::int32_t>((static_cast<float>(raw[x]) - dark[x]) * gain[x] + 0.5f), 0,
            top));
}

}  // namespace

vkFlatField::vkFlatField() = default;
vkFlatField::vkFlatField(const vkFlatField& other) = default;
vkFlatField& vkFlatField::operator=(const vkFlatField& other) = default;
vkFlatField::~vkFlatField() = default;

vkFlatField::vkFlatField(const Frames& darkFrames, const Frames& flatFrames) {
    calibrate(darkFrames, flatFrames, 8);
}

vkFlatField::vkFlatField(const DeepFrames& darkFrames, const DeepFrames& flatFrames,
                         std::int32_t depth) {
    if (depth < 9 || depth > 16)
        throw vkImageNormalizerDefs::BadParams("The depth of deep frames must be 9..16 bits.");
    calibrate(darkFrames, flatFrames, depth);
}

template <class Pel>
void vkFlatField::calibrate(const std::vector<vkPelBuffer_const<Pel>>& darkFrames,
                            const std::vector<vkPelBuffer_const<Pel>>& flatFrames,
                            std::int32_t depth) {
    if (flatFrames.empty())
        throw vkImageNormalizerDefs::BadParams("At least one flat frame is needed.");
    if (!flatFrames[0].isBound()) throw BadImage("flat frame 1 is not bound.");
    auto d = std::make_shared<Data>();
    d->width = flatFrames[0].width();
    d->height = flatFrames[0].height();
    d->depth = depth;
    const std::vector<std::uint64_t> flatSum =
        frameSum(flatFrames, "flat", d->width, d->height, depth);
    const std::vector<std::uint64_t> darkSum =
        frameSum(darkFrames, "dark", d->width, d->height, depth);
    const auto n = flatSum.size();
    d->dark.resize(n);
    d->gain.resize(n);
    const double flats = static_cast<double>(flatFrames.size());
    const double darks = static_cast<double>(std::max<std::size_t>(darkFrames.size(), 1));
    double signal = 0.0;
    std::int64_t measured = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dark = static_cast<double>(darkSum[i]) / darks,
                     s = static_cast<double>(flatSum[i]) / flats - dark;
        d->dark[i] = static_cast<float>(dark);
        d->gain[i] = static_cast<float>(s);  // the signal for now
        if (s > 0.0) {
            signal += s;
            ++measured;
        }
    }
    if (measured == 0)
        throw vkImageNormalizerDefs::CanNotTrain(
            "The flat frames are nowhere brighter than the dark frames.");
    d->meanSignal = signal / static_cast<double>(measured);
    d->unmeasured = static_cast<std::int64_t>(n) - measured;
    for (float& g : d->gain)
        g = g > 0.0f ? static_cast<float>(d->meanSignal / g) : 1.0f;
    data_ = std::move(d);
}

std::int32_t vkFlatField::depth() const {
    return data_ ? data_->depth : 0;
}
std::int32_t vkFlatField::width() const {
    return data_ ? data_->width : 0;
}
std::int32_t vkFlatField::height() const {
    return data_ ? data_->height : 0;
}
double vkFlatField::meanSignal() const {
    return data_ ? data_->meanSignal : 0.0;
}
std::int64_t vkFlatField::unmeasuredPixels() const {
    return data_ ? data_->unmeasured : 0;
}

vkPelBuffer<std::uint8_t> vkFlatField::apply(const vkPelBuffer_const<std::uint8_t>& raw) const {
    return correct(raw);
}
vkPelBuffer<std::uint16_t> vkFlatField::apply(const vkPelBuffer_const<std::uint16_t>& raw) const {
    return correct(raw);
}

template <class Pel>
vkPelBuffer<Pel> vkFlatField::correct(const vkPelBuffer_const<Pel>& raw) const {
    if (!data_) throw vkImageNormalizerDefs::NotTrained("The flat field is not calibrated.");
    if (!raw.isBound()) throw BadImage("Image must be bound.");
    const Data& d = *data_;
    if ((sizeof(Pel) == 1) != (d.depth == 8))
        throw BadImage(std::string("The image has ") + (sizeof(Pel) == 1 ? "8" : "16") +
                       "-bit pixels, the calibration frames " + (d.depth == 8 ? "8" : "16") +
                       "-bit ones.");
    if (raw.width() != d.width || raw.height() != d.height)
        throw BadImage("The image is " + sizeText(raw.width(), raw.height()) +
                       ", the calibration frames " + sizeText(d.width, d.height) + ".");
    imgnorm_detail::checkDepth(raw, d.depth, "The image");
    vkPelBuffer<Pel> out(raw.window());
    const Pel* in = raw.pointToOffset();
    Pel* o = out.pointToOffset();
    const auto w = static_cast<std::size_t>(d.width);
    const std::int32_t top = (std::int32_t{1} << d.depth) - 1;
    for (std::int32_t y = 0; y < d.height; ++y, in += raw.rowUpdate(), o += out.rowUpdate())
        calibrateRow(in, d.dark.data() + static_cast<std::size_t>(y) * w,
                     d.gain.data() + static_cast<std::size_t>(y) * w, o, d.width, top);
    out.copyXforms(raw);
    return out;
}
