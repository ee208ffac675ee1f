// gridlerp(image, X, Y): the image sampled by bilinear interpolation at the
// 0-based positions (X(k), Y(k)), each clamped onto the image; the result has
// the shape of X.
#include "modules/args.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const GridlerpPlan plan = gridlerp_check(nlhs, nrhs, prhs);
    plhs[0] = mxCreateDoubleMatrix(plan.grid.rows, plan.grid.cols, mxREAL);
    // Y's first elements pair with X's in column order.
    gridlerp_run(plan, column_major_view<const double>(mxGetPr(prhs[0]), plan.image),
                 column_major_view<const double>(mxGetPr(prhs[1]), plan.grid),
                 column_major_view<const double>(mxGetPr(prhs[2]), plan.grid),
                 column_major_view(mxGetPr(plhs[0]), plan.grid));
}
