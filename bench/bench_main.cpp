// The benchmark program: runs every case in a process of its own, qorimg and its peer alternately
// after one warm-up run each, and takes the median of the timed runs. Prints one line per case
// (qorimg's time, the peer's, peer / qorimg, the goal, the peak memory that qorimg's run held
// above the DIBs it delivered, and in the last column peer / qorimg in processor time, or
// qorimg's processor time for a case without a peer) and writes the same as JSON.
//
//   qorimg_bench [--runs N] [--json FILE] [--only TEXT]
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench.h"
#include "platform/testing.h"
#include "qorimg/qorimg.h"

namespace qor::bench {

TempFile::TempFile(const char* suffix) {
    std::string pattern = "/tmp/qorimg-bench-XXXXXX";
    pattern += suffix;
    int fd = mkstemps(pattern.data(), static_cast<int>(std::strlen(suffix)));
    if (fd < 0) throw std::runtime_error("mkstemps failed");
    close(fd);
    path_ = pattern;
}

TempFile::~TempFile() {
    std::remove(path_.c_str());
}

void TempFile::Write(const std::vector<std::uint8_t>& bytes) const {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f != nullptr && std::fclose(f) != 0) ok = false;
    if (!ok) throw std::runtime_error("cannot write " + path_);
}

const std::string& RealPagesDir() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/qorimg-bench-pages-XXXXXX";
        if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
        const std::string made = pattern;
        // Kept past the strings' destruction at exit, for the handler that removes the folder.
        static char removal[64];
        std::snprintf(removal, sizeof removal, "rm -rf '%s'", pattern);
        std::atexit([] { (void)!std::system(removal); });
        const std::string command =
            "/usr/bin/python3 '" QORIMG_BENCH_DIR "/real_pages.py' '" + made + "'";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error(
                "bench/real_pages.py failed (python3-pil, fonts-dejavu-core "
                "and matplotlib-data are needed)");
        }
        return made;
    }();
    return dir;
}

std::string CorporaFile(const char* name) {
    const std::string path = std::string(QORIMG_CORPORA_DIR) + "/" + name;
    return access(path.c_str(), R_OK) == 0 ? path : std::string();
}

namespace {

// Called after the read, so that `dib` holds what it delivered.
bool Deliver(std::int16_t status, QorHandle dib, std::uint64_t* delivered) {
    if (status != QOR_OK) return false;
    std::vector<QorHandle> layers(QorDocumentLayers(dib, nullptr, 0));
    QorDocumentLayers(dib, layers.data(), static_cast<std::uint32_t>(layers.size()));
    *delivered = 0;
    for (QorHandle layer : layers) *delivered += QorGlobalSize(layer);
    QorReleaseDocument(dib);
    return true;
}

}  // namespace

bool ReadGifWithQorimg(const std::string& path, std::uint64_t* delivered) {
    QorHandle dib = 0;
    std::int16_t transparent = 0;
    std::int16_t status = QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent);
    return Deliver(status, dib, delivered);
}

bool ReadGifFramesWithQorimg(const std::string& path, std::uint64_t* delivered) {
    QorReadOptions options{};
    options.size = sizeof options;
    options.flags = QOR_READ_EXTENDED;
    QorHandle dib = 0;
    std::int16_t transparent = 0;
    std::int16_t status = QorReadGIFEx(nullptr, 0, path.c_str(), &options, &dib, &transparent);
    return Deliver(status, dib, delivered);
}

bool ReadTiffWithQorimg(const std::string& path, std::uint64_t* delivered) {
    QorHandle dib = 0;
    std::int16_t status = QorReadTIF(nullptr, 0, path.c_str(), &dib);
    return Deliver(status, dib, delivered);
}

bool ReadTiffOnThreads(const std::string& path, std::uint32_t threads, std::uint64_t* delivered) {
    QorReadOptions options{};
    options.size = sizeof options;
    options.threads = threads;
    QorHandle dib = 0;
    std::int16_t status = QorReadTIFEx(nullptr, 0, path.c_str(), &options, &dib);
    return Deliver(status, dib, delivered);
}

void AddThreadCases(const std::string& name, const std::shared_ptr<TempFile>& file,
                    const std::function<void()>& prepare, std::vector<BenchCase>* cases) {
    // The machine's count is what a read of options.threads 0 takes.
    const unsigned machine = std::max(1u, std::thread::hardware_concurrency());
    const std::pair<std::uint32_t, std::string> counts[] = {
        {1, "1 thread"}, {2, "2 threads"}, {0, "the machine's " + std::to_string(machine)}};
    for (const auto& [threads, label] : counts) {
        // Against the read on one thread: the peer column is its time, the ratio the speed-up.
        cases->push_back({name + ", " + label, "qorimg on 1 thread",
                          [file, threads](std::uint64_t* delivered) {
                              return ReadTiffOnThreads(file->path(), threads, delivered);
                          },
                          [file](std::uint64_t* delivered) {
                              return ReadTiffOnThreads(file->path(), 1, delivered);
                          },
                          threads == 1 ? 1.0 : 1.8, true, prepare});
    }
}

namespace {

struct Result {
    const BenchCase* source = nullptr;
    double ours = 0;     // median seconds
    double theirs = 0;   // median seconds, 0 without a peer
    double oursCpu = 0;  // the same in processor time, steadier on a busy machine
    double theirsCpu = 0;
    std::int64_t peakAbove = -1;  // bytes above the delivered DIBs; -1 when not measured
    bool failed = false;
};

double ProcessorSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One run's real time; its processor time goes to *cpu.
double Seconds(const Run& run, std::uint64_t* delivered, bool* failed, double* cpu = nullptr) {
    const double cpuStart = ProcessorSeconds();
    auto start = std::chrono::steady_clock::now();
    if (!run(delivered)) *failed = true;
    double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (cpu != nullptr) *cpu = ProcessorSeconds() - cpuStart;
    return real;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Result Measure(const BenchCase& c, int runs) {
    Result r;
    r.source = &c;
    std::uint64_t delivered = 0;
    // The warm-up run of qorimg also measures its memory: everything that the platform layer
    // held at its peak, less what was live before and what the run delivered.
    const std::uint64_t before = plat::testing::LiveBytes();
    plat::testing::ResetPeak();
    Seconds(c.ours, &delivered, &r.failed);
    const std::uint64_t peak = plat::testing::PeakBytes() - before;
    r.peakAbove = static_cast<std::int64_t>(peak) - static_cast<std::int64_t>(delivered);
    if (c.theirs) Seconds(c.theirs, &delivered, &r.failed);
    std::vector<double> ours, theirs, oursCpu, theirsCpu;
    double cpu = 0;
    for (int i = 0; i < runs && !r.failed; ++i) {
        ours.push_back(Seconds(c.ours, &delivered, &r.failed, &cpu));
        oursCpu.push_back(cpu);
        if (!c.theirs) continue;
        theirs.push_back(Seconds(c.theirs, &delivered, &r.failed, &cpu));
        theirsCpu.push_back(cpu);
    }
    if (r.failed) return r;
    r.ours = Median(ours);
    r.oursCpu = Median(oursCpu);
    if (c.theirs) {
        r.theirs = Median(theirs);
        r.theirsCpu = Median(theirsCpu);
    }
    return r;
}

// Measure in a process of its own, forked after the case's input is made: what the runs of the
// cases before it left in the allocators (qorimg's and the peer's alike) cannot speed it up or
// slow it down. Falls back to this process when no child can be had.
Result MeasureApart(const BenchCase& c, int runs) {
    int ends[2];
    if (pipe(ends) != 0) return Measure(c, runs);
    std::fflush(stdout);
    const pid_t child = fork();
    if (child < 0) {
        close(ends[0]);
        close(ends[1]);
        return Measure(c, runs);
    }
    if (child == 0) {
        close(ends[0]);
        const Result r = Measure(c, runs);
        const double figures[] = {r.ours,
                                  r.theirs,
                                  r.oursCpu,
                                  r.theirsCpu,
                                  static_cast<double>(r.peakAbove),
                                  r.failed ? 1.0 : 0.0};
        const bool written = write(ends[1], figures, sizeof figures) == sizeof figures;
        _exit(written ? 0 : 1);
    }
    close(ends[1]);
    double figures[6] = {};
    const bool read = ::read(ends[0], figures, sizeof figures) == sizeof figures;
    close(ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    Result r;
    r.source = &c;
    if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        r.failed = true;
        return r;
    }
    r.ours = figures[0];
    r.theirs = figures[1];
    r.oursCpu = figures[2];
    r.theirsCpu = figures[3];
    r.peakAbove = static_cast<std::int64_t>(figures[4]);
    r.failed = figures[5] != 0;
    return r;
}

std::string Mebibytes(std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

void PrintLine(const Result& r) {
    const BenchCase& c = *r.source;
    std::string title = c.name + (c.peer.empty() ? "" : ", vs " + c.peer);
    if (r.failed) {
        std::printf("%-66s  FAILED\n", title.c_str());
    } else if (c.theirs) {
        std::printf("%-66s %8.4f %8.4f %7.2f %6.2f %11s %7.2f\n", title.c_str(), r.ours, r.theirs,
                    r.theirs / r.ours, c.goal, Mebibytes(r.peakAbove).c_str(),
                    r.oursCpu > 0 ? r.theirsCpu / r.oursCpu : 0.0);
    } else {
        char goal[16] = "-";
        if (c.sweep.empty()) std::snprintf(goal, sizeof goal, "<=%.2fs", c.goal);
        std::printf("%-66s %8.4f %8s %7s %6s %11s %7.4f\n", title.c_str(), r.ours, "-", "-", goal,
                    Mebibytes(r.peakAbove).c_str(), r.oursCpu);
    }
    std::fflush(stdout);
}

// The sweep's time per megapixel at each size, and the largest over the smallest: near 1 when
// the time grows with the pixels and no faster.
void PrintSweep(const std::vector<Result>& results) {
    std::vector<std::string> codings;
    for (const Result& r : results) {
        const std::string& name = r.source->sweep;
        if (!name.empty() && std::find(codings.begin(), codings.end(), name) == codings.end()) {
            codings.push_back(name);
        }
    }
    for (const std::string& name : codings) {
        std::printf("size sweep, %s: ms per megapixel", name.c_str());
        double least = 0, most = 0;
        for (const Result& r : results) {
            if (r.source->sweep != name || r.failed || r.source->megapixels <= 0) continue;
            const double perMegapixel = r.ours * 1000 / r.source->megapixels;
            std::printf("  %.0f MP %.2f", r.source->megapixels, perMegapixel);
            least = least == 0 ? perMegapixel : std::min(least, perMegapixel);
            most = std::max(most, perMegapixel);
        }
        std::printf("; most / least %.2f\n", least > 0 ? most / least : 0.0);
    }
}

std::string JsonText(const std::string& s) {
    std::string out = "\"";
    for (char ch : s) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch;
    }
    return out + "\"";
}

std::string Machine() {
    std::string cpu = "unknown CPU";
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            cpu = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname name{};
    uname(&name);
    return cpu + ", " + std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores, " + name.sysname +
           " " + name.release;
}

void WriteJson(const std::string& path, const std::vector<Result>& results, int runs,
               std::int64_t worstPeak) {
    std::ofstream out(path);
    char date[32];
    std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    out << "{\n  \"machine\": " << JsonText(Machine()) << ",\n  \"date\": " << JsonText(date)
        << ",\n  \"runs\": " << runs << ",\n  \"peak_above_dibs_worst_bytes\": " << worstPeak
        << ",\n  \"peak_above_dibs_goal_bytes\": " << (1 << 20) << ",\n  \"cases\": [";
    const char* separator = "\n";
    for (const Result& r : results) {
        const BenchCase& c = *r.source;
        out << separator << "    {\"name\": " << JsonText(c.name)
            << ", \"peer\": " << JsonText(c.peer)
            << ", \"failed\": " << (r.failed ? "true" : "false")
            << ", \"qorimg_seconds\": " << r.ours << ", \"peer_seconds\": " << r.theirs
            << ", \"qorimg_cpu_seconds\": " << r.oursCpu
            << ", \"peer_cpu_seconds\": " << r.theirsCpu
            << ", \"ratio\": " << (c.theirs && r.ours > 0 ? r.theirs / r.ours : 0)
            << ", \"goal\": " << c.goal << ", \"goal_kind\": \""
            << (c.theirs           ? "ratio"
                : !c.sweep.empty() ? "sweep"
                                   : "seconds")
            << "\", \"sweep\": " << JsonText(c.sweep) << ", \"megapixels\": " << c.megapixels
            << ", \"read\": " << (c.read ? "true" : "false")
            << ", \"peak_above_dibs_bytes\": " << r.peakAbove << "}";
        separator = ",\n";
    }
    out << "\n  ]\n}\n";
    if (!out) std::fprintf(stderr, "cannot write %s\n", path.c_str());
}

}  // namespace
}  // namespace qor::bench

int main(int argc, char** argv) {
    using namespace qor::bench;
    int runs = 7;
    std::string json = "bench-results.json";
    std::string only;
    bool sweep = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--json" && i + 1 < argc) {
            json = argv[++i];
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (arg == "--sweep") {
            sweep = true;
        } else {
            std::fprintf(stderr, "usage: %s [--runs N] [--json FILE] [--only TEXT] [--sweep]\n",
                         argv[0]);
            return 2;
        }
    }
    // Against the peers, which decode on one thread, qorimg's classic reads also take one unless
    // QORIMG_THREADS says otherwise; the thread rows measure the scaling.
    setenv("QORIMG_THREADS", "1", 0);
    std::vector<BenchCase> cases;
    AddGifCases(&cases);
    AddTiffCases(&cases);
    AddFaxCases(&cases);
    AddRealFaxCases(&cases);
    if (sweep) {
        AddTiffSweepCases(&cases);
        AddFaxSweepCases(&cases);
    }

    std::printf(
        "%s; median of %d alternating runs, times in seconds; qorimg on %s thread(s) "
        "against the peers\n",
        Machine().c_str(), runs, std::getenv("QORIMG_THREADS"));
    std::printf("%-66s %8s %8s %7s %6s %11s %7s\n", "case", "qorimg", "peer", "peer/q", "goal",
                "peak>DIBs", "cpu");
    std::vector<Result> results;
    std::int64_t worstPeak = 0;
    bool failed = false;
    for (const BenchCase& c : cases) {
        if (!only.empty() && c.name.find(only) == std::string::npos) continue;
        if (c.prepare) c.prepare();
        results.push_back(MeasureApart(c, runs));
        PrintLine(results.back());
        failed = failed || results.back().failed;
        if (c.read) worstPeak = std::max(worstPeak, results.back().peakAbove);
    }
    std::printf("%-66s %46s\n", "peak memory of a read above its DIBs (worst case), goal <= 1 MiB",
                Mebibytes(worstPeak).c_str());
    PrintSweep(results);
    WriteJson(json, results, runs, worstPeak);
    std::printf("results written to %s\n", json.c_str());
    return failed ? 1 : 0;
}
