// The vector paths of rescale_and_score (core/linscore.cpp chooses among
// them).
#pragma once

#include <cstdint>

// Standardises and scores samples 0 .. done - 1, done being `samples` rounded
// down to a multiple of four, with the bits of rescale and predict_scores;
// returns done. Requires samples >= 1 and features >= 0.
int32_t rescale_and_score_avx2(const double* X, double* Z, const double* mean,
                               const double* scale, const double* w, double* scores,
                               int32_t samples, int32_t features);

// The same two samples at a time with NEON; done is `samples` rounded down to a
// multiple of two.
int32_t rescale_and_score_neon(const double* X, double* Z, const double* mean,
                               const double* scale, const double* w, double* scores,
                               int32_t samples, int32_t features);

// Of score_feature_rows: adds features 0 .. features - 1 into the running sums
// scores[from .. done - 1], done being `to` less (to - from) modulo the
// vector width (four for AVX2, two for NEON); returns done. X is the whole
// feature-by-feature matrix of `samples` columns; requires features >= 0.
int32_t add_feature_rows_avx2(const double* X, const double* mean, const double* scale,
                              const double* w, double* scores, int32_t samples,
                              int32_t features, int32_t from, int32_t to);
int32_t add_feature_rows_neon(const double* X, const double* mean, const double* scale,
                              const double* w, double* scores, int32_t samples,
                              int32_t features, int32_t from, int32_t to);
