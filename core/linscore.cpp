#include "core/linscore.h"

#include <cstddef>

#include "core/linscore_simd.h"

// Each standardised value depends only on its own inputs, so the walk is free:
// sample by sample, the features of one sample being contiguous in memory.
// Offsets are computed in ptrdiff_t so that features * samples never
// overflows a 32-bit product.
void rescale(const double* X, double* Z, const double* mean, const double* scale,
             int32_t samples, int32_t features)
{
    if (samples <= 0 || features <= 0)
        return;
    for (int32_t j = 0; j < samples; ++j) {
        const std::ptrdiff_t column = static_cast<std::ptrdiff_t>(j) * features;
        const double* x = X + column;
        double* z = Z + column;
        for (int32_t i = 0; i < features; ++i) {
            const double centred = x[i] - mean[i];
            z[i] = centred / scale[i];
        }
    }
}

// One running sum per sample, started at +0.0 so that a sum of signed zeros
// and a -0.0 bias come out as +0.0; features in increasing order, bias last.
// No partial sums: the order of the additions decides the rounding.
void predict_scores(double* scores, const double* Z, const double* w,
                    int32_t samples, int32_t features)
{
    if (samples <= 0)
        return;
    const int32_t count = features > 0 ? features : 0;  // a negative count has no features
    const double bias = w[count];
    for (int32_t j = 0; j < samples; ++j) {
        const double* z = Z + static_cast<std::ptrdiff_t>(j) * count;
        double sum = +0.0;
        for (int32_t k = 0; k < count; ++k) {
            const double product = w[k] * z[k];
            sum = sum + product;
        }
        scores[j] = sum + bias;
    }
}

void rescale_and_score(const double* X, double* Z, const double* mean, const double* scale,
                       const double* w, double* scores, int32_t samples, int32_t features,
                       KernelPath path)
{
    int32_t done = 0;
    if (samples > 0 && features >= 0 && resolve_kernel_path(path) == KernelPath::AVX2)
        done = rescale_and_score_avx2(X, Z, mean, scale, w, scores, samples, features);
    // The samples left (all of them on the scalar path), in the same order.
    const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(done) * (features > 0 ? features : 0);
    rescale(X + offset, Z + offset, mean, scale, samples - done, features);
    predict_scores(scores + done, Z + offset, w, samples - done, features);
}
