// The Python host: the host array interface (matrix.h, mex.h) over plain
// buffers, for the module entries compiled into the extension. One call of an
// entry is one HostCall on the calling thread; the functions of the interface
// touch no Python object, so the entry runs with the interpreter lock
// released, and calls on several threads at once keep apart.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "mex.h"

namespace pyhost {

// What mexErrMsgIdAndTxt and mexErrMsgTxt throw to end a call; caught where
// the extension called the entry. The identifier is empty for mexErrMsgTxt.
struct HostError {
    std::string identifier;
    std::string message;
};

// Frees the data of a result taken from a call (HostCall::take_data); null
// is nothing. Large results are mapped on their own, so nothing else may
// free them; the last ones freed are kept (up to twice the most held at
// once, within 128 MiB to 1 GiB) for later large results.
void free_block(void* data);

// A block of `bytes` bytes for a large result (4 MiB and more) that the
// extension hands to NumPy, freed with free_block; null when the system has
// no memory for it, or for a smaller block, which NumPy allocates as cheaply.
// Its bytes are not cleared: the result's every element is written. Mapped
// on its own, its data starting on a huge page: fresh pages are faulted in
// 2 MiB at a time, by whichever thread writes them first; a large block freed
// before is taken again where one fits (see free_block).
void* allocate_large_result(size_t bytes);

// Makes a process that forks while another thread frees or takes a large
// block go on in the child. Called once, when the extension is loaded.
void keep_blocks_across_forks();

// The arrays and scratch blocks of one entry call. While it lives, the host
// functions of its thread record into it; its end releases every block and
// every array not taken.
class HostCall {
public:
    // `module` names the identifier of a failed allocation
    // ("<module>:outOfMemory").
    explicit HostCall(const char* module = "host");
    ~HostCall();
    HostCall(const HostCall&) = delete;
    HostCall& operator=(const HostCall&) = delete;

    // A real double input of rows x cols over `data` (column-major), which
    // stays the caller's; `data` may be null for an array whose size alone
    // is read.
    const mxArray* input(const double* data, size_t rows, size_t cols);

    // Takes a result's data out of the call: the caller frees it with
    // free_block. Class, rows and cols describe it.
    void* take_data(mxArray* result);

private:
    std::vector<mxArray*> arrays_;
    std::vector<void*> blocks_;
    HostCall* outer_;
    const char* module_;
    friend struct Ledger;
};

}  // namespace pyhost
