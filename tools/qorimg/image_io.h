// PNG and BMP files for the command-line tool: writing the DIBs that the readers deliver, and
// reading palette images into DIBs for the GIF writer.
#pragma once

#include <cstdint>
#include <string>

#include "qorimg/qorimg.h"

namespace qorimg_tool {

// Writes a packed DIB (1, 4, 8 or 24 bits) as PNG: a palette PNG for 1, 4 and 8 bits, with a
// tRNS chunk that makes `transparentIndex` transparent when it is 0 to 255; RGB for 24 bits.
// Returns an empty string on success, else what went wrong.
std::string WritePng(const std::string& path, QorHandle dib, int transparentIndex);

// Writes a packed DIB as a BMP file (file header, then the DIB as it is).
std::string WriteBmp(const std::string& path, QorHandle dib);

// Reads a BMP of 1, 4 or 8 bits per pixel, or a PNG with a palette of at most 256 entries or 1-,
// 2-, 4- or 8-bit grey, into a new packed DIB of 1, 4 or 8 bits (grey becomes a grey palette).
// On success *dib is the new block (the caller frees it) and the result is empty.
std::string ReadPaletteImage(const std::string& path, QorHandle* dib);

}  // namespace qorimg_tool
