// Standardisation and scoring of two samples at a time with NEON (every
// 64-bit ARM processor has it).
//
// Two features of both samples are standardised together (difference, then
// true division) and stored in Z; the pair is then regrouped so that one
// register holds one feature of the two samples, and the two running sums
// (one per sample) take the products feature by feature, in feature order,
// each product and each sum rounded on its own: the same operations as the
// scalar loops, only two samples side by side. No fused multiply-add is used,
// and the build forbids the compiler to form one.
#include "linscore_simd.h"
#include "simd_config.h"

#include <cstddef>
#include <cstdint>

#if KERNELS_HAVE_NEON
#include <arm_neon.h>

int32_t rescale_and_score_neon(const double* X, double* Z, const double* mean,
                               const double* scale, const double* w, double* scores,
                               int32_t samples, int32_t features) {
    const std::ptrdiff_t M = features;
    const std::ptrdiff_t full = M - M % 2;
    const float64x2_t bias = vdupq_n_f64(w[M]);
    const int32_t done = samples - samples % 2;
    for (int32_t j = 0; j < done; j += 2) {
        const double* x0 = X + static_cast<std::ptrdiff_t>(j) * M;
        const double* x1 = x0 + M;
        double* z0 = Z + static_cast<std::ptrdiff_t>(j) * M;
        double* z1 = z0 + M;
        float64x2_t sum = vdupq_n_f64(+0.0);
        for (std::ptrdiff_t i = 0; i < full; i += 2) {
            const float64x2_t m = vld1q_f64(mean + i);
            const float64x2_t s = vld1q_f64(scale + i);
            const float64x2_t a = vdivq_f64(vsubq_f64(vld1q_f64(x0 + i), m), s);
            const float64x2_t b = vdivq_f64(vsubq_f64(vld1q_f64(x1 + i), m), s);
            vst1q_f64(z0 + i, a);
            vst1q_f64(z1 + i, b);
            // Feature i of both samples, then feature i + 1.
            sum = vaddq_f64(sum, vmulq_f64(vdupq_n_f64(w[i]), vzip1q_f64(a, b)));
            sum = vaddq_f64(sum, vmulq_f64(vdupq_n_f64(w[i + 1]), vzip2q_f64(a, b)));
        }
        if (full < M) {
            const float64x2_t x = vcombine_f64(vld1_f64(x0 + full), vld1_f64(x1 + full));
            const float64x2_t z =
                vdivq_f64(vsubq_f64(x, vdupq_n_f64(mean[full])), vdupq_n_f64(scale[full]));
            vst1_f64(z0 + full, vget_low_f64(z));
            vst1_f64(z1 + full, vget_high_f64(z));
            sum = vaddq_f64(sum, vmulq_f64(vdupq_n_f64(w[full]), z));
        }
        vst1q_f64(scores + j, vaddq_f64(sum, bias));
    }
    return done;
}

// Feature by feature, two samples at a time, as the scalar loop.
int32_t add_feature_rows_neon(const double* X, const double* mean, const double* scale,
                              const double* w, double* scores, int32_t samples,
                              int32_t features, int32_t from, int32_t to) {
    const int32_t done = to - (to - from) % 2;
    for (int32_t i = 0; i < features; ++i) {
        const double* x = X + static_cast<std::ptrdiff_t>(i) * samples;
        const float64x2_t m = vdupq_n_f64(mean[i]);
        const float64x2_t s = vdupq_n_f64(scale[i]);
        const float64x2_t weight = vdupq_n_f64(w[i]);
        for (int32_t j = from; j < done; j += 2) {
            const float64x2_t z = vdivq_f64(vsubq_f64(vld1q_f64(x + j), m), s);
            vst1q_f64(scores + j, vaddq_f64(vld1q_f64(scores + j), vmulq_f64(weight, z)));
        }
    }
    return done;
}

#else

int32_t add_feature_rows_neon(const double*, const double*, const double*, const double*,
                              double*, int32_t, int32_t, int32_t from, int32_t) {
    return from;
}

int32_t rescale_and_score_neon(const double*, double*, const double*, const double*,
                               const double*, double*, int32_t, int32_t) {
    return 0;
}

#endif
