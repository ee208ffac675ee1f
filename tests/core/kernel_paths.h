// Shared by the tests that compare a kernel's vector paths with its scalar
// path: the paths this processor runs, and bit-for-bit comparison of arrays.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/kernel_path.h"

inline std::string path_name(KernelPath p) { return kernel_path_name(p); }

// The vector paths of this build's instruction set that this processor runs,
// and Fastest. A path it cannot run is named once per test program as not
// checked here.
inline std::vector<KernelPath> vector_paths() {
    static bool told = false;
    std::vector<KernelPath> paths;
#if defined(__aarch64__) || defined(_M_ARM64)
    const std::vector<KernelPath> built = {KernelPath::NEON};
#else
    const std::vector<KernelPath> built = {KernelPath::SSE2, KernelPath::AVX2, KernelPath::AVX512};
#endif
    for (KernelPath p : built) {
        if (kernel_path_available(p)) {
            paths.push_back(p);
        } else if (!told) {
            std::printf("not checked on this machine: the %s path (the processor or system "
                        "does not run it)\n",
                        path_name(p).c_str());
        }
    }
    told = true;
    paths.push_back(KernelPath::Fastest);
    return paths;
}


// Index of the first element whose bits differ, or -1.
template <typename T>
long first_difference(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) return 0;
    for (size_t k = 0; k < a.size(); ++k)
        if (std::memcmp(&a[k], &b[k], sizeof(T)) != 0) return static_cast<long>(k);
    return -1;
}

// Index of the first element where `a` and `b` differ other than by the
// payload of a NaN, or -1. Where two NaNs meet in a sum, which payload survives
// depends on the order of the two terms, which the kernels leave to the
// compiler (the two terms of a sum may be added in either order); this is the
// comparison for inputs that hold NaNs of their own.
inline long first_difference_but_nan_payload(const std::vector<double>& a,
                                             const std::vector<double>& b) {
    if (a.size() != b.size()) return 0;
    for (size_t k = 0; k < a.size(); ++k) {
        const bool both_nan = a[k] != a[k] && b[k] != b[k];
        if (!both_nan && std::memcmp(&a[k], &b[k], sizeof(double)) != 0)
            return static_cast<long>(k);
    }
    return -1;
}

// A double with the given bits (NaNs with chosen payloads).
inline double from_bits(uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}
