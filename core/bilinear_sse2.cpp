// The affine grid of patchwarp, mapped, clamped and sampled in one pass, two
// cells at a time with SSE2 (every x86-64 processor has it, and the 32-bit
// x86 builds are made with it).
//
// Clamping is max(0, x) then min(xmax, x) with the bound as the first operand,
// which keeps -0.0 and turns every value outside into exactly +0.0 or xmax, as
// the scalar rule does; a NaN coordinate passes both and marks the cell, whose
// sample becomes the quiet NaN while its position is replaced by 0 so that no
// read leaves the image.
//
// SSE2 has no gather: the four neighbours of each lane are loaded one by one,
// with the scalar path's neighbour rule (the next column or row, or the same
// one on the last), from an image with any steps between its elements. Every
// product and every sum is its own instruction; no fused multiply-add is used,
// and the build forbids the compiler to form one.
#include "bilinear_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_SSE2
#include <emmintrin.h>

namespace {

// An image and the constants of sampling it: element (r, c) at
// data[r * down + c * across].
struct Image {
    const double* data;
    int32_t rows, cols;
    std::ptrdiff_t down, across;
    __m128d zero, one, xmax, ymax, quiet_nan;
};

Image image_of(const ConstView& image) {
    Image im;
    im.data = image.data;
    im.rows = image.rows;
    im.cols = image.cols;
    im.down = image.row_step;
    im.across = image.col_step;
    im.zero = _mm_setzero_pd();
    im.one = _mm_set1_pd(1.0);
    im.xmax = _mm_set1_pd(static_cast<double>(image.cols) - 1.0);
    im.ymax = _mm_set1_pd(static_cast<double>(image.rows) - 1.0);
    im.quiet_nan = _mm_castsi128_pd(_mm_set_epi32(0x7ff80000, 0, 0x7ff80000, 0));
    return im;
}

// Clamps two pairs onto the image; returns the lanes whose pair has a NaN
// coordinate (all ones), whose position becomes (0, 0).
inline __m128d clamp(const Image& im, __m128d& x, __m128d& y) {
    const __m128d no_position = _mm_cmpunord_pd(x, y);
    x = _mm_andnot_pd(no_position, _mm_min_pd(im.xmax, _mm_max_pd(im.zero, x)));
    y = _mm_andnot_pd(no_position, _mm_min_pd(im.ymax, _mm_max_pd(im.zero, y)));
    return no_position;
}

// v where `no_position` is clear, the quiet NaN where it is set.
inline __m128d or_nan(const Image& im, __m128d v, __m128d no_position) {
    return _mm_or_pd(_mm_andnot_pd(no_position, v), _mm_and_pd(no_position, im.quiet_nan));
}

// How an image's elements are read: one by one with any steps, or, where the
// elements of its columns (rows) lie side by side, each column's (row's) two
// neighbours as one 16-byte pair.
enum class Reads { AnySteps, ColumnPairs, RowPairs };

// The bilinear samples at two clamped positions; the quiet NaN where
// `no_position` is set. With `ahead` other than 0 (pairs only), it also asks
// for the cache line that many bytes on from the first lane's two pairs (see
// stream_ahead_bytes).
//
// In column pairs the two rows of a column are read as one pair starting at
// row r0, or at row r0 - 1 on the last row (where r1 = r0), so every read
// stays inside the column; this needs two rows. Row pairs read the two
// columns of a row the same way and need two columns. Only the loads differ:
// the neighbours and the arithmetic are those of the scalar path.
template <Reads How>
inline __m128d sample(const Image& im, __m128d x, __m128d y, __m128d no_position,
                      uintptr_t ahead) {
    const __m128i c0 = _mm_cvttpd_epi32(x);  // truncation toward zero
    const __m128i r0 = _mm_cvttpd_epi32(y);
    const __m128d fx = _mm_sub_pd(x, _mm_cvtepi32_pd(c0));
    const __m128d fy = _mm_sub_pd(y, _mm_cvtepi32_pd(r0));
    const int32_t c0a = _mm_cvtsi128_si32(c0);
    const int32_t c0b = _mm_cvtsi128_si32(_mm_shuffle_epi32(c0, 1));
    const int32_t r0a = _mm_cvtsi128_si32(r0);
    const int32_t r0b = _mm_cvtsi128_si32(_mm_shuffle_epi32(r0, 1));
    __m128d v00, v10, v01, v11;
    if (How == Reads::AnySteps) {
        // Lane by lane: the pixel (r0, c0) and the steps to row r1 and
        // column c1.
        const double* pa = im.data + c0a * im.across + r0a * im.down;
        const double* pb = im.data + c0b * im.across + r0b * im.down;
        const std::ptrdiff_t down_a = r0a + 1 < im.rows ? im.down : 0;
        const std::ptrdiff_t down_b = r0b + 1 < im.rows ? im.down : 0;
        const std::ptrdiff_t right_a = c0a + 1 < im.cols ? im.across : 0;
        const std::ptrdiff_t right_b = c0b + 1 < im.cols ? im.across : 0;
        v00 = _mm_loadh_pd(_mm_load_sd(pa), pb);
        v10 = _mm_loadh_pd(_mm_load_sd(pa + down_a), pb + down_b);
        v01 = _mm_loadh_pd(_mm_load_sd(pa + right_a), pb + right_b);
        v11 = _mm_loadh_pd(_mm_load_sd(pa + right_a + down_a), pb + right_b + down_b);
    } else {
        const bool columns = How == Reads::ColumnPairs;
        // Along the pairs (inner) and from one pair's line to the next (outer).
        const int32_t inner_a = columns ? r0a : c0a, inner_b = columns ? r0b : c0b;
        const int32_t outer_a = columns ? c0a : r0a, outer_b = columns ? c0b : r0b;
        const int32_t last_inner = (columns ? im.rows : im.cols) - 1;
        const int32_t last_outer = (columns ? im.cols : im.rows) - 1;
        const std::ptrdiff_t outer_step = columns ? im.across : im.down;
        const bool next_inner_a = inner_a < last_inner, next_inner_b = inner_b < last_inner;
        // The first pair on the position's line, the second on the next one
        // (the same line on the last).
        const double* first_a = im.data + outer_a * outer_step + (inner_a - !next_inner_a);
        const double* first_b = im.data + outer_b * outer_step + (inner_b - !next_inner_b);
        const double* second_a = first_a + (outer_a < last_outer ? outer_step : 0);
        const double* second_b = first_b + (outer_b < last_outer ? outer_step : 0);
        if (ahead != 0) {
            // A prefetch never faults; the address is formed in integers.
            _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(first_a) +
                                                       ahead),
                         _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(second_a) +
                                                       ahead),
                         _MM_HINT_T0);
        }
        const __m128d pair0a = _mm_loadu_pd(first_a), pair0b = _mm_loadu_pd(first_b);
        const __m128d pair1a = _mm_loadu_pd(second_a), pair1b = _mm_loadu_pd(second_b);
        // The upper element of each pair is inner + 1, or inner on the last
        // line; the lower one is inner where a next line exists.
        const __m128i next_inner = _mm_cmpgt_epi32(_mm_set1_epi32(last_inner), columns ? r0 : c0);
        const __m128d lower_kept = _mm_castsi128_pd(_mm_unpacklo_epi32(next_inner, next_inner));
        const __m128d upper0 = _mm_unpackhi_pd(pair0a, pair0b);
        const __m128d upper1 = _mm_unpackhi_pd(pair1a, pair1b);
        const __m128d lower0 = _mm_or_pd(_mm_and_pd(lower_kept, _mm_unpacklo_pd(pair0a, pair0b)),
                                         _mm_andnot_pd(lower_kept, upper0));
        const __m128d lower1 = _mm_or_pd(_mm_and_pd(lower_kept, _mm_unpacklo_pd(pair1a, pair1b)),
                                         _mm_andnot_pd(lower_kept, upper1));
        // Column pairs: the first pair is column c0 (rows r0, r1), the second
        // column c1. Row pairs: the first is row r0 (columns c0, c1), the
        // second row r1.
        v00 = lower0;
        v10 = columns ? upper0 : lower1;
        v01 = columns ? lower1 : upper0;
        v11 = upper1;
    }

    const __m128d gy = _mm_sub_pd(im.one, fy);
    const __m128d gx = _mm_sub_pd(im.one, fx);
    const __m128d s0 = _mm_add_pd(_mm_mul_pd(fy, v10), _mm_mul_pd(gy, v00));
    const __m128d s1 = _mm_add_pd(_mm_mul_pd(fy, v11), _mm_mul_pd(gy, v01));
    const __m128d value = _mm_add_pd(_mm_mul_pd(gx, s0), _mm_mul_pd(fx, s1));
    return or_nan(im, value, no_position);
}

template <Reads How>
void patchwarp_cells(const Image& im, int32_t M, int32_t N, const double* A, double* out,
                     double* X, double* Y, int32_t col_begin, int32_t col_end, uintptr_t ahead) {
    const double half_cols = (static_cast<double>(N) - 1.0) * 0.5;
    const __m128d half_rows = _mm_set1_pd((static_cast<double>(M) - 1.0) * 0.5);
    const __m128d a0 = _mm_set1_pd(A[0]), a1 = _mm_set1_pd(A[1]);
    const __m128d a2 = _mm_set1_pd(A[2]), a3 = _mm_set1_pd(A[3]);
    const __m128d a4 = _mm_set1_pd(A[4]), a5 = _mm_set1_pd(A[5]);
    const __m128d first_rows = _mm_setr_pd(0.0, 1.0);
    const __m128d two = _mm_set1_pd(2.0);
    // i + j * M: the cells in storage order
    std::ptrdiff_t k = static_cast<std::ptrdiff_t>(col_begin) * M;
    for (int32_t j = col_begin; j < col_end; ++j, k += M) {
        const __m128d dx = _mm_set1_pd(static_cast<double>(j) - half_cols);
        // (A0 dx + A2 dy) + A4 and (A1 dx + A3 dy) + A5, dy = i - (M - 1) / 2;
        // the row numbers i are exact in double.
        const __m128d x_dx = _mm_mul_pd(a0, dx);
        const __m128d y_dx = _mm_mul_pd(a1, dx);
        __m128d i = first_rows;
        for (int32_t row = 0; row < M; row += 2, i = _mm_add_pd(i, two)) {
            const __m128d dy = _mm_sub_pd(i, half_rows);
            __m128d x = _mm_add_pd(_mm_add_pd(x_dx, _mm_mul_pd(a2, dy)), a4);
            __m128d y = _mm_add_pd(_mm_add_pd(y_dx, _mm_mul_pd(a3, dy)), a5);
            const __m128d no_position = clamp(im, x, y);
            const __m128d value = sample<How>(im, x, y, no_position, ahead);
            // A pair with a NaN coordinate is stored as NaN in both.
            x = or_nan(im, x, no_position);
            y = or_nan(im, y, no_position);
            if (M - row >= 2) {
                _mm_storeu_pd(out + k + row, value);
                _mm_storeu_pd(X + k + row, x);
                _mm_storeu_pd(Y + k + row, y);
            } else {
                // The last row of a column: the second lane, past row M - 1,
                // was computed at a position clamped onto the image and is
                // not stored.
                _mm_store_sd(out + k + row, value);
                _mm_store_sd(X + k + row, x);
                _mm_store_sd(Y + k + row, y);
            }
        }
    }
}

}  // namespace

void patchwarp_sse2(const ConstView& image, int32_t M, int32_t N, const double* A, double* out,
                    double* X, double* Y, int32_t col_begin, int32_t col_end) {
    const Image im = image_of(image);
    // Pairs where the image's elements lie side by side along its columns
    // (rows), each read asking for the cache line next to it in the
    // direction the reads go along that line.
    if (im.down == 1 && im.rows >= 2) {
        patchwarp_cells<Reads::ColumnPairs>(im, M, N, A, out, X, Y, col_begin, col_end,
                                            stream_ahead_bytes(A, false));
    } else if (im.across == 1 && im.cols >= 2) {
        patchwarp_cells<Reads::RowPairs>(im, M, N, A, out, X, Y, col_begin, col_end,
                                         stream_ahead_bytes(A, true));
    } else {
        patchwarp_cells<Reads::AnySteps>(im, M, N, A, out, X, Y, col_begin, col_end, 0);
    }
}

#else

void patchwarp_sse2(const ConstView&, int32_t, int32_t, const double*, double*, double*,
                    double*, int32_t, int32_t) {}

#endif
