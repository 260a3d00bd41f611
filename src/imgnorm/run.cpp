// Run: checks the request, narrows the run-time image to the window it
// shares with the reference and the mask, dispatches to the method, and
// records the run diagnostics.
#include <string>
#include <vector>

#include "imgnorm/attention.h"
#include "imgnorm/global_maps.h"
#include "imgnorm/linear_fit.h"
#include "imgnorm/local_correction.h"
#include "imgnorm/methods.h"
#include "imgnorm/normalizer.h"
#include "imgnorm/pelfunc.h"
#include "imgnorm/pelops.h"
#include "platform/util.h"

using namespace vkImageNormalizerDefs;

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
    return imgnorm_detail::pairText(vfStr(p.x()), vfStr(p.y()), false);
}

std::string runParameterText(vkImageNormalizerDefs::Method method, bool keepMaskedPixels, const vkPair<double>& tails,
                             const vkPair<std::int32_t>& neighborhood, const vkPair<std::int32_t>& granularity,
                             const vkPair<std::int32_t>& range) {
    std::string s("method=");
    s.append(imgnorm_detail::methodName(method)).append("\n");
    s.append("keepMaskedPixels=").append(vfStr(keepMaskedPixels)).append("\n");
    s.append("tailFractions=")
        .append(imgnorm_detail::pairText(vfStr(tails.x()), vfStr(tails.y()), true))
        .append("\n");
    s.append("neighborhoodSize=").append(intPairText(neighborhood)).append("\n");
    s.append("granularity=").append(intPairText(granularity)).append("\n");
    s.append("intensityRange=").append(intPairText(range)).append("\n");
    return s;
}

}  // namespace

vkPelBuffer<std::uint8_t> vkImageNormalizer::run(const vkPelBuffer_const<std::uint8_t>& image, Method method,
                                                 bool& success, std::string& message, vkDiagObject* diag,
                                                 std::uint32_t flags) const {
    DiagLevelGuard level(diag);
    if (diag != nullptr && vkDiagObject::shouldRecord(flags, vkDiagDefs::eInputs)) {
        vf_AddImage(diag, image, "Image Normalization", image.isBound());
        vf_AddText(diag,
                   runParameterText(method, keepMaskedPixels_, tailFractions_, neighborhoodSize_, granularity_,
                                    intensityVariationRange_),
                   "Run-time parameters");
        level.deeper();
        vf_AddImage(diag, referenceImage_, "referenceImage", false);
        vf_AddImage(diag, maskImage_, "maskImage", false);
    }

    success = false;
    message.clear();

    // The identity is a plain copy of the whole image (an unbound image gives
    // an unbound copy); nothing else is checked.
    if (method == eIdentity) {
        success = true;
        return image.isBound() ? vfPelCopy(image) : vkPelBuffer<std::uint8_t>();
    }
    if ((method & ~kKnownMethods) != 0) throw BadParams("Cannot specify an unknown normalization method.");
    if (imgnorm_detail::methodCount(method) != 1) throw BadParams("Cannot run with more than one normalization method.");
    if (imgnorm_detail::methodCount(trainedMethods_ & method) == 0)
        throw NotTrained("This tool was not trained for the specified  method.");
    if (!image.isBound()) throw BadImage("Image must be bound.");
    if (!referenceImage_.isBound() || maskImage_.isBound() != binaryMask_.isBound()) vstd_assert_(__LINE__);

    vkPelRect common = referenceImage_.window() & image.window();
    if (maskImage_.isBound()) common &= maskImage_.window();
    if (common.isNull()) {
        success = true;
        return vkPelBuffer<std::uint8_t>();
    }
    vkPelBuffer_const<std::uint8_t> view(image);
    view.window(common);
    vkPelBuffer<std::uint8_t> result;
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
            if ((granularity_.x() > 1 || granularity_.y() > 1) && maskImage_.isBound() != reducedMask_.isBound())
                vstd_assert_(__LINE__);
            if (method == eLocalCorrection && maskImage_.isBound() && !maskWeights_.isBound()) vstd_assert_(__LINE__);
            imgnorm_detail::runLocalCorrection(
                view, referenceImage_, binaryMask_, reducedMask_, maskWeights_, method,
                neighborhoodSize_, granularity_, intensityVariationRange_, result, details);
            ok = true;
            break;
        case eMatchHistogram:
        case eMatchMeanAndStddev:
        case eMatchHistogramTails: {
            // A trained global method has a full, non-empty reference histogram.
            if (referenceHistogram_.size() != 256 || referenceStats_.nSamp() == 0) vstd_assert_(__LINE__);
            std::vector<std::uint32_t> histogram;
            vf_MaskedPelHistogram(view, binaryMask_, histogram);
            const vkHistoStats stats(histogram);
            if (stats.nSamp() == 0) {
                message = "Cannot normalize since histogram is empty.";
                return vkPelBuffer<std::uint8_t>();
            }
            std::vector<std::uint8_t> table;
            if (method == eMatchHistogram)
                imgnorm_detail::matchHistogram(referenceHistogram_, histogram, table, message);
            else if (method == eMatchMeanAndStddev)
                imgnorm_detail::matchMeanAndStddev(referenceStats_, stats, table, message);
            else
                imgnorm_detail::matchHistogramTails(referenceStats_, stats, imgnorm_detail::tailPercents(tailFractions_),
                                                    table, message);
            ok = !table.empty();
            vkAttention::check();
            if (ok) result = vfPelMap(view, table);
            break;
        }
        case eLinearlyFitGrayValues:
            if (fitAngles_.size() != 63) vstd_assert_(__LINE__);
            result = imgnorm_detail::runLinearFit(view, referenceImage_, binaryMask_, fitAngles_,
                                                  details);
            ok = true;
            break;
        default:
            vstd_assert_(__LINE__);
    }

    vkAttention::check();
    if (keepMaskedPixels_ && binaryMask_.isBound()) vf_MaskedPelCopy(view, binaryMask_, result, true);
    result.copyXforms(view);
    if (diag != nullptr && vkDiagObject::shouldRecord(flags, vkDiagDefs::eResults)) {
        level.deeper();
        vf_AddImage(diag, result, "Image Normalization Result", false);
    }
    success = ok;
    return result;
}
