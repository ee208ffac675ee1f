// The memory floor: one read pass over 256 MiB, and a copy of the same byte
// count (what a kernel that reads its input once and writes a result of the
// same size once cannot beat).
#include <cstring>
#include <memory>

#include "bench.h"

namespace bench {

namespace {

struct Buffers {
    std::vector<uint64_t> source, target;
    uint64_t sink = 0;
};

constexpr size_t kWords = 256u * 1024 * 1024 / sizeof(uint64_t);

}  // namespace

void register_memory() {
    auto data = std::make_shared<Buffers>();
    auto prepare = [data] {
        if (data->source.empty()) {
            data->source.assign(kWords, 1);
            data->target.assign(kWords, 0);
        }
        return std::string();
    };
    add_benchmark("memory/read", prepare, [data] {
        const uint64_t* s = data->source.data();
        uint64_t a = 0, b = 0, c = 0, d = 0;
        for (size_t k = 0; k < kWords; k += 4) {
            a += s[k];
            b += s[k + 1];
            c += s[k + 2];
            d += s[k + 3];
        }
        data->sink += a + b + c + d;
        benchmark::DoNotOptimize(data->sink);
    });
    add_benchmark("memory/copy", prepare, [data] {
        std::memcpy(data->target.data(), data->source.data(), kWords * sizeof(uint64_t));
        benchmark::DoNotOptimize(data->target.data());
    });
}

}  // namespace bench
