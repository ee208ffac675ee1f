// linscore(X, mean, scale, w): one linear score per sample (column of X).
// Each feature (row) of X is standardised with its mean and scale, the
// standardised features are weighted by w(1:M) and summed in feature order,
// and the bias w(M+1) is added last. The result is an N x 1 column.
#include "modules/args.h"

namespace {

// The first `count` elements of a host array, in column order, as a column.
ConstView leading(const mxArray* array, int32_t count) {
    return column_major_view<const double>(mxGetPr(array), {count, 1});
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const LinscorePlan plan = linscore_check(nlhs, nrhs, prhs);
    plhs[0] = mxCreateDoubleMatrix(plan.samples, 1, mxREAL);
    // The standardised copy of X; the host releases it when the call ends.
    mxArray* standardised = mxCreateDoubleMatrix(plan.features, plan.samples, mxREAL);
    // w's view holds its M weights; the kernels read the bias, element M, right
    // after them (M + 1 reaches 2^31, which a view's rows cannot hold).
    linscore_run(plan, column_major_view<const double>(mxGetPr(prhs[0]), {plan.features, plan.samples}),
                 leading(prhs[1], plan.features), leading(prhs[2], plan.features),
                 leading(prhs[3], plan.features), mxGetPr(standardised),
                 column_major_view(mxGetPr(plhs[0]), {plan.samples, 1}));
}
