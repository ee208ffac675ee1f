// [P, X, Y] = patchwarp(image, template, A): an M x N grid centred on the
// origin (M x N the size of the template), mapped into the image by the 2 x 3
// affine matrix A, clamped onto the image and sampled by bilinear
// interpolation; P is the patch, X and Y the clamped 0-based column and row
// positions it was sampled at, each M x N.
#include "modules/args.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const PatchwarpPlan plan = patchwarp_check(nlhs, nrhs, prhs);

    // All three results exist on every call, since the kernel reads the
    // positions back from the second and third. The host provides only
    // max(nlhs, 1) slots; a result without a slot is released by the host
    // when the call ends.
    const int slots = nlhs > 1 ? nlhs : 1;
    mxArray* results[3];
    for (int r = 0; r < 3; ++r) {
        results[r] = mxCreateDoubleMatrix(plan.grid.rows, plan.grid.cols, mxREAL);
        if (r < slots) plhs[r] = results[r];
    }
    patchwarp_run(plan, column_major_view<const double>(mxGetPr(prhs[0]), plan.image),
                  mxGetPr(prhs[2]), column_major_view(mxGetPr(results[0]), plan.grid),
                  column_major_view(mxGetPr(results[1]), plan.grid),
                  column_major_view(mxGetPr(results[2]), plan.grid));
}
