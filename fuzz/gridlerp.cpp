// gridlerp(image, X, Y): one real double matrix shaped like X.
#include "oracle.h"

namespace {

using namespace fuzzcall;

const char* count_error(int nlhs, int nrhs) {
    if (nlhs > 1) return "Too many output arguments!";
    if (nrhs != 3) return "Not enough input arguments!";
    return nullptr;
}

std::vector<mexhost::Array> valid_inputs() {
    std::vector<mexhost::Array> inputs;
    inputs.push_back(mexhost::double_matrix(2, 2, {10, 30, 20, 40}));
    inputs.push_back(mexhost::double_matrix(1, 2, {0.5, 1}));
    inputs.push_back(mexhost::double_matrix(1, 2, {0.5, 0}));
    return inputs;
}

std::string check_results(const Call& call, const mexhost::CallResult& result) {
    const mxArray* X = call.inputs[1].get();
    return expect_result(result, 0, mxDOUBLE_CLASS, mxGetM(X), mxGetN(X));
}

[[maybe_unused]] const bool registered = register_oracle({
    "gridlerp",
    {3, 1},
    {
        {"", "Too many output arguments!"},
        {"", "Not enough input arguments!"},
        {"gridlerp:notRealDouble", nullptr},
        {"gridlerp:tooLarge", nullptr},
        {"gridlerp:emptyImage", nullptr},
        {"gridlerp:tooFewElements", nullptr},
    },
    {"image", "X", "Y"},
    count_error,
    valid_inputs,
    nullptr,
    check_results,
});

}  // namespace
