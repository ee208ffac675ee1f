#include "kernel_path.h"

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#endif

#include "simd_config.h"

namespace {

// AVX2 needs the instructions and an operating system that saves the
// 256-bit registers on a context switch (XCR0 bits 1 and 2).
bool processor_has_avx2() {
#if !KERNELS_HAVE_AVX2
    return false;
#elif defined(__GNUC__)
    return __builtin_cpu_supports("avx2");
#elif defined(_MSC_VER)
    int info[4];
    __cpuid(info, 0);
    if (info[0] < 7) return false;
    __cpuid(info, 1);
    const bool osxsave = (info[2] & (1 << 27)) != 0;
    const bool avx = (info[2] & (1 << 28)) != 0;
    if (!osxsave || !avx || (_xgetbv(0) & 6) != 6) return false;
    __cpuidex(info, 7, 0);
    return (info[1] & (1 << 5)) != 0;
#else
    return false;
#endif
}

}  // namespace

bool kernel_path_available(KernelPath path) {
    switch (path) {
        case KernelPath::Fastest:
        case KernelPath::Scalar: return true;
        case KernelPath::SSE2: return KERNELS_HAVE_SSE2 != 0;
        case KernelPath::AVX2: return processor_has_avx2();
        case KernelPath::NEON: return KERNELS_HAVE_NEON != 0;
    }
    return false;
}

KernelPath resolve_kernel_path(KernelPath requested) {
    switch (requested) {
        case KernelPath::Scalar: return KernelPath::Scalar;
        case KernelPath::Fastest:
        case KernelPath::AVX2:
            if (processor_has_avx2()) return KernelPath::AVX2;
            [[fallthrough]];
        case KernelPath::SSE2:
        case KernelPath::NEON:
            if (KERNELS_HAVE_NEON) return KernelPath::NEON;
            return KERNELS_HAVE_SSE2 ? KernelPath::SSE2 : KernelPath::Scalar;
    }
    return KernelPath::Scalar;
}
