// Compute-kernel names and the choice of the kernel a blend call runs on.
#pragma once

#include <cstring>

enum kernel_kind {
    KERNEL_AUTO = 0,
    KERNEL_SCALAR = 1,
    KERNEL_SSE42 = 2,
    KERNEL_AVX2 = 3,
};

// The compiler runtime fills its feature record once at load; its "avx2"
// answer already requires the OS to have enabled the AVX register state.
inline int cpu_supports_sse42() { return __builtin_cpu_supports("sse4.2") ? 1 : 0; }
inline int cpu_supports_avx2() { return __builtin_cpu_supports("avx2") ? 1 : 0; }

// Never fails: unknown names (and null) mean automatic choice. A forced but
// unavailable "avx2" falls back to scalar, not to four lanes.
inline kernel_kind pick_kernel(const char *force_name) {
    if (force_name != nullptr) {
        if (std::strcmp(force_name, "scalar") == 0) {
            return KERNEL_SCALAR;
        }
        if (std::strcmp(force_name, "sse42") == 0) {
            return cpu_supports_sse42() ? KERNEL_SSE42 : KERNEL_SCALAR;
        }
        if (std::strcmp(force_name, "avx2") == 0) {
            return cpu_supports_avx2() ? KERNEL_AVX2 : KERNEL_SCALAR;
        }
    }
    if (cpu_supports_avx2()) {
        return KERNEL_AVX2;
    }
    if (cpu_supports_sse42()) {
        return KERNEL_SSE42;
    }
    return KERNEL_SCALAR;
}
