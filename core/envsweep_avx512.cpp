// envsweep's look-up of each result's row through its column, eight cells at
// a time with AVX-512 (this file alone is compiled for AVX-512; the caller
// asks the processor first): the cells' rows in the first pass's row map are
// loaded with one gather, so that eight look-ups are in flight at once.
#include "envsweep_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_AVX512
#include <immintrin.h>

AVX512_FUNCTION
void compose_indices_avx512(const int32_t* mid_row, int32_t out_rows, int32_t out_cols,
                            int32_t* best_col, int32_t* best_row) {
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i column_step = _mm256_set1_epi32(out_rows);
    const int32_t whole = out_rows - out_rows % 8;
    for (int32_t i = 0; i < out_cols; ++i) {
        int32_t* col = best_col + static_cast<std::ptrdiff_t>(i) * out_rows;
        int32_t* row = best_row + static_cast<std::ptrdiff_t>(i) * out_rows;
        __m256i j = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        for (int32_t first = 0; first < whole; first += 8) {
            const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(col + first));
            const __m256i at = _mm256_add_epi32(j, _mm256_mullo_epi32(x, column_step));
            const __m256i r = _mm256_i32gather_epi32(mid_row, at, 4);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(row + first), _mm256_add_epi32(r, one));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(col + first), _mm256_add_epi32(x, one));
            j = _mm256_add_epi32(j, _mm256_set1_epi32(8));
        }
        for (int32_t r = whole; r < out_rows; ++r) {
            const int32_t x = col[r];
            row[r] = mid_row[r + static_cast<std::ptrdiff_t>(x) * out_rows] + 1;
            col[r] = x + 1;
        }
    }
}

#else

void compose_indices_avx512(const int32_t*, int32_t, int32_t, int32_t*, int32_t*) {}

#endif
