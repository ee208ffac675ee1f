// What a call of a module through our own host must give, whatever its
// inputs: no exception but the host's error leaves the entry, the inputs keep
// every bit, no mxCalloc block outlives a returned call, and the call either
// ends with one of the module's known errors or returns results of the
// documented class and shape. Each module describes itself in one file,
// fuzz/<module>.cpp, by registering an Oracle.
#pragma once

#include <string>
#include <vector>

#include "call_decoder.h"

namespace fuzzcall {

// An error a module may end a call with: its identifier, or, for the count
// checks that give none, its exact message.
struct KnownError {
    const char* identifier;
    const char* message;   // matched only when the identifier is empty
};

struct Oracle {
    const char* module;
    Arity arity;
    std::vector<KnownError> errors;
    // The input names as a script sees them, in order (for the table in
    // doc/bad_inputs.md).
    std::vector<const char*> input_names;
    // The message the count checks end a call with for these counts, in
    // the module's order of checks, or nullptr when the counts are right.
    const char* (*count_error)(int nlhs, int nrhs);
    // A valid call's inputs; the table in doc/bad_inputs.md varies one input
    // at a time.
    std::vector<mexhost::Array> (*valid_inputs)();
    // True for a call that is slow by nature (a huge output that the host
    // would refuse only after the module stepped through its positions);
    // the fuzz targets skip such calls. nullptr when none is.
    bool (*slow_by_nature)(const Call& call);
    // Checks the results of a call that returned; "" when they are the
    // documented ones (classes and shapes), else what is wrong.
    std::string (*check_results)(const Call& call, const mexhost::CallResult& result);
};

// Registers at static initialisation: `const bool registered = register_oracle({...});`
bool register_oracle(Oracle oracle);
// Every registered oracle, in the order the documentation lists the modules.
std::vector<const Oracle*> oracles();

// Everything the call must satisfy; "" when it does, else the fault.
std::string check_call(const Oracle& oracle, const Call& call, const mexhost::CallResult& result);

// "" when result slot `slot` holds a real, full, two-dimensional rows x cols
// array of class `classid`, else what differs.
std::string expect_result(const mexhost::CallResult& result, size_t slot, mxClassID classid,
                          size_t rows, size_t cols);

}  // namespace fuzzcall
