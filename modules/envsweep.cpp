// [out_map, best_col, best_row] = envsweep(source_map, col_quad, col_lin,
//     row_quad, row_lin, col_first, row_first, out_cols, out_rows, pos_step):
// the shifted, strided two-dimensional distance transform of source_map on an
// out_rows x out_cols grid of positions, with the 1-based source column and
// row that attain each result.
#include "modules/args.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    const EnvsweepPlan plan = envsweep_check(nlhs, nrhs, prhs);
    const ImageDims out = plan.grid.dims;
    mxArray* out_map = mxCreateNumericMatrix(out.rows, out.cols, mxDOUBLE_CLASS, mxREAL);
    mxArray* best_col = mxCreateNumericMatrix(out.rows, out.cols, mxINT32_CLASS, mxREAL);
    mxArray* best_row = mxCreateNumericMatrix(out.rows, out.cols, mxINT32_CLASS, mxREAL);
    // The scratch of the passes, none for an empty output.
    double* mid_map = nullptr;
    int32_t* mid_row = nullptr;
    if (plan.mid_count > 0) {
        mid_map = static_cast<double*>(mxCalloc(plan.mid_count, sizeof(double)));
        mid_row = static_cast<int32_t*>(mxCalloc(plan.mid_count, sizeof(int32_t)));
    }
    const bool done = envsweep_run(
        plan, column_major_view<const double>(mxGetPr(prhs[0]), plan.source), mid_map, mid_row,
        column_major_view(static_cast<double*>(mxGetData(out_map)), out),
        column_major_view(static_cast<int32_t*>(mxGetData(best_col)), out),
        column_major_view(static_cast<int32_t*>(mxGetData(best_row)), out));
    if (mid_map != nullptr) {
        mxFree(mid_map);
        mxFree(mid_row);
    }
    if (!done) fail("envsweep", "outOfMemory", "%s ran out of memory.", "The transform");

    plhs[0] = out_map;
    plhs[1] = best_col;
    plhs[2] = best_row;
}
