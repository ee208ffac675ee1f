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

    const ScoreSizes sizes = linscore_inputs(prhs, true);
    const int32_t features = sizes.features;
    const int32_t samples = sizes.samples;

    plhs[0] = mxCreateDoubleMatrix(samples, 1, mxREAL);
    score_feature_rows(mxGetPr(prhs[0]), mxGetPr(prhs[1]), mxGetPr(prhs[2]), mxGetPr(prhs[3]),
                       mxGetPr(plhs[0]), samples, features);
}
