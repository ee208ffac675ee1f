// patchwarp's grid with AVX-512, eight cells at a time (this file alone is
// compiled for AVX-512; the caller asks the processor first).
//
// The cells are visited in storage order, eight consecutive ones per step, each
// lane keeping its own row i and column j (a step that passes the end of a
// column carries the lanes concerned into the next one), so a column's end
// needs no partial step. Per cell: the offsets dx = j - (N - 1) / 2 and
// dy = i - (M - 1) / 2 (exact), the position (A0 dx + A2 dy) + A4, (A1 dx +
// A3 dy) + A5, clamped as the AVX2 path clamps (max(0, x) then min(xmax, x),
// a NaN pair marked and moved to (0, 0) before any read), and the bilinear
// sample with the row blends before the column blend: the scalar path's
// operations in its order.
//
// The two rows of a column are one 16-byte pair starting at row r0, or at
// r0 - 1 on the last row (where r1 = r0): two loads per cell, no gather.
// A 64-byte store that straddles two cache lines costs about as much as two,
// so the first step stores only the cells up to the first 64-byte boundary of
// `out` (which aligns X and Y too where they sit alike), and the last one only
// the cells that are left. (Streaming stores were slower on the processors
// measured, even for grids larger than the cache.)
#include "bilinear_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_AVX512
// GCC 12's headers leave the unused half of a widening or narrowing
// conversion uninitialised on purpose, and then warn about it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
#include <immintrin.h>

namespace {

// The 16-byte pairs starting at first[0..7], lanes 0, 2, 4, 6 in `even` and
// 1, 3, 5, 7 in `odd`; unpacking gives each pair's lower and upper element in
// lane order.
AVX512_FUNCTION
inline void load_pairs(const double* data, const int32_t first[8], __m512d& low, __m512d& high) {
    __m512d even = _mm512_castpd128_pd512(_mm_loadu_pd(data + first[0]));
    __m512d odd = _mm512_castpd128_pd512(_mm_loadu_pd(data + first[1]));
    even = _mm512_insertf64x2(even, _mm_loadu_pd(data + first[2]), 1);
    odd = _mm512_insertf64x2(odd, _mm_loadu_pd(data + first[3]), 1);
    even = _mm512_insertf64x2(even, _mm_loadu_pd(data + first[4]), 2);
    odd = _mm512_insertf64x2(odd, _mm_loadu_pd(data + first[5]), 2);
    even = _mm512_insertf64x2(even, _mm_loadu_pd(data + first[6]), 3);
    odd = _mm512_insertf64x2(odd, _mm_loadu_pd(data + first[7]), 3);
    low = _mm512_unpacklo_pd(even, odd);
    high = _mm512_unpackhi_pd(even, odd);
}

}  // namespace

AVX512_FUNCTION
void patchwarp_avx512(const double* image, int32_t rows, int32_t cols, int32_t M, int32_t N,
                      const double* A, double* out, double* X, double* Y) {
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d xmax = _mm512_set1_pd(static_cast<double>(cols) - 1.0);
    const __m512d ymax = _mm512_set1_pd(static_cast<double>(rows) - 1.0);
    const __m512d quiet_nan = _mm512_castsi512_pd(_mm512_set1_epi64(0x7ff8000000000000LL));
    const __m256i last_col = _mm256_set1_epi32(cols - 1);
    const __m256i last_row = _mm256_set1_epi32(rows - 1);
    const __m256i column_step = _mm256_set1_epi32(rows);
    const __m256i minus_one = _mm256_set1_epi32(-1);
    const __m512d half_cols = _mm512_set1_pd((static_cast<double>(N) - 1.0) * 0.5);
    const __m512d half_rows = _mm512_set1_pd((static_cast<double>(M) - 1.0) * 0.5);
    const __m512d a0 = _mm512_set1_pd(A[0]), a1 = _mm512_set1_pd(A[1]);
    const __m512d a2 = _mm512_set1_pd(A[2]), a3 = _mm512_set1_pd(A[3]);
    const __m512d a4 = _mm512_set1_pd(A[4]), a5 = _mm512_set1_pd(A[5]);
    const __m512d column_length = _mm512_set1_pd(static_cast<double>(M));

    const std::ptrdiff_t count = static_cast<std::ptrdiff_t>(M) * N;
    // Row and column of the cell in each lane, as doubles (exact).
    __m512d i = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
    __m512d j = zero;
    // Cells stored by the first step: those before out's first 64-byte
    // boundary, or eight.
    std::ptrdiff_t step = static_cast<std::ptrdiff_t>(
        (64 - reinterpret_cast<uintptr_t>(out) % 64) % 64 / sizeof(double));
    if (step == 0) step = 8;
    for (std::ptrdiff_t k = 0; k < count; k += step, step = 8) {
        // Lanes past the end of their column move to the next one (more than
        // once on columns shorter than eight cells).
        for (__mmask8 past = _mm512_cmp_pd_mask(i, column_length, _CMP_GE_OQ); past != 0;
             past = _mm512_cmp_pd_mask(i, column_length, _CMP_GE_OQ)) {
            i = _mm512_mask_sub_pd(i, past, i, column_length);
            j = _mm512_mask_add_pd(j, past, j, one);
        }
        const __m512d dx = _mm512_sub_pd(j, half_cols);
        const __m512d dy = _mm512_sub_pd(i, half_rows);
        __m512d x = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(a0, dx), _mm512_mul_pd(a2, dy)), a4);
        __m512d y = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(a1, dx), _mm512_mul_pd(a3, dy)), a5);

        // Clamp; a pair with a NaN coordinate samples at (0, 0) and is
        // stored as NaN in all three results.
        const __mmask8 no_position = _mm512_cmp_pd_mask(x, y, _CMP_UNORD_Q);
        x = _mm512_maskz_mov_pd(static_cast<__mmask8>(~no_position),
                                _mm512_min_pd(xmax, _mm512_max_pd(zero, x)));
        y = _mm512_maskz_mov_pd(static_cast<__mmask8>(~no_position),
                                _mm512_min_pd(ymax, _mm512_max_pd(zero, y)));

        const __m256i c0 = _mm512_cvttpd_epi32(x);
        const __m256i r0 = _mm512_cvttpd_epi32(y);
        const __m512d fx = _mm512_sub_pd(x, _mm512_cvtepi32_pd(c0));
        const __m512d fy = _mm512_sub_pd(y, _mm512_cvtepi32_pd(r0));
        const __mmask8 next_col = _mm256_cmpgt_epi32_mask(last_col, c0);
        const __mmask8 next_row = _mm256_cmpgt_epi32_mask(last_row, r0);
        // Start of each pair in column c0 and in column c1.
        const __m256i start = _mm256_add_epi32(r0, _mm256_mullo_epi32(c0, column_step));
        const __m256i pair0 =
            _mm256_mask_add_epi32(start, static_cast<__mmask8>(~next_row), start, minus_one);
        const __m256i pair1 = _mm256_mask_add_epi32(pair0, next_col, pair0, column_step);
        alignas(32) int32_t first[8], second[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(first), pair0);
        _mm256_store_si256(reinterpret_cast<__m256i*>(second), pair1);
        __m512d low0, v10, low1, v11;
        load_pairs(image, first, low0, v10);
        load_pairs(image, second, low1, v11);
        const __m512d v00 = _mm512_mask_blend_pd(next_row, v10, low0);
        const __m512d v01 = _mm512_mask_blend_pd(next_row, v11, low1);

        const __m512d gy = _mm512_sub_pd(one, fy);
        const __m512d gx = _mm512_sub_pd(one, fx);
        const __m512d s0 = _mm512_add_pd(_mm512_mul_pd(fy, v10), _mm512_mul_pd(gy, v00));
        const __m512d s1 = _mm512_add_pd(_mm512_mul_pd(fy, v11), _mm512_mul_pd(gy, v01));
        __m512d value = _mm512_add_pd(_mm512_mul_pd(gx, s0), _mm512_mul_pd(fx, s1));
        value = _mm512_mask_mov_pd(value, no_position, quiet_nan);
        x = _mm512_mask_mov_pd(x, no_position, quiet_nan);
        y = _mm512_mask_mov_pd(y, no_position, quiet_nan);

        if (step == 8 && count - k >= 8) {
            _mm512_storeu_pd(out + k, value);
            _mm512_storeu_pd(X + k, x);
            _mm512_storeu_pd(Y + k, y);
        } else {
            const std::ptrdiff_t cells = count - k < step ? count - k : step;
            const __mmask8 keep = static_cast<__mmask8>((1u << cells) - 1);
            _mm512_mask_storeu_pd(out + k, keep, value);
            _mm512_mask_storeu_pd(X + k, keep, x);
            _mm512_mask_storeu_pd(Y + k, keep, y);
        }
        i = _mm512_add_pd(i, _mm512_set1_pd(static_cast<double>(step)));
    }
}

#else

void patchwarp_avx512(const double*, int32_t, int32_t, int32_t, int32_t, const double*, double*,
                      double*, double*) {}

#endif
