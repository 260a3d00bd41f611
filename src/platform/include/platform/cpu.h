// What the processor running the library offers. The kernels with wider
// vectors are chosen by these at run time, so that one build runs on every
// x86-64 processor; each answer is asked of the processor once per process.
// On other architectures every answer is false. The environment variable
// IMGNORM_CPU_LIMIT, read once, caps the answers: "avx2" denies AVX-512,
// "baseline" AVX2 as well, so that the kernels a processor without them
// takes can be run (and compared) on one that has them; the functions
// compiled twice by VK_ROW_KERNEL still take the loader's choice.
#pragma once

namespace vk_detail {

bool cpuHasAvx2();
// AVX-512 BW with VL (byte and word lanes, also at 256 and 128 bits) and
// BMI2, as the median's AVX-512 kernel is compiled for.
bool cpuHasAvx512Bw();
// AVX-512 BW with VBMI (byte permutes across a whole 512-bit vector), BMI2
// and POPCNT, as the kernels that take it are compiled for.
bool cpuHasAvx512Vbmi();

}  // namespace vk_detail
