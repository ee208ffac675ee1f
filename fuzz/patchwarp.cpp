// [P, X, Y] = patchwarp(image, template, A): up to three real double
// matrices, each the size of the template; as many as the call has slots for.
#include "oracle.h"

namespace {

using namespace fuzzcall;

const char* count_error(int nlhs, int nrhs) {
    if (nlhs > 3) return "Too many output arguments!";
    if (nrhs != 3) return "Not enough input arguments!";
    return nullptr;
}

std::vector<mexhost::Array> valid_inputs() {
    std::vector<mexhost::Array> inputs;
    inputs.push_back(mexhost::double_matrix(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
    inputs.push_back(mexhost::double_matrix(1, 2));
    inputs.push_back(mexhost::double_matrix(2, 3, {1, 0, 0, 1, 1, 1}));
    return inputs;
}

std::string check_results(const Call& call, const mexhost::CallResult& result) {
    const mxArray* size_template = call.inputs[1].get();
    for (size_t slot = 0; slot < result.outputs.size(); ++slot) {
        const std::string fault = expect_result(result, slot, mxDOUBLE_CLASS,
                                                mxGetM(size_template), mxGetN(size_template));
        if (!fault.empty()) return fault;
    }
    return "";
}

[[maybe_unused]] const bool registered = register_oracle({
    "patchwarp",
    {3, 3},
    {
        {"", "Too many output arguments!"},
        {"", "Not enough input arguments!"},
        {"patchwarp:notRealDouble", nullptr},
        {"patchwarp:tooLarge", nullptr},
        {"patchwarp:emptyImage", nullptr},
        {"patchwarp:tooFewElements", nullptr},
    },
    {"image", "template", "A"},
    count_error,
    valid_inputs,
    nullptr,
    check_results,
});

}  // namespace
