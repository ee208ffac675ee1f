// The thin layer between a module's entry and the host's arrays: the checks an
// entry makes on its inputs and the one conversion of host counts into the
// 32-bit signed sizes the kernels take. Every failed check ends the call
// through the host with the identifier "<module>:<reason>".
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/envsweep.h"
#include "core/image_dims.h"
#include "core/matrix_view.h"
#include "mex.h"

// A host count as a 32-bit signed integer; ends the call ("<module>:tooLarge")
// when it exceeds 2^31 - 1.
int32_t host_count(size_t count, const char* module, const char* what);

// {mxGetM, mxGetN} of an array, each through host_count; an array of more
// than two dimensions counts its trailing dimensions together as columns.
ImageDims host_dims(const mxArray* array, const char* module, const char* what);

// rows * cols as a 32-bit signed element count; ends the call
// ("<module>:tooLarge") when the product exceeds 2^31 - 1.
int32_t element_count(ImageDims dims, const char* module, const char* what);

// A host scalar truncated toward zero to a 32-bit signed integer; ends the
// call ("<module>:badScalar") when it is NaN, infinite or out of range.
int32_t truncated_int32(double value, const char* module, const char* what);

// A host count truncated toward zero to a 32-bit signed integer; ends the
// call ("<module>:badScalar") unless the result lies in 0 .. 2^31 - 1 (NaN
// and infinities do not).
int32_t truncated_count(double value, const char* module, const char* what);

// A 1-based host position truncated toward zero and made 0-based (minus 1);
// ends the call ("<module>:badScalar") unless the 0-based result fits in 32
// bits signed (NaN and infinities do not).
int32_t truncated_position(double value, const char* module, const char* what);

// A 0-based position (the Python host's) truncated toward zero; ends the
// call ("<module>:badScalar") unless the result is one that
// truncated_position gives: -2^31 .. 2^31 - 2 (NaN and infinities are not).
int32_t truncated_zero_based(double value, const char* module, const char* what);

// The first element of a host array as a double (mxGetScalar); ends the call
// ("<module>:emptyScalar") when the array holds no element, whose first
// element hosts read differently (0, or an error of the host's own).
double scalar_input(const mxArray* array, const char* module, const char* what);

// Ends the call ("<module>:notRealDouble") unless the array is a real, full
// (not sparse) double array.
void require_real_double(const mxArray* array, const char* module, const char* what);

// Ends the call ("<module>:tooFewElements") unless the array holds at least
// `needed` elements.
void require_elements(const mxArray* array, size_t needed, const char* module,
                      const char* what);

// gridlerp(image, X, Y) in two steps, for every host. The check makes the
// entry's checks, in their order, on the inputs' classes and sizes alone
// (their data is not read) and ends the call through the host on the first
// that fails; its plan says what the call reads and makes: the image, and Y's
// first `positions` elements (paired with X's in column order), only when
// there are positions; one result of the grid's size. Running the plan
// samples into a result the host made: the views may lie in any order, X, Y
// and out of the grid's size.
struct GridlerpPlan {
    ImageDims image;
    ImageDims grid;
    int32_t positions;
};
GridlerpPlan gridlerp_check(int nlhs, int nrhs, const mxArray* const prhs[]);
void gridlerp_run(const GridlerpPlan& plan, const ConstView& image, const ConstView& X,
                  const ConstView& Y, const DoubleView& out);

// patchwarp(image, template, A) likewise: the plan reads the image and A's
// first six elements (in column order) only when the grid has cells, and
// makes three results of the grid's size (the template's), all of which the
// run writes.
struct PatchwarpPlan {
    ImageDims image;
    ImageDims grid;
    int32_t cells;
};
PatchwarpPlan patchwarp_check(int nlhs, int nrhs, const mxArray* const prhs[]);
void patchwarp_run(const PatchwarpPlan& plan, const ConstView& image, const double A[6],
                   const DoubleView& out, const DoubleView& X, const DoubleView& Y);

// envsweep(source_map, col_quad, col_lin, row_quad, row_lin, col_first,
// row_first, out_cols, out_rows, pos_step) likewise: the check reads the
// source's class and size and the first element of each scalar input; its
// plan reads the source only when the output has cells, and makes three
// results of the output's size (float64, int32, int32) and, for the run,
// scratch of `mid_count` doubles and as many int32s (none for an empty
// output). The three results share their steps. With `zero_based` (the
// Python host) col_first and row_first are 0-based positions, truncated
// toward zero, rather than the modules' 1-based ones. The run returns false
// when the transform found no memory for its own scratch (the results are
// then unfinished); it throws nothing.
struct EnvsweepPlan {
    ImageDims source;
    SweepCost cost;
    SweepGrid grid;
    int32_t mid_count;  // out_rows x source columns; 0 for an empty output
};
EnvsweepPlan envsweep_check(int nlhs, int nrhs, const mxArray* const prhs[],
                            bool zero_based = false);
bool envsweep_run(const EnvsweepPlan& plan, const ConstView& source, double* mid_map,
                  int32_t* mid_row, const DoubleView& out_map, const Int32View& best_col,
                  const Int32View& best_row) noexcept;

// linscore(X, mean, scale, w) likewise: the plan reads, where there is a
// sample, X (features x samples), the first `features` elements of mean and
// scale and the first features + 1 of w (each a vector view, in column
// order), and makes the scores (one per sample). The run with a
// standardised copy Z (features x samples, column-major, as the host's
// entry makes it) writes Z too and requires a column-major X; without one
// (null) it reads X in any layout.
struct LinscorePlan {
    int32_t features;
    int32_t samples;
};
LinscorePlan linscore_check(int nlhs, int nrhs, const mxArray* const prhs[]);
void linscore_run(const LinscorePlan& plan, const ConstView& X, const ConstView& mean,
                  const ConstView& scale, const ConstView& w, double* Z,
                  const DoubleView& scores);

// Ends the call with "<module>:<reason>" and a message built from `format`
// (printf style) with `what` as its one argument.
[[noreturn]] void fail(const char* module, const char* reason, const char* format,
                       const char* what);
