// linscore for an X stored feature by feature: the Python package passes a
// C-ordered features x samples array here as the host array it is in column
// order, samples x features (X transposed), and this entry returns the scores
// the linscore entry returns for X, bit for bit, with the same checks and
// messages in the same order. It keeps no standardised copy: each
// standardised value goes into its sample's running sum as it is made.
#include "core/linscore.h"
#include "modules/args.h"

#include <cstddef>

extern "C" void linscore_rows_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
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
    const int32_t samples = dims.rows;
    const int32_t features = dims.cols;
    // Scoring a sample reads one mean and one scale per feature, one weight
    // per feature and the bias; with no sample nothing of them is read.
    if (samples > 0) {
        require_elements(mean, static_cast<size_t>(features), module, "mean");
        require_elements(scale, static_cast<size_t>(features), module, "scale");
        require_elements(w, static_cast<size_t>(features) + 1, module, "w");
    }

    plhs[0] = mxCreateDoubleMatrix(samples, 1, mxREAL);
    score_feature_rows(mxGetPr(X), mxGetPr(mean), mxGetPr(scale), mxGetPr(w), mxGetPr(plhs[0]),
                       samples, features);
}
