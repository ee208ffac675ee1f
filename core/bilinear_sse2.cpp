// Bilinear sampling two positions at a time with SSE2 (every x86-64
// processor has it, and the 32-bit x86 builds are made with it): gridlerp's
// positions, and the affine grid of patchwarp, mapped, clamped and sampled in
// one pass.
//
// Clamping is max(0, x) then min(xmax, x) with the bound as the first operand,
// which keeps -0.0 and turns every value outside into exactly +0.0 or xmax, as
// the scalar rule does. A NaN coordinate passes both. Two cells of which one
// has a NaN coordinate (only from coefficients that are not finite, or from
// products that overflow) take a slower branch, which samples that cell at
// (0, 0), so that no read leaves the image, and stores the quiet NaN as its
// sample and both its coordinates.
//
// SSE2 has no gather: the four neighbours of each lane are loaded one by one,
// with the scalar path's neighbour rule (the next column or row, or the same
// one on the last), from an image with any steps between its elements. Every
// product and every sum is its own instruction; no fused multiply-add is used,
// and the build forbids the compiler to form one. Loading the two neighbours
// along a line as one 16-byte pair, as the AVX2 path does, measured no faster
// here.
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
    __m128i last_col, last_row;
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
    im.last_col = _mm_set1_epi32(image.cols - 1);
    im.last_row = _mm_set1_epi32(image.rows - 1);
    return im;
}

// v clamped onto [0, high]: below 0 becomes +0.0, above `high` becomes `high`,
// the rest (-0.0 and NaN included) stays.
inline __m128d clamp_onto(__m128d v, __m128d zero, __m128d high) {
    return _mm_min_pd(high, _mm_max_pd(zero, v));
}

// v where `no_position` is clear, the quiet NaN where it is set.
inline __m128d or_nan(const Image& im, __m128d v, __m128d no_position) {
    return _mm_or_pd(_mm_andnot_pd(no_position, v), _mm_and_pd(no_position, im.quiet_nan));
}

// Where an image's columns (rows) lie in memory element after element, the
// step along them is 1 and the cells of a grid column read along each as a
// slow stream (see stream_ahead_bytes); otherwise the steps are any.
enum class Lines { AnySteps, Columns, Rows };

// The bilinear samples at two clamped positions. Along columns (rows), it
// also asks for the cache line `ahead` bytes on from the first lane's pixel
// (r0, c0) and from its neighbour on the next column (row).
// With Shortcut, two positions that both have a next row and a next column
// skip the four comparisons of the neighbour rule.
template <Lines Along, bool Shortcut = true>
inline __m128d sample(const Image& im, __m128d x, __m128d y, uintptr_t ahead) {
    const __m128i c0 = _mm_cvttpd_epi32(x);  // truncation toward zero
    const __m128i r0 = _mm_cvttpd_epi32(y);
    const __m128d fx = _mm_sub_pd(x, _mm_cvtepi32_pd(c0));
    const __m128d fy = _mm_sub_pd(y, _mm_cvtepi32_pd(r0));
    const int32_t c0a = _mm_cvtsi128_si32(c0);
    const int32_t c0b = _mm_cvtsi128_si32(_mm_shuffle_epi32(c0, 1));
    const int32_t r0a = _mm_cvtsi128_si32(r0);
    const int32_t r0b = _mm_cvtsi128_si32(_mm_shuffle_epi32(r0, 1));
    // A step known to be 1 costs no multiplication.
    const std::ptrdiff_t down = Along == Lines::Columns ? 1 : im.down;
    const std::ptrdiff_t across = Along == Lines::Rows ? 1 : im.across;
    // Lane by lane: the pixel (r0, c0).
    const double* pa = im.data + c0a * across + r0a * down;
    const double* pb = im.data + c0b * across + r0b * down;
    // The steps to row r1 and column c1: 0 on the last row (column), where
    // the neighbour falls back onto the pixel itself.
    std::ptrdiff_t down_a = down, down_b = down, right_a = across, right_b = across;
    bool both_inside = false;
    if (Shortcut) {
        const __m128i inside =
            _mm_and_si128(_mm_cmpgt_epi32(im.last_col, c0), _mm_cmpgt_epi32(im.last_row, r0));
        both_inside = (_mm_movemask_ps(_mm_castsi128_ps(inside)) & 3) == 3;
    }
    if (!both_inside) {
        down_a = r0a + 1 < im.rows ? down : 0;
        down_b = r0b + 1 < im.rows ? down : 0;
        right_a = c0a + 1 < im.cols ? across : 0;
        right_b = c0b + 1 < im.cols ? across : 0;
    }
    if (Along != Lines::AnySteps) {
        // A prefetch never faults; the address is formed in integers.
        const std::ptrdiff_t next_line = Along == Lines::Columns ? right_a : down_a;
        const uintptr_t at = reinterpret_cast<uintptr_t>(pa) + ahead;
        const uintptr_t line_bytes = static_cast<uintptr_t>(next_line) * sizeof(double);
        _mm_prefetch(reinterpret_cast<const char*>(at), _MM_HINT_T0);
        _mm_prefetch(reinterpret_cast<const char*>(at + line_bytes), _MM_HINT_T0);
    }
    const __m128d v00 = _mm_loadh_pd(_mm_load_sd(pa), pb);
    const __m128d v10 = _mm_loadh_pd(_mm_load_sd(pa + down_a), pb + down_b);
    const __m128d v01 = _mm_loadh_pd(_mm_load_sd(pa + right_a), pb + right_b);
    const __m128d v11 = _mm_loadh_pd(_mm_load_sd(pa + right_a + down_a), pb + right_b + down_b);

    const __m128d gy = _mm_sub_pd(im.one, fy);
    const __m128d gx = _mm_sub_pd(im.one, fx);
    const __m128d s0 = _mm_add_pd(_mm_mul_pd(fy, v10), _mm_mul_pd(gy, v00));
    const __m128d s1 = _mm_add_pd(_mm_mul_pd(fy, v11), _mm_mul_pd(gy, v01));
    return _mm_add_pd(_mm_mul_pd(gx, s0), _mm_mul_pd(fx, s1));
}

// gridlerp's positions, two at a time, up to the last even count. On an image
// larger than the cache the two neighbouring lines of the positions
// kPrefetchAhead elements ahead are asked for, so that many cache and TLB
// misses are in flight at once. Scattered positions, clamped onto the last
// row or column often, make the interior shortcut mispredict: these loops
// keep the comparisons.
constexpr std::ptrdiff_t kPrefetchAhead = 32;

template <bool Prefetch>
std::ptrdiff_t sample_pairs(const Image& im, const double* X, const double* Y, double* out,
                            std::ptrdiff_t count) {
    const std::ptrdiff_t done = count - count % 2;
    for (std::ptrdiff_t k = 0; k < done; k += 2) {
        if (Prefetch && k + kPrefetchAhead < done) {
            const __m128d x = clamp_onto(_mm_loadu_pd(X + k + kPrefetchAhead), im.zero, im.xmax);
            const __m128d y = clamp_onto(_mm_loadu_pd(Y + k + kPrefetchAhead), im.zero, im.ymax);
            const __m128i c = _mm_cvttpd_epi32(x);
            const __m128i r = _mm_cvttpd_epi32(y);
            // A NaN coordinate gives a wild address here; a prefetch never
            // faults, and the address is formed in integers, not as a pointer.
            const uintptr_t base = reinterpret_cast<uintptr_t>(im.data);
            const uintptr_t row_bytes = static_cast<uintptr_t>(im.down) * sizeof(double);
            const uintptr_t column_bytes = static_cast<uintptr_t>(im.across) * sizeof(double);
            for (int lane = 0; lane < 2; ++lane) {
                const int32_t cl = _mm_cvtsi128_si32(lane ? _mm_shuffle_epi32(c, 1) : c);
                const int32_t rl = _mm_cvtsi128_si32(lane ? _mm_shuffle_epi32(r, 1) : r);
                const uintptr_t row = static_cast<uintptr_t>(static_cast<intptr_t>(rl));
                const uintptr_t col = static_cast<uintptr_t>(static_cast<intptr_t>(cl));
                const uintptr_t p = base + row * row_bytes + col * column_bytes;
                _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
                _mm_prefetch(reinterpret_cast<const char*>(p + column_bytes), _MM_HINT_T0);
            }
        }
        // A pair with a NaN coordinate is sampled at (0, 0), its result the
        // quiet NaN.
        __m128d x = _mm_loadu_pd(X + k);
        __m128d y = _mm_loadu_pd(Y + k);
        const __m128d no_position = _mm_cmpunord_pd(x, y);
        x = _mm_andnot_pd(no_position, clamp_onto(x, im.zero, im.xmax));
        y = _mm_andnot_pd(no_position, clamp_onto(y, im.zero, im.ymax));
        _mm_storeu_pd(out + k,
                      or_nan(im, sample<Lines::AnySteps, false>(im, x, y, 0), no_position));
    }
    return done;
}

// The cells of grid columns col_begin .. col_end - 1, two rows at a time:
// mapped, clamped, stored and sampled.
template <Lines Along>
void patchwarp_cells(const Image& im, int32_t M, int32_t N, const double* A, double* out,
                     double* X, double* Y, int32_t col_begin, int32_t col_end, uintptr_t ahead) {
    const double half_cols = (static_cast<double>(N) - 1.0) * 0.5;
    const __m128d a0 = _mm_set1_pd(A[0]), a1 = _mm_set1_pd(A[1]);
    const __m128d a2 = _mm_set1_pd(A[2]), a3 = _mm_set1_pd(A[3]);
    const __m128d a4 = _mm_set1_pd(A[4]), a5 = _mm_set1_pd(A[5]);
    // dy = i - (M - 1) / 2 of rows 0 and 1, then two rows on at each step:
    // whole or half-whole numbers below 2^31, every one exact in double, so
    // the running sum has the bits of the difference.
    const __m128d first_dy =
        _mm_sub_pd(_mm_setr_pd(0.0, 1.0), _mm_set1_pd((static_cast<double>(M) - 1.0) * 0.5));
    const __m128d two = _mm_set1_pd(2.0);
    // i + j * M: the cells in storage order
    std::ptrdiff_t k = static_cast<std::ptrdiff_t>(col_begin) * M;
    for (int32_t j = col_begin; j < col_end; ++j, k += M) {
        const __m128d dx = _mm_set1_pd(static_cast<double>(j) - half_cols);
        // (A0 dx + A2 dy) + A4 and (A1 dx + A3 dy) + A5.
        const __m128d x_dx = _mm_mul_pd(a0, dx);
        const __m128d y_dx = _mm_mul_pd(a1, dx);
        __m128d dy = first_dy;
        for (int32_t row = 0; row < M; row += 2, dy = _mm_add_pd(dy, two)) {
            __m128d x = _mm_add_pd(_mm_add_pd(x_dx, _mm_mul_pd(a2, dy)), a4);
            __m128d y = _mm_add_pd(_mm_add_pd(y_dx, _mm_mul_pd(a3, dy)), a5);
            const __m128d no_position = _mm_cmpunord_pd(x, y);
            __m128d value;
            if (_mm_movemask_pd(no_position) == 0) {
                x = clamp_onto(x, im.zero, im.xmax);
                y = clamp_onto(y, im.zero, im.ymax);
                value = sample<Along>(im, x, y, ahead);
            } else {
                // A pair with a NaN coordinate is sampled at (0, 0); its
                // sample and both its coordinates are stored as the quiet NaN.
                x = _mm_andnot_pd(no_position, clamp_onto(x, im.zero, im.xmax));
                y = _mm_andnot_pd(no_position, clamp_onto(y, im.zero, im.ymax));
                value = or_nan(im, sample<Along>(im, x, y, ahead), no_position);
                x = or_nan(im, x, no_position);
                y = or_nan(im, y, no_position);
            }
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

std::ptrdiff_t sample_grid_sse2(const ConstView& image, const double* X, const double* Y,
                                double* out, std::ptrdiff_t count) {
    const Image im = image_of(image);
    // Prefetching pays once the image outgrows the second-level cache.
    if (static_cast<int64_t>(image.rows) * image.cols > 65536)
        return sample_pairs<true>(im, X, Y, out, count);
    return sample_pairs<false>(im, X, Y, out, count);
}

void patchwarp_sse2(const ConstView& image, int32_t M, int32_t N, const double* A, double* out,
                    double* X, double* Y, int32_t col_begin, int32_t col_end) {
    const Image im = image_of(image);
    // Prefetching along the lines takes 2 to 5 ms off a 2048² grid on a
    // 1024² image (of about 20 ms).
    if (im.down == 1 && im.rows >= 2) {
        patchwarp_cells<Lines::Columns>(im, M, N, A, out, X, Y, col_begin, col_end,
                                        stream_ahead_bytes(A, false));
    } else if (im.across == 1 && im.cols >= 2) {
        patchwarp_cells<Lines::Rows>(im, M, N, A, out, X, Y, col_begin, col_end,
                                     stream_ahead_bytes(A, true));
    } else {
        patchwarp_cells<Lines::AnySteps>(im, M, N, A, out, X, Y, col_begin, col_end, 0);
    }
}

#else

std::ptrdiff_t sample_grid_sse2(const ConstView&, const double*, const double*, double*,
                                std::ptrdiff_t) {
    return 0;
}

void patchwarp_sse2(const ConstView&, int32_t, int32_t, const double*, double*, double*,
                    double*, int32_t, int32_t) {}

#endif
