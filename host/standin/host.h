// The stand-in host's own side of the array interface: what a host does that a
// module never sees. Arrays are created here for a call's inputs, every array
// and scratch block a module obtains during a call is tracked, and the error
// that ends a call travels as HostError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "mex.h"

#if defined(_WIN32)
#  if defined(HOST_BUILD_MX)
#    define STANDIN_HOST_MX_API __declspec(dllexport)
#  else
#    define STANDIN_HOST_MX_API __declspec(dllimport)
#  endif
#else
#  define STANDIN_HOST_MX_API __attribute__((visibility("default")))
#endif

namespace standin {

// The error that ends a call: raised by mexErrMsgTxt and mexErrMsgIdAndTxt,
// and by the array interface when it cannot provide what it was asked for.
// Like a real host's, it derives from std::exception.
class STANDIN_HOST_MX_API HostError : public std::exception {
public:
    HostError(std::string identifier, std::string message);
    ~HostError() override;
    const char* what() const noexcept override;
    const std::string& identifier() const { return identifier_; }
    const std::string& message() const { return message_; }

private:
    std::string identifier_;
    std::string message_;
};

// Ends the current call with the host's error (used by the array interface).
[[noreturn]] STANDIN_HOST_MX_API void raise(const char* identifier,
                                             const char* message);

// Array kinds the stand-in host can make. Sparse arrays are double or
// logical; complex arrays keep their imaginary part apart, as the host does.
struct ArrayLayout {
    mxClassID classid = mxDOUBLE_CLASS;
    std::vector<size_t> dims;   // at least two
    bool complex = false;
    bool sparse = false;
    size_t nzmax = 0;           // sparse only
};

// The largest block, in bytes, the host hands out for one array's data or one
// mxCalloc request; a larger request ends the call with "host:outOfMemory", as
// a host out of memory does. Tests lower it so a module asked for a huge result
// meets the host's error quickly instead of exhausting the machine.
STANDIN_HOST_MX_API void set_block_limit(uint64_t bytes);
STANDIN_HOST_MX_API uint64_t block_limit();

// Creates an array of zeros; ends the call (HostError) when it cannot.
STANDIN_HOST_MX_API mxArray* create_array(const ArrayLayout& layout);
STANDIN_HOST_MX_API void destroy_array(mxArray* array);
STANDIN_HOST_MX_API const std::vector<size_t>& dimensions(const mxArray* array);
STANDIN_HOST_MX_API size_t element_size(const mxArray* array);
// Bytes behind the real and imaginary data, and the sparse index arrays.
STANDIN_HOST_MX_API size_t data_bytes(const mxArray* array);
STANDIN_HOST_MX_API void* imag_data(const mxArray* array);
STANDIN_HOST_MX_API size_t* sparse_rows(const mxArray* array);
STANDIN_HOST_MX_API size_t* sparse_columns(const mxArray* array);
STANDIN_HOST_MX_API size_t sparse_nzmax(const mxArray* array);

// The bookkeeping of one call. Between begin_call and end_call every array
// created and every mxCalloc block obtained is recorded; end_call releases the
// arrays not listed in `kept` and every block not freed.
struct CallLedger {
    size_t arrays_created = 0;
    size_t arrays_released = 0;   // created, not handed back, released by us
    size_t blocks_live = 0;       // mxCalloc blocks not freed by the module
};
STANDIN_HOST_MX_API void begin_call();
STANDIN_HOST_MX_API size_t live_blocks();
STANDIN_HOST_MX_API bool created_in_call(const mxArray* array);
STANDIN_HOST_MX_API CallLedger end_call(mxArray* const* kept, size_t count);

}  // namespace standin
