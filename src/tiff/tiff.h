// The TIFF reader's shared record and routines: the page descriptor that the directory parser
// fills and every strip decoder works from, the byte-order-aware reads and
// the common form of the strip decoders. The fax decoders include this header too.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/dib.h"
#include "platform/locked_block.h"
#include "record/request.h"

namespace qor::tiff {

// The LZW and fax codecs read their input in blocks of this many bytes.
inline constexpr std::uint32_t TIFF_READ_BLOCK = 10240;

// One image file directory. The directory parser writes every field but byteOrder, extended and
// threads (which the driver sets before the parse), bitsPerPixel (DIB set-up), status and bitmap
// (the driver) and rowsDecoded (the strip loop).
struct TiffPage {
    std::uint32_t newSubfileType;
    std::uint16_t subfileType;
    std::uint32_t imageWidth;
    std::uint32_t imageLength;
    std::uint16_t bitsPerSample;  // 0 when the BitsPerSample values differ
    std::uint16_t compression;
    std::uint16_t photometric;  // 10 when the tag is absent
    std::uint16_t fillOrder;
    std::uint32_t stripOffsets;  // one strip: its offset; several: the offset of the offset array
    std::uint16_t stripOffsetSize;  // 4 or 2
    std::uint16_t samplesPerPixel;
    std::uint32_t rowsPerStrip;     // 0 when absent
    std::uint32_t stripByteCounts;  // the first StripByteCounts value
    std::uint16_t planarConfig;
    std::uint32_t t4Options;
    std::uint32_t t6Options;
    std::uint16_t grayResponseUnit;  // 0: no grey response curve in use
    std::uint16_t pageNumber;
    std::uint16_t pageTotal;
    std::uint16_t predictor;
    std::uint16_t byteOrder;  // the two header bytes, first byte in the low half
    std::uint32_t colorMapOffset;
    std::uint16_t colorMapCount;
    std::uint32_t stripCount;
    std::uint16_t extraSamples;      // the ExtraSamples count when above 1, else its one value
    std::uint32_t extraSampleCount;  // ExtraSamples values; 0 when the tag is absent
    std::uint16_t bitsPerPixel;
    std::uint16_t status;
    HGLOBAL bitmap;
    // Where the StripByteCounts values are, as for the offsets: one value, the value itself;
    // several, the offset of their array. byteCountCount is 0 when the page states none.
    std::uint32_t byteCountArray;
    std::uint32_t byteCountCount;
    std::uint16_t byteCountSize;  // 4 or 2
    // The directory has TileWidth, TileLength and TileOffsets entries: a tiled page, which has
    // no strips to read (a lone tile entry on a page of strips is ignored).
    bool tileTags;
    // JPEGTables: where the tables that every JPEG strip of the page shares lie, and their bytes
    // (0 when the page has none).
    std::uint32_t jpegTablesOffset;
    std::uint32_t jpegTablesCount;
    // Rows from the top that the strips delivered data to; the rest of a decoded page is blank.
    std::uint32_t rowsDecoded;
    // The read was asked for the extended codings and layouts (set by the driver before the
    // parse); a classic read keeps the classic rules.
    bool extended;
    std::uint32_t tileCount;  // TileOffsets values
    // An extended read walks a tiled page's tiles as strips: TileOffsets and TileByteCounts fill
    // the strip fields, and the tiles' size is kept here (0 and 0 for a page of strips).
    std::uint32_t tileWidth, tileLength;
    std::uint16_t sampleFormat;  // 1 when absent
    // What only a description reports: the orientation, the resolution unit, and where the values
    // of the RATIONAL resolutions (0 when absent) and of the ASCII Software and DateTime (their
    // count of bytes 0 when absent) lie, which a read never reads.
    std::uint16_t orientation;
    std::uint16_t resolutionUnit;
    std::uint32_t xResolutionAt, yResolutionAt;
    std::uint32_t softwareAt, softwareCount;
    std::uint32_t dateTimeAt, dateTimeCount;
    // YCbCr pages: the chroma samples' horizontal and vertical subsampling (2 and 2 when absent),
    // and where the six RATIONAL ReferenceBlackWhite values lie (0 when absent).
    std::uint16_t ycbcrSubsampling[2];
    std::uint32_t referenceBlackWhiteAt;
    // Threads that the strip loop may decode the page's strips on (ThreadsOfRead); 0 or 1: the
    // caller's alone.
    std::uint32_t threads;
    // Extended reads: where the strip loop notes the rows that a damaged strip left blank (page
    // 0 in each note), or null. The driver sets it after the parse, which clears it.
    std::vector<DamagedRows>* damaged;
};

// In an extended read, a strip whose data a codec finds damaged (538, 532: libjpeg's warnings of
// lost data and a stream that takes more work than its bytes allow among them) keeps the rows
// decoded before the damage, and the page goes on with its next strip, as libtiff and Pillow
// deliver such pages; a classic read ends the page there. A strip whose data ends early (202)
// still ends the page: a few bytes must not make a huge page of nothing.
inline bool KeepsPageAfter(const TiffPage& page, std::int16_t status) {
    return page.extended && (status == QOR_TIFF_BAD_DATA || status == QOR_FAX_BAD_DATA);
}

// The threads that a read asked for `asked` uses: 0 is the machine's processors, and no read
// takes more than 16.
std::uint32_t ThreadsOfRead(std::uint32_t asked);

// True when an extended read takes the page in parts: tiles, or samples in separate planes.
inline bool TakenInParts(const TiffPage& page) {
    return page.extended && (page.tileTags || (page.planarConfig == 2 && page.samplesPerPixel > 1));
}

// True when the page's rows are differenced by Predictor 2: in an extended read only where the
// coding takes a predictor (CodingTakesPredictor); a classic read refuses the others.
bool UsesHorizontalPredictor(const TiffPage& page);

// True when the page states one extra sample of no meaning for display (ExtraSamples 0): an
// extended read leaves it out and delivers the page opaque. A page without the tag keeps its
// fourth sample as premultiplied alpha, as libtiff's RGBA interface takes it.
inline bool ExtraSampleUnspecified(const TiffPage& page) {
    return page.extraSampleCount == 1 && page.extraSamples == 0;
}

// True when the page's colours would come from a ColorMap that does not hold the 3 x 2^bits values
// of its palette (a palette page whose map is present and not a grey response curve).
inline bool ColorMapMiscounted(const TiffPage& page) {
    constexpr std::uint16_t kPalette = 3;  // PhotometricInterpretation
    return page.photometric == kPalette && page.colorMapOffset != 0 && page.grayResponseUnit == 0 &&
           page.bitsPerSample <= 8 && page.colorMapCount != 3u << page.bitsPerSample;
}

// True when the page's ColorMap is left out and the page read as grey: an extended read does so
// for an 8-bit palette page whose map has the wrong count, as libtiff does (it ignores the tag
// with a warning, then reads an 8-bit palette page without a map as grey and refuses a smaller
// one), rather than read colours from whatever follows a short map.
inline bool ColorMapIgnored(const TiffPage& page) {
    return page.extended && page.bitsPerSample == 8 && ColorMapMiscounted(page);
}

// True when values of this byte order are little-endian (first header byte 'I').
inline bool IsLittleEndian(std::uint16_t byteOrder) {
    return (byteOrder & 0xFF) == 'I';
}

// One strip of a page: where its data starts and which image rows (0 = first in the file) it
// holds.
struct StripSpan {
    std::uint32_t offset = 0;
    // Its StripByteCounts value, cut to what the file holds from `offset` on; 0 when the page
    // states none for it.
    std::uint32_t byteCount = 0;
    std::uint32_t firstRow = 0;
    std::uint32_t rows = 0;  // at least 1
};

// The one walk over a page's strips that every strip decoder makes, with one set of rules:
// - RowsPerStrip absent, 0 or at least imageLength: the page is one strip. So is a page with one
//   StripOffsets value, whatever RowsPerStrip says: writers that store the whole image in one
//   strip under a smaller RowsPerStrip exist, and their files have always read whole.
// - Otherwise the page needs ceil(imageLength / RowsPerStrip) strips. StripOffsets values past
//   those are never read, so the work grows with the image and not with what the file claims;
//   rows of strips the file does not list stay as they are.
// - A page with no StripOffsets value (or a count of 2^31 or more) has no usable strip.
// Offsets and byte counts are read a batch at a time, not one seek per strip.
struct StripWalker {
    // Sets the walk up at strip 0. 0, or 318 when the page has no usable strip.
    std::int16_t Start(HFILE file, const TiffPage& page);
    // Strips that the walk visits.
    std::uint32_t Count() const { return count_; }
    bool More() const { return next_ < count_; }
    // Rows per strip in force (imageLength for a one-strip page).
    std::uint32_t RowsPerStrip() const { return rowsPerStrip_; }
    // The next strip, with the file positioned at its first byte. 0, or 202 when its StripOffsets
    // value cannot be read or is no place in the file (0 is the header; past the end).
    std::int16_t Next(StripSpan* strip);

  private:
    static constexpr std::uint32_t kBatch = 256;
    bool Load(std::uint32_t first);

    HFILE file_ = -1;
    const TiffPage* page_ = nullptr;
    std::uint64_t fileSize_ = 0;
    std::uint32_t count_ = 0, next_ = 0, rowsPerStrip_ = 0;
    std::uint32_t batchFirst_ = 0, batchCount_ = 0;
    std::uint32_t offsets_[kBatch] = {};
    std::uint32_t byteCounts_[kBatch] = {};
};

// Counts the IFDs in the chain that starts at firstOffset into *pages. The chain ends at the first
// offset already visited, at a directory that overlaps one already counted, at one that lies
// past the end of the file, and at 65535 directories. 0, or 202 when a read fails or the file
// holds no directory at a non-zero firstOffset.
std::int16_t CountTiffPages(HFILE file, std::uint32_t firstOffset, std::uint16_t byteOrder,
                            std::uint16_t* pages);
// The same walk, no further than `most` directories: *pages is the count up to there, and
// *indexOffset the offset of directory `index` (0 = first) when *pages is larger than `index`.
// The numbering of a directory depends only on those before it, so a walk that stops early
// numbers them as the whole walk does.
std::int16_t WalkTiffChain(HFILE file, std::uint32_t firstOffset, std::uint16_t byteOrder,
                           std::uint32_t most, std::uint32_t index, std::uint16_t* pages,
                           std::uint32_t* indexOffset);
// Reads the IFD at *offset into `page` (whose byteOrder is set) and leaves the next IFD's offset
// in *offset (0 at the end of the chain) and its number of entries in *entries. 0, or 202 when a
// read fails, or the offset is 0 or past the end of the file.
std::int16_t ParseTiffDirectory(HFILE file, TiffPage* page, std::uint32_t* offset,
                                std::uint32_t* entries = nullptr);

// The common form of the strip decoders. `dib` is the locked page DIB with header and colour
// table filled and a cleared pixel area; the file position is undefined on entry. On success
// page->rowsDecoded holds the rows that got data.
using StripDecoder = std::int16_t (*)(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                      TiffPage* page);

std::int16_t DecodeUncompressedStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                      TiffPage* page);
std::int16_t DecodePackBitsStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                  TiffPage* page);
std::int16_t DecodeLzwStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                             TiffPage* page);
// JPEG (compression 7), in extended reads.
std::int16_t DecodeJpegStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                              TiffPage* page);
// Deflate (compressions 8 and 32946), in extended reads.
std::int16_t DecodeDeflateStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                 TiffPage* page);
// The CCITT fax decoders (src/fax): compressions 2, 3 and 4, one bit per pixel, white as 1.
std::int16_t DecodeModifiedHuffmanStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                         TiffPage* page);
std::int16_t DecodeGroup3Strips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page);
std::int16_t DecodeGroup4Strips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page);

// What the decoded rows of a page still need once every strip is decoded.
enum class PageFinish : std::uint8_t {
    kNone,
    kBlackWhite,               // a 1-bit table of black, then white
    kInvertThenBlackWhite,     // the bits inverted, then that table
    kBlackWhiteThenInvert,     // that table, then the bits inverted
    kInvertIfFirstEntryLight,  // as kBlackWhiteThenInvert when table entry 0 is not black
    kGreyAlphaToGrey,          // two 8-bit samples narrowed to the first
    kRgbaToBgr,                // four samples narrowed to blue, green, red
    kCmykToBgr,                // four inks turned into blue, green, red
    // Extended reads:
    kCmykToBgrAsViewers,            // four inks turned into light as image viewers do
    kCmykAlphaToBgrAsViewers,       // the same, of five samples, the fifth (alpha) not shown
    kTwoBitToFour,                  // 2-bit indices widened to 4 bits
    kRgbaToBgra,                    // four samples to blue, green, red, straight alpha
    kPremultipliedRgbaToBgra,       // the same, the colours divided by the alpha they carry
    kGreyAlphaToBgra,               // two samples widened to blue, green, red and alpha
    kPremultipliedGreyAlphaToBgra,  // the same, the grey divided by its alpha
};

// What a page becomes, decided once from its record (its bitsPerPixel set): the DIB set-up, the
// strip loop and its codecs, and the finishing step all read it.
struct PageForm {
    std::uint16_t bitsPerPixel = 0;  // as the file stores a pixel
    std::uint16_t dibBitCount = 0;   // of the DIB the rows are decoded into
    std::uint64_t rowBytes = 0;      // file bytes per row
    std::uint64_t stride = 0;        // bytes per decoded DIB row, at the file's bits per pixel
    std::uint64_t dibBytes = 0;      // header, colour table and rows
    bool exchangeRedBlue = false;    // 24-bit rows are delivered blue first
    unsigned predictorChannels = 0;  // interleaved 8-bit samples that Predictor 2 sums, or 0
    PageFinish finish = PageFinish::kNone;
    std::uint16_t orientation = 1;  // extended reads: TIFF orientation 2 to 8 is applied last
    // Extended reads of 16-bit samples: the rows are decoded as the file stores them and then
    // narrowed in place to 8 bits a sample (first undoing Predictor 2 on the 16-bit values of
    // whole rows; a page taken in parts has it undone in each part), and red and blue of RGB
    // exchanged, before `finish`. 0 samples: 8-bit or smaller samples.
    unsigned wideSamples = 0;
    bool widePredictor = false;
    bool wideExchangeRedBlue = false;
    bool wideLittleEndian = true;
};

// Where the strips (or tiles) of a page that state no byte count end: at most where the next
// one begins, the least offset of the page's strips past their own, so that such a strip never
// reads the rest of the file. The offsets are read and sorted once, the first time one is asked.
class StripEnds {
  public:
    // The least StripOffsets value of `page` past `offset`, or 0 when there is none, or when the
    // offsets cannot be had (memory, a read that fails).
    std::uint32_t After(HFILE file, const TiffPage& page, std::uint32_t offset);

  private:
    plat::LockedBlock sorted_;
    std::uint32_t count_ = 0;
    const TiffPage* page_ = nullptr;
};

// The form of a page whose bitsPerPixel is set. False for a layout with no DIB form (several
// samples of other than 8 bits, or a bitsPerPixel other than 1, 4, 8, 16, 24 or 32).
bool FormOfPage(const TiffPage& page, PageForm* form);
// The page DIB as the decoders fill it: its rows have the stride of the page's own bits per
// pixel. False when the block at `dib` does not hold the page's rows.
bool ViewPageDib(std::uint8_t* dib, const TiffPage& page, DibView* view);
// The StripOffsets value `index` of the page and its StripByteCounts value (0 when the page
// states none for it). False when the page has no such strip or its value cannot be read.
bool ReadStripEntry(HFILE file, const TiffPage& page, std::uint32_t index, std::uint32_t* offset,
                    std::uint32_t* byteCount);
// The RATIONAL at `at` (numerator, denominator) into value[0..1]; left as it is when `at` is 0 or
// the read fails.
void ReadRationalAt(HFILE file, std::uint32_t at, bool littleEndian, std::uint32_t* value);
// Bytes of file data per image row: 0 for a bitsPerPixel other than 1, 4, 8, 16, 24 or 32.
std::uint64_t FileRowBytes(const TiffPage& page);

}  // namespace qor::tiff
