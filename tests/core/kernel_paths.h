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

// A rows x cols matrix placed in a larger buffer in one of the layouts the
// strided kernels read in place: column-major, row-major, a column-major and
// a row-major block of a wider matrix, every second row and third column of a
// row-major matrix, and one channel of a row-major interleaved image of three
// channels. Every element outside the matrix holds `fill`, so that a write
// past the matrix shows.
struct Placed {
    std::string name;
    std::vector<double> storage;
    std::ptrdiff_t offset, row_step, col_step;

    double* data() { return storage.data() + offset; }
    double& at(int32_t r, int32_t c) {
        return storage[static_cast<size_t>(offset + r * row_step + c * col_step)];
    }
};

constexpr int kLayouts = 6;

inline Placed placed(int layout, int32_t rows, int32_t cols, double fill) {
    const std::ptrdiff_t R = rows, C = cols;
    Placed p;
    switch (layout) {
        case 0: p = {"column-major", {}, 0, 1, R}; break;
        case 1: p = {"row-major", {}, 0, C, 1}; break;
        case 2: p = {"column-major block", {}, 2, 1, R + 3}; break;
        case 3: p = {"row-major block", {}, 1, C + 5, 1}; break;
        case 4: p = {"every 2nd row, 3rd column", {}, 0, 2 * 3 * C, 3}; break;
        default: p = {"one channel of three", {}, 1, 3 * C, 3}; break;
    }
    const std::ptrdiff_t last = rows > 0 && cols > 0
                                    ? p.offset + (R - 1) * p.row_step + (C - 1) * p.col_step
                                    : p.offset;
    p.storage.assign(static_cast<size_t>(last + 4), fill);
    return p;
}

// A column-major matrix placed in a layout, and read back.
inline Placed placed_copy(int layout, const std::vector<double>& matrix, int32_t rows,
                          int32_t cols, double fill) {
    Placed p = placed(layout, rows, cols, fill);
    for (int32_t c = 0; c < cols; ++c)
        for (int32_t r = 0; r < rows; ++r)
            p.at(r, c) = matrix[static_cast<size_t>(r) + static_cast<size_t>(c) * rows];
    return p;
}

inline std::vector<double> read_back(Placed& p, int32_t rows, int32_t cols) {
    std::vector<double> matrix(static_cast<size_t>(rows) * cols);
    for (int32_t c = 0; c < cols; ++c)
        for (int32_t r = 0; r < rows; ++r)
            matrix[static_cast<size_t>(r) + static_cast<size_t>(c) * rows] = p.at(r, c);
    return matrix;
}

// Whether every element of the buffer outside the matrix still holds `fill`.
inline bool only_matrix_written(Placed& p, int32_t rows, int32_t cols, double fill) {
    std::vector<bool> inside(p.storage.size(), false);
    for (int32_t c = 0; c < cols; ++c)
        for (int32_t r = 0; r < rows; ++r)
            inside[static_cast<size_t>(p.offset + r * p.row_step + c * p.col_step)] = true;
    for (size_t k = 0; k < p.storage.size(); ++k)
        if (!inside[k] && std::memcmp(&p.storage[k], &fill, sizeof fill) != 0) return false;
    return true;
}
