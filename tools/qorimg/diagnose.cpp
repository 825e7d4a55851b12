#include "diagnose.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "qorimg/qorimg.h"
#include "tool.h"

namespace qorimg_tool {
namespace {

// The largest width or height the readers deliver.
constexpr std::uint32_t kMaxSide = 32767;
// No GIF, TIFF, BMP or PNG file that holds an image is this short.
constexpr std::uint64_t kShortestImageFile = 14;
constexpr std::uint32_t kTiffHeaderBytes = 8;
// The TIFF numbers that the explanations name.
constexpr unsigned kPhotometricAbsent = 10;  // what a description holds when the tag is absent

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string Hex(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFFu);
    return text;
}

bool IsGifSignature(const std::uint8_t* p) {
    return std::memcmp(p, "GIF8", 4) == 0 && (p[4] == '7' || p[4] == '9') && p[5] == 'a';
}

std::string SideProblem(std::uint32_t width, std::uint32_t height) {
    if (width == 0) return "the image is 0 pixels wide";
    if (height == 0) return "the image is 0 pixels tall";
    if (width > kMaxSide) return std::to_string(width) + " pixels wide; at most 32767";
    if (height > kMaxSide) return std::to_string(height) + " pixels tall; at most 32767";
    return {};
}

std::string HeaderCut(std::uint64_t size) {
    return "the file ends inside the TIFF header (" + std::to_string(size) + " of 8 bytes)";
}

// Why the header or chain gives a TIFF its status; empty when the pages decide it.
std::string ExplainTiffFile(const qor::TiffDescription& d) {
    using qor::TiffFault;
    switch (d.fault) {
        case TiffFault::kNone:
            break;
        case TiffFault::kNoByteOrder:
            return "no TIFF byte-order mark (II or MM) at the start";
        case TiffFault::kMagic:
            if (d.magic == 43) return "BigTIFF files (magic number 43) are not supported";
            return "TIFF magic number " + std::to_string(d.magic) + "; expected 42";
        case TiffFault::kHeaderCut:
            return HeaderCut(d.fileSize < kTiffHeaderBytes ? d.fileSize : kTiffHeaderBytes);
        case TiffFault::kNoDirectory:
            return d.firstOffset == 0
                       ? "the header names no image directory (offset 0)"
                       : "no image directory at offset " + std::to_string(d.firstOffset);
        case TiffFault::kDirectoryPastEnd:
            return "the file ends before its image directory (offset " +
                   std::to_string(d.firstOffset) + ", past the file's " +
                   std::to_string(d.fileSize) + " bytes)";
        case TiffFault::kUnreadable:
            return "the file could not be read";
    }
    return {};
}

// Why the blocks give a GIF its status; empty when they pass.
std::string ExplainGifBlocks(const qor::GifDescription& d) {
    using qor::GifFault;
    switch (d.fault) {
        case GifFault::kNone:
            break;
        case GifFault::kHeaderCut:
            return "the file ends inside the GIF header (" + std::to_string(d.fileSize) +
                   " of 13 bytes)";
        case GifFault::kNoSignature:
            return "no GIF signature at the start or after a 128-byte prefix";
        case GifFault::kGlobalTableCut:
            return "the file ends inside the global colour table";
        case GifFault::kTrailerFirst:
            return "the file holds no image: its trailer comes before any";
        case GifFault::kNotABlock:
            return "byte " + Hex(d.faultByte) + " at offset " + std::to_string(d.faultOffset) +
                   " where a block should start";
        case GifFault::kEndsBeforeImage:
            return "the file ends before the first image";
        case GifFault::kNoWidthOrHeight:
        case GifFault::kTooLarge:
            return SideProblem(d.width, d.height);
        case GifFault::kLocalTableCut:
            return "the file ends inside the first image's colour table";
        case GifFault::kCodeSize:
            return "LZW minimum code size " + std::to_string(d.faultByte) + "; 2 to 11 decode";
        case GifFault::kNoData:
            return "the first image has no data";
    }
    return {};
}

}  // namespace

std::size_t ExtensionAt(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = path.find_last_of('.');
    // A name that starts with its only dot (".hidden") has no extension.
    return dot == std::string::npos || dot <= start ? std::string::npos : dot;
}

std::string Extension(const std::string& path) {
    std::size_t dot = ExtensionAt(path);
    std::string ext = dot == std::string::npos ? "" : path.substr(dot + 1);
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return ext;
}

const char* KindName(Kind kind) {
    switch (kind) {
        case Kind::Gif:
            return "GIF";
        case Kind::Tiff:
            return "TIFF";
        case Kind::Bmp:
            return "BMP";
        case Kind::Png:
            return "PNG";
        default:
            return "unknown";
    }
}

Probe ProbeFile(const std::string& path) {
    Probe probe;
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        probe.openError = errno != 0 ? errno : EIO;
        return probe;
    }
    struct stat info {};
    if (::fstat(::fileno(f.get()), &info) == 0 && S_ISDIR(info.st_mode)) {
        probe.openError = EISDIR;
        return probe;
    }
    if (S_ISREG(info.st_mode)) probe.size = static_cast<std::uint64_t>(info.st_size);
    std::uint8_t head[136] = {};
    std::size_t n = std::fread(head, 1, sizeof head, f.get());
    probe.headBytes = n;
    if (n >= 6 && IsGifSignature(head)) {
        probe.kind = Kind::Gif;
    } else if (n >= 4 &&
               ((head[0] == 'I' && head[1] == 'I') || (head[0] == 'M' && head[1] == 'M'))) {
        probe.kind = Kind::Tiff;
    } else if (n >= 2 && head[0] == 'B' && head[1] == 'M') {
        probe.kind = Kind::Bmp;
    } else if (n >= 8 && std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) {
        probe.kind = Kind::Png;
    } else if (n >= 134 && IsGifSignature(head + 128)) {
        probe.kind = Kind::Gif;
    } else {
        std::string ext = Extension(path);
        if (ext == "gif") probe.kind = Kind::Gif;
        if (ext == "tif" || ext == "tiff") probe.kind = Kind::Tiff;
    }
    return probe;
}

std::string UnknownKindProblem(const Probe& probe) {
    if (probe.headBytes < kShortestImageFile) return "too short to be an image file";
    return "not a GIF, TIFF, BMP or PNG file";
}

qor::GifDescription DescribeGifFile(
    const std::string& path,
    const std::function<void(std::uint32_t index, const QorGifFrame&)>& frame) {
    using Each = std::function<void(std::uint32_t, const QorGifFrame&)>;
    qor::GifDescription d;
    auto hand = [](void* context, std::uint32_t index, const QorGifFrame& f) {
        (*static_cast<const Each*>(context))(index, f);
    };
    std::int16_t status =
        qor::DescribeGif(path.c_str(), &d, frame ? +hand : nullptr, const_cast<Each*>(&frame));
    if (status != 0) d.status = status;
    return d;
}

TiffFacts DescribeTiffFile(const std::string& path, std::uint32_t first, std::uint32_t last) {
    TiffFacts facts;
    facts.firstKept = first;
    struct Keep {
        TiffFacts* facts;
        std::uint32_t last;
    } keep{&facts, last};
    // The pages are kept as they come, in a deque: no copy of them all is ever made.
    auto take = [](void* context, std::uint32_t index, const qor::TiffPageDescription& page) {
        auto* k = static_cast<Keep*>(context);
        if (index + 1 >= k->facts->firstKept && index < k->last) k->facts->pages.push_back(page);
    };
    std::int16_t status = qor::DescribeTiffWith(path.c_str(), &facts.file, take, &keep,
                                                (ReadFlags() & QOR_READ_EXTENDED) != 0);
    if (status != 0) facts.file.status = status;
    return facts;
}

void NoteReadOutcome(TiffFacts* tiff, int status, std::uint32_t stoppedAtPage) {
    if (status == 0) {
        tiff->file.stopPage = 0;
        return;
    }
    if (stoppedAtPage == 0 || stoppedAtPage > tiff->pages.size()) return;
    tiff->file.stopPage = stoppedAtPage;
    tiff->pages[stoppedAtPage - 1].status = static_cast<std::int16_t>(status);
}

const char* CompressionName(unsigned compression) {
    switch (compression) {
        case 1:
            return "none";
        case 2:
            return "Modified Huffman";
        case 3:
            return "Group 3";
        case 4:
            return "Group 4";
        case 5:
            return "LZW";
        case 6:
            return "old-style JPEG";
        case 7:
            return "JPEG";
        case 8:
        case 32946:
            return "Deflate";
        case 32773:
            return "PackBits";
        case 34676:
            return "SGI LogLuv";
        case 34677:
            return "SGI LogL";
        case 34712:
            return "JPEG 2000";
        case 34887:
            return "LERC";
        case 34892:
            return "lossy JPEG";
        case 34925:
            return "LZMA";
        case 50000:
            return "Zstandard";
        case 50001:
            return "WebP";
        default:
            return "unknown";
    }
}

const char* PhotometricName(unsigned photometric) {
    switch (photometric) {
        case 0:
            return "white is zero";
        case 1:
            return "black is zero";
        case 2:
            return "RGB";
        case 3:
            return "palette";
        case 4:
            return "transparency mask";
        case 5:
            return "separated inks";
        case 6:
            return "YCbCr";
        case 8:
            return "CIE L*a*b*";
        case 9:
            return "ICC L*a*b*";
        case kPhotometricAbsent:
            return "not stated, or ITU L*a*b*";
        case 32844:
            return "LogL";
        case 32845:
            return "LogLuv";
        default:
            return "unknown";
    }
}

// Each status is explained by the rule of the reader that gives it, so the words always name
// the cause that decided the status, whatever else is wrong with the page.
std::string ExplainTiffPage(const qor::TiffPageDescription& p) {
    using qor::tiff::PageFault;
    const std::string compression = "compression " + std::to_string(p.compression) + " (" +
                                    CompressionName(p.compression) + ")";
    const std::string bits = std::to_string(p.bitsPerSample);
    switch (p.fault) {
        case PageFault::kNone:
            break;
        case PageFault::kNoWidthOrHeight:
        case PageFault::kTooLarge:
            return SideProblem(p.width, p.height);
        case PageFault::kNoStrips:
            if (p.tiled && (ReadFlags() & QOR_READ_EXTENDED) != 0 &&
                (p.tileWidth == 0 || p.tileLength == 0)) {
                return "the tile size is missing or zero (TileWidth " +
                       std::to_string(p.tileWidth) + ", TileLength " +
                       std::to_string(p.tileLength) + ")";
            }
            return FaultText(p.fault, (ReadFlags() & QOR_READ_EXTENDED) != 0);
        case PageFault::kBitsPerSample:
            if (p.bitsPerSample == 0) return "the samples of a pixel differ in size";
            return bits + " bits per sample are not supported (1, 4 or 8)";
        case PageFault::kSampleLayout:
            return std::to_string(p.samplesPerPixel) +
                   (p.samplesPerPixel == 1 ? " sample of " : " samples of ") + bits +
                   " bits with photometric " + std::to_string(p.photometric) + " (" +
                   PhotometricName(p.photometric) + ") " + (p.samplesPerPixel == 1 ? "is" : "are") +
                   " not supported";
        case PageFault::kPlanar:
            return "planar configuration " + std::to_string(p.planarConfig) +
                   (p.planarConfig == 2 ? " (separate planes)" : "") + " is not supported";
        case PageFault::kPredictor:
            return "predictor " + std::to_string(p.predictor) + " is not supported";
        case PageFault::kPredictorNeedsLzw:
        case PageFault::kTwoValueColorMap:
        case PageFault::kColorMapCount:
        case PageFault::kFaxTwoDimensional:
        case PageFault::kFaxUncompressed:
        case PageFault::kSampleFormat:
        case PageFault::kTileTooLarge:
        case PageFault::kOldStyleLzw:
        case PageFault::kYCbCrSubsampling:
            return FaultText(p.fault, (ReadFlags() & QOR_READ_EXTENDED) != 0);
        case PageFault::kCodingSamples:
            return compression + " does not hold " +
                   Counted(p.samplesPerPixel, "sample", "samples") + " of " + bits +
                   " bits a pixel";
        case PageFault::kCompression:
            return compression + " is not supported";
    }
    switch (p.status) {
        case 0:
            return {};
        case QOR_TIFF_COMPRESSION:
            return compression + " is not supported";
        default:
            // A decoding that failed: a classic read fails the old kind of LZW data as damaged
            // data; an extended read decodes it, so that there it is damaged.
            if (p.oldStyleLzw && (ReadFlags() & QOR_READ_EXTENDED) == 0)
                return "old-style LZW data (codes stored lowest bit first) is not supported";
            if (p.oldStyleLzw)
                return "the old-style LZW data (codes stored lowest bit first) is damaged";
            return StatusText(p.status);
    }
}

std::string DataEndedText(Kind kind, const qor::PageEnd& end, std::uint32_t gifHeight) {
    std::string rows = std::to_string(end.firstBlankRow);
    if (kind == Kind::Gif) {
        // An interlaced image's blank rows are spread over the image: name the first one.
        return "the image data ends early; the first blank row is " + rows + " of " +
               std::to_string(gifHeight);
    }
    return "page " + std::to_string(end.page) + ": the strips end before row " + rows +
           "; the rows from there on are blank";
}

std::string DamagedRowsText(const qor::DamagedRows& damage) {
    const std::uint32_t last = damage.firstRow + damage.rows - 1;
    return "page " + std::to_string(damage.page) + ": " + StatusText(damage.status) + " (status " +
           std::to_string(damage.status) + ") in a strip or tile; " +
           (damage.rows == 1 ? "row " + std::to_string(damage.firstRow) + " (from 0 at the top) is"
                             : "rows " + std::to_string(damage.firstRow) + " to " +
                                   std::to_string(last) + " (from 0 at the top) are") +
           " left blank there";
}

std::string ExplainReadFailure(const std::string& path, const Probe& probe, int status,
                               std::uint32_t stoppedAtPage) {
    if (probe.openError != 0) return std::strerror(probe.openError);
    if (status == QOR_OPEN_FAILED) {
        int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) return std::strerror(errno);
        ::close(fd);
    }
    if (status == QOR_CANCELLED) return StatusText(status);
    if (probe.kind == Kind::Gif) return ExplainGif(DescribeGifFile(path), status);
    if (probe.kind == Kind::Tiff) {
        TiffFacts tiff = DescribeTiffFile(path);
        NoteReadOutcome(&tiff, status, stoppedAtPage);
        return ExplainTiff(tiff, status);
    }
    return StatusText(status);
}

std::string ExplainGif(const qor::GifDescription& gif, int status) {
    // The blocks explain a status only when they decided it: a read can also fail in the data.
    if (gif.status == status && gif.fault != qor::GifFault::kNone) return ExplainGifBlocks(gif);
    return StatusText(status);
}

std::string ExplainTiff(const TiffFacts& tiff, int status) {
    if (tiff.file.fault != qor::TiffFault::kNone) return ExplainTiffFile(tiff.file);
    const auto& pages = tiff.pages;
    const std::uint32_t stop = tiff.file.stopPage;
    if (stop != 0) {
        std::string why = ExplainTiffPage(pages[stop - 1]);
        if (pages.size() == 1) return why;
        return "page " + std::to_string(stop) + " of " + std::to_string(pages.size()) + ": " + why +
               "; such a page ends the read, and no page is delivered";
    }
    bool anyDecodable = false;
    for (const auto& page : pages) anyDecodable = anyDecodable || page.status == 0;
    if (!anyDecodable && !pages.empty()) {
        // The read gives the status of page 1's refusal.
        std::string why = ExplainTiffPage(pages[0]);
        return pages.size() == 1 ? why : "no page can be decoded; page 1: " + why;
    }
    return StatusText(status);
}

}  // namespace qorimg_tool
