// PNG and BMP files for the command-line tool: writing the DIBs that the readers deliver,
// reading palette images into DIBs for the GIF writer, and describing PNG and BMP inputs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "qorimg/qorimg.h"

namespace qorimg_tool {

// Writes a packed DIB (1, 4, 8 or 24 bits) as PNG to `out`: a palette PNG for 1, 4 and 8 bits,
// with a tRNS chunk that makes `transparentIndex` transparent when it names a palette entry; RGB
// for 24 bits. Reports each row to the progress bar and stops when the run is cancelled.
// Returns an empty string on success, else what went wrong.
std::string WritePng(std::FILE* out, QorHandle dib, int transparentIndex);

// Writes a packed DIB as a BMP file (file header, then the DIB as it is).
std::string WriteBmp(std::FILE* out, QorHandle dib);

// A BMP or PNG read for the GIF writer.
struct PaletteImage {
    QorHandle dib = 0;                  // a new packed DIB of 1, 4 or 8 bits; the caller frees it
    std::uint32_t colours = 0;          // palette entries that the file defines
    int transparent = -1;               // the one fully transparent entry of a PNG's tRNS, else -1
    std::vector<std::string> warnings;  // what the GIF cannot keep
};

// Reads a BMP of 1, 4 or 8 bits per pixel, or a PNG with a palette of at most 256 entries or 1-,
// 2-, 4- or 8-bit grey (grey becomes a grey palette). Returns an empty string on success.
std::string ReadPaletteImage(const std::string& path, PaletteImage* image);

// What `info` shows for a BMP or PNG input.
struct ImageDescription {
    std::uint32_t width = 0, height = 0;
    unsigned bitDepth = 0;      // PNG: bits per sample; BMP: bits per pixel
    std::string colourType;     // "palette", "grey", "grey with alpha", "RGB", "RGBA"
    std::uint32_t colours = 0;  // palette entries, 0 without a palette
    std::string compression;    // BMP: "none", "RLE8", ...; PNG: "interlaced" or "not interlaced"
    int transparent = -1;       // PNG: the one fully transparent palette entry or grey level
};

// Returns an empty string and fills *description, or why the file cannot be described.
std::string DescribePng(const std::string& path, ImageDescription* description);
std::string DescribeBmp(const std::string& path, ImageDescription* description);

}  // namespace qorimg_tool
