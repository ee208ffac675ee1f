// The lower-envelope transform of 8, 16 or 32 lines at once with AVX-512
// (this file alone is compiled for AVX-512; the caller asks the processor
// first), in windows of eight lanes: the algorithm of core/envelope_avx2.cpp,
// with mask registers in place of blends. The lanes work in step: all insert
// source index q, then all evaluate position j. Each removal or step down waits
// for a divide or a gather; with 32 lanes four windows' chains are in flight at
// once, which more than pays for the lanes that wait on the slowest one.
//
// Construction. Each lane's envelope is a stack kept as a linked list over
// source indices: when q is pushed, below[q] records the piece under it and
// below_bound[q], below_f[q] that piece's left boundary and source value.
// For every q: the boundary s between q and the top piece, exactly as the
// scalar loop forms it; while some lane has a top piece that is not the first
// and s <= its left boundary, those lanes remove their top piece and form s
// again against the new top; then every lane pushes q with boundary s.
//
// Evaluation, from the last position back to the first: walking down from the
// top while the top's boundary is at or above p finds, for boundaries that
// strictly increase, the piece the scalar cursor reaches. A lane that pushed a
// boundary not above the one under it is reported to the caller instead.
#include "envelope_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_AVX512
// GCC 12's headers leave the unused half of a widening or narrowing
// conversion uninitialised on purpose, and then warn about it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace {

constexpr float kLowerSentinel = -1.0e20f;

// Eight lanes.
struct Window {
    __m256i top;      // source index of the top piece
    __m512d top_d;    // the same, as a double
    __m512d f_top;    // its source value
    __m256 b_top;     // its left boundary
    __m256i under;    // the piece under the top, its value and boundary
    __m512d f_under;
    __m256 b_under;
};

// The boundary between source index q (value fq) and the top piece, rounded
// to single precision: ((f(q) - f(v)) - lin (q - v)) + quad (q^2 - v^2) over
// (q - v)(quad + quad), every operation rounded on its own, in this order.
AVX512_FUNCTION
inline __m256 boundary(__m512d q, __m512d fq, const Window& w, __m512d quad, __m512d lin,
                       __m512d quad2) {
    const __m512d diff = _mm512_sub_pd(q, w.top_d);
    const __m512d squares = _mm512_sub_pd(_mm512_mul_pd(q, q), _mm512_mul_pd(w.top_d, w.top_d));
    const __m512d numerator =
        _mm512_add_pd(_mm512_sub_pd(_mm512_sub_pd(fq, w.f_top), _mm512_mul_pd(lin, diff)),
                      _mm512_mul_pd(quad, squares));
    return _mm512_cvtpd_ps(_mm512_div_pd(numerator, _mm512_mul_pd(diff, quad2)));
}

// Lanes set in `mask` step down to the piece under their top; the piece under
// that one is loaded from the list, whose entries are 2^lane_shift apart.
AVX512_FUNCTION
inline void step_down(Window& w, __mmask8 mask, __m256i lane, int lane_shift,
                      const int32_t* below, const float* below_bound, const double* below_f) {
    const __m256i at = _mm256_add_epi32(_mm256_slli_epi32(w.under, lane_shift), lane);
    const __m256i next_under = _mm256_mmask_i32gather_epi32(w.under, mask, at, below, 4);
    const __m256 next_b = _mm256_mmask_i32gather_ps(w.b_under, mask, at, below_bound, 4);
    const __m512d next_f = _mm512_mask_i32gather_pd(w.f_under, mask, at, below_f, 8);
    w.top = _mm256_mask_mov_epi32(w.top, mask, w.under);
    w.top_d = _mm512_cvtepi32_pd(w.top);
    w.f_top = _mm512_mask_mov_pd(w.f_top, mask, w.f_under);
    w.b_top = _mm256_mask_mov_ps(w.b_top, mask, w.b_under);
    w.under = next_under;
    w.f_under = next_f;
    w.b_under = next_b;
}

AVX512_FUNCTION
inline __mmask8 removable(const Window& w, __m256 s) {
    return _mm256_mask_cmp_ps_mask(_mm256_test_epi32_mask(w.top, w.top), s, w.b_top,
                                   _CMP_LE_OQ);
}

AVX512_FUNCTION
inline __mmask8 above(const Window& w, __m256 threshold) {
    return _mm256_cmp_ps_mask(w.b_top, threshold, _CMP_GE_OQ);
}

// Pushes q (value fq, boundary s) on a window of lanes; returns the lanes
// whose new boundary is not above the one under it.
AVX512_FUNCTION
inline __mmask8 push(Window& w, int32_t q, __m512d qd, __m512d fq, __m256 s, int32_t* below,
                     float* below_bound, double* below_f) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(below), w.top);
    _mm256_storeu_ps(below_bound, w.b_top);
    _mm512_storeu_pd(below_f, w.f_top);
    const __mmask8 irregular = _mm256_cmp_ps_mask(s, w.b_top, _CMP_NGT_UQ);
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    w.top = _mm256_set1_epi32(q);
    w.top_d = qd;
    w.f_top = fq;
    w.b_top = s;
    return irregular;
}

AVX512_FUNCTION
inline void start(Window& w, __m512d f0, int32_t* below, float* below_bound, double* below_f) {
    w.top = _mm256_setzero_si256();
    w.top_d = _mm512_setzero_pd();
    w.f_top = f0;
    w.b_top = _mm256_set1_ps(kLowerSentinel);
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    // Piece 0 is never removed; its list entry is only ever loaded.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(below), w.top);
    _mm256_storeu_ps(below_bound, w.b_top);
    _mm512_storeu_pd(below_f, w.f_top);
}

// (quad d^2 + lin d) + f(v), d = p - v.
AVX512_FUNCTION
inline __m512d value_at(const Window& w, __m512d p, __m512d quad, __m512d lin) {
    const __m512d d = _mm512_sub_pd(p, w.top_d);
    return _mm512_add_pd(
        _mm512_add_pd(_mm512_mul_pd(quad, _mm512_mul_pd(d, d)), _mm512_mul_pd(lin, d)), w.f_top);
}

// W windows of eight lanes each, in step.
template <int W>
AVX512_FUNCTION uint32_t lower_envelope_windows(const double* in, std::ptrdiff_t in_row,
                                                int32_t line_len, double quad_coef,
                                                double lin_coef, const int32_t* positions,
                                                const float* thresholds, int32_t out_len,
                                                double* values, int32_t* args,
                                                std::ptrdiff_t out_row, int32_t* below,
                                                float* below_bound, double* below_f) {
    static_assert(W == 1 || W == 2 || W == 4, "8, 16 or 32 lanes");
    constexpr std::ptrdiff_t L = 8 * W;
    constexpr int kShift = W == 4 ? 5 : W == 2 ? 4 : 3;  // log2(L)
    const __m512d quad = _mm512_set1_pd(quad_coef);
    const __m512d lin = _mm512_set1_pd(lin_coef);
    const __m512d quad2 = _mm512_set1_pd(quad_coef + quad_coef);

    // Lanes 8i .. 8i + 7 in window i.
    Window w[W];
    __m256i lane[W];
    __mmask8 irregular[W], mask[W];
    for (int i = 0; i < W; ++i) {
        lane[i] = _mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                   _mm256_set1_epi32(8 * i));
        irregular[i] = 0;
        start(w[i], _mm512_loadu_pd(in + 8 * i), below + 8 * i, below_bound + 8 * i,
              below_f + 8 * i);
    }

    for (int32_t q = 1; q < line_len; ++q) {
        const __m512d qd = _mm512_set1_pd(static_cast<double>(q));
        const std::ptrdiff_t at = q * L;
        __m512d fq[W];
        __m256 s[W];
        unsigned any_lane = 0;
        for (int i = 0; i < W; ++i) {
            fq[i] = _mm512_loadu_pd(in + q * in_row + 8 * i);
            s[i] = boundary(qd, fq[i], w[i], quad, lin, quad2);
            mask[i] = removable(w[i], s[i]);
            any_lane |= mask[i];
        }
        while (any_lane != 0) {
            any_lane = 0;
            for (int i = 0; i < W; ++i) {
                step_down(w[i], mask[i], lane[i], kShift, below, below_bound, below_f);
                s[i] = boundary(qd, fq[i], w[i], quad, lin, quad2);
                mask[i] = removable(w[i], s[i]);
                any_lane |= mask[i];
            }
        }
        for (int i = 0; i < W; ++i)
            irregular[i] |= push(w[i], q, qd, fq[i], s[i], below + at + 8 * i,
                                 below_bound + at + 8 * i, below_f + at + 8 * i);
    }

    for (int32_t j = out_len - 1; j >= 0; --j) {
        const __m256 threshold = _mm256_set1_ps(thresholds[j]);
        unsigned any_lane = 0;
        for (int i = 0; i < W; ++i) {
            mask[i] = above(w[i], threshold);
            any_lane |= mask[i];
        }
        while (any_lane != 0) {
            any_lane = 0;
            for (int i = 0; i < W; ++i) {
                step_down(w[i], mask[i], lane[i], kShift, below, below_bound, below_f);
                mask[i] = above(w[i], threshold);
                any_lane |= mask[i];
            }
        }
        const __m512d p = _mm512_set1_pd(static_cast<double>(positions[j]));
        const std::ptrdiff_t at = j * out_row;
        for (int i = 0; i < W; ++i) {
            _mm512_storeu_pd(values + at + 8 * i, value_at(w[i], p, quad, lin));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(args + at + 8 * i), w[i].top);
        }
    }

    uint32_t bits = 0;
    for (int i = 0; i < W; ++i) bits |= static_cast<uint32_t>(irregular[i]) << (8 * i);
    return bits;
}

}  // namespace

uint32_t lower_envelope_avx512(int32_t lanes, const double* in, std::ptrdiff_t in_row,
                               int32_t line_len, double quad_coef, double lin_coef,
                               const int32_t* positions, const float* thresholds,
                               int32_t out_len, double* values, int32_t* args,
                               std::ptrdiff_t out_row, int32_t* below, float* below_bound,
                               double* below_f) {
    if (lanes == 32)
        return lower_envelope_windows<4>(in, in_row, line_len, quad_coef, lin_coef, positions,
                                         thresholds, out_len, values, args, out_row, below,
                                         below_bound, below_f);
    if (lanes == 16)
        return lower_envelope_windows<2>(in, in_row, line_len, quad_coef, lin_coef, positions,
                                         thresholds, out_len, values, args, out_row, below,
                                         below_bound, below_f);
    return lower_envelope_windows<1>(in, in_row, line_len, quad_coef, lin_coef, positions,
                                     thresholds, out_len, values, args, out_row, below,
                                     below_bound, below_f);
}

#else

uint32_t lower_envelope_avx512(int32_t, const double*, std::ptrdiff_t, int32_t, double, double,
                               const int32_t*, const float*, int32_t, double*, int32_t*,
                               std::ptrdiff_t, int32_t*, float*, double*) {
    return 0;
}

#endif
