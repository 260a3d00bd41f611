// Processor features, asked once per process.

#include "platform/cpu.h"

namespace vk_detail {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
bool cpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
bool cpuHasAvx512Bw() {
    static const bool has = __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
    return has;
}
bool cpuHasAvx512Vbmi() {
    static const bool has = __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vbmi") &&
                            __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
    return has;
}
#else
bool cpuHasAvx2() {
    return false;
}
bool cpuHasAvx512Bw() {
    return false;
}
bool cpuHasAvx512Vbmi() {
    return false;
}
#endif

}  // namespace vk_detail
