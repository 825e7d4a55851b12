#include "image_io.h"

#include <png.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "platform/bytes.h"
#include "platform/dib.h"
#include "png_data.h"
#include "progress.h"
#include "tool.h"

namespace qorimg_tool {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A locked packed DIB of a depth the writers handle. Unlocks on destruction.
class LockedDib {
  public:
    explicit LockedDib(QorHandle dib) : dib_(dib) {
        void* base = QorGlobalLock(dib);
        if (base == nullptr) return;
        locked_ = true;
        ok = qor::ViewDib(base, QorGlobalSize(dib), &view) && view.compression == 0 &&
             (view.bits == 1 || view.bits == 4 || view.bits == 8 || view.bits == 24 ||
              view.bits == 32) &&
             view.colours <= 256;
    }
    ~LockedDib() {
        if (locked_) QorGlobalUnlock(dib_);
    }
    LockedDib(const LockedDib&) = delete;
    LockedDib& operator=(const LockedDib&) = delete;

    bool ok = false;
    qor::DibView view;

  private:
    QorHandle dib_;
    bool locked_ = false;
};

// A new zeroed packed DIB with 2^bits palette entries, locked; *view describes it.
QorHandle NewDib(std::uint32_t width, std::uint32_t height, unsigned bits, qor::DibView* view) {
    QorHandle dib =
        QorGlobalAlloc(QOR_GMEM_MOVEABLE | QOR_GMEM_ZEROINIT, qor::DibSize(width, height, bits));
    void* p = dib != 0 ? QorGlobalLock(dib) : nullptr;
    if (p == nullptr) {
        if (dib != 0) QorGlobalFree(dib);
        return 0;
    }
    *view = qor::WriteDibHeader(p, width, height, bits);
    return dib;
}

void PutIndex(std::uint8_t* row, std::uint32_t x, unsigned bits, unsigned v) {
    switch (bits) {
        case 1:
            row[x / 8] = static_cast<std::uint8_t>(row[x / 8] | (v & 1u) << (7 - x % 8));
            break;
        case 4:
            row[x / 2] = static_cast<std::uint8_t>(row[x / 2] | (v & 15u) << (x % 2 ? 0 : 4));
            break;
        default:
            row[x] = static_cast<std::uint8_t>(v);
            break;
    }
}

unsigned GetIndex(const std::uint8_t* row, std::uint32_t x, unsigned bits) {
    switch (bits) {
        case 1:
            return (unsigned{row[x / 8]} >> (7 - x % 8)) & 1u;
        case 2:
            return (unsigned{row[x / 4]} >> (6 - 2 * (x % 4))) & 3u;
        case 4:
            return (unsigned{row[x / 2]} >> (x % 2 ? 0 : 4)) & 15u;
        default:
            return row[x];
    }
}

bool WriteAll(std::FILE* out, const void* data, std::size_t n) {
    return std::fwrite(data, 1, n, out) == n;
}

// ---- BMP ----

struct BmpHeader {
    std::uint32_t headerSize = 0, compression = 0, used = 0;
    std::int32_t width = 0, height = 0;
    unsigned bits = 0;
    std::uint64_t pixelsAt = 0;
};

Refusal Damaged(std::string why) {
    return {std::move(why), QOR_READ_FAILED};
}
Refusal Unwritable(std::string why) {
    return {std::move(why), QOR_BAD_REQUEST};
}

Refusal ParseBmpHeader(const Bytes& file, BmpHeader* h) {
    if (file.size() < 14 + 40) return Damaged("BMP file too short");
    const std::uint8_t* p = file.data() + 14;
    h->headerSize = qor::LoadLE32(p);
    if (h->headerSize < 40)
        return Unwritable("BMP headers before BITMAPINFOHEADER are not supported");
    if (14ull + h->headerSize > file.size()) return Damaged("BMP file too short");
    h->width = static_cast<std::int32_t>(qor::LoadLE32(p + 4));
    h->height = static_cast<std::int32_t>(qor::LoadLE32(p + 8));
    h->bits = qor::LoadLE16(p + 14);
    h->compression = qor::LoadLE32(p + 16);
    h->used = qor::LoadLE32(p + 32);
    h->pixelsAt = qor::LoadLE32(file.data() + 10);
    return {};
}

void DescribeBmpHeader(const BmpHeader& h, ImageDescription* d) {
    d->bmp = true;
    d->bmpCompression = h.compression;
    // A negative width is kept out of range, and so refused; a negative height means top-down.
    d->width = h.width < 0 ? 0 : static_cast<std::uint32_t>(h.width);
    d->height = static_cast<std::uint32_t>(h.height < 0 ? -std::int64_t{h.height} : h.height);
    d->topDown = h.height < 0;
    d->bitDepth = h.bits;
    d->colourType = h.bits <= 8 ? "palette" : "RGB";
    d->colours = h.bits <= 8 ? (h.used != 0 ? h.used : 1u << h.bits) : 0;
    static const char* const kCompression[] = {"none", "RLE8", "RLE4", "bit fields"};
    d->compression = h.compression < 4 ? kCompression[h.compression]
                                       : "compression " + std::to_string(h.compression);
}

Refusal ReadFile(const std::string& path, Bytes* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {"cannot open", QOR_OPEN_FAILED};
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return {};
}

constexpr std::uint32_t kBmpRle8 = 1, kBmpRle4 = 2;

// Decodes RLE8 or RLE4 data (`bits` 8 or 4) into the rows of `v`, bottom-up as the BMP stores
// them. Runs and literal pixels beyond a row or the image are dropped, and pixels that the data
// never sets stay 0; the walk ends at the end-of-bitmap code, past the last row, or where the
// data ends. False when a literal run is cut off by the end of the data.
bool DecodeBmpRle(const std::uint8_t* data, std::size_t size, unsigned bits,
                  const qor::DibView& v) {
    std::uint64_t x = 0, y = 0;
    auto put = [&](unsigned index) {
        if (x < v.width && y < v.height)
            PutIndex(v.pixels + v.stride * y, static_cast<std::uint32_t>(x), bits, index);
        ++x;
    };
    std::size_t i = 0;
    while (i + 1 < size && y < v.height) {
        const unsigned n = data[i], c = data[i + 1];
        i += 2;
        if (n != 0) {
            // A run of n pixels: one index, or two alternating in RLE4.
            for (unsigned k = 0; k < n; ++k) put(bits == 8 ? c : (k % 2 == 0 ? c >> 4 : c & 15u));
            continue;
        }
        if (c == 0) {  // end of line
            x = 0;
            ++y;
        } else if (c == 1) {  // end of bitmap
            break;
        } else if (c == 2) {  // move right and up
            if (i + 1 >= size) break;
            x += data[i];
            y += data[i + 1];
            i += 2;
        } else {  // c literal pixels, their bytes padded to an even count
            const std::size_t bytes = bits == 8 ? c : (c + 1) / 2;
            if (bytes > size - i) return false;
            for (unsigned k = 0; k < c; ++k) {
                const std::uint8_t b = data[i + (bits == 8 ? k : k / 2)];
                put(bits == 8 ? b : (k % 2 == 0 ? b >> 4 : b & 15u));
            }
            i += bytes + (bytes & 1);
        }
    }
    return true;
}

Refusal ReadBmp(const Bytes& file, PaletteImage* out) {
    BmpHeader h;
    if (Refusal r = ParseBmpHeader(file, &h); r.status != 0) return r;
    ImageDescription d;
    DescribeBmpHeader(h, &d);
    if (Refusal r = GifInputRefusal(d); r.status != 0) return r;
    bool topDown = h.height < 0;
    std::uint32_t width = d.width, height = d.height;
    std::uint32_t colours = std::min(h.used != 0 ? h.used : 1u << h.bits, 1u << h.bits);
    std::uint64_t paletteAt = 14ull + h.headerSize;
    std::uint64_t stride = qor::DibStride(width, h.bits);
    const bool rle = h.compression != 0;
    // RLE data is as long as it is; rows of the other kind must all be there.
    const std::uint64_t pixelBytes = rle ? 0 : stride * height;
    if (paletteAt + 4ull * colours > file.size() || h.pixelsAt + pixelBytes > file.size()) {
        return Damaged("BMP file is truncated");
    }
    qor::DibView v;
    QorHandle dib = NewDib(width, height, h.bits, &v);
    if (dib == 0) return {StatusText(QOR_NO_MEMORY), QOR_NO_MEMORY};
    std::memcpy(v.palette, file.data() + paletteAt, 4ull * colours);
    if (rle) {
        const std::uint8_t* data = file.data() + h.pixelsAt;
        if (!DecodeBmpRle(data, file.size() - h.pixelsAt, h.bits, v)) {
            QorGlobalUnlock(dib);
            QorGlobalFree(dib);
            return Damaged("BMP RLE data is truncated");
        }
    }
    for (std::uint32_t y = 0; y < height && !rle; ++y) {
        // Both are stored bottom-up unless the BMP says top-down.
        std::uint32_t src = topDown ? height - 1 - y : y;
        std::memcpy(v.pixels + stride * y, file.data() + h.pixelsAt + stride * src, stride);
    }
    QorGlobalUnlock(dib);
    out->dib = dib;
    out->colours = colours;
    return {};
}

// ---- PNG ----

// libpng's error messages are kept for ours; its warnings are not shown.
struct PngErrors {
    char message[200] = "damaged PNG file";
};

extern "C" void OnPngError(png_structp png, png_const_charp message) {
    auto* errors = static_cast<PngErrors*>(png_get_error_ptr(png));
    std::snprintf(errors->message, sizeof errors->message, "damaged PNG file (%s)", message);
    png_longjmp(png, 1);
}
extern "C" void OnPngWarning(png_structp, png_const_charp) {}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct PngRead {
    PngErrors errors;
    png_structp png = nullptr;
    png_infop info = nullptr;
    File file;
    PngRead() {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, OnPngError, OnPngWarning);
        if (png != nullptr) info = png_create_info_struct(png);
    }
    ~PngRead() { png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr); }
    PngRead(const PngRead&) = delete;
    PngRead& operator=(const PngRead&) = delete;
};

const char* PngColourType(int type) {
    switch (type) {
        case PNG_COLOR_TYPE_PALETTE:
            return "palette";
        case PNG_COLOR_TYPE_GRAY:
            return "grey";
        case PNG_COLOR_TYPE_GRAY_ALPHA:
            return "grey with alpha";
        case PNG_COLOR_TYPE_RGB:
            return "RGB";
        default:
            return "RGBA";
    }
}

// The one entry that a palette PNG's tRNS makes fully transparent, or the grey level that a
// grey PNG's tRNS names; -1 otherwise. *partial counts entries that are only partly transparent.
int PngTransparentIndex(png_structp png, png_infop info, int* partial) {
    *partial = 0;
    png_bytep alpha = nullptr;
    int count = 0;
    png_color_16p grey = nullptr;
    if (png_get_tRNS(png, info, &alpha, &count, &grey) == 0) return -1;
    if (png_get_color_type(png, info) == PNG_COLOR_TYPE_GRAY) {
        int levels = 1 << png_get_bit_depth(png, info);
        return grey != nullptr && grey->gray < levels ? grey->gray : -1;
    }
    if (alpha == nullptr) return -1;
    int found = -1, zeros = 0;
    for (int i = 0; i < count; ++i) {
        if (alpha[i] == 0) {
            found = i;
            ++zeros;
        } else if (alpha[i] != 255) {
            ++*partial;
        }
    }
    return zeros == 1 ? found : -1;
}

// The description of a PNG whose header libpng has read.
void DescribePngInfo(png_structp png, png_infop info, ImageDescription* d) {
    d->width = png_get_image_width(png, info);
    d->height = png_get_image_height(png, info);
    d->bitDepth = png_get_bit_depth(png, info);
    int type = png_get_color_type(png, info);
    d->colourType = PngColourType(type);
    png_colorp entries = nullptr;
    int count = 0;
    if (type == PNG_COLOR_TYPE_PALETTE && png_get_PLTE(png, info, &entries, &count) != 0) {
        d->colours = static_cast<std::uint32_t>(count);
    }
    bool interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
    d->compression = interlaced ? "interlaced" : "not interlaced";
    int partial = 0;
    d->transparent = PngTransparentIndex(png, info, &partial);
}

Refusal ReadPng(const std::string& path, PaletteImage* out) {
    PngRead s;
    if (s.info == nullptr) return {StatusText(QOR_NO_MEMORY), QOR_NO_MEMORY};
    s.file.reset(std::fopen(path.c_str(), "rb"));
    if (!s.file) return {"cannot open", QOR_OPEN_FAILED};
    QorHandle dib = 0;
    Bytes image;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(s.png))) {
        if (dib != 0) {
            QorGlobalUnlock(dib);
            QorGlobalFree(dib);
        }
        return Damaged(s.errors.message);
    }
    png_init_io(s.png, s.file.get());
    png_read_info(s.png, s.info);
    ImageDescription d;
    DescribePngInfo(s.png, s.info, &d);
    if (Refusal r = GifInputRefusal(d); r.status != 0) return r;
    png_uint_32 width = d.width, height = d.height;
    int depth = png_get_bit_depth(s.png, s.info);
    int type = png_get_color_type(s.png, s.info);
    int partial = 0;
    out->transparent = PngTransparentIndex(s.png, s.info, &partial);
    if (partial != 0) {
        out->warnings.push_back(std::to_string(partial) +
                                " partly transparent palette entries become opaque");
    }
    int passes = png_set_interlace_handling(s.png);
    png_read_update_info(s.png, s.info);
    std::size_t rowBytes = png_get_rowbytes(s.png, s.info);
    image.resize(rowBytes * height);
    rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = image.data() + rowBytes * y;
    for (int pass = 0; pass < passes; ++pass) {
        for (png_uint_32 y = 0; y < height; ++y) {
            if (Cancelled()) return {"cancelled", QOR_CANCELLED};
            png_read_row(s.png, rows[y], nullptr);
        }
    }
    png_read_end(s.png, nullptr);

    unsigned bits = depth == 1 ? 1 : depth <= 4 ? 4 : 8;
    qor::DibView v;
    dib = NewDib(width, height, bits, &v);
    if (dib == 0) return {StatusText(QOR_NO_MEMORY), QOR_NO_MEMORY};
    if (type == PNG_COLOR_TYPE_PALETTE) {
        png_colorp entries = nullptr;
        int count = 0;
        png_get_PLTE(s.png, s.info, &entries, &count);
        count = std::min(count, 1 << bits);
        for (int i = 0; i < count; ++i) {
            v.palette[4 * i] = entries[i].blue;
            v.palette[4 * i + 1] = entries[i].green;
            v.palette[4 * i + 2] = entries[i].red;
        }
        out->colours = static_cast<std::uint32_t>(count);
    } else {
        int levels = 1 << depth;
        for (int i = 0; i < levels; ++i) {
            auto g = static_cast<std::uint8_t>(i * 255 / (levels - 1));
            v.palette[4 * i] = v.palette[4 * i + 1] = v.palette[4 * i + 2] = g;
        }
        out->colours = static_cast<std::uint32_t>(levels);
    }
    for (png_uint_32 y = 0; y < height; ++y) {
        std::uint8_t* row = v.Row(y);
        for (png_uint_32 x = 0; x < width; ++x) {
            PutIndex(row, x, bits, GetIndex(rows[y], x, static_cast<unsigned>(depth)));
        }
    }
    QorGlobalUnlock(dib);
    out->dib = dib;
    return {};
}

struct PngWrite {
    PngErrors errors;
    png_structp png = nullptr;
    png_infop info = nullptr;
    PngWrite() {
        png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &errors, OnPngError, OnPngWarning);
        if (png != nullptr) info = png_create_info_struct(png);
    }
    ~PngWrite() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }
    PngWrite(const PngWrite&) = delete;
    PngWrite& operator=(const PngWrite&) = delete;
};

}  // namespace

std::string WritePng(std::FILE* out, QorHandle dib, int transparentIndex) {
    LockedDib locked(dib);
    if (!locked.ok) return "the delivered bitmap is malformed";
    const qor::DibView& v = locked.view;
    PngWrite s;
    if (s.info == nullptr) return "out of memory";
    Bytes row;
    std::vector<png_color> palette;
    std::vector<png_byte> alpha;
    PngImageData data;
    std::unique_ptr<std::uint8_t[]> deflated;
    std::size_t deflatedSize = 0;
    if (setjmp(png_jmpbuf(s.png))) return std::strerror(errno != 0 ? errno : EIO);
    png_init_io(s.png, out);
    if (v.bits == 24 || v.bits == 32) {
        // 32-bit DIBs carry straight alpha in their fourth byte.
        png_set_IHDR(s.png, s.info, v.width, v.height, 8,
                     v.bits == 32 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB,
                     PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    } else {
        png_set_IHDR(s.png, s.info, v.width, v.height, static_cast<int>(v.bits),
                     PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        // PNG allows no more palette entries than the bit depth can index.
        std::uint32_t n = std::min(v.colours, 1u << v.bits);
        palette.resize(n == 0 ? 1 : n);
        for (std::uint32_t i = 0; i < n; ++i) {
            palette[i].blue = v.palette[4 * i];
            palette[i].green = v.palette[4 * i + 1];
            palette[i].red = v.palette[4 * i + 2];
        }
        png_set_PLTE(s.png, s.info, palette.data(), static_cast<int>(palette.size()));
        if (transparentIndex >= 0 && transparentIndex < static_cast<int>(palette.size())) {
            alpha.assign(static_cast<std::size_t>(transparentIndex) + 1, 255);
            alpha.back() = 0;
            png_set_tRNS(s.png, s.info, alpha.data(), static_cast<int>(alpha.size()), nullptr);
        }
    }
    // The resolution that the DIB header states (pixels per metre), as a pHYs chunk: a fax page
    // of 204 x 98 dpi would otherwise show at half height.
    const std::uint32_t xPerMetre = qor::LoadLE32(v.base + 24),
                        yPerMetre = qor::LoadLE32(v.base + 28);
    if (xPerMetre != 0 && yPerMetre != 0) {
        png_set_pHYs(s.png, s.info, xPerMetre, yPerMetre, PNG_RESOLUTION_METER);
    }
    png_write_info(s.png, s.info);
    const unsigned channels = v.bits == 32 ? 4 : 3;
    row.resize(v.bits >= 24 ? std::uint64_t{channels} * v.width : v.stride);
    // The fast path filters and deflates the rows itself; libpng's own, row by row at zlib's
    // default level, is taken where the whole image's data cannot be held in memory at once.
    const std::size_t rowBytes =
        v.bits >= 24 ? row.size()
                     : static_cast<std::size_t>((std::uint64_t{v.width} * v.bits + 7) / 8);
    const bool whole = data.Start(v.height, rowBytes, v.bits >= 24 ? channels : 0);
    for (std::uint32_t y = 0; y < v.height; ++y) {
        if (!ReportProgress(y, v.height)) return "cancelled";
        const std::uint8_t* src = v.Row(y);
        if (v.bits >= 24) {
            for (std::uint32_t x = 0; x < v.width; ++x) {
                const std::uint8_t* p = src + std::size_t{channels} * x;
                std::uint8_t* q = row.data() + std::size_t{channels} * x;
                q[0] = p[2];
                q[1] = p[1];
                q[2] = p[0];
                if (channels == 4) q[3] = p[3];
            }
        } else {
            std::memcpy(row.data(), src, v.stride);
        }
        if (whole) {
            data.AddRow(row.data());
        } else {
            png_write_row(s.png, row.data());
        }
    }
    if (whole) {
        if (!data.Finish(&deflated, &deflatedSize)) return "out of memory";
        // IDAT chunks of at most 1 MiB each, then the end.
        constexpr std::size_t kChunk = std::size_t{1} << 20;
        static const png_byte kIdat[5] = "IDAT", kIend[5] = "IEND";
        for (std::size_t at = 0; at < deflatedSize; at += kChunk) {
            png_write_chunk(s.png, kIdat, deflated.get() + at, std::min(kChunk, deflatedSize - at));
        }
        png_write_chunk(s.png, kIend, nullptr, 0);
    } else {
        png_write_end(s.png, nullptr);
    }
    ReportProgress(v.height, v.height);
    if (std::fflush(out) != 0 || std::ferror(out)) return std::strerror(errno != 0 ? errno : EIO);
    return {};
}

std::string WriteBmp(std::FILE* out, QorHandle dib) {
    LockedDib locked(dib);
    if (!locked.ok) return "the delivered bitmap is malformed";
    const qor::DibView& v = locked.view;
    std::uint64_t total = 14 + v.pixelOffset + v.stride * v.height;
    std::uint8_t fileHeader[14] = {'B', 'M'};
    qor::StoreLE32(fileHeader + 2, static_cast<std::uint32_t>(total));
    qor::StoreLE32(fileHeader + 10, static_cast<std::uint32_t>(14 + v.pixelOffset));
    bool written = WriteAll(out, fileHeader, 14) && WriteAll(out, v.base, v.pixelOffset);
    // Rows go out in slices, so that a cancellation is seen within a fraction of the image.
    constexpr std::uint32_t kSlices = 64;
    std::uint32_t step = std::max<std::uint32_t>(1, v.height / kSlices);
    for (std::uint32_t y = 0; written && y < v.height; y += step) {
        if (!ReportProgress(y, v.height)) return "cancelled";
        std::uint32_t n = std::min(step, v.height - y);
        written = WriteAll(out, v.pixels + v.stride * y, v.stride * n);
    }
    if (!written || std::fflush(out) != 0) return std::strerror(errno != 0 ? errno : EIO);
    ReportProgress(v.height, v.height);
    return {};
}

Refusal ReadPaletteImage(const std::string& path, PaletteImage* image) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {"cannot open", QOR_OPEN_FAILED};
    std::uint8_t head[8] = {};
    in.read(reinterpret_cast<char*>(head), 8);
    if (in.gcount() >= 2 && head[0] == 'B' && head[1] == 'M') {
        Bytes file;
        if (Refusal r = ReadFile(path, &file); r.status != 0) return r;
        return ReadBmp(file, image);
    }
    if (in.gcount() == 8 && png_sig_cmp(head, 0, 8) == 0) return ReadPng(path, image);
    return Unwritable("not a BMP or PNG file");
}

Refusal DescribePng(const std::string& path, ImageDescription* d) {
    PngRead s;
    if (s.info == nullptr) return {StatusText(QOR_NO_MEMORY), QOR_NO_MEMORY};
    s.file.reset(std::fopen(path.c_str(), "rb"));
    if (!s.file) return {"cannot open", QOR_OPEN_FAILED};
    if (setjmp(png_jmpbuf(s.png))) return Damaged(s.errors.message);
    png_init_io(s.png, s.file.get());
    png_read_info(s.png, s.info);
    DescribePngInfo(s.png, s.info, d);
    return {};
}

Refusal DescribeBmp(const std::string& path, ImageDescription* d) {
    // The headers are all we need: at most the file header and a version 5 header.
    std::ifstream in(path, std::ios::binary);
    if (!in) return {"cannot open", QOR_OPEN_FAILED};
    Bytes head(14 + 124);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    BmpHeader h;
    if (Refusal r = ParseBmpHeader(head, &h); r.status != 0) return r;
    DescribeBmpHeader(h, d);
    return {};
}

Refusal GifInputRefusal(const ImageDescription& d) {
    const std::string bits = std::to_string(d.bitDepth);
    if (d.bmp) {
        if (d.bitDepth > 8) {
            return Unwritable("true-colour BMP (" + bits +
                              " bits per pixel): GIF output needs 1, 4 or 8 bits; qorimg does not "
                              "quantise");
        }
        if (d.bitDepth != 1 && d.bitDepth != 4 && d.bitDepth != 8) {
            return Unwritable("BMP of " + bits + " bits per pixel: GIF output needs 1, 4 or 8");
        }
        const bool rle = (d.bmpCompression == kBmpRle8 && d.bitDepth == 8) ||
                         (d.bmpCompression == kBmpRle4 && d.bitDepth == 4);
        if (d.bmpCompression != 0 && !rle) {
            return Unwritable(d.compression + " BMP files of " + bits +
                              " bits per pixel are not supported; qorimg reads uncompressed, RLE8 "
                              "and RLE4 ones");
        }
        // Run-length data runs bottom-up; the format has no top-down form of it.
        if (rle && d.topDown)
            return Unwritable("top-down " + d.compression + " BMP files are not valid");
    } else if (d.bitDepth == 16) {
        return Unwritable("16-bit " + d.colourType +
                          " PNG: GIF output needs 1 to 8 bits; qorimg does not reduce bit depth");
    } else if (d.colourType == "RGB" || d.colourType == "RGBA") {
        return Unwritable("true-colour PNG (" + d.colourType +
                          "): GIF output needs a palette of at most 256 colours or 1- to 8-bit "
                          "grey; qorimg does not quantise");
    } else if (d.colourType == "grey with alpha") {
        return Unwritable(
            "grey PNG with an alpha channel: GIF output needs a palette or 1- to 8-bit grey "
            "without alpha");
    }
    if (d.width == 0 || d.height == 0 || d.width > qor::kMaxDibSide ||
        d.height > qor::kMaxDibSide) {
        return Unwritable(std::to_string(d.width) + " x " + std::to_string(d.height) +
                          " pixels: GIF output takes 1 to 32767 a side");
    }
    return {};
}

}  // namespace qorimg_tool
