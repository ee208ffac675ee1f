// The lower-envelope transform of eight or sixteen lines at once with AVX2
// (this file alone is compiled for AVX2; the caller asks the processor first),
// in windows of four lanes. The lanes work in step: all insert source index q,
// then all evaluate position j. With sixteen lanes four windows' work is in
// flight at once; a removal round skips the windows none of whose lanes
// removes, and in evaluation each window steps down on its own.
//
// Construction. Each lane's envelope is a stack kept as a linked list over
// source indices: when q is pushed, its record (16 bytes, so that one load per
// lane reads it) holds the piece under it, that piece's left boundary and its
// source value; the records of a window's four lanes lie side by side.
// For every q: the boundary s between q and the top piece, exactly as the
// scalar loop forms it; while some lane has a top piece that is not the first
// and s <= its left boundary, those lanes remove their top piece and form s
// again against the new top; then every lane pushes q with boundary s. The
// top piece and the one under it are held in registers, so a removal does
// not wait for memory; the record of the piece under the new top is loaded
// meanwhile.
//
// Evaluation, from the last position back to the first. With boundaries that
// strictly increase along the stack, the piece the scalar cursor reaches for
// position p (moving right while the next boundary is below p) is the highest
// piece whose left boundary is below p; walking down from the top while the
// top's boundary is at or above p finds it for a decreasing run of positions.
// A lane that pushed a boundary not above the one under it (NaN, or the first
// piece kept with a boundary at or below the lower sentinel) is reported to
// the caller instead.
#include "envelope_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_AVX2
#include <immintrin.h>

namespace {

constexpr float kLowerSentinel = -1.0e20f;

// Four of the eight lanes.
struct Window {
    __m128i top;      // source index of the top piece
    __m256d top_d;    // the same, as a double
    __m256d f_top;    // its source value
    __m128 b_top;     // its left boundary
    __m128i under;    // the piece under the top, its value and boundary
    __m256d f_under;
    __m128 b_under;
};

AVX2_FUNCTION
inline __m256d widen(__m128i mask) {
    return _mm256_castsi256_pd(_mm256_cvtepi32_epi64(mask));
}

// The boundary between source index q (value fq) and the top piece, rounded
// to single precision: ((f(q) - f(v)) - lin (q - v)) + quad (q^2 - v^2) over
// (q - v)(quad + quad), every operation rounded on its own, in this order.
AVX2_FUNCTION
inline __m128 boundary(__m256d q, __m256d fq, const Window& w, __m256d quad, __m256d lin,
                       __m256d quad2) {
    const __m256d diff = _mm256_sub_pd(q, w.top_d);
    const __m256d squares = _mm256_sub_pd(_mm256_mul_pd(q, q), _mm256_mul_pd(w.top_d, w.top_d));
    const __m256d numerator =
        _mm256_add_pd(_mm256_sub_pd(_mm256_sub_pd(fq, w.f_top), _mm256_mul_pd(lin, diff)),
                      _mm256_mul_pd(quad, squares));
    return _mm256_cvtpd_ps(_mm256_div_pd(numerator, _mm256_mul_pd(diff, quad2)));
}

// Lanes set in `mask` step down to the piece under their top; the piece under
// that one is loaded from the list, one load per lane and array (fewer cycles
// than the gather instructions take). The other lanes load an entry too (every
// list index is a valid one) and keep what they had.
// The list records of four lanes, record k at records + 2 * slot[k]: the
// piece under the one pushed there, that piece's left boundary and its source
// value, 16 bytes, one load per lane.
AVX2_FUNCTION
inline void load_records(const int64_t* records, const int32_t* slot, __m128i& index,
                         __m128& bound, __m256d& f) {
    const auto record = [records, slot](int k) {
        return _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(records + 2 * static_cast<std::ptrdiff_t>(slot[k])));
    };
    const __m128i r0 = record(0), r1 = record(1), r2 = record(2), r3 = record(3);
    const __m128 pairs01 = _mm_castsi128_ps(_mm_unpacklo_epi64(r0, r1));
    const __m128 pairs23 = _mm_castsi128_ps(_mm_unpacklo_epi64(r2, r3));
    index = _mm_castps_si128(_mm_shuffle_ps(pairs01, pairs23, _MM_SHUFFLE(2, 0, 2, 0)));
    bound = _mm_shuffle_ps(pairs01, pairs23, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128d f01 = _mm_castsi128_pd(_mm_unpackhi_epi64(r0, r1));
    const __m128d f23 = _mm_castsi128_pd(_mm_unpackhi_epi64(r2, r3));
    f = _mm256_insertf128_pd(_mm256_castpd128_pd256(f01), f23, 1);
}

// Stores the records of four adjacent lanes, side by side from `records` on.
AVX2_FUNCTION
inline void store_records(int64_t* records, __m128i index, __m128 bound, __m256d f) {
    const __m128i pairs01 = _mm_unpacklo_epi32(index, _mm_castps_si128(bound));
    const __m128i pairs23 = _mm_unpackhi_epi32(index, _mm_castps_si128(bound));
    const __m128i f01 = _mm_castpd_si128(_mm256_castpd256_pd128(f));
    const __m128i f23 = _mm_castpd_si128(_mm256_extractf128_pd(f, 1));
    const __m256i r01 =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi64(pairs01, f01)),
                                _mm_unpackhi_epi64(pairs01, f01), 1);
    const __m256i r23 =
        _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi64(pairs23, f23)),
                                _mm_unpackhi_epi64(pairs23, f23), 1);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(records), r01);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(records + 4), r23);
}

// Lanes set in `mask` step down to the piece under their top; the piece under
// that one is loaded from the list. The other lanes load a record too (every
// list index is a valid one) and keep what they had.
AVX2_FUNCTION
inline void step_down(Window& w, __m128i mask, __m128i lane, int lane_shift,
                      const int64_t* records) {
    alignas(16) int32_t at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at),
                    _mm_add_epi32(_mm_slli_epi32(w.under, lane_shift), lane));
    __m128i loaded_under;
    __m128 loaded_b;
    __m256d loaded_f;
    load_records(records, at, loaded_under, loaded_b, loaded_f);
    const __m256d mask_wide = widen(mask);
    const __m128i next_under = _mm_blendv_epi8(w.under, loaded_under, mask);
    const __m128 next_b = _mm_blendv_ps(w.b_under, loaded_b, _mm_castsi128_ps(mask));
    const __m256d next_f = _mm256_blendv_pd(w.f_under, loaded_f, mask_wide);
    w.top = _mm_blendv_epi8(w.top, w.under, mask);
    w.top_d = _mm256_cvtepi32_pd(w.top);
    w.f_top = _mm256_blendv_pd(w.f_top, w.f_under, mask_wide);
    w.b_top = _mm_blendv_ps(w.b_top, w.b_under, _mm_castsi128_ps(mask));
    w.under = next_under;
    w.f_under = next_f;
    w.b_under = next_b;
}

AVX2_FUNCTION
inline __m128i removable(const Window& w, __m128 s) {
    return _mm_andnot_si128(_mm_cmpeq_epi32(w.top, _mm_setzero_si128()),
                            _mm_castps_si128(_mm_cmp_ps(s, w.b_top, _CMP_LE_OQ)));
}

AVX2_FUNCTION
inline __m128i above(const Window& w, __m128 threshold) {
    return _mm_castps_si128(_mm_cmp_ps(w.b_top, threshold, _CMP_GE_OQ));
}

// Pushes q (value fq, boundary s) on a window of lanes; returns the lanes
// whose new boundary is not above the one under it.
AVX2_FUNCTION
inline __m128i push(Window& w, int32_t q, __m256d qd, __m256d fq, __m128 s, int64_t* records) {
    store_records(records, w.top, w.b_top, w.f_top);
    const __m128i irregular = _mm_castps_si128(_mm_cmp_ps(s, w.b_top, _CMP_NGT_UQ));
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    w.top = _mm_set1_epi32(q);
    w.top_d = qd;
    w.f_top = fq;
    w.b_top = s;
    return irregular;
}

AVX2_FUNCTION
inline void start(Window& w, __m256d f0, int64_t* records) {
    w.top = _mm_setzero_si128();
    w.top_d = _mm256_setzero_pd();
    w.f_top = f0;
    w.b_top = _mm_set1_ps(kLowerSentinel);
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    // Piece 0 is never removed; its record is only ever loaded.
    store_records(records, w.top, w.b_top, w.f_top);
}

// (quad d^2 + lin d) + f(v), d = p - v.
AVX2_FUNCTION
inline __m256d value_at(const Window& w, __m256d p, __m256d quad, __m256d lin) {
    const __m256d d = _mm256_sub_pd(p, w.top_d);
    return _mm256_add_pd(
        _mm256_add_pd(_mm256_mul_pd(quad, _mm256_mul_pd(d, d)), _mm256_mul_pd(lin, d)), w.f_top);
}

// The elements of `map` (laid out as the lines' source: element v of lane k
// at map[v * in_row + k]) at the four source indices of `index`.
AVX2_FUNCTION
inline __m128i load_map(__m128i index, const int32_t* map, std::ptrdiff_t in_row) {
    alignas(16) int32_t at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), index);
    const auto element = [map, in_row, &at](int k) { return map[at[k] * in_row + k]; };
    __m128i v = _mm_cvtsi32_si128(element(0));
    v = _mm_insert_epi32(v, element(1), 1);
    v = _mm_insert_epi32(v, element(2), 2);
    return _mm_insert_epi32(v, element(3), 3);
}

// W windows of four lanes each, in step. Chained: the results' indices are
// written counted from chain_base and chain_out receives chain_map's element
// at each chosen index plus chain_base (see lower_envelope_lines).
template <int W, bool Chained>
AVX2_FUNCTION uint32_t lower_envelope_windows(const double* in, std::ptrdiff_t in_row,
                                              int32_t line_len, double quad_coef,
                                              double lin_coef, const int32_t* positions,
                                              const float* thresholds, int32_t out_len,
                                              double* values, int32_t* args,
                                              std::ptrdiff_t out_row, int64_t* records,
                                              const int32_t* chain_map, int32_t* chain_out,
                                              int32_t chain_base) {
    constexpr std::ptrdiff_t L = 4 * W;
    constexpr int kShift = W == 4 ? 4 : 3;  // log2(L)
    static_assert(W == 2 || W == 4, "eight or sixteen lanes");
    const __m256d quad = _mm256_set1_pd(quad_coef);
    const __m256d lin = _mm256_set1_pd(lin_coef);
    const __m256d quad2 = _mm256_set1_pd(quad_coef + quad_coef);

    // Lanes 4w .. 4w + 3 in window w.
    Window w[W];
    __m128i lane[W], irregular[W], mask[W];
    for (int i = 0; i < W; ++i) {
        lane[i] = _mm_add_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(4 * i));
        irregular[i] = _mm_setzero_si128();
        start(w[i], _mm256_loadu_pd(in + 4 * i), records + 2 * (4 * i));
    }

    for (int32_t q = 1; q < line_len; ++q) {
        const __m256d qd = _mm256_set1_pd(static_cast<double>(q));
        const std::ptrdiff_t at = q * L;
        __m256d fq[W];
        __m128 s[W];
        __m128i any_lane = _mm_setzero_si128();
        for (int i = 0; i < W; ++i) {
            fq[i] = _mm256_loadu_pd(in + q * in_row + 4 * i);
            s[i] = boundary(qd, fq[i], w[i], quad, lin, quad2);
            mask[i] = removable(w[i], s[i]);
            any_lane = _mm_or_si128(any_lane, mask[i]);
        }
        while (_mm_movemask_epi8(any_lane) != 0) {
            any_lane = _mm_setzero_si128();
            for (int i = 0; i < W; ++i) {
                if (_mm_testz_si128(mask[i], mask[i])) continue;
                step_down(w[i], mask[i], lane[i], kShift, records);
                s[i] = boundary(qd, fq[i], w[i], quad, lin, quad2);
                mask[i] = removable(w[i], s[i]);
                any_lane = _mm_or_si128(any_lane, mask[i]);
            }
        }
        for (int i = 0; i < W; ++i)
            irregular[i] = _mm_or_si128(
                irregular[i], push(w[i], q, qd, fq[i], s[i], records + 2 * (at + 4 * i)));
    }

    for (int32_t j = out_len - 1; j >= 0; --j) {
        const __m128 threshold = _mm_set1_ps(thresholds[j]);
        // Each window walks down on its own: a window whose lanes all stay
        // does not wait for the others' loads.
        for (int i = 0; i < W; ++i) {
            mask[i] = above(w[i], threshold);
            while (_mm_movemask_epi8(mask[i]) != 0) {
                step_down(w[i], mask[i], lane[i], kShift, records);
                mask[i] = above(w[i], threshold);
            }
        }
        // The results' rows are not prefetched: they lie a power of two
        // apart in a column-major map, and lines fetched ahead for them
        // evicted each other from the same few cache sets before they were
        // used (it cost a quarter of a smooth map's time).
        if constexpr (Chained) {
            // Ahead of time, 4 positions on: the chain map's elements of the
            // last lanes at the source nearest the position, where the lanes'
            // elements there reach into a second cache line (the first one
            // the processor fetches ahead by itself along the rows).
            const int32_t source = positions[j >= 4 ? j - 4 : 0];
            if (source >= 0 && source < line_len) {
                const uintptr_t first =
                    reinterpret_cast<uintptr_t>(chain_map + source * in_row);
                const uintptr_t last = first + (4 * W - 1) * sizeof(int32_t);
                if ((first ^ last) >= 64)
                    _mm_prefetch(reinterpret_cast<const char*>(last), _MM_HINT_T0);
            }
        }
        const __m256d p = _mm256_set1_pd(static_cast<double>(positions[j]));
        const std::ptrdiff_t at = j * out_row;
        for (int i = 0; i < W; ++i) {
            _mm256_storeu_pd(values + at + 4 * i, value_at(w[i], p, quad, lin));
            if constexpr (Chained) {
                const __m128i base = _mm_set1_epi32(chain_base);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(args + at + 4 * i),
                                 _mm_add_epi32(w[i].top, base));
                _mm_storeu_si128(
                    reinterpret_cast<__m128i*>(chain_out + at + 4 * i),
                    _mm_add_epi32(load_map(w[i].top, chain_map + 4 * i, in_row), base));
            } else {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(args + at + 4 * i), w[i].top);
            }
        }
    }

    uint32_t bits = 0;
    for (int i = 0; i < W; ++i)
        bits |= static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(irregular[i]))) << (4 * i);
    return bits;
}

}  // namespace

uint32_t lower_envelope_avx2(int32_t lanes, const double* in, std::ptrdiff_t in_row,
                             int32_t line_len, double quad_coef, double lin_coef,
                             const int32_t* positions, const float* thresholds, int32_t out_len,
                             double* values, int32_t* args, std::ptrdiff_t out_row,
                             int64_t* records, const int32_t* chain_map, int32_t* chain_out,
                             int32_t chain_base) {
    const bool chained = chain_map != nullptr;
    const auto run = lanes == 16 ? (chained ? lower_envelope_windows<4, true>
                                            : lower_envelope_windows<4, false>)
                                 : (chained ? lower_envelope_windows<2, true>
                                            : lower_envelope_windows<2, false>);
    return run(in, in_row, line_len, quad_coef, lin_coef, positions, thresholds, out_len, values,
               args, out_row, records, chain_map, chain_out, chain_base);
}

// Transposes four rows of four doubles.
AVX2_FUNCTION
inline void transpose4(__m256d r[4]) {
    const __m256d t0 = _mm256_unpacklo_pd(r[0], r[1]);
    const __m256d t1 = _mm256_unpackhi_pd(r[0], r[1]);
    const __m256d t2 = _mm256_unpacklo_pd(r[2], r[3]);
    const __m256d t3 = _mm256_unpackhi_pd(r[2], r[3]);
    r[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    r[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    r[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    r[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

// Transposes four rows of four 32-bit integers.
AVX2_FUNCTION
inline void transpose4(__m128i r[4]) {
    __m128 f0 = _mm_castsi128_ps(r[0]), f1 = _mm_castsi128_ps(r[1]);
    __m128 f2 = _mm_castsi128_ps(r[2]), f3 = _mm_castsi128_ps(r[3]);
    _MM_TRANSPOSE4_PS(f0, f1, f2, f3);
    r[0] = _mm_castps_si128(f0);
    r[1] = _mm_castps_si128(f1);
    r[2] = _mm_castps_si128(f2);
    r[3] = _mm_castps_si128(f3);
}

AVX2_FUNCTION
void lines_to_block_avx2(const double* in, std::ptrdiff_t in_step, int32_t width, int32_t len,
                         double* block, std::ptrdiff_t block_row) {
    const int32_t whole = len - len % 4;
    for (int32_t l = 0; l < width; l += 4) {
        const double* line = in + l * in_step;
        for (int32_t v = 0; v < whole; v += 4) {
            __m256d r[4];
            for (int i = 0; i < 4; ++i) r[i] = _mm256_loadu_pd(line + i * in_step + v);
            transpose4(r);
            for (int i = 0; i < 4; ++i) _mm256_storeu_pd(block + (v + i) * block_row + l, r[i]);
        }
        for (int32_t v = whole; v < len; ++v)
            for (int i = 0; i < 4; ++i) block[v * block_row + l + i] = line[i * in_step + v];
    }
}

AVX2_FUNCTION
void block_to_lines_avx2(const double* values, const int32_t* args, std::ptrdiff_t block_row,
                         int32_t width, int32_t len, double* out, int32_t* arg,
                         std::ptrdiff_t out_step) {
    const int32_t whole = len - len % 4;
    for (int32_t l = 0; l < width; l += 4) {
        double* out_line = out + l * out_step;
        int32_t* arg_line = arg + l * out_step;
        for (int32_t j = 0; j < whole; j += 4) {
            __m256d r[4];
            __m128i a[4];
            for (int i = 0; i < 4; ++i) {
                r[i] = _mm256_loadu_pd(values + (j + i) * block_row + l);
                a[i] = _mm_loadu_si128(
                    reinterpret_cast<const __m128i*>(args + (j + i) * block_row + l));
            }
            transpose4(r);
            transpose4(a);
            for (int i = 0; i < 4; ++i) {
                _mm256_storeu_pd(out_line + i * out_step + j, r[i]);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(arg_line + i * out_step + j), a[i]);
            }
        }
        for (int32_t j = whole; j < len; ++j)
            for (int i = 0; i < 4; ++i) {
                out_line[i * out_step + j] = values[j * block_row + l + i];
                arg_line[i * out_step + j] = args[j * block_row + l + i];
            }
    }
}

#else

uint32_t lower_envelope_avx2(int32_t, const double*, std::ptrdiff_t, int32_t, double, double,
                             const int32_t*, const float*, int32_t, double*, int32_t*,
                             std::ptrdiff_t, int64_t*, const int32_t*, int32_t*, int32_t) {
    return 0;
}
void lines_to_block_avx2(const double*, std::ptrdiff_t, int32_t, int32_t, double*,
                         std::ptrdiff_t) {}
void block_to_lines_avx2(const double*, const int32_t*, std::ptrdiff_t, int32_t, int32_t, double*,
                         int32_t*, std::ptrdiff_t) {}

#endif
