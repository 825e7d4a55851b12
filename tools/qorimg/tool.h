// What the commands of the tool share: options, exit codes and the messages they print.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qorimg_tool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

struct Options {
    bool quiet = false;
    bool interlace = false;
    bool json = false;
    bool decode = false;  // info: read the image too
    int transparent = -1;
    // convert: the pages asked for, counted from 1 (0 and 0: every page), and the memory limit
    // of each read (0: the library's default).
    std::uint32_t firstPage = 0, lastPage = 0;
    std::uint64_t limit = 0;
    bool allFrames = false;  // convert: every frame of a GIF, composed (an extended read)
    std::string to;          // "png", "bmp", "gif" or empty
    std::vector<std::string> args;
};

// "qorimg: FILE: WHY (status N)" on stderr; returns kExitRefused.
int Refused(const std::string& file, const std::string& why, int status);
// "qorimg: FILE: WHY" on stderr; returns kExitRefused.
int Failed(const std::string& file, const std::string& why);
// "qorimg: FILE: warning: WHAT" on stderr.
void Warn(const std::string& file, const std::string& what);
// The flags of every read and description the tool makes: QOR_READ_EXTENDED, unless --classic
// asked for the classic reads.
std::uint32_t ReadFlags();
// The library's words for a status in the read that the tool makes; the tool keeps no texts of
// its own for statuses.
const char* StatusText(int status);
void SetClassicReads(bool classic);
// One line and the hint to see --help; returns kExitUsage.
int Usage(const std::string& message);

// "1 page", "2 pages".
inline std::string Counted(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The name a file is shown by: "standard input" and "standard output" for "-".
std::string Shown(const std::string& path);

// The length of the well-formed UTF-8 sequence at text[at] (1 to 4), with its code point in
// *codePoint; 0 when the bytes there are not one (a stray byte, an overlong form, a surrogate).
std::size_t Utf8Sequence(const std::string& text, std::size_t at, std::uint32_t* codePoint);
// `text` safe for a terminal: control characters (C0, DEL and C1) and bytes that are not UTF-8
// become \xNN, so that a file name cannot move the cursor, ring or retitle the terminal.
// Messages pass through it whole.
std::string Printable(const std::string& text);

int Info(const Options& options);
int Convert(const Options& options);

}  // namespace qorimg_tool
