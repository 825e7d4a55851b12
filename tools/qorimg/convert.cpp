// qorimg convert: GIF and TIFF to PNG or BMP, BMP and PNG to GIF; one file, several into a
// folder, or through standard input and output.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "diagnose.h"
#include "frame/read_info.h"
#include "image_io.h"
#include "platform/atomic_file.h"
#include "platform/dib.h"
#include "progress.h"
#include "spool.h"
#include "tool.h"

namespace qorimg_tool {
namespace {

constexpr const char* kStandardOutput = "standard output";

std::string BaseName(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// OUT for page 1, OUT with "-N" before the extension for page N.
std::string PagePath(const std::string& out, std::uint32_t page) {
    if (page <= 1) return out;
    std::size_t dot = ExtensionAt(out);
    if (dot == std::string::npos) return out + "-" + std::to_string(page);
    return out.substr(0, dot) + "-" + std::to_string(page) + out.substr(dot);
}

bool IsDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsFormat(const std::string& s) {
    return s == "png" || s == "bmp" || s == "gif";
}

// Why `target` cannot be created, in the system's words: the folder or the file is not writable,
// the target is a folder, or else what the failed call left in `fallback`.
std::string CreateFailureReason(const std::string& target, int fallback) {
    if (IsDirectory(target)) return std::strerror(EISDIR);
    std::size_t slash = target.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    if (::access(folder.c_str(), W_OK) != 0) return std::strerror(errno);
    if (::access(target.c_str(), F_OK) == 0 && ::access(target.c_str(), W_OK) != 0) {
        return std::strerror(errno);
    }
    return std::strerror(fallback != 0 ? fallback : EIO);
}

// Why the GIF writer refused `target` with `status`; `writeErrno` is errno after its failed write.
std::string GifWriteFailure(const std::string& target, int status, int writeErrno) {
    std::string text = StatusText(status);
    if (status == QOR_CREATE_FAILED) return text + ": " + CreateFailureReason(target, writeErrno);
    if (status == QOR_WRITE_FAILED &&
        (writeErrno == EFBIG || writeErrno == ENOSPC || writeErrno == EDQUOT)) {
        return text + ": " + std::strerror(writeErrno);
    }
    return text;
}

namespace plat = qor::plat;

// Why the commit of a file failed, in words.
std::string CommitFailure(plat::AtomicResult result, int error) {
    return (result == plat::AtomicResult::RenameFailed ? "cannot replace the old file: "
                                                       : "cannot be written: ") +
           std::string(std::strerror(error != 0 ? error : EIO));
}

// The files that a conversion writes, made durable a batch at a time (the library's atomic-file
// batch): each file's data and each folder are synced once per batch, not twice a file. A file
// counts as written when its batch is committed; until then no old file is touched, and an
// interrupted run removes the files of the batch in progress.
class Outputs {
  public:
    // Takes a finished file, which `shown` names in messages, and adds `shown` to *written once
    // it is committed. Commits the batch when it is full. Empty, or why the file failed.
    std::string Add(plat::AtomicFile* file, const std::string& shown,
                    std::vector<std::string>* written) {
        errno = 0;
        plat::AtomicResult added = plat::AddToAtomicBatch(file, &batch_);
        if (added != plat::AtomicResult::Ok) return CommitFailure(added, errno);
        if (batch_.files.size() > pending_.size()) {
            pending_.push_back({shown, written});
        } else {
            written->push_back(shown);  // a device or a pipe, written in place
        }
        if (batch_.Full()) Commit();
        return {};
    }
    // Commits the batch; each file that fails is reported. False when one did.
    bool Commit() {
        std::vector<plat::AtomicOutcome> outcomes = plat::CommitAtomicBatch(&batch_);
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            if (i < outcomes.size() && outcomes[i].result == plat::AtomicResult::Ok) {
                pending_[i].written->push_back(pending_[i].shown);
            } else {
                Failed(pending_[i].shown, i < outcomes.size()
                                              ? CommitFailure(outcomes[i].result, outcomes[i].error)
                                              : std::strerror(ENOMEM));
                failed_ = true;
            }
        }
        pending_.clear();
        return !failed_;
    }
    bool failed() const { return failed_; }

  private:
    struct Pending {
        std::string shown;
        std::vector<std::string>* written;
    };
    plat::AtomicBatch batch_;  // its destructor removes what was not committed
    std::vector<Pending> pending_;
    bool failed_ = false;
};

// Writes `target` through `write`, which fills an open stream, with the library's atomic-file
// writer: the old file stays as it was, and no temporary file is left, unless all went well.
// With `outputs` the file joins its batch (and is named `shown` in messages), else it is
// committed at once.
std::string WriteOutputFile(const std::string& target,
                            const std::function<std::string(std::FILE*)>& write,
                            Outputs* outputs = nullptr, const std::string& shown = {},
                            std::vector<std::string>* written = nullptr) {
    plat::AtomicFile file;
    errno = 0;
    if (plat::BeginAtomicFile(target.c_str(), &file) != plat::AtomicResult::Ok) {
        return "cannot be created: " + CreateFailureReason(target, errno);
    }
    std::FILE* stream = plat::AtomicFileStream(&file);
    std::string why = stream != nullptr ? write(stream) : std::strerror(ENOMEM);
    if (!why.empty()) {
        plat::AbortAtomicFile(&file);
        return why;
    }
    if (outputs != nullptr) return outputs->Add(&file, shown, written);
    errno = 0;
    plat::AtomicResult result = plat::CommitAtomicFile(&file);
    return result == plat::AtomicResult::Ok ? std::string() : CommitFailure(result, errno);
}

// One output: a named file, or standard output through a spool file.
struct Destination {
    std::string path;   // what the user named ("-" for standard output)
    std::string shown;  // how messages name it
    bool toStdout() const { return path == "-"; }
};

// Writes one decoded page as PNG or BMP; a named file joins the batch of `outputs`, and is added
// to *written once committed.
int WritePage(const Destination& out, const std::string& format, QorHandle dib, int transparent,
              Outputs* outputs, std::vector<std::string>* written) {
    auto write = [&](std::FILE* f) {
        return format == "bmp" ? WriteBmp(f, dib) : WritePng(f, dib, transparent);
    };
    BeginPhase("writing " + BaseName(out.shown));
    std::string why;
    if (out.toStdout()) {
        SpoolFile spool;
        why = spool.Create("." + format);
        if (why.empty()) why = WriteOutputFile(spool.path(), write);
        EndPhase();
        if (why.empty()) why = CopyToStandardOutput(spool.path());
    } else {
        why = WriteOutputFile(out.path, write, outputs, out.path, written);
    }
    EndPhase();
    if (Cancelled()) return CancelExitCode();
    return why.empty() ? kExitOk : Failed(out.shown, why);
}

// A page that a conversion does not write, and why.
struct Skipped {
    std::uint32_t page = 0;
    std::string why;
    int status = 0;
};

// One input, and the outputs it is to write, as planned before anything is written.
struct Job {
    std::string in;    // as the user named it ("-" for standard input)
    std::string path;  // where it is read: standard input goes through a spool file
    std::unique_ptr<SpoolFile> spool;
    Probe probe;
    std::string format;       // of the output
    Destination out;          // the output; see OutPath
    qor::GifDescription gif;  // a GIF's blocks, described once
    TiffFacts tiff;           // a TIFF's pages, described once
    // The pages it is to write (a GIF, a BMP or a PNG has one, page 1), and those of the pages
    // asked for that it skips from their description.
    std::vector<std::uint32_t> pages;
    std::vector<Skipped> skipped;
    bool onePage = false;  // the user asked for one page: it goes to OUT itself
    std::uint64_t limit = 0;
    bool allFrames = false;  // a GIF's pages are its frames, composed
    // Where page `page` goes: OUT for page 1 or a page asked for alone, else OUT with -N.
    std::string OutPath(const std::string& base, std::uint32_t page) const {
        return onePage ? base : PagePath(base, page);
    }
};

// The files written for one input, when they are not just the OUT that the user named: one name,
// two, or the count with the first and the last.
void ListWritten(const Job& job, const std::vector<std::string>& written) {
    if (written.empty() || (written.size() == 1 && written[0] == job.out.path)) return;
    std::string list = written.front();
    if (written.size() == 2) list += " and " + written.back();
    if (written.size() > 2) {
        list = Counted(written.size(), "file", "files") + ", " + written.front() + " to " +
               written.back();
    }
    std::printf("%s\n", Printable(Shown(job.in) + ": wrote " + list).c_str());
    std::fflush(stdout);
}

// Writes a DIB of 1, 4 or 8 bits as GIF through the library's writer, by way of a spool file for
// standard output. `transparent` is the index to mark, or -1.
int WriteGif(const Options& opt, const Destination& out, QorHandle dib, int transparent) {
    SpoolFile spool;
    std::string target = out.path;
    if (out.toStdout()) {
        if (std::string failed = spool.Create(".gif"); !failed.empty()) {
            return Failed(out.shown, failed);
        }
        target = spool.path();
    }
    BeginPhase("writing " + BaseName(out.shown));
    errno = 0;
    int status = QorWriteGIF(LibraryProgress, 0, target.c_str(), dib, transparent >= 0 ? 1 : 0,
                             opt.interlace ? 1 : 0,
                             static_cast<std::uint32_t>(transparent >= 0 ? transparent : 0));
    int writeErrno = errno;
    EndPhase();
    if (Cancelled()) return CancelExitCode();
    if (status != 0) return Refused(out.shown, GifWriteFailure(target, status, writeErrno), status);
    if (out.toStdout()) {
        std::string why = CopyToStandardOutput(target);
        if (Cancelled()) return CancelExitCode();
        if (!why.empty()) return Failed(out.shown, why);
    }
    return kExitOk;
}

// The bits per pixel of the block that a read sets up for a page: a read's memory limit is
// checked against it. Three or four samples make a 24-bit DIB, but are decoded at their own size.
std::uint32_t DecodedBits(const qor::TiffPageDescription& p) {
    return std::uint32_t{p.samplesPerPixel} * p.bitsPerSample;
}

// One read of pages [first, first + count) of a TIFF (1 = first), or of a GIF.
struct Run {
    int status = 0;
    qor::ReadInfo info;
    std::vector<QorHandle> layers;
    QorHandle first = 0;
};

// The bit count of a delivered DIB, 0 when it cannot be seen.
unsigned DibBitCount(QorHandle dib) {
    const auto* p = static_cast<const std::uint8_t*>(QorGlobalLock(dib));
    if (p == nullptr) return 0;
    const unsigned bits = p[14] | p[15] << 8u;
    QorGlobalUnlock(dib);
    return bits;
}

Run ReadRun(const Job& job, std::uint32_t first, std::uint32_t count) {
    Run run;
    QorReadOptions options{};
    options.size = sizeof options;
    options.threads = qor::ThreadsOfEnvironment();
    options.firstPage = first - 1;
    options.pageCount = count;
    options.memoryLimit = job.limit;
    // A GIF's extended read composes every frame: asked for by --all-frames, and for the first
    // frame alone by a GIF output, which so keeps the least depth that holds the colour table
    // (a classic read follows the header's colour resolution, 8 bits for most two-colour files).
    const bool gif = job.probe.kind == Kind::Gif;
    const bool gifToGif = gif && !job.allFrames && job.format == "gif" && ReadFlags() != 0;
    options.flags = gif && !job.allFrames && !gifToGif ? 0 : ReadFlags();
    if (gifToGif) options.pageCount = 1;
    BeginPhase("reading " + BaseName(Shown(job.in)));
    auto format = job.probe.kind == Kind::Gif ? qor::ReadFormat::Gif : qor::ReadFormat::Tiff;
    run.status = qor::ReadWithInfo(format, LibraryProgress, 0, job.path.c_str(), &run.info,
                                   &run.first, &options);
    // A first frame with a colour table of its own composes to 24 bits, which a GIF cannot hold:
    // it is read as the classic read delivers it.
    if (gifToGif && run.status == 0 && DibBitCount(run.first) > 8) {
        QorReleaseDocument(run.first);
        run = Run{};
        options.flags = 0;
        options.pageCount = 0;
        run.status = qor::ReadWithInfo(format, LibraryProgress, 0, job.path.c_str(), &run.info,
                                       &run.first, &options);
    }
    EndPhase();
    if (run.status != 0) return run;
    run.layers.resize(QorDocumentLayers(run.first, nullptr, 0));
    QorDocumentLayers(run.first, run.layers.data(), static_cast<std::uint32_t>(run.layers.size()));
    if (run.layers.empty()) run.layers.push_back(run.first);  // a document the registry lost
    return run;
}

// Why a read of the TIFF page `page` alone failed with `status`, in words; of a GIF (page 0),
// when its read passed the limit.
std::string PageFailure(const Job& job, std::uint32_t page, int status) {
    if (status == QOR_NO_MEMORY && job.limit != 0) {
        return std::string(StatusText(status)) + " (--limit allows " + std::to_string(job.limit) +
               " bytes)";
    }
    qor::TiffPageDescription p = job.tiff.Page(page);
    p.status = static_cast<std::int16_t>(status);
    return ExplainTiffPage(p);
}

// Decodes a GIF or the planned pages of a TIFF and writes each. A TIFF's pages are read a run at a
// time, each run within a bounded amount of memory; a read that fails at one page is done again
// without it, so that a page that cannot be decoded is skipped with a warning, wherever it
// stands. Nothing written at all is a refusal. Named files join the batch of `outputs`; the files
// written are added to *written (those of the batch once it is committed).
int Decode(const Options& opt, const Job& job, Outputs* outputs,
           std::vector<std::string>* written) {
    const std::string& in = job.in;
    const bool tiff = job.probe.kind == Kind::Tiff;
    // A conversion of one page reports its failure as the refusal of the input, not a warning.
    const bool quietSkips = job.pages.size() == 1 && job.skipped.empty();
    if (job.gif.frames > 1 && !job.allFrames) {
        Warn(in, std::to_string(job.gif.frames) + " frames; only the first is converted");
    }
    for (const Skipped& s : job.skipped) {
        Warn(in, "page " + std::to_string(s.page) + " skipped: " + s.why + " (status " +
                     std::to_string(s.status) + ")");
    }
    for (std::uint32_t page : job.pages) {
        if (tiff && job.tiff.Page(page).colorMapIgnored) {
            Warn(in, "page " + std::to_string(page) +
                         ": the ColorMap does not hold 3 x 2^bits values; it is ignored and the "
                         "page read as grey");
        }
    }
    // Runs take at most 64 MiB of images, or the limit when it is less, and 4096 pages.
    const std::uint64_t runBytes = std::min<std::uint64_t>(
        job.limit != 0 ? job.limit : QOR_DEFAULT_MEMORY_LIMIT, std::uint64_t{64} << 20);
    constexpr std::size_t kRunPages = 4096;
    auto bytesOf = [&](std::uint32_t page) -> std::uint64_t {
        if (!tiff) return 0;
        const auto& p = job.tiff.Page(page);
        return qor::DibSize(p.width, p.height, DecodedBits(p));
    };
    // One progress bar for the job's pages, cleared on every way out.
    struct JobBar {
        JobBar(const std::string& label, std::size_t pages) { BeginJob(label, pages); }
        ~JobBar() { EndJob(); }
    } bar(BaseName(Shown(in)), job.pages.size());
    int rc = kExitOk;
    std::size_t handed = 0;  // pages written, or handed to the batch
    Skipped last;
    std::size_t failures = 0, unwritten = 0;
    std::size_t most = kRunPages;  // pages of the next run
    for (std::size_t at = 0; at < job.pages.size() && rc == kExitOk;) {
        // A GIF's frames come from one read.
        std::size_t end = tiff ? at + 1 : job.pages.size();
        std::uint64_t bytes = bytesOf(job.pages[at]);
        while (end < job.pages.size() && end - at < most &&
               job.pages[end] == job.pages[end - 1] + 1 &&
               bytes + bytesOf(job.pages[end]) <= runBytes) {
            bytes += bytesOf(job.pages[end++]);
        }
        most = kRunPages;
        const auto count = static_cast<std::uint32_t>(end - at);
        JobPage(at + 1);
        Run run = ReadRun(job, job.pages[at], tiff ? count : 0);
        if (Cancelled()) return CancelExitCode();
        if (run.status != 0) {
            // A TIFF run is read again in smaller runs. A GIF's frames come from one read that
            // a smaller run cannot change: its failure ends the input.
            const std::uint32_t stop = run.info.stoppedAtPage;
            if (tiff && count > 1 && stop > job.pages[at] && stop < job.pages[at] + count &&
                run.status != QOR_NO_MEMORY) {
                most = stop - job.pages[at];  // the pages before it, once more
                continue;
            }
            if (tiff && count > 1) {
                most = 1;  // no page to blame, or memory: a page at a time
                continue;
            }
            last = {job.pages[at], tiff ? PageFailure(job, job.pages[at], run.status) : "",
                    run.status};
            if (!tiff) {
                last.why = run.status == QOR_NO_MEMORY && job.limit != 0
                               ? PageFailure(job, 0, run.status)
                               : ExplainReadFailure(job.path, job.probe, run.status);
            } else if (!quietSkips) {
                Warn(in, "page " + std::to_string(last.page) + " skipped: " + last.why +
                             " (status " + std::to_string(last.status) + ")");
            }
            ++failures;
            JobPageWritten();
            at = tiff ? at + 1 : job.pages.size();
            continue;
        }
        // Only a GIF names a transparent colour. A TIFF read leaves the field as the record
        // starts it, 0, which would make black (or a palette's first colour) transparent.
        // Composed frames have none either: their transparent pixels show the frames before.
        int transparent = tiff || job.allFrames ? -1 : run.info.transparentIndex;
        if (job.format == "gif" && opt.transparent >= 0) transparent = opt.transparent;
        for (const auto& e : run.info.endedEarly) {
            if (!job.allFrames) {
                Warn(in, DataEndedText(job.probe.kind, e, run.info.height));
            } else {
                Warn(in, "frame " + std::to_string(e.page) + ": " +
                             DataEndedText(job.probe.kind, e, job.gif.screenHeight));
            }
        }
        for (const auto& d : run.info.damaged) Warn(in, DamagedRowsText(d));
        if (!tiff && run.info.stoppedAtPage != 0) {
            Warn(in, "frame " + std::to_string(run.info.stoppedAtPage) +
                         " and those after it cannot be decoded; " +
                         Counted(run.layers.size(), "frame is", "frames are") + " converted");
        }
        for (std::size_t i = 0; i < run.layers.size() && rc == kExitOk; ++i) {
            const std::uint32_t page = job.pages[at] + static_cast<std::uint32_t>(i);
            if (job.out.toStdout() && handed != 0) {
                ++unwritten;
                continue;
            }
            Destination pageOut{job.OutPath(job.out.path, page), job.OutPath(job.out.shown, page)};
            JobPage(at + i + 1);
            rc = job.format == "gif"
                     ? WriteGif(opt, pageOut, run.layers[i], transparent)
                     : WritePage(pageOut, job.format, run.layers[i], transparent, outputs, written);
            if (rc != kExitOk) break;
            JobPageWritten();
            ++handed;
            // The GIF writer and standard output are done at once; the batch adds its own.
            if (job.format == "gif" || job.out.toStdout()) {
                written->push_back(job.out.toStdout() ? pageOut.shown : pageOut.path);
            }
        }
        if (QorReleaseDocument(run.first) != 0) QorGlobalFree(run.first);
        at = end;
        if (job.out.toStdout() && handed != 0) {
            unwritten += job.pages.size() - at;
            break;
        }
    }
    if (unwritten != 0) {
        Warn(in, std::to_string(unwritten) +
                     " more page(s) not written: standard output takes one image");
    }
    if (rc != kExitOk) return rc;
    if (handed == 0 && failures != 0) {
        // One page asked for and failed: its cause; else each was named in a warning.
        if (quietSkips || !tiff) return Refused(in, last.why, last.status);
        return Refused(in, "no page could be decoded", last.status);
    }
    return kExitOk;
}

int Encode(const Options& opt, const Job& job) {
    const std::string& in = job.in;
    PaletteImage image;
    Refusal refusal = ReadPaletteImage(job.path, &image);
    if (Cancelled()) {
        if (image.dib != 0) QorGlobalFree(image.dib);
        return CancelExitCode();
    }
    if (refusal.status != 0) return Refused(in, refusal.why, refusal.status);
    for (const auto& warning : image.warnings) Warn(in, warning);
    if (opt.transparent >= 0 && static_cast<std::uint32_t>(opt.transparent) >= image.colours) {
        QorGlobalFree(image.dib);
        return Usage("--transparent " + std::to_string(opt.transparent) + " is beyond the " +
                     std::to_string(image.colours) + " colours of " + Shown(in) + " (0 to " +
                     std::to_string(image.colours - 1) + ")");
    }
    int transparent = opt.transparent >= 0 ? opt.transparent : image.transparent;
    int rc = WriteGif(opt, job.out, image.dib, transparent);
    QorGlobalFree(image.dib);
    return rc;
}

// Plans the pages of a GIF or TIFF: the pages asked for (all by default; a GIF has one), those of
// them that its description lets it write, and those it skips, with why. kExitOk, or the exit
// code of a usage error or a refusal, whose message is printed here.
int PlanPages(const Options& opt, Job* job) {
    const bool tiff = job->probe.kind == Kind::Tiff;
    if (tiff) {
        // Only the pages asked for are kept.
        job->tiff = opt.firstPage != 0 ? DescribeTiffFile(job->path, opt.firstPage, opt.lastPage)
                                       : DescribeTiffFile(job->path);
        const TiffFacts& t = job->tiff;
        if (t.file.fault != qor::TiffFault::kNone || t.file.pageCount == 0) {
            return Refused(job->in, ExplainTiff(t, t.file.status), t.file.status);
        }
    }
    // With --all-frames a GIF's pages are its frames, as many as a read can deliver.
    // (A file whose blocks a read refuses has one, which the read refuses.)
    const std::uint32_t frames = std::clamp<std::uint32_t>(job->gif.frames, 1, 65535);
    const std::uint32_t total = tiff ? job->tiff.file.pageCount : job->allFrames ? frames : 1;
    std::uint32_t first = 1, last = total;
    if (opt.firstPage != 0) {
        if (opt.lastPage > total) {
            return Usage((opt.firstPage == opt.lastPage
                              ? "--page " + std::to_string(opt.lastPage)
                              : "--pages " + std::to_string(opt.firstPage) + "-" +
                                    std::to_string(opt.lastPage)) +
                         ": " + Shown(job->in) + " has " + Counted(total, "page", "pages"));
        }
        first = opt.firstPage;
        last = opt.lastPage;
        job->onePage = first == last;
    }
    for (std::uint32_t page = first; page <= last; ++page) {
        if (!tiff) {
            job->pages.push_back(page);
            continue;
        }
        const qor::TiffPageDescription& p = job->tiff.Page(page);
        if (p.status != 0) {
            job->skipped.push_back({page, ExplainTiffPage(p), p.status});
        } else if (job->format == "gif" && DecodedBits(p) > 8) {
            job->skipped.push_back({page,
                                    "GIF output takes pages of 1, 4 or 8 bits; this one has " +
                                        Counted(p.samplesPerPixel, "sample", "samples") + " of " +
                                        std::to_string(p.bitsPerSample) +
                                        " bits, and qorimg does not quantise",
                                    QOR_BAD_REQUEST});
        } else {
            job->pages.push_back(page);
        }
    }
    if (!job->pages.empty()) return kExitOk;
    const Skipped& s = job->skipped.front();
    if (job->skipped.size() == 1) return Refused(job->in, s.why, s.status);
    return Refused(job->in,
                   "no page of the " + std::to_string(job->skipped.size()) +
                       " asked for can be decoded; page " + std::to_string(s.page) + ": " + s.why,
                   s.status);
}

// Looks at one input and plans its outputs: kExitOk, or the exit code of its refusal (whose
// message is printed here), of bad usage or of an interruption. `out` is the output path, or a
// folder (ending in '/') when `intoFolder`; `format` is the output format when it is known.
int Plan(const Options& opt, const std::string& in, const Destination& out,
         const std::string& format, bool intoFolder, Job* job) {
    job->in = in;
    job->path = in;
    job->out = out;
    job->format = format;
    job->limit = opt.limit;
    job->allFrames = opt.allFrames;
    if (in == "-") {
        job->spool = std::make_unique<SpoolFile>();
        if (std::string why = SpoolStandardInput(job->spool.get()); !why.empty()) {
            return Cancelled() ? CancelExitCode() : Failed(in, why);
        }
        job->path = job->spool->path();
    }
    const Probe& probe = job->probe = ProbeFile(job->path);
    if (probe.openError != 0) {
        return Refused(in, ExplainReadFailure(job->path, probe, QOR_OPEN_FAILED), QOR_OPEN_FAILED);
    }
    bool decodes = probe.kind == Kind::Gif || probe.kind == Kind::Tiff;
    bool encodes = probe.kind == Kind::Bmp || probe.kind == Kind::Png;
    if (job->format.empty()) job->format = decodes ? "png" : "gif";
    if (job->format != "gif" && (opt.interlace || opt.transparent >= 0)) {
        return Usage("--interlace and --transparent apply to GIF output only");
    }
    if (opt.allFrames && job->format == "gif") {
        return Usage(
            "--all-frames writes PNG or BMP: a composed frame can have more colours "
            "than a GIF holds");
    }
    // What the GIF reader says of a file with no GIF signature.
    if (!decodes && !encodes) return Refused(in, UnknownKindProblem(probe), QOR_NOT_GIF);
    // The refusals below are the GIF writer's for a bitmap that it cannot take, or a request
    // that the readers cannot serve.
    if (job->format != "gif" && encodes) {
        return Refused(in, std::string(KindName(probe.kind)) + " input converts to GIF only",
                       QOR_BAD_REQUEST);
    }
    if (encodes) {
        ImageDescription description;
        Refusal refusal = probe.kind == Kind::Png ? DescribePng(job->path, &description)
                                                  : DescribeBmp(job->path, &description);
        if (refusal.status == 0) refusal = GifInputRefusal(description);
        if (refusal.status != 0) return Refused(in, refusal.why, refusal.status);
        if (opt.lastPage > 1) {
            return Usage("--page" + std::string(opt.firstPage != opt.lastPage ? "s" : "") + ": " +
                         Shown(in) + " has 1 page");
        }
    }
    if (intoFolder) {
        std::string name = in == "-" ? "stdin" : BaseName(in);
        std::size_t dot = ExtensionAt(name);
        job->out.path +=
            (dot == std::string::npos ? name : name.substr(0, dot)) + "." + job->format;
        job->out.shown = job->out.path;
    }
    if (probe.kind == Kind::Gif) job->gif = DescribeGifFile(job->path);
    if (encodes) {
        job->pages = {1};
        return kExitOk;
    }
    return PlanPages(opt, job);
}

// Whether `a` and `b` name one file: the same device and inode, so also through a hard or a
// symbolic link. A file that does not exist is no other.
bool SameFile(const std::string& a, const std::string& b) {
    struct stat first {
    }, second{};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Every output is claimed by one input only, and is none of the inputs: writing over an input
// would lose the pages not yet read from it. A clash is reported, naming both inputs, before
// anything is written; returns false when there is one.
bool ClaimOutputs(const std::vector<Job>& jobs) {
    struct Claim {
        const Job* job;
        std::uint32_t page;
    };
    auto named = [](const Claim& c) {
        std::string name = Shown(c.job->in);
        return c.job->probe.kind == Kind::Tiff ? name + " (page " + std::to_string(c.page) + ")"
                                               : name;
    };
    std::map<std::string, Claim> claims;
    bool clear = true;
    for (const Job& job : jobs) {
        for (std::uint32_t page : job.pages) {
            Claim claim{&job, page};
            const std::string target = job.OutPath(job.out.path, page);
            if (!job.out.toStdout()) {
                for (const Job& other : jobs) {
                    if (other.in == "-" || !SameFile(other.path, target)) continue;
                    Failed(target, "is the input " + Shown(other.in) +
                                       ", which would be overwritten; nothing is written");
                    clear = false;
                }
            }
            auto [at, fresh] = claims.emplace(target, claim);
            if (fresh) continue;
            Failed(at->first, "both " + named(at->second) + " and " + named(claim) +
                                  " would be written here; nothing is written");
            clear = false;
        }
    }
    return clear;
}

}  // namespace

int Convert(const Options& opt) {
    std::vector<std::string> inputs(opt.args.begin() + 1, opt.args.end() - 1);
    std::string last = opt.args.back();
    bool intoFolder = last != "-" && (IsDirectory(last) || last.back() == '/');
    if (inputs.size() > 1 && !intoFolder) {
        return Usage("several inputs need a folder as the last argument");
    }
    int stdinCount = 0;
    for (const auto& in : inputs) stdinCount += in == "-" ? 1 : 0;
    if (stdinCount > 1) return Usage("standard input can be read once only");
    std::string format = opt.to;
    if (last == "-") {
        if (format.empty()) return Usage("standard output needs --to png, bmp or gif");
        if (::isatty(STDOUT_FILENO) != 0) return Usage("will not write an image to a terminal");
    } else if (intoFolder) {
        if (!IsDirectory(last)) return Failed(last, std::strerror(ENOENT));
        if (last.back() != '/') last += '/';
    } else if (format.empty()) {
        format = Extension(last);
        if (!IsFormat(format)) return Usage("OUT must end in .png, .bmp or .gif, or give --to");
    }
    // Every input is looked at before anything is written: a refused input claims no output,
    // and two inputs that would write the same file stop the run.
    std::vector<Job> jobs;
    int rc = kExitOk;
    for (const auto& in : inputs) {
        Job job;
        Destination out{last, last == "-" ? kStandardOutput : last};
        int planned = Plan(opt, in, out, format, intoFolder, &job);
        if (Cancelled()) return CancelExitCode();
        if (planned == kExitUsage) return planned;
        if (planned != kExitOk) {
            rc = planned;
            continue;
        }
        jobs.push_back(std::move(job));
    }
    if (!ClaimOutputs(jobs)) return kExitRefused;
    // An interruption returns with the batch in progress uncommitted: its destructor removes it.
    Outputs outputs;
    std::vector<std::vector<std::string>> written(jobs.size());
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const Job& job = jobs[i];
        const bool encodes = job.probe.kind == Kind::Bmp || job.probe.kind == Kind::Png;
        int one = encodes ? Encode(opt, job) : Decode(opt, job, &outputs, &written[i]);
        if (Cancelled()) return CancelExitCode();
        if (one == kExitUsage) {
            outputs.Commit();  // the files of the inputs before stay written, as they are
            return one;
        }
        if (one != kExitOk) rc = one;
    }
    if (!outputs.Commit()) rc = kExitRefused;
    for (std::size_t i = 0; i < jobs.size() && !opt.quiet; ++i) {
        if (!jobs[i].out.toStdout()) ListWritten(jobs[i], written[i]);
    }
    return rc;
}

}  // namespace qorimg_tool
