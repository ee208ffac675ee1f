// The bilinear kernel four elements at a time with AVX2 (this file alone is
// compiled for AVX2; the caller asks the processor first). Clamping is
// max(0, x) then min(xmax, x) with the bound as the first operand, which keeps
// -0.0 and turns every value outside into exactly +0.0 or xmax, as the scalar
// rule does; a NaN coordinate passes both and marks the element, whose result
// becomes the quiet NaN while its position is replaced by 0 so that no read
// leaves the image. The four neighbours are gathered with 32-bit indices.
#include "bilinear_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_AVX2
#include <immintrin.h>

std::ptrdiff_t sample_grid_avx2(const double* image, int32_t rows, int32_t cols,
                                const double* X, const double* Y, double* out,
                                std::ptrdiff_t count) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d xmax = _mm256_set1_pd(static_cast<double>(cols) - 1.0);
    const __m256d ymax = _mm256_set1_pd(static_cast<double>(rows) - 1.0);
    const __m256d quiet_nan = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7ff8000000000000LL));
    const __m128i last_col = _mm_set1_epi32(cols - 1);
    const __m128i last_row = _mm_set1_epi32(rows - 1);
    const __m128i column_step = _mm_set1_epi32(rows);
    const __m256d gather_all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));

    const std::ptrdiff_t done = count - count % 4;
    for (std::ptrdiff_t k = 0; k < done; k += 4) {
        __m256d x = _mm256_loadu_pd(X + k);
        __m256d y = _mm256_loadu_pd(Y + k);
        const __m256d no_position = _mm256_cmp_pd(x, y, _CMP_UNORD_Q);
        x = _mm256_min_pd(xmax, _mm256_max_pd(zero, x));
        y = _mm256_min_pd(ymax, _mm256_max_pd(zero, y));
        x = _mm256_andnot_pd(no_position, x);
        y = _mm256_andnot_pd(no_position, y);

        const __m128i c0 = _mm256_cvttpd_epi32(x);
        const __m128i r0 = _mm256_cvttpd_epi32(y);
        const __m256d fx = _mm256_sub_pd(x, _mm256_cvtepi32_pd(c0));
        const __m256d fy = _mm256_sub_pd(y, _mm256_cvtepi32_pd(r0));
        // -1 where a next column (row) exists, 0 on the last one.
        const __m128i next_col = _mm_cmpgt_epi32(last_col, c0);
        const __m128i next_row = _mm_cmpgt_epi32(last_row, r0);
        const __m128i i00 = _mm_add_epi32(r0, _mm_mullo_epi32(c0, column_step));
        const __m128i i10 = _mm_sub_epi32(i00, next_row);
        const __m128i i01 = _mm_add_epi32(i00, _mm_and_si128(next_col, column_step));
        const __m128i i11 = _mm_sub_epi32(i01, next_row);
        const __m256d v00 = _mm256_mask_i32gather_pd(zero, image, i00, gather_all, 8);
        const __m256d v10 = _mm256_mask_i32gather_pd(zero, image, i10, gather_all, 8);
        const __m256d v01 = _mm256_mask_i32gather_pd(zero, image, i01, gather_all, 8);
        const __m256d v11 = _mm256_mask_i32gather_pd(zero, image, i11, gather_all, 8);

        const __m256d gy = _mm256_sub_pd(one, fy);
        const __m256d gx = _mm256_sub_pd(one, fx);
        const __m256d s0 = _mm256_add_pd(_mm256_mul_pd(fy, v10), _mm256_mul_pd(gy, v00));
        const __m256d s1 = _mm256_add_pd(_mm256_mul_pd(fy, v11), _mm256_mul_pd(gy, v01));
        const __m256d value = _mm256_add_pd(_mm256_mul_pd(gx, s0), _mm256_mul_pd(fx, s1));
        _mm256_storeu_pd(out + k, _mm256_blendv_pd(value, quiet_nan, no_position));
    }
    return done;
}

#else

std::ptrdiff_t sample_grid_avx2(const double*, int32_t, int32_t, const double*,
                                const double*, double*, std::ptrdiff_t) {
    return 0;
}

#endif
