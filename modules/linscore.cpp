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

    const char* module = "linscore";
    const mxArray* X = prhs[0];
    const mxArray* mean = prhs[1];
    const mxArray* scale = prhs[2];
    const mxArray* w = prhs[3];
    require_real_double(X, module, "X");
    require_real_double(mean, module, "mean");
    require_real_double(scale, module, "scale");
    require_real_double(w, module, "w");
    const ImageDims dims = host_dims(X, module, "X");
    element_count(dims, module, "X");
    const int32_t features = dims.rows;
    const int32_t samples = dims.cols;
    // Scoring a sample reads one mean and one scale per feature, one weight
    // per feature and the bias; with no sample nothing of them is read.
    if (samples > 0) {
        require_elements(mean, static_cast<size_t>(features), module, "mean");
        require_elements(scale, static_cast<size_t>(features), module, "scale");
        require_elements(w, static_cast<size_t>(features) + 1, module, "w");
    }

    plhs[0] = mxCreateDoubleMatrix(samples, 1, mxREAL);
    double* scores = mxGetPr(plhs[0]);
    // The standardised copy of X; the host releases it when the call ends.
    mxArray* standardised = mxCreateDoubleMatrix(features, samples, mxREAL);
    double* Z = mxGetPr(standardised);

    // rescale then predict_scores, block by block while the block is in the
    // cache.
    rescale_and_score(mxGetPr(X), Z, mxGetPr(mean), mxGetPr(scale), mxGetPr(w), scores,
                      samples, features);
}
