#include "kernel_path.h"

#include <cstdlib>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <intrin.h>
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
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

#if KERNELS_HAVE_AVX512 && !defined(__GNUC__)
// Registers a, b, c, d of cpuid leaf `leaf`, subleaf `sub` (zeros where the
// leaf does not exist), and the low half of XCR0 (0 where the system does not
// report it).
struct Cpuid {
    unsigned a, b, c, d;
};

Cpuid cpuid(unsigned leaf, unsigned sub) {
    Cpuid r{0, 0, 0, 0};
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    int info[4];
    __cpuid(info, 0);
    if (static_cast<unsigned>(info[0]) < leaf) return r;
    __cpuidex(info, static_cast<int>(leaf), static_cast<int>(sub));
    r = {static_cast<unsigned>(info[0]), static_cast<unsigned>(info[1]),
         static_cast<unsigned>(info[2]), static_cast<unsigned>(info[3])};
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    if (static_cast<unsigned>(__get_cpuid_max(0, nullptr)) < leaf) return r;
    __cpuid_count(leaf, sub, r.a, r.b, r.c, r.d);
#else
    (void)leaf;
    (void)sub;
#endif
    return r;
}

unsigned xcr0_low() {
    if ((cpuid(1, 0).c & (1u << 27)) == 0) return 0;  // OSXSAVE: XGETBV usable
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    return static_cast<unsigned>(_xgetbv(0));
#elif (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
#else
    return 0;
#endif
}
#endif

// AVX-512 needs the instructions used (AVX512F, DQ and VL, besides AVX2) and
// an operating system that saves the 256-bit registers, the opmask registers
// and the 512-bit registers on a context switch (XCR0 bits 1, 2, 5, 6, 7).
bool processor_has_avx512() {
#if !KERNELS_HAVE_AVX512
    return false;
#elif defined(__GNUC__)
    // The runtime's record of the processor, taken once at load, which counts
    // a feature only where the system saves its registers: cpuid itself costs
    // microseconds a time under a hypervisor, more than a small call's work.
    return processor_has_avx2() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl");
#else
    if (!processor_has_avx2()) return false;
    constexpr unsigned kStates = (1u << 1) | (1u << 2) | (1u << 5) | (1u << 6) | (1u << 7);
    if ((xcr0_low() & kStates) != kStates) return false;
    const unsigned features = cpuid(7, 0).b;
    constexpr unsigned kF = 1u << 16, kDQ = 1u << 17, kVL = 1u << 31;
    return (features & (kF | kDQ | kVL)) == (kF | kDQ | kVL);
#endif
}

// Whether `value` spells `name` (lower case), letters in either case.
bool names(const char* value, const char* name) {
    for (; *name != '\0'; ++value, ++name) {
        const char c = (*value >= 'A' && *value <= 'Z') ? static_cast<char>(*value - 'A' + 'a')
                                                          : *value;
        if (c != *name) return false;
    }
    return *value == '\0';
}

}  // namespace

KernelPath kernel_path_cap(bool* known) {
    constexpr const char* kVariable = "BITEXACT_KERNEL_PATH";
#if defined(_WIN32)
    // The process's own environment block, which a host's setenv changes;
    // the C runtime's copy of it may be another runtime's and stale.
    char buffer[16];
    const unsigned long length = GetEnvironmentVariableA(kVariable, buffer, sizeof buffer);
    const char* value = length == 0 ? "" : length < sizeof buffer ? buffer : "?";
#else
    const char* value = std::getenv(kVariable);
    if (value == nullptr) value = "";
#endif
    if (known != nullptr) *known = true;
    if (*value == '\0') return KernelPath::Fastest;
    if (names(value, "avx512")) return KernelPath::AVX512;
    if (names(value, "avx2")) return KernelPath::AVX2;
    if (names(value, "sse2")) return KernelPath::SSE2;
    if (names(value, "neon")) return KernelPath::NEON;
    if (names(value, "scalar")) return KernelPath::Scalar;
    if (known != nullptr) *known = false;
    return KernelPath::Fastest;
}

bool kernel_path_available(KernelPath path) {
    switch (path) {
        case KernelPath::Fastest:
        case KernelPath::Scalar: return true;
        case KernelPath::SSE2: return KERNELS_HAVE_SSE2 != 0;
        case KernelPath::AVX2: return processor_has_avx2();
        case KernelPath::AVX512: return processor_has_avx512();
        case KernelPath::NEON: return KERNELS_HAVE_NEON != 0;
    }
    return false;
}

KernelPath resolve_kernel_path(KernelPath requested) {
    if (requested == KernelPath::Fastest) requested = kernel_path_cap();
    switch (requested) {
        case KernelPath::Scalar: return KernelPath::Scalar;
        case KernelPath::Fastest:
        case KernelPath::AVX512:
            if (processor_has_avx512()) return KernelPath::AVX512;
            [[fallthrough]];
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

const char* kernel_path_name(KernelPath path) {
    switch (path) {
        case KernelPath::Fastest: return "Fastest";
        case KernelPath::Scalar: return "Scalar";
        case KernelPath::SSE2: return "SSE2";
        case KernelPath::AVX2: return "AVX2";
        case KernelPath::AVX512: return "AVX512";
        case KernelPath::NEON: return "NEON";
    }
    return "?";
}
