// The bilinear kernel, and the affine grid of patchwarp sampled through it,
// eight elements at a time with AVX-512 (this file alone is compiled for
// AVX-512; the callers ask the processor first).
//
// Clamping is max(0, x) then min(xmax, x) with the bound as the first operand,
// which keeps -0.0 and turns every value outside into exactly +0.0 or xmax, as
// the scalar rule does; a NaN coordinate marks the element, whose result
// becomes the quiet NaN while its position is replaced by 0 so that no read
// leaves the image. The sample blends the rows within each column before the
// columns: the scalar path's operations in its order.
//
// The two rows of a column are one 16-byte pair starting at row r0, or at
// r0 - 1 on the last row (where r1 = r0): two loads per element, no gather;
// this needs at least two rows. An image whose columns lie side by side (row
// pairs, as a C-ordered one) is read the same way along its rows, and needs
// two columns; only the loads differ. A 64-byte store that straddles two cache lines
// costs about as much as two, so the first step stores only the elements up
// to the first 64-byte boundary of `out` (which aligns X and Y too where they
// sit alike), and the last one only the elements that are left. (Streaming
// stores were slower on the processors measured, even for results larger than
// the cache.) gridlerp takes four steps per round, whose work interleaves.
//
// patchwarp visits its cells in storage order, eight consecutive ones per
// step, each lane keeping its own row i and column j (a step that passes the
// end of a column carries the lanes concerned into the next one), so a
// column's end needs no partial step. Per cell: dx = j - (N - 1) / 2 and
// dy = i - (M - 1) / 2 (exact), and the position (A0 dx + A2 dy) + A4,
// (A1 dx + A3 dy) + A5; A0 dx and A1 dx are formed again only when a lane
// enters a new column. Consecutive cells of a grid column lie close together
// on the image when A2 and A3 are small, so patchwarp loads, for each half of
// a step, a window of three image lines of four elements along its pairs
// around its positions and picks the neighbours from it with permutes
// (sample_windowed); a step whose positions do not fit takes the two loads
// per cell above.
#include "bilinear_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_AVX512
#include "avx512_intrinsics.h"

namespace {

// An image and the constants of sampling it. The pairs lie along the inner
// coordinate (the row in column pairs, the column in row pairs); the next
// pair along the outer one is outer_step elements on.
struct Image {
    const double* data;
    std::ptrdiff_t outer_step;
    __m512d zero, one, xmax, ymax, quiet_nan;
    __m256i last_col, last_row, outer, minus_one;
};

AVX512_FUNCTION
Image image_of(const PairedImage& image) {
    Image im;
    im.data = image.data;
    im.outer_step = image.down == 1 ? image.across : image.down;
    im.zero = _mm512_setzero_pd();
    im.one = _mm512_set1_pd(1.0);
    im.xmax = _mm512_set1_pd(static_cast<double>(image.cols) - 1.0);
    im.ymax = _mm512_set1_pd(static_cast<double>(image.rows) - 1.0);
    im.quiet_nan = _mm512_castsi512_pd(_mm512_set1_epi64(0x7ff8000000000000LL));
    im.last_col = _mm256_set1_epi32(image.cols - 1);
    im.last_row = _mm256_set1_epi32(image.rows - 1);
    im.outer = _mm256_set1_epi32(static_cast<int32_t>(im.outer_step));
    im.minus_one = _mm256_set1_epi32(-1);
    return im;
}

// Whether the image has the two elements along its pairs these paths need.
inline bool pairs_fit(const PairedImage& image) {
    return image.down == 1 ? image.rows >= 2 : image.cols >= 2;
}

// Clamps eight pairs onto the image; returns the lanes whose pair has a NaN
// coordinate, whose position becomes (0, 0).
AVX512_FUNCTION
inline __mmask8 clamp(const Image& im, __m512d& x, __m512d& y) {
    const __mmask8 no_position = _mm512_cmp_pd_mask(x, y, _CMP_UNORD_Q);
    const __mmask8 position = static_cast<__mmask8>(~no_position);
    x = _mm512_maskz_mov_pd(position, _mm512_min_pd(im.xmax, _mm512_max_pd(im.zero, x)));
    y = _mm512_maskz_mov_pd(position, _mm512_min_pd(im.ymax, _mm512_max_pd(im.zero, y)));
    return no_position;
}

// The eight 32-bit lanes of `v`, each a non-negative element index. Four
// 64-bit moves split by shifts are cheaper than eight lane extractions (which
// is what the compiler makes of a round trip through memory).
AVX512_FUNCTION
inline void lanes(__m256i v, int32_t lane[8]) {
    const __m128i low_half = _mm256_castsi256_si128(v);
    const __m128i high_half = _mm256_extracti128_si256(v, 1);
    const uint64_t q[4] = {static_cast<uint64_t>(_mm_cvtsi128_si64(low_half)),
                           static_cast<uint64_t>(_mm_extract_epi64(low_half, 1)),
                           static_cast<uint64_t>(_mm_cvtsi128_si64(high_half)),
                           static_cast<uint64_t>(_mm_extract_epi64(high_half, 1))};
    for (int i = 0; i < 4; ++i) {
        lane[2 * i] = static_cast<int32_t>(static_cast<uint32_t>(q[i]));
        lane[2 * i + 1] = static_cast<int32_t>(static_cast<uint32_t>(q[i] >> 32));
    }
}

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

// The bilinear samples at eight clamped positions; the quiet NaN where
// `no_position` is set. RowPairs reads the image in row pairs.
template <bool RowPairs>
AVX512_FUNCTION
inline __m512d sample(const Image& im, __m512d x, __m512d y, __mmask8 no_position) {
    const __m256i c0 = _mm512_cvttpd_epi32(x);
    const __m256i r0 = _mm512_cvttpd_epi32(y);
    const __m512d fx = _mm512_sub_pd(x, _mm512_cvtepi32_pd(c0));
    const __m512d fy = _mm512_sub_pd(y, _mm512_cvtepi32_pd(r0));
    const __mmask8 next_col = _mm256_cmpgt_epi32_mask(im.last_col, c0);
    const __mmask8 next_row = _mm256_cmpgt_epi32_mask(im.last_row, r0);
    const __m256i inner = RowPairs ? c0 : r0;
    const __m256i outer = RowPairs ? r0 : c0;
    const __mmask8 next_inner = RowPairs ? next_col : next_row;
    const __mmask8 next_outer = RowPairs ? next_row : next_col;
    // Start of each pair on the position's outer line and on the next one.
    const __m256i start = _mm256_add_epi32(inner, _mm256_mullo_epi32(outer, im.outer));
    const __m256i pair0 =
        _mm256_mask_add_epi32(start, static_cast<__mmask8>(~next_inner), start, im.minus_one);
    int32_t first[8];
    lanes(pair0, first);
    __m512d low0, upper0, low1, upper1;
    load_pairs(im.data, first, low0, upper0);
    if (next_outer == 0xff) {
        // Every lane has a next line: its pair is outer_step elements on.
        load_pairs(im.data + im.outer_step, first, low1, upper1);
    } else {
        int32_t second[8];
        lanes(_mm256_mask_add_epi32(pair0, next_outer, pair0, im.outer), second);
        load_pairs(im.data, second, low1, upper1);
    }
    const __m512d lower0 = _mm512_mask_blend_pd(next_inner, upper0, low0);
    const __m512d lower1 = _mm512_mask_blend_pd(next_inner, upper1, low1);
    // Column pairs: the first pair is column c0 (rows r0, r1), the second
    // column c1. Row pairs: the first is row r0 (columns c0, c1), the second
    // row r1.
    const __m512d v00 = lower0;
    const __m512d v10 = RowPairs ? lower1 : upper0;
    const __m512d v01 = RowPairs ? upper0 : lower1;
    const __m512d v11 = upper1;

    const __m512d gy = _mm512_sub_pd(im.one, fy);
    const __m512d gx = _mm512_sub_pd(im.one, fx);
    const __m512d s0 = _mm512_add_pd(_mm512_mul_pd(fy, v10), _mm512_mul_pd(gy, v00));
    const __m512d s1 = _mm512_add_pd(_mm512_mul_pd(fy, v11), _mm512_mul_pd(gy, v01));
    const __m512d value = _mm512_add_pd(_mm512_mul_pd(gx, s0), _mm512_mul_pd(fx, s1));
    return no_position == 0 ? value : _mm512_mask_mov_pd(value, no_position, im.quiet_nan);
}

// sample() as a call of its own, for the rare steps that leave the windowed
// path, so that the path's loop keeps its values in registers.
template <bool RowPairs>
AVX512_FUNCTION __attribute__((noinline))
__m512d sample_apart(const Image& im, __m512d x, __m512d y, __mmask8 no_position) {
    return sample<RowPairs>(im, x, y, no_position);
}

// Sampling eight consecutive cells of a grid column through windows of the
// image. Along a grid column the positions move by (A2, A3) per cell, so
// when these are small each half of a step (four cells) finds the neighbours
// of all its positions in three consecutive lines of four elements along the
// image's pairs: its window (three image columns of four rows in column
// pairs, three image rows of four columns in row pairs), whose corner is the
// least column c0 and least row r0 of the half (moved back so that the window
// stays inside the image). In a step within one grid column and without NaN
// positions, those are the first or the last cell's, which the signs of A2
// and A3 tell: each coordinate is then a rounded affine function of the row,
// clamped and truncated, all of them monotonic steps. A window against the
// last line takes that line once more as its third, since the next line of
// the last one is itself.
struct Windows {
    __m512i outer_pick, inner_pick; // the lane of each half with the least line, element
    bool exist;                     // the image holds a window (two lines of four)
    __m512i last_corner_outer;      // lines - 2
    __m512i last_corner_inner;      // elements along a line - 4
    __m512i half_start;             // 0 in the lower half, 4 in the upper
    __m512i outer_step, last_inner; // the step between lines; elements along a line - 1
    uintptr_t ahead;                // bytes to the cache line the stream reads next
};

// The windows of an image, its lines the columns (column pairs) or the rows
// (row pairs). Each window asks for the cache line next to each of its lines
// where the line's stream goes (see stream_ahead_bytes).
template <bool RowPairs>
AVX512_FUNCTION
Windows windows_of(const PairedImage& image, const double* A) {
    const int32_t lines = RowPairs ? image.rows : image.cols;
    const int32_t along = RowPairs ? image.cols : image.rows;
    // The line moves with the row in row pairs, with the column in column
    // pairs; the element along it with the other coordinate.
    const double outer_coef = RowPairs ? A[3] : A[2];
    const double inner_coef = RowPairs ? A[2] : A[3];
    Windows w;
    w.outer_pick = outer_coef >= 0.0 ? _mm512_setr_epi64(0, 0, 0, 0, 4, 4, 4, 4)
                                     : _mm512_setr_epi64(3, 3, 3, 3, 7, 7, 7, 7);
    w.inner_pick = inner_coef >= 0.0 ? _mm512_setr_epi64(0, 0, 0, 0, 4, 4, 4, 4)
                                     : _mm512_setr_epi64(3, 3, 3, 3, 7, 7, 7, 7);
    w.exist = lines >= 2 && along >= 4;
    w.last_corner_outer = _mm512_set1_epi64(lines - 2);
    w.last_corner_inner = _mm512_set1_epi64(along - 4);
    w.half_start = _mm512_setr_epi64(0, 0, 0, 0, 4, 4, 4, 4);
    w.outer_step = _mm512_set1_epi64(RowPairs ? image.down : image.across);
    w.last_inner = _mm512_set1_epi64(along - 1);
    w.ahead = stream_ahead_bytes(A, RowPairs);
    return w;
}

// The same samples as sample(), taken from the two windows of a step: each
// window line is one register half (four elements), three registers hold the
// three lines of both halves, and one two-source permute per neighbour picks
// element e0 or e1 of the position's line (from the first and second
// registers) or of the next line (second and third). For a step within one
// grid column and without NaN positions, on an image that holds windows; a
// step whose positions do not fit its windows goes to sample().
template <bool RowPairs>
AVX512_FUNCTION
inline __m512d sample_windowed(const Image& im, const Windows& w, __m512d x, __m512d y) {
    const __m512i one = _mm512_set1_epi64(1);
    const __m512i three = _mm512_set1_epi64(3);
    const __m512i c0 = _mm512_cvttpd_epi64(x);
    const __m512i r0 = _mm512_cvttpd_epi64(y);
    const __m512i line = RowPairs ? r0 : c0;
    const __m512i element = RowPairs ? c0 : r0;
    const __mmask8 next_element = _mm512_cmpgt_epi64_mask(w.last_inner, element);
    const __m512i corner_outer =
        _mm512_min_epi64(w.last_corner_outer, _mm512_permutexvar_epi64(w.outer_pick, line));
    const __m512i corner_inner =
        _mm512_min_epi64(w.last_corner_inner, _mm512_permutexvar_epi64(w.inner_pick, element));
    // Line of the position (0 or 1) and its two elements (0 .. 3) within the
    // window; none is negative, as the corner is the least.
    const __m512i in_line = _mm512_sub_epi64(line, corner_outer);
    const __m512i e0 = _mm512_sub_epi64(element, corner_inner);
    const __m512i e1 = _mm512_mask_add_epi64(e0, next_element, e0, one);
    __mmask8 held = _mm512_cmple_epu64_mask(in_line, one);
    held = _mm512_mask_cmple_epu64_mask(held, e1, three);
    if (held != 0xff) return sample_apart<RowPairs>(im, x, y, 0);

    const __m512i corner =
        _mm512_add_epi64(corner_inner, _mm512_mullo_epi64(corner_outer, w.outer_step));
    const double* lower = im.data + _mm_cvtsi128_si64(_mm512_castsi512_si128(corner));
    const double* upper = im.data + _mm_cvtsi128_si64(_mm512_extracti64x2_epi64(corner, 2));
    // Offset of each window's third line: the last line once more where the
    // window's corner is on the line before it.
    const __mmask8 at_last = _mm512_cmpeq_epi64_mask(corner_outer, w.last_corner_outer);
    const std::ptrdiff_t lower_third = (at_last & 0x01) ? im.outer_step : 2 * im.outer_step;
    const std::ptrdiff_t upper_third = (at_last & 0x10) ? im.outer_step : 2 * im.outer_step;
    {
        // The cache line next to each window line where its stream goes; a
        // prefetch never faults, and the address is formed in integers (with
        // wrap-around), not as a pointer.
        const uintptr_t line_bytes = static_cast<uintptr_t>(im.outer_step) * sizeof(double);
        for (uintptr_t t = 0; t < 3; ++t) {
            _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(lower) +
                                                       t * line_bytes + w.ahead),
                         _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(upper) +
                                                       t * line_bytes + w.ahead),
                         _MM_HINT_T0);
        }
    }
    __m512d lines[3];
    for (int t = 0; t < 2; ++t)
        lines[t] = _mm512_insertf64x4(
            _mm512_castpd256_pd512(_mm256_loadu_pd(lower + t * im.outer_step)),
            _mm256_loadu_pd(upper + t * im.outer_step), 1);
    lines[2] = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(lower + lower_third)),
                                  _mm256_loadu_pd(upper + upper_third), 1);
    // Index of elements e0 and e1 of the position's line in the first two
    // registers; the same indices pick them from the next line in the last two.
    const __m512i in_half = _mm512_add_epi64(w.half_start, _mm512_slli_epi64(in_line, 3));
    const __m512i at0 = _mm512_add_epi64(in_half, e0);
    const __m512i at1 = _mm512_add_epi64(in_half, e1);
    const __m512d first0 = _mm512_permutex2var_pd(lines[0], at0, lines[1]);
    const __m512d first1 = _mm512_permutex2var_pd(lines[0], at1, lines[1]);
    const __m512d next0 = _mm512_permutex2var_pd(lines[1], at0, lines[2]);
    const __m512d next1 = _mm512_permutex2var_pd(lines[1], at1, lines[2]);
    // Column pairs: the lines are columns c0, c1 and the elements rows r0,
    // r1; row pairs the other way round.
    const __m512d v00 = first0;
    const __m512d v10 = RowPairs ? next0 : first1;
    const __m512d v01 = RowPairs ? first1 : next0;
    const __m512d v11 = next1;

    const __m512d fx = _mm512_sub_pd(x, _mm512_cvtepi64_pd(c0));
    const __m512d fy = _mm512_sub_pd(y, _mm512_cvtepi64_pd(r0));
    const __m512d gy = _mm512_sub_pd(im.one, fy);
    const __m512d gx = _mm512_sub_pd(im.one, fx);
    const __m512d s0 = _mm512_add_pd(_mm512_mul_pd(fy, v10), _mm512_mul_pd(gy, v00));
    const __m512d s1 = _mm512_add_pd(_mm512_mul_pd(fy, v11), _mm512_mul_pd(gy, v01));
    return _mm512_add_pd(_mm512_mul_pd(gx, s0), _mm512_mul_pd(fx, s1));
}

// Elements stored by the first step: those before the first 64-byte boundary
// of `out`, or eight.
inline std::ptrdiff_t first_step(const double* out) {
    const std::ptrdiff_t before = static_cast<std::ptrdiff_t>(
        (64 - reinterpret_cast<uintptr_t>(out) % 64) % 64 / sizeof(double));
    return before == 0 ? 8 : before;
}

// The lanes of a step that stores `step` elements with `left` still to go.
inline __mmask8 lanes_kept(std::ptrdiff_t step, std::ptrdiff_t left) {
    const std::ptrdiff_t cells = left < step ? left : step;
    return static_cast<__mmask8>((1u << cells) - 1);
}

template <bool RowPairs>
AVX512_FUNCTION
void sample_grid_steps(const Image& im, const double* X, const double* Y, double* out,
                       std::ptrdiff_t count) {
    std::ptrdiff_t step = first_step(out);
    for (std::ptrdiff_t k = 0; k < count; k += step, step = 8) {
        if (step == 8 && count - k >= 32) {
            // Four steps at once, whose work interleaves.
            __m512d x[4], y[4];
            __mmask8 no_position[4];
            for (int u = 0; u < 4; ++u) {
                x[u] = _mm512_loadu_pd(X + k + 8 * u);
                y[u] = _mm512_loadu_pd(Y + k + 8 * u);
                no_position[u] = clamp(im, x[u], y[u]);
            }
            for (int u = 0; u < 4; ++u)
                _mm512_storeu_pd(out + k + 8 * u,
                                 sample<RowPairs>(im, x[u], y[u], no_position[u]));
            step = 32;
        } else {
            const __mmask8 keep = lanes_kept(step, count - k);
            __m512d x = _mm512_maskz_loadu_pd(keep, X + k);
            __m512d y = _mm512_maskz_loadu_pd(keep, Y + k);
            const __mmask8 no_position = clamp(im, x, y);
            _mm512_mask_storeu_pd(out + k, keep, sample<RowPairs>(im, x, y, no_position));
        }
    }
}

template <bool RowPairs>
AVX512_FUNCTION
void patchwarp_cells(const PairedImage& image, int32_t M, int32_t N, const double* A,
                     double* out, double* X, double* Y, int32_t col_begin, int32_t col_end) {
    const Image im = image_of(image);
    const __m512d half_cols = _mm512_set1_pd((static_cast<double>(N) - 1.0) * 0.5);
    const __m512d half_rows = _mm512_set1_pd((static_cast<double>(M) - 1.0) * 0.5);
    const __m512d a0 = _mm512_set1_pd(A[0]), a1 = _mm512_set1_pd(A[1]);
    const __m512d a2 = _mm512_set1_pd(A[2]), a3 = _mm512_set1_pd(A[3]);
    const __m512d a4 = _mm512_set1_pd(A[4]), a5 = _mm512_set1_pd(A[5]);
    const __m512d column_length = _mm512_set1_pd(static_cast<double>(M));
    const Windows windows = windows_of<RowPairs>(image, A);

    // The cells of columns col_begin .. col_end - 1, in storage order.
    const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(col_begin) * M;
    const std::ptrdiff_t count = static_cast<std::ptrdiff_t>(col_end) * M;
    // Lane l holds cell k + l: its row i and column j as doubles (exact), and
    // the column's terms A0 dx and A1 dx, which change only when the lane
    // moves to the next column.
    __m512d i = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
    __m512d j = _mm512_set1_pd(static_cast<double>(col_begin));
    __m512d x_dx = _mm512_mul_pd(a0, _mm512_sub_pd(j, half_cols));
    __m512d y_dx = _mm512_mul_pd(a1, _mm512_sub_pd(j, half_cols));
    // The first cell of the first column after that of the previous step's
    // first cell: the lanes of a step move to the next column only when
    // their cells reach it.
    std::ptrdiff_t next_column = first + M;
    const bool windowed = windows.exist;
    std::ptrdiff_t step = first_step(out + first);
    // The step as a double, added to the rows after it.
    __m512d rows_stepped = _mm512_set1_pd(static_cast<double>(step));
    for (std::ptrdiff_t k = first; k < count; k += step, step = 8) {
        const bool one_column = k + 7 < next_column;
        if (!one_column) {
            // Lanes past the end of their column move to the next one (more
            // than once on columns shorter than eight cells).
            for (__mmask8 past = _mm512_cmp_pd_mask(i, column_length, _CMP_GE_OQ); past != 0;
                 past = _mm512_cmp_pd_mask(i, column_length, _CMP_GE_OQ)) {
                i = _mm512_mask_sub_pd(i, past, i, column_length);
                j = _mm512_mask_add_pd(j, past, j, im.one);
            }
            const __m512d dx = _mm512_sub_pd(j, half_cols);
            x_dx = _mm512_mul_pd(a0, dx);
            y_dx = _mm512_mul_pd(a1, dx);
        }
        const __m512d dy = _mm512_sub_pd(i, half_rows);
        __m512d x = _mm512_add_pd(_mm512_add_pd(x_dx, _mm512_mul_pd(a2, dy)), a4);
        __m512d y = _mm512_add_pd(_mm512_add_pd(y_dx, _mm512_mul_pd(a3, dy)), a5);
        const __mmask8 no_position = clamp(im, x, y);
        const __m512d value = windowed && one_column && no_position == 0
                                  ? sample_windowed<RowPairs>(im, windows, x, y)
                                  : sample_apart<RowPairs>(im, x, y, no_position);
        if (no_position != 0) {
            // A pair with a NaN coordinate is stored as NaN in both.
            x = _mm512_mask_mov_pd(x, no_position, im.quiet_nan);
            y = _mm512_mask_mov_pd(y, no_position, im.quiet_nan);
        }
        if (step == 8 && count - k >= 8) {
            _mm512_storeu_pd(out + k, value);
            _mm512_storeu_pd(X + k, x);
            _mm512_storeu_pd(Y + k, y);
        } else {
            const __mmask8 keep = lanes_kept(step, count - k);
            _mm512_mask_storeu_pd(out + k, keep, value);
            _mm512_mask_storeu_pd(X + k, keep, x);
            _mm512_mask_storeu_pd(Y + k, keep, y);
        }
        i = _mm512_add_pd(i, rows_stepped);
        rows_stepped = _mm512_set1_pd(8.0);
        while (next_column <= k) next_column += M;
    }
}

}  // namespace

AVX512_FUNCTION
std::ptrdiff_t sample_grid_avx512(const PairedImage& image, const double* X, const double* Y,
                                  double* out, std::ptrdiff_t count) {
    // Larger images are left to the AVX2 path, which prefetches.
    if (!pairs_fit(image) || static_cast<int64_t>(image.rows) * image.cols > 65536) return 0;
    const Image im = image_of(image);
    if (image.down != 1) {
        sample_grid_steps<true>(im, X, Y, out, count);
    } else {
        sample_grid_steps<false>(im, X, Y, out, count);
    }
    return count;
}

AVX512_FUNCTION
void patchwarp_avx512(const PairedImage& image, int32_t M, int32_t N, const double* A,
                      double* out, double* X, double* Y, int32_t col_begin, int32_t col_end) {
    if (image.down != 1) {
        patchwarp_cells<true>(image, M, N, A, out, X, Y, col_begin, col_end);
    } else {
        patchwarp_cells<false>(image, M, N, A, out, X, Y, col_begin, col_end);
    }
}

#else

std::ptrdiff_t sample_grid_avx512(const PairedImage&, const double*, const double*, double*,
                                  std::ptrdiff_t) {
    return 0;
}

void patchwarp_avx512(const PairedImage&, int32_t, int32_t, const double*, double*, double*,
                      double*, int32_t, int32_t) {}

#endif
