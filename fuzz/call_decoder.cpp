#include "call_decoder.h"

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace fuzzcall {

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Values that sit on the edges modules have to respect: signed zeros,
// non-finite values, the extremes of double, and the edges of the 32-bit
// signed range and of a squared index.
const double kSpecial[] = {
    0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 1.5, 2.5,
    kNaN, kInf, -kInf, DBL_MAX, -DBL_MAX, DBL_MIN, 4.9406564584124654e-324, -4.9406564584124654e-324,
    1e20, -1e20, 2147483647.0, 2147483648.0, -2147483648.0, -2147483649.0, 46340.0, 46341.0,
    1e-300, DBL_EPSILON, 4294967296.0, 1e300, 2147483647.5, -2147483648.5, 0.49999999999999994,
    -kNaN,
};
constexpr unsigned kSpecialCount = sizeof kSpecial / sizeof kSpecial[0];
constexpr unsigned kRawEnd = kSpecialCount + 16;

// Sizes beyond what a module may index with 32-bit signed integers, or at the
// edge of it; they only ever come with an empty array.
const size_t kLargeDims[] = {
    46341, 65536, 2147483647, size_t{2147483648}, size_t{2147483649},
    size_t{4294967296}, size_t{4294967297}, size_t{1} << 40,
};

const mxClassID kOtherClasses[] = {
    mxSINGLE_CLASS, mxINT32_CLASS, mxLOGICAL_CLASS, mxCHAR_CLASS, mxINT8_CLASS,
    mxUINT8_CLASS, mxINT16_CLASS, mxUINT16_CLASS, mxUINT32_CLASS, mxINT64_CLASS,
    mxUINT64_CLASS, mxDOUBLE_CLASS,
};

template <typename T>
T saturate(double value) {
    if (value != value) return 0;
    const double lo = static_cast<double>(std::numeric_limits<T>::min());
    // The largest value is rounded up in double for 64-bit types; compare
    // with >= so that no conversion leaves the range.
    const double hi = static_cast<double>(std::numeric_limits<T>::max());
    if (value <= lo) return std::numeric_limits<T>::min();
    if (value >= hi) return std::numeric_limits<T>::max();
    return static_cast<T>(value);
}

float to_single(double value) {
    if (value != value) return std::numeric_limits<float>::quiet_NaN();
    if (value > FLT_MAX) return std::numeric_limits<float>::infinity();
    if (value < -FLT_MAX) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

bool can_be_complex(mxClassID classid) {
    return classid != mxLOGICAL_CLASS && classid != mxCHAR_CLASS;
}

// Reads the dimensions and keeps the array small: a product above
// kMaxElements loses its smallest size to 0, so large counts stay and the
// array holds no element.
std::vector<size_t> decode_dims(ByteReader& in, size_t count) {
    std::vector<size_t> dims(count);
    // The host needs the product of the non-zero sizes to be representable.
    size_t nonzero_product = 1;
    for (size_t& d : dims) {
        const uint8_t b = in.byte();
        d = b < 224 ? b % 9 : kLargeDims[b % (sizeof kLargeDims / sizeof kLargeDims[0])];
        size_t next = 0;
        if (d != 0 && __builtin_mul_overflow(nonzero_product, d, &next)) d = 1;
        if (d != 0) nonzero_product *= d;
    }
    size_t product = 1;
    bool small = true;
    for (size_t d : dims)
        if (__builtin_mul_overflow(product, d, &product) || product > kMaxElements) small = false;
    for (size_t d : dims)
        if (d == 0) small = true;
    if (!small) {
        size_t smallest = 0;
        for (size_t i = 1; i < count; ++i)
            if (dims[i] < dims[smallest]) smallest = i;
        dims[smallest] = 0;
    }
    return dims;
}

mexhost::Array decode_array(ByteReader& in) {
    const uint8_t class_byte = in.byte();
    standin::ArrayLayout layout;
    layout.classid = class_byte < 128
                       ? mxDOUBLE_CLASS
                       : kOtherClasses[class_byte % (sizeof kOtherClasses / sizeof kOtherClasses[0])];
    const uint8_t form = in.byte();
    const unsigned extra_dims = (form >> 2) & 3;
    layout.dims = decode_dims(in, extra_dims < 2 ? 2 : extra_dims + 1);
    layout.complex = (form & 3) == 1 && can_be_complex(layout.classid);
    layout.sparse = (form & 3) == 2 && layout.dims.size() == 2 && layout.dims[1] <= kMaxElements &&
                  (layout.classid == mxDOUBLE_CLASS || layout.classid == mxLOGICAL_CLASS);
    size_t elements = 1;
    for (size_t d : layout.dims) elements *= d;   // at most kMaxElements, or 0
    size_t stored = elements;
    if (layout.sparse) {
        layout.nzmax = in.byte();
        stored = elements < layout.nzmax ? elements : layout.nzmax;
    }
    mexhost::Array array(standin::create_array(layout));
    mxArray* a = array.get();
    for (size_t k = 0; k < stored; ++k) store_value(layout.classid, mxGetData(a), k, in.value());
    if (layout.complex)
        for (size_t k = 0; k < stored; ++k)
            store_value(layout.classid, standin::imag_data(a), k, in.value());
    if (layout.sparse) {
        // The first `stored` elements in column-major order are the stored ones.
        const size_t rows = layout.dims[0], cols = layout.dims[1];
        size_t* ir = standin::sparse_rows(a);
        size_t* jc = standin::sparse_columns(a);
        for (size_t k = 0; k < stored; ++k) ir[k] = k % rows;
        for (size_t c = 0; c <= cols; ++c) {
            const size_t start = c * rows;
            jc[c] = start < stored ? start : stored;
        }
    }
    return array;
}

}  // namespace

double ByteReader::value() {
    const uint8_t b = byte();
    if (b < kSpecialCount) return kSpecial[b];
    if (b < kRawEnd) {
        uint64_t bits = 0;
        for (int i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(byte()) << (8 * i);
        double raw;
        std::memcpy(&raw, &bits, sizeof raw);
        return raw;
    }
    // Small integral and half-integral numbers around 0.
    return (static_cast<int>(b) - 152) * 0.5;
}

void store_value(mxClassID classid, void* data, size_t index, double value) {
    switch (classid) {
    case mxDOUBLE_CLASS: static_cast<double*>(data)[index] = value; break;
    case mxSINGLE_CLASS: static_cast<float*>(data)[index] = to_single(value); break;
    case mxLOGICAL_CLASS: static_cast<bool*>(data)[index] = value != 0 && value == value; break;
    case mxCHAR_CLASS: static_cast<uint16_t*>(data)[index] = saturate<uint16_t>(value); break;
    case mxINT8_CLASS: static_cast<int8_t*>(data)[index] = saturate<int8_t>(value); break;
    case mxUINT8_CLASS: static_cast<uint8_t*>(data)[index] = saturate<uint8_t>(value); break;
    case mxINT16_CLASS: static_cast<int16_t*>(data)[index] = saturate<int16_t>(value); break;
    case mxUINT16_CLASS: static_cast<uint16_t*>(data)[index] = saturate<uint16_t>(value); break;
    case mxINT32_CLASS: static_cast<int32_t*>(data)[index] = saturate<int32_t>(value); break;
    case mxUINT32_CLASS: static_cast<uint32_t*>(data)[index] = saturate<uint32_t>(value); break;
    case mxINT64_CLASS: static_cast<int64_t*>(data)[index] = saturate<int64_t>(value); break;
    case mxUINT64_CLASS: static_cast<uint64_t*>(data)[index] = saturate<uint64_t>(value); break;
    default: break;
    }
}

Call decode_call(const uint8_t* data, size_t size, Arity arity) {
    ByteReader in(data, size);
    Call call;
    const uint8_t nlhs = in.byte();
    call.nlhs = nlhs < 128 ? arity.max_outputs : nlhs % (arity.max_outputs + 2);
    const uint8_t nrhs = in.byte();
    const int inputs = nrhs < 192 ? arity.inputs : nrhs % (arity.inputs + 3);
    for (int i = 0; i < inputs; ++i) call.inputs.push_back(decode_array(in));
    return call;
}

std::vector<const mxArray*> Call::arguments() const {
    std::vector<const mxArray*> pointers;
    for (const auto& input : inputs) pointers.push_back(input.get());
    return pointers;
}

const char* class_name(mxClassID classid) {
    switch (classid) {
    case mxDOUBLE_CLASS: return "double";
    case mxSINGLE_CLASS: return "single";
    case mxLOGICAL_CLASS: return "logical";
    case mxCHAR_CLASS: return "char";
    case mxINT8_CLASS: return "int8";
    case mxUINT8_CLASS: return "uint8";
    case mxINT16_CLASS: return "int16";
    case mxUINT16_CLASS: return "uint16";
    case mxINT32_CLASS: return "int32";
    case mxUINT32_CLASS: return "uint32";
    case mxINT64_CLASS: return "int64";
    case mxUINT64_CLASS: return "uint64";
    default: return "unknown";
    }
}

std::string describe_array(const mxArray* array) {
    std::string text;
    const auto& dims = standin::dimensions(array);
    for (size_t i = 0; i < dims.size(); ++i) {
        if (i) text += "x";
        text += std::to_string(dims[i]);
    }
    text += mxIsSparse(array) ? " sparse" : "";
    text += mxIsComplex(array) ? " complex " : " ";
    text += class_name(mxGetClassID(array));
    const size_t count = mxIsSparse(array) ? standin::sparse_nzmax(array)
                                           : mxGetNumberOfElements(array);
    text += " [";
    for (size_t k = 0; k < count && k < 8; ++k) {
        char value[40];
        double v = 0;
        const void* data = mxGetData(array);
        switch (mxGetClassID(array)) {
        case mxDOUBLE_CLASS: v = static_cast<const double*>(data)[k]; break;
        case mxSINGLE_CLASS: v = static_cast<const float*>(data)[k]; break;
        case mxLOGICAL_CLASS: v = static_cast<const bool*>(data)[k]; break;
        case mxCHAR_CLASS: case mxUINT16_CLASS: v = static_cast<const uint16_t*>(data)[k]; break;
        case mxINT8_CLASS: v = static_cast<const int8_t*>(data)[k]; break;
        case mxUINT8_CLASS: v = static_cast<const uint8_t*>(data)[k]; break;
        case mxINT16_CLASS: v = static_cast<const int16_t*>(data)[k]; break;
        case mxINT32_CLASS: v = static_cast<const int32_t*>(data)[k]; break;
        case mxUINT32_CLASS: v = static_cast<const uint32_t*>(data)[k]; break;
        case mxINT64_CLASS: v = static_cast<double>(static_cast<const int64_t*>(data)[k]); break;
        case mxUINT64_CLASS: v = static_cast<double>(static_cast<const uint64_t*>(data)[k]); break;
        default: break;
        }
        std::snprintf(value, sizeof value, "%s%.17g", k ? ", " : "", v);
        text += value;
    }
    text += count > 8 ? ", ...]" : "]";
    return text;
}

std::string describe_call(const Call& call) {
    std::string text = "nlhs " + std::to_string(call.nlhs) + ", nrhs " +
                       std::to_string(call.inputs.size()) + "\n";
    for (size_t i = 0; i < call.inputs.size(); ++i)
        text += "  input " + std::to_string(i + 1) + ": " + describe_array(call.inputs[i].get()) + "\n";
    return text;
}

}  // namespace fuzzcall
