// linscore(X, mean, scale, w): one real double N x 1 column, N the columns of X.
#include "oracle.h"

namespace {

using namespace fuzzcall;

const char* count_error(int nlhs, int nrhs) {
    if (nlhs > 1) return "Too many output arguments";
    if (nrhs != 4) return "incorrect number of inputs!";
    return nullptr;
}

std::vector<mexhost::Array> valid_inputs() {
    std::vector<mexhost::Array> inputs;
    inputs.push_back(mexhost::double_matrix(2, 2, {1, 3, 2, 4}));
    inputs.push_back(mexhost::double_matrix(1, 2, {0, 1}));
    inputs.push_back(mexhost::double_matrix(1, 2, {1, 2}));
    inputs.push_back(mexhost::double_matrix(1, 3, {1, 1, 0.5}));
    return inputs;
}

std::string check_results(const Call& call, const mexhost::CallResult& result) {
    return expect_result(result, 0, mxDOUBLE_CLASS, mxGetN(call.inputs[0].get()), 1);
}

[[maybe_unused]] const bool registered = register_oracle({
    "linscore",
    {4, 1},
    {
        {"", "Too many output arguments"},
        {"", "incorrect number of inputs!"},
        {"linscore:notRealDouble", nullptr},
        {"linscore:tooLarge", nullptr},
        {"linscore:tooFewElements", nullptr},
        // X of no row and 2^31 - 1 columns asks for that many scores.
        {"host:outOfMemory", nullptr},
    },
    {"X", "mean", "scale", "w"},
    count_error,
    valid_inputs,
    nullptr,
    check_results,
});

}  // namespace
