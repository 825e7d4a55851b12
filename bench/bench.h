// The benchmark program's cases: each one times qorimg and, where there is one, a peer library
// on the same input. bench_main.cpp runs them alternately and prints the table.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qor::bench {

// One timed run. Returns false when it failed; a read sets *delivered to the bytes of the DIBs
// it delivered (before it releases them), so that its peak memory can be told apart from them.
using Run = std::function<bool(std::uint64_t* delivered)>;

struct BenchCase {
    std::string name;  // what is measured, as the table shows it
    std::string peer;  // the peer and its call; empty when qorimg is timed alone
    Run ours;
    Run theirs;  // empty when there is no peer
    // The goal: peer time / qorimg time with a peer, otherwise qorimg's time in seconds.
    double goal = 0;
    // Whether the case is a read, whose peak memory above its DIBs counts towards the goal.
    bool read = true;
    // Makes the case's input; run only for the cases that are measured.
    std::function<void()> prepare;
    // A point of the size sweep: the coding's name and the page's megapixels (a case without a
    // goal, read alone).
    std::string sweep;
    double megapixels = 0;
};

// The page sizes of the size sweep, in megapixels.
inline constexpr double kSweepMegapixels[] = {1, 4, 16, 36, 100};

void AddGifCases(std::vector<BenchCase>* cases);
void AddTiffCases(std::vector<BenchCase>* cases);
void AddFaxCases(std::vector<BenchCase>* cases);
void AddRealFaxCases(std::vector<BenchCase>* cases);
// The size sweep (pages of up to 100 megapixels; run with --sweep).
void AddTiffSweepCases(std::vector<BenchCase>* cases);
void AddFaxSweepCases(std::vector<BenchCase>* cases);

// A file in the temporary directory, removed when this goes away.
class TempFile {
  public:
    explicit TempFile(const char* suffix);
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }
    void Write(const std::vector<std::uint8_t>& bytes) const;

  private:
    std::string path_;
};

// The folder of the pages that nobody drew for the benchmark (bench/real_pages.py: text set in
// TrueType and bitmap fonts as PBMs, a photograph and a screenshot as GIFs), made on the first
// call and removed at exit. Throws when they cannot be made.
const std::string& RealPagesDir();
// libtiff's testfax4.tiff (a scanned form) in the shared corpora, or empty when they are absent.
std::string CorporaFile(const char* name);

// A read through QorReadGIF or QorReadTIF: sets *delivered to the size of every layer's DIB and
// releases the document.
bool ReadGifWithQorimg(const std::string& path, std::uint64_t* delivered);
bool ReadTiffWithQorimg(const std::string& path, std::uint64_t* delivered);
// The first page through QorReadTIFEx with QOR_READ_EXTENDED.
bool ReadExtendedWithQorimg(const std::string& path, std::uint64_t* delivered);
// QorReadTIFEx with options.threads as given (0: the machine's processors).
bool ReadTiffOnThreads(const std::string& path, std::uint32_t threads, std::uint64_t* delivered);
// The thread scaling of a read: the file read on 1 thread, on 2 and on the machine's count, each
// against the read on 1 thread (the goal for more than one: 1.8 times as fast).
void AddThreadCases(const std::string& name, const std::shared_ptr<TempFile>& file,
                    const std::function<void()>& prepare, std::vector<BenchCase>* cases);
// QorReadGIFEx with QOR_READ_EXTENDED: every frame composed into a layer.
bool ReadGifFramesWithQorimg(const std::string& path, std::uint64_t* delivered);
// The peer's read: every strip of the first page with TIFFReadEncodedStrip into one buffer
// malloc'ed for this read.
bool ReadTiffWithLibtiff(const std::string& path);

}  // namespace qor::bench
