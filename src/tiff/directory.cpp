// The TIFF header, the IFD chain and the directory parser. Entries and their values are read
// through two small windows of the file. Where the file ends, an entry field that it cuts is 0,
// values that it does not hold are not loaded, and the parse goes on; a read that fails, or that
// brings fewer bytes than the file holds there, ends the read with 202, so that a damaged read
// never passes for data (a next-directory offset of 0 would drop pages, a count of 0 invent them).
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>

#include "platform/bytes.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

namespace qor::tiff {
namespace {

using plat::SeekTo;

// The file's size, or 2^32 - 1 when the system cannot tell (offsets are 32-bit in any case).
std::uint64_t SizeOf(HFILE file) {
    return plat::GetFileSize(file, nullptr);
}

// Reads the bytes at [offset, offset + count) that the file holds, `fileSize` long, into `out`;
// *got is how many that is. False when the read fails or brings fewer.
bool ReadAt(HFILE file, std::uint64_t fileSize, std::uint64_t offset, std::uint8_t* out,
            std::uint32_t count, std::uint32_t* got) {
    *got = offset >= fileSize
               ? 0
               : static_cast<std::uint32_t>(std::min<std::uint64_t>(count, fileSize - offset));
    if (*got == 0) return true;
    return SeekTo(file, offset) && plat::_lread(file, out, *got) == static_cast<std::int32_t>(*got);
}

// A window of the file that serves small reads at nearby offsets with one system call: the
// entries of a directory, or the values that a writer stores after them.
class FileWindow {
  public:
    FileWindow(HFILE file, std::uint64_t fileSize) : file_(file), fileSize_(fileSize) {}

    // As ReadAt, `count` at most 64.
    bool Read(std::uint64_t offset, std::uint8_t* out, std::uint32_t count, std::uint32_t* got) {
        *got = 0;
        if (offset >= fileSize_) return true;
        const std::uint64_t want = std::min<std::uint64_t>(count, fileSize_ - offset);
        if (offset < start_ || offset + want > start_ + fill_) {
            start_ = offset;
            fill_ = 0;
            if (!ReadAt(file_, fileSize_, offset, bytes_, kSize, &fill_)) {
                fill_ = 0;
                return false;
            }
        }
        std::memcpy(out, bytes_ + (offset - start_), static_cast<std::size_t>(want));
        *got = static_cast<std::uint32_t>(want);
        return true;
    }

  private:
    static constexpr std::uint32_t kSize = 8192;
    HFILE file_;
    std::uint64_t fileSize_;
    std::uint64_t start_ = 0;  // file offset of bytes_[0]
    std::uint32_t fill_ = 0;
    std::uint8_t bytes_[kSize];
};

// The 16 bits stored in the first two bytes of a raw value field.
std::uint16_t FirstShort(std::uint32_t raw, bool littleEndian) {
    return static_cast<std::uint16_t>(littleEndian ? raw & 0xFFFF : raw >> 16);
}

std::uint16_t Low16(std::uint32_t v) {
    return static_cast<std::uint16_t>(v & 0xFFFF);
}

void WriteDefaults(TiffPage* page) {
    page->newSubfileType = 0;
    page->subfileType = 0;
    page->imageWidth = 0;
    page->imageLength = 0;
    page->bitsPerSample = 1;
    page->compression = 1;
    page->photometric = kPhotometricAbsent;
    page->fillOrder = 1;
    page->stripOffsets = 0;
    page->stripOffsetSize = 4;
    page->samplesPerPixel = 1;
    page->rowsPerStrip = 0;
    page->stripByteCounts = 0;
    page->planarConfig = 1;
    page->t4Options = 0;
    page->t6Options = 0;
    page->grayResponseUnit = 0;
    page->pageNumber = 0;
    page->pageTotal = 0;
    page->predictor = 1;
    page->colorMapOffset = 0;
    page->colorMapCount = 2;
    page->stripCount = 0;
    page->extraSamples = 0;
    page->extraSampleCount = 0;
    page->damaged = nullptr;
    page->byteCountArray = 0;
    page->byteCountCount = 0;
    page->byteCountSize = 4;
    page->tileTags = false;
    page->jpegTablesOffset = 0;
    page->jpegTablesCount = 0;
    page->tileCount = 0;
    page->tileWidth = 0;
    page->tileLength = 0;
    page->sampleFormat = kSampleFormatUnsigned;
    page->orientation = 1;
    page->resolutionUnit = 2;
    page->xResolutionAt = page->yResolutionAt = 0;
    page->softwareAt = page->softwareCount = 0;
    page->dateTimeAt = page->dateTimeCount = 0;
    page->ycbcrSubsampling[0] = page->ycbcrSubsampling[1] = 2;
    page->referenceBlackWhiteAt = 0;
}

// The most values of one entry that the parser loads: enough for every tag whose values it
// compares or keeps.
constexpr std::uint32_t kMaxValues = 10;

// One directory entry as read from the file.
struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count, raw;
    std::uint64_t at;  // file offset of the entry
};

// The value of `size` (2 or 4) bytes at `p` in the given order.
std::uint32_t Assemble(const std::uint8_t* p, std::uint32_t size, bool littleEndian) {
    return size == 2 ? Load16(p, littleEndian) : Load32(p, littleEndian);
}

// Bytes of one value of a type the parser understands; 0 for any other type.
std::uint32_t TypeSize(std::uint16_t type) {
    return type == kTypeShort ? 2 : type == kTypeLong ? 4 : 0;
}

// Bytes of one value of the types that only a description reports.
std::uint32_t DescribedTypeSize(std::uint16_t type) {
    return type == kTypeAscii ? 1 : type == kTypeRational ? 8 : 0;
}

// True when the entry's values fit in four bytes and so are held in its own value field; else
// the field is the offset of their array.
bool InField(const Entry& e) {
    return std::uint64_t{e.count} * TypeSize(e.type) <= 4;
}

// The file offset of the entry's values.
std::uint32_t ValuesAt(const Entry& e) {
    return InField(e) ? static_cast<std::uint32_t>(e.at + 8) : e.raw;
}

// Tags whose effect is taken from where the entry's values lie, not from the values.
bool TakesLocation(std::uint16_t tag) {
    return tag == kTagStripOffsets || tag == kTagGrayResponseCurve || tag == kTagColorMap ||
           tag == kTagJpegTables || tag == kTagReferenceBlackWhite;
}

// The resolutions and the Software and DateTime strings, which only a description reports: the
// page keeps where their values lie (a RATIONAL is never in the entry's own field), and the
// description reads them. Entries of another type are ignored.
void ApplyDescribedTag(TiffPage* page, const Entry& e) {
    const bool text = e.tag == kTagSoftware || e.tag == kTagDateTime;
    if (e.count == 0 || DescribedTypeSize(e.type) != (text ? 1u : 8u)) return;
    if (!text) {
        (e.tag == kTagXResolution ? page->xResolutionAt : page->yResolutionAt) = e.raw;
        return;
    }
    const std::uint32_t at = e.count <= 4 ? static_cast<std::uint32_t>(e.at + 8) : e.raw;
    (e.tag == kTagSoftware ? page->softwareAt : page->dateTimeAt) = at;
    (e.tag == kTagSoftware ? page->softwareCount : page->dateTimeCount) = e.count;
}

bool IsDescribedTag(std::uint16_t tag) {
    return tag == kTagXResolution || tag == kTagYResolution || tag == kTagSoftware ||
           tag == kTagDateTime;
}

// StripOffsets, GrayResponseCurve, ColorMap and JPEGTables: the page keeps where their values are
// and how many there are, and the strip walk, the colour table and the JPEG codec read them.
void ApplyLocationTag(TiffPage* page, const Entry& e, bool littleEndian) {
    switch (e.tag) {
        case kTagStripOffsets:
            // Offsets of another type are no offsets: the page is left without strips.
            if (TypeSize(e.type) == 0) break;
            // One offset is the value itself; several are an array, which for two SHORTs is the
            // entry's own value field.
            if (e.count == 1) {
                page->stripOffsets = e.type == kTypeShort ? FirstShort(e.raw, littleEndian) : e.raw;
            } else {
                page->stripOffsets = ValuesAt(e);
            }
            page->stripCount = e.count;
            page->stripOffsetSize = static_cast<std::uint16_t>(TypeSize(e.type));
            break;
        case kTagJpegTables:
            // Bytes, of any 8-bit type; a stream of four bytes or fewer holds no table.
            if (e.count > 4 && (e.type == kTypeUndefined || e.type == 1)) {
                page->jpegTablesOffset = e.raw;
                page->jpegTablesCount = e.count;
            }
            break;
        case kTagReferenceBlackWhite:
            // Six RATIONALs (never in the entry's own field); an entry of another type or count
            // is ignored, and the page keeps the default references.
            if (e.type == kTypeRational && e.count == 6) page->referenceBlackWhiteAt = e.raw;
            break;
        case kTagGrayResponseCurve:
        case kTagColorMap:
            // Both tables are read as 16-bit values: one of another type, an empty one, or one of
            // more values than the page's count holds is ignored rather than misread.
            if (e.type != kTypeShort || e.count == 0 || e.count > 0xFFFF) break;
            page->colorMapOffset = ValuesAt(e);
            page->colorMapCount = Low16(e.count);
            // A ColorMap turns off a grey response curve of the same directory.
            if (e.tag == kTagColorMap) page->grayResponseUnit = 0;
            break;
        default:
            break;
    }
}

// Tags whose values the parser reads.
bool TakesValues(std::uint16_t tag) {
    switch (tag) {
        case kTagNewSubfileType:
        case kTagSubfileType:
        case kTagImageWidth:
        case kTagImageLength:
        case kTagBitsPerSample:
        case kTagCompression:
        case kTagPhotometric:
        case kTagFillOrder:
        case kTagSamplesPerPixel:
        case kTagRowsPerStrip:
        case kTagStripByteCounts:
        case kTagPlanarConfig:
        case kTagGrayResponseUnit:
        case kTagT4Options:
        case kTagT6Options:
        case kTagPageNumber:
        case kTagPredictor:
        case kTagExtraSamples:
        case kTagSampleFormat:
        case kTagOrientation:
        case kTagResolutionUnit:
        case kTagYCbCrSubSampling:
            return true;
        default:
            return false;
    }
}

// Loads the first values of the entry (at most kMaxValues) into `values`; *loaded is how many
// arrived whole. Other types, a count of 0 and an array outside the file load none, so that a
// tag never sees values that are not its own. False when the read fails.
bool LoadValues(FileWindow* in, const Entry& e, bool littleEndian, std::uint32_t* values,
                std::uint32_t* loaded) {
    *loaded = 0;
    const std::uint32_t size = TypeSize(e.type);
    if (size == 0 || e.count == 0) return true;
    const std::uint32_t n = std::min(e.count, kMaxValues);
    std::uint8_t bytes[4 * kMaxValues] = {};
    std::uint32_t got = 4;
    if (!InField(e)) {
        if (!in->Read(e.raw, bytes, size * n, &got)) return false;
    } else if (littleEndian) {
        StoreLE32(bytes, e.raw);
    } else {
        StoreBE32(bytes, e.raw);
    }
    *loaded = std::min(n, got / size);
    for (std::uint32_t k = 0; k < *loaded; ++k) {
        values[k] = Assemble(bytes + size * k, size, littleEndian);
    }
    return true;
}

// The tile entries of a directory (the last of each tag), kept until the whole directory is
// parsed: only then is it known whether the page is tiled.
struct TileEntries {
    bool width = false, length = false, offsets = false, byteCounts = false;
    Entry offsetsEntry{}, byteCountsEntry{};
};

// Acts on one entry. An entry that cannot be taken as its tag needs (no value of its own, or a
// type that does not fit) is ignored: the field keeps its default, or what an earlier entry of
// the same tag gave it. False when reading its values fails.
bool ApplyTag(FileWindow* in, TiffPage* page, const Entry& e, bool littleEndian,
              TileEntries* tiles) {
    switch (e.tag) {
        case kTagTileWidth:
            tiles->width = true;
            break;
        case kTagTileLength:
            tiles->length = true;
            break;
        case kTagTileOffsets:
            tiles->offsets = true;
            tiles->offsetsEntry = e;
            return true;
        case kTagTileByteCounts:
            tiles->byteCounts = true;
            tiles->byteCountsEntry = e;
            return true;
        default:
            break;
    }
    if (IsDescribedTag(e.tag)) {
        ApplyDescribedTag(page, e);
        return true;
    }
    if (TakesLocation(e.tag)) {
        ApplyLocationTag(page, e, littleEndian);
        return true;
    }
    const bool tileValues = page->extended && (e.tag == kTagTileWidth || e.tag == kTagTileLength);
    if (!TakesValues(e.tag) && !tileValues) return true;
    std::uint32_t values[kMaxValues] = {};
    std::uint32_t loaded = 0;
    if (!LoadValues(in, e, littleEndian, values, &loaded)) return false;
    if (loaded == 0) return true;
    const std::uint32_t first = values[0];
    // The fields below that hold 16 bits take no LONG value above 65535: such an entry is
    // ignored rather than cut to its low bits.
    const bool fits16 = first <= 0xFFFF;
    switch (e.tag) {
        case kTagNewSubfileType:
            page->newSubfileType = first;
            break;
        case kTagSubfileType:
            if (fits16) page->subfileType = Low16(first);
            break;
        case kTagImageWidth:
            page->imageWidth = first;
            break;
        case kTagImageLength:
            page->imageLength = first;
            break;
        case kTagBitsPerSample:
            page->bitsPerSample = fits16 ? Low16(first) : 0;
            // Values past those loaded (more than the array holds, or cut off by the end of the
            // file) cannot be known to agree.
            if (loaded < e.count) page->bitsPerSample = 0;
            for (std::uint32_t k = 0; k < loaded; ++k) {
                if (values[k] != first) page->bitsPerSample = 0;
            }
            break;
        case kTagCompression:
            if (fits16) page->compression = Low16(first);
            break;
        case kTagPhotometric:
            if (fits16) page->photometric = Low16(first);
            break;
        case kTagFillOrder:
            if (fits16) page->fillOrder = Low16(first);
            break;
        case kTagSamplesPerPixel:
            if (fits16) page->samplesPerPixel = Low16(first);
            break;
        case kTagRowsPerStrip:
            page->rowsPerStrip = first;
            break;
        case kTagTileWidth:
            page->tileWidth = first;
            break;
        case kTagTileLength:
            page->tileLength = first;
            break;
        case kTagSampleFormat:
            if (fits16) page->sampleFormat = Low16(first);
            break;
        case kTagStripByteCounts:
            page->stripByteCounts = first;
            // Located as the offsets are: one value is the value itself, several an array.
            page->byteCountArray = e.count == 1 ? first : ValuesAt(e);
            page->byteCountCount = e.count;
            page->byteCountSize = static_cast<std::uint16_t>(TypeSize(e.type));
            break;
        case kTagPlanarConfig:
            if (fits16) page->planarConfig = Low16(first);
            break;
        case kTagGrayResponseUnit:
            if (fits16) page->grayResponseUnit = Low16(first);
            break;
        case kTagT4Options:
            page->t4Options = first;
            break;
        case kTagT6Options:
            page->t6Options = first;
            break;
        case kTagPageNumber:
            if (!fits16) break;
            page->pageNumber = Low16(first);
            page->pageTotal = loaded > 1 && values[1] <= 0xFFFF ? Low16(values[1]) : 0;
            break;
        case kTagPredictor:
            if (fits16) page->predictor = Low16(first);
            break;
        case kTagExtraSamples:
            page->extraSamples =
                Low16(e.count > 1 ? std::min<std::uint32_t>(e.count, 0xFFFF) : first);
            page->extraSampleCount = e.count;
            break;
        case kTagOrientation:
            if (fits16) page->orientation = Low16(first);
            break;
        case kTagResolutionUnit:
            if (fits16) page->resolutionUnit = Low16(first);
            break;
        case kTagYCbCrSubSampling:
            // Both values or neither: validation refuses those it cannot take.
            if (loaded >= 2 && fits16 && values[1] <= 0xFFFF) {
                page->ycbcrSubsampling[0] = Low16(first);
                page->ycbcrSubsampling[1] = Low16(values[1]);
            }
            break;
        default:
            break;
    }
    return true;
}

// Decides whether the page is tiled, and for an extended read makes the tiles its strips. A
// page is tiled when it has all that tiles need, TileWidth, TileLength and TileOffsets, as libtiff
// and ImageMagick decide it from the tile size: a stray tile entry on a page of strips (a
// TileByteCounts left by an editor) is ignored, and the page read by its strips. False when
// reading the byte counts fails.
bool ApplyTileEntries(FileWindow* in, TiffPage* page, const TileEntries& tiles, bool littleEndian) {
    page->tileTags = tiles.width && tiles.length && tiles.offsets;
    if (!page->tileTags) return true;
    page->tileCount = tiles.offsetsEntry.count;
    if (!page->extended) return true;
    // An extended read walks the tiles as strips: their offsets and byte counts take the
    // strips' place.
    Entry asStrips = tiles.offsetsEntry;
    asStrips.tag = kTagStripOffsets;
    ApplyLocationTag(page, asStrips, littleEndian);
    if (!tiles.byteCounts) return true;
    Entry counts = tiles.byteCountsEntry;
    counts.tag = kTagStripByteCounts;
    TileEntries none;
    return ApplyTag(in, page, counts, littleEndian, &none);
}

}  // namespace

std::int16_t ReadTiffHeader(HFILE file, std::uint16_t* byteOrder, std::uint32_t* firstOffset) {
    // Where the file ends within the header, the magic number or the first offset reads as 0, as
    // a file cut there has always read; a read that fails is 202.
    std::uint8_t h[8] = {};
    std::uint32_t got = 0;
    if (!ReadAt(file, SizeOf(file), 0, h, 8, &got) || got < 2) return QOR_READ_FAILED;
    if (h[0] != 'I' && h[0] != 'M') return QOR_NOT_TIFF;
    const std::uint16_t order = LoadLE16(h);
    const bool little = IsLittleEndian(order);
    if (got < 4 || Load16(h + 2, little) != 42) return QOR_TIFF_MAGIC_OR_OPTIONS;
    *byteOrder = order;
    *firstOffset = got < 8 ? 0 : Load32(h + 4, little);
    return 0;
}

std::int16_t CountTiffPages(HFILE file, std::uint32_t firstOffset, std::uint16_t byteOrder,
                            std::uint16_t* pages) {
    std::uint32_t unused = 0;
    return WalkTiffChain(file, firstOffset, byteOrder, 0xFFFF, 0, pages, &unused);
}

std::int16_t WalkTiffChain(HFILE file, std::uint32_t firstOffset, std::uint16_t byteOrder,
                           std::uint32_t most, std::uint32_t index, std::uint16_t* pages,
                           std::uint32_t* indexOffset) {
    // The chain ends at a directory whose bytes meet those of a directory already counted: an
    // offset visited before (a loop), or one inside an earlier directory. Directories of a chain
    // that goes on therefore never overlap, and the entries of all of them together are bounded
    // by the size of the file. It also ends at a directory that lies past the end of the file,
    // and where the file ends before a directory's next offset.
    *pages = 0;
    const bool little = IsLittleEndian(byteOrder);
    const std::uint64_t fileSize = SizeOf(file);
    std::map<std::uint64_t, std::uint64_t> counted;  // start -> end of each directory's bytes
    std::uint16_t count = 0;
    std::uint32_t offset = firstOffset;
    const std::uint32_t limit = std::min<std::uint32_t>(most, 0xFFFF);
    while (offset != 0 && count < limit) {
        std::uint8_t b[4];
        std::uint32_t got = 0;
        if (!ReadAt(file, fileSize, offset, b, 2, &got)) return QOR_READ_FAILED;
        if (got < 2) break;
        const std::uint16_t n = Load16(b, little);
        std::uint32_t next = 0;
        if (!ReadAt(file, fileSize, std::uint64_t{offset} + 2 + 12ull * n, b, 4, &got)) {
            return QOR_READ_FAILED;
        }
        if (got == 4) next = Load32(b, little);
        const std::uint64_t start = offset;
        const std::uint64_t claimed = start + 6 + 12ull * n;
        const std::uint64_t end = std::max<std::uint64_t>(start + 1, std::min(claimed, fileSize));
        auto after = counted.lower_bound(start);
        if (after != counted.end() && after->first < end) break;
        if (after != counted.begin() && std::prev(after)->second > start) break;
        counted.emplace(start, end);
        if (count == index) *indexOffset = offset;
        ++count;
        offset = next;
    }
    // A chain whose first directory the file does not hold ended early.
    if (count == 0 && firstOffset != 0) return QOR_READ_FAILED;
    *pages = count;
    return 0;
}

std::int16_t ParseTiffDirectory(HFILE file, TiffPage* page, std::uint32_t* offset,
                                std::uint32_t* entries) {
    WriteDefaults(page);
    if (entries != nullptr) *entries = 0;
    const std::uint16_t order = page->byteOrder;
    const bool littleEndian = IsLittleEndian(order);
    const std::uint64_t ifd = *offset;
    // Offset 0 is the header: a chain that seems to lead there was misread.
    if (ifd == 0) return QOR_READ_FAILED;
    const std::uint64_t fileSize = SizeOf(file);
    FileWindow entryIn(file, fileSize), valueIn(file, fileSize);
    std::uint8_t b[12];
    std::uint32_t got = 0;
    if (!entryIn.Read(ifd, b, 2, &got)) return QOR_READ_FAILED;
    // The chain's count stopped before a directory that the file does not hold.
    if (got < 2) return QOR_READ_FAILED;
    const std::uint16_t n = Load16(b, littleEndian);
    if (entries != nullptr) *entries = n;
    TileEntries tiles;
    for (std::uint32_t i = 0; i < n; ++i) {
        Entry e;
        e.at = ifd + 2 + 12ull * i;
        // Entries wholly past the end of the file change nothing; a field whose bytes the file
        // cuts is 0.
        if (!entryIn.Read(e.at, b, 12, &got)) return QOR_READ_FAILED;
        if (got == 0) break;
        auto field = [&](std::uint32_t at, std::uint32_t size) {
            return at + size <= got ? Assemble(b + at, size, littleEndian) : 0u;
        };
        e.tag = static_cast<std::uint16_t>(field(0, 2));
        e.type = static_cast<std::uint16_t>(field(2, 2));
        e.count = field(4, 4);
        e.raw = field(8, 4);
        if (!ApplyTag(&valueIn, page, e, littleEndian, &tiles)) return QOR_READ_FAILED;
    }
    if (!ApplyTileEntries(&valueIn, page, tiles, littleEndian)) return QOR_READ_FAILED;
    std::uint32_t next = 0;
    if (!entryIn.Read(ifd + 2 + 12ull * n, b, 4, &got)) return QOR_READ_FAILED;
    if (got == 4) next = Load32(b, littleEndian);
    *offset = next;
    return 0;
}

}  // namespace qor::tiff
