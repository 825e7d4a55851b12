// What the tool learns by looking at a file itself, with the library's internal parsers where
// it has them: the kind of file, a GIF's block structure, a TIFF's pages, and why a read that
// the library refused failed. The library's status stays as it is; these only name the cause.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame/read_info.h"
#include "tiff/reader.h"

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

struct GifSummary {
    bool parsed = false;  // the header and logical screen were read
    char version = '7';   // the digit of 87a or 89a
    std::uint32_t screenWidth = 0, screenHeight = 0;
    std::uint32_t frames = 0;  // image descriptors before the trailer or the end of the data
    // The first image's place on the screen, its size as the reader takes it (zero means the
    // screen's) and its interlace flag.
    std::uint32_t left = 0, top = 0, width = 0, height = 0;
    bool interlaced = false;
    std::string problem;  // why the reader refuses the file, when the walk can tell
};

GifSummary InspectGif(const std::string& path);

struct TiffPageSummary {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bitsPerSample = 0, samplesPerPixel = 0, photometric = 0, compression = 0;
    std::uint16_t planarConfig = 1, predictor = 1;
    std::uint32_t t4Options = 0, t6Options = 0;
    std::uint32_t strips = 0, rowsPerStrip = 0;
    qor::tiff::PageFault fault = qor::tiff::PageFault::kNone;  // the rule validation refuses it by
    bool tiled = false;                                        // the directory has tile tags
    bool oldStyleLzw = false;  // LZW data whose first strip starts as the old bit-reversed codes
    // 0 when the reader decodes the page, else the status it gives the page: validation's
    // refusal, 531 for a compression without a decoder, or after NoteReadOutcome the status of
    // the decoding that failed.
    int status = 0;
};

struct TiffSummary {
    std::string problem;  // why the header or chain could not be walked; empty when it could
    int status = 0;       // that problem's status
    std::vector<TiffPageSummary> pages;
    // The page (1 = first) at which a read stops: one that validation passes but that cannot be
    // decoded ends the whole read, and nothing is delivered. 0 when no page does.
    std::uint32_t stopPage = 0;
};

// Walks the header and directories as the reader does; each page's status is what the read
// will give it, as far as that can be known without decoding.
TiffSummary InspectTiff(const std::string& path);
// Takes in what a read of the file reported: the page whose decoding ended it, with its status.
void NoteReadOutcome(TiffSummary* tiff, int status, std::uint32_t stoppedAtPage);

// Why the reader gives a page its status, in words ("compression 8 (Deflate) is not
// supported"); empty for a good page.
std::string ExplainTiffPage(const TiffPageSummary& page);
const char* CompressionName(unsigned compression);
const char* PhotometricName(unsigned photometric);

// The warning for a page whose data ended early ("the image data ends early; ...").
// `gifHeight` is the GIF image's height; a TIFF page's comes from its directory.
std::string DataEndedText(Kind kind, const qor::PageEnd& end, std::uint32_t gifHeight);

// Why the library refused `path` with `status`, in words, without the status number.
// `stoppedAtPage` is what the read reported in ReadInfo::stoppedAtPage.
std::string ExplainReadFailure(const std::string& path, const Probe& probe, int status,
                               std::uint32_t stoppedAtPage = 0);

}  // namespace qorimg_tool
