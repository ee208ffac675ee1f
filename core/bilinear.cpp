#include "bilinear.h"

#include <cstddef>
#include <limits>

#include "bilinear_simd.h"
#include "simd_config.h"


ImagePosition clamp_to_image(double x, double y, const ImageDims* imageDims) {
    if (x != x || y != y) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan};
    }
    // cols - 1 and rows - 1, formed in double where they are exact and
    // cannot overflow.
    const double xmax = static_cast<double>(imageDims->cols) - 1.0;
    const double ymax = static_cast<double>(imageDims->rows) - 1.0;
    if (x < 0.0) {
        x = 0.0;
    } else if (x > xmax) {
        x = xmax;
    }
    if (y < 0.0) {
        y = 0.0;
    } else if (y > ymax) {
        y = ymax;
    }
    return {x, y};
}

namespace {

// The sample at a position inside the image: rows >= 1, cols >= 1,
// 0 <= x <= cols - 1, 0 <= y <= rows - 1. Rows are blended within each of the
// two neighbouring columns first, then the two columns; every product and sum
// is rounded on its own in this grouping. The neighbour past the last column or
// row falls back onto it, where the fraction is 0, and its terms still enter
// the sums, so a non-finite neighbour poisons the sample even at weight 0.
inline double sample_inside(const ConstView& image, double x, double y) {
    const int32_t c0 = static_cast<int32_t>(x);
    const int32_t r0 = static_cast<int32_t>(y);
    const double fx = x - c0;
    const double fy = y - r0;
    const int32_t c1 = c0 + 1 < image.cols ? c0 + 1 : c0;
    const int32_t r1 = r0 + 1 < image.rows ? r0 + 1 : r0;
    const double s0 = fy * image.at(r1, c0) + (1.0 - fy) * image.at(r0, c0);
    const double s1 = fy * image.at(r1, c1) + (1.0 - fy) * image.at(r0, c1);
    return (1.0 - fx) * s0 + fx * s1;
}


// Samples `count` consecutive positions of a run: X, Y and out one element
// after the other. A vector path, where one runs, takes the elements up to a
// multiple of its width; the plain loop takes the rest (or all of them on the
// scalar path). The image is not empty.
void sample_run(const ConstView& image, const double* X, const double* Y, double* out,
                std::ptrdiff_t count, KernelPath run) {
    std::ptrdiff_t done = 0;
    // The vector paths index the image with 32-bit integers; the AVX2 and
    // AVX-512 ones read it in pairs along its rows or its columns; the NEON
    // one reads any view.
    const bool indexable =
        view_extent32(image.rows, image.cols, image.row_step, image.col_step) > 0;
    const bool paired = indexable && (image.row_step == 1 || image.col_step == 1);
    const PairedImage pairs{image.data, image.rows, image.cols,
                            static_cast<int32_t>(image.row_step),
                            static_cast<int32_t>(image.col_step)};
    if (run == KernelPath::AVX512 && paired)
        done = sample_grid_avx512(pairs, X, Y, out, count);
    if (runs_avx2_code(run) && paired && done == 0)
        done = sample_grid_avx2(pairs, X, Y, out, count);
    if (run == KernelPath::NEON) done = sample_grid_neon(image, X, Y, out, count);
#if KERNELS_HAVE_SSE2
    // Also the AVX2 path's fallback for an image of one line along its pairs,
    // and for an image read with other steps.
    if (run != KernelPath::Scalar && done == 0)
        done = sample_grid_sse2(image, X, Y, out, count);
#endif
    const ImageDims dims = image.dims();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::ptrdiff_t k = done; k < count; ++k) {
        const ImagePosition p = clamp_to_image(X[k], Y[k], &dims);
        out[k] = p.x != p.x ? nan : sample_inside(image, p.x, p.y);
    }
}

}  // namespace

void gridlerp_strided(const ConstView& image, const ConstView& X, const ConstView& Y,
                      const DoubleView& out, KernelPath path) {
    const int32_t rows = out.rows;
    const int32_t cols = out.cols;
    if (rows <= 0 || cols <= 0) return;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (image.rows <= 0 || image.cols <= 0) {
        for (int32_t c = 0; c < cols; ++c)
            for (int32_t r = 0; r < rows; ++r) out.at(r, c) = nan;
        return;
    }
    const KernelPath run = resolve_kernel_path(path);
    // The grid as runs of consecutive elements shared by X, Y and out: one
    // run when all three lie in one order without gaps, else one per column
    // (or per row), else single elements.
    const bool whole_columns = X.row_step == 1 && Y.row_step == 1 && out.row_step == 1;
    const bool whole_rows = X.col_step == 1 && Y.col_step == 1 && out.col_step == 1;
    if ((X.column_major() && Y.column_major() && out.column_major()) ||
        (X.row_major() && Y.row_major() && out.row_major())) {
        sample_run(image, X.data, Y.data, out.data, static_cast<std::ptrdiff_t>(rows) * cols,
                   run);
    } else if (whole_columns) {
        for (int32_t c = 0; c < cols; ++c)
            sample_run(image, &X.at(0, c), &Y.at(0, c), &out.at(0, c), rows, run);
    } else if (whole_rows) {
        for (int32_t r = 0; r < rows; ++r)
            sample_run(image, &X.at(r, 0), &Y.at(r, 0), &out.at(r, 0), cols, run);
    } else {
        for (int32_t c = 0; c < cols; ++c)
            for (int32_t r = 0; r < rows; ++r)
                sample_run(image, &X.at(r, c), &Y.at(r, c), &out.at(r, c), 1, run);
    }
}

void gridlerp(const double* image, const ImageDims* imageDims,
              const ImageDims* gridDims, double* out,
              const double* X, const double* Y, KernelPath path) {
    gridlerp_strided(column_major_view(image, *imageDims), column_major_view(X, *gridDims),
                     column_major_view(Y, *gridDims), column_major_view(out, *gridDims), path);
}

void gridlerp_ext(const double* image, const ImageDims* imageDims,
                  const ImageDims* gridDims, const double* X, const double* Y,
                  double* out, KernelPath path) {
    gridlerp_strided(column_major_view(image, *imageDims), column_major_view(X, *gridDims),
                     column_major_view(Y, *gridDims), column_major_view(out, *gridDims), path);
}
