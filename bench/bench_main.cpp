// Runs every registered benchmark, then prints for each case "<Case>/qorimg" measured together
// with peers "<Case>/<peer>" the ratio of qorimg's real time to each peer's, and of CPU time
// (steadier than real time on a busy machine).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

// Real time per iteration of every finished run, by family name ("<Case>/<who>"). With
// repetitions, the mean replaces the single runs.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    bool ReportContext(const Context& context) override {
        return benchmark::ConsoleReporter::ReportContext(context);
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name != "mean") continue;
                times_[name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(), true};
            } else if (!times_[name].fromMean) {
                times_[name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(), false};
            }
        }
        benchmark::ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const {
        std::map<std::string, std::map<std::string, Time>> cases;
        for (const auto& [name, time] : times_) {
            std::size_t slash = name.rfind('/');
            if (slash == std::string::npos || time.value <= 0) continue;
            cases[name.substr(0, slash)][name.substr(slash + 1)] = time;
        }
        bool header = false;
        for (const auto& [name, who] : cases) {
            auto ours = who.find("qorimg");
            if (ours == who.end()) continue;
            for (const auto& [peer, time] : who) {
                if (peer == "qorimg") continue;
                if (!header) {
                    std::printf("\nqorimg against its peers (real time, same run):\n");
                    header = true;
                }
                std::printf("%s: qorimg time / %s time = %.2f (CPU time: %.2f)\n", name.c_str(),
                            peer.c_str(), ours->second.value / time.value,
                            time.cpu > 0 ? ours->second.cpu / time.cpu : 0.0);
            }
        }
        std::fflush(stdout);
    }

  private:
    struct Time {
        double value = 0;  // real time
        double cpu = 0;
        bool fromMean = false;
    };
    std::map<std::string, Time> times_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
