// [out_map, best_col, best_row] = envsweep(source_map, col_quad, col_lin,
//     row_quad, row_lin, col_first, row_first, out_cols, out_rows, pos_step):
// the shifted, strided two-dimensional distance transform of source_map on an
// out_rows x out_cols grid of positions, with the 1-based source column and
// row that attain each result.
#include <cstdint>
#include <new>

#include "core/envsweep.h"
#include "modules/args.h"

namespace {

// The call, with source_map and the three results in `order`. The host's
// arrays are in column order; a matrix in row order is given as the host
// array of its transpose (its column order), so that in row order source_map
// is read transposed and the results are made transposed.
void envsweep_call(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], MapOrder order) {
    if (nrhs != 10) mexErrMsgTxt("Wrong number of inputs");
    if (nlhs != 3) mexErrMsgTxt("Wrong number of outputs");
    if (mxGetClassID(prhs[0]) != mxDOUBLE_CLASS) mexErrMsgTxt("Invalid input");

    const char* module = "envsweep";
    const mxArray* source_map = prhs[0];
    require_real_double(source_map, module, "source_map");
    const bool by_rows = order == MapOrder::Rows;
    const ImageDims host_source = host_dims(source_map, module, "source_map");
    const ImageDims source_dims =
        by_rows ? ImageDims{host_source.cols, host_source.rows} : host_source;
    element_count(source_dims, module, "source_map");

    const SweepCost cost{scalar_input(prhs[1], module, "col_quad"),
                         scalar_input(prhs[2], module, "col_lin"),
                         scalar_input(prhs[3], module, "row_quad"),
                         scalar_input(prhs[4], module, "row_lin")};
    SweepGrid grid;
    grid.col_first = truncated_position(scalar_input(prhs[5], module, "col_first"), module,
                                        "col_first");
    grid.row_first = truncated_position(scalar_input(prhs[6], module, "row_first"), module,
                                        "row_first");
    grid.dims.cols = truncated_count(scalar_input(prhs[7], module, "out_cols"), module, "out_cols");
    grid.dims.rows = truncated_count(scalar_input(prhs[8], module, "out_rows"), module, "out_rows");
    grid.pos_step = scalar_input(prhs[9], module, "pos_step");
    if (!(grid.pos_step >= 0))
        fail(module, "badScalar", "%s must be a number not below 0.", "pos_step");

    const ImageDims mid_dims{grid.dims.rows, source_dims.cols};
    const int32_t mid_count =
        element_count(mid_dims, module, "The intermediate map (out_rows x source columns)");
    element_count(grid.dims, module, "The output (out_rows x out_cols)");
    const bool output_empty = grid.dims.rows == 0 || grid.dims.cols == 0;
    const bool source_empty = source_dims.rows == 0 || source_dims.cols == 0;
    if (source_empty && !output_empty)
        fail(module, "emptySource", "%s is empty; there is nothing to transform.", "source_map");
    // An empty output evaluates no position; checking them would only cost
    // time (up to 2^31 steps for a count that goes with a zero one).
    if (!output_empty && !sweep_positions_fit(grid))
        fail(module, "positionRange", "%s leave the 32-bit integer range.",
             "The output positions");

    const ImageDims out = by_rows ? ImageDims{grid.dims.cols, grid.dims.rows} : grid.dims;
    mxArray* out_map = mxCreateNumericMatrix(out.rows, out.cols, mxDOUBLE_CLASS, mxREAL);
    mxArray* best_col = mxCreateNumericMatrix(out.rows, out.cols, mxINT32_CLASS, mxREAL);
    mxArray* best_row = mxCreateNumericMatrix(out.rows, out.cols, mxINT32_CLASS, mxREAL);
    // An empty output grid has nothing to compute: its three empty results go
    // back at once, without the scratch of the passes (out_rows x source
    // columns, which can be large when only out_cols is 0).
    if (output_empty) {
        plhs[0] = out_map;
        plhs[1] = best_col;
        plhs[2] = best_row;
        return;
    }
    double* mid_map = static_cast<double*>(mxCalloc(mid_count, sizeof(double)));
    int32_t* mid_row = static_cast<int32_t*>(mxCalloc(mid_count, sizeof(int32_t)));

    const double* source = mxGetPr(source_map);
    double* out_values = static_cast<double*>(mxGetData(out_map));
    int32_t* col_index = static_cast<int32_t*>(mxGetData(best_col));
    int32_t* row_index = static_cast<int32_t*>(mxGetData(best_row));

    // The transform's own scratch comes from the heap; its out-of-memory
    // exception must not leave the entry. No host call inside this block.
    bool out_of_memory = false;
    try {
        envsweep_transform(source, source_dims, cost, grid, mid_map, mid_row,
                           out_values, col_index, row_index, KernelPath::Fastest, order);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    mxFree(mid_map);
    mxFree(mid_row);
    if (out_of_memory)
        fail(module, "outOfMemory", "%s ran out of memory.", "The transform");

    plhs[0] = out_map;
    plhs[1] = best_col;
    plhs[2] = best_row;
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    envsweep_call(nlhs, plhs, nrhs, prhs, MapOrder::Columns);
}
