// Training: checks the request, derives the trained data from the reference,
// the mask and the parameters, and records the training diagnostics.
#include <string>

#include "imgnorm/attention.h"
#include "imgnorm/linear_fit.h"
#include "imgnorm/local_model.h"
#include "imgnorm/methods.h"
#include "imgnorm/normalizer.h"
#include "imgnorm/pelfunc.h"
#include "platform/util.h"

using namespace vkImageNormalizerDefs;

namespace {

void computeTrainedData(Method methods, const vkPelBuffer_const<std::uint8_t>& referenceImage,
                        const vkPelBuffer_const<std::uint8_t>& maskImage, const vkPair<std::int32_t>& neighborhood,
                        const vkPair<std::int32_t>& granularity, vkPelBuffer<std::uint8_t>& binaryMask,
                        vkPelBuffer<std::uint8_t>& reducedMask, vkPelBuffer<std::uint16_t>& maskWeights,
                        std::vector<std::uint32_t>& referenceHistogram, vkHistoStats& referenceStats,
                        std::vector<vkDegree>& fitAngles) {
    imgnorm_detail::trainMasks(methods, maskImage, neighborhood, granularity, binaryMask, reducedMask, maskWeights);
    referenceHistogram.clear();
    if (referenceImage.isBound()) vf_MaskedPelHistogram(referenceImage, binaryMask, referenceHistogram);
    referenceStats = vkHistoStats(referenceHistogram);
    vkAttention::check();
    if ((methods & eLinearlyFitGrayValues) != 0) imgnorm_detail::buildFitAngles(fitAngles);
}

// "( x , y )" with the elements formatted as doubles.
std::string pairText(double x, double y) { return imgnorm_detail::pairText(vfStr(x), vfStr(y), true); }
std::string pairText(const vkPair<std::int32_t>& p) {
    return pairText(static_cast<double>(p.x()), static_cast<double>(p.y()));
}

}  // namespace

void vkImageNormalizer::train(Method methods, vkDiagObject* diag, std::uint32_t flags) {
    if ((methods & ~kKnownMethods) != 0) throw CanNotTrain("<methods> contains an unknown normalization method.");
    if (!referenceImage_.isBound() && (methods & kKnownMethods) != 0)
        throw CanNotTrain("referenceImage() must be bound for the specified methods.");

    computeTrainedData(methods, referenceImage_, maskImage_, neighborhoodSize_, granularity_, binaryMask_,
                       reducedMask_, maskWeights_, referenceHistogram_, referenceStats_, fitAngles_);
    trainedMethods_ = methods;
    if (referenceStats_.nSamp() == 0 && (methods & kGlobalMethods) != 0) {
        trainedMethods_ = static_cast<Method>(methods & ~kGlobalMethods);
        throw CanNotTrain("Histogram must be non-empty for the specified methods.");
    }

    if (diag == nullptr || !vkDiagObject::shouldRecord(flags, vkDiagDefs::eInputs)) return;
    vf_AddImage(diag, referenceImage_, "referenceImage", false);
    std::string text("trainedMethods=(");
    for (std::uint32_t bit = 1; bit <= kKnownMethods; bit <<= 1)
        if ((trainedMethods_ & bit) != 0) text.append(vfStr(static_cast<std::int32_t>(bit))).append(" | ");
    text.append(")\n");
    text.append("keepMaskedPixels=").append(vfStr(keepMaskedPixels_)).append("\n");
    text.append("tailFractions=").append(pairText(tailFractions_.x(), tailFractions_.y())).append("\n");
    text.append("neighborhoodSize=").append(pairText(neighborhoodSize_)).append("\n");
    text.append("granularity=").append(pairText(granularity_)).append("\n");
    text.append("intensityRange=").append(pairText(intensityVariationRange_)).append("\n");
    vf_AddText(diag, text, "Parameters");
    if (maskImage_.isBound()) vf_AddImage(diag, maskImage_, "maskImage", false);
}
