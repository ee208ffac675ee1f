#include "patchwarp.h"

#include <cstddef>
#include <cstdint>

#include "bilinear.h"
#include "bilinear_simd.h"

void patchwarp(const double* image, const ImageDims* imageDims,
               const ImageDims* gridDims, const double* A, double* out,
               double* X, double* Y, KernelPath path) {
    const int32_t M = gridDims->rows;
    const int32_t N = gridDims->cols;
    // The AVX2, AVX-512 and NEON paths map, clamp and sample each cell in one pass,
    // with the same bits as the two passes below.
    const int32_t rows = imageDims->rows;
    const int32_t cols = imageDims->cols;
    const KernelPath run = resolve_kernel_path(path);
    if (M > 0 && N > 0 && rows >= 1 && cols >= 1 &&
        static_cast<int64_t>(rows) * cols <= INT32_MAX) {
        if (runs_avx2_code(run) && rows >= 2) {
            if (run == KernelPath::AVX512) {
                patchwarp_avx512(image, rows, cols, M, N, A, out, X, Y);
            } else {
                patchwarp_avx2(image, rows, cols, M, N, A, out, X, Y);
            }
            return;
        }
        if (run == KernelPath::NEON) {
            patchwarp_neon(image, rows, cols, M, N, A, out, X, Y);
            return;
        }
    }
    if (M > 0 && N > 0) {
        // (N - 1) * 0.5 and (M - 1) * 0.5: the counts less one, formed in
        // double where they are exact for every 32-bit count and cannot
        // overflow; the values are those of the integer differences.
        const double halfCols = (static_cast<double>(N) - 1.0) * 0.5;
        const double halfRows = (static_cast<double>(M) - 1.0) * 0.5;
        const double a0 = A[0], a1 = A[1], a2 = A[2];
        const double a3 = A[3], a4 = A[4], a5 = A[5];
        std::ptrdiff_t k = 0;  // i + j * M: the cells in storage order
        for (int32_t j = 0; j < N; ++j) {
            const double dx = static_cast<double>(j) - halfCols;
            for (int32_t i = 0; i < M; ++i, ++k) {
                const double dy = static_cast<double>(i) - halfRows;
                const double x = (a0 * dx + a2 * dy) + a4;
                const double y = (a1 * dx + a3 * dy) + a5;
                const ImagePosition p = clamp_to_image(x, y, imageDims);
                X[k] = p.x;
                Y[k] = p.y;
            }
        }
    }
    // The positions just stored are the kernel's input, so the patch is
    // sampled exactly where the positions handed back say.
    gridlerp(image, imageDims, gridDims, out, X, Y, path);
}
