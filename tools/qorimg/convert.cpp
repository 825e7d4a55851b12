// qorimg convert: GIF and TIFF to PNG or BMP, BMP and PNG to GIF; one file, several into a
// folder, or through standard input and output.
#include <sys/stat.h>
#include <unistd.h>

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
    std::string text = QorStatusText(status);
    if (status == QOR_CREATE_FAILED) return text + ": " + CreateFailureReason(target, writeErrno);
    if (status == QOR_WRITE_FAILED &&
        (writeErrno == EFBIG || writeErrno == ENOSPC || writeErrno == EDQUOT)) {
        return text + ": " + std::strerror(writeErrno);
    }
    return text;
}

// Writes `target` through `write`, which fills an open stream, with the library's atomic-file
// writer: the old file stays as it was, and no temporary file is left, unless all went well.
std::string WriteOutputFile(const std::string& target,
                            const std::function<std::string(std::FILE*)>& write) {
    namespace plat = qor::plat;
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
    errno = 0;
    plat::AtomicResult result = plat::CommitAtomicFile(&file);
    if (result == plat::AtomicResult::Ok) return {};
    int saved = errno != 0 ? errno : EIO;
    return (result == plat::AtomicResult::RenameFailed ? "cannot replace the old file: "
                                                       : "cannot be written: ") +
           std::string(std::strerror(saved));
}

// One output: a named file, or standard output through a spool file.
struct Destination {
    std::string path;   // what the user named ("-" for standard output)
    std::string shown;  // how messages name it
    bool toStdout() const { return path == "-"; }
};

// Writes one decoded page as PNG or BMP.
int WritePage(const Destination& out, const std::string& format, QorHandle dib, int transparent) {
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
        why = WriteOutputFile(out.path, write);
    }
    EndPhase();
    if (Cancelled()) return CancelExitCode();
    return why.empty() ? kExitOk : Failed(out.shown, why);
}

// One input, and the outputs it is to write, as planned before anything is written.
struct Job {
    std::string in;    // as the user named it ("-" for standard input)
    std::string path;  // where it is read: standard input goes through a spool file
    std::unique_ptr<SpoolFile> spool;
    Probe probe;
    std::string format;       // of the output
    Destination out;          // the output; a TIFF's page N > 1 goes to PagePath(out, N)
    qor::GifDescription gif;  // a GIF's blocks, described once
    TiffFacts tiff;           // a TIFF's pages, described once
    // The pages it writes: those that the read will deliver (none when it will fail), or {1}.
    std::vector<std::uint32_t> pages;
};

// The files written for one input, listed when they are not just the OUT that the user named.
void ListWritten(const Job& job, const std::vector<std::string>& written) {
    if (written.empty() || (written.size() == 1 && written[0] == job.out.path)) return;
    std::string list;
    for (const auto& name : written) list += (list.empty() ? "" : ", ") + name;
    std::printf("%s\n", Printable(Shown(job.in) + ": wrote " + list).c_str());
    std::fflush(stdout);
}

int Decode(const Job& job) {
    const std::string& in = job.in;
    BeginPhase("reading " + BaseName(Shown(in)));
    qor::ReadInfo info;
    std::uint32_t first = 0;
    auto readFormat = job.probe.kind == Kind::Gif ? qor::ReadFormat::Gif : qor::ReadFormat::Tiff;
    int status = qor::ReadWithInfo(readFormat, LibraryProgress, 0, job.path.c_str(), &info, &first);
    EndPhase();
    if (status != 0) {
        if (Cancelled()) return CancelExitCode();
        return Refused(in, ExplainReadFailure(job.path, job.probe, status, info.stoppedAtPage),
                       status);
    }
    std::vector<QorHandle> layers(QorDocumentLayers(first, nullptr, 0));
    QorDocumentLayers(first, layers.data(), static_cast<std::uint32_t>(layers.size()));
    if (layers.empty()) layers.push_back(first);  // a document the registry does not know

    if (job.gif.frames > 1) {
        Warn(in, std::to_string(job.gif.frames) + " frames; only the first is converted");
    }
    for (std::size_t i = 0; i < job.tiff.pages.size(); ++i) {
        const auto& page = job.tiff.pages[i];
        if (page.status != 0) {
            Warn(in, "page " + std::to_string(i + 1) + " skipped: " + ExplainTiffPage(page) +
                         " (status " + std::to_string(page.status) + ")");
        }
    }
    for (const auto& end : info.endedEarly) {
        Warn(in, DataEndedText(job.probe.kind, end, info.height));
    }
    // Only a GIF names a transparent colour. A TIFF read leaves the field as the record starts
    // it, 0, which would make black (or a palette's first colour) transparent.
    int transparent = job.probe.kind == Kind::Gif ? info.transparentIndex : -1;
    int rc = kExitOk;
    std::vector<std::string> written;
    // Outputs are numbered by page in the file, so that a skipped page leaves a gap.
    for (std::size_t i = 0; i < layers.size() && rc == kExitOk; ++i) {
        std::uint32_t page =
            i < job.pages.size() ? job.pages[i] : static_cast<std::uint32_t>(i + 1);
        if (job.out.toStdout() && i > 0) {
            Warn(in, std::to_string(layers.size() - 1) +
                         " more page(s) not written: standard output takes one image");
            break;
        }
        Destination pageOut{PagePath(job.out.path, page), PagePath(job.out.shown, page)};
        rc = WritePage(pageOut, job.format, layers[i], transparent);
        if (rc == kExitOk && !job.out.toStdout()) written.push_back(pageOut.path);
    }
    if (QorReleaseDocument(first) != 0) QorGlobalFree(first);
    ListWritten(job, written);
    return rc;
}

int Encode(const Options& opt, const Job& job) {
    const std::string& in = job.in;
    const Destination& out = job.out;
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
    SpoolFile spool;
    std::string target = out.path;
    if (out.toStdout()) {
        if (std::string failed = spool.Create(".gif"); !failed.empty()) {
            QorGlobalFree(image.dib);
            return Failed(out.shown, failed);
        }
        target = spool.path();
    }
    BeginPhase("writing " + BaseName(out.shown));
    errno = 0;
    int status = QorWriteGIF(LibraryProgress, 0, target.c_str(), image.dib,
                             transparent >= 0 ? 1 : 0, opt.interlace ? 1 : 0,
                             static_cast<std::uint32_t>(transparent >= 0 ? transparent : 0));
    int writeErrno = errno;
    EndPhase();
    QorGlobalFree(image.dib);
    if (Cancelled()) return CancelExitCode();
    if (status != 0) return Refused(out.shown, GifWriteFailure(target, status, writeErrno), status);
    if (out.toStdout()) {
        std::string why = CopyToStandardOutput(target);
        if (Cancelled()) return CancelExitCode();
        if (!why.empty()) return Failed(out.shown, why);
    }
    return kExitOk;
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
    // What the GIF reader says of a file with no GIF signature.
    if (!decodes && !encodes) return Refused(in, UnknownKindProblem(probe), QOR_NOT_GIF);
    // The refusals below are the GIF writer's for a bitmap that it cannot take, or a request
    // that the readers cannot serve.
    if (job->format == "gif" && decodes) {
        return Refused(in,
                       "GIF output takes a BMP or PNG of at most 256 colours; convert to PNG first",
                       QOR_BAD_REQUEST);
    }
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
    }
    if (intoFolder) {
        std::string name = in == "-" ? "stdin" : BaseName(in);
        std::size_t dot = ExtensionAt(name);
        job->out.path +=
            (dot == std::string::npos ? name : name.substr(0, dot)) + "." + job->format;
        job->out.shown = job->out.path;
    }
    if (probe.kind == Kind::Gif) job->gif = DescribeGifFile(job->path);
    if (probe.kind != Kind::Tiff) {
        job->pages = {1};
        return kExitOk;
    }
    // A TIFF writes the pages that the read will deliver; a read that will fail writes none.
    job->tiff = DescribeTiffFile(job->path);
    if (job->tiff.file.stopPage != 0) return kExitOk;
    for (std::size_t i = 0; i < job->tiff.pages.size(); ++i) {
        if (job->tiff.pages[i].status == 0) job->pages.push_back(static_cast<std::uint32_t>(i + 1));
    }
    if (job->out.toStdout() && job->pages.size() > 1) job->pages.resize(1);
    return kExitOk;
}

// Every output is claimed by one input only. A clash is reported, naming both inputs, before
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
            auto [at, fresh] = claims.emplace(PagePath(job.out.path, page), claim);
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
    for (const Job& job : jobs) {
        int one = job.format == "gif" ? Encode(opt, job) : Decode(job);
        if (Cancelled()) return CancelExitCode();
        if (one == kExitUsage) return one;
        if (one != kExitOk) rc = one;
    }
    return rc;
}

}  // namespace qorimg_tool
