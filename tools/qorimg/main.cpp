// qorimg: the command-line face of the library.
//   qorimg info FILE
//   qorimg convert [--interlace] [--transparent INDEX] IN OUT
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "frame/read_info.h"
#include "image_io.h"
#include "pages.h"
#include "qorimg/qorimg.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: qorimg [-q] info FILE\n"
    "       qorimg [-q] convert [--interlace] [--transparent INDEX] IN OUT\n"
    "\n"
    "info     prints what the reader reports about a GIF or TIFF file (one line per TIFF page).\n"
    "convert  decodes a GIF or TIFF file into OUT.png or OUT.bmp (TIFF page N > 1 goes to OUT\n"
    "         with -N before the extension), or encodes a BMP or PNG of at most 256 colours\n"
    "         (1, 4 or 8 bits; PNG grey of 1 to 8 bits) into OUT.gif.\n"
    "\n"
    "options:\n"
    "  -q, --quiet          no progress bar\n"
    "  --interlace          GIF output: write the image interlaced\n"
    "  --transparent INDEX  GIF output: mark colour INDEX (0-255) transparent (writes GIF89a)\n"
    "  -h, --help           this text\n"
    "\n"
    "exit status: 0 success, 1 the file was refused or could not be written, 2 bad usage\n";

struct Options {
    bool quiet = false;
    bool interlace = false;
    int transparent = -1;
    std::vector<std::string> args;
};

bool gShowProgress = false;

std::int32_t ShowProgress(QorProgressInfo* info) {
    if (!gShowProgress || info->total == 0) return 0;
    unsigned percent = info->done * 100 / info->total;
    if (percent > 100) percent = 100;
    char bar[41];
    unsigned filled = percent * 40 / 100;
    for (unsigned i = 0; i < 40; ++i) bar[i] = i < filled ? '#' : '.';
    bar[40] = '\0';
    std::fprintf(stderr, "\r[%s] %3u%%", bar, percent);
    if (percent == 100) std::fputc('\n', stderr);
    std::fflush(stderr);
    return 0;
}

void EndProgressLine() {
    // A read may end below 100 % (pages skipped, data ended): finish the line neatly.
    if (gShowProgress) std::fputs("\r\033[K", stderr);
}

int Refused(const std::string& file, int status) {
    EndProgressLine();
    std::fprintf(stderr, "qorimg: %s: %s (status %d)\n", file.c_str(), QorStatusText(status),
                 status);
    return kExitRefused;
}

int Failed(const std::string& file, const std::string& why) {
    EndProgressLine();
    std::fprintf(stderr, "qorimg: %s: %s\n", file.c_str(), why.c_str());
    return kExitRefused;
}

int Usage(const char* message) {
    if (message != nullptr) std::fprintf(stderr, "qorimg: %s\n", message);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Extension(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return Lower(path.substr(dot + 1));
}

// OUT for page 1, OUT with "-N" before the extension for page N.
std::string PagePath(const std::string& out, std::uint32_t page) {
    if (page <= 1) return out;
    std::size_t slash = out.find_last_of('/');
    std::size_t dot = out.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return out + "-" + std::to_string(page);
    }
    return out.substr(0, dot) + "-" + std::to_string(page) + out.substr(dot);
}

enum class Kind { Unknown, Gif, Tiff, Bmp, Png, Missing };

Kind Sniff(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Kind::Missing;
    unsigned char head[136] = {};
    in.read(reinterpret_cast<char*>(head), sizeof head);
    auto n = static_cast<std::size_t>(in.gcount());
    auto isGif = [&](std::size_t at) {
        return n >= at + 6 && std::memcmp(head + at, "GIF8", 4) == 0 && head[at + 5] == 'a';
    };
    if (isGif(0)) return Kind::Gif;
    if (n >= 4 && ((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M'))) {
        return Kind::Tiff;
    }
    if (n >= 2 && head[0] == 'B' && head[1] == 'M') return Kind::Bmp;
    if (n >= 8 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) return Kind::Png;
    if (isGif(128)) return Kind::Gif;
    std::string ext = Extension(path);
    if (ext == "gif") return Kind::Gif;
    if (ext == "tif" || ext == "tiff") return Kind::Tiff;
    return Kind::Unknown;
}

const char* CompressionName(unsigned c) {
    switch (c) {
        case 1:
            return "none";
        case 2:
            return "modified-huffman";
        case 3:
            return "group3";
        case 4:
            return "group4";
        case 5:
            return "lzw";
        case 32773:
            return "packbits";
        default:
            return "unknown";
    }
}

int Info(const std::string& path) {
    Kind kind = Sniff(path);
    if (kind == Kind::Missing) return Refused(path, QOR_OPEN_FAILED);
    if (kind != Kind::Gif && kind != Kind::Tiff) return Failed(path, "not a GIF or TIFF file");
    qor::ReadInfo info;
    std::uint32_t first = 0;
    qor::ReadFormat format = kind == Kind::Gif ? qor::ReadFormat::Gif : qor::ReadFormat::Tiff;
    int status = qor::ReadWithInfo(format, ShowProgress, 0, path.c_str(), &info, &first);
    EndProgressLine();
    std::uint32_t layers = status == 0 ? QorDocumentLayers(first, nullptr, 0) : 0;
    if (status == 0) QorReleaseDocument(first);
    if (kind == Kind::Gif) {
        if (status != 0 && info.width == 0) return Refused(path, status);
        std::printf("%s: GIF version 8%ca\n", path.c_str(), static_cast<char>('0' + info.version));
        std::printf("  size %u x %u, %u bits per pixel, %u colours, %s\n", info.width, info.height,
                    info.bitsPerSample, info.colorCount,
                    info.encoding != 0 ? "interlaced" : "not interlaced");
        std::printf("  image bytes %u, file size %u\n", info.imageBytes, info.fileSize);
        if (info.transparentIndex >= 0) {
            std::printf("  transparent index %d\n", info.transparentIndex);
        } else {
            std::printf("  no transparent colour\n");
        }
        return status == 0 ? kExitOk : Refused(path, status);
    }
    std::vector<qorimg_tool::PageSummary> pages;
    std::string why = qorimg_tool::ListTiffPages(path, &pages);
    if (!why.empty() && status != 0) return Refused(path, status);
    std::printf("%s: TIFF, %zu page%s, %u delivered\n", path.c_str(), pages.size(),
                pages.size() == 1 ? "" : "s", layers);
    std::printf(
        "  first page: %u x %u, %u bits per sample, %u samples per pixel, compression "
        "%u (%s), %u colours, image bytes %u, file size %u\n",
        info.width, info.height, info.bitsPerSample, info.samplesPerPixel, info.encoding,
        CompressionName(info.encoding), info.colorCount, info.imageBytes, info.fileSize);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const auto& p = pages[i];
        std::printf(
            "  page %zu: %u x %u, %u bits x %u samples, photometric %u, compression %u "
            "(%s), %u strip%s: %s\n",
            i + 1, p.width, p.height, p.bitsPerSample, p.samplesPerPixel, p.photometric,
            p.compression, CompressionName(p.compression), p.strips, p.strips == 1 ? "" : "s",
            p.status == 0 ? "ok" : QorStatusText(p.status));
    }
    return status == 0 ? kExitOk : Refused(path, status);
}

std::string WriteImage(const std::string& out, QorHandle dib, int transparent) {
    return Extension(out) == "bmp" ? qorimg_tool::WriteBmp(out, dib)
                                   : qorimg_tool::WritePng(out, dib, transparent);
}

int Decode(Kind kind, const std::string& in, const std::string& out) {
    std::uint32_t first = 0;
    std::int16_t transparent = -1;
    int status = kind == Kind::Gif ? QorReadGIF(ShowProgress, 0, in.c_str(), &first, &transparent)
                                   : QorReadTIF(ShowProgress, 0, in.c_str(), &first);
    EndProgressLine();
    if (status != 0) return Refused(in, status);
    std::uint32_t count = QorDocumentLayers(first, nullptr, 0);
    std::vector<QorHandle> layers(count);
    QorDocumentLayers(first, layers.data(), count);
    if (layers.empty()) layers.push_back(first);  // a document the registry does not know

    // Number the outputs by page in the file, so that a skipped page leaves a gap.
    std::vector<std::uint32_t> pageNumbers;
    if (kind == Kind::Tiff) {
        std::vector<qorimg_tool::PageSummary> pages;
        qorimg_tool::ListTiffPages(in, &pages);
        for (std::size_t i = 0; i < pages.size(); ++i) {
            if (pages[i].status == 0) {
                pageNumbers.push_back(static_cast<std::uint32_t>(i + 1));
            } else {
                std::fprintf(stderr, "qorimg: %s: page %zu skipped: %s (status %d)\n", in.c_str(),
                             i + 1, QorStatusText(pages[i].status), pages[i].status);
            }
        }
    }
    int rc = kExitOk;
    for (std::size_t i = 0; i < layers.size(); ++i) {
        std::uint32_t page =
            i < pageNumbers.size() ? pageNumbers[i] : static_cast<std::uint32_t>(i + 1);
        std::string path = PagePath(out, page);
        std::string why = WriteImage(path, layers[i], transparent);
        if (!why.empty()) {
            rc = Failed(path, why);
            break;
        }
    }
    if (QorReleaseDocument(first) != 0) QorGlobalFree(first);
    return rc;
}

int Encode(const std::string& in, const std::string& out, const Options& opt) {
    QorHandle dib = 0;
    std::string why = qorimg_tool::ReadPaletteImage(in, &dib);
    if (!why.empty()) return Failed(in, why);
    std::uint32_t option = opt.transparent >= 0 ? 1 : 0;
    auto index = static_cast<std::uint32_t>(opt.transparent >= 0 ? opt.transparent : 0);
    int status =
        QorWriteGIF(ShowProgress, 0, out.c_str(), dib, option, opt.interlace ? 1 : 0, index);
    EndProgressLine();
    QorGlobalFree(dib);
    return status == 0 ? kExitOk : Refused(out, status);
}

int Convert(const Options& opt) {
    const std::string& in = opt.args[1];
    const std::string& out = opt.args[2];
    std::string outExt = Extension(out);
    if (outExt != "png" && outExt != "bmp" && outExt != "gif") {
        return Usage("OUT must end in .png, .bmp or .gif");
    }
    Kind kind = Sniff(in);
    if (kind == Kind::Missing) return Refused(in, QOR_OPEN_FAILED);
    if (outExt == "gif") {
        if (kind == Kind::Gif || kind == Kind::Tiff) {
            return Failed(in,
                          "GIF output takes a BMP or PNG of at most 256 colours; convert to "
                          "PNG first");
        }
        return Encode(in, out, opt);
    }
    if (opt.interlace || opt.transparent >= 0) {
        return Usage("--interlace and --transparent apply to GIF output only");
    }
    if (kind != Kind::Gif && kind != Kind::Tiff) return Failed(in, "not a GIF or TIFF file");
    return Decode(kind, in, out);
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (a == "-q" || a == "--quiet") {
            opt.quiet = true;
        } else if (a == "--interlace") {
            opt.interlace = true;
        } else if (a == "--transparent") {
            if (i + 1 >= argc) return Usage("--transparent needs an INDEX");
            char* end = nullptr;
            long v = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || v < 0 || v > 255) {
                return Usage("--transparent INDEX must be 0 to 255");
            }
            opt.transparent = static_cast<int>(v);
        } else if (a.size() > 1 && a[0] == '-') {
            return Usage(("unknown option " + a).c_str());
        } else {
            opt.args.push_back(a);
        }
    }
    gShowProgress = !opt.quiet && ::isatty(STDERR_FILENO) != 0;
    if (opt.args.empty()) return Usage(nullptr);
    if (opt.args[0] == "info" && opt.args.size() == 2) return Info(opt.args[1]);
    if (opt.args[0] == "convert" && opt.args.size() == 3) return Convert(opt);
    return Usage("expected 'info FILE' or 'convert IN OUT'");
}
