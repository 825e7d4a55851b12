// The messages that every command prints, the read mode they are printed for, and the
// terminal-safe form of names: what tool.h declares for all of them.
#include <cstdio>
#include <string>

#include "progress.h"
#include "qorimg/qorimg.h"
#include "tool.h"

namespace qorimg_tool {

int Refused(const std::string& file, const std::string& why, int status) {
    ClearProgressLine();
    std::fprintf(stderr, "qorimg: %s (status %d)\n", Printable(Shown(file) + ": " + why).c_str(),
                 status);
    return kExitRefused;
}

int Failed(const std::string& file, const std::string& why) {
    ClearProgressLine();
    std::fprintf(stderr, "qorimg: %s\n", Printable(Shown(file) + ": " + why).c_str());
    return kExitRefused;
}

void Warn(const std::string& file, const std::string& what) {
    ClearProgressLine();
    std::fprintf(stderr, "qorimg: %s\n", Printable(Shown(file) + ": warning: " + what).c_str());
}

namespace {
bool classicReads = false;
}  // namespace

void SetClassicReads(bool classic) {
    classicReads = classic;
}

std::uint32_t ReadFlags() {
    return classicReads ? 0u : std::uint32_t{QOR_READ_EXTENDED};
}

const char* StatusText(int status) {
    return QorStatusTextFor(status, ReadFlags());
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
