// The peer libraries as oracles, shared by the differential tests and the fuzz harnesses (so
// without GoogleTest): giflib's reading of a GIF file's first image, libtiff's pixels of a page
// after this library's colour rules, and libtiff's fax encoders and decoders for bilevel pages.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#ifdef QORIMG_HAVE_GIFLIB
#include <gif_lib.h>
#endif
#ifdef QORIMG_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace qor::test {

// ---- giflib ----

#ifdef QORIMG_HAVE_GIFLIB
// The first image of a GIF file as giflib reads it, record by record, stopping after that image
// (what follows it is not examined, as in this library's reader).
struct GiflibImage {
    bool ok = false;  // the whole first image decoded
    int error = 0;    // giflib's error code when not ok
    int screenWidth = 0, screenHeight = 0;
    int width = 0, height = 0;
    bool interlaced = false;
    int colourCount = 0;                 // entries of the global table
    std::vector<std::uint8_t> palette;   // the global table's triplets
    std::vector<std::uint32_t> colours;  // the image's table (local, else global), 0x00RRGGBB
    std::vector<std::uint8_t> raster;    // top-down, de-interlaced
    std::vector<std::uint8_t> rowRead;   // 1 for each image row that giflib decoded whole
    int transparent = -1;                // from the last graphic control extension with the bit
};

inline GiflibImage GiflibDecode(const std::string& path) {
    GiflibImage out;
    int err = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &err);
    if (gif == nullptr) {
        out.error = err;
        return out;
    }
    out.screenWidth = gif->SWidth;
    out.screenHeight = gif->SHeight;
    if (gif->SColorMap != nullptr) {
        out.colourCount = gif->SColorMap->ColorCount;
        for (int i = 0; i < gif->SColorMap->ColorCount; ++i) {
            const GifColorType& c = gif->SColorMap->Colors[i];
            out.palette.insert(out.palette.end(), {c.Red, c.Green, c.Blue});
        }
    }
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    bool failed = false;
    while (!failed && DGifGetRecordType(gif, &type) == GIF_OK) {
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* ext = nullptr;
            failed = DGifGetExtension(gif, &code, &ext) == GIF_ERROR;
            GraphicsControlBlock gcb;
            if (!failed && code == GRAPHICS_EXT_FUNC_CODE && ext != nullptr &&
                DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK &&
                gcb.TransparentColor != NO_TRANSPARENT_COLOR) {
                out.transparent = gcb.TransparentColor;
            }
            while (!failed && ext != nullptr) failed = DGifGetExtensionNext(gif, &ext) == GIF_ERROR;
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE || DGifGetImageDesc(gif) == GIF_ERROR) break;
        const GifImageDesc& d = gif->Image;
        out.width = d.Width;
        out.height = d.Height;
        out.interlaced = d.Interlace;
        const ColorMapObject* map = d.ColorMap != nullptr ? d.ColorMap : gif->SColorMap;
        for (int i = 0; map != nullptr && i < map->ColorCount; ++i) {
            const GifColorType& c = map->Colors[i];
            out.colours.push_back(std::uint32_t{c.Red} << 16 | std::uint32_t{c.Green} << 8 |
                                  c.Blue);
        }
        if (d.Width <= 0 || d.Height <= 0) break;
        // The raster is held whole; larger images are left as giflib's allocation failure.
        if (std::int64_t{d.Width} * d.Height > (std::int64_t{1} << 26)) {
            gif->Error = D_GIF_ERR_NOT_ENOUGH_MEM;
            break;
        }
        const auto w = static_cast<std::size_t>(d.Width), h = static_cast<std::size_t>(d.Height);
        out.raster.assign(w * h, 0);
        out.rowRead.assign(h, 0);
        std::vector<std::size_t> order;
        if (d.Interlace) {
            const std::size_t starts[4] = {0, 4, 2, 1}, steps[4] = {8, 8, 4, 2};
            for (int p = 0; p < 4; ++p) {
                for (std::size_t y = starts[p]; y < h; y += steps[p]) order.push_back(y);
            }
        } else {
            for (std::size_t y = 0; y < h; ++y) order.push_back(y);
        }
        out.ok = true;
        for (std::size_t y : order) {
            if (DGifGetLine(gif, &out.raster[y * w], d.Width) == GIF_ERROR) {
                out.ok = false;
                break;
            }
            out.rowRead[y] = 1;
        }
        break;
    }
    if (!out.ok) out.error = gif->Error != 0 ? gif->Error : D_GIF_ERR_NO_IMAG_DSCR;
    DGifCloseFile(gif, &err);
    return out;
}
#endif

// ---- libtiff ----

// An image as RGB colours, row-major from the top.
struct Rgb {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint32_t> pixels;  // 0xRRGGBB
    std::vector<std::uint8_t> rowRead;  // per row: 1 when the peer decoded it (libtiff pages)
    std::uint16_t compression = 0;      // libtiff pages: the page's compression
    bool colourMap = false;             // libtiff pages: libtiff took the page's ColorMap
};

#ifdef QORIMG_HAVE_LIBTIFF

// libtiff's warnings and errors are counted, not printed.
inline thread_local unsigned long gLibtiffComplaints = 0;
inline void QuietLibtiff(const char*, const char*, va_list) {
    ++gLibtiffComplaints;
}

// What directory `dir` should look like after this library's documented conversions, computed
// from libtiff's TIFFReadEncodedStrip strip by strip; rowRead marks the rows of the strips that
// libtiff decoded without an error. Empty, with the reason in `why`, when libtiff cannot read the
// page as strips or the page is one whose result is not a plain picture of its samples. With a
// non-zero `offset`, libtiff's directory `dir` must lie there (libtiff may walk a damaged chain
// otherwise). With `strict`, a strip that libtiff decodes with a warning counts as failed too.
inline bool LibtiffReference(const std::string& path, int dir, Rgb* img, std::string* why,
                             std::uint64_t offset = 0, bool strict = false) {
    TIFFSetWarningHandler(QuietLibtiff);
    TIFFSetErrorHandler(QuietLibtiff);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) {
        *why = "libtiff cannot open it";
        return false;
    }
    std::uint32_t w = 0, h = 0, rps = 0;
    std::uint16_t bps = 1, spp = 1, photometric = 0, fill = 1, compression = 1;
    std::uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
    if (!TIFFSetDirectory(t, static_cast<tdir_t>(dir)) || TIFFIsTiled(t) ||
        !TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w) || !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h)) {
        *why = "libtiff cannot read it as strips";
        TIFFClose(t);
        return false;
    }
    if (offset != 0 && TIFFCurrentDirOffset(t) != offset) {
        *why = "libtiff's directory of that number lies elsewhere";
        TIFFClose(t);
        return false;
    }
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetFieldDefaulted(t, TIFFTAG_FILLORDER, &fill);
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric)) photometric = 10;
    const bool haveMap = TIFFGetField(t, TIFFTAG_COLORMAP, &red, &green, &blue) != 0;
    const bool fax = compression >= 2 && compression <= 4;
    // libtiff reverses the bits of every strip of FillOrder 2; this reader only honours it in fax
    // codings.
    if (fill == 2 && !fax) *why = "FillOrder 2";
    if ((spp == 4 || spp == 3) && bps != 8) *why = "no plain DIB form";
    if (bps == 1 && photometric == 1 && haveMap && (blue[0] >> 8) != 0) *why = "mapped BlackIsZero";
    if (bps != 1 && bps != 4 && bps != 8) *why = "a sample size this reader refuses";
    if (!why->empty()) {
        TIFFClose(t);
        return false;
    }
    auto grey = [&](std::uint32_t v) -> std::uint32_t {
        std::uint32_t g;
        if (bps == 1 && fax) {
            // libtiff's fax decoders give white-coded runs as 0 bits; here they are index 1 of
            // a black, white table (or of the page's colour map), and a BlackIsZero page shows
            // them black. A page without PhotometricInterpretation is WhiteIsZero, as faxes are.
            const std::uint32_t index = v == 0 ? 1 : 0;
            if (photometric == 1) return index == 1 ? 0 : 0xFFFFFF;
            if (photometric != 0 && haveMap) {
                return (red[index] >> 8u) << 16 | (green[index] >> 8u) << 8 | blue[index] >> 8u;
            }
            return index == 1 ? 0xFFFFFF : 0;
        }
        if (bps == 1) {
            bool white = photometric == 0 ? v == 0 : v == 1;
            if (photometric != 0 && photometric != 1 && haveMap) {
                return (red[v] >> 8u) << 16 | (green[v] >> 8u) << 8 | blue[v] >> 8u;
            }
            g = white ? 255 : 0;
        } else if (photometric == 0) {
            g = bps == 8 ? 255 - v : (15 - v) * 16;
        } else if (photometric == 1 || !haveMap) {
            g = bps == 8 ? v : v * 16;
        } else {
            return (red[v] >> 8u) << 16 | (green[v] >> 8u) << 8 | blue[v] >> 8u;
        }
        return g << 16 | g << 8 | g;
    };
    auto colour = [&](const std::uint8_t* s, std::uint32_t x) -> std::uint32_t {
        if (spp == 3) {
            return std::uint32_t{s[3 * x]} << 16 | std::uint32_t{s[3 * x + 1]} << 8 | s[3 * x + 2];
        }
        if (spp == 4 && photometric == 5) {
            // CMYK by this library's formula: each ink plus black, taken from white.
            auto light = [](std::uint32_t ink, std::uint32_t k) {
                return 255 - std::min<std::uint32_t>(255, ink + k);
            };
            const std::uint8_t* q = s + 4 * x;
            return light(q[0], q[3]) << 16 | light(q[1], q[3]) << 8 | light(q[2], q[3]);
        }
        if (spp == 4) {
            const std::uint8_t* q = s + 4 * x;
            return std::uint32_t{q[0]} << 16 | std::uint32_t{q[1]} << 8 | q[2];
        }
        if (bps == 8) return grey(s[spp * x]);
        if (bps == 4) return grey((s[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 15u);
        return grey((s[x / 8] >> (7 - x % 8)) & 1u);
    };
    img->width = w;
    img->height = h;
    img->compression = compression;
    img->colourMap = haveMap;
    img->pixels.assign(std::size_t{w} * h, 0);
    img->rowRead.assign(h, 0);
    if (rps == 0 || rps > h) rps = h;
    const auto line = static_cast<std::size_t>(TIFFScanlineSize64(t));
    std::vector<std::uint8_t> strip(line * rps + 16);
    const std::uint32_t strips = TIFFNumberOfStrips(t);
    for (std::uint32_t s = 0; s < strips && std::uint64_t{s} * rps < h; ++s) {
        const std::uint32_t y0 = s * rps, rows = std::min(rps, h - y0);
        // libtiff stands in offset 0 (the header) for strips that StripOffsets does not list.
        if (TIFFGetStrileOffset(t, s) == 0) continue;
        const unsigned long complaints = gLibtiffComplaints;
        const tmsize_t got = TIFFReadEncodedStrip(t, s, strip.data(), tmsize_t(line * rows));
        if (got < 0 || static_cast<std::size_t>(got) < line * rows) continue;
        if (strict && gLibtiffComplaints != complaints) continue;
        for (std::uint32_t r = 0; r < rows; ++r) {
            std::uint32_t* out = img->pixels.data() + std::size_t{y0 + r} * w;
            for (std::uint32_t x = 0; x < w; ++x) out[x] = colour(strip.data() + r * line, x);
            img->rowRead[y0 + r] = 1;
        }
    }
    TIFFClose(t);
    return true;
}

// Rows that this reader decodes as libtiff does on damaged input: in LZW and fax pages the
// decoder's state runs on from one strip to the next (a strip that ends short is continued by
// the next strip's first bytes), so rows are trusted only up to the first strip that libtiff
// failed; uncompressed and PackBits strips stand alone.
inline void KeepRowsBeforeFirstFailedStrip(Rgb* img) {
    if (img->compression < 2 || img->compression > 5) return;
    auto failed = std::find(img->rowRead.begin(), img->rowRead.end(), 0);
    std::fill(failed, img->rowRead.end(), 0);
}

inline int LibtiffDirectories(const std::string& path) {
    TIFFSetWarningHandler(QuietLibtiff);
    TIFFSetErrorHandler(QuietLibtiff);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) return 0;
    int n = TIFFNumberOfDirectories(t);
    TIFFClose(t);
    return n;
}

#endif  // QORIMG_HAVE_LIBTIFF

// ---- bilevel pages and libtiff's fax coders ----

// A bilevel page, top row first, one byte per pixel: 1 where the page is white.
struct Bilevel {
    std::uint32_t width = 0, height = 0;
    std::vector<std::uint8_t> white;
    std::uint8_t At(std::uint32_t x, std::uint32_t y) const {
        return white[std::size_t{y} * width + x];
    }
};

#ifdef QORIMG_HAVE_LIBTIFF

// How libtiff's encoders write a test file.
struct FaxFile {
    std::uint16_t compression = COMPRESSION_CCITTFAX4;
    std::uint32_t t4Options = 0;
    std::uint16_t fillOrder = FILLORDER_MSB2LSB;
    std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    std::uint32_t rowsPerStrip = 0;  // 0: one strip
};

// Writes `page` with libtiff (code white where the page is white). False when libtiff cannot.
inline bool WriteWithLibtiff(const std::string& path, const Bilevel& page, const FaxFile& how) {
    TIFFSetWarningHandler(QuietLibtiff);
    TIFFSetErrorHandler(QuietLibtiff);
    TIFF* t = TIFFOpen(path.c_str(), "w");
    if (t == nullptr) return false;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, page.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, page.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, how.photometric);
    TIFFSetField(t, TIFFTAG_FILLORDER, how.fillOrder);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    bool ok = TIFFSetField(t, TIFFTAG_COMPRESSION, how.compression) != 0;
    if (how.compression == COMPRESSION_CCITTFAX3) {
        TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, how.t4Options);
    }
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, how.rowsPerStrip ? how.rowsPerStrip : page.height);
    std::vector<std::uint8_t> line((page.width + 7) / 8);
    for (std::uint32_t y = 0; ok && y < page.height; ++y) {
        std::fill(line.begin(), line.end(), 0);
        for (std::uint32_t x = 0; x < page.width; ++x) {
            // libtiff's fax coders take a 0 bit as white, whatever the photometric.
            if (!page.At(x, y))
                line[x / 8] = static_cast<std::uint8_t>(line[x / 8] | 0x80 >> x % 8);
        }
        ok = TIFFWriteScanline(t, line.data(), y, 0) >= 0;
    }
    TIFFClose(t);
    return ok;
}

// The first page of a file as libtiff decodes it, white where the pixel is white: a 0 bit in a
// WhiteIsZero page, a 1 bit in a BlackIsZero one. False when libtiff reports an error.
inline bool ReadWithLibtiff(const std::string& path, Bilevel* page) {
    TIFFSetWarningHandler(QuietLibtiff);
    TIFFSetErrorHandler(QuietLibtiff);
    TIFF* t = TIFFOpen(path.c_str(), "r");
    if (t == nullptr) return false;
    std::uint32_t w = 0, h = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    page->width = w;
    page->height = h;
    std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    const unsigned whiteBit = photometric == PHOTOMETRIC_MINISBLACK ? 1 : 0;
    page->white.assign(std::size_t{w} * h, 1);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize(t)) + 8);
    bool ok = true;
    for (std::uint32_t y = 0; y < h && ok; ++y) {
        ok = TIFFReadScanline(t, line.data(), y, 0) >= 0;
        for (std::uint32_t x = 0; ok && x < w; ++x) {
            page->white[std::size_t{y} * w + x] = ((line[x / 8] >> (7 - x % 8)) & 1u) == whiteBit;
        }
    }
    TIFFClose(t);
    return ok;
}

#endif  // QORIMG_HAVE_LIBTIFF

}  // namespace qor::test
