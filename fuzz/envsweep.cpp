// [out_map, best_col, best_row] = envsweep(source_map, col_quad, col_lin,
// row_quad, row_lin, col_first, row_first, out_cols, out_rows, pos_step):
// an out_rows x out_cols double map and two int32 maps of the same size
// holding 1-based source columns and rows.
#include <cstdint>

#include "oracle.h"

namespace {

using namespace fuzzcall;

const char* count_error(int nlhs, int nrhs) {
    if (nrhs != 10) return "Wrong number of inputs";
    if (nlhs != 3) return "Wrong number of outputs";
    return nullptr;
}

std::vector<mexhost::Array> valid_inputs() {
    std::vector<mexhost::Array> inputs;
    inputs.push_back(mexhost::double_matrix(2, 2, {0, 2, 1, 3}));
    for (double scalar : {1.0, 0.0, 1.0, 0.0, 1.0, 1.0, 2.0, 1.0, 1.0})
        inputs.push_back(mexhost::double_scalar(scalar));
    return inputs;
}

// Every index lies in 1 .. count.
std::string check_indices(const mxArray* map, size_t count, const char* which) {
    const auto* index = static_cast<const int32_t*>(mxGetData(map));
    for (size_t k = 0; k < mxGetNumberOfElements(map); ++k)
        if (index[k] < 1 || static_cast<size_t>(index[k]) > count)
            return std::string(which) + " holds " + std::to_string(index[k]) +
                   ", outside 1 .. " + std::to_string(count);
    return "";
}

// An output of at least one row and column with more than 2^17 of either
// costs that many position steps before the host is asked for it, which then
// refuses a block that large.
bool slow_by_nature(const Call& call) {
    if (call.nlhs != 3 || call.inputs.size() != 10) return false;
    const double cols = mxGetScalar(call.inputs[7].get());
    const double rows = mxGetScalar(call.inputs[8].get());
    const double many = 131072.0;  // 1 MB of doubles, the fuzz host's block limit
    return cols >= 1 && rows >= 1 && (cols > many || rows > many);
}

std::string check_results(const Call& call, const mexhost::CallResult& result) {
    // A call that returned has read both counts as values in 0 .. 2^31 - 1.
    const size_t cols = static_cast<size_t>(mxGetScalar(call.inputs[7].get()));
    const size_t rows = static_cast<size_t>(mxGetScalar(call.inputs[8].get()));
    const mxClassID classes[3] = {mxDOUBLE_CLASS, mxINT32_CLASS, mxINT32_CLASS};
    for (size_t slot = 0; slot < 3; ++slot) {
        const std::string fault = expect_result(result, slot, classes[slot], rows, cols);
        if (!fault.empty()) return fault;
    }
    const mxArray* source = call.inputs[0].get();
    std::string fault = check_indices(result.outputs[1].get(), mxGetN(source), "best_col");
    if (fault.empty()) fault = check_indices(result.outputs[2].get(), mxGetM(source), "best_row");
    return fault;
}

[[maybe_unused]] const bool registered = register_oracle({
    "envsweep",
    {10, 3},
    {
        {"", "Wrong number of inputs"},
        {"", "Wrong number of outputs"},
        {"", "Invalid input"},
        {"envsweep:notRealDouble", nullptr},
        {"envsweep:tooLarge", nullptr},
        {"envsweep:badScalar", nullptr},
        {"envsweep:emptyScalar", nullptr},
        {"envsweep:emptySource", nullptr},
        {"envsweep:positionRange", nullptr},
        {"envsweep:outOfMemory", nullptr},
        {"host:outOfMemory", nullptr},
    },
    {"source_map", "col_quad", "col_lin", "row_quad", "row_lin", "col_first", "row_first",
     "out_cols", "out_rows", "pos_step"},
    count_error,
    valid_inputs,
    slow_by_nature,
    check_results,
});

}  // namespace
