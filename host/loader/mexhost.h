// Calls a module the way a host does: loads the module file, finds its
// mexFunction, passes the inputs, provides exactly max(nlhs, 1) result slots,
// turns the host's error and any other escaping exception into a report, and
// releases at the end of the call every array not handed back and every
// mxCalloc block not freed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host.h"

namespace mexhost {

struct ArrayDeleter {
    void operator()(mxArray* array) const { standin::destroy_array(array); }
};
using Array = std::unique_ptr<mxArray, ArrayDeleter>;

// Input builders, all column-major.
Array double_matrix(size_t rows, size_t cols, const std::vector<double>& values = {});
Array double_scalar(double value);
Array numeric_array(mxClassID classid, const std::vector<size_t>& dims,
                    bool complex = false);
Array sparse_matrix(size_t rows, size_t cols, size_t nzmax);

// Reading results back.
std::vector<double> values(const mxArray* array);
std::vector<int32_t> int32_values(const mxArray* array);

struct CallResult {
    bool ok = false;                  // the entry returned normally
    bool host_error = false;          // ended by mexErrMsgTxt / mexErrMsgIdAndTxt
    bool foreign_exception = false;   // another exception left the entry
    std::string identifier;
    std::string message;
    std::vector<Array> outputs;       // the max(nlhs, 1) slots; null where unset
    size_t blocks_live_at_return = 0; // mxCalloc blocks the module did not free
    size_t arrays_created = 0;
    size_t arrays_released = 0;       // created but not handed back
    bool inputs_unchanged = true;     // every input bit-identical after the call
};

class Module {
public:
    explicit Module(const std::string& path);  // throws std::runtime_error
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    CallResult call(int nlhs, const std::vector<const mxArray*>& inputs) const;

private:
    void* handle_ = nullptr;
    using Entry = void (*)(int, mxArray**, int, const mxArray**);
    Entry entry_ = nullptr;
};

}  // namespace mexhost
