// The benchmark: every kernel beside its peer, in one process and one run, on
// the same data, one thread each. Prints Google Benchmark's report and then a
// table of medians with the ratios; --table=FILE also writes the table as
// Markdown (./run bench puts it into doc/performance.md). "Ours" runs the path
// a call asking for the fastest one gets, which BITEXACT_KERNEL_PATH caps; the
// report and the table name it. --kernel-path prints that path's name alone
// (as kernel_path_name writes it) and does nothing else.
//
//   bitexact_bench [--reps=N] [--table=FILE] [Google Benchmark flags]
//   bitexact_bench --kernel-path
#include <cblas.h>

#include <opencv2/core.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"
#include "core/kernel_path.h"

namespace bench {
namespace {

std::vector<Case>& cases() {
    static std::vector<Case> all;
    return all;
}

int repetitions = 5;

std::map<std::string, size_t>& allocation_counts() {
    static std::map<std::string, size_t> counts;
    return counts;
}

// Median processor time per iteration, in milliseconds, of every benchmark run,
// and the reason of every benchmark skipped.
struct Results {
    std::map<std::string, double> ms;
    std::map<std::string, std::string> errors;
};

class TableReporter : public benchmark::ConsoleReporter {
public:
    explicit TableReporter(Results* results) : results_(results) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const std::string name = run.run_name.function_name;
            if (run.error_occurred) {
                results_->errors[name] = run.error_message;
            } else if (run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median"
                                                         : run.repetitions <= 1) {
                results_->ms[name] = run.GetAdjustedCPUTime();
            }
        }
    }

private:
    Results* results_;
};

std::string machine() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line, model = "unknown processor", flags;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0 && model == "unknown processor")
            model = line.substr(line.find(':') + 2);
        if (line.rfind("flags", 0) == 0 && flags.empty()) flags = " " + line + " ";
    }
    std::string simd;
    if (flags.find(" avx2 ") != std::string::npos) simd += "AVX2";
    if (flags.find(" avx512f ") != std::string::npos)
        simd += std::string(simd.empty() ? "" : ", ") + "AVX-512";
    if (simd.empty()) simd = "no AVX2";
    std::ostringstream out;
    out << model << " (" << simd << "), one thread; g++ " << __VERSION__ << ", OpenCV "
        << cv::getVersionString() << ", OpenBLAS " << openblas_get_config();
    return out.str();
}

// The path "ours" runs, and why where the variable asked for another.
std::string kernel_path_report() {
    const char* value = std::getenv("BITEXACT_KERNEL_PATH");
    const KernelPath run = kernel_path_in_force();
    std::string text = std::string("kernel path ") + kernel_path_name(run);
    if (value == nullptr || *value == '\0')
        return text + " (the best this processor runs; BITEXACT_KERNEL_PATH unset)";
    bool known = false;
    const KernelPath asked = kernel_path_cap(&known);
    text += std::string(" (BITEXACT_KERNEL_PATH=") + value;
    if (!known) return text + ", which names no path and is ignored)";
    if (asked != run)
        return text + ": this processor does not run " + kernel_path_name(asked) +
               ", the best path below it ran)";
    return text + ")";
}

std::string fixed(double v, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

std::string table(const Results& r) {
    std::ostringstream out;
    auto found = [&](const std::string& name) { return r.ms.count(name) != 0; };
    double copy_bandwidth = 0;  // bytes read plus bytes written, per millisecond
    const double memory_bytes = 256.0 * 1024 * 1024;
    if (found("memory/copy")) copy_bandwidth = 2 * memory_bytes / r.ms.at("memory/copy");

    out << "Medians of " << repetitions
        << " runs (every case's runs among the others' in a random order) on " << machine()
        << "; "
        << kernel_path_report()
        << ". Ratios above 1 mean ours is faster; ours is checked bit for bit"
           " against its scalar path before it is timed.\n\n";
    out << "| case | ours ms | scalar ms | peer | peer ms | ours vs peer | ours vs peer per"
           " source cell | ours vs scalar | floor ms | ours / floor | heap allocations per call |\n";
    out << "|---|---:|---:|---|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const Case& c : cases()) {
        const std::string ours = c.name + "/ours", scalar = c.name + "/scalar",
                          peer = c.peer_benchmark.empty() ? c.name + "/" + c.peer
                                                          : c.peer_benchmark;
        out << "| " << c.name << " | ";
        if (r.errors.count(ours)) {
            out << "FAILED: " << r.errors.at(ours) << " | | | | | | | | | |\n";
            continue;
        }
        if (!found(ours)) {
            out << "not run | | | | | | | | | |\n";
            continue;
        }
        const double t = r.ms.at(ours);
        out << fixed(t, 2) << " | " << (found(scalar) ? fixed(r.ms.at(scalar), 2) : "") << " | "
            << c.peer << " | " << (found(peer) ? fixed(r.ms.at(peer), 2) : "") << " | ";
        if (found(peer))
            out << fixed((r.ms.at(peer) / c.peer_items) / (t / c.ours_items), 2) << "x";
        out << " | ";
        if (found(peer) && c.ours_sources > 0 && c.peer_sources > 0)
            out << fixed((r.ms.at(peer) / c.peer_sources) / (t / c.ours_sources), 2) << "x";
        out << " | ";
        if (found(scalar)) out << fixed(r.ms.at(scalar) / t, 2) << "x";
        out << " | ";
        if (copy_bandwidth > 0 && c.floor_bytes > 0) {
            const double floor = c.floor_bytes / copy_bandwidth;
            out << fixed(floor, 2) << " | " << fixed(t / floor, 2) << "x";
        } else {
            out << " | ";
        }
        out << " | ";
        if (allocation_counts().count(c.name)) out << allocation_counts().at(c.name);
        out << " |\n";
    }
    if (found("memory/read") && found("memory/copy")) {
        out << "\nMemory, 256 MiB: read pass " << fixed(r.ms.at("memory/read"), 1) << " ms ("
            << fixed(memory_bytes / r.ms.at("memory/read") / 1e6, 1) << " GB/s), copy "
            << fixed(r.ms.at("memory/copy"), 1) << " ms ("
            << fixed(copy_bandwidth / 1e6, 1)
            << " GB/s read + written). The floor of a case is its unavoidable traffic at"
               " the copy rate.\n";
    }
    return out.str();
}

}  // namespace

void add_case(const Case& c) { cases().push_back(c); }

void record_allocations(const std::string& case_name, size_t count) {
    allocation_counts()[case_name] = count;
}

void add_benchmark(const std::string& name, std::function<std::string()> prepare,
                   std::function<void()> body) {
    benchmark::RegisterBenchmark(name.c_str(), [prepare, body](benchmark::State& state) {
        const std::string problem = prepare();
        if (!problem.empty()) {
            state.SkipWithError(problem.c_str());
            return;
        }
        for (auto _ : state) {
            body();
            benchmark::ClobberMemory();
        }
    })
        ->Unit(benchmark::kMillisecond)
        ->Repetitions(repetitions)
        ->DisplayAggregatesOnly(true);
}

}  // namespace bench

int main(int argc, char** argv) {
    std::string table_file;
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--kernel-path") {
            std::printf("%s\n", kernel_path_name(kernel_path_in_force()));
            return 0;
        } else if (arg.rfind("--reps=", 0) == 0) {
            bench::repetitions = std::max(1, std::atoi(arg.c_str() + 7));
        } else if (arg.rfind("--table=", 0) == 0) {
            table_file = arg.substr(8);
        } else {
            rest.push_back(argv[i]);
        }
    }
    // Every case's repetitions are run in a random order among the others',
    // not one case after another: a slow stretch of a shared machine (they
    // last seconds on the virtual ones) then falls on ours and the peer alike
    // instead of on whichever ran in it. A flag given on the command line
    // comes later and wins.
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    rest.insert(rest.begin() + (rest.empty() ? 0 : 1), interleave);
    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) return 1;

    std::printf("Ours: %s.\n", bench::kernel_path_report().c_str());
    // One thread for everyone: our modules start none.
    cv::setNumThreads(1);
    openblas_set_num_threads(1);

    bench::register_memory();
    bench::register_gridlerp();
    bench::register_patchwarp();
    bench::register_envsweep();
    bench::register_linscore();

    bench::Results results;
    bench::TableReporter reporter(&results);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const std::string text = bench::table(results);
    std::printf("\n%s", text.c_str());
    if (!table_file.empty()) std::ofstream(table_file) << text;
    return results.errors.empty() ? 0 : 1;
}
