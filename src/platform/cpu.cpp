// Processor features, asked once per process.

#include "platform/cpu.h"

#include <cstdlib>
#include <cstring>

namespace vk_detail {

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
namespace {

// The widest vectors IMGNORM_CPU_LIMIT lets the kernels take: 2 without a
// limit, 1 for "avx2" (no AVX-512), 0 for "baseline" (no AVX2 either).
int allowedLevel() {
    static const int level = [] {
        const char* text = std::getenv("IMGNORM_CPU_LIMIT");
        if (text == nullptr) return 2;
        if (std::strcmp(text, "baseline") == 0) return 0;
        return std::strcmp(text, "avx2") == 0 ? 1 : 2;
    }();
    return level;
}

}  // namespace

bool cpuHasAvx2() {
    static const bool has = allowedLevel() >= 1 && __builtin_cpu_supports("avx2");
    return has;
}
bool cpuHasAvx512Bw() {
    static const bool has = allowedLevel() >= 2 && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
    return has;
}
bool cpuHasAvx512Vbmi() {
    static const bool has = allowedLevel() >= 2 && __builtin_cpu_supports("avx512bw") &&
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
