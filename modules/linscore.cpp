// linscore(X, mean, scale, w): one linear score per sample (column of X).
// Each feature (row) of X is standardised with its mean and scale, the
// standardised features are weighted by w(1:M) and summed in feature order,
// and the bias w(M+1) is added last. The result is an N x 1 column.
#include "core/linscore.h"
#include "modules/args.h"

#include <cstddef>

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    if (nlhs > 1) mexErrMsgTxt("Too many output arguments");
    if (nrhs != 4) mexErrMsgTxt("incorrect number of inputs!");

    const ScoreSizes sizes = linscore_inputs(prhs, false);
    const int32_t features = sizes.features;
    const int32_t samples = sizes.samples;

    plhs[0] = mxCreateDoubleMatrix(samples, 1, mxREAL);
    double* scores = mxGetPr(plhs[0]);
    // The standardised copy of X; the host releases it when the call ends.
    mxArray* standardised = mxCreateDoubleMatrix(features, samples, mxREAL);
    double* Z = mxGetPr(standardised);

    // rescale then predict_scores, block by block while the block is in the
    // cache.
    rescale_and_score(mxGetPr(prhs[0]), Z, mxGetPr(prhs[1]), mxGetPr(prhs[2]), mxGetPr(prhs[3]),
                      scores, samples, features);
}
