// qorimg: the command-line face of the library.
//   qorimg info [--json] [--decode] FILE...
//   qorimg convert [options] IN OUT
//   qorimg convert [options] IN... DIR/
#include <cstdio>
#include <cstdlib>
#include <string>

#include "progress.h"
#include "tool.h"

#ifndef QORIMG_VERSION
#define QORIMG_VERSION "unknown"
#endif

namespace qorimg_tool {

namespace {

const char* const kHelp =
    "usage: qorimg [-q] info [--json] [--decode] FILE...\n"
    "       qorimg [-q] convert [--to FORMAT] [--interlace] [--transparent INDEX] IN OUT\n"
    "       qorimg [-q] convert [--to FORMAT] [options] IN... DIR/\n"
    "\n"
    "info     describes GIF, TIFF, BMP and PNG files: for a GIF its frames, logical screen and\n"
    "         the first image's place; for a TIFF one line per page and whether it decodes.\n"
    "         It reads the blocks and directories only, unless --decode asks for the image.\n"
    "convert  decodes a GIF or TIFF file into PNG or BMP (TIFF page N > 1 goes to OUT with -N\n"
    "         before the extension), or encodes a BMP or PNG of at most 256 colours (1, 4 or 8\n"
    "         bits; PNG grey of 1 to 8 bits) into GIF. With a folder as the last argument,\n"
    "         each IN becomes DIR/NAME.FORMAT. '-' reads standard input or writes standard\n"
    "         output (then --to is needed).\n"
    "\n"
    "options:\n"
    "  -q, --quiet          no progress bar\n"
    "  --json               info: one JSON object per file\n"
    "  --decode             info: also decode, to find rows that the data leaves blank and\n"
    "                       data that cannot be decoded\n"
    "  --to png|bmp|gif     the output format for a folder or standard output\n"
    "  --interlace          GIF output: write the image interlaced\n"
    "  --transparent INDEX  GIF output: mark palette entry INDEX transparent (writes GIF89a);\n"
    "                       without it, a PNG's single fully transparent entry is kept\n"
    "  --version            the version of qorimg\n"
    "  -h, --help           this text\n"
    "\n"
    "exit status: 0 success, 1 a file was refused or could not be written, 2 bad usage,\n"
    "130 interrupted (SIGINT), 143 terminated (SIGTERM)\n";

}  // namespace

int Refused(const std::string& file, const std::string& why, int status) {
    EndPhase();
    std::fprintf(stderr, "qorimg: %s (status %d)\n", Printable(Shown(file) + ": " + why).c_str(),
                 status);
    return kExitRefused;
}

int Failed(const std::string& file, const std::string& why) {
    EndPhase();
    std::fprintf(stderr, "qorimg: %s\n", Printable(Shown(file) + ": " + why).c_str());
    return kExitRefused;
}

void Warn(const std::string& file, const std::string& what) {
    EndPhase();
    std::fprintf(stderr, "qorimg: %s\n", Printable(Shown(file) + ": warning: " + what).c_str());
}

int Usage(const std::string& message) {
    std::fprintf(stderr, "qorimg: %s (see qorimg --help)\n", Printable(message).c_str());
    return kExitUsage;
}

std::string Shown(const std::string& path) {
    return path == "-" ? "standard input" : path;
}

std::size_t Utf8Sequence(const std::string& text, std::size_t at, std::uint32_t* codePoint) {
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    }
    // The length, the lead byte's payload and the least code point of that length (anything
    // less is an overlong form).
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (length == 0 || lead >= 0xF8 || at + length > text.size()) return 0;
    std::uint32_t c = lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        c = c << 6 | (byte(at + i) & 0x3Fu);
    }
    if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    *codePoint = c;
    return length;
}

std::string Printable(const std::string& text) {
    std::string shown;
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t c = 0;
        std::size_t length = Utf8Sequence(text, at, &c);
        if (length != 0 && c >= 0x20 && (c < 0x7F || c > 0x9F)) {
            shown.append(text, at, length);
            at += length;
            continue;
        }
        // A control character is shown byte by byte, as is every byte that is not UTF-8.
        for (std::size_t end = at + (length != 0 ? length : 1); at < end; ++at) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[at]));
            shown += escaped;
        }
    }
    return shown;
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
        } else if (a == "--interlace") {
            opt.interlace = true;
        } else if (a == "--to") {
            if (i + 1 >= argc) return Usage("--to needs a FORMAT: png, bmp or gif");
            opt.to = argv[++i];
            if (opt.to != "png" && opt.to != "bmp" && opt.to != "gif") {
                return Usage("--to takes png, bmp or gif, not '" + opt.to + "'");
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
    const std::string& command = opt.args[0];
    if (command == "info") {
        if (opt.args.size() < 2) return Usage("info needs at least one FILE");
        return Info(opt);
    }
    if (command == "convert") {
        if (opt.args.size() < 3) return Usage("convert needs IN and OUT");
        if (opt.json || opt.decode) return Usage("--json and --decode apply to info only");
        EnableProgress(!opt.quiet);
        return Convert(opt);
    }
    return Usage("unknown command '" + command + "'; expected info or convert");
}
