#include "core/linscore.h"

#include <algorithm>
#include <cstddef>
#include <memory>

#include "core/linscore_simd.h"
#include "core/simd_config.h"

#if KERNELS_HAVE_SSE2
#include <emmintrin.h>
#endif

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

#if KERNELS_HAVE_SSE2
namespace {

// Two samples at a time with SSE2: two features of both samples standardised
// together, then regrouped so that one register holds one feature of the two
// samples, and the two running sums take the products in feature order. The
// same operations as rescale and predict_scores, each rounded on its own.
int32_t rescale_and_score_sse2(const double* X, double* Z, const double* mean,
                               const double* scale, const double* w, double* scores,
                               int32_t samples, int32_t features)
{
    const std::ptrdiff_t M = features;
    const std::ptrdiff_t full = M - M % 2;
    const __m128d bias = _mm_set1_pd(w[M]);
    const int32_t done = samples - samples % 2;
    for (int32_t j = 0; j < done; j += 2) {
        const double* x0 = X + static_cast<std::ptrdiff_t>(j) * M;
        const double* x1 = x0 + M;
        double* z0 = Z + static_cast<std::ptrdiff_t>(j) * M;
        double* z1 = z0 + M;
        __m128d sum = _mm_setzero_pd();
        for (std::ptrdiff_t i = 0; i < full; i += 2) {
            const __m128d m = _mm_loadu_pd(mean + i);
            const __m128d s = _mm_loadu_pd(scale + i);
            const __m128d a = _mm_div_pd(_mm_sub_pd(_mm_loadu_pd(x0 + i), m), s);
            const __m128d b = _mm_div_pd(_mm_sub_pd(_mm_loadu_pd(x1 + i), m), s);
            _mm_storeu_pd(z0 + i, a);
            _mm_storeu_pd(z1 + i, b);
            sum = _mm_add_pd(sum, _mm_mul_pd(_mm_set1_pd(w[i]), _mm_unpacklo_pd(a, b)));
            sum = _mm_add_pd(sum, _mm_mul_pd(_mm_set1_pd(w[i + 1]), _mm_unpackhi_pd(a, b)));
        }
        if (full < M) {
            const __m128d z = _mm_div_pd(_mm_sub_pd(_mm_set_pd(x1[full], x0[full]),
                                                    _mm_set1_pd(mean[full])),
                                         _mm_set1_pd(scale[full]));
            _mm_storel_pd(z0 + full, z);
            _mm_storeh_pd(z1 + full, z);
            sum = _mm_add_pd(sum, _mm_mul_pd(_mm_set1_pd(w[full]), z));
        }
        _mm_storeu_pd(scores + j, _mm_add_pd(sum, bias));
    }
    return done;
}

}  // namespace
#endif

void rescale_and_score(const double* X, double* Z, const double* mean, const double* scale,
                       const double* w, double* scores, int32_t samples, int32_t features,
                       KernelPath path)
{
    int32_t done = 0;
    if (samples > 0 && features >= 0) {
        const KernelPath run = resolve_kernel_path(path);
        if (runs_avx2_code(run))
            done = rescale_and_score_avx2(X, Z, mean, scale, w, scores, samples, features);
        else if (run == KernelPath::NEON)
            done = rescale_and_score_neon(X, Z, mean, scale, w, scores, samples, features);
#if KERNELS_HAVE_SSE2
        else if (run == KernelPath::SSE2)
            done = rescale_and_score_sse2(X, Z, mean, scale, w, scores, samples, features);
#endif
    }
    // The samples left (all of them on the scalar path), in the same order.
    const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(done) * (features > 0 ? features : 0);
    rescale(X + offset, Z + offset, mean, scale, samples - done, features);
    predict_scores(scores + done, Z + offset, w, samples - done, features);
}

// Samples per block of score_feature_rows: their running sums (256 KiB) stay
// in the second-level cache while every feature's row of the block passes,
// and each row is read in long runs, which the processor prefetches well
// (blocks that fit the first-level cache make runs too short for that).
constexpr int32_t kRowBlock = 32768;

namespace {

// Adds features 0 .. count - 1 of samples from .. to - 1 into their running
// sums, one feature after the other: sum = sum + w[i] * ((x - mean[i]) / scale[i]),
// each operation rounded on its own, as rescale and predict_scores do.
void add_feature_rows(const double* X, const double* mean, const double* scale,
                      const double* w, double* scores, int32_t samples, int32_t count,
                      int32_t from, int32_t to)
{
    for (int32_t i = 0; i < count; ++i) {
        const double* x = X + static_cast<std::ptrdiff_t>(i) * samples;
        for (int32_t j = from; j < to; ++j) {
            const double standardised = (x[j] - mean[i]) / scale[i];
            scores[j] = scores[j] + w[i] * standardised;
        }
    }
}

#if KERNELS_HAVE_SSE2
// The same, two samples at a time with SSE2; returns where the pairs end.
int32_t add_feature_rows_sse2(const double* X, const double* mean, const double* scale,
                              const double* w, double* scores, int32_t samples, int32_t count,
                              int32_t from, int32_t to)
{
    const int32_t done = to - (to - from) % 2;
    for (int32_t i = 0; i < count; ++i) {
        const double* x = X + static_cast<std::ptrdiff_t>(i) * samples;
        const __m128d m = _mm_set1_pd(mean[i]);
        const __m128d s = _mm_set1_pd(scale[i]);
        const __m128d weight = _mm_set1_pd(w[i]);
        for (int32_t j = from; j < done; j += 2) {
            const __m128d z = _mm_div_pd(_mm_sub_pd(_mm_loadu_pd(x + j), m), s);
            _mm_storeu_pd(scores + j, _mm_add_pd(_mm_loadu_pd(scores + j), _mm_mul_pd(weight, z)));
        }
    }
    return done;
}
#endif

}  // namespace

namespace {

// score_feature_rows on X whose rows (features) lie row_step elements apart,
// row_step from `samples` up: the samples of a range of a wider matrix.
void score_feature_rows_apart(const double* X, int32_t row_step, const double* mean,
                              const double* scale, const double* w, double* scores,
                              int32_t samples, int32_t features, KernelPath path)
{
    if (samples <= 0)
        return;
    const int32_t count = features > 0 ? features : 0;  // a negative count has no features
    const double bias = w[count];
    const KernelPath run = resolve_kernel_path(path);
    int32_t to = 0;
    for (int32_t from = 0; from < samples; from = to) {
        to = samples - from < kRowBlock ? samples : from + kRowBlock;
        for (int32_t j = from; j < to; ++j)
            scores[j] = +0.0;
        int32_t done = from;
        if (runs_avx2_code(run))
            done = add_feature_rows_avx2(X, mean, scale, w, scores, row_step, count, from, to);
        else if (run == KernelPath::NEON)
            done = add_feature_rows_neon(X, mean, scale, w, scores, row_step, count, from, to);
#if KERNELS_HAVE_SSE2
        else if (run == KernelPath::SSE2)
            done = add_feature_rows_sse2(X, mean, scale, w, scores, row_step, count, from, to);
#endif
        // The samples left (all of them on the scalar path), in the same order.
        add_feature_rows(X, mean, scale, w, scores, row_step, count, done, to);
        for (int32_t j = from; j < to; ++j)
            scores[j] = scores[j] + bias;
    }
}

}  // namespace

void score_feature_rows(const double* X, const double* mean, const double* scale,
                        const double* w, double* scores, int32_t samples, int32_t features,
                        KernelPath path)
{
    score_feature_rows_apart(X, samples, mean, scale, w, scores, samples, features, path);
}

namespace {

// Whether a vector's first `count` elements lie one after the other (w's
// count, M + 1, reaches 2^31 where M is the largest count).
bool contiguous(const ConstView& vector, int64_t count) {
    return count <= 1 || vector.row_step == 1;
}

// Standardised values per block of column-major samples: the block's copy
// stays in the cache while it is scored.
constexpr std::ptrdiff_t kStandardisedBlock = 16384;

}  // namespace

void linscore_strided(const ConstView& X, const ConstView& mean, const ConstView& scale,
                      const ConstView& w, const DoubleView& scores, KernelPath path)
{
    const int32_t features = X.rows > 0 ? X.rows : 0;
    const int32_t samples = X.cols;
    if (samples <= 0)
        return;
    const bool vectors = contiguous(mean, features) && contiguous(scale, features) &&
                         contiguous(w, int64_t{features} + 1) &&
                         (samples <= 1 || scores.row_step == 1);
    // Rows of samples side by side: a row-major X, or a range of the samples
    // of one (its rows further apart than the range is wide).
    if (vectors && X.col_step == 1 &&
        (features <= 1 || (X.row_step >= samples && X.row_step <= INT32_MAX))) {
        const int32_t row_step = features <= 1 ? samples : static_cast<int32_t>(X.row_step);
        score_feature_rows_apart(X.data, row_step, mean.data, scale.data, w.data, scores.data,
                                 samples, features, path);
        return;
    }
    if (vectors && X.column_major() && features > 0) {
        const int32_t block = static_cast<int32_t>(
            std::max<std::ptrdiff_t>(4, kStandardisedBlock / features / 4 * 4));
        const int32_t width = std::min(block, samples);
        const std::unique_ptr<double[]> Z(
            new double[static_cast<std::size_t>(features) * static_cast<std::size_t>(width)]);
        for (int32_t from = 0; from < samples; from += width) {
            const int32_t count = std::min(width, samples - from);
            rescale_and_score(X.data + static_cast<std::ptrdiff_t>(from) * features, Z.get(),
                              mean.data, scale.data, w.data, scores.data + from, count,
                              features, path);
        }
        return;
    }
    // Any other layout: the operations of rescale and predict_scores on each
    // element, one running sum per sample in feature order. Along the samples
    // first where they lie closer than the features, the sums held in
    // `scores` meanwhile.
    const double bias = w.at(features, 0);
    if (X.col_step < X.row_step) {
        for (int32_t j = 0; j < samples; ++j)
            scores.at(j, 0) = +0.0;
        for (int32_t i = 0; i < features; ++i) {
            const double m = mean.at(i, 0), s = scale.at(i, 0), weight = w.at(i, 0);
            for (int32_t j = 0; j < samples; ++j) {
                const double standardised = (X.at(i, j) - m) / s;
                scores.at(j, 0) = scores.at(j, 0) + weight * standardised;
            }
        }
        for (int32_t j = 0; j < samples; ++j)
            scores.at(j, 0) = scores.at(j, 0) + bias;
        return;
    }
    for (int32_t j = 0; j < samples; ++j) {
        double sum = +0.0;
        for (int32_t i = 0; i < features; ++i) {
            const double standardised = (X.at(i, j) - mean.at(i, 0)) / scale.at(i, 0);
            sum = sum + w.at(i, 0) * standardised;
        }
        scores.at(j, 0) = sum + bias;
    }
}
