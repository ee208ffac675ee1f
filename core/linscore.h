// Standardisation of a feature matrix and one linear score per sample.
//
// Matrices are column-major with features as rows and samples as columns:
// feature i of sample j lies at index i + j * features. Both functions take
// the sample count before the feature count.
#pragma once

#include <cstdint>

#include "core/kernel_path.h"
#include "core/matrix_view.h"

// Z(i, j) = (X(i, j) - mean[i]) / scale[i] for every feature i < features and
// sample j < samples. X and Z hold features * samples elements, mean and scale
// at least `features` each. The difference is rounded first, then divided with
// a true IEEE division, so a zero scale gives +-inf or NaN. Nothing is written
// when either count is at most 0.
void rescale(const double* X, double* Z, const double* mean, const double* scale,
             int32_t samples, int32_t features);

// scores[j] = (((+0.0 + w[0] * Z(0, j)) + w[1] * Z(1, j)) + ...
//              + w[features - 1] * Z(features - 1, j)) + w[features]
// evaluated strictly left to right, every product and sum rounded on its own.
// Z holds features * samples elements, w at least features + 1 (the last one
// used is the bias); a negative feature count is taken as 0. Nothing is
// written when samples is at most 0.
void predict_scores(double* scores, const double* Z, const double* w,
                    int32_t samples, int32_t features);

// rescale, then predict_scores, with the same results bit for bit (Z
// included), the way the module runs them: block by block while the block is
// in the cache. The vector paths standardise four samples at a time and score
// them together, each score keeping its one running sum in feature order.
void rescale_and_score(const double* X, double* Z, const double* mean, const double* scale,
                       const double* w, double* scores, int32_t samples, int32_t features,
                       KernelPath path = KernelPath::Fastest);

// The scores of rescale_and_score, bit for bit, from X stored feature by
// feature: feature i of sample j at index j + i * samples (the transpose of
// the layout above, as a C-ordered features x samples array is). No
// standardised copy is kept: samples are taken in blocks whose running sums,
// held in `scores`, stay in the cache, and each feature's row of the block
// is standardised and added into the sums, feature after feature, so that
// each score keeps its one running sum in feature order. mean and scale hold
// at least `features` elements and w at least features + 1 (the last one
// used is the bias); a negative feature count is taken as 0. Nothing is
// written when samples is at most 0.
void score_feature_rows(const double* X, const double* mean, const double* scale,
                        const double* w, double* scores, int32_t samples, int32_t features,
                        KernelPath path = KernelPath::Fastest);

// The scores of rescale_and_score, bit for bit, from views where they lie: X
// features x samples with any steps from 0; mean and scale of at least
// X.rows elements and w of at least X.rows + 1 and scores of X.cols, each a
// column (element i at data[i * row_step]). A column-major or row-major X
// with contiguous vectors runs on the vector paths (column-major through a
// standardised copy of a few samples at a time, from the heap, whose
// std::bad_alloc propagates before anything is written); any other layout
// on a scalar path that walks X along its nearer steps, each score keeping
// its one running sum in feature order.
void linscore_strided(const ConstView& X, const ConstView& mean, const ConstView& scale,
                      const ConstView& w, const DoubleView& scores,
                      KernelPath path = KernelPath::Fastest);
