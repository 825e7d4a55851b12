// Replays fuzz inputs without libFuzzer: every harness's entry function runs over every file of
// its corpus, fuzz/corpus/<harness>/, and over every file of fuzz/regressions/. A harness aborts
// on a finding, so any regression fails the run; the file being replayed is named on stderr.
//   qorimg_fuzz_replay FUZZ_DIR [HARNESS]
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define QORIMG_HARNESS(name) extern "C" int name##_entry(const std::uint8_t*, std::size_t);
#include "fuzz_harnesses.inc"
#undef QORIMG_HARNESS

namespace {

namespace fs = std::filesystem;

struct Harness {
    const char* name;
    int (*entry)(const std::uint8_t*, std::size_t);
};

const Harness kHarnesses[] = {
#define QORIMG_HARNESS(name) {#name, name##_entry},
#include "fuzz_harnesses.inc"
#undef QORIMG_HARNESS
};

char gCurrent[4096];

// Names the input that a harness aborted on; only async-signal-safe calls.
void OnAbort(int signal) {
    const char prefix[] = "\nfuzz_replay: stopped on ";
    [[maybe_unused]] auto a = write(2, prefix, sizeof prefix - 1);
    [[maybe_unused]] auto b = write(2, gCurrent, std::strlen(gCurrent));
    [[maybe_unused]] auto c = write(2, "\n", 1);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

std::vector<fs::path> FilesIn(const fs::path& dir) {
    std::vector<fs::path> files;
    if (!fs::is_directory(dir)) return files;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && name.rfind("README", 0) != 0 && name[0] != '.') {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FUZZ_DIR [HARNESS]\n", argv[0]);
        return 2;
    }
    std::signal(SIGABRT, OnAbort);
    std::signal(SIGSEGV, OnAbort);
    const fs::path root = argv[1];
    const std::vector<fs::path> regressions = FilesIn(root / "regressions");
    bool missing = false;
    for (const Harness& h : kHarnesses) {
        if (argc > 2 && std::strcmp(argv[2], h.name) != 0) continue;
        std::vector<fs::path> files = FilesIn(root / "corpus" / h.name);
        if (files.empty()) {
            std::fprintf(stderr, "no corpus in %s\n", (root / "corpus" / h.name).c_str());
            missing = true;
        }
        files.insert(files.end(), regressions.begin(), regressions.end());
        for (const fs::path& file : files) {
            std::snprintf(gCurrent, sizeof gCurrent, "%s %s", h.name, file.c_str());
            std::ifstream in(file, std::ios::binary);
            const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                                  std::istreambuf_iterator<char>());
            h.entry(bytes.data(), bytes.size());
        }
        std::printf("%-20s %zu inputs replayed\n", h.name, files.size());
    }
    return missing ? 1 : 0;
}
