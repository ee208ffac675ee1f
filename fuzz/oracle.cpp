#include "oracle.h"

#include <algorithm>
#include <cstring>

namespace fuzzcall {

namespace {

std::vector<Oracle>& registry() {
    static std::vector<Oracle> all;
    return all;
}

bool known(const Oracle& oracle, const std::string& identifier, const std::string& message) {
    for (const KnownError& error : oracle.errors) {
        if (error.identifier[0] != '\0') {
            if (identifier == error.identifier) return true;
        } else if (identifier.empty() && message == error.message) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool register_oracle(Oracle oracle) {
    registry().push_back(std::move(oracle));
    return true;
}

std::vector<const Oracle*> oracles() {
    static const char* const order[] = {"gridlerp", "patchwarp", "envsweep", "linscore"};
    auto rank = [](const Oracle* oracle) {
        for (size_t i = 0; i < 4; ++i)
            if (std::strcmp(order[i], oracle->module) == 0) return i;
        return size_t{4};
    };
    std::vector<const Oracle*> all;
    for (const Oracle& oracle : registry()) all.push_back(&oracle);
    std::stable_sort(all.begin(), all.end(),
                     [&](const Oracle* a, const Oracle* b) { return rank(a) < rank(b); });
    return all;
}

std::string check_call(const Oracle& oracle, const Call& call, const mexhost::CallResult& result) {
    if (result.foreign_exception)
        return "an exception other than the host's error left the entry: " + result.message;
    if (!result.inputs_unchanged) return "an input changed during the call";
    const char* count_error = oracle.count_error(call.nlhs, static_cast<int>(call.inputs.size()));
    if (count_error) {
        if (!result.host_error || !result.identifier.empty() || result.message != count_error)
            return std::string("expected the count error \"") + count_error + "\", got [" +
                   result.identifier + "] " + result.message;
    } else if (result.host_error && result.identifier.empty()) {
        // Right counts never meet a count check's message.
        const int nrhs = oracle.arity.inputs, most = oracle.arity.max_outputs;
        for (const char* message : {oracle.count_error(most + 1, nrhs),
                                    oracle.count_error(most, nrhs + 1)})
            if (message && result.message == message)
                return "a count error for right counts: " + result.message;
    }
    if (result.host_error) {
        if (!known(oracle, result.identifier, result.message))
            return "unknown error [" + result.identifier + "] " + result.message;
        if (result.message.empty()) return "error [" + result.identifier + "] without a message";
        // The module's checks come before anything is created; only running
        // out of memory may end a call later.
        const std::string& id = result.identifier;
        const bool out_of_memory = id.size() >= 12 && id.compare(id.size() - 12, 12, ":outOfMemory") == 0;
        if (!out_of_memory && result.arrays_created != 0)
            return "arrays created before the error [" + result.identifier + "] " + result.message;
        return "";
    }
    if (!result.ok) return "the call neither returned nor failed";
    if (result.blocks_live_at_return != 0)
        return std::to_string(result.blocks_live_at_return) + " mxCalloc block(s) not freed";
    const size_t slots = static_cast<size_t>(call.nlhs > 1 ? call.nlhs : 1);
    if (result.outputs.size() != slots) return "the host gave a wrong number of result slots";
    return oracle.check_results(call, result);
}

std::string expect_result(const mexhost::CallResult& result, size_t slot, mxClassID classid,
                          size_t rows, size_t cols) {
    const std::string which = "result " + std::to_string(slot + 1);
    if (slot >= result.outputs.size() || !result.outputs[slot]) return which + " is missing";
    const mxArray* array = result.outputs[slot].get();
    if (mxGetClassID(array) != classid)
        return which + " is " + class_name(mxGetClassID(array)) + ", not " + class_name(classid);
    if (mxIsComplex(array) || mxIsSparse(array)) return which + " is not real and full";
    const auto& dims = standin::dimensions(array);
    if (dims.size() != 2 || dims[0] != rows || dims[1] != cols)
        return which + " is " + describe_array(array) + ", not " + std::to_string(rows) + "x" +
               std::to_string(cols);
    return "";
}

}  // namespace fuzzcall
