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

// Why a BMP or PNG input cannot become GIF output, with the library's status for that cause:
// 201 when it cannot be opened, 202 when it is damaged or cut short, 102 when memory runs out,
// and 101, what the GIF writer gives a bitmap it cannot write, when the image has no form of 1, 4
// or 8 bits per pixel. `status` is 0 when nothing is wrong.
struct Refusal {
    std::string why;
    int status = 0;
};

// A BMP or PNG read for the GIF writer.
struct PaletteImage {
    QorHandle dib = 0;                  // a new packed DIB of 1, 4 or 8 bits; the caller frees it
    std::uint32_t colours = 0;          // palette entries that the file defines
    int transparent = -1;               // the one fully transparent entry of a PNG's tRNS, else -1
    std::vector<std::string> warnings;  // what the GIF cannot keep
};

// Reads a BMP of 1, 4 or 8 bits per pixel, or a PNG with a palette of at most 256 entries or 1-,
// 2-, 4- or 8-bit grey (grey becomes a grey palette).
Refusal ReadPaletteImage(const std::string& path, PaletteImage* image);

// What `info` shows for a BMP or PNG input, from its header.
struct ImageDescription {
    bool bmp = false;
    std::uint32_t bmpCompression = 0;
    bool topDown = false;  // BMP: rows stored from the top
    std::uint32_t width = 0, height = 0;
    unsigned bitDepth = 0;      // PNG: bits per sample; BMP: bits per pixel
    std::string colourType;     // "palette", "grey", "grey with alpha", "RGB", "RGBA"
    std::uint32_t colours = 0;  // palette entries, 0 without a palette
    std::string compression;    // BMP: "none", "RLE8", ...; PNG: "interlaced" or "not interlaced"
    int transparent = -1;       // PNG: the one fully transparent palette entry or grey level
};

// Fills *description, or says why the file cannot be described.
Refusal DescribePng(const std::string& path, ImageDescription* description);
Refusal DescribeBmp(const std::string& path, ImageDescription* description);
// Why the image that `description` describes cannot become GIF output; ReadPaletteImage refuses
// by the same rules, so that a header is enough to know.
Refusal GifInputRefusal(const ImageDescription& description);

}  // namespace qorimg_tool
