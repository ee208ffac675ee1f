#include "args.h"

#include "core/bilinear.h"
#include "core/linscore.h"
#include "core/patchwarp.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

void fail(const char* module, const char* reason, const char* format, const char* what) {
    // Plain character buffers: nothing that owns memory may be alive when the
    // host ends the call.
    char identifier[128];
    char message[512];
    std::snprintf(identifier, sizeof identifier, "%s:%s", module, reason);
    std::snprintf(message, sizeof message, format, what);
    mexErrMsgIdAndTxt(identifier, "%s", message);
    // The host does not return from its error call; should one ever do so,
    // stop here rather than run on with an unchecked input.
    std::abort();
}

int32_t host_count(size_t count, const char* module, const char* what) {
    if (count > static_cast<size_t>(INT32_MAX))
        fail(module, "tooLarge", "%s has more than 2^31 - 1 rows or columns.", what);
    return static_cast<int32_t>(count);
}

ImageDims host_dims(const mxArray* array, const char* module, const char* what) {
    return ImageDims{host_count(mxGetM(array), module, what),
                     host_count(mxGetN(array), module, what)};
}

int32_t element_count(ImageDims dims, const char* module, const char* what) {
    const int64_t count = static_cast<int64_t>(dims.rows) * dims.cols;
    if (count > INT32_MAX)
        fail(module, "tooLarge", "%s has more than 2^31 - 1 elements.", what);
    return static_cast<int32_t>(count);
}

int32_t truncated_int32(double value, const char* module, const char* what) {
    // Truncation toward zero lands in the 32-bit signed range exactly when
    // -2^31 - 1 < value < 2^31; NaN fails both comparisons.
    if (!(value > -2147483649.0 && value < 2147483648.0))
        fail(module, "badScalar", "%s must be a finite number within the 32-bit integer range.",
             what);
    return static_cast<int32_t>(value);
}

int32_t truncated_count(double value, const char* module, const char* what) {
    // Truncation toward zero gives 0 .. 2^31 - 1 exactly when -1 < value < 2^31.
    if (!(value > -1.0 && value < 2147483648.0))
        fail(module, "badScalar", "%s must be a finite number from 0 to 2^31 - 1.", what);
    return static_cast<int32_t>(value);
}

int32_t truncated_position(double value, const char* module, const char* what) {
    // trunc(value) - 1 lies in the 32-bit signed range exactly when
    // -2^31 < value < 2^31.
    if (!(value > -2147483648.0 && value < 2147483648.0))
        fail(module, "badScalar", "%s must be a finite number above -2^31 and below 2^31.",
             what);
    return static_cast<int32_t>(value) - 1;
}

int32_t truncated_zero_based(double value, const char* module, const char* what) {
    // trunc(value) lies in -2^31 .. 2^31 - 2 exactly when
    // -2^31 - 1 < value < 2^31 - 1.
    if (!(value > -2147483649.0 && value < 2147483647.0))
        fail(module, "badScalar",
             "%s must be a finite number above -2^31 - 1 and below 2^31 - 1.", what);
    return static_cast<int32_t>(value);
}

double scalar_input(const mxArray* array, const char* module, const char* what) {
    if (mxGetNumberOfElements(array) == 0)
        fail(module, "emptyScalar", "%s is empty; it must hold a number.", what);
    return mxGetScalar(array);
}

void require_real_double(const mxArray* array, const char* module, const char* what) {
    if (mxGetClassID(array) != mxDOUBLE_CLASS || mxIsComplex(array) || mxIsSparse(array))
        fail(module, "notRealDouble", "%s must be a real, full double array.", what);
}

void require_elements(const mxArray* array, size_t needed, const char* module,
                      const char* what) {
    if (mxGetNumberOfElements(array) < needed)
        fail(module, "tooFewElements", "%s has fewer elements than the call needs.", what);
}

GridlerpPlan gridlerp_check(int nlhs, int nrhs, const mxArray* const prhs[]) {
    if (nlhs > 1) mexErrMsgTxt("Too many output arguments!");
    if (nrhs != 3) mexErrMsgTxt("Not enough input arguments!");

    const char* module = "gridlerp";
    const mxArray* image = prhs[0];
    const mxArray* X = prhs[1];
    const mxArray* Y = prhs[2];
    require_real_double(image, module, "The image");
    require_real_double(X, module, "X");
    require_real_double(Y, module, "Y");
    const ImageDims imageDims = host_dims(image, module, "The image");
    const ImageDims gridDims = host_dims(X, module, "X");
    element_count(imageDims, module, "The image");
    const int32_t positions = element_count(gridDims, module, "X");
    if (positions > 0) {
        if (imageDims.rows == 0 || imageDims.cols == 0)
            fail(module, "emptyImage", "%s is empty; there is nothing to sample.", "The image");
        require_elements(Y, static_cast<size_t>(positions), module, "Y");
    }
    return {imageDims, gridDims, positions};
}

void gridlerp_run(const GridlerpPlan&, const ConstView& image, const ConstView& X,
                  const ConstView& Y, const DoubleView& out) {
    gridlerp_strided(image, X, Y, out);
}

PatchwarpPlan patchwarp_check(int nlhs, int nrhs, const mxArray* const prhs[]) {
    if (nlhs > 3) mexErrMsgTxt("Too many output arguments!");
    if (nrhs != 3) mexErrMsgTxt("Not enough input arguments!");

    const char* module = "patchwarp";
    const mxArray* image = prhs[0];
    const mxArray* sizeTemplate = prhs[1];  // only its size is used
    const mxArray* A = prhs[2];
    require_real_double(image, module, "The image");
    require_real_double(A, module, "A");
    const ImageDims imageDims = host_dims(image, module, "The image");
    const ImageDims gridDims = host_dims(sizeTemplate, module, "The size template");
    element_count(imageDims, module, "The image");
    const int32_t cells = element_count(gridDims, module, "The size template");
    if (cells > 0) {
        if (imageDims.rows == 0 || imageDims.cols == 0)
            fail(module, "emptyImage", "%s is empty; there is nothing to sample.", "The image");
        require_elements(A, 6, module, "A");
    }
    return {imageDims, gridDims, cells};
}

void patchwarp_run(const PatchwarpPlan& plan, const ConstView& image, const double A[6],
                   const DoubleView& out, const DoubleView& X, const DoubleView& Y) {
    if (plan.cells > 0) patchwarp_strided(image, A, out, X, Y);
}

EnvsweepPlan envsweep_check(int nlhs, int nrhs, const mxArray* const prhs[], bool zero_based) {
    if (nrhs != 10) mexErrMsgTxt("Wrong number of inputs");
    if (nlhs != 3) mexErrMsgTxt("Wrong number of outputs");
    if (mxGetClassID(prhs[0]) != mxDOUBLE_CLASS) mexErrMsgTxt("Invalid input");

    const char* module = "envsweep";
    const mxArray* source_map = prhs[0];
    require_real_double(source_map, module, "source_map");
    const ImageDims source_dims = host_dims(source_map, module, "source_map");
    element_count(source_dims, module, "source_map");

    const SweepCost cost{scalar_input(prhs[1], module, "col_quad"),
                         scalar_input(prhs[2], module, "col_lin"),
                         scalar_input(prhs[3], module, "row_quad"),
                         scalar_input(prhs[4], module, "row_lin")};
    SweepGrid grid;
    const auto first = zero_based ? truncated_zero_based : truncated_position;
    grid.col_first = first(scalar_input(prhs[5], module, "col_first"), module, "col_first");
    grid.row_first = first(scalar_input(prhs[6], module, "row_first"), module, "row_first");
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
    // An empty output grid has nothing to compute: no scratch (out_rows x
    // source columns can be large when only out_cols is 0).
    return {source_dims, cost, grid, output_empty ? 0 : mid_count};
}

bool envsweep_run(const EnvsweepPlan& plan, const ConstView& source, double* mid_map,
                  int32_t* mid_row, const DoubleView& out_map, const Int32View& best_col,
                  const Int32View& best_row) noexcept {
    if (plan.mid_count == 0) return true;
    try {
        envsweep_strided(source, plan.cost, plan.grid, mid_map, mid_row, out_map, best_col,
                         best_row);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

LinscorePlan linscore_check(int nlhs, int nrhs, const mxArray* const prhs[]) {
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
    // Scoring a sample reads one mean and one scale per feature, one weight
    // per feature and the bias; with no sample nothing of them is read.
    if (dims.cols > 0) {
        require_elements(mean, static_cast<size_t>(dims.rows), module, "mean");
        require_elements(scale, static_cast<size_t>(dims.rows), module, "scale");
        require_elements(w, static_cast<size_t>(dims.rows) + 1, module, "w");
    }
    return {dims.rows, dims.cols};
}

void linscore_run(const LinscorePlan& plan, const ConstView& X, const ConstView& mean,
                  const ConstView& scale, const ConstView& w, double* Z,
                  const DoubleView& scores) {
    if (plan.samples == 0) return;
    if (Z != nullptr)
        rescale_and_score(X.data, Z, mean.data, scale.data, w.data, scores.data, plan.samples,
                          plan.features);
    else
        linscore_strided(X, mean, scale, w, scores);
}
