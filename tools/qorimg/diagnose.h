// What the tool learns of a file without reading its image: its kind, the library's description
// of a GIF or TIFF (record/describe.h), and why a read that the library refused failed. The
// library's status stays as it is; these only name the cause.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "frame/read_info.h"
#include "record/describe.h"

namespace qorimg_tool {

enum class Kind { Unknown, Gif, Tiff, Bmp, Png };

const char* KindName(Kind kind);

// Where the extension of the last path component starts (its dot), or npos; and the extension
// in lower case without the dot ("" when there is none).
std::size_t ExtensionAt(const std::string& path);
std::string Extension(const std::string& path);

struct Probe {
    Kind kind = Kind::Unknown;
    std::uint64_t size = 0;     // 0 for what is not a regular file (a pipe, a device)
    std::size_t headBytes = 0;  // what the signature check could read, at most 136 bytes
    int openError = 0;          // errno when the file cannot be opened, else 0
};

// The kind by signature (a GIF may also start after a 128-byte prefix), then by extension.
Probe ProbeFile(const std::string& path);

// Why a file of no kind that qorimg reads is refused: too short, or not one of them.
std::string UnknownKindProblem(const Probe& probe);

// A GIF's description (its status 201 when the file cannot be opened); each frame is handed to
// `frame`, when given, as it is described, and none is kept.
qor::GifDescription DescribeGifFile(
    const std::string& path,
    const std::function<void(std::uint32_t index, const QorGifFrame&)>& frame = nullptr);

// A TIFF's description and its pages, all of them or those from `firstKept` on.
struct TiffFacts {
    qor::TiffDescription file;  // its status 201 when the file cannot be opened
    std::deque<qor::TiffPageDescription> pages;
    std::uint32_t firstKept = 1;  // the page (1 = first) of pages[0]
    const qor::TiffPageDescription& Page(std::uint32_t page) const {
        return pages[page - firstKept];
    }
};

// Describes a TIFF, keeping the pages `first` to `last` (1 = first page) only: a file of
// thousands of pages costs the room of those.
TiffFacts DescribeTiffFile(const std::string& path, std::uint32_t first = 1,
                           std::uint32_t last = 0xFFFFFFFF);
// Takes in what a read of the file reported: the page whose decoding ended it, with its status.
void NoteReadOutcome(TiffFacts* tiff, int status, std::uint32_t stoppedAtPage);

// Why a GIF or a TIFF gets `status` (as its description or a read gave it), in words, without
// the status number.
std::string ExplainGif(const qor::GifDescription& gif, int status);
std::string ExplainTiff(const TiffFacts& tiff, int status);
// Why the reader gives a page its status, in words ("compression 8 (Deflate) is not
// supported"); empty for a good page.
std::string ExplainTiffPage(const qor::TiffPageDescription& page);
const char* CompressionName(unsigned compression);
const char* PhotometricName(unsigned photometric);

// The warning for a page whose data ended early ("the image data ends early; ...").
// `gifHeight` is the GIF image's height; a TIFF page's comes from its directory.
std::string DataEndedText(Kind kind, const qor::PageEnd& end, std::uint32_t gifHeight);
// The rows that a damaged strip or tile of a TIFF page left blank, in words.
std::string DamagedRowsText(const qor::DamagedRows& damage);

// Why the library refused `path` with `status`, in words, without the status number.
// `stoppedAtPage` is what the read reported in ReadInfo::stoppedAtPage.
std::string ExplainReadFailure(const std::string& path, const Probe& probe, int status,
                               std::uint32_t stoppedAtPage = 0);

}  // namespace qorimg_tool
