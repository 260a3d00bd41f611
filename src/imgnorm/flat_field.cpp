// vkFlatField: averaging the dark and flat frames, and the calibration of a
// raw image.
#include "imgnorm/flat_field.h"

#include <string>

#include "imgnorm/attention.h"
#include "imgnorm/errors.h"
#include "platform/rows.h"

using vkImageNormalizerDefs::BadImage;

struct vkFlatField::Data {
    std::int32_t width = 0, height = 0;
    std::vector<float> dark, gain;  // row by row, width x height
    double meanSignal = 0.0;
    std::int64_t unmeasured = 0;
};

namespace {

std::string sizeText(std::int32_t w, std::int32_t h) {
    return std::to_string(w) + " x " + std::to_string(h);
}

// The pixel-wise sum of the frames, row by row; each must be bound and of
// the given size.
std::vector<std::uint32_t> frameSum(const vkFlatField::Frames& frames, const char* kind,
                                    std::int32_t w, std::int32_t h) {
    std::vector<std::uint32_t> sum(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const vkPelBuffer_const<std::uint8_t>& f = frames[i];
        const std::string name = std::string(kind) + " frame " + std::to_string(i + 1);
        if (!f.isBound()) throw BadImage(name + " is not bound.");
        if (f.width() != w || f.height() != h)
            throw BadImage(name + " is " + sizeText(f.width(), f.height()) +
                           ", the first flat frame " + sizeText(w, h) + ".");
        const std::uint8_t* row = f.pointToOffset();
        std::uint32_t* s = sum.data();
        for (std::int32_t y = 0; y < h; ++y, row += f.rowUpdate(), s += w)
            for (std::int32_t x = 0; x < w; ++x)
                s[x] += row[x];
        vkAttention::check();
    }
    return sum;
}

// out = (raw - dark) * gain, rounded half up and clamped to 0..255.
VK_ROW_KERNEL void calibrateRow(const std::uint8_t* __restrict raw, const float* __restrict dark,
                                const float* __restrict gain, std::uint8_t* __restrict out,
                                std::int32_t n) {
    for (std::int32_t x = 0; x < n; ++x)
        out[x] = vk_detail::roundToPel((static_cast<float>(raw[x]) - dark[x]) * gain[x]);
}

}  // namespace

vkFlatField::vkFlatField() = default;
vkFlatField::vkFlatField(const vkFlatField& other) = default;
vkFlatField& vkFlatField::operator=(const vkFlatField& other) = default;
vkFlatField::~vkFlatField() = default;

vkFlatField::vkFlatField(const Frames& darkFrames, const Frames& flatFrames) {
    if (flatFrames.empty())
        throw vkImageNormalizerDefs::BadParams("At least one flat frame is needed.");
    if (!flatFrames[0].isBound()) throw BadImage("flat frame 1 is not bound.");
    auto d = std::make_shared<Data>();
    d->width = flatFrames[0].width();
    d->height = flatFrames[0].height();
    const std::vector<std::uint32_t> flatSum = frameSum(flatFrames, "flat", d->width, d->height);
    const std::vector<std::uint32_t> darkSum = frameSum(darkFrames, "dark", d->width, d->height);
    const auto n = flatSum.size();
    d->dark.resize(n);
    d->gain.resize(n);
    const double flats = static_cast<double>(flatFrames.size());
    const double darks = static_cast<double>(std::max<std::size_t>(darkFrames.size(), 1));
    double signal = 0.0;
    std::int64_t measured = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dark = darkSum[i] / darks, s = flatSum[i] / flats - dark;
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
    if (!data_) throw vkImageNormalizerDefs::NotTrained("The flat field is not calibrated.");
    if (!raw.isBound()) throw BadImage("Image must be bound.");
    const Data& d = *data_;
    if (raw.width() != d.width || raw.height() != d.height)
        throw BadImage("The image is " + sizeText(raw.width(), raw.height()) +
                       ", the calibration frames " + sizeText(d.width, d.height) + ".");
    vkPelBuffer<std::uint8_t> out(raw.window());
    const std::uint8_t* in = raw.pointToOffset();
    std::uint8_t* o = out.pointToOffset();
    const auto w = static_cast<std::size_t>(d.width);
    for (std::int32_t y = 0; y < d.height; ++y, in += raw.rowUpdate(), o += out.rowUpdate())
        calibrateRow(in, d.dark.data() + static_cast<std::size_t>(y) * w,
                     d.gain.data() + static_cast<std::size_t>(y) * w, o, d.width);
    out.copyXforms(raw);
    return out;
}
