// The envsweep module's own entry, unchanged, under the name envsweep_entry: the
// extension holds all four entries, each of which is mexFunction in its module.
// Beside it envsweep_rows_entry, the same call on a source in row order (a
// C-ordered array, given as the host array of its transpose), whose results
// are made in row order too: the same checks, messages and bits, without a
// copy of the source.
#define mexFunction envsweep_entry
#include "modules/envsweep.cpp"

extern "C" void envsweep_rows_entry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
    envsweep_call(nlhs, plhs, nrhs, prhs, MapOrder::Rows);
}
