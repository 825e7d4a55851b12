// The TIFF reader's own routines behind ReadTiffWorker: header check, page validation, DIB set-up
// and colour table, and the post-decode pixel conversions.
#pragma once

#include <cstdint>

#include "record/describe.h"  // PageFault, StatusOfFault and FaultText
#include "tiff/tiff.h"

namespace qor::tiff {

// Reads the 8-byte header at the start of the file. On 0, *byteOrder holds the two order bytes
// (first byte in the low half) and *firstOffset the first IFD's offset (0 when the file ends
// before it). Otherwise 202 (the read failed, or the file holds less than 2 bytes), 318 (no
// 'I'/'M') or 537 (the magic number is not 42, or the file ends before it).
std::int16_t ReadTiffHeader(HFILE file, std::uint16_t* byteOrder, std::uint32_t* firstOffset);

// The first rule that the page breaks.
PageFault CheckTiffPage(const TiffPage& page);
// 0 when the page can be decoded, else the refusal code: StatusOfFault(CheckTiffPage(page)).
std::int16_t ValidateTiffPage(const TiffPage& page);
// The rules that look at the file's data, for a page that CheckTiffPage passes: in a classic
// read, an LZW page whose first strip starts as data of the old kind (kOldStyleLzw).
PageFault CheckTiffPageData(HFILE file, const TiffPage& page);
// True when the page's first strip starts as LZW data of the old kind (StartsOldStyleLzw).
bool FirstStripIsOldStyleLzw(HFILE file, const TiffPage& page);

// Sets the page's bitsPerPixel, allocates the zero-filled DIB block sized for it, writes the
// header and colour table. On 0, *dib is the block, locked, and *bits its address. On failure
// nothing is left allocated: 534 for a sample layout without a DIB form, 102 when the block cannot
// be had (including pages too large for one block or above `budget` bytes), 202 when the colour
// table read is short.
std::int16_t SetUpPageDib(HFILE file, TiffPage* page, HGLOBAL* dib, std::uint8_t** bits,
                          std::uint64_t budget = ~std::uint64_t{0});

// Fills the colour table of the page's locked DIB, whose header is written. 0, or 202.
std::int16_t BuildColorTable(HFILE file, const DibView& dib, TiffPage* page);

// Decodes a page that an extended read takes in parts (tiles, or samples in separate planes) with
// the strip decoder of its compression, into the locked page DIB `dib`. 0, or the status of the
// first failure.
std::int16_t DecodeParts(ProgressBlock* progress, std::uint8_t* dib, HFILE file, TiffPage* page,
                         StripDecoder decoder);
// The decoder for a compression, or null when there is none (in a classic read, or in any).
// True when a strip's first two bytes begin LZW data of the old kind: a zero byte, then one with
// its lowest bit set (its codes are stored least significant bit first, and the first is a
// ClearCode). Data of the TIFF kind starts with a ClearCode, 0x80.
inline bool StartsOldStyleLzw(std::uint8_t first, std::uint8_t second) {
    return first == 0 && (second & 1) != 0;
}

StripDecoder SelectStripDecoder(std::uint16_t compression, bool extended = false);

// The uncompressed, PackBits and LZW decoders as SelectStripDecoder hands them out: each row of a
// 24-bit page is delivered with the first and third byte of every pixel exchanged, as the page's
// form asks (the same rows as DecodeUncompressedStrips, DecodePackBitsStrips or DecodeLzwStrips
// followed by ConvertRgbToBgr). Pages of other depths decode exactly as with those.
std::int16_t DecodeUncompressedStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                           TiffPage* page);
std::int16_t DecodePackBitsStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                       TiffPage* page);
std::int16_t DecodeLzwStripsToBgr(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                  TiffPage* page);

// DecodeUncompressedStripsToBgr as it works on rows too long for its buffer: each row read
// straight into the DIB by a read of its own. The plain form that tests hold the buffered one to.
std::int16_t DecodeUncompressedRowByRow(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                                        TiffPage* page);

// JFIF's YCbCr to RGB (the coefficients of TIFF's default YCbCrCoefficients too), in 16-bit
// fixed point, each result rounded and cut to 0..255.
void YCbCrToRgb(std::uint8_t y, std::uint8_t cb, std::uint8_t cr, std::uint8_t* red,
                std::uint8_t* green, std::uint8_t* blue);
// The same conversion of samples in 1/256ths, luma from 0 and chroma centred on 0 (scaled samples
// keep their fraction into the one rounding).
void YCbCrToRgbFine(std::int32_t y, std::int32_t cb, std::int32_t cr, std::uint8_t* red,
                    std::uint8_t* green, std::uint8_t* blue);
// The extended read's decoder of uncompressed YCbCr pages of interleaved samples, delivered as
// 24-bit rows (DecodeUncompressedStripsToBgr hands such pages to it).
std::int16_t DecodeYCbCrStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                               TiffPage* page);

// Exchanges the first and third byte of each of the `pixels` 3-byte pixels at `row`.
void ExchangeRedBlue(std::uint8_t* row, std::uint64_t pixels);
// The same exchange while copying `pixels` pixels from `src` to `dst`, which do not overlap.
void CopyExchangingRedBlue(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t pixels);

// Post-decode conversions of unlocked DIB blocks. ConvertRgbToBgr makes a new block (*outImage)
// and leaves the input to the caller; the others convert in place and return the block, the
// input unchanged when its bit count is not the expected one, or null when the input is null or
// cannot be locked (the input then stays the caller's).
std::int16_t ConvertRgbToBgr(HGLOBAL dib, HGLOBAL* outImage);
// The image rows from `rowsHeld` on are blank (0) and stay so without being visited.
HGLOBAL ConvertGreyAlphaToGrey(HGLOBAL dib, std::uint32_t rowsHeld = 0xFFFFFFFFu);
HGLOBAL ConvertRgbaToBgr(HGLOBAL dib, std::uint32_t rowsHeld = 0xFFFFFFFFu);
HGLOBAL ConvertCmykToBgr(HGLOBAL dib);
// The conversions of extended reads: CMYK as image viewers show it, (255 - C)(255 - K) / 255;
// RGBA to BGRA with straight alpha (colours stored premultiplied are divided by it); grey with
// alpha to BGRA in a block of its own (the input block is freed, unless the result is 0).
// (a fifth sample, an alpha, is not shown, as libtiff shows it); 2-bit indices widened to 4
// bits in place.
HGLOBAL ConvertCmykToBgrAsViewers(HGLOBAL dib, bool withAlpha = false);
HGLOBAL ConvertTwoBitToFour(HGLOBAL dib);
HGLOBAL ConvertRgbaToBgra(HGLOBAL dib, bool premultiplied);
HGLOBAL ConvertGreyAlphaToBgra(HGLOBAL dib, bool premultiplied);
// Narrows the 16-bit samples of a decoded page of that form to 8 bits in place, each value v as
// (v * 255 + 32767) / 65535, after undoing Predictor 2 on them: rows of 8-bit samples, at their
// own stride, for the finishing step. False when the block cannot be locked or is too small.
bool NarrowWideSamples(HGLOBAL dib, const PageForm& form);
// Shows the DIB upright: turns or mirrors its rows as TIFF orientation 2 to 8 says (1 and others
// leave it), in a block of its own (the input block is freed). The stored rows from `rowsHeld`
// on are blank (each pixel as the first of them), and cost a fill, not a move. Makes a progress
// call (100) every 256 rows. 0 with *status set when memory runs out (102) or a call is answered
// (100); the input block is then still the caller's.
HGLOBAL OrientDib(HGLOBAL dib, std::uint16_t orientation, std::uint32_t rowsHeld,
                  ProgressBlock* progress, std::int16_t* status);

}  // namespace qor::tiff
