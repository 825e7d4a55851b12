// qorimg: the command-line face of the library.
//   qorimg info [--json] [--decode] FILE...
//   qorimg convert [--page N | --pages A-B | --all-frames] [--limit SIZE] [options] IN OUT
//   qorimg convert [options] IN... DIR/
#include <cstdio>
#include <cstdlib>
#include <string>

#include "frame/read_info.h"
#include "progress.h"
#include "tool.h"

#ifndef QORIMG_VERSION
#define QORIMG_VERSION "unknown"
#endif

namespace qorimg_tool {

namespace {

const char* const kHelp =
    "usage: qorimg [-q] info [--json] [--decode] FILE...\n"
    "       qorimg [-q] convert [--to FORMAT] [--page N | --pages A-B | --all-frames]\n"
    "                          [--limit SIZE]\n"
    "                          [--interlace] [--transparent INDEX] IN OUT\n"
    "       qorimg [-q] convert [--to FORMAT] [options] IN... DIR/\n"
    "\n"
    "info     describes GIF, TIFF, BMP and PNG files: for a GIF its frames, logical screen and\n"
    "         the first image's place; for a TIFF its pages, their tags and whether they decode.\n"
    "         It reads the blocks and directories only, unless --decode asks for the image.\n"
    "convert  decodes a GIF or TIFF file into PNG, BMP or (pages of 1, 4 or 8 bits) GIF, a page\n"
    "         at a time (TIFF page N > 1 goes to OUT with -N before the extension; a page that\n"
    "         cannot be decoded is skipped with a warning), or encodes a BMP (RLE ones too) or\n"
    "         PNG of at most 256 colours (1, 4 or 8 bits; PNG grey of 1 to 8 bits) into GIF.\n"
    "         With a folder as the last argument, each IN becomes DIR/NAME.FORMAT. '-' reads\n"
    "         standard input or writes standard output (then --to is needed).\n"
    "\n"
    "options:\n"
    "  -q, --quiet          no progress bar\n"
    "  --json               info: one JSON object per file\n"
    "  --decode             info: also decode, to find rows that the data leaves blank and\n"
    "                       data that cannot be decoded\n"
    "  --to png|bmp|gif     the output format for a folder or standard output\n"
    "  --page N             convert: page N only (from 1), written to OUT itself\n"
    "  --pages A-B          convert: pages A to B only\n"
    "  --all-frames         convert: every frame of a GIF as the animation shows it, to PNG or\n"
    "                       BMP (frame N > 1 goes to OUT with -N before the extension)\n"
    "  --limit SIZE         convert: the most memory the images of one read may take, in bytes\n"
    "                       or with K, M or G (for example 512M); a page above it is skipped\n"
    "  --classic            read as the classic entry points do: no Deflate, JPEG, tiled, 16-bit\n"
    "                       or planar TIFF pages, orientation not applied, alpha dropped\n"
    "  --interlace          GIF output: write the image interlaced\n"
    "  --transparent INDEX  GIF output: mark palette entry INDEX transparent (writes GIF89a);\n"
    "                       without it, a PNG's single fully transparent entry is kept\n"
    "  --version            the version of qorimg\n"
    "  -h, --help           this text\n"
    "\n"
    "exit status: 0 success, 1 a file was refused or could not be written, 2 bad usage,\n"
    "130 interrupted (SIGINT), 143 terminated (SIGTERM)\n";

}  // namespace

// Reads a page number of at least 1 from `text`, up to its end or to `stop`. False when there is
// none, or when it is 0 or larger than a TIFF's pages can be.
bool ParsePage(const char* text, char stop, std::uint32_t* page, const char** rest) {
    char* end = nullptr;
    if (*text < '0' || *text > '9') return false;
    unsigned long v = std::strtoul(text, &end, 10);
    if (end == text || (*end != '\0' && *end != stop) || v == 0 || v > 0xFFFFFFFFul) return false;
    *page = static_cast<std::uint32_t>(v);
    *rest = end;
    return true;
}

// Reads a size in bytes, or in K, M or G (1024, 1024^2, 1024^3), optionally followed by B or iB.
bool ParseSize(const std::string& text, std::uint64_t* bytes) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 15) return false;
    std::uint64_t v = std::stoull(text.substr(0, digits));
    std::string unit = text.substr(digits);
    for (char& c : unit) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    int shift = 0;
    if (!unit.empty() && (unit[0] == 'K' || unit[0] == 'M' || unit[0] == 'G')) {
        shift = unit[0] == 'K' ? 10 : unit[0] == 'M' ? 20 : 30;
        unit.erase(0, 1);
        if (unit == "IB") unit = "B";
    }
    if (!unit.empty() && unit != "B") return false;
    if (v == 0 || v > (~std::uint64_t{0} >> 1 >> shift)) return false;
    *bytes = v << shift;
    return true;
}

}  // namespace qorimg_tool

int main(int argc, char** argv) {
    using namespace qorimg_tool;
    InstallSignalHandlers();
    Options opt;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (optionsEnded || a == "-" || a.empty() || a[0] != '-') {
            opt.args.push_back(a);
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kHelp, stdout);
            return kExitOk;
        } else if (a == "--version") {
            std::printf("qorimg %s\n", QORIMG_VERSION);
            return kExitOk;
        } else if (a == "-q" || a == "--quiet") {
            opt.quiet = true;
        } else if (a == "--json") {
            opt.json = true;
        } else if (a == "--decode") {
            opt.decode = true;
        } else if (a == "--classic") {
            SetClassicReads(true);
        } else if (a == "--all-frames") {
            opt.allFrames = true;
        } else if (a == "--interlace") {
            opt.interlace = true;
        } else if (a == "--to") {
            if (i + 1 >= argc) return Usage("--to needs a FORMAT: png, bmp or gif");
            opt.to = argv[++i];
            if (opt.to != "png" && opt.to != "bmp" && opt.to != "gif") {
                return Usage("--to takes png, bmp or gif, not '" + opt.to + "'");
            }
        } else if (a == "--page" || a == "--pages") {
            if (i + 1 >= argc) return Usage(a + " needs " + (a == "--page" ? "N" : "A-B"));
            if (opt.firstPage != 0) return Usage("give --page or --pages once");
            const char* text = argv[++i];
            const char* rest = nullptr;
            bool ok = ParsePage(text, '-', &opt.firstPage, &rest);
            opt.lastPage = opt.firstPage;
            if (a == "--pages") {
                ok = ok && *rest == '-' && ParsePage(rest + 1, '\0', &opt.lastPage, &rest);
            } else {
                ok = ok && *rest == '\0';
            }
            if (!ok || opt.lastPage < opt.firstPage) {
                return Usage(a == "--page"
                                 ? "--page N takes a page number from 1, not '" +
                                       std::string(text) + "'"
                                 : "--pages A-B takes two page numbers from 1, A at most B, not '" +
                                       std::string(text) + "'");
            }
        } else if (a == "--limit") {
            if (i + 1 >= argc) return Usage("--limit needs a SIZE");
            if (!ParseSize(argv[++i], &opt.limit)) {
                return Usage(
                    "--limit SIZE takes bytes, or a number with K, M or G (such as 512M), "
                    "not '" +
                    std::string(argv[i]) + "'");
            }
        } else if (a == "--transparent") {
            if (i + 1 >= argc) return Usage("--transparent needs an INDEX");
            char* end = nullptr;
            long v = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || v < 0 || v > 255) {
                return Usage("--transparent INDEX must be 0 to 255");
            }
            opt.transparent = static_cast<int>(v);
        } else {
            return Usage("unknown option " + a);
        }
    }
    if (opt.args.empty()) return Usage("expected a command: info or convert");
    if (const char* threads = qor::UnusableThreadsOfEnvironment()) {
        std::fprintf(stderr, "qorimg: %s\n",
                     Printable("warning: QORIMG_THREADS=" + std::string(threads) +
                               " is not a count of threads; reads use the default, a thread "
                               "for each processor")
                         .c_str());
    }
    const std::string& command = opt.args[0];
    if (command == "info") {
        if (opt.args.size() < 2) return Usage("info needs at least one FILE");
        if (opt.firstPage != 0 || opt.limit != 0 || opt.allFrames) {
            return Usage("--page, --pages, --all-frames and --limit apply to convert only");
        }
        return Info(opt);
    }
    if (command == "convert") {
        if (opt.args.size() < 3) return Usage("convert needs IN and OUT");
        if (opt.json || opt.decode) return Usage("--json and --decode apply to info only");
        // Frames are composed by the extended read only, and each one is written.
        if (opt.allFrames && ReadFlags() == 0) {
            return Usage(
                "--all-frames composes frames with the extended read, which --classic "
                "turns off");
        }
        if (opt.allFrames && opt.firstPage != 0) {
            return Usage("--all-frames converts every frame: give no --page or --pages");
        }
        EnableProgress(!opt.quiet);
        return Convert(opt);
    }
    return Usage("unknown command '" + command + "'; expected info or convert");
}
