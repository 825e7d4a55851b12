// The TIFF reader's shared record and routines: the page descriptor that the directory parser
// fills and every strip decoder works from, the byte-order-aware reads, the block refill, and
// the common form of the strip decoders. The fax decoders include this header too.
#pragma once

#include <cstdint>

#include "frame/request.h"

namespace qor::tiff {

// Input buffers of the buffered decoders hold one block of this many bytes.
inline constexpr std::uint32_t TIFF_READ_BLOCK = 10240;

// One image file directory. Fields from newSubfileType to extraSamples are written by the
// directory parser; byteOrder, bitsPerPixel, status and bitmap belong to the driver.
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
    std::uint32_t rowsPerStrip;  // 0 when absent
    std::uint32_t stripByteCounts;
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
    std::uint16_t extraSamples;
    std::uint16_t bitsPerPixel;
    std::uint16_t status;
    HGLOBAL bitmap;
};

// True when values of this byte order are little-endian (first header byte 'I').
inline bool IsLittleEndian(std::uint16_t byteOrder) { return (byteOrder & 0xFF) == 'I'; }

// 2 or 4 bytes at the current position in the given byte order; 0 on a short read.
std::uint16_t ReadTiffShort(HFILE file, std::uint16_t byteOrder);
std::uint32_t ReadTiffLong(HFILE file, std::uint16_t byteOrder);
// One read of up to TIFF_READ_BLOCK bytes into `buffer`; returns the count, 0 on an error, and
// sets *position to 0 in every case.
std::uint32_t FillReadBuffer(HFILE file, std::uint8_t* buffer, std::uint16_t* position);
// The file offset of strip j (0 on a short read).
std::uint32_t ReadStripOffset(HFILE file, const TiffPage& page, std::uint32_t j);

// The number of IFDs in the chain that starts at firstOffset. Ends at the first offset already
// visited, at a directory that overlaps one already counted, and at 65535 directories.
std::uint16_t CountTiffPages(HFILE file, std::uint32_t firstOffset, std::uint16_t byteOrder);
// Reads the IFD at *offset into `page` (whose byteOrder is set) and leaves the next IFD's offset
// in *offset (0 at the end of the chain).
void ParseTiffDirectory(HFILE file, TiffPage* page, std::uint32_t* offset);

// The common form of the strip decoders. `dib` is the locked page DIB with header and colour
// table filled and a zeroed pixel area; the file position is undefined on entry.
using StripDecoder = std::int16_t (*)(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                      TiffPage* page);

std::int16_t DecodeUncompressedStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                      TiffPage* page);
std::int16_t DecodePackBitsStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                  TiffPage* page);
std::int16_t DecodeLzwStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                             TiffPage* page);
// The CCITT fax decoders (src/fax): compressions 2, 3 and 4, one bit per pixel, white as 1.
std::int16_t DecodeModifiedHuffmanStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                         TiffPage* page);
std::int16_t DecodeGroup3Strips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page);
std::int16_t DecodeGroup4Strips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                TiffPage* page);

// Where a decoder writes: the pixel area of a locked page DIB and its geometry, in 64-bit
// arithmetic. The driver has already checked that the block holds `rows` rows of `stride`.
struct DibRows {
    std::uint8_t* pixels = nullptr;  // first byte of the bottom memory row
    std::uint64_t stride = 0;        // bytes per DIB row: ((imageWidth * bitsPerPixel + 31) / 32) * 4
    std::uint64_t rowBytes = 0;      // bytes of file data per image row; 0 for an unsupported
                                     // bitsPerPixel (not 1, 4, 8, 16, 24 or 32)
    std::uint32_t rows = 0;          // imageLength
    // Image row r (0 = first in the file) is memory row rows - 1 - r.
    std::uint8_t* Row(std::uint32_t r) const { return pixels + stride * (rows - 1 - r); }
};
// Locates the pixel area of a locked page DIB (after biSize and the colour table) for `page`,
// using the page's bitsPerPixel and imageWidth.
DibRows LocateRows(std::uint8_t* dib, const TiffPage& page);

}  // namespace qor::tiff
