#include "bilinear.h"

#include <cstddef>
#include <limits>

#include "bilinear_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_SSE2
#include <emmintrin.h>
#endif

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

#if KERNELS_HAVE_SSE2
// Two elements at a time with SSE2, each with the bits of the scalar path (see
// core/bilinear_simd.h): the clamp as max(0, x) then min(xmax, x), a NaN pair
// marked and moved to (0, 0) before any read, its result the quiet NaN. SSE2
// has no gather, so the neighbours are loaded one by one, which takes an image
// with any steps (down from a row to the next, across from a column to the
// next). On an image larger than the cache the two neighbouring lines of the
// positions 32 elements ahead are prefetched, so that many cache and TLB
// misses are in flight at once.
constexpr std::ptrdiff_t kPrefetchAhead = 32;

template <bool Prefetch>
std::ptrdiff_t sample_two_at_a_time(const ConstView& view, const double* X, const double* Y,
                                    double* out, std::ptrdiff_t count) {
    const double* image = view.data;
    const int32_t rows = view.rows;
    const int32_t cols = view.cols;
    const std::ptrdiff_t down = view.row_step;
    const std::ptrdiff_t across = view.col_step;
    const __m128d zero = _mm_setzero_pd();
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d xmax = _mm_set1_pd(static_cast<double>(cols) - 1.0);
    const __m128d ymax = _mm_set1_pd(static_cast<double>(rows) - 1.0);
    const __m128d quiet_nan = _mm_set1_pd(std::numeric_limits<double>::quiet_NaN());
    const std::ptrdiff_t done = count - count % 2;
    for (std::ptrdiff_t k = 0; k < done; k += 2) {
        if (Prefetch && k + kPrefetchAhead < done) {
            const __m128d ahead_x = _mm_loadu_pd(X + k + kPrefetchAhead);
            const __m128d ahead_y = _mm_loadu_pd(Y + k + kPrefetchAhead);
            const __m128d x = _mm_min_pd(xmax, _mm_max_pd(zero, ahead_x));
            const __m128d y = _mm_min_pd(ymax, _mm_max_pd(zero, ahead_y));
            const __m128i c = _mm_cvttpd_epi32(x);
            const __m128i r = _mm_cvttpd_epi32(y);
            // A NaN coordinate gives a wild address here; a prefetch never
            // faults, and the address is formed in integers, not as a pointer.
            const uintptr_t base = reinterpret_cast<uintptr_t>(image);
            const uintptr_t row_bytes = static_cast<uintptr_t>(down) * sizeof(double);
            const uintptr_t column_bytes = static_cast<uintptr_t>(across) * sizeof(double);
            for (int lane = 0; lane < 2; ++lane) {
                const int32_t cl = _mm_cvtsi128_si32(lane ? _mm_shuffle_epi32(c, 1) : c);
                const int32_t rl = _mm_cvtsi128_si32(lane ? _mm_shuffle_epi32(r, 1) : r);
                const uintptr_t row = static_cast<uintptr_t>(static_cast<intptr_t>(rl));
                const uintptr_t col = static_cast<uintptr_t>(static_cast<intptr_t>(cl));
                const uintptr_t p = base + row * row_bytes + col * column_bytes;
                _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
                _mm_prefetch(reinterpret_cast<const char*>(p + column_bytes), _MM_HINT_T0);
            }
        }
        __m128d x = _mm_loadu_pd(X + k);
        __m128d y = _mm_loadu_pd(Y + k);
        const __m128d no_position = _mm_cmpunord_pd(x, y);
        x = _mm_andnot_pd(no_position, _mm_min_pd(xmax, _mm_max_pd(zero, x)));
        y = _mm_andnot_pd(no_position, _mm_min_pd(ymax, _mm_max_pd(zero, y)));
        const __m128i c0 = _mm_cvttpd_epi32(x);
        const __m128i r0 = _mm_cvttpd_epi32(y);
        const __m128d fx = _mm_sub_pd(x, _mm_cvtepi32_pd(c0));
        const __m128d fy = _mm_sub_pd(y, _mm_cvtepi32_pd(r0));

        const int32_t c0a = _mm_cvtsi128_si32(c0);
        const int32_t c0b = _mm_cvtsi128_si32(_mm_shuffle_epi32(c0, 1));
        const int32_t r0a = _mm_cvtsi128_si32(r0);
        const int32_t r0b = _mm_cvtsi128_si32(_mm_shuffle_epi32(r0, 1));
        const double* pa = image + c0a * across + r0a * down;
        const double* pb = image + c0b * across + r0b * down;
        const std::ptrdiff_t down_a = r0a + 1 < rows ? down : 0;
        const std::ptrdiff_t down_b = r0b + 1 < rows ? down : 0;
        const std::ptrdiff_t right_a = c0a + 1 < cols ? across : 0;
        const std::ptrdiff_t right_b = c0b + 1 < cols ? across : 0;
        const __m128d v00 = _mm_loadh_pd(_mm_load_sd(pa), pb);
        const __m128d v10 = _mm_loadh_pd(_mm_load_sd(pa + down_a), pb + down_b);
        const __m128d v01 = _mm_loadh_pd(_mm_load_sd(pa + right_a), pb + right_b);
        const __m128d v11 =
            _mm_loadh_pd(_mm_load_sd(pa + right_a + down_a), pb + right_b + down_b);

        const __m128d gy = _mm_sub_pd(one, fy);
        const __m128d gx = _mm_sub_pd(one, fx);
        const __m128d s0 = _mm_add_pd(_mm_mul_pd(fy, v10), _mm_mul_pd(gy, v00));
        const __m128d s1 = _mm_add_pd(_mm_mul_pd(fy, v11), _mm_mul_pd(gy, v01));
        const __m128d value = _mm_add_pd(_mm_mul_pd(gx, s0), _mm_mul_pd(fx, s1));
        _mm_storeu_pd(out + k, _mm_or_pd(_mm_andnot_pd(no_position, value),
                                         _mm_and_pd(no_position, quiet_nan)));
    }
    return done;
}

std::ptrdiff_t sample_grid_sse2(const ConstView& image, const double* X, const double* Y,
                                double* out, std::ptrdiff_t count) {
    // Prefetching pays once the image outgrows the second-level cache.
    if (static_cast<int64_t>(image.rows) * image.cols > 65536)
        return sample_two_at_a_time<true>(image, X, Y, out, count);
    return sample_two_at_a_time<false>(image, X, Y, out, count);
}
#endif

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
