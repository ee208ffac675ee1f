// The lower-envelope transform of eight lines at once with NEON (every 64-bit
// ARM processor has it), in the same steps as the AVX2 path
// (core/envelope_avx2.cpp describes the construction and the evaluation):
// the lanes work in step, all inserting source index q, then all evaluating
// position j, each lane with the scalar transform's operations in the scalar
// transform's order. A NEON register holds two doubles, so the eight lanes
// are four windows of two. NEON has no gather: the piece under a window's
// top is loaded lane by lane. No fused multiply-add is used, and the build
// forbids the compiler to form one.
#include "envelope_simd.h"
#include "simd_config.h"

#if KERNELS_HAVE_NEON
#include <arm_neon.h>

namespace {

constexpr float kLowerSentinel = -1.0e20f;
constexpr int kWindows = kEnvelopeLanes / 2;

// Two of the eight lanes.
struct Window {
    int32x2_t top;        // source index of the top piece
    float64x2_t top_d;    // the same, as a double
    float64x2_t f_top;    // its source value
    float32x2_t b_top;    // its left boundary
    int32x2_t under;      // the piece under the top, its value and boundary
    float64x2_t f_under;
    float32x2_t b_under;
};

// A mask of two 32-bit lanes widened to two 64-bit lanes.
inline uint64x2_t widen(uint32x2_t mask) {
    return vreinterpretq_u64_s64(vmovl_s32(vreinterpret_s32_u32(mask)));
}

// The boundary between source index q (value fq) and the top piece, rounded
// to single precision: ((f(q) - f(v)) - lin (q - v)) + quad (q^2 - v^2) over
// (q - v)(quad + quad), every operation rounded on its own, in this order.
inline float32x2_t boundary(float64x2_t q, float64x2_t fq, const Window& w, float64x2_t quad,
                            float64x2_t lin, float64x2_t quad2) {
    const float64x2_t diff = vsubq_f64(q, w.top_d);
    const float64x2_t squares = vsubq_f64(vmulq_f64(q, q), vmulq_f64(w.top_d, w.top_d));
    const float64x2_t numerator =
        vaddq_f64(vsubq_f64(vsubq_f64(fq, w.f_top), vmulq_f64(lin, diff)),
                  vmulq_f64(quad, squares));
    return vcvt_f32_f64(vdivq_f64(numerator, vmulq_f64(diff, quad2)));
}

// Lanes set in `mask` step down to the piece under their top; the piece under
// that one is loaded from the list (for both lanes, every entry reachable
// from a window having been written, and kept only where `mask` is set).
inline void step_down(Window& w, uint32x2_t mask, int first_lane, const int32_t* below,
                      const float* below_bound, const double* below_f) {
    const std::ptrdiff_t at0 =
        static_cast<std::ptrdiff_t>(vget_lane_s32(w.under, 0)) * kEnvelopeLanes + first_lane;
    const std::ptrdiff_t at1 =
        static_cast<std::ptrdiff_t>(vget_lane_s32(w.under, 1)) * kEnvelopeLanes + first_lane + 1;
    const int32x2_t loaded_under = vld1_lane_s32(below + at1, vld1_dup_s32(below + at0), 1);
    const float32x2_t loaded_b =
        vld1_lane_f32(below_bound + at1, vld1_dup_f32(below_bound + at0), 1);
    const float64x2_t loaded_f = vcombine_f64(vld1_f64(below_f + at0), vld1_f64(below_f + at1));
    const uint64x2_t mask_wide = widen(mask);
    w.top = vbsl_s32(mask, w.under, w.top);
    w.top_d = vcvtq_f64_s64(vmovl_s32(w.top));
    w.f_top = vbslq_f64(mask_wide, w.f_under, w.f_top);
    w.b_top = vbsl_f32(mask, w.b_under, w.b_top);
    w.under = vbsl_s32(mask, loaded_under, w.under);
    w.f_under = vbslq_f64(mask_wide, loaded_f, w.f_under);
    w.b_under = vbsl_f32(mask, loaded_b, w.b_under);
}

// Lanes whose top piece is not the first and whose boundary s is at or left
// of the top's (ordered: a NaN removes nothing).
inline uint32x2_t removable(const Window& w, float32x2_t s) {
    return vbic_u32(vcle_f32(s, w.b_top), vceq_s32(w.top, vdup_n_s32(0)));
}

// Lanes whose top piece starts at or right of the threshold (ordered).
inline uint32x2_t above(const Window& w, float32x2_t threshold) {
    return vcge_f32(w.b_top, threshold);
}

inline bool any(const uint32x2_t (&masks)[kWindows]) {
    uint32x2_t all = masks[0];
    for (int n = 1; n < kWindows; ++n) all = vorr_u32(all, masks[n]);
    return vget_lane_u64(vreinterpret_u64_u32(all), 0) != 0;
}

// Pushes q (value fq, boundary s) on a window of lanes; returns the lanes
// whose new boundary is not above the one under it (NaN included).
inline uint32x2_t push(Window& w, int32_t q, float64x2_t qd, float64x2_t fq, float32x2_t s,
                       int32_t* below, float* below_bound, double* below_f) {
    vst1_s32(below, w.top);
    vst1_f32(below_bound, w.b_top);
    vst1q_f64(below_f, w.f_top);
    const uint32x2_t irregular = vmvn_u32(vcgt_f32(s, w.b_top));
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    w.top = vdup_n_s32(q);
    w.top_d = qd;
    w.f_top = fq;
    w.b_top = s;
    return irregular;
}

inline void start(Window& w, float64x2_t f0, int32_t* below, float* below_bound,
                  double* below_f) {
    w.top = vdup_n_s32(0);
    w.top_d = vdupq_n_f64(0.0);
    w.f_top = f0;
    w.b_top = vdup_n_f32(kLowerSentinel);
    w.under = w.top;
    w.f_under = w.f_top;
    w.b_under = w.b_top;
    // Piece 0 is never removed; its list entry is only ever loaded.
    vst1_s32(below, w.top);
    vst1_f32(below_bound, w.b_top);
    vst1q_f64(below_f, w.f_top);
}

// (quad d^2 + lin d) + f(v), d = p - v.
inline float64x2_t value_at(const Window& w, float64x2_t p, float64x2_t quad, float64x2_t lin) {
    const float64x2_t d = vsubq_f64(p, w.top_d);
    return vaddq_f64(vaddq_f64(vmulq_f64(quad, vmulq_f64(d, d)), vmulq_f64(lin, d)), w.f_top);
}

}  // namespace

uint32_t lower_envelope_8_neon(const double* in, std::ptrdiff_t in_row, int32_t line_len,
                               double quad_coef, double lin_coef, const int32_t* positions,
                               const float* thresholds, int32_t out_len, double* values,
                               int32_t* args, std::ptrdiff_t out_row, int32_t* below,
                               float* below_bound, double* below_f) {
    constexpr std::ptrdiff_t L = kEnvelopeLanes;
    const float64x2_t quad = vdupq_n_f64(quad_coef);
    const float64x2_t lin = vdupq_n_f64(lin_coef);
    const float64x2_t quad2 = vdupq_n_f64(quad_coef + quad_coef);

    // Lanes 2n and 2n + 1 in window n.
    Window w[kWindows];
    uint32x2_t irregular[kWindows];
    for (int n = 0; n < kWindows; ++n) {
        start(w[n], vld1q_f64(in + 2 * n), below + 2 * n, below_bound + 2 * n,
              below_f + 2 * n);
        irregular[n] = vdup_n_u32(0);
    }

    for (int32_t q = 1; q < line_len; ++q) {
        const float64x2_t qd = vdupq_n_f64(static_cast<double>(q));
        const std::ptrdiff_t at = q * L;
        float64x2_t fq[kWindows];
        float32x2_t s[kWindows];
        uint32x2_t remove[kWindows];
        for (int n = 0; n < kWindows; ++n) {
            fq[n] = vld1q_f64(in + q * in_row + 2 * n);
            s[n] = boundary(qd, fq[n], w[n], quad, lin, quad2);
            remove[n] = removable(w[n], s[n]);
        }
        while (any(remove)) {
            for (int n = 0; n < kWindows; ++n) {
                step_down(w[n], remove[n], 2 * n, below, below_bound, below_f);
                s[n] = boundary(qd, fq[n], w[n], quad, lin, quad2);
                remove[n] = removable(w[n], s[n]);
            }
        }
        for (int n = 0; n < kWindows; ++n)
            irregular[n] = vorr_u32(irregular[n],
                                    push(w[n], q, qd, fq[n], s[n], below + at + 2 * n,
                                         below_bound + at + 2 * n, below_f + at + 2 * n));
    }

    for (int32_t j = out_len - 1; j >= 0; --j) {
        const float32x2_t threshold = vdup_n_f32(thresholds[j]);
        uint32x2_t down[kWindows];
        for (int n = 0; n < kWindows; ++n) down[n] = above(w[n], threshold);
        while (any(down)) {
            for (int n = 0; n < kWindows; ++n) {
                step_down(w[n], down[n], 2 * n, below, below_bound, below_f);
                down[n] = above(w[n], threshold);
            }
        }
        const float64x2_t p = vdupq_n_f64(static_cast<double>(positions[j]));
        const std::ptrdiff_t at = j * out_row;
        for (int n = 0; n < kWindows; ++n) {
            vst1q_f64(values + at + 2 * n, value_at(w[n], p, quad, lin));
            vst1_s32(args + at + 2 * n, w[n].top);
        }
    }

    uint32_t lanes = 0;
    for (int n = 0; n < kWindows; ++n) {
        lanes |= (vget_lane_u32(irregular[n], 0) & 1u) << (2 * n);
        lanes |= (vget_lane_u32(irregular[n], 1) & 1u) << (2 * n + 1);
    }
    return lanes;
}

#else

uint32_t lower_envelope_8_neon(const double*, std::ptrdiff_t, int32_t, double, double,
                               const int32_t*, const float*, int32_t, double*, int32_t*,
                               std::ptrdiff_t, int32_t*, float*, double*) {
    return 0;
}

#endif
