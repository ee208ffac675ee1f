// One fuzz target per module: the module's entry is linked in, each input of
// the fuzzer becomes one call through our own host, and any breach of the
// module's oracle stops the run with the call that caused it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "oracle.h"

namespace {

// A module asked for a result or scratch block beyond this gets the host's
// out-of-memory error, as it would in a host short of memory.
constexpr size_t kBlockLimit = size_t{1} << 20;

const fuzzcall::Oracle& the_oracle() {
    const auto all = fuzzcall::oracles();
    if (all.size() != 1) {
        std::fprintf(stderr, "a fuzz target links exactly one module description\n");
        std::abort();
    }
    return *all[0];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    standin::set_block_limit(kBlockLimit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzzcall::Oracle& oracle = the_oracle();
    static const mexhost::Module module(&mexFunction);
    const fuzzcall::Call call = fuzzcall::decode_call(data, size, oracle.arity);
    // FUZZ_DESCRIBE=1 prints each call before making it (to turn an input
    // into a regression test).
    static const bool describe = std::getenv("FUZZ_DESCRIBE") != nullptr;
    if (describe) std::fprintf(stderr, "%s", fuzzcall::describe_call(call).c_str());
    if (oracle.slow_by_nature && oracle.slow_by_nature(call)) return 0;
    const mexhost::CallResult result = module.call(call.nlhs, call.arguments());
    const std::string fault = fuzzcall::check_call(oracle, call, result);
    if (!fault.empty()) {
        std::fprintf(stderr, "\n%s: %s\n%s", oracle.module, fault.c_str(),
                     fuzzcall::describe_call(call).c_str());
        std::abort();
    }
    return 0;
}
