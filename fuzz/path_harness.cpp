#include "path_harness.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace pathfuzz {

namespace {

double from_bits(uint64_t bits) {
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// The values a kernel meets at its edges. A byte below the table's size picks
// one of them.
const double kEdgeValues[] = {
    +0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.0, 3.0,
    std::numeric_limits<double>::quiet_NaN(),
    std::numeric_limits<double>::infinity(),
    -std::numeric_limits<double>::infinity(),
    from_bits(0x7ff8000000000123),  // quiet NaN with a payload
    from_bits(0xfff80000000abcde),  // negative quiet NaN with a payload
    from_bits(0x7ff0000000000001),  // signalling NaN
    from_bits(0xfff4000000000077),  // negative signalling NaN
    std::numeric_limits<double>::denorm_min(),
    -from_bits(0x000fffffffffffff),  // largest subnormal, negative
    std::numeric_limits<double>::min(),
    std::numeric_limits<double>::max(),
    -std::numeric_limits<double>::max(),
    1e300, -1e300, 1e-300, 1e16, -1e16, 1e20, -1e20, 1e8,
    2147483647.0, -2147483648.0, 2147483648.0, -2147483649.0,
    46340.0, 46341.0, 67108864.0, 9007199254740993.0,
    0.1, 1.0 / 3.0, 0.25, 0.75, 1.5, -1.5, 0.05, -0.05,
    from_bits(0x3fefffffffffffff),  // the double below 1
    from_bits(0x3ff0000000000001),  // the double above 1
    5.0 - 2e-7, 5.0 - 4e-7, 2.9999999, 1e-7,
    std::numeric_limits<double>::epsilon(), -std::numeric_limits<double>::epsilon(),
    1.7976931348623157e308 / 2, 3.4028235677973366e38, -3.4028235677973366e38,
    1e-20, 100.0, -100.0, 1000.5, -7.25,
};
constexpr int kEdgeCount = sizeof(kEdgeValues) / sizeof(kEdgeValues[0]);

bool describe_flag() { return std::getenv("FUZZ_DESCRIBE") != nullptr; }

}  // namespace

Bytes::Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {
    uint64_t h = 0x9e3779b97f4a7c15u ^ size;
    for (size_t k = 0; k < size; ++k) h = (h ^ data[k]) * 0x100000001b3u;
    hash_ = h ^ (h >> 29);
}

uint8_t Bytes::byte() {
    if (at_ < size_) return data_[at_++];
    // Past the input's end: a fixed sequence that depends on the input, so
    // that a large call is not filled with one repeated value.
    if (at_ == size_) {
        tail_ = hash_ | 1;
        ++at_;
    }
    tail_ ^= tail_ << 13;
    tail_ ^= tail_ >> 7;
    tail_ ^= tail_ << 17;
    return static_cast<uint8_t>(tail_ >> 24);
}

int32_t Bytes::in_range(int32_t low, int32_t high) {
    const int64_t span = int64_t{high} - low + 1;
    if (span <= 1) return low;
    uint64_t raw = byte();
    if (span > 256) {
        for (int k = 0; k < 3; ++k) raw = (raw << 8) | byte();
    }
    return static_cast<int32_t>(low + static_cast<int64_t>(raw % static_cast<uint64_t>(span)));
}

double Bytes::value() {
    const uint8_t b = byte();
    if (b < kEdgeCount) return kEdgeValues[b];
    if (b < 224) return (static_cast<int>(b) - 144) * 0.5;  // -40 .. 39.5 in halves
    if (b < 240) {
        uint64_t bits = 0;
        for (int k = 0; k < 8; ++k) bits = (bits << 8) | byte();
        return from_bits(bits);
    }
    // A small number with a fraction of any bits.
    const double whole = static_cast<int>(b) - 248;
    uint32_t fraction = 0;
    for (int k = 0; k < 4; ++k) fraction = (fraction << 8) | byte();
    return whole + fraction / 4294967296.0;
}

double Bytes::position(int32_t length) {
    const int64_t n = length > 1 ? length : 1;
    const uint8_t b = byte();
    const double last = static_cast<double>(n - 1);
    if (b < 64) return static_cast<double>(b % (n + 4)) - 2.0;
    if (b < 128) return static_cast<double>(b % (2 * n + 6)) * 0.5 - 1.5;
    if (b < 152) return static_cast<double>(b % (4 * n + 8)) * 0.25 - 1.0;
    if (b < 168) return last;
    if (b < 176) return std::nextafter(last, std::numeric_limits<double>::infinity());
    if (b < 184) return std::nextafter(last, -std::numeric_limits<double>::infinity());
    if (b < 188) return -0.0;
    if (b < 192) return -std::numeric_limits<double>::denorm_min();
    if (b < 224) {
        const double whole = static_cast<double>(byte() % n);
        return whole + byte() / 256.0;
    }
    return value();
}

void fill_values(Bytes& in, double* values, size_t count) {
    double pool[16];
    const int32_t pooled = in.in_range(1, 16);
    for (int32_t k = 0; k < pooled; ++k) pool[k] = in.value();
    const size_t direct = std::min(count, static_cast<size_t>(in.in_range(0, 64)));
    for (size_t k = 0; k < direct; ++k) values[k] = in.value();
    // Through the list, one further on every seventh element, so that its
    // values do not line up with the rows; the pattern repeats after
    // 7 * pooled elements, and larger arrays are filled by copying it.
    const size_t period = 7 * static_cast<size_t>(pooled);
    int32_t at = 0, seventh = 0;
    size_t k = direct;
    for (; k < count && k < direct + period; ++k) {
        values[k] = pool[at];
        if (++at == pooled) at = 0;
        if (++seventh == 7) {
            seventh = 0;
            if (++at == pooled) at = 0;
        }
    }
    while (k < count) {
        const size_t run = std::min(count - k, k - direct);
        std::memcpy(values + k, values + direct, run * sizeof(double));
        k += run;
    }
}


namespace {

struct Mapping {
    char* base = nullptr;  // the leading inaccessible page
    size_t pages = 0;      // accessible pages after it
    bool sealed = false;
};

Mapping slots[16];

size_t page_size() {
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

}  // namespace

void* guarded(int slot, size_t count, size_t size, bool at_start) {
    Mapping& m = slots[slot];
    const size_t page = page_size();
    const size_t bytes = count * size;
    const size_t pages = bytes == 0 ? 1 : (bytes + page - 1) / page;
    if (pages > m.pages) {
        if (m.base) munmap(m.base, (m.pages + 2) * page);
        // One inaccessible page before the array's pages and one after.
        void* base = mmap(nullptr, (pages + 2) * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS,
                          -1, 0);
        if (base == MAP_FAILED || mprotect(static_cast<char*>(base) + page, pages * page,
                                           PROT_READ | PROT_WRITE) != 0) {
            std::perror("guarded array");
            std::abort();
        }
        m.base = static_cast<char*>(base);
        m.pages = pages;
        m.sealed = false;
    } else if (m.sealed) {
        if (mprotect(m.base + page, m.pages * page, PROT_READ | PROT_WRITE) != 0) {
            std::perror("guarded array");
            std::abort();
        }
        m.sealed = false;
    }
    char* first = m.base + page;
    return at_start ? first : first + m.pages * page - bytes;
}

void seal(int slot) {
    Mapping& m = slots[slot];
    if (m.base == nullptr || m.sealed) return;
    if (mprotect(m.base + page_size(), m.pages * page_size(), PROT_READ) != 0) {
        std::perror("guarded array");
        std::abort();
    }
    m.sealed = true;
}


namespace {

ImageDims wide_image(Bytes& in) {
    const int32_t rows = in.in_range(1, 3);
    return {rows, 65536 / rows + in.in_range(-2, 40)};
}

ImageDims image_size(Bytes& in) {
    switch (in.byte() % 64) {
        case 4: case 5: case 6: case 7: return {in.in_range(0, 3), in.in_range(0, 3)};
        case 8: return wide_image(in);
        case 9: return {in.in_range(255, 258), in.in_range(255, 258)};
        case 10: case 11: case 12: case 13: return {in.in_range(1, 64), in.in_range(1, 64)};
        default: return {in.in_range(1, 16), in.in_range(1, 16)};
    }
}

}  // namespace

ImageCase image_case(Bytes& in, int image_slot) {
    ImageCase c;
    c.image_dims = image_size(in);
    c.grid = {in.in_range(0, 24), in.in_range(0, 24)};
    c.placement = in.byte();
    const size_t pixels = static_cast<size_t>(c.image_dims.rows) * c.image_dims.cols;
    c.count = static_cast<size_t>(c.grid.rows) * c.grid.cols;
    c.image = guarded_array<double>(image_slot, pixels, c.placement & 1);
    fill_values(in, c.image, pixels);
    return c;
}

const std::vector<KernelPath>& vector_paths() {
    static const std::vector<KernelPath> paths = [] {
#if defined(__aarch64__) || defined(_M_ARM64)
        const KernelPath built[] = {KernelPath::NEON};
#else
        const KernelPath built[] = {KernelPath::SSE2, KernelPath::AVX2, KernelPath::AVX512};
#endif
        std::vector<KernelPath> list;
        for (KernelPath p : built) {
            if (kernel_path_available(p)) {
                list.push_back(p);
            } else {
                std::fprintf(stderr,
                             "not checked on this machine: the %s path (the processor or "
                             "system does not run it)\n",
                             kernel_path_name(p));
            }
        }
        list.push_back(KernelPath::Fastest);
        return list;
    }();
    return paths;
}

long first_difference(const double* a, const double* b, size_t count) {
    for (size_t k = 0; k < count; ++k) {
        const bool both_nan = a[k] != a[k] && b[k] != b[k];
        if (!both_nan && std::memcmp(&a[k], &b[k], sizeof(double)) != 0)
            return static_cast<long>(k);
    }
    return -1;
}

long first_difference(const int32_t* a, const int32_t* b, size_t count) {
    for (size_t k = 0; k < count; ++k)
        if (a[k] != b[k]) return static_cast<long>(k);
    return -1;
}

void report(const char* kernel, KernelPath path, const char* array, long index, double got,
            double want, const std::string& context) {
    uint64_t got_bits, want_bits;
    std::memcpy(&got_bits, &got, 8);
    std::memcpy(&want_bits, &want, 8);
    std::fprintf(stderr,
                 "\n%s", context.c_str());
    std::fprintf(stderr,
                 "\n%s: the %s path differs from the scalar path in %s[%ld]: %.17g "
                 "(0x%016llx), scalar %.17g (0x%016llx)\n",
                 kernel, kernel_path_name(path), array, index, got,
                 static_cast<unsigned long long>(got_bits), want,
                 static_cast<unsigned long long>(want_bits));
    std::abort();
}

bool describing() {
    static const bool flag = describe_flag();
    return flag;
}

std::string describe_values(const char* name, const double* values, size_t count) {
    std::string text = std::string(name) + " =";
    char item[64];
    for (size_t k = 0; k < count; ++k) {
        std::snprintf(item, sizeof item, " %.17g", values[k]);
        text += item;
        if (k == 63 && count > 64) {
            text += " ...";
            break;
        }
    }
    return text + "\n";
}

}  // namespace pathfuzz

// Every path target makes its list of paths once, before the first input.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    pathfuzz::vector_paths();
    return 0;
}
