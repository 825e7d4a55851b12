#include "diagnose.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/bytes.h"
#include "qorimg/qorimg.h"
#include "tiff/reader.h"
#include "tiff/tags.h"
#include "tiff/tiff.h"

namespace qorimg_tool {
namespace {

// The largest width or height the readers deliver.
constexpr std::uint32_t kMaxSide = 32767;
// No GIF, TIFF, BMP or PNG file that holds an image is this short.
constexpr std::uint64_t kShortestImageFile = 14;
constexpr std::size_t kGifHeaderBytes = 13;  // signature and logical screen descriptor
constexpr std::uint64_t kTiffHeaderBytes = 8;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool ReadBytes(std::FILE* f, void* out, std::size_t n) {
    return std::fread(out, 1, n, f) == n;
}

std::string Hex(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", v & 0xFFu);
    return text;
}

bool IsGifSignature(const std::uint8_t* p) {
    return std::memcmp(p, "GIF8", 4) == 0 && (p[4] == '7' || p[4] == '9') && p[5] == 'a';
}

// Skips data sub-blocks up to and including the zero-length one.
bool SkipSubBlocks(std::FILE* f) {
    for (;;) {
        int size = std::fgetc(f);
        if (size == EOF) return false;
        if (size == 0) return true;
        if (std::fseek(f, size, SEEK_CUR) != 0) return false;
    }
}

std::string SideProblem(std::uint32_t width, std::uint32_t height) {
    if (width == 0) return "the image is 0 pixels wide";
    if (height == 0) return "the image is 0 pixels tall";
    if (width > kMaxSide) return std::to_string(width) + " pixels wide; at most 32767";
    if (height > kMaxSide) return std::to_string(height) + " pixels tall; at most 32767";
    return {};
}

// The first image's descriptor, local colour table and code size; `block` holds the 9 bytes
// after the introducer.
void TakeFirstImage(std::FILE* f, const std::uint8_t* block, GifSummary* s) {
    s->left = qor::LoadLE16(block);
    s->top = qor::LoadLE16(block + 2);
    s->width = qor::LoadLE16(block + 4);
    s->height = qor::LoadLE16(block + 6);
    // Zero in the descriptor means the screen's size, as the reader takes it.
    if (s->width == 0) s->width = s->screenWidth;
    if (s->height == 0) s->height = s->screenHeight;
    s->interlaced = (block[8] & 0x40) != 0;
    if (s->problem.empty()) s->problem = SideProblem(s->width, s->height);
    if ((block[8] & 0x80) != 0) std::fseek(f, 3L << ((block[8] & 7) + 1), SEEK_CUR);
    int codeSize = std::fgetc(f);
    if (codeSize != EOF && (codeSize < 2 || codeSize > 11) && s->problem.empty()) {
        s->problem = "LZW minimum code size " + std::to_string(codeSize) + "; 2 to 11 decode";
    }
    if (codeSize != EOF) std::ungetc(codeSize, f);
}

// Walks the blocks after the header and global table, counting images.
void WalkGifBlocks(std::FILE* f, GifSummary* s) {
    for (;;) {
        long at = std::ftell(f);
        int introducer = std::fgetc(f);
        if (introducer == 0x3B && s->frames == 0 && s->problem.empty()) {
            s->problem = "the file holds no image: its trailer comes before any";
        }
        if (introducer == EOF || introducer == 0x3B) break;
        if (introducer == 0x21) {
            int label = std::fgetc(f);
            bool known = label == 0xF9 || label == 0x01 || label == 0xFF || label == 0xFE;
            if (s->frames == 0 && !known && s->problem.empty()) {
                s->problem = "unknown extension " + Hex(static_cast<unsigned>(label)) +
                             " before the first image";
            }
            if (label == EOF || !SkipSubBlocks(f)) break;
        } else if (introducer == 0x2C) {
            std::uint8_t block[9];
            if (!ReadBytes(f, block, sizeof block)) break;
            if (s->frames == 0) {
                TakeFirstImage(f, block, s);
            } else if ((block[8] & 0x80) != 0) {
                std::fseek(f, 3L << ((block[8] & 7) + 1), SEEK_CUR);
            }
            ++s->frames;
            if (std::fgetc(f) == EOF || !SkipSubBlocks(f)) break;
        } else {
            if (s->frames == 0 && s->problem.empty()) {
                s->problem = "byte " + Hex(static_cast<unsigned>(introducer)) + " at offset " +
                             std::to_string(at) + " where a block should start";
            }
            break;
        }
    }
    if (s->frames == 0 && s->problem.empty()) s->problem = "the file ends before the first image";
}

using namespace qor::tiff;

// True when the directory at `offset` has TileWidth, TileLength, TileOffsets or TileByteCounts.
bool HasTileTags(std::FILE* f, std::uint32_t offset, bool littleEndian) {
    std::uint8_t count[2];
    if (fseeko(f, offset, SEEK_SET) != 0 || !ReadBytes(f, count, 2)) return false;
    for (unsigned n = qor::Load16(count, littleEndian); n > 0; --n) {
        std::uint8_t entry[12];
        if (!ReadBytes(f, entry, sizeof entry)) return false;
        std::uint16_t tag = qor::Load16(entry, littleEndian);
        if (tag >= qor::tiff::kTagTileWidth && tag <= qor::tiff::kTagTileByteCounts) return true;
        if (tag > qor::tiff::kTagTileByteCounts) return false;  // tags are sorted
    }
    return false;
}

// True when the page's first strip starts as LZW data of the old kind does: a zero byte, then
// one with its lowest bit set (its codes are stored least significant bit first, and the first
// is a clear code). Data of the kind that the reader decodes starts with a clear code, 0x80.
bool StartsAsOldStyleLzw(qor::HFILE file, const qor::tiff::TiffPage& page) {
    qor::tiff::StripWalker walk;
    qor::tiff::StripSpan strip;
    std::uint8_t head[2];
    return page.compression == kCompressionLzw && walk.Start(file, page) == 0 &&
           walk.Next(&strip) == 0 && qor::plat::_lread(file, head, 2) == 2 && head[0] == 0 &&
           (head[1] & 1) != 0;
}

TiffPageSummary Summarise(const qor::tiff::TiffPage& page) {
    TiffPageSummary s;
    s.width = page.imageWidth;
    s.height = page.imageLength;
    s.bitsPerSample = page.bitsPerSample;
    s.samplesPerPixel = page.samplesPerPixel;
    s.photometric = page.photometric;
    s.compression = page.compression;
    s.planarConfig = page.planarConfig;
    s.predictor = page.predictor;
    s.t4Options = page.t4Options;
    s.t6Options = page.t6Options;
    s.strips = page.stripCount;
    s.rowsPerStrip = page.rowsPerStrip;
    s.fault = qor::tiff::CheckTiffPage(page);
    s.status = qor::tiff::StatusOfFault(s.fault);
    // Validation passes compressions without a decoder and sample layouts without a DIB form;
    // report those as the read does.
    if (s.status == 0 && qor::tiff::SelectStripDecoder(page.compression) == nullptr) {
        s.status = QOR_TIFF_COMPRESSION;
    }
    return s;
}

std::string HeaderCut(std::uint64_t size) {
    return "the file ends inside the TIFF header (" + std::to_string(size) + " of 8 bytes)";
}

std::string TiffHeaderProblem(const std::string& path, int status) {
    File f(std::fopen(path.c_str(), "rb"));
    std::uint8_t head[8] = {};
    std::size_t n = f ? std::fread(head, 1, sizeof head, f.get()) : 0;
    if (status == QOR_NOT_TIFF) return "no TIFF byte-order mark (II or MM) at the start";
    if (status == QOR_TIFF_MAGIC_OR_OPTIONS && n >= 4) {
        unsigned magic = qor::Load16(head + 2, head[0] == 'I');
        if (magic == 43) return "BigTIFF files (magic number 43) are not supported";
        return "TIFF magic number " + std::to_string(magic) + "; expected 42";
    }
    return HeaderCut(n);
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

GifSummary InspectGif(const std::string& path) {
    GifSummary s;
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) return s;
    std::uint8_t header[kGifHeaderBytes];
    std::size_t got = std::fread(header, 1, sizeof header, f.get());
    if (got >= 6 && got < sizeof header && IsGifSignature(header)) {
        s.problem = "the file ends inside the GIF header (" + std::to_string(got) + " of 13 bytes)";
        return s;
    }
    bool read = got == sizeof header;
    if (!read || !IsGifSignature(header)) {
        read = std::fseek(f.get(), 128, SEEK_SET) == 0 && ReadBytes(f.get(), header, sizeof header);
        if (!read || !IsGifSignature(header)) {
            s.problem = "no GIF signature at the start or after a 128-byte prefix";
            return s;
        }
    }
    s.parsed = true;
    s.version = static_cast<char>(header[4]);
    s.screenWidth = qor::LoadLE16(header + 6);
    s.screenHeight = qor::LoadLE16(header + 8);
    if ((header[10] & 0x80) != 0) std::fseek(f.get(), 3L << ((header[10] & 7) + 1), SEEK_CUR);
    WalkGifBlocks(f.get(), &s);
    return s;
}

TiffSummary InspectTiff(const std::string& path) {
    using namespace qor;
    TiffSummary summary;
    HFILE file = plat::_lopen(path.c_str(), 0);
    if (file == plat::HFILE_ERROR) {
        summary.status = QOR_OPEN_FAILED;
        summary.problem = QorStatusText(QOR_OPEN_FAILED);
        return summary;
    }
    std::uint16_t byteOrder = 0;
    std::uint32_t offset = 0;
    summary.status = tiff::ReadTiffHeader(file, &byteOrder, &offset);
    std::uint16_t count = 0;
    if (summary.status != 0) {
        summary.problem = TiffHeaderProblem(path, summary.status);
    } else {
        // The same chain as the reader walks: the count ends loops and over-long chains.
        const std::int16_t chain = tiff::CountTiffPages(file, offset, byteOrder, &count);
        const std::uint64_t size = plat::GetFileSize(file, nullptr);
        if (size < kTiffHeaderBytes) {
            // The directory's offset is cut short, and reads as none.
            count = 0;
            summary.status = QOR_BAD_REQUEST;
            summary.problem = HeaderCut(size);
        } else if (chain != 0 && std::uint64_t{offset} + 2 <= size) {
            count = 0;
            summary.status = chain;
            summary.problem = "the file could not be read";
        } else if (std::uint64_t{offset} + 2 > size) {
            // A file cut short loses the directory that most writers put after the data.
            count = 0;
            summary.status = QOR_READ_FAILED;
            summary.problem = "the file ends before its image directory (offset " +
                              std::to_string(offset) + ", past the file's " + std::to_string(size) +
                              " bytes)";
        } else if (count == 0) {
            summary.status = QOR_BAD_REQUEST;
            summary.problem = offset == 0
                                  ? "the header names no image directory (offset 0)"
                                  : "no image directory at offset " + std::to_string(offset);
        }
    }
    File raw(count != 0 ? std::fopen(path.c_str(), "rb") : nullptr);
    for (std::uint16_t i = 0; i < count; ++i) {
        tiff::TiffPage page{};
        page.byteOrder = byteOrder;
        std::uint32_t at = offset;
        tiff::ParseTiffDirectory(file, &page, &offset);
        TiffPageSummary s = Summarise(page);
        s.tiled = raw && HasTileTags(raw.get(), at, tiff::IsLittleEndian(byteOrder));
        s.oldStyleLzw = s.status == 0 && StartsAsOldStyleLzw(file, page);
        summary.pages.push_back(s);
        // A page that validation passes but that has no decoder ends the read.
        if (summary.stopPage == 0 && s.status == QOR_TIFF_COMPRESSION) summary.stopPage = i + 1u;
    }
    plat::_lclose(file);
    return summary;
}

void NoteReadOutcome(TiffSummary* tiff, int status, std::uint32_t stoppedAtPage) {
    if (status == 0) {
        tiff->stopPage = 0;
        return;
    }
    if (stoppedAtPage == 0 || stoppedAtPage > tiff->pages.size()) return;
    tiff->stopPage = stoppedAtPage;
    tiff->pages[stoppedAtPage - 1].status = status;
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
        case 34712:
            return "JPEG 2000";
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
std::string ExplainTiffPage(const TiffPageSummary& p) {
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
            // The reader walks strips only, so a tiled page is one without strips.
            if (p.tiled) return "tiled TIFF pages are not supported";
            return FaultText(p.fault);
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
        case PageFault::kPredictorNeedsLzw:
            if (p.compression != kCompressionLzw) {
                return "predictor 2 with " + compression + " is not supported; only with LZW";
            }
            return "predictor 2 needs 8 bits per sample";
        case PageFault::kPredictor:
            return "predictor " + std::to_string(p.predictor) + " is not supported";
        case PageFault::kTwoValueColorMap:
        case PageFault::kFaxTwoDimensional:
        case PageFault::kFaxUncompressed:
            return FaultText(p.fault);
    }
    switch (p.status) {
        case 0:
            return {};
        case QOR_TIFF_COMPRESSION:
            return compression + " is not supported";
        default:
            // A decoding that failed: the old kind of LZW data fails as damaged data would.
            if (p.oldStyleLzw)
                return "old-style LZW data (codes stored lowest bit first) is not supported";
            return QorStatusText(p.status);
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

std::string ExplainReadFailure(const std::string& path, const Probe& probe, int status,
                               std::uint32_t stoppedAtPage) {
    if (probe.openError != 0) return std::strerror(probe.openError);
    if (status == QOR_OPEN_FAILED) {
        int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) return std::strerror(errno);
        ::close(fd);
    }
    if (status == QOR_CANCELLED) return QorStatusText(status);
    if (probe.kind == Kind::Gif) {
        GifSummary gif = InspectGif(path);
        if (!gif.problem.empty() && status != QOR_GIF_CODE_OVERFLOW) return gif.problem;
    } else if (probe.kind == Kind::Tiff) {
        TiffSummary tiff = InspectTiff(path);
        NoteReadOutcome(&tiff, status, stoppedAtPage);
        if (!tiff.problem.empty()) return tiff.problem;
        const auto& pages = tiff.pages;
        if (tiff.stopPage != 0) {
            std::string why = ExplainTiffPage(pages[tiff.stopPage - 1]);
            if (pages.size() == 1) return why;
            return "page " + std::to_string(tiff.stopPage) + " of " + std::to_string(pages.size()) +
                   ": " + why + "; such a page ends the read, and no page is delivered";
        }
        bool anyDecodable = false;
        for (const auto& page : pages) anyDecodable = anyDecodable || page.status == 0;
        if (!anyDecodable && !pages.empty()) {
            // The read gives the status of page 1's refusal.
            std::string why = ExplainTiffPage(pages[0]);
            return pages.size() == 1 ? why : "no page can be decoded; page 1: " + why;
        }
    }
    return QorStatusText(status);
}

}  // namespace qorimg_tool
