// The lower-envelope transform of eight or sixteen lines at once with AVX2
// (this file alone is compiled for AVX2; the caller asks the processor first),
// in windows of four lanes. The lanes start in step: all insert source index
// q, then all evaluate position j. With sixteen lanes four windows' work is in
// flight at once; a removal round skips the windows none of whose lanes
// removes, and in evaluation each window steps down on its own. Where the
// lanes disagree much in construction (on noise), each goes on on its own.
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
// meanwhile. On its own, a lane takes one step at a time, a removal or a
// push, whatever the other lanes do: every step costs as much, but no branch
// depends on the lanes' data, which on noise the processor mispredicts for
// about every index in step.
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

#include <algorithm>

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
// The offsets from `records`, in 64-bit halves, of the records at source
// indices `index` of four lanes: one row of records per source index,
// 2^row_shift halves long, and lane_at the lanes' offsets within a row.
// Offsets stay below 2^32 for line_len + 1 <= 2^26 + 1 rows of 16 lanes.
AVX2_FUNCTION
inline void record_offsets(__m128i index, __m128i lane_at, int row_shift, uint32_t* at) {
    _mm_store_si128(reinterpret_cast<__m128i*>(at),
                    _mm_add_epi32(_mm_slli_epi32(index, row_shift), lane_at));
}

// The list records of four lanes, record k at records + at[k]: the
// piece under the one pushed there, that piece's left boundary and its source
// value, 16 bytes, one load per lane.
AVX2_FUNCTION
inline void load_records(const int64_t* records, const uint32_t* at, __m128i& index,
                         __m128& bound, __m256d& f) {
    const auto record = [records, at](int k) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(records + at[k]));
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

// Stores the records of four lanes, lane k's at records + at[k].
AVX2_FUNCTION
inline void store_records_at(int64_t* records, const uint32_t* at, __m128i index, __m128 bound,
                             __m256d f) {
    const __m128i pairs01 = _mm_unpacklo_epi32(index, _mm_castps_si128(bound));
    const __m128i pairs23 = _mm_unpackhi_epi32(index, _mm_castps_si128(bound));
    const __m128i f01 = _mm_castpd_si128(_mm256_castpd256_pd128(f));
    const __m128i f23 = _mm_castpd_si128(_mm256_extractf128_pd(f, 1));
    const auto store = [records, at](int k, __m128i record) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(records + at[k]), record);
    };
    store(0, _mm_unpacklo_epi64(pairs01, f01));
    store(1, _mm_unpackhi_epi64(pairs01, f01));
    store(2, _mm_unpacklo_epi64(pairs23, f23));
    store(3, _mm_unpackhi_epi64(pairs23, f23));
}

// Lanes set in `mask` step down to the piece under their top; the piece under
// that one is loaded from the list. The other lanes load a record too (every
// list index is a valid one) and keep what they had.
AVX2_FUNCTION
inline void step_down(Window& w, __m128i mask, __m128i lane_at, int row_shift,
                      const int64_t* records) {
    alignas(16) uint32_t at[4];
    record_offsets(w.under, lane_at, row_shift, at);
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

// Where a window's lanes are in construction: the source index each inserts
// next, as an integer and as a double, and its source value.
struct Progress {
    __m128i q;
    __m256d qd;
    __m256d fq;
    __m256i after_at;  // element q + 1 of each lane, counted from the window's source
};

// One step of construction, each lane of the window on its own source index
// q: a lane whose top piece goes (it is not the first piece and the boundary
// s between q and the top is at or below the top's left boundary) steps down
// to the piece under it; every other lane pushes q with boundary s and moves
// on to q + 1. No lane waits for another, so no lane branches. In the Tail
// steps some lanes are done (q = line_len) and keep their state; before them
// every lane is at most at line_len - 2, so that q + 1 lies in every line.
// `in` is the window's first lane's source.
template <bool Tail>
AVX2_FUNCTION inline void construction_step(Window& w, Progress& g, __m128i& irregular,
                                            __m128i lane_at, int row_shift, const double* in,
                                            std::ptrdiff_t in_row, int32_t line_len,
                                            __m256d quad, __m256d lin, __m256d quad2,
                                            int64_t* records) {
    // Loaded ahead of the step, whichever way it goes: the record under the
    // piece under the top (for lanes that remove) and the source value at
    // q + 1 (for lanes that push).
    alignas(16) int32_t q_at[4];
    alignas(16) uint32_t under_at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(q_at), g.q);
    record_offsets(w.under, lane_at, row_shift, under_at);
    __m128i loaded_under;
    __m128 loaded_b;
    __m256d loaded_f;
    load_records(records, under_at, loaded_under, loaded_b, loaded_f);
    __m256d f_next;
    if (Tail) {
        const auto value_after = [in, in_row, line_len, &q_at](int k) {
            const int32_t next = std::min(q_at[k] + 1, line_len - 1);
            return in + static_cast<std::ptrdiff_t>(next) * in_row + k;
        };
        const __m128d f01 = _mm_loadh_pd(_mm_load_sd(value_after(0)), value_after(1));
        const __m128d f23 = _mm_loadh_pd(_mm_load_sd(value_after(2)), value_after(3));
        f_next = _mm256_insertf128_pd(_mm256_castpd128_pd256(f01), f23, 1);
    } else {
        // Stored and read back as integers: there is no instruction that
        // moves a 64-bit element to a register in 32-bit code.
        alignas(32) int64_t after[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(after), g.after_at);
        const auto value_after = [in, &after](int k) {
            return in + static_cast<std::ptrdiff_t>(after[k]);
        };
        // The lanes read their sources each at its own index, which the
        // processor does not foresee: the first lane's source 8 indices on
        // is fetched ahead (the window's other lanes are near it). That may
        // lie past the line; a prefetch never faults, and the address is
        // formed in integers, with wrap-around, not as a pointer.
        const uintptr_t ahead = reinterpret_cast<uintptr_t>(value_after(0)) +
                                static_cast<uintptr_t>(in_row) * (8 * sizeof(double));
        _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
        const __m128d f01 = _mm_loadh_pd(_mm_load_sd(value_after(0)), value_after(1));
        const __m128d f23 = _mm_loadh_pd(_mm_load_sd(value_after(2)), value_after(3));
        f_next = _mm256_insertf128_pd(_mm256_castpd128_pd256(f01), f23, 1);
    }

    const __m128 s = boundary(g.qd, g.fq, w, quad, lin, quad2);
    __m128i remove = removable(w, s);
    __m128i active = _mm_set1_epi32(-1);
    if (Tail) {
        active = _mm_cmpgt_epi32(_mm_set1_epi32(line_len), g.q);
        remove = _mm_and_si128(remove, active);
    }
    const __m128i push = _mm_andnot_si128(remove, active);
    irregular = _mm_or_si128(
        irregular, _mm_and_si128(push, _mm_castps_si128(_mm_cmp_ps(s, w.b_top, _CMP_NGT_UQ))));
    // The top's record goes to q's slot on every step; the push's is the
    // last. (A lane that is done writes the slot after its line's last.)
    alignas(16) uint32_t slot[4];
    record_offsets(g.q, lane_at, row_shift, slot);
    store_records_at(records, slot, w.top, w.b_top, w.f_top);

    const __m256d remove_wide = widen(remove);
    Window next;
    next.top = _mm_blendv_epi8(g.q, w.under, remove);
    next.top_d = _mm256_blendv_pd(g.qd, _mm256_cvtepi32_pd(w.under), remove_wide);
    next.f_top = _mm256_blendv_pd(g.fq, w.f_under, remove_wide);
    next.b_top = _mm_blendv_ps(s, w.b_under, _mm_castsi128_ps(remove));
    next.under = _mm_blendv_epi8(w.top, loaded_under, remove);
    next.f_under = _mm256_blendv_pd(w.f_top, loaded_f, remove_wide);
    next.b_under = _mm_blendv_ps(w.b_top, loaded_b, _mm_castsi128_ps(remove));
    Progress after;
    after.q = _mm_sub_epi32(g.q, push);
    after.qd = _mm256_cvtepi32_pd(after.q);
    const __m256d push_wide = widen(push);
    after.fq = _mm256_blendv_pd(g.fq, f_next, push_wide);
    after.after_at = _mm256_add_epi64(
        g.after_at, _mm256_and_si256(_mm256_castpd_si256(push_wide), _mm256_set1_epi64x(in_row)));
    if (Tail) {
        const __m256d active_wide = widen(active);
        const __m128 active_ps = _mm_castsi128_ps(active);
        next.top = _mm_blendv_epi8(w.top, next.top, active);
        next.top_d = _mm256_blendv_pd(w.top_d, next.top_d, active_wide);
        next.f_top = _mm256_blendv_pd(w.f_top, next.f_top, active_wide);
        next.b_top = _mm_blendv_ps(w.b_top, next.b_top, active_ps);
        next.under = _mm_blendv_epi8(w.under, next.under, active);
        next.f_under = _mm256_blendv_pd(w.f_under, next.f_under, active_wide);
        next.b_under = _mm_blendv_ps(w.b_under, next.b_under, active_ps);
    }
    w = next;
    g = after;
}

// Inserts source indices first .. end - 1 into the envelopes of W windows
// with all lanes in step: for each index q, the boundary with each lane's
// top; while some lane's top goes, a removal round (skipping the windows none
// of whose lanes removes); then every lane pushes q. Returns the number of
// removal rounds.
template <int W>
AVX2_FUNCTION int64_t insert_in_step(Window* w, __m128i* irregular, const __m128i* lane_at,
                                     const double* in, std::ptrdiff_t in_row, int32_t first,
                                     int32_t end, __m256d quad, __m256d lin, __m256d quad2,
                                     int64_t* records) {
    constexpr std::ptrdiff_t L = 4 * W;
    constexpr int kRowShift = W == 4 ? 5 : 4;  // log2(2 L): a row of records in halves
    int64_t rounds = 0;
    __m128i mask[W];
    for (int32_t q = first; q < end; ++q) {
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
            ++rounds;
            any_lane = _mm_setzero_si128();
            for (int i = 0; i < W; ++i) {
                if (_mm_testz_si128(mask[i], mask[i])) continue;
                step_down(w[i], mask[i], lane_at[i], kRowShift, records);
                s[i] = boundary(qd, fq[i], w[i], quad, lin, quad2);
                mask[i] = removable(w[i], s[i]);
                any_lane = _mm_or_si128(any_lane, mask[i]);
            }
        }
        for (int i = 0; i < W; ++i)
            irregular[i] = _mm_or_si128(
                irregular[i], push(w[i], q, qd, fq[i], s[i], records + 2 * (at + 4 * i)));
    }
    return rounds;
}

// Inserts source indices first .. line_len - 1 (first >= 1) into the
// envelopes of W windows with each lane on its own (construction_step):
// steps while every lane is at most at line_len - 2, then steps with the
// lanes that are done held until all are.
template <int W>
AVX2_FUNCTION void insert_apart(Window* w, __m128i* irregular, const __m128i* lane_at,
                                const double* in, std::ptrdiff_t in_row, int32_t first,
                                int32_t line_len, __m256d quad, __m256d lin, __m256d quad2,
                                int64_t* records) {
    constexpr int kRowShift = W == 4 ? 5 : 4;  // log2(8 W): a row of records in halves
    Progress g[W];
    for (int i = 0; i < W; ++i) {
        g[i].q = _mm_set1_epi32(first);
        g[i].qd = _mm256_set1_pd(static_cast<double>(first));
        g[i].fq = _mm256_loadu_pd(in + first * in_row + 4 * i);
        g[i].after_at = _mm256_add_epi64(_mm256_set1_epi64x((first + 1) * in_row),
                                         _mm256_setr_epi64x(0, 1, 2, 3));
    }
    const __m128i last = _mm_set1_epi32(line_len - 2);
    bool ahead = first <= line_len - 2;
    while (ahead) {
        __m128i beyond = _mm_setzero_si128();
        for (int i = 0; i < W; ++i) {
            construction_step<false>(w[i], g[i], irregular[i], lane_at[i], kRowShift, in + 4 * i,
                                     in_row, line_len, quad, lin, quad2, records);
            beyond = _mm_or_si128(beyond, _mm_cmpgt_epi32(g[i].q, last));
        }
        ahead = _mm_testz_si128(beyond, beyond);
    }
    const __m128i end = _mm_set1_epi32(line_len);
    bool open = true;
    while (open) {
        __m128i going = _mm_setzero_si128();
        for (int i = 0; i < W; ++i) {
            construction_step<true>(w[i], g[i], irregular[i], lane_at[i], kRowShift, in + 4 * i,
                                    in_row, line_len, quad, lin, quad2, records);
            going = _mm_or_si128(going, _mm_cmpgt_epi32(end, g[i].q));
        }
        open = !_mm_testz_si128(going, going);
    }
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
    constexpr int kRowShift = W == 4 ? 5 : 4;  // log2(2 L): a row of records in halves
    static_assert(W == 2 || W == 4, "eight or sixteen lanes");
    const __m256d quad = _mm256_set1_pd(quad_coef);
    const __m256d lin = _mm256_set1_pd(lin_coef);
    const __m256d quad2 = _mm256_set1_pd(quad_coef + quad_coef);

    // Lanes 4w .. 4w + 3 in window w.
    Window w[W];
    __m128i lane_at[W], irregular[W], mask[W];
    for (int i = 0; i < W; ++i) {
        lane_at[i] = _mm_add_epi32(_mm_setr_epi32(0, 2, 4, 6), _mm_set1_epi32(8 * i));
        irregular[i] = _mm_setzero_si128();
        start(w[i], _mm256_loadu_pd(in + 4 * i), records + 2 * (4 * i));
    }

    // Construction. The lanes insert the source indices in step; where they
    // disagree much, as on noise (more than two removal rounds per index over
    // the first kTrial indices, against about one and a third on a smooth
    // map), each lane goes on on its own from there, which spares the
    // branches that the lanes' disagreement makes unpredictable.
    constexpr int32_t kTrial = 64;
    const bool may_part = line_len > 4 * kTrial;
    const int32_t trial = may_part ? kTrial : line_len;
    const int64_t rounds = insert_in_step<W>(w, irregular, lane_at, in, in_row, 1, trial, quad, lin,
                                             quad2, records);
    if (trial < line_len) {
        if (rounds > 2 * int64_t{trial - 1})
            insert_apart<W>(w, irregular, lane_at, in, in_row, trial, line_len, quad, lin, quad2,
                            records);
        else
            insert_in_step<W>(w, irregular, lane_at, in, in_row, trial, line_len, quad, lin, quad2,
                              records);
    }

    for (int32_t j = out_len - 1; j >= 0; --j) {
        const __m128 threshold = _mm_set1_ps(thresholds[j]);
        // Each window walks down on its own: a window whose lanes all stay
        // does not wait for the others' loads.
        for (int i = 0; i < W; ++i) {
            mask[i] = above(w[i], threshold);
            while (_mm_movemask_epi8(mask[i]) != 0) {
                step_down(w[i], mask[i], lane_at[i], kRowShift, records);
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

AVX2_FUNCTION
void chain_run_avx2(int32_t* arg, int32_t* out, const int32_t* map, std::ptrdiff_t count,
                    int32_t base) {
    const __m256i base8 = _mm256_set1_epi32(base);
    std::ptrdiff_t j = 0;
    for (; j + 8 <= count; j += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(arg + j));
        const __m256i chained = _mm256_i32gather_epi32(map, v, 4);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + j), _mm256_add_epi32(chained, base8));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(arg + j), _mm256_add_epi32(v, base8));
    }
    for (; j < count; ++j) {
        const int32_t v = arg[j];
        out[j] = map[v] + base;
        arg[j] = v + base;
    }
}

#else

void chain_run_avx2(int32_t*, int32_t*, const int32_t*, std::ptrdiff_t, int32_t) {}
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
