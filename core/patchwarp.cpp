#include "patchwarp.h"

#include <cstddef>
#include <cstdint>

#include "bilinear.h"
#include "bilinear_simd.h"

void patchwarp_part(const ConstView& image, const double* A, const DoubleView& out,
                    const DoubleView& X, const DoubleView& Y, GridPart part, KernelPath path) {
    if (out.rows <= 0 || out.cols <= 0) return;
    if (part.row_begin >= part.row_end || part.col_begin >= part.col_end) return;
    if (out.row_major() && X.row_major() && Y.row_major() &&
        !(out.column_major() && X.column_major() && Y.column_major())) {
        const double swapped[6] = {A[2], A[3], A[0], A[1], A[4], A[5]};
        const GridPart transposed{part.col_begin, part.col_end, part.row_begin, part.row_end};
        patchwarp_part(image, swapped, out.transposed(), X.transposed(), Y.transposed(),
                       transposed, path);
        return;
    }
    const int32_t M = out.rows;
    const int32_t N = out.cols;
    // The AVX2, AVX-512, SSE2 and NEON paths map, clamp and sample each cell
    // of whole columns in one pass, with the same bits as the two passes
    // below, on results in column-major order.
    const KernelPath run = resolve_kernel_path(path);
    const bool columns = out.column_major() && X.column_major() && Y.column_major() &&
                         part.row_begin == 0 && part.row_end == M;
    const bool indexable =
        view_extent32(image.rows, image.cols, image.row_step, image.col_step) > 0;
    if (columns && indexable) {
        const PairedImage pairs{image.data, image.rows, image.cols,
                                static_cast<int32_t>(image.row_step),
                                static_cast<int32_t>(image.col_step)};
        const bool paired = (image.row_step == 1 && image.rows >= 2) ||
                            (image.row_step != 1 && image.col_step == 1 && image.cols >= 2);
        if (runs_avx2_code(run) && paired) {
            if (run == KernelPath::AVX512) {
                patchwarp_avx512(pairs, M, N, A, out.data, X.data, Y.data, part.col_begin,
                                 part.col_end);
            } else {
                patchwarp_avx2(pairs, M, N, A, out.data, X.data, Y.data, part.col_begin,
                               part.col_end);
            }
            return;
        }
    }
    if (columns && run == KernelPath::NEON && image.rows >= 1 && image.cols >= 1) {
        patchwarp_neon(image, M, N, A, out.data, X.data, Y.data, part.col_begin, part.col_end);
        return;
    }
    // SSE2 takes any image, and the images that AVX2 and AVX-512 cannot read
    // in pairs (one line along the pairs, other steps, offsets past 32 bits).
    if (columns && (run == KernelPath::SSE2 || runs_avx2_code(run)) && image.rows >= 1 &&
        image.cols >= 1) {
        patchwarp_sse2(image, M, N, A, out.data, X.data, Y.data, part.col_begin, part.col_end);
        return;
    }
    // (N - 1) * 0.5 and (M - 1) * 0.5: the counts less one, formed in double
    // where they are exact for every 32-bit count and cannot overflow; the
    // values are those of the integer differences.
    const double halfCols = (static_cast<double>(N) - 1.0) * 0.5;
    const double halfRows = (static_cast<double>(M) - 1.0) * 0.5;
    const double a0 = A[0], a1 = A[1], a2 = A[2];
    const double a3 = A[3], a4 = A[4], a5 = A[5];
    const ImageDims imageDims = image.dims();
    for (int32_t j = part.col_begin; j < part.col_end; ++j) {
        const double dx = static_cast<double>(j) - halfCols;
        for (int32_t i = part.row_begin; i < part.row_end; ++i) {
            const double dy = static_cast<double>(i) - halfRows;
            const double x = (a0 * dx + a2 * dy) + a4;
            const double y = (a1 * dx + a3 * dy) + a5;
            const ImagePosition p = clamp_to_image(x, y, &imageDims);
            X.at(i, j) = p.x;
            Y.at(i, j) = p.y;
        }
    }
    // The positions just stored are the kernel's input, so the patch is
    // sampled exactly where the positions handed back say.
    const int32_t rows = part.row_end - part.row_begin;
    const int32_t cols = part.col_end - part.col_begin;
    const ConstView Xread{&X.at(part.row_begin, part.col_begin), rows, cols, X.row_step,
                          X.col_step};
    const ConstView Yread{&Y.at(part.row_begin, part.col_begin), rows, cols, Y.row_step,
                          Y.col_step};
    const DoubleView written{&out.at(part.row_begin, part.col_begin), rows, cols, out.row_step,
                             out.col_step};
    gridlerp_strided(image, Xread, Yread, written, path);
}

void patchwarp_strided(const ConstView& image, const double* A, const DoubleView& out,
                       const DoubleView& X, const DoubleView& Y, KernelPath path) {
    patchwarp_part(image, A, out, X, Y, GridPart{0, out.rows, 0, out.cols}, path);
}

void patchwarp(const double* image, const ImageDims* imageDims,
               const ImageDims* gridDims, const double* A, double* out,
               double* X, double* Y, KernelPath path) {
    patchwarp_strided(column_major_view(image, *imageDims), A,
                      column_major_view(out, *gridDims), column_major_view(X, *gridDims),
                      column_major_view(Y, *gridDims), path);
}
