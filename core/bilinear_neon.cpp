// The bilinear kernel, and the affine grid of patchwarp sampled through it,
// two elements at a time with NEON (every 64-bit ARM processor has it).
//
// Clamping compares and replaces, as the scalar rule does: a value below 0
// becomes +0.0, one above the last column (row) becomes that border, and
// everything else, -0.0 included, passes unchanged (NEON's maximum would turn
// -0.0 into +0.0, so it is not used). A NaN coordinate fails both comparisons
// and marks the element, whose result becomes the quiet NaN while its position
// is replaced by 0 so that no read leaves the image.
//
// NEON has no gather: the four neighbours of each lane are loaded one by one,
// with the scalar path's neighbour rule (the next column or row, or the same
// one on the last), from an image with any steps between its elements. Every product and every sum is its own instruction; no
// fused multiply-add is used, and the build forbids the compiler to form one.
#include "bilinear_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_NEON
#include <arm_neon.h>

namespace {

// An image and the constants of sampling it: element (r, c) at
// data[r * down + c * across].
struct Image {
    const double* data;
    int32_t rows, cols;
    std::ptrdiff_t down, across;
    float64x2_t zero, one, xmax, ymax, quiet_nan;
};

Image image_of(const ConstView& image) {
    const int32_t rows = image.rows;
    const int32_t cols = image.cols;
    Image im;
    im.data = image.data;
    im.rows = rows;
    im.cols = cols;
    im.down = image.row_step;
    im.across = image.col_step;
    im.zero = vdupq_n_f64(0.0);
    im.one = vdupq_n_f64(1.0);
    im.xmax = vdupq_n_f64(static_cast<double>(cols) - 1.0);
    im.ymax = vdupq_n_f64(static_cast<double>(rows) - 1.0);
    im.quiet_nan = vreinterpretq_f64_u64(vdupq_n_u64(0x7ff8000000000000ULL));
    return im;
}

// v below 0 becomes +0.0, v above `high` becomes `high`, the rest (-0.0 and
// NaN included) stays.
inline float64x2_t clamp_onto(float64x2_t v, float64x2_t zero, float64x2_t high) {
    v = vbslq_f64(vcltq_f64(v, zero), zero, v);
    return vbslq_f64(vcgtq_f64(v, high), high, v);
}

// Clamps two pairs onto the image; returns the lanes whose pair has no NaN
// coordinate (all ones), the others' positions becoming (0, 0).
inline uint64x2_t clamp(const Image& im, float64x2_t& x, float64x2_t& y) {
    const uint64x2_t position = vandq_u64(vceqq_f64(x, x), vceqq_f64(y, y));
    x = vbslq_f64(position, clamp_onto(x, im.zero, im.xmax), im.zero);
    y = vbslq_f64(position, clamp_onto(y, im.zero, im.ymax), im.zero);
    return position;
}

// The bilinear samples at two clamped positions; the quiet NaN where
// `position` is clear.
inline float64x2_t sample(const Image& im, float64x2_t x, float64x2_t y, uint64x2_t position) {
    const int64x2_t c0 = vcvtq_s64_f64(x);  // truncation toward zero
    const int64x2_t r0 = vcvtq_s64_f64(y);
    const float64x2_t fx = vsubq_f64(x, vcvtq_f64_s64(c0));
    const float64x2_t fy = vsubq_f64(y, vcvtq_f64_s64(r0));

    // Lane by lane: the pixel (r0, c0) and the steps to row r1 and column c1.
    const double* at[2];
    std::ptrdiff_t down[2], right[2];
    const int64_t c0s[2] = {vgetq_lane_s64(c0, 0), vgetq_lane_s64(c0, 1)};
    const int64_t r0s[2] = {vgetq_lane_s64(r0, 0), vgetq_lane_s64(r0, 1)};
    for (int lane = 0; lane < 2; ++lane) {
        at[lane] = im.data + static_cast<std::ptrdiff_t>(c0s[lane]) * im.across +
                   static_cast<std::ptrdiff_t>(r0s[lane]) * im.down;
        down[lane] = r0s[lane] + 1 < im.rows ? im.down : 0;
        right[lane] = c0s[lane] + 1 < im.cols ? im.across : 0;
    }
    const float64x2_t v00 = vcombine_f64(vld1_f64(at[0]), vld1_f64(at[1]));
    const float64x2_t v10 = vcombine_f64(vld1_f64(at[0] + down[0]), vld1_f64(at[1] + down[1]));
    const float64x2_t v01 =
        vcombine_f64(vld1_f64(at[0] + right[0]), vld1_f64(at[1] + right[1]));
    const float64x2_t v11 = vcombine_f64(vld1_f64(at[0] + right[0] + down[0]),
                                         vld1_f64(at[1] + right[1] + down[1]));

    const float64x2_t gy = vsubq_f64(im.one, fy);
    const float64x2_t gx = vsubq_f64(im.one, fx);
    const float64x2_t s0 = vaddq_f64(vmulq_f64(fy, v10), vmulq_f64(gy, v00));
    const float64x2_t s1 = vaddq_f64(vmulq_f64(fy, v11), vmulq_f64(gy, v01));
    const float64x2_t value = vaddq_f64(vmulq_f64(gx, s0), vmulq_f64(fx, s1));
    return vbslq_f64(position, value, im.quiet_nan);
}

}  // namespace

std::ptrdiff_t sample_grid_neon(const ConstView& image, const double* X, const double* Y,
                                double* out, std::ptrdiff_t count) {
    const Image im = image_of(image);
    const std::ptrdiff_t done = count - count % 2;
    for (std::ptrdiff_t k = 0; k < done; k += 2) {
        float64x2_t x = vld1q_f64(X + k);
        float64x2_t y = vld1q_f64(Y + k);
        const uint64x2_t position = clamp(im, x, y);
        vst1q_f64(out + k, sample(im, x, y, position));
    }
    return done;
}

void patchwarp_neon(const ConstView& image, int32_t M, int32_t N, const double* A, double* out,
                    double* X, double* Y, int32_t col_begin, int32_t col_end) {
    const Image im = image_of(image);
    const double half_cols = (static_cast<double>(N) - 1.0) * 0.5;
    const float64x2_t half_rows = vdupq_n_f64((static_cast<double>(M) - 1.0) * 0.5);
    const float64x2_t a0 = vdupq_n_f64(A[0]), a1 = vdupq_n_f64(A[1]);
    const float64x2_t a2 = vdupq_n_f64(A[2]), a3 = vdupq_n_f64(A[3]);
    const float64x2_t a4 = vdupq_n_f64(A[4]), a5 = vdupq_n_f64(A[5]);
    const double first_row_numbers[2] = {0.0, 1.0};
    const float64x2_t first_rows = vld1q_f64(first_row_numbers);
    const float64x2_t two = vdupq_n_f64(2.0);
    // i + j * M: the cells in storage order
    std::ptrdiff_t k = static_cast<std::ptrdiff_t>(col_begin) * M;
    for (int32_t j = col_begin; j < col_end; ++j, k += M) {
        const float64x2_t dx = vdupq_n_f64(static_cast<double>(j) - half_cols);
        // (A0 dx + A2 dy) + A4 and (A1 dx + A3 dy) + A5, dy = i - (M - 1) / 2;
        // the row numbers i are exact in double.
        const float64x2_t x_dx = vmulq_f64(a0, dx);
        const float64x2_t y_dx = vmulq_f64(a1, dx);
        float64x2_t i = first_rows;
        for (int32_t row = 0; row < M; row += 2, i = vaddq_f64(i, two)) {
            const float64x2_t dy = vsubq_f64(i, half_rows);
            float64x2_t x = vaddq_f64(vaddq_f64(x_dx, vmulq_f64(a2, dy)), a4);
            float64x2_t y = vaddq_f64(vaddq_f64(y_dx, vmulq_f64(a3, dy)), a5);
            const uint64x2_t position = clamp(im, x, y);
            const float64x2_t value = sample(im, x, y, position);
            // A pair with a NaN coordinate is stored as NaN in both.
            x = vbslq_f64(position, x, im.quiet_nan);
            y = vbslq_f64(position, y, im.quiet_nan);
            if (M - row >= 2) {
                vst1q_f64(out + k + row, value);
                vst1q_f64(X + k + row, x);
                vst1q_f64(Y + k + row, y);
            } else {
                // The last row of a column: the second lane, past row M - 1,
                // was computed at a position clamped onto the image and is
                // not stored.
                vst1_f64(out + k + row, vget_low_f64(value));
                vst1_f64(X + k + row, vget_low_f64(x));
                vst1_f64(Y + k + row, vget_low_f64(y));
            }
        }
    }
}

#else

std::ptrdiff_t sample_grid_neon(const ConstView&, const double*, const double*, double*,
                                std::ptrdiff_t) {
    return 0;
}

void patchwarp_neon(const ConstView&, int32_t, int32_t, const double*, double*, double*,
                    double*, int32_t, int32_t) {}

#endif
