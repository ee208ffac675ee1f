// The lower-envelope transform of 8, 16 or 32 lines at once with AVX-512
// (this file alone is compiled for AVX-512; the caller asks the processor
// first), in windows of eight lanes: the algorithm of core/envelope_avx2.cpp,
// with mask registers in place of blends. The lanes work in step: all insert
// source index q, then all evaluate position j. Each removal or step down waits
// for a divide or the loads of list records; with 32 lanes four windows' chains
// are in flight at once, which more than pays for the lanes that wait on the
// slowest one.
//
// Construction. Each lane's envelope is a stack kept as a linked list over
// source indices: when q is pushed, its record holds the piece under it, that
// piece's left boundary and its source value (16 bytes, so that one load per
// lane reads all three).
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
#include "avx512_intrinsics.h"

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
    __m512i entry_under;  // under and b_under as a list entry
};

// A list entry: a source index in the low half, a boundary's bits in the high.
AVX512_FUNCTION
inline __m512i entry_of(__m256i index, __m256 bound) {
    return _mm512_or_si512(_mm512_cvtepu32_epi64(index),
                           _mm512_slli_epi64(_mm512_cvtepu32_epi64(_mm256_castps_si256(bound)), 32));
}

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

// The list records at indices at, one per lane: each record is a list entry
// and its source value, 16 bytes, read with one load per lane. Eight loads
// and a few shuffles cost less here than the two gathers of 64-bit halves.
AVX512_FUNCTION
inline void load_records(__m256i at, const int64_t* records, __m512i& entry, __m512d& f) {
    alignas(32) int32_t index[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(index), at);
    const auto record = [records, &index](int k) {
        return _mm_loadu_si128(
            reinterpret_cast<const __m128i*>(records + 2 * static_cast<std::ptrdiff_t>(index[k])));
    };
    const __m256i r01 = _mm256_inserti128_si256(_mm256_castsi128_si256(record(0)), record(1), 1);
    const __m256i r23 = _mm256_inserti128_si256(_mm256_castsi128_si256(record(2)), record(3), 1);
    const __m256i r45 = _mm256_inserti128_si256(_mm256_castsi128_si256(record(4)), record(5), 1);
    const __m256i r67 = _mm256_inserti128_si256(_mm256_castsi128_si256(record(6)), record(7), 1);
    const __m512i first = _mm512_inserti64x4(_mm512_castsi256_si512(r01), r23, 1);
    const __m512i second = _mm512_inserti64x4(_mm512_castsi256_si512(r45), r67, 1);
    entry = _mm512_permutex2var_epi64(first, _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14), second);
    f = _mm512_castsi512_pd(
        _mm512_permutex2var_epi64(first, _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15), second));
}

// Writes eight lanes' records side by side from records on.
AVX512_FUNCTION
inline void store_records(int64_t* records, __m512i entry, __m512d f) {
    const __m512i bits = _mm512_castpd_si512(f);
    _mm512_storeu_si512(records, _mm512_permutex2var_epi64(
                                     entry, _mm512_setr_epi64(0, 8, 1, 9, 2, 10, 3, 11), bits));
    _mm512_storeu_si512(records + 8, _mm512_permutex2var_epi64(
                                         entry, _mm512_setr_epi64(4, 12, 5, 13, 6, 14, 7, 15), bits));
}

// Lane l's element at index[l] of a map laid out as the source:
// map[index[l] * in_row + l], one load per lane.
AVX512_FUNCTION
inline __m256i load_map(__m256i index, const int32_t* map, std::ptrdiff_t in_row) {
    alignas(32) int32_t at[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(at), index);
    const auto element = [map, in_row, &at](int k) { return map[at[k] * in_row + k]; };
    __m128i low = _mm_cvtsi32_si128(element(0));
    low = _mm_insert_epi32(low, element(1), 1);
    low = _mm_insert_epi32(low, element(2), 2);
    low = _mm_insert_epi32(low, element(3), 3);
    __m128i high = _mm_cvtsi32_si128(element(4));
    high = _mm_insert_epi32(high, element(5), 1);
    high = _mm_insert_epi32(high, element(6), 2);
    high = _mm_insert_epi32(high, element(7), 3);
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

// Lanes set in `mask` step down to the piece under their top; the piece under
// that one is loaded from the list, whose records are 2^lane_shift apart. The
// other lanes load a record too (every list index is a valid one) and keep
// what they had.
AVX512_FUNCTION
inline void step_down(Window& w, __mmask8 mask, __m256i lane, int lane_shift,
                      const int64_t* records) {
    const __m256i at = _mm256_add_epi32(_mm256_slli_epi32(w.under, lane_shift), lane);
    __m512i loaded_entry;
    __m512d loaded_f;
    load_records(at, records, loaded_entry, loaded_f);
    const __m512i next_entry = _mm512_mask_mov_epi64(w.entry_under, mask, loaded_entry);
    const __m512d next_f = _mm512_mask_mov_pd(w.f_under, mask, loaded_f);
    const __m256i next_under = _mm512_cvtepi64_epi32(next_entry);
    const __m256 next_b =
        _mm256_castsi256_ps(_mm512_cvtepi64_epi32(_mm512_srli_epi64(next_entry, 32)));
    w.top = _mm256_mask_mov_epi32(w.top, mask, w.under);
    w.top_d = _mm512_cvtepi32_pd(w.top);
    w.f_top = _mm512_mask_mov_pd(w.f_top, mask, w.f_under);
    w.b_top = _mm256_mask_mov_ps(w.b_top, mask, w.b_under);
    w.under = next_under;
    w.f_under = next_f;
    w.b_under = next_b;
    w.entry_under = next_entry;
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
inline __mmask8 push(Window& w, int32_t q, __m512d qd, __m512d fq, __m256 s, int64_t* records) {
    const __m512i entry = entry_of(w.top, w.b_top);
    store_records(records, entry, w.f_top);
    const __mmask8 irregular = _mm256_cmp_ps_mask(s, w.b_top, _CMP_NGT_UQ);
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    w.entry_under = entry;
    w.top = _mm256_set1_epi32(q);
    w.top_d = qd;
    w.f_top = fq;
    w.b_top = s;
    return irregular;
}

AVX512_FUNCTION
inline void start(Window& w, __m512d f0, int64_t* records) {
    w.top = _mm256_setzero_si256();
    w.top_d = _mm512_setzero_pd();
    w.f_top = f0;
    w.b_top = _mm256_set1_ps(kLowerSentinel);
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    w.entry_under = entry_of(w.top, w.b_top);
    // Piece 0 is never removed; its list record is only ever loaded.
    store_records(records, w.entry_under, w.f_top);
}

// (quad d^2 + lin d) + f(v), d = p - v.
AVX512_FUNCTION
inline __m512d value_at(const Window& w, __m512d p, __m512d quad, __m512d lin) {
    const __m512d d = _mm512_sub_pd(p, w.top_d);
    return _mm512_add_pd(
        _mm512_add_pd(_mm512_mul_pd(quad, _mm512_mul_pd(d, d)), _mm512_mul_pd(lin, d)), w.f_top);
}

// Asks for the cache line that holds `at`.
AVX512_FUNCTION
inline void prefetch(const void* at) {
    _mm_prefetch(static_cast<const char*>(at), _MM_HINT_T0);
}

// W windows of eight lanes each, in step. Chained: the results' indices are
// written counted from chain_base and chain_out receives chain_map's element
// at each chosen source element, plus chain_base.
template <int W, bool Chained>
AVX512_FUNCTION uint32_t lower_envelope_windows(const double* in, std::ptrdiff_t in_row,
                                                int32_t line_len, double quad_coef,
                                                double lin_coef, const int32_t* positions,
                                                const float* thresholds, int32_t out_len,
                                                double* values, int32_t* args,
                                                std::ptrdiff_t out_row, int64_t* records,
                                                const int32_t* chain_map, int32_t* chain_out,
                                                int32_t chain_base) {
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
        start(w[i], _mm512_loadu_pd(in + 8 * i), records + 2 * 8 * i);
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
                step_down(w[i], mask[i], lane[i], kShift, records);
                s[i] = boundary(qd, fq[i], w[i], quad, lin, quad2);
                mask[i] = removable(w[i], s[i]);
                any_lane |= mask[i];
            }
        }
        for (int i = 0; i < W; ++i)
            irregular[i] |= push(w[i], q, qd, fq[i], s[i], records + 2 * (at + 8 * i));
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
                step_down(w[i], mask[i], lane[i], kShift, records);
                mask[i] = above(w[i], threshold);
                any_lane |= mask[i];
            }
        }
        // Ahead of time, 16 positions on: the rows of the chain map that the
        // pieces found there will most likely look up (those of the sources
        // nearest the position). The results' rows are not prefetched: in a
        // column-major map they lie a power of two apart, and lines fetched
        // ahead for them evicted each other from the same cache sets.
        if constexpr (Chained) {
            const int32_t source = positions[j >= 16 ? j - 16 : 0];
            if (source >= 0 && source < line_len)
                for (int i = 0; i < W; i += 2) prefetch(chain_map + source * in_row + 8 * i);
        }
        const __m512d p = _mm512_set1_pd(static_cast<double>(positions[j]));
        const std::ptrdiff_t at = j * out_row;
        for (int i = 0; i < W; ++i) {
            _mm512_storeu_pd(values + at + 8 * i, value_at(w[i], p, quad, lin));
            if constexpr (Chained) {
                const __m256i base = _mm256_set1_epi32(chain_base);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(args + at + 8 * i),
                                    _mm256_add_epi32(w[i].top, base));
                _mm256_storeu_si256(
                    reinterpret_cast<__m256i*>(chain_out + at + 8 * i),
                    _mm256_add_epi32(load_map(w[i].top, chain_map + 8 * i, in_row), base));
            } else {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(args + at + 8 * i), w[i].top);
            }
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
                               std::ptrdiff_t out_row, int64_t* records,
                               const int32_t* chain_map, int32_t* chain_out,
                               int32_t chain_base) {
    const bool chained = chain_map != nullptr;
    const auto run = lanes == 32 ? (chained ? lower_envelope_windows<4, true>
                                            : lower_envelope_windows<4, false>)
                     : lanes == 16 ? (chained ? lower_envelope_windows<2, true>
                                              : lower_envelope_windows<2, false>)
                                   : (chained ? lower_envelope_windows<1, true>
                                              : lower_envelope_windows<1, false>);
    return run(in, in_row, line_len, quad_coef, lin_coef, positions, thresholds, out_len, values,
               args, out_row, records, chain_map, chain_out, chain_base);
}

namespace {

// Columns of the 8 x 8 block of doubles whose rows are r[0..7], in place.
AVX512_FUNCTION
inline void transpose8(__m512d r[8]) {
    __m512d t[8], u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm512_unpacklo_pd(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm512_unpackhi_pd(r[2 * i], r[2 * i + 1]);
    }
    for (int h = 0; h < 2; ++h) {
        u[4 * h + 0] = _mm512_shuffle_f64x2(t[4 * h], t[4 * h + 2], 0x88);
        u[4 * h + 1] = _mm512_shuffle_f64x2(t[4 * h + 1], t[4 * h + 3], 0x88);
        u[4 * h + 2] = _mm512_shuffle_f64x2(t[4 * h], t[4 * h + 2], 0xdd);
        u[4 * h + 3] = _mm512_shuffle_f64x2(t[4 * h + 1], t[4 * h + 3], 0xdd);
    }
    for (int c = 0; c < 4; ++c) {
        r[c] = _mm512_shuffle_f64x2(u[c], u[4 + c], 0x88);
        r[c + 4] = _mm512_shuffle_f64x2(u[c], u[4 + c], 0xdd);
    }
}

// The same for 32-bit integers.
AVX512_FUNCTION
inline void transpose8(__m256i r[8]) {
    __m256i t[8], u[8];
    for (int i = 0; i < 4; ++i) {
        t[2 * i] = _mm256_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
        t[2 * i + 1] = _mm256_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
    }
    for (int h = 0; h < 2; ++h) {
        u[4 * h + 0] = _mm256_unpacklo_epi64(t[4 * h], t[4 * h + 2]);
        u[4 * h + 1] = _mm256_unpackhi_epi64(t[4 * h], t[4 * h + 2]);
        u[4 * h + 2] = _mm256_unpacklo_epi64(t[4 * h + 1], t[4 * h + 3]);
        u[4 * h + 3] = _mm256_unpackhi_epi64(t[4 * h + 1], t[4 * h + 3]);
    }
    for (int c = 0; c < 4; ++c) {
        r[c] = _mm256_permute2x128_si256(u[c], u[4 + c], 0x20);
        r[c + 4] = _mm256_permute2x128_si256(u[c], u[4 + c], 0x31);
    }
}

}  // namespace

AVX512_FUNCTION
void lines_to_block_avx512(const double* in, std::ptrdiff_t in_step, int32_t width,
                           int32_t len, double* block, std::ptrdiff_t block_row) {
    const int32_t whole = len - len % 8;
    for (int32_t l = 0; l < width; l += 8) {
        const double* line = in + l * in_step;
        for (int32_t v = 0; v < whole; v += 8) {
            __m512d r[8];
            for (int i = 0; i < 8; ++i) r[i] = _mm512_loadu_pd(line + i * in_step + v);
            transpose8(r);
            for (int i = 0; i < 8; ++i) _mm512_storeu_pd(block + (v + i) * block_row + l, r[i]);
        }
        for (int32_t v = whole; v < len; ++v)
            for (int i = 0; i < 8; ++i) block[v * block_row + l + i] = line[i * in_step + v];
    }
}

AVX512_FUNCTION
void block_to_lines_avx512(const double* values, const int32_t* args, std::ptrdiff_t block_row,
                           int32_t width, int32_t len, double* out, int32_t* arg,
                           std::ptrdiff_t out_step) {
    const int32_t whole = len - len % 8;
    for (int32_t l = 0; l < width; l += 8) {
        double* out_line = out + l * out_step;
        int32_t* arg_line = arg + l * out_step;
        for (int32_t j = 0; j < whole; j += 8) {
            __m512d r[8];
            __m256i a[8];
            for (int i = 0; i < 8; ++i) {
                r[i] = _mm512_loadu_pd(values + (j + i) * block_row + l);
                a[i] = _mm256_loadu_si256(
                    reinterpret_cast<const __m256i*>(args + (j + i) * block_row + l));
            }
            transpose8(r);
            transpose8(a);
            for (int i = 0; i < 8; ++i) {
                _mm512_storeu_pd(out_line + i * out_step + j, r[i]);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(arg_line + i * out_step + j), a[i]);
            }
        }
        for (int32_t j = whole; j < len; ++j)
            for (int i = 0; i < 8; ++i) {
                out_line[i * out_step + j] = values[j * block_row + l + i];
                arg_line[i * out_step + j] = args[j * block_row + l + i];
            }
    }
}

#else

uint32_t lower_envelope_avx512(int32_t, const double*, std::ptrdiff_t, int32_t, double, double,
                               const int32_t*, const float*, int32_t, double*, int32_t*,
                               std::ptrdiff_t, int64_t*, const int32_t*, int32_t*, int32_t) {
    return 0;
}
void lines_to_block_avx512(const double*, std::ptrdiff_t, int32_t, int32_t, double*,
                           std::ptrdiff_t) {}
void block_to_lines_avx512(const double*, const int32_t*, std::ptrdiff_t, int32_t, int32_t,
                           double*, int32_t*, std::ptrdiff_t) {}

#endif
