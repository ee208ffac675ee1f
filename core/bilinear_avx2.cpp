// The bilinear kernel, and the affine grid of patchwarp sampled through it,
// four elements at a time with AVX2 (this file alone is compiled for AVX2;
// the callers ask the processor first).
//
// Clamping is max(0, x) then min(xmax, x) with the bound as the first operand,
// which keeps -0.0 and turns every value outside into exactly +0.0 or xmax, as
// the scalar rule does; a NaN coordinate passes both and marks the element,
// whose result becomes the quiet NaN while its position is replaced by 0 so
// that no read leaves the image.
//
// In column pairs, the two rows of a column are read as one 16-byte pair
// starting at row r0, or at row r0 - 1 on the last row (where r1 = r0), so
// every read stays inside the column; this needs at least two rows. In row
// pairs (an image whose columns lie side by side, as a C-ordered one) the two
// columns of a row are read the same way, and this needs two columns. Only
// the loads differ: the neighbours and the arithmetic are the same. On an
// image larger than the cache gridlerp computes the positions 32 elements
// ahead once more to prefetch their two lines, so that many cache and TLB
// misses are in flight at once; patchwarp's positions move smoothly over the
// image, and it asks only for the cache line next to the ones it reads in the
// direction its reads go (see stream_ahead_bytes).
#include <cmath>

#include "bilinear_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_AVX2
#include <immintrin.h>

namespace {

constexpr std::ptrdiff_t kPrefetchAhead = 32;

// The four 32-bit lanes of `v`, each a non-negative element index (or, for a
// prefetch only, anything). Two 64-bit moves split by shifts are cheaper than
// four lane extractions or a round trip through memory.
AVX2_FUNCTION
inline void lanes(__m128i v, int32_t lane[4]) {
#if defined(__x86_64__) || defined(_M_X64)
    const uint64_t low = static_cast<uint64_t>(_mm_cvtsi128_si64(v));
    const uint64_t high = static_cast<uint64_t>(_mm_extract_epi64(v, 1));
    lane[0] = static_cast<int32_t>(static_cast<uint32_t>(low));
    lane[1] = static_cast<int32_t>(static_cast<uint32_t>(low >> 32));
    lane[2] = static_cast<int32_t>(static_cast<uint32_t>(high));
    lane[3] = static_cast<int32_t>(static_cast<uint32_t>(high >> 32));
#else
    lane[0] = _mm_cvtsi128_si32(v);
    lane[1] = _mm_extract_epi32(v, 1);
    lane[2] = _mm_extract_epi32(v, 2);
    lane[3] = _mm_extract_epi32(v, 3);
#endif
}

// An image and the constants of sampling it. The pairs lie along the inner
// coordinate (the row in column pairs, the column in row pairs); the next
// pair along the outer one is outer_step elements on.
struct Image {
    const double* data;
    int32_t outer_step;
    __m256d zero, one, xmax, ymax, quiet_nan;
    __m128i last_col, last_row, outer, minus_one;
};

AVX2_FUNCTION
Image image_of(const PairedImage& image) {
    Image im;
    im.data = image.data;
    im.outer_step = image.down == 1 ? image.across : image.down;
    im.zero = _mm256_setzero_pd();
    im.one = _mm256_set1_pd(1.0);
    im.xmax = _mm256_set1_pd(static_cast<double>(image.cols) - 1.0);
    im.ymax = _mm256_set1_pd(static_cast<double>(image.rows) - 1.0);
    im.quiet_nan = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7ff8000000000000LL));
    im.last_col = _mm_set1_epi32(image.cols - 1);
    im.last_row = _mm_set1_epi32(image.rows - 1);
    im.outer = _mm_set1_epi32(im.outer_step);
    im.minus_one = _mm_set1_epi32(-1);
    return im;
}

// Whether the image has the two elements along its pairs these paths need.
inline bool pairs_fit(const PairedImage& image) {
    return image.down == 1 ? image.rows >= 2 : image.cols >= 2;
}

// Clamps four pairs onto the image; returns the lanes whose pair has a NaN
// coordinate, whose position becomes (0, 0).
AVX2_FUNCTION
inline __m256d clamp(const Image& im, __m256d& x, __m256d& y) {
    const __m256d no_position = _mm256_cmp_pd(x, y, _CMP_UNORD_Q);
    x = _mm256_andnot_pd(no_position, _mm256_min_pd(im.xmax, _mm256_max_pd(im.zero, x)));
    y = _mm256_andnot_pd(no_position, _mm256_min_pd(im.ymax, _mm256_max_pd(im.zero, y)));
    return no_position;
}

// The 16-byte pairs at data + a (low half) and data + b (high half).
AVX2_FUNCTION
inline __m256d two_pairs(const double* data, int32_t a, int32_t b) {
    return _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(data + a)),
                                _mm_loadu_pd(data + b), 1);
}

// The pairs starting at first[0..3] and the pairs starting at second[0..3]
// as each pair's lower element (the element at its start) and upper one, in
// lane order. Lanes 0 and 2 are loaded into one register, 1 and 3 into the
// other, and unpacked.
AVX2_FUNCTION
inline void load_pairs(const double* first_data, const int32_t first[4],
                       const double* second_data, const int32_t second[4], __m256d& lower0,
                       __m256d& upper0, __m256d& lower1, __m256d& upper1) {
    const __m256d even0 = two_pairs(first_data, first[0], first[2]);
    const __m256d odd0 = two_pairs(first_data, first[1], first[3]);
    const __m256d even1 = two_pairs(second_data, second[0], second[2]);
    const __m256d odd1 = two_pairs(second_data, second[1], second[3]);
    lower0 = _mm256_unpacklo_pd(even0, odd0);
    upper0 = _mm256_unpackhi_pd(even0, odd0);
    lower1 = _mm256_unpacklo_pd(even1, odd1);
    upper1 = _mm256_unpackhi_pd(even1, odd1);
}

// Asks for the cache line `ahead` bytes on from element `at` of the image
// and from the element outer_step after it. A prefetch never faults; the
// address is formed in integers, with wrap-around, not as a pointer.
AVX2_FUNCTION
inline void prefetch_stream(const Image& im, int32_t at, uintptr_t ahead) {
    const uintptr_t p = reinterpret_cast<uintptr_t>(im.data) + ahead +
                        static_cast<uintptr_t>(static_cast<intptr_t>(at)) * sizeof(double);
    const uintptr_t line_bytes = static_cast<uintptr_t>(im.outer_step) * sizeof(double);
    _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
    _mm_prefetch(reinterpret_cast<const char*>(p + line_bytes), _MM_HINT_T0);
}

// The bilinear samples at four clamped positions; the quiet NaN where
// `no_position` is set. RowPairs reads the image in row pairs.
//
// Where every lane has a position with a next row and a next column (as good
// as every step of patchwarp, whose positions move smoothly), the second pair
// of each lane is outer_step elements after its first and nothing is blended:
// this shortcut takes a branch on the step, which pays where the branch
// follows a pattern (patchwarp, and an image in the cache, where the loads'
// latency is the limit) and not for scattered positions on a large image,
// which leave it off (Shortcut false).
//
// With `ahead` (patchwarp), it also asks for the cache lines that many bytes
// on from the pairs of lane 0 (see stream_ahead_bytes); the four positions
// of a step lie within a few elements of each other. Without MayBeNaN the
// caller knows that no position is NaN, and `no_position` is not read.
template <bool RowPairs, bool Shortcut = true, bool MayBeNaN = true>
AVX2_FUNCTION
inline __m256d sample(const Image& im, __m256d x, __m256d y, __m256d no_position,
                      uintptr_t ahead = 0) {
    const __m128i c0 = _mm256_cvttpd_epi32(x);
    const __m128i r0 = _mm256_cvttpd_epi32(y);
    const __m256d fx = _mm256_sub_pd(x, _mm256_cvtepi32_pd(c0));
    const __m256d fy = _mm256_sub_pd(y, _mm256_cvtepi32_pd(r0));
    // All ones where a next column (row) exists, 0 on the last one.
    const __m128i next_col = _mm_cmpgt_epi32(im.last_col, c0);
    const __m128i next_row = _mm_cmpgt_epi32(im.last_row, r0);
    const __m128i inner = RowPairs ? c0 : r0;
    const __m128i outer = RowPairs ? r0 : c0;
    const __m128i next_inner = RowPairs ? next_col : next_row;
    const __m128i next_outer = RowPairs ? next_row : next_col;
    const __m128i start = _mm_add_epi32(inner, _mm_mullo_epi32(outer, im.outer));
    __m256d lower0, upper0, lower1, upper1;
    bool interior = false;
    if (Shortcut) {
        interior =
            _mm_movemask_ps(_mm_castsi128_ps(_mm_and_si128(next_col, next_row))) == 0xF &&
            (!MayBeNaN || _mm256_testz_pd(no_position, no_position));
    }
    if (interior) {
        int32_t first[4];
        lanes(start, first);
        if (ahead != 0) prefetch_stream(im, first[0], ahead);
        load_pairs(im.data, first, im.data + im.outer_step, first, lower0, upper0, lower1,
                   upper1);
    } else {
        // Start of each pair on the position's outer line and on the next
        // one; on the last inner element the pair starts one element back,
        // and its upper element is the position's.
        const __m128i pair0 = _mm_add_epi32(start, _mm_andnot_si128(next_inner, im.minus_one));
        const __m128i pair1 = _mm_add_epi32(pair0, _mm_and_si128(next_outer, im.outer));
        int32_t first[4], second[4];
        lanes(pair0, first);
        lanes(pair1, second);
        if (ahead != 0) {
            prefetch_stream(im, first[0], ahead);
            prefetch_stream(im, first[3], ahead);
        }
        load_pairs(im.data, first, im.data, second, lower0, upper0, lower1, upper1);
        const __m256d lower_kept = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(next_inner));
        lower0 = _mm256_blendv_pd(upper0, lower0, lower_kept);
        lower1 = _mm256_blendv_pd(upper1, lower1, lower_kept);
    }
    // Column pairs: the first pair is column c0 (rows r0, r1), the second
    // column c1. Row pairs: the first is row r0 (columns c0, c1), the second
    // row r1.
    const __m256d v00 = lower0;
    const __m256d v10 = RowPairs ? lower1 : upper0;
    const __m256d v01 = RowPairs ? upper0 : lower1;
    const __m256d v11 = upper1;

    const __m256d gy = _mm256_sub_pd(im.one, fy);
    const __m256d gx = _mm256_sub_pd(im.one, fx);
    const __m256d s0 = _mm256_add_pd(_mm256_mul_pd(fy, v10), _mm256_mul_pd(gy, v00));
    const __m256d s1 = _mm256_add_pd(_mm256_mul_pd(fy, v11), _mm256_mul_pd(gy, v01));
    const __m256d value = _mm256_add_pd(_mm256_mul_pd(gx, s0), _mm256_mul_pd(fx, s1));
    if (!MayBeNaN || interior) return value;
    return _mm256_blendv_pd(value, im.quiet_nan, no_position);
}

// Prefetches the two outer lines around each of four positions.
template <bool RowPairs>
AVX2_FUNCTION
inline void prefetch(const Image& im, __m256d x, __m256d y) {
    x = _mm256_min_pd(im.xmax, _mm256_max_pd(im.zero, x));
    y = _mm256_min_pd(im.ymax, _mm256_max_pd(im.zero, y));
    const __m128i c = _mm256_cvttpd_epi32(x);
    const __m128i r = _mm256_cvttpd_epi32(y);
    const __m128i at = RowPairs ? _mm_add_epi32(c, _mm_mullo_epi32(r, im.outer))
                                : _mm_add_epi32(r, _mm_mullo_epi32(c, im.outer));
    int32_t first[4];
    lanes(at, first);
    // A NaN coordinate gives a wild address here; a prefetch never faults,
    // and the address is formed in integers, not as a pointer.
    const uintptr_t base = reinterpret_cast<uintptr_t>(im.data);
    const uintptr_t line_bytes = static_cast<uintptr_t>(im.outer_step) * sizeof(double);
    for (int lane = 0; lane < 4; ++lane) {
        const uintptr_t p =
            base + static_cast<uintptr_t>(static_cast<intptr_t>(first[lane])) * sizeof(double);
        _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(p + line_bytes), _MM_HINT_T0);
    }
}

template <bool Prefetch, bool RowPairs>
AVX2_FUNCTION
std::ptrdiff_t sample_four_at_a_time(const Image& im, const double* X, const double* Y,
                                     double* out, std::ptrdiff_t count) {
    const std::ptrdiff_t done = count - count % 4;
    std::ptrdiff_t k = 0;
    if (!Prefetch) {
        // Two steps at once, whose loads interleave (an image in the cache
        // leaves the loads' latency as the limit).
        for (; k + 8 <= done; k += 8) {
            __m256d x0 = _mm256_loadu_pd(X + k), y0 = _mm256_loadu_pd(Y + k);
            __m256d x1 = _mm256_loadu_pd(X + k + 4), y1 = _mm256_loadu_pd(Y + k + 4);
            const __m256d no_position0 = clamp(im, x0, y0);
            const __m256d no_position1 = clamp(im, x1, y1);
            const __m256d value0 = sample<RowPairs>(im, x0, y0, no_position0);
            const __m256d value1 = sample<RowPairs>(im, x1, y1, no_position1);
            _mm256_storeu_pd(out + k, value0);
            _mm256_storeu_pd(out + k + 4, value1);
        }
    }
    for (; k < done; k += 4) {
        if (Prefetch && k + kPrefetchAhead < done)
            prefetch<RowPairs>(im, _mm256_loadu_pd(X + k + kPrefetchAhead),
                               _mm256_loadu_pd(Y + k + kPrefetchAhead));
        __m256d x = _mm256_loadu_pd(X + k);
        __m256d y = _mm256_loadu_pd(Y + k);
        const __m256d no_position = clamp(im, x, y);
        _mm256_storeu_pd(out + k, sample<RowPairs, !Prefetch>(im, x, y, no_position));
    }
    return done;
}

// The terms of patchwarp's positions shared by the cells of one grid column.
struct ColumnTerms {
    __m256d x_dx, y_dx;     // A0 dx and A1 dx, dx = j - (N - 1) / 2
    __m256d a2, a3, a4, a5;
    __m256d half_rows;      // (M - 1) / 2
};

// Four cells of a grid column, rows i (exact in double): each position
// (A0 dx + A2 dy) + A4, (A1 dx + A3 dy) + A5 with dy = i - (M - 1) / 2,
// clamped, into X and Y, and its sample into out. The first `stored` cells
// are stored (all four, or fewer at either end of a column); the others were
// computed at positions clamped onto the image and are dropped. Without
// MayBeNaN the caller knows that no position of the step is NaN
// (column_without_nan), and no lane needs marking.
template <bool RowPairs, bool MayBeNaN>
AVX2_FUNCTION
inline void patchwarp_step(const Image& im, const ColumnTerms& t, __m256d i, uintptr_t ahead,
                           double* out, double* X, double* Y, int32_t stored) {
    const __m256d dy = _mm256_sub_pd(i, t.half_rows);
    __m256d x = _mm256_add_pd(_mm256_add_pd(t.x_dx, _mm256_mul_pd(t.a2, dy)), t.a4);
    __m256d y = _mm256_add_pd(_mm256_add_pd(t.y_dx, _mm256_mul_pd(t.a3, dy)), t.a5);
    __m256d value;
    if (!MayBeNaN) {
        x = _mm256_min_pd(im.xmax, _mm256_max_pd(im.zero, x));
        y = _mm256_min_pd(im.ymax, _mm256_max_pd(im.zero, y));
        value = sample<RowPairs, true, false>(im, x, y, im.zero, ahead);
    } else {
        const __m256d no_position = clamp(im, x, y);
        value = sample<RowPairs>(im, x, y, no_position, ahead);
        // A pair with a NaN coordinate is stored as NaN in both.
        if (!_mm256_testz_pd(no_position, no_position)) {
            x = _mm256_blendv_pd(x, im.quiet_nan, no_position);
            y = _mm256_blendv_pd(y, im.quiet_nan, no_position);
        }
    }
    if (stored == 4) {
        _mm256_storeu_pd(out, value);
        _mm256_storeu_pd(X, x);
        _mm256_storeu_pd(Y, y);
    } else {
        const __m256i keep =
            _mm256_cmpgt_epi64(_mm256_set1_epi64x(stored), _mm256_setr_epi64x(0, 1, 2, 3));
        _mm256_maskstore_pd(out, keep, value);
        _mm256_maskstore_pd(X, keep, x);
        _mm256_maskstore_pd(Y, keep, y);
    }
}

// Whether no position of a grid column can be NaN, whatever its row: with
// A2 .. A5 and the column's A0 dx and A1 dx finite, each term of a coordinate
// (A2 dy, A0 dx + A2 dy, and the coordinate) is finite, or infinite where it
// overflows, but never NaN. Clamping takes an infinite coordinate onto the
// image as it takes any other.
inline bool column_without_nan(double x_dx, double y_dx, const double* A) {
    return std::isfinite(x_dx) && std::isfinite(y_dx) && std::isfinite(A[2]) &&
           std::isfinite(A[3]) && std::isfinite(A[4]) && std::isfinite(A[5]);
}

// The cells of one grid column, whose first cell out, X and Y point at.
template <bool RowPairs, bool MayBeNaN>
AVX2_FUNCTION
inline void patchwarp_column(const Image& im, const ColumnTerms& t, uintptr_t ahead, int32_t M,
                             double* out, double* X, double* Y) {
    const __m256d four = _mm256_set1_pd(4.0);
    // A 32-byte store that straddles two cache lines costs about as much as
    // two, so a column whose first cell does not start a 32-byte stretch of
    // `out` first takes the cells before the next one, which aligns the rest
    // (of X and Y too where they sit alike).
    int32_t row =
        static_cast<int32_t>((4 - reinterpret_cast<uintptr_t>(out) / sizeof(double) % 4) % 4);
    if (row > M) row = M;
    // The row numbers i are exact in double.
    __m256d i = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
    if (row > 0) {
        patchwarp_step<RowPairs, MayBeNaN>(im, t, i, ahead, out, X, Y, row);
        i = _mm256_add_pd(i, _mm256_set1_pd(static_cast<double>(row)));
    }
    for (; M - row >= 4; row += 4, i = _mm256_add_pd(i, four))
        patchwarp_step<RowPairs, MayBeNaN>(im, t, i, ahead, out + row, X + row, Y + row, 4);
    if (row < M)
        patchwarp_step<RowPairs, MayBeNaN>(im, t, i, ahead, out + row, X + row, Y + row, M - row);
}

template <bool RowPairs>
AVX2_FUNCTION
void patchwarp_cells(const Image& im, int32_t M, int32_t N, const double* A, double* out,
                     double* X, double* Y, int32_t col_begin, int32_t col_end) {
    const double half_cols = (static_cast<double>(N) - 1.0) * 0.5;
    const double half_rows = (static_cast<double>(M) - 1.0) * 0.5;
    ColumnTerms t;
    t.half_rows = _mm256_set1_pd(half_rows);
    t.a2 = _mm256_set1_pd(A[2]);
    t.a3 = _mm256_set1_pd(A[3]);
    t.a4 = _mm256_set1_pd(A[4]);
    t.a5 = _mm256_set1_pd(A[5]);
    const uintptr_t ahead = stream_ahead_bytes(A, RowPairs);
    // i + j * M: the cells in storage order
    std::ptrdiff_t k = static_cast<std::ptrdiff_t>(col_begin) * M;
    for (int32_t j = col_begin; j < col_end; ++j, k += M) {
        const double dx = static_cast<double>(j) - half_cols;
        const double x_dx = A[0] * dx, y_dx = A[1] * dx;
        t.x_dx = _mm256_set1_pd(x_dx);
        t.y_dx = _mm256_set1_pd(y_dx);
        if (column_without_nan(x_dx, y_dx, A))
            patchwarp_column<RowPairs, false>(im, t, ahead, M, out + k, X + k, Y + k);
        else
            patchwarp_column<RowPairs, true>(im, t, ahead, M, out + k, X + k, Y + k);
    }
}

}  // namespace

AVX2_FUNCTION
std::ptrdiff_t sample_grid_avx2(const PairedImage& image, const double* X, const double* Y,
                                double* out, std::ptrdiff_t count) {
    if (!pairs_fit(image)) return 0;
    const Image im = image_of(image);
    const bool row_pairs = image.down != 1;
    // Prefetching pays once the image outgrows the second-level cache.
    if (static_cast<int64_t>(image.rows) * image.cols > 65536)
        return row_pairs ? sample_four_at_a_time<true, true>(im, X, Y, out, count)
                         : sample_four_at_a_time<true, false>(im, X, Y, out, count);
    return row_pairs ? sample_four_at_a_time<false, true>(im, X, Y, out, count)
                     : sample_four_at_a_time<false, false>(im, X, Y, out, count);
}

AVX2_FUNCTION
void patchwarp_avx2(const PairedImage& image, int32_t M, int32_t N, const double* A,
                    double* out, double* X, double* Y, int32_t col_begin, int32_t col_end) {
    const Image im = image_of(image);
    if (image.down != 1) {
        patchwarp_cells<true>(im, M, N, A, out, X, Y, col_begin, col_end);
    } else {
        patchwarp_cells<false>(im, M, N, A, out, X, Y, col_begin, col_end);
    }
}

#else

std::ptrdiff_t sample_grid_avx2(const PairedImage&, const double*, const double*, double*,
                                std::ptrdiff_t) {
    return 0;
}

void patchwarp_avx2(const PairedImage&, int32_t, int32_t, const double*, double*, double*,
                    double*, int32_t, int32_t) {}

#endif
