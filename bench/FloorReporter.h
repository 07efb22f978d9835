#pragma once
// Prints each benchmark's CPU time beside its floor's (the least work that does the same job,
// measured in the same run) and the ratio, after the usual console table.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace qtx::bench {

class FloorReporter : public benchmark::ConsoleReporter {
  public:
    // pairs: (figure's benchmark name, its floor's benchmark name)
    explicit FloorReporter(std::vector<std::pair<std::string, std::string>> pairs)
        : pairs_(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration && r.iterations > 0)
                seconds_[r.benchmark_name()] =
                    r.cpu_accumulated_time / static_cast<double>(r.iterations);
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [figure, floor] : pairs_) {
            if (!seconds_.count(figure) || !seconds_.count(floor))
                continue;
            const double f = seconds_[figure], b = seconds_[floor];
            std::printf("%s: %.1f us CPU, floor %s: %.1f us CPU, ratio %.2fx\n", figure.c_str(),
                        f * 1e6, floor.c_str(), b * 1e6, f / b);
        }
    }

  private:
    std::vector<std::pair<std::string, std::string>> pairs_;
    std::map<std::string, double> seconds_;
};

// main() of a benchmark program whose figures are printed beside their floors.
inline int RunWithFloors(int argc, char** argv,
                         std::vector<std::pair<std::string, std::string>> pairs) {
    benchmark::Initialize(&argc, argv);
    FloorReporter reporter(std::move(pairs));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace qtx::bench
