#include "image_io.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace qorimg_tool {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t U32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}
std::uint16_t U16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

std::uint64_t Stride(std::uint64_t width, unsigned bits) {
    return ((width * bits + 31) / 32) * 4;
}

// A locked packed DIB, checked against its block size. Unlocks on destruction.
class DibView {
  public:
    explicit DibView(QorHandle dib) : dib_(dib) {
        std::uint64_t size = QorGlobalSize(dib);
        base_ = static_cast<const std::uint8_t*>(QorGlobalLock(dib));
        if (base_ == nullptr || size < 40) return;
        std::uint32_t headerSize = U32(base_);
        auto w = static_cast<std::int32_t>(U32(base_ + 4));
        auto h = static_cast<std::int32_t>(U32(base_ + 8));
        bits = U16(base_ + 14);
        std::uint32_t used = U32(base_ + 32);
        if (headerSize < 40 || w <= 0 || h <= 0) return;
        if (bits != 1 && bits != 4 && bits != 8 && bits != 24) return;
        colours = bits == 24 ? 0 : used != 0 ? used : 1u << bits;
        width = static_cast<std::uint32_t>(w);
        height = static_cast<std::uint32_t>(h);
        stride = Stride(width, bits);
        std::uint64_t offset = std::uint64_t{headerSize} + 4ull * colours;
        if (colours > 256 || offset + stride * height > size) return;
        palette = base_ + headerSize;
        pixels = base_ + offset;
        ok = true;
    }
    ~DibView() {
        if (base_ != nullptr) QorGlobalUnlock(dib_);
    }
    DibView(const DibView&) = delete;
    DibView& operator=(const DibView&) = delete;
    // Image row y (0 = top); rows are stored bottom-up.
    const std::uint8_t* Row(std::uint32_t y) const { return pixels + stride * (height - 1 - y); }
    const std::uint8_t* base() const { return base_; }

    bool ok = false;
    std::uint32_t width = 0, height = 0, colours = 0;
    unsigned bits = 0;
    std::uint64_t stride = 0;
    const std::uint8_t* palette = nullptr;  // RGBQUAD entries
    const std::uint8_t* pixels = nullptr;

  private:
    QorHandle dib_;
    const std::uint8_t* base_ = nullptr;
};

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f != nullptr) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A new zeroed packed DIB with a BITMAPINFOHEADER and 2^bits palette entries.
QorHandle NewDib(std::uint32_t width, std::uint32_t height, unsigned bits, std::uint8_t** pixels,
                 std::uint8_t** palette) {
    std::uint64_t colours = 1ull << bits;
    std::uint64_t image = Stride(width, bits) * height;
    QorHandle dib = QorGlobalAlloc(QOR_GMEM_MOVEABLE | QOR_GMEM_ZEROINIT, 40 + 4 * colours + image);
    if (dib == 0) return 0;
    auto* p = static_cast<std::uint8_t*>(QorGlobalLock(dib));
    Put32(p, 40);
    Put32(p + 4, width);
    Put32(p + 8, height);
    Put16(p + 12, 1);
    Put16(p + 14, static_cast<std::uint16_t>(bits));
    Put32(p + 20, static_cast<std::uint32_t>(image));
    Put32(p + 32, static_cast<std::uint32_t>(colours));
    Put32(p + 36, static_cast<std::uint32_t>(colours));
    *palette = p + 40;
    *pixels = p + 40 + 4 * colours;
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

std::string ReadBmp(const Bytes& file, QorHandle* out) {
    if (file.size() < 14 + 40) return "BMP file too short";
    const std::uint8_t* h = file.data() + 14;
    std::uint32_t headerSize = U32(h);
    if (headerSize < 40 || 14ull + headerSize > file.size()) {
        return "unsupported BMP header (only BITMAPINFOHEADER and later)";
    }
    auto w = static_cast<std::int32_t>(U32(h + 4));
    auto hh = static_cast<std::int32_t>(U32(h + 8));
    unsigned bits = U16(h + 14);
    std::uint32_t compression = U32(h + 16);
    std::uint32_t used = U32(h + 32);
    if (bits > 8) {
        return "true-colour BMP (" + std::to_string(bits) +
               " bits per pixel): GIF output needs 1, 4 or 8 bits; qorimg does not quantise";
    }
    if (bits != 1 && bits != 4 && bits != 8) return "unsupported BMP bit depth";
    if (compression != 0) return "compressed BMP files are not supported";
    bool topDown = hh < 0;
    std::int64_t height64 = hh < 0 ? -std::int64_t{hh} : hh;
    if (w <= 0 || height64 == 0 || w > 32767 || height64 > 32767) return "unsupported BMP size";
    auto width = static_cast<std::uint32_t>(w);
    auto height = static_cast<std::uint32_t>(height64);
    std::uint32_t colours = used != 0 ? used : 1u << bits;
    if (colours > (1u << bits)) colours = 1u << bits;
    std::uint64_t paletteAt = 14ull + headerSize;
    std::uint64_t pixelsAt = U32(file.data() + 10);
    std::uint64_t stride = Stride(width, bits);
    if (paletteAt + 4ull * colours > file.size() || pixelsAt + stride * height > file.size()) {
        return "BMP file is truncated";
    }
    std::uint8_t *pixels, *palette;
    QorHandle dib = NewDib(width, height, bits, &pixels, &palette);
    if (dib == 0) return "out of memory";
    std::memcpy(palette, file.data() + paletteAt, 4ull * colours);
    for (std::uint32_t y = 0; y < height; ++y) {
        // Both are stored bottom-up unless the BMP says top-down.
        std::uint32_t src = topDown ? height - 1 - y : y;
        std::memcpy(pixels + stride * y, file.data() + pixelsAt + stride * src, stride);
    }
    QorGlobalUnlock(dib);
    *out = dib;
    return {};
}

struct PngReadState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngReadState() { png_destroy_read_struct(&png, info != nullptr ? &info : nullptr, nullptr); }
};

std::string ReadPng(const std::string& path, QorHandle* out) {
    File f(std::fopen(path.c_str(), "rb"));
    if (!f) return "cannot open";
    PngReadState s;
    s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (s.png == nullptr) return "out of memory";
    s.info = png_create_info_struct(s.png);
    if (s.info == nullptr) return "out of memory";
    QorHandle dib = 0;
    std::vector<png_bytep> rows;
    Bytes image;
    if (setjmp(png_jmpbuf(s.png))) {
        if (dib != 0) {
            QorGlobalUnlock(dib);
            QorGlobalFree(dib);
        }
        return "damaged PNG file";
    }
    png_init_io(s.png, f.get());
    png_read_info(s.png, s.info);
    png_uint_32 width = png_get_image_width(s.png, s.info);
    png_uint_32 height = png_get_image_height(s.png, s.info);
    int depth = png_get_bit_depth(s.png, s.info);
    int type = png_get_color_type(s.png, s.info);
    if (type != PNG_COLOR_TYPE_PALETTE && !(type == PNG_COLOR_TYPE_GRAY && depth <= 8)) {
        return "true-colour PNG: GIF output needs a palette of at most 256 colours or 1- to "
               "8-bit grey; qorimg does not quantise";
    }
    if (width == 0 || height == 0 || width > 32767 || height > 32767) return "unsupported PNG size";
    if (png_get_interlace_type(s.png, s.info) != PNG_INTERLACE_NONE) {
        png_set_interlace_handling(s.png);
    }
    png_read_update_info(s.png, s.info);
    std::size_t rowBytes = png_get_rowbytes(s.png, s.info);
    image.resize(rowBytes * height);
    rows.resize(height);
    for (png_uint_32 y = 0; y < height; ++y) rows[y] = image.data() + rowBytes * y;
    png_read_image(s.png, rows.data());

    unsigned bits = depth == 1 ? 1 : depth <= 4 ? 4 : 8;
    std::uint8_t *pixels, *palette;
    dib = NewDib(width, height, bits, &pixels, &palette);
    if (dib == 0) return "out of memory";
    if (type == PNG_COLOR_TYPE_PALETTE) {
        png_colorp entries = nullptr;
        int count = 0;
        png_get_PLTE(s.png, s.info, &entries, &count);
        for (int i = 0; i < count && i < (1 << bits); ++i) {
            palette[4 * i] = entries[i].blue;
            palette[4 * i + 1] = entries[i].green;
            palette[4 * i + 2] = entries[i].red;
        }
    } else {
        int levels = 1 << depth;
        for (int i = 0; i < levels; ++i) {
            auto g = static_cast<std::uint8_t>(i * 255 / (levels - 1));
            palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = g;
        }
    }
    std::uint64_t stride = Stride(width, bits);
    for (png_uint_32 y = 0; y < height; ++y) {
        std::uint8_t* row = pixels + stride * (height - 1 - y);
        for (png_uint_32 x = 0; x < width; ++x) {
            PutIndex(row, x, bits, GetIndex(rows[y], x, static_cast<unsigned>(depth)));
        }
    }
    QorGlobalUnlock(dib);
    *out = dib;
    return {};
}

struct PngWriteState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriteState() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }
};

}  // namespace

std::string WritePng(const std::string& path, QorHandle dib, int transparentIndex) {
    DibView v(dib);
    if (!v.ok) return "the delivered bitmap is malformed";
    File f(std::fopen(path.c_str(), "wb"));
    if (!f) return "cannot create " + path;
    PngWriteState s;
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (s.png == nullptr) return "out of memory";
    s.info = png_create_info_struct(s.png);
    if (s.info == nullptr) return "out of memory";
    Bytes row;
    if (setjmp(png_jmpbuf(s.png))) return "cannot write " + path;
    png_init_io(s.png, f.get());
    if (v.bits == 24) {
        png_set_IHDR(s.png, s.info, v.width, v.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                     PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    } else {
        png_set_IHDR(s.png, s.info, v.width, v.height, static_cast<int>(v.bits),
                     PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                     PNG_FILTER_TYPE_DEFAULT);
        // PNG allows no more palette entries than the bit depth can index.
        std::uint32_t n = std::min(v.colours, 1u << v.bits);
        std::vector<png_color> palette(n == 0 ? 1 : n);
        for (std::uint32_t i = 0; i < n; ++i) {
            palette[i].blue = v.palette[4 * i];
            palette[i].green = v.palette[4 * i + 1];
            palette[i].red = v.palette[4 * i + 2];
        }
        png_set_PLTE(s.png, s.info, palette.data(), static_cast<int>(palette.size()));
        if (transparentIndex >= 0 && transparentIndex < static_cast<int>(palette.size())) {
            std::vector<png_byte> alpha(static_cast<std::size_t>(transparentIndex) + 1, 255);
            alpha.back() = 0;
            png_set_tRNS(s.png, s.info, alpha.data(), static_cast<int>(alpha.size()), nullptr);
        }
    }
    png_write_info(s.png, s.info);
    row.resize(v.bits == 24 ? 3ull * v.width : v.stride);
    for (std::uint32_t y = 0; y < v.height; ++y) {
        const std::uint8_t* src = v.Row(y);
        if (v.bits == 24) {
            for (std::uint32_t x = 0; x < v.width; ++x) {
                row[3 * x] = src[3 * x + 2];
                row[3 * x + 1] = src[3 * x + 1];
                row[3 * x + 2] = src[3 * x];
            }
        } else {
            std::memcpy(row.data(), src, v.stride);
        }
        png_write_row(s.png, row.data());
    }
    png_write_end(s.png, nullptr);
    if (std::fflush(f.get()) != 0 || std::ferror(f.get())) return "cannot write " + path;
    return {};
}

std::string WriteBmp(const std::string& path, QorHandle dib) {
    DibView v(dib);
    if (!v.ok) return "the delivered bitmap is malformed";
    auto headerAndPalette = static_cast<std::uint64_t>(v.pixels - v.base());
    std::uint64_t total = 14 + headerAndPalette + v.stride * v.height;
    std::uint8_t fileHeader[14] = {'B', 'M'};
    Put32(fileHeader + 2, static_cast<std::uint32_t>(total));
    Put32(fileHeader + 10, static_cast<std::uint32_t>(14 + headerAndPalette));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(fileHeader), 14);
    out.write(reinterpret_cast<const char*>(v.base()),
              static_cast<std::streamsize>(headerAndPalette + v.stride * v.height));
    return out ? std::string() : "cannot write " + path;
}

std::string ReadPaletteImage(const std::string& path, QorHandle* dib) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot open";
    Bytes head(8);
    in.read(reinterpret_cast<char*>(head.data()), 8);
    if (in.gcount() >= 2 && head[0] == 'B' && head[1] == 'M') {
        in.seekg(0);
        Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return ReadBmp(file, dib);
    }
    if (in.gcount() == 8 && png_sig_cmp(head.data(), 0, 8) == 0) return ReadPng(path, dib);
    return "not a BMP or PNG file";
}

}  // namespace qorimg_tool
