// Standardisation and scoring of four samples at a time with AVX2 (this file
// alone is compiled for AVX2; the caller asks the processor first).
//
// For a block of four features of four samples: each sample's four values are
// standardised together (difference, then true division) and stored in Z;
// the 4 x 4 block is then transposed so that one register holds one feature
// of the four samples, and the four running sums (one per sample) take the
// products feature by feature, in feature order, each product and each sum
// rounded on its own: the same operations as the scalar loops, only four
// samples side by side. Blocks of fewer than four features (at the start or
// the end of a column) are read and written through masks.
#include "linscore_simd.h"
#include "simd_config.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if KERNELS_HAVE_AVX2
#include <immintrin.h>

namespace {

AVX2_FUNCTION
inline void transpose(__m256d& a, __m256d& b, __m256d& c, __m256d& d) {
    const __m256d ab_low = _mm256_unpacklo_pd(a, b);   // a0 b0 a2 b2
    const __m256d ab_high = _mm256_unpackhi_pd(a, b);  // a1 b1 a3 b3
    const __m256d cd_low = _mm256_unpacklo_pd(c, d);
    const __m256d cd_high = _mm256_unpackhi_pd(c, d);
    a = _mm256_permute2f128_pd(ab_low, cd_low, 0x20);    // a0 b0 c0 d0
    b = _mm256_permute2f128_pd(ab_high, cd_high, 0x20);  // a1 b1 c1 d1
    c = _mm256_permute2f128_pd(ab_low, cd_low, 0x31);    // a2 b2 c2 d2
    d = _mm256_permute2f128_pd(ab_high, cd_high, 0x31);  // a3 b3 c3 d3
}

// Four samples' columns of X and of Z, and their running sums.
struct Columns {
    const double* x[4];
    double* z[4];
    __m256d sum;
};

// Features i .. i + count - 1 (count <= 4; the lanes of `mask` when Masked)
// of the four samples: standardised, stored (into `staged`, rows of
// kChunk, instead of Z when Staged), and added to the sums in feature order.
constexpr std::ptrdiff_t kChunk = 64;

template <bool Masked, bool Staged>
AVX2_FUNCTION
inline void block(Columns& c, std::ptrdiff_t i, int32_t count, __m256i mask,
                  const double* mean, const double* scale, const double* w, double* staged) {
    __m256d z[4];
    if (Masked) {
        const __m256d m = _mm256_maskload_pd(mean + i, mask);
        const __m256d s = _mm256_maskload_pd(scale + i, mask);
        for (int n = 0; n < 4; ++n) {
            z[n] = _mm256_div_pd(_mm256_sub_pd(_mm256_maskload_pd(c.x[n] + i, mask), m), s);
            // The first `count` lanes, one by one (cheaper than a masked
            // store on some processors).
            const __m128d low = _mm256_castpd256_pd128(z[n]);
            _mm_storel_pd(c.z[n] + i, low);
            if (count > 1) _mm_storeh_pd(c.z[n] + i + 1, low);
            if (count > 2) _mm_storel_pd(c.z[n] + i + 2, _mm256_extractf128_pd(z[n], 1));
        }
    } else {
        const __m256d m = _mm256_loadu_pd(mean + i);
        const __m256d s = _mm256_loadu_pd(scale + i);
        for (int n = 0; n < 4; ++n) {
            z[n] = _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(c.x[n] + i), m), s);
            if (Staged)
                _mm256_store_pd(staged + n * kChunk, z[n]);
            else
                _mm256_storeu_pd(c.z[n] + i, z[n]);
        }
    }
    transpose(z[0], z[1], z[2], z[3]);
    for (int32_t r = 0; r < count; ++r)
        c.sum = _mm256_add_pd(c.sum, _mm256_mul_pd(_mm256_broadcast_sd(w + i + r), z[r]));
}

AVX2_FUNCTION
inline __m256i first_lanes(std::ptrdiff_t count) {
    return _mm256_cmpgt_epi64(_mm256_set1_epi64x(count), _mm256_setr_epi64x(0, 1, 2, 3));
}

// Features from .. to - 1 in blocks of four and a last, masked block, stored
// in the ordinary way.
AVX2_FUNCTION
inline void stored_range(Columns& c, std::ptrdiff_t from, std::ptrdiff_t to,
                         const double* mean, const double* scale, const double* w,
                         double* staged) {
    const __m256i all = _mm256_set1_epi64x(-1);
    std::ptrdiff_t i = from;
    for (; to - i >= 4; i += 4) block<false, false>(c, i, 4, all, mean, scale, w, staged);
    if (i < to)
        block<true, false>(c, i, static_cast<int32_t>(to - i), first_lanes(to - i), mean, scale,
                           w, staged);
}

// Features 0 .. head - 1, then head .. end - 1, then end .. M - 1. When
// Streaming, head .. end - 1 are whole 64-byte lines of every column: they are
// staged chunk by chunk and each column's chunk is then written past the
// caches in one run (streaming the four columns a block at a time is far
// slower than ordinary stores, and so is streaming part of a line that
// ordinary stores write too).
template <bool Streaming>
AVX2_FUNCTION void four_at_a_time(const double* X, double* Z, const double* mean,
                                  const double* scale, const double* w, double* scores,
                                  int32_t done, std::ptrdiff_t M, std::ptrdiff_t head,
                                  std::ptrdiff_t end) {
    const __m256i all = _mm256_set1_epi64x(-1);
    const __m256d bias = _mm256_set1_pd(w[M]);
    alignas(32) double staged[4 * kChunk];
    for (int32_t j = 0; j < done; j += 4) {
        Columns c;
        for (int n = 0; n < 4; ++n) {
            c.x[n] = X + (static_cast<std::ptrdiff_t>(j) + n) * M;
            c.z[n] = Z + (static_cast<std::ptrdiff_t>(j) + n) * M;
        }
        c.sum = _mm256_setzero_pd();
        stored_range(c, 0, head, mean, scale, w, staged);
        for (std::ptrdiff_t chunk = head; chunk < end; chunk += kChunk) {
            const std::ptrdiff_t chunk_end = end - chunk < kChunk ? end : chunk + kChunk;
            for (std::ptrdiff_t i = chunk; i < chunk_end; i += 4)
                block<false, Streaming>(c, i, 4, all, mean, scale, w, staged + (i - chunk));
            if (Streaming)
                for (int n = 0; n < 4; ++n)
                    for (std::ptrdiff_t i = chunk; i < chunk_end; i += 4)
                        _mm256_stream_pd(c.z[n] + i,
                                         _mm256_load_pd(staged + n * kChunk + (i - chunk)));
        }
        stored_range(c, end, M, mean, scale, w, staged);
        _mm256_storeu_pd(scores + j, _mm256_add_pd(c.sum, bias));
    }
}

}  // namespace

// Feature by feature, four samples at a time: each sample's value is
// standardised (difference, then true division), weighted and added into its
// running sum, the same operations as the scalar loop.
AVX2_FUNCTION
int32_t add_feature_rows_avx2(const double* X, const double* mean, const double* scale,
                              const double* w, double* scores, int32_t samples,
                              int32_t features, int32_t from, int32_t to) {
    const int32_t done = to - (to - from) % 4;
    for (int32_t i = 0; i < features; ++i) {
        const double* x = X + static_cast<std::ptrdiff_t>(i) * samples;
        const __m256d m = _mm256_set1_pd(mean[i]);
        const __m256d s = _mm256_set1_pd(scale[i]);
        const __m256d weight = _mm256_set1_pd(w[i]);
        for (int32_t j = from; j < done; j += 4) {
            const __m256d z = _mm256_div_pd(_mm256_sub_pd(_mm256_loadu_pd(x + j), m), s);
            _mm256_storeu_pd(scores + j,
                             _mm256_add_pd(_mm256_loadu_pd(scores + j), _mm256_mul_pd(weight, z)));
        }
    }
    return done;
}

AVX2_FUNCTION
int32_t rescale_and_score_avx2(const double* X, double* Z, const double* mean,
                               const double* scale, const double* w, double* scores,
                               int32_t samples, int32_t features) {
    const std::ptrdiff_t M = features;
    const int32_t done = samples - samples % 4;
    const uintptr_t at = reinterpret_cast<uintptr_t>(Z);
    // A standardised copy larger than the caches is written past them where
    // every column is aligned alike to 64-byte lines (M a multiple of 8), in
    // the columns' whole lines: it is
    // not read again here (the scores come from the registers), and streaming
    // saves reading each line before writing it. Otherwise, with M a multiple
    // of 4 and long columns, the first features are taken apart so that the
    // runs of four are 32-byte aligned in Z (and mostly in X, the host's
    // arrays being alike); in short columns the masked blocks would cost more.
    // Streaming pays only where most of a column is whole lines.
    const std::ptrdiff_t line_head =
        std::min<std::ptrdiff_t>(M, static_cast<std::ptrdiff_t>((64 - at % 64) % 64 / 8));
    if (at % sizeof(double) == 0 && M % 8 == 0 && (line_head == 0 || M >= 64) &&
        M * static_cast<std::ptrdiff_t>(samples) > (std::ptrdiff_t{1} << 20)) {
        const std::ptrdiff_t end = line_head + (M - line_head) / 8 * 8;
        four_at_a_time<true>(X, Z, mean, scale, w, scores, done, M, line_head, end);
        _mm_sfence();
    } else {
        const std::ptrdiff_t head =
            at % sizeof(double) == 0 && M % 4 == 0 && M >= 64
                ? static_cast<std::ptrdiff_t>((32 - at % 32) % 32 / 8)
                : 0;
        four_at_a_time<false>(X, Z, mean, scale, w, scores, done, M, head,
                              head + (M - head) / 4 * 4);
    }
    return done;
}

#else

int32_t rescale_and_score_avx2(const double*, double*, const double*, const double*,
                               const double*, double*, int32_t, int32_t) {
    return 0;
}

int32_t add_feature_rows_avx2(const double*, const double*, const double*, const double*,
                              double*, int32_t, int32_t, int32_t from, int32_t) {
    return from;
}

#endif
