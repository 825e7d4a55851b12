// A small GIF builder for hand-made test streams: header, colour tables, extensions, image
// descriptors, and LZW code streams written code by code with the code width that a GIF decoder
// expects at each point.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

namespace qor::test::gifb {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

// Header and logical screen descriptor. `version` is the three characters after "GIF".
inline void Header(Bytes& out, std::uint16_t width, std::uint16_t height, std::uint8_t flags,
                   const char* version = "89a") {
    out.insert(out.end(), {'G', 'I', 'F'});
    out.insert(out.end(), version, version + 3);
    Put16(out, width);
    Put16(out, height);
    out.push_back(flags);
    out.push_back(0);  // background
    out.push_back(0);  // aspect ratio
}

// The colour of table entry i in tests: distinct for every i below 256.
inline std::uint32_t TestColor(std::uint32_t i) {
    return ((i * 37 + 11) & 0xFF) << 16 | ((i * 91 + 3) & 0xFF) << 8 | (255 - i);
}

// A colour table of `entries` RGB triplets, entry i = color(i) as 0x00RRGGBB.
inline void ColorTable(Bytes& out, std::uint32_t entries,
                       const std::function<std::uint32_t(std::uint32_t)>& color = TestColor) {
    for (std::uint32_t i = 0; i < entries; ++i) {
        std::uint32_t c = color(i);
        out.push_back(static_cast<std::uint8_t>(c >> 16));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
        out.push_back(static_cast<std::uint8_t>(c));
    }
}

// A graphic control extension; bit 0 of `flags` says that `transparent` is in use.
inline void GraphicControl(Bytes& out, std::uint8_t flags, std::uint8_t transparent,
                           std::uint8_t size = 4) {
    out.insert(out.end(), {0x21, 0xF9, size});
    const std::uint8_t fields[] = {flags, 0, 0, transparent};
    Bytes data(size, 0);
    std::copy_n(fields, std::min<std::size_t>(size, sizeof fields), data.begin());
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(0);
}

// An extension with `label` whose data is the given sub-blocks, then the terminator.
inline void Extension(Bytes& out, std::uint8_t label, const std::vector<Bytes>& blocks) {
    out.push_back(0x21);
    out.push_back(label);
    for (const Bytes& b : blocks) {
        out.push_back(static_cast<std::uint8_t>(b.size()));
        out.insert(out.end(), b.begin(), b.end());
    }
    out.push_back(0);
}

inline void ImageDescriptor(Bytes& out, std::uint16_t width, std::uint16_t height,
                            std::uint8_t flags, std::uint16_t left = 0, std::uint16_t top = 0) {
    out.push_back(0x2C);
    Put16(out, left);
    Put16(out, top);
    Put16(out, width);
    Put16(out, height);
    out.push_back(flags);
}

// Writes codes least significant bit first, tracking the code width the way a GIF decoder
// grows it: after a clear code the next code adds no table entry; every later code adds one
// until the table holds 4096, and the width grows when the next free code reaches 2^width.
class CodeStream {
  public:
    explicit CodeStream(int minCodeSize)
        : min_(minCodeSize),
          clear_(1 << minCodeSize),
          width_(minCodeSize + 1),
          next_((1 << minCodeSize) + 2) {}

    int clear() const { return clear_; }
    int end() const { return clear_ + 1; }
    int next() const { return next_; }
    int width() const { return width_; }
    std::uint64_t bits() const { return bitPos_; }

    void Clear() {
        Raw(clear_, width_);
        width_ = min_ + 1;
        next_ = clear_ + 2;
        afterClear_ = true;
    }
    void End() { Raw(end(), width_); }
    // A data code (literal or table code).
    void Code(int code) {
        Raw(code, width_);
        if (afterClear_) {
            afterClear_ = false;
            return;
        }
        if (next_ < 4096) ++next_;
        if (next_ >= (1 << width_) && width_ < 12) ++width_;
    }
    // A code at an explicit width, with no table bookkeeping.
    void Raw(int code, int width) {
        for (int i = 0; i < width; ++i) {
            if (bitPos_ % 8 == 0) bytes_.push_back(0);
            if ((code >> i) & 1) {
                bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (1u << (bitPos_ % 8)));
            }
            ++bitPos_;
        }
    }
    // Marks the stream as starting without a clear code (the first code is a literal).
    void StartWithoutClear() { afterClear_ = true; }
    const Bytes& bytes() const { return bytes_; }

  private:
    int min_, clear_, width_, next_;
    bool afterClear_ = true;
    std::uint64_t bitPos_ = 0;
    Bytes bytes_;
};

// Every value as a literal code, with a clear code whenever the width would grow past the
// initial one: valid for any GIF decoder. Starts with a clear code and ends with an end code.
inline CodeStream LiteralCodes(int minCodeSize, const std::vector<std::uint8_t>& values,
                               std::vector<std::uint64_t>* endBits = nullptr) {
    CodeStream cs(minCodeSize);
    cs.Clear();
    for (std::uint8_t v : values) {
        if (cs.width() > minCodeSize + 1 || cs.next() + 1 >= (1 << (minCodeSize + 1))) cs.Clear();
        cs.Code(v);
        if (endBits != nullptr) endBits->push_back(cs.bits());
    }
    cs.End();
    return cs;
}

// The minimum code size byte, the code bytes cut into sub-blocks of `blockSize` bytes (1 to
// 255), and a zero-length terminator unless `terminate` is false.
inline void ImageData(Bytes& out, std::uint8_t minCodeSize, const Bytes& codes,
                      std::size_t blockSize = 255, bool terminate = true) {
    out.push_back(minCodeSize);
    for (std::size_t at = 0; at < codes.size(); at += blockSize) {
        std::size_t n = std::min(blockSize, codes.size() - at);
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), codes.begin() + static_cast<std::ptrdiff_t>(at),
                   codes.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    if (terminate) out.push_back(0);
}

inline void Trailer(Bytes& out) {
    out.push_back(0x3B);
}

// A whole one-image GIF with a global table of 2^(tableBits) entries, 8-bit-per-pixel screen
// flags unless given, the pixels coded as literals.
inline Bytes SimpleGif(std::uint16_t width, std::uint16_t height,
                       const std::vector<std::uint8_t>& pixels, int tableBits = 8,
                       bool interlaced = false, std::size_t blockSize = 255) {
    Bytes out;
    auto n = static_cast<std::uint8_t>(tableBits - 1);
    Header(out, width, height, static_cast<std::uint8_t>(0x80 | n << 4 | n));
    ColorTable(out, 1u << tableBits);
    ImageDescriptor(out, width, height, interlaced ? 0x40 : 0x00);
    int minCodeSize = tableBits < 2 ? 2 : tableBits;
    CodeStream cs = LiteralCodes(minCodeSize, pixels);
    ImageData(out, static_cast<std::uint8_t>(minCodeSize), cs.bytes(), blockSize);
    Trailer(out);
    return out;
}

}  // namespace qor::test::gifb
