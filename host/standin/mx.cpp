// libmx of the stand-in host: arrays, their sizes and data, scratch memory,
// and the ledger of what a module obtains during a call.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "host.h"

struct mxArray_tag {
    mxClassID classid;
    std::vector<size_t> dims;
    bool complex;
    bool sparse;
    size_t elements;   // dense: product of dims; sparse: nzmax
    void* real;
    void* imag;
    size_t* ir;        // sparse: row of each stored element
    size_t* jc;        // sparse: column starts, cols + 1 entries
};

namespace standin {

HostError::HostError(std::string identifier, std::string message)
    : identifier_(std::move(identifier)), message_(std::move(message)) {}
HostError::~HostError() = default;
const char* HostError::what() const noexcept { return message_.c_str(); }

void raise(const char* identifier, const char* message) {
    throw HostError(identifier ? identifier : "", message ? message : "");
}


struct Ledger {
    uint64_t block_limit = uint64_t{1} << 40;
    bool active = false;
    std::set<mxArray*> arrays;
    std::map<void*, size_t> blocks;
    size_t created = 0;
};

// The host's own bookkeeping; modules keep no state, the host does.
Ledger& ledger() {
    static Ledger the_ledger;
    return the_ledger;
}

size_t class_size(mxClassID classid) {
    switch (classid) {
    case mxLOGICAL_CLASS: case mxINT8_CLASS: case mxUINT8_CLASS: return 1;
    case mxCHAR_CLASS: case mxINT16_CLASS: case mxUINT16_CLASS: return 2;
    case mxSINGLE_CLASS: case mxINT32_CLASS: case mxUINT32_CLASS: return 4;
    case mxDOUBLE_CLASS: case mxINT64_CLASS: case mxUINT64_CLASS: return 8;
    default: return 0;
    }
}

// A zero-filled block of `count` elements of `size` bytes; ends the call when
// the byte count overflows or the memory is not there.
void* zeroed(size_t count, size_t size) {
    size_t bytes = 0;
    // The limit is taken in 64 bits: 2^40 does not fit a 32-bit size_t.
    if (__builtin_mul_overflow(count, size, &bytes) ||
        static_cast<uint64_t>(bytes) > ledger().block_limit)
        raise("host:outOfMemory", "Out of memory.");
    void* block = std::calloc(1, bytes == 0 ? 1 : bytes);
    if (block == nullptr) raise("host:outOfMemory", "Out of memory.");
    return block;
}

template <typename T>
double first_as_double(const void* data) {
    return static_cast<double>(*static_cast<const T*>(data));
}

mxArray* create_array(const ArrayLayout& layout) {
    const size_t size = class_size(layout.classid);
    if (size == 0) raise("host:unsupportedClass", "Unsupported array class.");
    if (layout.dims.size() < 2) raise("host:badDimensions", "An array has at least two dimensions.");
    if (layout.sparse && (layout.dims.size() != 2 ||
                        (layout.classid != mxDOUBLE_CLASS && layout.classid != mxLOGICAL_CLASS)))
        raise("host:badSparse", "Sparse arrays are two-dimensional double or logical arrays.");
    // Every count the host reports must be representable: the product of the
    // non-zero dimensions may not overflow, even when the array is empty.
    size_t nonzero_product = 1;
    size_t elements = 1;
    for (size_t d : layout.dims) {
        if (d != 0 && __builtin_mul_overflow(nonzero_product, d, &nonzero_product))
            raise("host:outOfMemory", "Out of memory.");
        elements = d == 0 ? 0 : elements * d;
    }
    if (layout.sparse) elements = std::max<size_t>(layout.nzmax, 1);

    mxArray* array = new mxArray_tag{layout.classid, layout.dims, layout.complex, layout.sparse,
                                     elements, nullptr, nullptr, nullptr, nullptr};
    try {
        array->real = zeroed(elements, size);
        if (layout.complex) array->imag = zeroed(elements, size);
        if (layout.sparse) {
            array->ir = static_cast<size_t*>(zeroed(elements, sizeof(size_t)));
            size_t columns = 0;
            if (__builtin_add_overflow(layout.dims[1], size_t{1}, &columns))
                raise("host:outOfMemory", "Out of memory.");
            array->jc = static_cast<size_t*>(zeroed(columns, sizeof(size_t)));
        }
    } catch (...) {
        destroy_array(array);
        throw;
    }
    Ledger& l = ledger();
    if (l.active) {
        l.arrays.insert(array);
        ++l.created;
    }
    return array;
}

void destroy_array(mxArray* array) {
    if (array == nullptr) return;
    ledger().arrays.erase(array);
    std::free(array->real);
    std::free(array->imag);
    std::free(array->ir);
    std::free(array->jc);
    delete array;
}

const std::vector<size_t>& dimensions(const mxArray* array) { return array->dims; }
size_t element_size(const mxArray* array) { return class_size(array->classid); }
size_t data_bytes(const mxArray* array) { return array->elements * class_size(array->classid); }
void* imag_data(const mxArray* array) { return array->imag; }
size_t* sparse_rows(const mxArray* array) { return array->ir; }
size_t* sparse_columns(const mxArray* array) { return array->jc; }
size_t sparse_nzmax(const mxArray* array) { return array->sparse ? array->elements : 0; }

void set_block_limit(uint64_t bytes) { ledger().block_limit = bytes; }
uint64_t block_limit() { return ledger().block_limit; }

void begin_call() {
    Ledger& l = ledger();
    l.active = true;
    l.arrays.clear();
    l.blocks.clear();
    l.created = 0;
}

size_t live_blocks() { return ledger().blocks.size(); }

bool created_in_call(const mxArray* array) {
    return ledger().arrays.count(const_cast<mxArray*>(array)) != 0;
}

CallLedger end_call(mxArray* const* kept, size_t count) {
    Ledger& l = ledger();
    CallLedger result;
    result.arrays_created = l.created;
    result.blocks_live = l.blocks.size();
    std::set<mxArray*> release = l.arrays;
    for (size_t i = 0; i < count; ++i) release.erase(kept[i]);
    result.arrays_released = release.size();
    for (mxArray* array : release) destroy_array(array);
    for (auto& block : l.blocks) std::free(block.first);
    l.arrays.clear();
    l.blocks.clear();
    l.active = false;
    return result;
}

}  // namespace standin

using standin::raise;


extern "C" {

double* mxGetPr(const mxArray* array) { return static_cast<double*>(array->real); }
double* mxGetPi(const mxArray* array) { return static_cast<double*>(array->imag); }
void* mxGetData(const mxArray* array) { return array->real; }
size_t mxGetM(const mxArray* array) { return array->dims[0]; }

size_t mxGetN(const mxArray* array) {
    size_t n = 1;
    for (size_t i = 1; i < array->dims.size(); ++i) n *= array->dims[i];
    return n;
}

size_t mxGetNumberOfElements(const mxArray* array) {
    return array->dims[0] * mxGetN(array);
}

double mxGetScalar(const mxArray* array) {
    if (array->sparse) {
        // The element at (0, 0), if it is stored; a matrix without columns
        // has none (and a column-start array of one entry).
        if (mxGetN(array) == 0 || array->jc[1] == 0 || array->ir[0] != 0) return 0.0;
    } else if (mxGetNumberOfElements(array) == 0) {
        return 0.0;
    }
    const void* first = array->real;
    switch (array->classid) {
    case mxLOGICAL_CLASS: return *static_cast<const bool*>(first) ? 1.0 : 0.0;
    case mxCHAR_CLASS: return standin::first_as_double<uint16_t>(first);
    case mxDOUBLE_CLASS: return standin::first_as_double<double>(first);
    case mxSINGLE_CLASS: return standin::first_as_double<float>(first);
    case mxINT8_CLASS: return standin::first_as_double<int8_t>(first);
    case mxUINT8_CLASS: return standin::first_as_double<uint8_t>(first);
    case mxINT16_CLASS: return standin::first_as_double<int16_t>(first);
    case mxUINT16_CLASS: return standin::first_as_double<uint16_t>(first);
    case mxINT32_CLASS: return standin::first_as_double<int32_t>(first);
    case mxUINT32_CLASS: return standin::first_as_double<uint32_t>(first);
    case mxINT64_CLASS: return standin::first_as_double<int64_t>(first);
    case mxUINT64_CLASS: return standin::first_as_double<uint64_t>(first);
    default: return 0.0;
    }
}

mxClassID mxGetClassID(const mxArray* array) { return array->classid; }
bool mxIsDouble(const mxArray* array) { return array->classid == mxDOUBLE_CLASS; }
bool mxIsComplex(const mxArray* array) { return array->complex; }
bool mxIsSparse(const mxArray* array) { return array->sparse; }

mxArray* mxCreateDoubleMatrix_700(int m, int n, mxComplexity complexity) {
    return mxCreateNumericMatrix_700(m, n, mxDOUBLE_CLASS, complexity);
}

mxArray* mxCreateNumericMatrix_700(int m, int n, mxClassID classid,
                                   mxComplexity complexity) {
    if (m < 0 || n < 0)
        raise("host:negativeDimension", "Array dimensions must be non-negative.");
    standin::ArrayLayout layout;
    layout.classid = classid;
    layout.dims = {static_cast<size_t>(m), static_cast<size_t>(n)};
    layout.complex = complexity == mxCOMPLEX;
    return standin::create_array(layout);
}

void* mxCalloc(size_t n, size_t size) {
    void* block = standin::zeroed(n, size);
    standin::Ledger& l = standin::ledger();
    if (l.active) l.blocks[block] = n * size;
    return block;
}

void mxFree(void* ptr) {
    if (ptr == nullptr) return;
    standin::Ledger& l = standin::ledger();
    if (l.active && l.blocks.erase(ptr) == 0)
        raise("host:badFree", "mxFree was given memory that mxCalloc did not provide.");
    std::free(ptr);
}

}  // extern "C"
