// Shared by the benchmark files: how a case is registered (our kernel, its
// plain scalar path and its peer, timed in the same run on the same data),
// bit-for-bit checks, and test data.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace bench {

// One line of the closing table. The benchmarks named `name + "/ours"`,
// `name + "/scalar"` and `name + "/" + peer` time our kernel on its fastest
// path (as BITEXACT_KERNEL_PATH caps it), on its plain scalar path, and the
// peer; our kernel produces
// `ours_items` output cells per iteration and the peer `peer_items`, so a
// case whose peer does a different amount of work is compared per cell.
// `floor_bytes` is the memory traffic our kernel cannot avoid (inputs read
// once, results and scratch written once); divided by the measured copy
// bandwidth it gives a time no implementation can beat.
struct Case {
    std::string name;
    std::string peer;
    double ours_items;
    double peer_items;
    double floor_bytes;
    std::string peer_benchmark = {};  // when not name + "/" + peer
    // Source cells each one visits, where that differs from the output
    // (envsweep visits every source cell whatever its step); 0 elsewhere.
    double ours_sources = 0;
    double peer_sources = 0;
};

void add_case(const Case& c);

// Heap allocations made through the C++ allocation functions so far, and the
// count one call of a case's kernel made (shown in the table).
size_t heap_allocations();
void record_allocations(const std::string& case_name, size_t count);

// Registers `name`, timing `body` once per iteration (processor time of this
// thread, which a busy machine disturbs less than wall-clock time). `prepare`
// runs first, untimed, and returns an empty string or a reason to skip the
// benchmark (a result that differs from the scalar path).
void add_benchmark(const std::string& name, std::function<std::string()> prepare,
                   std::function<void()> body);

// Where two results first differ bit for bit, as a reason to skip; empty when
// they agree.
template <typename T>
std::string mismatch(const std::string& what, const std::vector<T>& got,
                     const std::vector<T>& expected) {
    if (got.size() != expected.size()) return what + ": sizes differ";
    for (size_t k = 0; k < got.size(); ++k)
        if (std::memcmp(&got[k], &expected[k], sizeof(T)) != 0)
            return what + ": differs from the scalar path at element " + std::to_string(k);
    return {};
}

inline std::vector<double> uniform(size_t count, double low, double high, uint64_t stream) {
    std::mt19937_64 rng(stream);
    std::uniform_real_distribution<double> d(low, high);
    std::vector<double> v(count);
    for (double& x : v) x = d(rng);
    return v;
}

// Registration functions of the benchmark files, called once from main.
void register_memory();
void register_gridlerp();
void register_patchwarp();
void register_envsweep();
void register_linscore();

}  // namespace bench
