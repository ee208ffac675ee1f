// The lower-envelope transform of eight lines at once with SSE2 (part of every
// x86-64 processor, and of the 32-bit x86 builds, which are made with -msse2
// -mfpmath=sse), in the same steps as the AVX2 path (core/envelope_avx2.cpp
// describes the construction and the evaluation): the lanes work in step, all
// inserting source index q, then all evaluating position j, each lane with the
// scalar transform's operations in the scalar transform's order. An SSE2
// register holds two doubles, so the eight lanes are four windows of two; a
// window's source indices are the low two lanes of an integer register and its
// boundaries the low two lanes of a single-precision one. What the upper two
// lanes of those hold is never stored and never counted. SSE2 has no blend
// and no gather: lanes are chosen with and, andnot and or, and the piece under
// a window's top is loaded lane by lane. No fused multiply-add is used, and
// the build forbids the compiler to form one.
#include "envelope_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_SSE2
#include <emmintrin.h>

namespace {

constexpr float kLowerSentinel = -1.0e20f;
constexpr int kWindows = kEnvelopeLanes / 2;

// Two of the eight lanes.
struct Window {
    __m128i top;      // source index of the top piece (low two lanes; converted
                      // to double where it is used, which spills less)
    __m128d f_top;    // its source value
    __m128 b_top;     // its left boundary (low two lanes)
    __m128i under;    // the piece under the top, its value and boundary
    __m128d f_under;
    __m128 b_under;
};

// The lanes of `a` where `mask` is set, those of `b` elsewhere.
inline __m128i select(__m128i mask, __m128i a, __m128i b) {
    return _mm_or_si128(_mm_and_si128(mask, a), _mm_andnot_si128(mask, b));
}
inline __m128 select(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}
inline __m128d select(__m128d mask, __m128d a, __m128d b) {
    return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}

// A mask in the low two 32-bit lanes widened to two 64-bit lanes.
inline __m128d widen(__m128i mask) { return _mm_castsi128_pd(_mm_unpacklo_epi32(mask, mask)); }

// Whether the low two lanes of any of the windows' masks are set.
inline bool any(const __m128i (&masks)[kWindows]) {
    __m128i all = masks[0];
    for (int n = 1; n < kWindows; ++n) all = _mm_or_si128(all, masks[n]);
    return (_mm_movemask_ps(_mm_castsi128_ps(all)) & 3) != 0;
}

// The boundary between source index q (value fq) and the top piece, rounded
// to single precision: ((f(q) - f(v)) - lin (q - v)) + quad (q^2 - v^2) over
// (q - v)(quad + quad), every operation rounded on its own, in this order.
// The conversion rounds as the scalar one does, to infinity beyond the single
// range.
inline __m128 boundary(__m128d q, __m128d fq, const Window& w, __m128d quad, __m128d lin,
                       __m128d quad2) {
    const __m128d v = _mm_cvtepi32_pd(w.top);
    const __m128d diff = _mm_sub_pd(q, v);
    const __m128d squares = _mm_sub_pd(_mm_mul_pd(q, q), _mm_mul_pd(v, v));
    const __m128d numerator = _mm_add_pd(_mm_sub_pd(_mm_sub_pd(fq, w.f_top), _mm_mul_pd(lin, diff)),
                                         _mm_mul_pd(quad, squares));
    return _mm_cvtpd_ps(_mm_div_pd(numerator, _mm_mul_pd(diff, quad2)));
}

// Lanes set in `mask` step down to the piece under their top; the piece under
// that one is loaded from the list (for both lanes, every entry reachable
// from a window having been written, and kept only where `mask` is set).
inline void step_down(Window& w, __m128i mask, int first_lane, const int32_t* below,
                      const float* below_bound, const double* below_f) {
    const std::ptrdiff_t at0 =
        static_cast<std::ptrdiff_t>(_mm_cvtsi128_si32(w.under)) * kEnvelopeLanes + first_lane;
    const std::ptrdiff_t at1 =
        static_cast<std::ptrdiff_t>(_mm_cvtsi128_si32(_mm_shuffle_epi32(w.under, 1))) *
            kEnvelopeLanes +
        first_lane + 1;
    const __m128i loaded_under =
        _mm_unpacklo_epi32(_mm_cvtsi32_si128(below[at0]), _mm_cvtsi32_si128(below[at1]));
    const __m128 loaded_b =
        _mm_unpacklo_ps(_mm_load_ss(below_bound + at0), _mm_load_ss(below_bound + at1));
    const __m128d loaded_f = _mm_loadh_pd(_mm_load_sd(below_f + at0), below_f + at1);
    const __m128d mask_wide = widen(mask);
    const __m128 mask_single = _mm_castsi128_ps(mask);
    w.top = select(mask, w.under, w.top);
    w.f_top = select(mask_wide, w.f_under, w.f_top);
    w.b_top = select(mask_single, w.b_under, w.b_top);
    w.under = select(mask, loaded_under, w.under);
    w.f_under = select(mask_wide, loaded_f, w.f_under);
    w.b_under = select(mask_single, loaded_b, w.b_under);
}

// Lanes whose top piece is not the first and whose boundary s is at or left
// of the top's (ordered: a NaN removes nothing).
inline __m128i removable(const Window& w, __m128 s) {
    return _mm_andnot_si128(_mm_cmpeq_epi32(w.top, _mm_setzero_si128()),
                            _mm_castps_si128(_mm_cmple_ps(s, w.b_top)));
}

// Lanes whose top piece starts at or right of the threshold (ordered).
inline __m128i above(const Window& w, __m128 threshold) {
    return _mm_castps_si128(_mm_cmpge_ps(w.b_top, threshold));
}

// Pushes q (value fq, boundary s) on a window of lanes; returns the lanes
// whose new boundary is not above the one under it (NaN included).
inline __m128i push(Window& w, __m128i q, __m128d fq, __m128 s, int32_t* below,
                    float* below_bound, double* below_f) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(below), w.top);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(below_bound), _mm_castps_si128(w.b_top));
    _mm_storeu_pd(below_f, w.f_top);
    const __m128i irregular = _mm_castps_si128(_mm_cmpngt_ps(s, w.b_top));
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    w.top = q;
    w.f_top = fq;
    w.b_top = s;
    return irregular;
}

inline void start(Window& w, __m128d f0, int32_t* below, float* below_bound, double* below_f) {
    w.top = _mm_setzero_si128();
    w.f_top = f0;
    w.b_top = _mm_set1_ps(kLowerSentinel);
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    // Piece 0 is never removed; its list entry is only ever loaded.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(below), w.top);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(below_bound), _mm_castps_si128(w.b_top));
    _mm_storeu_pd(below_f, w.f_top);
}

// (quad d^2 + lin d) + f(v), d = p - v.
inline __m128d value_at(const Window& w, __m128d p, __m128d quad, __m128d lin) {
    const __m128d d = _mm_sub_pd(p, _mm_cvtepi32_pd(w.top));
    return _mm_add_pd(_mm_add_pd(_mm_mul_pd(quad, _mm_mul_pd(d, d)), _mm_mul_pd(lin, d)), w.f_top);
}

// The elements of `map` (laid out as the lines' source: element v of lane k
// at map[v * in_row + k]) at the two source indices of `index`.
inline __m128i load_map(__m128i index, const int32_t* map, std::ptrdiff_t in_row) {
    const std::ptrdiff_t v0 = _mm_cvtsi128_si32(index);
    const std::ptrdiff_t v1 = _mm_cvtsi128_si32(_mm_shuffle_epi32(index, 1));
    return _mm_setr_epi32(map[v0 * in_row], map[v1 * in_row + 1], 0, 0);
}

// Chained: the results' indices are written counted from chain_base and
// chain_out receives chain_map's element at each chosen index plus chain_base
// (see lower_envelope_lines).
template <bool Chained>
uint32_t lower_envelope_windows(const double* in, std::ptrdiff_t in_row, int32_t line_len,
                                double quad_coef, double lin_coef, const int32_t* positions,
                                const float* thresholds, int32_t out_len, double* values,
                                int32_t* args, std::ptrdiff_t out_row, int32_t* below,
                                float* below_bound, double* below_f, const int32_t* chain_map,
                                int32_t* chain_out, int32_t chain_base) {
    constexpr std::ptrdiff_t L = kEnvelopeLanes;
    const __m128d quad = _mm_set1_pd(quad_coef);
    const __m128d lin = _mm_set1_pd(lin_coef);
    const __m128d quad2 = _mm_set1_pd(quad_coef + quad_coef);

    // Lanes 2n and 2n + 1 in window n.
    Window w[kWindows];
    __m128i irregular[kWindows];
    for (int n = 0; n < kWindows; ++n) {
        start(w[n], _mm_loadu_pd(in + 2 * n), below + 2 * n, below_bound + 2 * n,
              below_f + 2 * n);
        irregular[n] = _mm_setzero_si128();
    }

    for (int32_t q = 1; q < line_len; ++q) {
        const __m128d qd = _mm_set1_pd(static_cast<double>(q));
        const __m128i qi = _mm_set1_epi32(q);
        const std::ptrdiff_t at = q * L;
        __m128d fq[kWindows];
        __m128 s[kWindows];
        __m128i remove[kWindows];
        for (int n = 0; n < kWindows; ++n) {
            fq[n] = _mm_loadu_pd(in + q * in_row + 2 * n);
            s[n] = boundary(qd, fq[n], w[n], quad, lin, quad2);
            remove[n] = removable(w[n], s[n]);
        }
        while (any(remove)) {
            for (int n = 0; n < kWindows; ++n) {
                // A window none of whose lanes removes a piece sits the round out.
                if ((_mm_movemask_ps(_mm_castsi128_ps(remove[n])) & 3) == 0) continue;
                step_down(w[n], remove[n], 2 * n, below, below_bound, below_f);
                s[n] = boundary(qd, fq[n], w[n], quad, lin, quad2);
                remove[n] = removable(w[n], s[n]);
            }
        }
        for (int n = 0; n < kWindows; ++n)
            irregular[n] = _mm_or_si128(irregular[n],
                                        push(w[n], qi, fq[n], s[n], below + at + 2 * n,
                                             below_bound + at + 2 * n, below_f + at + 2 * n));
    }

    for (int32_t j = out_len - 1; j >= 0; --j) {
        const __m128 threshold = _mm_set1_ps(thresholds[j]);
        __m128i down[kWindows];
        // Each window walks down on its own: a window whose lanes both stay
        // does not wait for the others' loads.
        for (int n = 0; n < kWindows; ++n) {
            down[n] = above(w[n], threshold);
            while ((_mm_movemask_ps(_mm_castsi128_ps(down[n])) & 3) != 0) {
                step_down(w[n], down[n], 2 * n, below, below_bound, below_f);
                down[n] = above(w[n], threshold);
            }
        }
        // The results' rows are not prefetched (see core/envelope_avx2.cpp).
        if constexpr (Chained) {
            // Ahead of time, 4 positions on: the chain map's elements of the
            // last lanes at the source nearest the position, where the lanes'
            // elements there reach into a second cache line (the first one
            // the processor fetches ahead by itself along the rows).
            const int32_t source = positions[j >= 4 ? j - 4 : 0];
            if (source >= 0 && source < line_len) {
                const uintptr_t first = reinterpret_cast<uintptr_t>(chain_map + source * in_row);
                const uintptr_t last = first + (L - 1) * sizeof(int32_t);
                if ((first ^ last) >= 64)
                    _mm_prefetch(reinterpret_cast<const char*>(last), _MM_HINT_T0);
            }
        }
        const __m128d p = _mm_set1_pd(static_cast<double>(positions[j]));
        const std::ptrdiff_t at = j * out_row;
        for (int n = 0; n < kWindows; ++n) {
            _mm_storeu_pd(values + at + 2 * n, value_at(w[n], p, quad, lin));
            if constexpr (Chained) {
                const __m128i base = _mm_set1_epi32(chain_base);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(args + at + 2 * n),
                                 _mm_add_epi32(w[n].top, base));
                _mm_storel_epi64(
                    reinterpret_cast<__m128i*>(chain_out + at + 2 * n),
                    _mm_add_epi32(load_map(w[n].top, chain_map + 2 * n, in_row), base));
            } else {
                _mm_storel_epi64(reinterpret_cast<__m128i*>(args + at + 2 * n), w[n].top);
            }
        }
    }

    uint32_t lanes = 0;
    for (int n = 0; n < kWindows; ++n)
        lanes |= static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(irregular[n])) & 3)
                 << (2 * n);
    return lanes;
}

}  // namespace

uint32_t lower_envelope_8_sse2(const double* in, std::ptrdiff_t in_row, int32_t line_len,
                               double quad_coef, double lin_coef, const int32_t* positions,
                               const float* thresholds, int32_t out_len, double* values,
                               int32_t* args, std::ptrdiff_t out_row, int32_t* below,
                               float* below_bound, double* below_f, const int32_t* chain_map,
                               int32_t* chain_out, int32_t chain_base) {
    const auto run = chain_map != nullptr ? lower_envelope_windows<true>
                                          : lower_envelope_windows<false>;
    return run(in, in_row, line_len, quad_coef, lin_coef, positions, thresholds, out_len, values,
               args, out_row, below, below_bound, below_f, chain_map, chain_out, chain_base);
}

// Eight lines at a time, two elements of each: 2 x 2 transposes, so that each
// row of the block gets 64 bytes at once and the lines are read along memory.
void lines_to_block_sse2(const double* in, std::ptrdiff_t in_step, int32_t width, int32_t len,
                         double* block, std::ptrdiff_t block_row) {
    const int32_t whole = len - len % 2;
    for (int32_t l = 0; l < width; l += kEnvelopeLanes) {
        const double* lines = in + l * in_step;
        for (int32_t v = 0; v < whole; v += 2) {
            double* row = block + v * block_row + l;
            for (int k = 0; k < kEnvelopeLanes; k += 2) {
                const __m128d a = _mm_loadu_pd(lines + k * in_step + v);
                const __m128d b = _mm_loadu_pd(lines + (k + 1) * in_step + v);
                _mm_storeu_pd(row + k, _mm_unpacklo_pd(a, b));
                _mm_storeu_pd(row + block_row + k, _mm_unpackhi_pd(a, b));
            }
        }
        for (int32_t v = whole; v < len; ++v)
            for (int k = 0; k < kEnvelopeLanes; ++k)
                block[v * block_row + l + k] = lines[k * in_step + v];
    }
}

void block_to_lines_sse2(const double* values, const int32_t* args, std::ptrdiff_t block_row,
                         int32_t width, int32_t len, double* out, int32_t* arg,
                         std::ptrdiff_t out_step) {
    const int32_t whole = len - len % 2;
    for (int32_t l = 0; l < width; l += kEnvelopeLanes) {
        double* out_lines = out + l * out_step;
        int32_t* arg_lines = arg + l * out_step;
        for (int32_t j = 0; j < whole; j += 2) {
            const double* row = values + j * block_row + l;
            const int32_t* arg_row = args + j * block_row + l;
            for (int k = 0; k < kEnvelopeLanes; k += 2) {
                const __m128d a = _mm_loadu_pd(row + k);
                const __m128d b = _mm_loadu_pd(row + block_row + k);
                _mm_storeu_pd(out_lines + k * out_step + j, _mm_unpacklo_pd(a, b));
                _mm_storeu_pd(out_lines + (k + 1) * out_step + j, _mm_unpackhi_pd(a, b));
                // (a0, b0, a1, b1): line k's two in the low half, line k + 1's
                // in the high one.
                const __m128i pairs = _mm_unpacklo_epi32(
                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(arg_row + k)),
                    _mm_loadl_epi64(reinterpret_cast<const __m128i*>(arg_row + block_row + k)));
                _mm_storel_epi64(reinterpret_cast<__m128i*>(arg_lines + k * out_step + j), pairs);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(arg_lines + (k + 1) * out_step + j),
                                 _mm_unpackhi_epi64(pairs, pairs));
            }
        }
        for (int32_t j = whole; j < len; ++j)
            for (int k = 0; k < kEnvelopeLanes; ++k) {
                out_lines[k * out_step + j] = values[j * block_row + l + k];
                arg_lines[k * out_step + j] = args[j * block_row + l + k];
            }
    }
}

#else

uint32_t lower_envelope_8_sse2(const double*, std::ptrdiff_t, int32_t, double, double,
                               const int32_t*, const float*, int32_t, double*, int32_t*,
                               std::ptrdiff_t, int32_t*, float*, double*, const int32_t*,
                               int32_t*, int32_t) {
    return 0;
}

void lines_to_block_sse2(const double*, std::ptrdiff_t, int32_t, int32_t, double*,
                         std::ptrdiff_t) {}
void block_to_lines_sse2(const double*, const int32_t*, std::ptrdiff_t, int32_t, int32_t, double*,
                         int32_t*, std::ptrdiff_t) {}

#endif
