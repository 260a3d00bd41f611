// The median filter's kernel compiled for AVX2 (chosen at run time by
// pel_median.cpp when the processor has it).
#include "platform/median_bins_avx2.h"

#if defined(IMGNORM_HAVE_AVX2_BINS)
#define VK_MEDIAN_TARGET VK_AVX2
#include "platform/median_sweep.h"

void vk_detail::medianFilterAvx2(const MedianJobOf<std::uint8_t>& job, std::int32_t stripeWidth) {
    filterStripes<Avx2Bins>(job, stripeWidth);
}

void vk_detail::medianFilterAvx2(const MedianJobOf<std::uint16_t>& job, std::int32_t stripeWidth) {
    filterStripes<Avx2Bins>(job, stripeWidth);
}
#endif
