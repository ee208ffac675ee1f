// The Python host's array interface: arrays are a class, a size and a data
// pointer; inputs point into the caller's buffers, results and scratch come
// from allocate_zeroed and belong to the call until taken.
#include "python_host.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__linux__)
#include <pthread.h>
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

// Every block's data has this header kHeader bytes before it: the mapping
// that holds a large block and its length, both zero for a block from calloc.
// kHeader keeps calloc's data aligned as calloc aligns.
struct BlockHeader {
    void* mapping;
    size_t length;
};
constexpr size_t kHeader = 64;

#if defined(__linux__)
// Large blocks are mapped on their own, their data starting on a huge page and
// advised as huge pages: their pages are then faulted in 2 MiB at a time
// instead of 4 KiB, which is most of the cost of a large fresh result. Fresh
// mappings are zero-filled, so nothing is written here. Where the system
// offers no huge pages the advice fails and the mapping stays an ordinary one.
constexpr size_t kLargeBlock = size_t{4} << 20;
constexpr size_t kHugePage = size_t{2} << 20;

// The header lies in the small page just before the data, so that it takes
// no huge page of its own; the unused rest of the mapping is never touched.
void* map_large(size_t bytes) {
    const long page_size = sysconf(_SC_PAGESIZE);
    const size_t page = page_size > 0 ? static_cast<size_t>(page_size) : 4096;
    if (bytes > SIZE_MAX - kHugePage - page) return nullptr;
    const size_t length = bytes + kHugePage + page;
    void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                         -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    const uintptr_t after_header = reinterpret_cast<uintptr_t>(mapping) + page;
    char* data = static_cast<char*>(mapping) +
                 (page + (kHugePage - after_header % kHugePage) % kHugePage);
#if defined(MADV_HUGEPAGE)
    madvise(data, (bytes + page - 1) / page * page, MADV_HUGEPAGE);
#endif
    const BlockHeader header{mapping, length};
    std::memcpy(data - kHeader, &header, sizeof header);
    return data;
}

BlockHeader header_of(const char* data) {
    BlockHeader header;
    std::memcpy(&header, data - kHeader, sizeof header);
    return header;
}

// The bytes a mapped block's data may take.
size_t capacity_of(const char* data) {
    const BlockHeader header = header_of(data);
    return static_cast<size_t>(static_cast<const char*>(header.mapping) + header.length - data);
}

// Freed large blocks kept for the next large results: a script that calls a
// function in a loop gets back the pages its previous results had, already
// mapped, instead of fresh ones that the system must clear and map (a third
// of a large patchwarp call). Their pages stay as they are: leaving them to
// the system to take back (MADV_FREE) cost more than it saved, a twentieth
// of a large patchwarp call in flushes and pages cleared again.
//
// How much is kept follows the most the process's large blocks have held at
// once: up to twice that (blocks of other sizes than the next calls want
// are kept too), at least kLeastKept and at most kMostKept bytes, in
// kKeptBlocks blocks, the oldest given back first. Several threads calling
// in loops hold several results at once, and a fixed smaller limit gave
// most of their blocks back only for the next calls to map them fresh (on
// four threads, about a third of all the time; four threads that each hold
// a patchwarp's three 2048 x 2048 results and the call before's hold about
// 700 MiB).
constexpr int kKeptBlocks = 64;
constexpr size_t kLeastKept = size_t{128} << 20;
constexpr size_t kMostKept = size_t{1024} << 20;

struct KeptBlocks {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    char* data[kKeptBlocks] = {};   // oldest first
    size_t capacity[kKeptBlocks] = {};
    int count = 0;
    size_t bytes = 0;
    size_t in_use = 0;   // of the blocks handed out and not yet freed
    size_t most_in_use = 0;

    void remove(int k) {
        bytes -= capacity[k];
        --count;
        for (int i = k; i < count; ++i) {
            data[i] = data[i + 1];
            capacity[i] = capacity[i + 1];
        }
    }
    void hand_out(size_t block) {
        in_use += block;
        most_in_use = std::max(most_in_use, in_use);
    }
    size_t limit() const {
        return std::min(kMostKept, std::max(kLeastKept, 2 * std::min(most_in_use, kMostKept)));
    }
};
KeptBlocks kept;

void unmap(char* data) {
    const BlockHeader header = header_of(data);
    munmap(header.mapping, header.length);
}

// A new mapped block, counted as handed out.
void* map_counted(size_t bytes) {
    char* data = static_cast<char*>(map_large(bytes));
    if (data == nullptr) return nullptr;
    pthread_mutex_lock(&kept.mutex);
    kept.hand_out(capacity_of(data));
    pthread_mutex_unlock(&kept.mutex);
    return data;
}

// A kept block for `bytes` whose data takes no more than twice as many (so
// that a small result does not hold a large block's pages), the closest
// fit; null if none.
char* take_kept(size_t bytes) {
    pthread_mutex_lock(&kept.mutex);
    int best = -1;
    for (int k = 0; k < kept.count; ++k)
        if (kept.capacity[k] >= bytes && kept.capacity[k] / 2 <= bytes &&
            (best < 0 || kept.capacity[k] < kept.capacity[best]))
            best = k;
    char* data = best < 0 ? nullptr : kept.data[best];
    if (best >= 0) {
        kept.hand_out(kept.capacity[best]);
        kept.remove(best);
    }
    pthread_mutex_unlock(&kept.mutex);
    return data;
}

// Keeps a mapped block for a later result where it may, giving back the
// oldest kept ones to make room, else unmaps it.
void release_mapped(char* data) {
    const size_t capacity = capacity_of(data);
    char* given_back[kKeptBlocks];
    int gone = 0;
    pthread_mutex_lock(&kept.mutex);
    kept.in_use -= std::min(kept.in_use, capacity);
    const size_t limit = kept.limit();
    const bool keep = capacity <= limit;
    while (keep && kept.count > 0 &&
           (kept.count == kKeptBlocks || kept.bytes + capacity > limit)) {
        given_back[gone++] = kept.data[0];
        kept.remove(0);
    }
    if (keep) {
        kept.data[kept.count] = data;
        kept.capacity[kept.count] = capacity;
        ++kept.count;
        kept.bytes += capacity;
    }
    pthread_mutex_unlock(&kept.mutex);
    if (!keep) unmap(data);
    for (int k = 0; k < gone; ++k) unmap(given_back[k]);
}

// A process that forks while another thread holds the lock goes on with it
// free in the child.
void lock_kept() { pthread_mutex_lock(&kept.mutex); }
void unlock_kept() { pthread_mutex_unlock(&kept.mutex); }
#endif

// `bytes` zero-filled bytes (at least one), freed with free_block; null when
// the system has no memory for them. Large blocks start on a huge page, the
// others are aligned as calloc aligns.
void* allocate_zeroed(size_t bytes) {
    if (bytes == 0) bytes = 1;
    if (bytes > SIZE_MAX - kHeader) return nullptr;
#if defined(__linux__)
    if (bytes >= kLargeBlock) return map_counted(bytes);
#endif
    char* block = static_cast<char*>(std::calloc(1, bytes + kHeader));
    return block == nullptr ? nullptr : block + kHeader;   // a zero header: from calloc
}

}  // namespace

void* allocate_large_result(size_t bytes) {
#if defined(__linux__)
    if (bytes >= kLargeBlock) {
        if (char* data = take_kept(bytes)) return data;
        return map_counted(bytes);
    }
#endif
    (void)bytes;
    return nullptr;
}

void keep_blocks_across_forks() {
#if defined(__linux__)
    pthread_atfork(lock_kept, unlock_kept, unlock_kept);
#endif
}

void free_block(void* data) {
    if (data == nullptr) return;
    char* block = static_cast<char*>(data) - kHeader;
    BlockHeader header;
    std::memcpy(&header, block, sizeof header);
#if defined(__linux__)
    if (header.mapping != nullptr) {
        release_mapped(static_cast<char*>(data));
        return;
    }
#endif
    std::free(block);
}

struct Ledger {
    static void add_array(mxArray* array) { current().arrays_.push_back(array); }
    static void add_block(void* block) { current().blocks_.push_back(block); }
    // Ends the call as a MEX host does when it cannot provide memory, with
    // the module's own identifier.
    [[noreturn]] static void out_of_memory() {
        throw HostError{std::string(current().module_) + ":outOfMemory", "Out of memory."};
    }
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

HostCall::HostCall(const char* module) : outer_(current_call), module_(module) {
    current_call = this;
}

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
    if (rows < 0 || cols < 0) Ledger::out_of_memory();
    const size_t count = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    if (count > SIZE_MAX / element_size(classid)) Ledger::out_of_memory();
    // At least one byte, so that an empty result still has a data pointer.
    void* data = allocate_zeroed(count * element_size(classid));
    if (data == nullptr) Ledger::out_of_memory();
    mxArray* array = new (std::nothrow) mxArray{classid, static_cast<size_t>(rows),
                                                static_cast<size_t>(cols), data, true};
    if (array == nullptr) {
        free_block(data);
        Ledger::out_of_memory();
    }
    try {
        Ledger::add_array(array);
    } catch (const std::bad_alloc&) {
        free_block(data);
        delete array;
        Ledger::out_of_memory();
    }
    return array;
}

// An input given by its size alone has no data (null): the checks read
// sizes only.
void* data_of(const mxArray* array) { return array->data; }

}  // namespace pyhost

using pyhost::HostError;
using pyhost::Ledger;
using pyhost::create;

extern "C" {

double* mxGetPr(const mxArray* array) { return static_cast<double*>(pyhost::data_of(array)); }
double* mxGetPi(const mxArray*) { return nullptr; }
void* mxGetData(const mxArray* array) { return pyhost::data_of(array); }
size_t mxGetM(const mxArray* array) { return array->rows; }
size_t mxGetN(const mxArray* array) { return array->cols; }
size_t mxGetNumberOfElements(const mxArray* array) {
    // An input given by its size alone may claim more than size_t counts: it
    // stays at the largest count.
    size_t count = 0;
    return __builtin_mul_overflow(array->rows, array->cols, &count) ? SIZE_MAX : count;
}
mxClassID mxGetClassID(const mxArray* array) { return array->classid; }
bool mxIsDouble(const mxArray* array) { return array->classid == mxDOUBLE_CLASS; }
bool mxIsComplex(const mxArray*) { return false; }
bool mxIsSparse(const mxArray*) { return false; }

double mxGetScalar(const mxArray* array) {
    if (mxGetNumberOfElements(array) == 0 || pyhost::data_of(array) == nullptr) return 0.0;
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
    if (size > 0 && n > SIZE_MAX / size) Ledger::out_of_memory();
    void* block = pyhost::allocate_zeroed(n * size);
    if (block == nullptr) Ledger::out_of_memory();
    try {
        Ledger::add_block(block);
    } catch (const std::bad_alloc&) {
        pyhost::free_block(block);
        Ledger::out_of_memory();
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
