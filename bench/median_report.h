// Runs the registered benchmarks with repetitions interleaved at random (so a noisy
// neighbour hurts every case alike) and keeps each case's median for a summary.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace tamix::bench {

class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.aggregate_name == "median") medians[run.run_name.function_name] = run;
    }

    // Seconds per iteration of a case's median repetition.
    double Seconds(const std::string& name) const {
        const Run& run = medians.at(name);
        return run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
    }
    double Counter(const std::string& name, const std::string& counter) const {
        return medians.at(name).counters.at(counter).value;
    }

    std::map<std::string, Run> medians;
};

// Initialises Google Benchmark with interleaved repetitions unless the command line
// says otherwise, runs everything and returns the medians.
inline void RunAll(int argc, char** argv, MedianReporter& reporter) {
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
}

} // namespace tamix::bench
