// Run: checks the request, narrows the run-time image to the window it
// shares with the reference and the mask, dispatches to the method, and
// records the run diagnostics.
#include <string>
#include <vector>

#include "imgnorm/attention.h"
#include "imgnorm/deep_normalizer.h"
#include "imgnorm/global_maps.h"
#include "imgnorm/linear_fit.h"
#include "imgnorm/local_correction.h"
#include "imgnorm/methods.h"
#include "imgnorm/pel_dispatch.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "platform/util.h"

using namespace vkImageNormalizerDefs;

namespace imgnorm_detail {

namespace {

// Puts the recorder's level back on every way out of run.
class DiagLevelGuard {
public:
    explicit DiagLevelGuard(vkDiagObject* diag) : diag_(diag), level_(diag != nullptr ? diag->level() : 0) {}
    ~DiagLevelGuard() {
        if (diag_ != nullptr) diag_->level(level_);
    }
    DiagLevelGuard(const DiagLevelGuard&) = delete;
    DiagLevelGuard& operator=(const DiagLevelGuard&) = delete;
    void deeper() const {
        if (diag_ != nullptr) diag_->level(level_ + 1);
    }

private:
    vkDiagObject* diag_;
    std::int32_t level_;
};

// "(x, y)" with the elements as integers.
std::string intPairText(const vkPair<std::int32_t>& p) {
    return pairText(vfStr(p.x()), vfStr(p.y()), false);
}

std::string runParameterText(vkImageNormalizerDefs::Method method, bool keepMaskedPixels, const vkPair<double>& tails,
                             const vkPair<std::int32_t>& neighborhood, const vkPair<std::int32_t>& granularity,
                             const vkPair<std::int32_t>& range) {
    std::string s("method=");
    s.append(methodName(method)).append("\n");
    s.append("keepMaskedPixels=").append(vfStr(keepMaskedPixels)).append("\n");
    s.append("tailFractions=")
        .append(pairText(vfStr(tails.x()), vfStr(tails.y()), true))
        .append("\n");
    s.append("neighborhoodSize=").append(intPairText(neighborhood)).append("\n");
    s.append("granularity=").append(intPairText(granularity)).append("\n");
    s.append("intensityRange=").append(intPairText(range)).append("\n");
    return s;
}

}  // namespace

}  // namespace imgnorm_detail

template <class Pel>
vkPelBuffer<Pel> vkImageNormalizerBase<Pel>::run(const vkPelBuffer_const<Pel>& image, Method method,
                                                 bool& success, std::string& message,
                                                 vkDiagObject* diag, std::uint32_t flags) const {
    using namespace imgnorm_detail;
    const std::int32_t depth = depth_;
    DiagLevelGuard level(diag);
    if (diag != nullptr && vkDiagObject::shouldRecord(flags, vkDiagDefs::eInputs)) {
        if constexpr (std::is_same_v<Pel, std::uint8_t>)
            vf_AddImage(diag, image, "Image Normalization", image.isBound());
        else
            vf_AddImage(diag, image, depth, "Image Normalization", image.isBound());
        vf_AddText(diag,
                   runParameterText(method, keepMaskedPixels_, tailFractions_, neighborhoodSize_,
                                    granularity_, intensityVariationRange_),
                   "Run-time parameters");
        level.deeper();
        addImage(diag, referenceImage_, depth, "referenceImage");
        vf_AddImage(diag, maskImage_, "maskImage", false);
    }

    success = false;
    message.clear();

    // The identity is a plain copy of the whole image (an unbound image gives
    // an unbound copy); nothing else is checked.
    if (method == eIdentity) {
        success = true;
        return image.isBound() ? vfPelCopy(image) : vkPelBuffer<Pel>();
    }
    if ((method & ~kKnownMethods) != 0) throw BadParams("Cannot specify an unknown normalization method.");
    if (methodCount(method) != 1)
        throw BadParams("Cannot run with more than one normalization method.");
    if (methodCount(trainedMethods_ & method) == 0)
        throw NotTrained("This tool was not trained for the specified  method.");
    if (!image.isBound()) throw BadImage("Image must be bound.");
    if (!referenceImage_.isBound() || maskImage_.isBound() != binaryMask_.isBound())
        vstd_assert_(__LINE__);

    vkPelRect common = referenceImage_.window() & image.window();
    if (maskImage_.isBound()) common &= maskImage_.window();
    if (common.isNull()) {
        success = true;
        return vkPelBuffer<Pel>();
    }
    vkPelBuffer_const<Pel> view(image);
    view.window(common);
    // A value above the depth is refused by the first pass that reads the
    // pixels (the global methods' histogram; the local corrections'
    // difference and the linear fit's pair counting, which also read the
    // reference on the common window), before it can be used. The rest of
    // the reference is checked here (a shared one may have changed since
    // training).
    if ((method & kGlobalMethods) == 0)
        checkDepthOutside(referenceImage_, common, depth, "referenceImage()");
    vkPelBuffer<Pel> result;
    vkDiagObject* details =
        diag != nullptr && vkDiagObject::shouldRecord(flags, vkDiagDefs::eMethodDetails) ? diag
                                                                                         : nullptr;
    if (details != nullptr) level.deeper();
    // success is set only on the way out, so that an exception (a
    // cancellation, say) always leaves it false.
    bool ok = false;

    switch (method) {
        case eLocalCorrection:
        case eLocalCorrectionEnhanced:
            // Training reduces the mask exactly when a step exceeds 1.
            if ((granularity_.x() > 1 || granularity_.y() > 1) &&
                maskImage_.isBound() != reducedMask_.isBound())
                vstd_assert_(__LINE__);
            if (method == eLocalCorrection && maskImage_.isBound() && !maskWeights_.isBound())
                vstd_assert_(__LINE__);
            runLocalCorrection(view, referenceImage_, binaryMask_, reducedMask_, maskWeights_,
                               method, neighborhoodSize_, granularity_, intensityVariationRange_,
                               result, details, depth);
            ok = true;
            break;
        case eMatchHistogram:
        case eMatchMeanAndStddev:
        case eMatchHistogramTails: {
            // A trained global method has a full, non-empty reference histogram.
            if (referenceHistogram_.size() != (std::size_t{1} << depth) ||
                referenceStats_.nSamp() == 0)
                vstd_assert_(__LINE__);
            std::vector<std::uint32_t> histogram;
            try {
                maskedHistogram(view, binaryMask_, depth, histogram);
            } catch (const vkPelFunc::BadParams&) {
                // Only a value above the depth: refused with the tool's message.
                checkDepth(view, depth, "Image");
                throw;
            }
            const vkHistoStats stats(histogram);
            if (stats.nSamp() == 0) {
                message = "Cannot normalize since histogram is empty.";
                return vkPelBuffer<Pel>();
            }
            std::vector<Pel> table;
            if (method == eMatchHistogram)
                matchHistogram(referenceHistogram_, histogram, table, message);
            else if (method == eMatchMeanAndStddev)
                matchMeanAndStddev(referenceStats_, stats, table, message);
            else
                matchHistogramTails(referenceStats_, stats, tailPercents(tailFractions_), table,
                                    message);
            ok = !table.empty();
            vkAttention::check();
            if (ok) result = vfPelMap(view, table);
            break;
        }
        case eLinearlyFitGrayValues:
            if (fitAngles_.size() != 63) vstd_assert_(__LINE__);
            result = linearFit(view, referenceImage_, binaryMask_, fitAngles_, depth, details);
            ok = true;
            break;
        default:
            vstd_assert_(__LINE__);
    }

    vkAttention::check();
    if (keepMaskedPixels_ && binaryMask_.isBound())
        vf_MaskedPelCopy(view, binaryMask_, result, true);
    result.copyXforms(view);
    if (diag != nullptr && vkDiagObject::shouldRecord(flags, vkDiagDefs::eResults)) {
        level.deeper();
        addImage(diag, result, depth, "Image Normalization Result");
    }
    success = ok;
    return result;
}

template vkPelBuffer<std::uint8_t> vkImageNormalizerBase<std::uint8_t>::run(
    const vkPelBuffer_const<std::uint8_t>&, Method, bool&, std::string&, vkDiagObject*,
    std::uint32_t) const;
template vkPelBuffer<std::uint16_t> vkImageNormalizerBase<std::uint16_t>::run(
    const vkPelBuffer_const<std::uint16_t>&, Method, bool&, std::string&, vkDiagObject*,
    std::uint32_t) const;
