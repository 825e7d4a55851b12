// Post-decode conversions: 16-bit grey-plus-alpha rows to 8-bit rows, 24-bit RGB to BGR, and
// 32-bit RGBA or CMYK to 24-bit BGR. Rows stay bottom-up; row r of the input is row r of the
// output.
#include <cstring>

#include "platform/bytes.h"
#include "tiff/reader.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define QOR_HAVE_SSSE3_PATH 1
#endif

namespace qor::tiff {
namespace {

// Views a DIB whose rows are still `inBits` wide, as decoded, under a header that may already
// state the converted bit count. False when such rows do not fit in its `size` bytes.
bool ViewInput(std::uint8_t* p, std::uint64_t size, std::uint32_t inBits, DibView* view) {
    if (!ViewDib(p, size, view)) return false;
    view->stride = DibStride(view->width, inBits);
    return view->pixelOffset + view->stride * view->height <= size;
}

// Copies `pixels` 3-byte pixels from `src` to `dst` with the first and third byte of each
// exchanged. `dst` is either `src` itself or does not overlap it.
void SwapCopyScalar(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t pixels) {
    for (std::uint64_t x = 0; x < pixels; ++x, src += 3, dst += 3) {
        std::uint8_t first = src[0], second = src[1], third = src[2];
        dst[0] = third;
        dst[1] = second;
        dst[2] = first;
    }
}

#ifdef QOR_HAVE_SSSE3_PATH
__attribute__((target("ssse3"))) void SwapCopySsse3(const std::uint8_t* src, std::uint8_t* dst,
                                                    std::uint64_t pixels) {
    std::uint64_t x = 0;
    // Sixteen pixels (48 bytes) per step: three loads, each output vector gathered from the
    // input vectors it draws on (an index of -128 yields zero), three stores. Every load comes
    // before the stores, so the step is safe in place as well.
    {
        const __m128i a0 = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, -128);
        const __m128i b0 = _mm_setr_epi8(-128, -128, -128, -128, -128, -128, -128, -128, -128, -128,
                                         -128, -128, -128, -128, -128, 1);
        const __m128i a1 = _mm_setr_epi8(-128, 15, -128, -128, -128, -128, -128, -128, -128, -128,
                                         -128, -128, -128, -128, -128, -128);
        const __m128i b1 = _mm_setr_epi8(0, -128, 4, 3, 2, 7, 6, 5, 10, 9, 8, 13, 12, 11, -128, 15);
        const __m128i c1 = _mm_setr_epi8(-128, -128, -128, -128, -128, -128, -128, -128, -128, -128,
                                         -128, -128, -128, -128, 0, -128);
        const __m128i b2 = _mm_setr_epi8(14, -128, -128, -128, -128, -128, -128, -128, -128, -128,
                                         -128, -128, -128, -128, -128, -128);
        const __m128i c2 = _mm_setr_epi8(-128, 3, 2, 1, 6, 5, 4, 9, 8, 7, 12, 11, 10, 15, 14, 13);
        for (; x + 16 <= pixels; x += 16, src += 48, dst += 48) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
            const __m128i o0 = _mm_or_si128(_mm_shuffle_epi8(a, a0), _mm_shuffle_epi8(b, b0));
            const __m128i o1 =
                _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, a1), _mm_shuffle_epi8(b, b1)),
                             _mm_shuffle_epi8(c, c1));
            const __m128i o2 = _mm_or_si128(_mm_shuffle_epi8(b, b2), _mm_shuffle_epi8(c, c2));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), o0);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), o1);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32), o2);
        }
    }
    // Then four pixels (12 bytes) per step from a 16-byte load, stored as 8 + 4 bytes so that no
    // store overlaps a later load (in place, the next load starts where this store ends).
    const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 12, 13, 14, 15);
    for (; x + 6 <= pixels; x += 4, src += 12, dst += 12) {
        __m128i v = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), order);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), v);
        auto high = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 8)));
        std::memcpy(dst + 8, &high, 4);
    }
    SwapCopyScalar(src, dst, pixels - x);
}
#endif

void SwapCopy(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t pixels) {
#ifdef QOR_HAVE_SSSE3_PATH
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) {
        SwapCopySsse3(src, dst, pixels);
        return;
    }
#endif
    SwapCopyScalar(src, dst, pixels);
}

enum class InPlace {
    GreyAlpha,
    Rgba,
    Cmyk,
    RgbaKeepingAlpha,
    PremultipliedRgba,
    CmykAsViewers,
    CmykAlphaAsViewers,  // a fifth sample, alpha, that viewers do not show on inks
};

std::uint8_t InkToLight(std::uint32_t ink, std::uint32_t black) {
    std::uint32_t sum = ink + black;
    return static_cast<std::uint8_t>(255 - (sum > 255 ? 255 : sum));
}

// What image viewers make of an ink: the light it lets through, times that of the black.
std::uint8_t InkToLightAsViewers(std::uint32_t ink, std::uint32_t black) {
    return static_cast<std::uint8_t>((255 - ink) * (255 - black) / 255);
}

// A colour sample stored multiplied by its alpha, divided out again (rounded, at most 255).
std::uint8_t Unpremultiply(std::uint32_t value, std::uint32_t alpha) {
    if (alpha == 0) return 0;
    const std::uint32_t v = (value * 255 + alpha / 2) / alpha;
    return static_cast<std::uint8_t>(v > 255 ? 255 : v);
}

// `rowsHeld`: the image rows from the top that got data; the rows after them are blank (0), and
// a kind that makes 0 of 0 leaves them as they are.
HGLOBAL ConvertInPlace(HGLOBAL dib, InPlace kind, std::uint32_t rowsHeld = 0xFFFFFFFFu) {
    if (dib == 0) return 0;
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    if (p == nullptr) return 0;
    const bool grey = kind == InPlace::GreyAlpha;
    const bool keepsAlpha = kind == InPlace::RgbaKeepingAlpha || kind == InPlace::PremultipliedRgba;
    const std::uint16_t expected = grey ? 8 : keepsAlpha ? 32 : 24;
    const std::uint32_t inBits = grey ? 16 : kind == InPlace::CmykAlphaAsViewers ? 40 : 32;
    if (LoadLE16(p + 14) != expected) {
        plat::GlobalUnlock(dib);
        return dib;
    }
    DibView l;
    if (!ViewInput(p, plat::GlobalSize(dib), inBits, &l)) {
        plat::GlobalUnlock(dib);
        return 0;
    }
    const std::uint64_t inStride = l.stride;
    const std::uint64_t outStride = DibStride(l.width, expected);
    std::uint8_t* base = l.pixels;
    // Rows are stored bottom-up: the blank rows come first. Each row moves down to a place that
    // rows before it have left, and a blank row's new place lies within the blank rows' old one.
    const bool zeroKeepsZero = kind == InPlace::GreyAlpha || kind == InPlace::Rgba;
    const std::uint64_t blank = zeroKeepsZero && rowsHeld < l.height ? l.height - rowsHeld : 0;
    for (std::uint64_t r = blank; r < l.height; ++r) {
        const std::uint8_t* src = base + r * inStride;
        std::uint8_t* dst = base + r * outStride;
        switch (kind) {
            case InPlace::GreyAlpha:
                for (std::uint64_t x = 0; x < l.width; ++x) dst[x] = src[2 * x];
                break;
            case InPlace::Rgba:
                for (std::uint64_t x = 0; x < l.width; ++x, src += 4, dst += 3) {
                    std::uint8_t red = src[0], green = src[1], blue = src[2];
                    dst[0] = blue;
                    dst[1] = green;
                    dst[2] = red;
                }
                break;
            case InPlace::Cmyk:
                for (std::uint64_t x = 0; x < l.width; ++x, src += 4, dst += 3) {
                    std::uint32_t c = src[0], m = src[1], y = src[2], k = src[3];
                    dst[0] = InkToLight(y, k);
                    dst[1] = InkToLight(m, k);
                    dst[2] = InkToLight(c, k);
                }
                break;
            case InPlace::CmykAsViewers:
            case InPlace::CmykAlphaAsViewers:
                for (std::uint64_t x = 0; x < l.width; ++x, src += inBits / 8, dst += 3) {
                    std::uint32_t c = src[0], m = src[1], y = src[2], k = src[3];
                    dst[0] = InkToLightAsViewers(y, k);
                    dst[1] = InkToLightAsViewers(m, k);
                    dst[2] = InkToLightAsViewers(c, k);
                }
                break;
            case InPlace::RgbaKeepingAlpha:
                for (std::uint64_t x = 0; x < l.width; ++x, dst += 4) {
                    const std::uint8_t red = dst[0];
                    dst[0] = dst[2];
                    dst[2] = red;
                }
                break;
            case InPlace::PremultipliedRgba:
                for (std::uint64_t x = 0; x < l.width; ++x, dst += 4) {
                    const std::uint32_t alpha = dst[3];
                    const std::uint8_t red = Unpremultiply(dst[0], alpha);
                    dst[0] = Unpremultiply(dst[2], alpha);
                    dst[1] = Unpremultiply(dst[1], alpha);
                    dst[2] = red;
                }
                break;
        }
    }
    const std::uint64_t newSize = l.pixelOffset + outStride * l.height;
    plat::GlobalUnlock(dib);
    if (newSize == plat::GlobalSize(dib)) return dib;
    // A failed shrink keeps the larger block, which holds the same rows.
    HGLOBAL shrunk = plat::GlobalReAlloc(dib, newSize, plat::GMEM_MOVEABLE);
    return shrunk != 0 ? shrunk : dib;
}

}  // namespace

void YCbCrToRgb(std::uint8_t y, std::uint8_t cb, std::uint8_t cr, std::uint8_t* red,
                std::uint8_t* green, std::uint8_t* blue) {
    YCbCrToRgbFine(std::int32_t{y} << 8, (cb - 128) << 8, (cr - 128) << 8, red, green, blue);
}

void YCbCrToRgbFine(std::int32_t y, std::int32_t cb, std::int32_t cr, std::uint8_t* red,
                    std::uint8_t* green, std::uint8_t* blue) {
    // The coefficients in 16-bit fixed point and the samples in 8-bit: results in 24-bit, which
    // for whole samples round exactly as the 16-bit form (y + ((k x c + 2^15) >> 16)) did.
    constexpr std::int64_t kHalf = std::int64_t{1} << 23;
    const std::int64_t base = std::int64_t{y} << 16;
    const auto cut = [](std::int64_t v) {
        v >>= 24;
        return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    };
    *red = cut(base + 91881ll * cr + kHalf);                   // 1.402
    *green = cut(base - 22554ll * cb - 46802ll * cr + kHalf);  // 0.34414, 0.71414
    *blue = cut(base + 116130ll * cb + kHalf);                 // 1.772
}

void ExchangeRedBlue(std::uint8_t* row, std::uint64_t pixels) {
    SwapCopy(row, row, pixels);
}

void CopyExchangingRedBlue(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t pixels) {
    SwapCopy(src, dst, pixels);
}

std::int16_t ConvertRgbToBgr(HGLOBAL dib, HGLOBAL* outImage) {
    if (dib == 0 || outImage == nullptr) return QOR_BAD_REQUEST;
    *outImage = 0;
    const std::uint64_t size = plat::GlobalSize(dib);
    HGLOBAL copy = plat::GlobalAlloc(plat::GMEM_MOVEABLE, size);
    if (copy == 0) return QOR_NO_MEMORY;
    auto* src = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    auto* dst = static_cast<std::uint8_t*>(plat::GlobalLock(copy));
    std::int16_t status = QOR_NO_MEMORY;
    DibView l;
    if (src != nullptr && dst != nullptr) {
        status = QOR_BAD_REQUEST;
        if (ViewInput(src, size, 24, &l) && l.bits == 24) status = 0;
    }
    if (status == 0) {
        // One pass: the header and whatever follows the rows are copied, each row is copied
        // with its first and third bytes exchanged in every pixel.
        std::memcpy(dst, src, static_cast<std::size_t>(l.pixelOffset));
        const std::uint64_t stride = l.stride;
        const std::uint64_t end = l.pixelOffset + stride * l.height;
        std::memcpy(dst + end, src + end, static_cast<std::size_t>(size - end));
        for (std::uint64_t r = 0; r < l.height; ++r) {
            const std::uint8_t* s = src + l.pixelOffset + r * stride;
            std::uint8_t* d = dst + l.pixelOffset + r * stride;
            SwapCopy(s, d, l.width);
            // Row padding.
            std::memcpy(d + 3ull * l.width, s + 3ull * l.width,
                        static_cast<std::size_t>(stride - 3ull * l.width));
        }
    }
    if (src != nullptr) plat::GlobalUnlock(dib);
    if (dst != nullptr) plat::GlobalUnlock(copy);
    if (status != 0) {
        plat::GlobalFree(copy);
        return status;
    }
    *outImage = copy;
    return 0;
}

HGLOBAL ConvertGreyAlphaToGrey(HGLOBAL dib, std::uint32_t rowsHeld) {
    return ConvertInPlace(dib, InPlace::GreyAlpha, rowsHeld);
}
HGLOBAL ConvertRgbaToBgr(HGLOBAL dib, std::uint32_t rowsHeld) {
    return ConvertInPlace(dib, InPlace::Rgba, rowsHeld);
}
HGLOBAL ConvertCmykToBgr(HGLOBAL dib) {
    return ConvertInPlace(dib, InPlace::Cmyk);
}
HGLOBAL ConvertCmykToBgrAsViewers(HGLOBAL dib, bool withAlpha) {
    return ConvertInPlace(dib, withAlpha ? InPlace::CmykAlphaAsViewers : InPlace::CmykAsViewers);
}

HGLOBAL ConvertTwoBitToFour(HGLOBAL dib) {
    if (dib == 0) return 0;
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    if (p == nullptr) return 0;
    DibView in;
    if (LoadLE16(p + 14) != 4 || !ViewInput(p, plat::GlobalSize(dib), 2, &in)) {
        plat::GlobalUnlock(dib);
        return 0;
    }
    // Each 2-bit index becomes a 4-bit one of the same value. The block was made for the wider
    // rows: they are widened from the last byte back, so that no byte is written before it has
    // been read.
    const std::uint64_t outStride = DibStride(in.width, 4);
    const std::uint64_t outBytes = (std::uint64_t{in.width} + 1) / 2;
    for (std::uint64_t r = in.height; r-- > 0;) {
        const std::uint8_t* src = in.pixels + r * in.stride;
        std::uint8_t* dst = in.pixels + r * outStride;
        std::memset(dst + outBytes, 0, static_cast<std::size_t>(outStride - outBytes));
        for (std::uint64_t b = outBytes; b-- > 0;) {
            // Output byte b holds pixels 2b and 2b + 1: the high or the low half of input byte
            // b / 2.
            const std::uint8_t pair = b % 2 == 0 ? src[b / 2] >> 4 : src[b / 2] & 0x0F;
            dst[b] = static_cast<std::uint8_t>((pair >> 2) << 4 | (pair & 3));
        }
    }
    plat::GlobalUnlock(dib);
    return dib;
}
HGLOBAL ConvertRgbaToBgra(HGLOBAL dib, bool premultiplied) {
    return ConvertInPlace(dib,
                          premultiplied ? InPlace::PremultipliedRgba : InPlace::RgbaKeepingAlpha);
}

HGLOBAL ConvertGreyAlphaToBgra(HGLOBAL dib, bool premultiplied) {
    if (dib == 0) return 0;
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    if (p == nullptr) return 0;
    DibView in;
    if (LoadLE16(p + 14) != 32 || !ViewInput(p, plat::GlobalSize(dib), 16, &in)) {
        plat::GlobalUnlock(dib);
        return 0;
    }
    // The block was made for the wider rows: they are widened in place from the last byte back,
    // so that no byte is written before it has been read.
    const std::uint64_t outStride = DibStride(in.width, 32);
    for (std::uint64_t r = in.height; r-- > 0;) {
        const std::uint8_t* src = in.pixels + r * in.stride;
        std::uint8_t* dst = in.pixels + r * outStride;
        std::memset(dst + 4ull * in.width, 0,
                    static_cast<std::size_t>(outStride - 4ull * in.width));
        for (std::uint64_t x = in.width; x-- > 0;) {
            const std::uint8_t grey = src[2 * x], alpha = src[2 * x + 1];
            const std::uint8_t level = premultiplied ? Unpremultiply(grey, alpha) : grey;
            dst[4 * x] = dst[4 * x + 1] = dst[4 * x + 2] = level;
            dst[4 * x + 3] = alpha;
        }
    }
    plat::GlobalUnlock(dib);
    return dib;
}

bool NarrowWideSamples(HGLOBAL dib, const PageForm& form) {
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    if (p == nullptr) return false;
    const unsigned samples = form.wideSamples;
    DibView in;
    if (!ViewInput(p, plat::GlobalSize(dib), 16 * samples, &in)) {
        plat::GlobalUnlock(dib);
        return false;
    }
    // Each row shrinks to half its bytes, written from its start: never past what is still to
    // be read of it or of the rows after it.
    const std::uint64_t outStride = DibStride(in.width, 8 * samples);
    const std::uint64_t count = std::uint64_t{in.width} * samples;
    for (std::uint64_t r = 0; r < in.height; ++r) {
        const std::uint8_t* src = in.pixels + r * in.stride;
        std::uint8_t* dst = in.pixels + r * outStride;
        std::uint16_t sum[4] = {};
        for (std::uint64_t i = 0; i < count; ++i) {
            std::uint32_t v = form.wideLittleEndian ? LoadLE16(src + 2 * i) : LoadBE16(src + 2 * i);
            if (form.widePredictor) {
                const std::uint64_t c = i % samples;
                sum[c] = static_cast<std::uint16_t>(sum[c] + v);
                v = sum[c];
            }
            dst[i] = static_cast<std::uint8_t>((v * 255 + 32767) / 65535);
        }
        if (form.wideExchangeRedBlue) ExchangeRedBlue(dst, in.width);
        std::memset(dst + count, 0, static_cast<std::size_t>(outStride - count));
    }
    plat::GlobalUnlock(dib);
    return true;
}

namespace {

// Where display pixel (x, y) of an upright image comes from in the stored one (width w, height
// h), for TIFF orientation `o`: the stored first row is the display's top, right, bottom or left
// edge, read one way or the other.
void StoredPlace(std::uint16_t o, std::uint32_t x, std::uint32_t y, std::uint32_t w,
                 std::uint32_t h, std::uint32_t* sx, std::uint32_t* sy) {
    switch (o) {
        case 2:
            *sx = w - 1 - x, *sy = y;
            break;
        case 3:
            *sx = w - 1 - x, *sy = h - 1 - y;
            break;
        case 4:
            *sx = x, *sy = h - 1 - y;
            break;
        case 5:
            *sx = y, *sy = x;
            break;
        case 6:
            *sx = y, *sy = h - 1 - x;
            break;
        case 7:
            *sx = w - 1 - y, *sy = h - 1 - x;
            break;
        case 8:
            *sx = w - 1 - y, *sy = x;
            break;
        default:
            *sx = x, *sy = y;
            break;
    }
}

std::uint32_t PixelAt(const DibView& v, std::uint32_t x, std::uint32_t y) {
    const std::uint8_t* row = v.Row(y);
    switch (v.bits) {
        case 1:
            return (row[x >> 3] >> (7 - (x & 7))) & 1;
        case 4:
            return (row[x >> 1] >> (x & 1 ? 0 : 4)) & 0xF;
        case 8:
            return row[x];
        case 24:
            return LoadLE24(row + 3ull * x);
        default:
            return LoadLE32(row + 4ull * x);
    }
}

void SetPixel(const DibView& v, std::uint32_t x, std::uint32_t y, std::uint32_t value) {
    std::uint8_t* row = v.Row(y);
    switch (v.bits) {
        case 1:
            row[x >> 3] = static_cast<std::uint8_t>(row[x >> 3] | value << (7 - (x & 7)));
            break;
        case 4:
            row[x >> 1] = static_cast<std::uint8_t>(row[x >> 1] | value << (x & 1 ? 0 : 4));
            break;
        case 8:
            row[x] = static_cast<std::uint8_t>(value);
            break;
        case 24:
            StoreLE24(row + 3ull * x, value);
            break;
        default:
            StoreLE32(row + 4ull * x, value);
            break;
    }
}

}  // namespace

namespace {

// Sets pixels [x0, x1) of row `y` of `v` (cleared) to `value`: bytes at a time where they are
// whole.
void FillPixels(const DibView& v, std::uint32_t y, std::uint32_t x0, std::uint32_t x1,
                std::uint32_t value) {
    if (value == 0) return;
    if (v.bits == 1 || v.bits == 4 || v.bits == 8) {
        const unsigned per = 8 / v.bits;
        for (; x0 < x1 && x0 % per != 0; ++x0) SetPixel(v, x0, y, value);
        for (; x1 > x0 && x1 % per != 0; --x1) SetPixel(v, x1 - 1, y, value);
        const auto byte = static_cast<std::uint8_t>(v.bits == 1   ? 0xFF
                                                    : v.bits == 4 ? value * 0x11
                                                                  : value);
        std::memset(v.Row(y) + x0 / per, byte, (x1 - x0) / per);
        return;
    }
    for (std::uint32_t x = x0; x < x1; ++x) SetPixel(v, x, y, value);
}

}  // namespace

HGLOBAL OrientDib(HGLOBAL dib, std::uint16_t orientation, std::uint32_t rowsHeld,
                  ProgressBlock* progress, std::int16_t* status) {
    *status = 0;
    if (orientation < 2 || orientation > 8) return dib;
    *status = QOR_NO_MEMORY;
    auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(dib));
    if (p == nullptr) return 0;
    DibView in;
    if (!ViewDib(p, plat::GlobalSize(dib), &in)) {
        plat::GlobalUnlock(dib);
        return 0;
    }
    // The upright image is written into a cleared block of its own, header and colour table
    // copied, then takes the place of the stored one.
    const bool turned = orientation >= 5;
    const std::uint32_t w = turned ? in.height : in.width, h = turned ? in.width : in.height;
    const std::uint64_t tableBytes = 4ull * in.colours;
    const std::uint64_t bytes = kDibHeaderSize + tableBytes + DibStride(w, in.bits) * h;
    HGLOBAL out = plat::GlobalAlloc(plat::GMEM_MOVEABLE | plat::GMEM_ZEROINIT, bytes);
    auto* q = out != 0 ? static_cast<std::uint8_t*>(plat::GlobalLock(out)) : nullptr;
    if (q == nullptr) {
        if (out != 0) plat::GlobalFree(out);
        plat::GlobalUnlock(dib);
        return 0;
    }
    std::memcpy(q, p, static_cast<std::size_t>(kDibHeaderSize + tableBytes));
    WriteDibHeader(q, w, h, in.bits);
    StoreLE32(q + 32, in.colours);
    StoreLE32(q + 36, LoadLE32(p + 36));
    // Turned a quarter, the resolutions change places too.
    StoreLE32(q + 24, LoadLE32(p + (turned ? 28 : 24)));
    StoreLE32(q + 28, LoadLE32(p + (turned ? 24 : 28)));
    DibView o;
    ViewDib(q, bytes, &o);
    // Only the stored rows that hold data are moved pixel by pixel; the rows after them are
    // blank, each pixel the same value (0, or what finishing made of 0), which is filled in.
    // The stored rows with data are display rows [top, bottom), or, turned, display columns
    // [left, right) of every display row.
    const std::uint32_t held = std::min(rowsHeld, in.height);
    const std::uint32_t fill = held < in.height ? PixelAt(in, 0, held) : 0;
    const bool fromTop = orientation == 2 || orientation == 5 || orientation == 8;
    const std::uint32_t first = fromTop ? 0 : in.height - held, last = first + held;
    for (std::uint32_t y = 0; y < h; ++y) {
        const bool data = turned || (y >= first && y < last);
        const std::uint32_t x0 = turned ? first : 0, x1 = turned ? last : (data ? w : 0);
        for (std::uint32_t x = x0; x < x1; ++x) {
            std::uint32_t sx = 0, sy = 0;
            StoredPlace(orientation, x, y, in.width, in.height, &sx, &sy);
            SetPixel(o, x, y, PixelAt(in, sx, sy));
        }
        if (turned) {
            FillPixels(o, y, 0, first, fill);
            FillPixels(o, y, last, w, fill);
        } else if (!data) {
            FillPixels(o, y, 0, w, fill);
        }
        // A call every 256 rows: the turn of a large page can be cancelled.
        if (y % 256 == 255 && ReportProgress(progress, 100) != 0) {
            plat::GlobalUnlock(out);
            plat::GlobalFree(out);
            plat::GlobalUnlock(dib);
            *status = QOR_CANCELLED;
            return 0;
        }
    }
    plat::GlobalUnlock(out);
    plat::GlobalUnlock(dib);
    plat::GlobalFree(dib);
    *status = 0;
    return out;
}

}  // namespace qor::tiff
