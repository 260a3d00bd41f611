// Training: checks the request, derives the trained data from the reference,
// the mask and the parameters, and records the training diagnostics.
#include <string>
#include <type_traits>
#include <utility>

#include "imgnorm/attention.h"
#include "imgnorm/deep_normalizer.h"
#include "imgnorm/linear_fit.h"
#include "imgnorm/local_model.h"
#include "imgnorm/methods.h"
#include "imgnorm/pel_dispatch.h"
#include "imgnorm/pelfunc.h"
#include "platform/rows.h"
#include "platform/util.h"

using namespace vkImageNormalizerDefs;

namespace imgnorm_detail {

namespace {

// The trained members of one training, built apart from the tool's.
struct TrainedData {
    vkPelBuffer<std::uint8_t> binaryMask;
    vkPelBuffer<std::uint8_t> reducedMask;
    vkPelBuffer<std::uint16_t> maskWeights;
    std::vector<std::uint32_t> referenceHistogram;
    vkHistoStats referenceStats;
    std::vector<vkDegree> fitAngles;  // built only for the linear fit
};
// Publishing a training moves these members into the tool, which must not
// fail half-way.
static_assert(std::is_nothrow_move_assignable_v<TrainedData>);

template <class Pel>
void computeTrainedData(Method methods, const vkPelBuffer_const<Pel>& referenceImage,
                        const vkPelBuffer_const<std::uint8_t>& maskImage,
                        const vkPair<std::int32_t>& neighborhood,
                        const vkPair<std::int32_t>& granularity, std::int32_t depth,
                        TrainedData& data) {
    trainMasks(methods, maskImage, neighborhood, granularity, data.binaryMask, data.reducedMask,
               data.maskWeights);
    if (referenceImage.isBound())
        maskedHistogram(referenceImage, data.binaryMask, depth, data.referenceHistogram);
    data.referenceStats = vkHistoStats(data.referenceHistogram);
    vkAttention::check();
    if ((methods & eLinearlyFitGrayValues) != 0) buildFitAngles(data.fitAngles);
}

// "( x , y )" with the elements formatted as doubles.
std::string pairText(double x, double y) {
    return imgnorm_detail::pairText(vfStr(x), vfStr(y), true);
}
std::string pairText(const vkPair<std::int32_t>& p) {
    return pairText(static_cast<double>(p.x()), static_cast<double>(p.y()));
}

}  // namespace

}  // namespace imgnorm_detail

template <class Pel>
void vkImageNormalizerBase<Pel>::train(Method methods, vkDiagObject* diag, std::uint32_t flags) {
    using namespace imgnorm_detail;
    if ((methods & ~kKnownMethods) != 0)
        throw CanNotTrain("<methods> contains an unknown normalization method.");
    if (!referenceImage_.isBound() && (methods & kKnownMethods) != 0)
        throw CanNotTrain("referenceImage() must be bound for the specified methods.");
    // The reference histogram's counts are 32-bit.
    if (referenceImage_.isBound()) {
        vkPelRect counted = referenceImage_.window();
        if (maskImage_.isBound()) counted &= maskImage_.window();
        if (counted.area() > vk_detail::kMaxCountedPels)
            throw CanNotTrain("referenceImage() holds 2^32 or more pixels where the mask allows, more than the "
                              "histogram can count.");
    }
    checkDepth(referenceImage_, depth_, "referenceImage()");

    // Everything is derived apart from the tool and published at the end, so
    // that a training that stops part-way (a cancellation, an allocation
    // failure) leaves the previous training as it was.
    TrainedData data;
    computeTrainedData(methods, referenceImage_, maskImage_, neighborhoodSize_, granularity_,
                       depth_, data);
    const bool emptyHistogram = data.referenceStats.nSamp() == 0 && (methods & kGlobalMethods) != 0;
    const Method trained =
        emptyHistogram ? static_cast<Method>(methods & ~kGlobalMethods) : methods;

    // The records go to the caller's recorder before the training is
    // published; a failure while recording leaves the tool as it was.
    if (!emptyHistogram && diag != nullptr &&
        vkDiagObject::shouldRecord(flags, vkDiagDefs::eInputs)) {
        std::string text("trainedMethods=(");
        for (std::uint32_t bit = 1; bit <= kKnownMethods; bit <<= 1)
            if ((trained & bit) != 0)
                text.append(vfStr(static_cast<std::int32_t>(bit))).append(" | ");
        text.append(")\n");
        text.append("keepMaskedPixels=").append(vfStr(keepMaskedPixels_)).append("\n");
        text.append("tailFractions=")
            .append(pairText(tailFractions_.x(), tailFractions_.y()))
            .append("\n");
        text.append("neighborhoodSize=").append(pairText(neighborhoodSize_)).append("\n");
        text.append("granularity=").append(pairText(granularity_)).append("\n");
        text.append("intensityRange=").append(pairText(intensityVariationRange_)).append("\n");
        addImage(diag, referenceImage_, depth_, "referenceImage");
        vf_AddText(diag, text, "Parameters");
        if (maskImage_.isBound()) vf_AddImage(diag, maskImage_, "maskImage", false);
    }

    // Publishing cannot fail. The fit angles are kept unless rebuilt.
    binaryMask_ = std::move(data.binaryMask);
    reducedMask_ = std::move(data.reducedMask);
    maskWeights_ = std::move(data.maskWeights);
    referenceHistogram_ = std::move(data.referenceHistogram);
    referenceStats_ = std::move(data.referenceStats);
    if ((methods & eLinearlyFitGrayValues) != 0) fitAngles_ = std::move(data.fitAngles);
    trainedMethods_ = trained;
    // An empty reference histogram leaves the other methods trained.
    if (emptyHistogram) throw CanNotTrain("Histogram must be non-empty for the specified methods.");
}

template void vkImageNormalizerBase<std::uint8_t>::train(Method, vkDiagObject*, std::uint32_t);
template void vkImageNormalizerBase<std::uint16_t>::train(Method, vkDiagObject*, std::uint32_t);
