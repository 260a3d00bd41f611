// The median filter's kernel compiled for AVX-512 BW and VL (chosen at run
// time by pel_median.cpp when the processor has them).
#include "platform/median_bins_avx512.h"

#if defined(IMGNORM_HAVE_AVX512_BINS)
#define VK_MEDIAN_TARGET VK_AVX512
#include "platform/median_sweep.h"

void vk_detail::medianFilterAvx512(const MedianJobOf<std::uint8_t>& job, std::int32_t stripeWidth) {
    filterStripes<Avx512Bins>(job, stripeWidth);
}

void vk_detail::medianFilterAvx512(const MedianJobOf<std::uint16_t>& job,
                                   std::int32_t stripeWidth) {
    filterStripes<Avx512Bins>(job, stripeWidth);
}
#endif
