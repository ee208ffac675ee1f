// The Python host's array interface: arrays are a class, a size and a data
// pointer; inputs point into the caller's buffers, results and scratch come
// from allocate_zeroed and belong to the call until taken.
#include "python_host.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

struct mxArray_tag {
    mxClassID classid;
    size_t rows;
    size_t cols;
    void* data;
    bool owns_data;
};

namespace pyhost {

namespace {
// The call running on this thread; entries are called one at a time per
// thread (a nested call would find the outer one restored afterwards).
thread_local HostCall* current_call = nullptr;

HostCall& current() {
    // Every host function runs inside an entry, and every entry inside a
    // HostCall; anything else is a fault of the extension.
    if (current_call == nullptr) std::abort();
    return *current_call;
}

size_t element_size(mxClassID classid) {
    switch (classid) {
    case mxDOUBLE_CLASS: case mxINT64_CLASS: case mxUINT64_CLASS: return 8;
    case mxSINGLE_CLASS: case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
    case mxINT16_CLASS: case mxUINT16_CLASS: case mxCHAR_CLASS: return 2;
    default: return 1;
    }
}

// Every block starts with this header, kHeader bytes before the data it hands
// out: how many bytes were mapped for the block, 0 for a block from calloc.
// kHeader keeps the data 64-byte aligned.
constexpr size_t kHeader = 64;

#if defined(__linux__)
// Large blocks are mapped on their own, aligned to huge pages and advised as
// such: their pages are then faulted in 2 MiB at a time instead of 4 KiB,
// which is most of the cost of a large fresh result. Fresh mappings are
// zero-filled, so nothing is written here. Where the system offers no huge
// pages the advice fails and the mapping stays an ordinary one.
constexpr size_t kLargeBlock = size_t{4} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

void* map_large(size_t bytes) {
    // Room to move the start onto a huge page, then the unused ends unmapped.
    const size_t length = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    if (length < bytes || length + kHugePage < length) return nullptr;
    void* mapped = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    char* start = static_cast<char*>(mapped);
    const size_t head = (kHugePage - reinterpret_cast<uintptr_t>(start) % kHugePage) % kHugePage;
    if (head > 0) munmap(start, head);
    if (kHugePage - head > 0) munmap(start + head + length, kHugePage - head);
    start += head;
#if defined(MADV_HUGEPAGE)
    madvise(start, length, MADV_HUGEPAGE);
#endif
    std::memcpy(start, &length, sizeof length);
    return start;
}
#endif

// `bytes` zero-filled bytes (at least one), freed with free_block; null when
// the system has no memory for them. Large blocks are 64-byte aligned, the
// others as calloc aligns.
void* allocate_zeroed(size_t bytes) {
    if (bytes == 0) bytes = 1;
    if (bytes > SIZE_MAX - kHeader) return nullptr;
    char* block = nullptr;
#if defined(__linux__)
    if (bytes + kHeader >= kLargeBlock) block = static_cast<char*>(map_large(bytes + kHeader));
    else
#endif
        block = static_cast<char*>(std::calloc(1, bytes + kHeader));
    return block == nullptr ? nullptr : block + kHeader;
}

}  // namespace

void free_block(void* data) {
    if (data == nullptr) return;
    char* block = static_cast<char*>(data) - kHeader;
    size_t mapped;
    std::memcpy(&mapped, block, sizeof mapped);
#if defined(__linux__)
    if (mapped > 0) {
        munmap(block, mapped);
        return;
    }
#endif
    std::free(block);
}

struct Ledger {
    static void add_array(mxArray* array) { current().arrays_.push_back(array); }
    static void add_block(void* block) { current().blocks_.push_back(block); }
    static bool remove_block(void* block) {
        std::vector<void*>& blocks = current().blocks_;
        for (size_t i = 0; i < blocks.size(); ++i)
            if (blocks[i] == block) {
                blocks.erase(blocks.begin() + static_cast<std::ptrdiff_t>(i));
                return true;
            }
        return false;
    }
};

HostCall::HostCall() : outer_(current_call) { current_call = this; }

HostCall::~HostCall() {
    for (mxArray* array : arrays_) {
        if (array->owns_data) free_block(array->data);
        delete array;
    }
    for (void* block : blocks_) free_block(block);
    current_call = outer_;
}

const mxArray* HostCall::input(const double* data, size_t rows, size_t cols) {
    arrays_.reserve(arrays_.size() + 1);   // so that the push cannot fail
    arrays_.push_back(new mxArray{mxDOUBLE_CLASS, rows, cols, const_cast<double*>(data), false});
    return arrays_.back();
}

void* HostCall::take_data(mxArray* result) {
    void* data = result->data;
    result->owns_data = false;
    return data;
}

// A host array of rows x cols elements of the class, all bytes zero, owned by
// the running call.
mxArray* create(int rows, int cols, mxClassID classid) {
    if (rows < 0 || cols < 0) throw std::bad_alloc();
    const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    if (count > SIZE_MAX / element_size(classid)) throw std::bad_alloc();
    // At least one byte, so that an empty result still has a data pointer.
    void* data = allocate_zeroed(count * element_size(classid));
    if (data == nullptr) throw std::bad_alloc();
    mxArray* array = new (std::nothrow) mxArray{classid, static_cast<size_t>(rows),
                                                static_cast<size_t>(cols), data, true};
    if (array == nullptr) {
        free_block(data);
        throw std::bad_alloc();
    }
    try {
        Ledger::add_array(array);
    } catch (...) {
        free_block(data);
        delete array;
        throw;
    }
    return array;
}

}  // namespace pyhost

using pyhost::HostError;
using pyhost::Ledger;
using pyhost::create;

extern "C" {

double* mxGetPr(const mxArray* array) { return static_cast<double*>(array->data); }
double* mxGetPi(const mxArray*) { return nullptr; }
void* mxGetData(const mxArray* array) { return array->data; }
size_t mxGetM(const mxArray* array) { return array->rows; }
size_t mxGetN(const mxArray* array) { return array->cols; }
size_t mxGetNumberOfElements(const mxArray* array) { return array->rows * array->cols; }
mxClassID mxGetClassID(const mxArray* array) { return array->classid; }
bool mxIsDouble(const mxArray* array) { return array->classid == mxDOUBLE_CLASS; }
bool mxIsComplex(const mxArray*) { return false; }
bool mxIsSparse(const mxArray*) { return false; }

double mxGetScalar(const mxArray* array) {
    if (mxGetNumberOfElements(array) == 0 || array->data == nullptr) return 0.0;
    switch (array->classid) {
    case mxDOUBLE_CLASS: return *static_cast<const double*>(array->data);
    case mxINT32_CLASS: return *static_cast<const int32_t*>(array->data);
    default: return 0.0;  // the Python host makes no other class
    }
}

mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity) {
    return create(m, n, mxDOUBLE_CLASS);
}

mxArray* mxCreateNumericMatrix_700(int m, int n, mxClassID classid, mxComplexity) {
    return create(m, n, classid);
}

void* mxCalloc(size_t n, size_t size) {
    if (size > 0 && n > SIZE_MAX / size) throw std::bad_alloc();
    void* block = pyhost::allocate_zeroed(n * size);
    if (block == nullptr) throw std::bad_alloc();
    try {
        Ledger::add_block(block);
    } catch (...) {
        pyhost::free_block(block);
        throw;
    }
    return block;
}

void mxFree(void* block) {
    if (block != nullptr && Ledger::remove_block(block)) pyhost::free_block(block);
}

void mexErrMsgTxt(const char* message) { throw HostError{"", message}; }

void mexErrMsgIdAndTxt(const char* identifier, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    throw HostError{identifier, message};
}

}  // extern "C"
