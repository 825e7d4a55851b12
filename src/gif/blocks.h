// The one walk over a GIF file's blocks: the header and logical screen, the extensions, and the
// image descriptors with what lies between them. The reader walks to its first image with it, the
// description walks the whole file, and the fuzz harness finds the first image's data by it, so
// all of them take every block as the reader does.
#pragma once

#include <cstdint>
#include <cstring>

#include "gif/gif_decode.h"
#include "platform/platform.h"

namespace qor::gif {

inline constexpr std::uint8_t kImageIntroducer = 0x2C;
inline constexpr std::uint8_t kExtensionIntroducer = 0x21;
inline constexpr std::uint8_t kTrailerByte = 0x3B;
inline constexpr std::uint8_t kGraphicControlLabel = 0xF9;
inline constexpr std::uint8_t kCommentLabel = 0xFE;
inline constexpr std::uint8_t kApplicationLabel = 0xFF;
inline constexpr std::uint32_t kHeaderBytes = 13;  // signature and logical screen descriptor
inline constexpr std::uint32_t kDescriptorBytes = 9;
// A file may carry 128 bytes of something else before its signature.
inline constexpr std::uint32_t kAlternateSignatureOffset = 128;

// The blocks are read through this buffer, so that the small fields of extensions cost no system
// call each. Before the image data the reader moves the file back to the first byte not used,
// where the decoder's own aligned reads begin. A read that comes up short only means that the
// next one goes on from there; the end of the file or a failed read ends the data.
class BlockInput {
  public:
    explicit BlockInput(plat::HFILE* file) : file_(file) {}

    // Copies the next `count` bytes to `out`. Returns false when the data ends first; the bytes
    // that came are in `out`.
    bool Read(void* out, std::uint32_t count) {
        auto* to = static_cast<std::uint8_t*>(out);
        while (count > 0) {
            if (index_ == fill_ && !Refill()) return false;
            std::uint32_t n = fill_ - index_ < count ? fill_ - index_ : count;
            std::memcpy(to, bytes_ + index_, n);
            index_ += n;
            to += n;
            count -= n;
        }
        return true;
    }

    // The next byte, or -1 when the data ends.
    int Byte() {
        if (index_ == fill_ && !Refill()) return -1;
        return bytes_[index_++];
    }

    // Passes over the next `count` bytes. Returns false when the data ends first.
    bool Skip(std::uint32_t count) {
        while (count > 0) {
            if (index_ == fill_ && !Refill()) return false;
            std::uint32_t n = fill_ - index_ < count ? fill_ - index_ : count;
            index_ += n;
            count -= n;
        }
        return true;
    }

    // The next `count` bytes (at most the buffer's size) without taking them, or nullptr when
    // the data ends first.
    const std::uint8_t* Ahead(std::uint32_t count) {
        while (fill_ - index_ < count) {
            std::memmove(bytes_, bytes_ + index_, fill_ - index_);
            start_ += index_;
            fill_ -= index_;
            index_ = 0;
            if (!Fill()) return nullptr;
        }
        return bytes_ + index_;
    }

    // Where in the file the next byte comes from.
    std::uint32_t Offset() const { return start_ + index_; }

    // Moves the file to `offset` from its start.
    bool Seek(std::int32_t offset) {
        index_ = fill_ = 0;
        start_ = static_cast<std::uint32_t>(offset);
        return plat::_llseek(*file_, offset, 0) == offset;
    }
    // Moves the file back to the first byte not used.
    bool GiveBack() {
        auto unused = static_cast<std::int32_t>(fill_ - index_);
        start_ += index_;
        index_ = fill_ = 0;
        return unused == 0 || plat::_llseek(*file_, -unused, 1) >= 0;
    }

  private:
    static constexpr std::uint32_t kSize = 4096;
    // Starts a new buffer with what the file has next. Returns false at the end or on a failure.
    bool Refill() {
        start_ += fill_;
        index_ = fill_ = 0;
        return Fill();
    }
    // Reads what fits after the bytes held.
    bool Fill() {
        std::int32_t got = plat::_lread(*file_, bytes_ + fill_, kSize - fill_);
        if (got <= 0) return false;
        fill_ += static_cast<std::uint32_t>(got);
        return true;
    }
    plat::HFILE* file_;
    std::uint32_t start_ = 0;  // file offset of bytes_[0]
    std::uint32_t fill_ = 0;   // bytes in the buffer
    std::uint32_t index_ = 0;  // the next one to hand out
    std::uint8_t bytes_[kSize];
};

// True when `header` starts with "GIF8", any version digit and "a".
bool HasGifSignature(const std::uint8_t* header);

// The header and logical screen descriptor.
struct Screen {
    std::uint8_t header[kHeaderBytes] = {};
    std::uint16_t Width() const { return static_cast<std::uint16_t>(header[6] | header[7] << 8); }
    std::uint16_t Height() const { return static_cast<std::uint16_t>(header[8] | header[9] << 8); }
    bool HasGlobalTable() const { return (header[10] & 0x80) != 0; }
    // The entries of the global table. Without one, a table of this size stays zero (black).
    std::uint32_t GlobalTableEntries() const { return 1u << ((header[10] & 7) + 1); }
    // The bits that the screen's colours take: its table's, or its colour resolution when larger.
    int Bits() const;
};

// Reads the header and logical screen at the start of the file or, without a signature there,
// after a 128-byte prefix. 0; 202 when the file ends first (of a file shorter than the header,
// screen->header holds what there is); 304 when neither place has a signature.
std::int16_t ReadScreen(BlockInput* in, Screen* screen);

enum class BlockKind : std::uint8_t {
    kImage,      // an image descriptor, read whole
    kExtension,  // an extension, read whole
    kTrailer,
    kOther,  // a byte that starts no block
    kEnd,    // the data ends before the block is whole
};

struct Block {
    BlockKind kind = BlockKind::kEnd;
    std::uint8_t introducer = 0;
    std::uint32_t offset = 0;  // of the introducer
    std::uint8_t label = 0;    // an extension's
    // A graphic control extension: the index it marks transparent (-1 when it marks none), and
    // the byte taken as its terminator.
    std::int16_t transparentIndex = -1;
    std::uint8_t terminator = 0;
    std::uint8_t controlSize = 0;  // its size byte (4 in a well-formed file)
    std::uint8_t control[4] = {};  // its first four data bytes, zero where it holds fewer
    std::uint8_t descriptor[kDescriptorBytes] = {};  // an image's, after the introducer
};

// What a description learns of the extensions that the walk passes: each one is shown to `seen`
// once it is read whole, and the data of an application or comment extension (its sub-blocks
// joined) is in `data` meanwhile, as much of it as fits. A read's walk has none.
struct ExtensionWatch {
    static constexpr std::uint32_t kKept = 256;
    void (*seen)(ExtensionWatch* watch, const Block& block) = nullptr;
    std::uint8_t data[kKept] = {};
    std::uint32_t kept = 0;   // bytes of the data in `data`
    std::uint32_t total = 0;  // bytes of the whole data
};

// Reads the next block. A graphic control extension is read as its size byte, that many data
// bytes and one terminator byte, whatever that byte holds. Every other label is skipped whole,
// sub-blocks up to the empty one, known or not, as GIF89a asks of a decoder: plain text,
// application and comment extensions, and whatever later versions add. An image is read up to
// the end of its descriptor; its colour table and data are left to the caller. A `watch` sees
// every extension.
BlockKind NextBlock(BlockInput* in, Block* block, ExtensionWatch* watch = nullptr);

// Walks the blocks up to the first image, whose block is then in *block. 0, 202 when the data
// ends first, or 304 at a trailer (a file without an image has nothing to read) or at a byte that
// starts no block (*block shows which). Each graphic control extension on the way that marks a
// transparent index sets *transparentIndex. A `watch` sees every extension.
std::int16_t FindFirstImage(BlockInput* in, Block* block, std::int16_t* transparentIndex,
                            ExtensionWatch* watch = nullptr);

// An image as the reader takes it from its descriptor and the screen.
struct ImageLayout {
    std::uint32_t left = 0, top = 0;
    // The descriptor's size; zero in it means the screen's.
    std::uint32_t width = 0, height = 0;
    bool interlaced = false;
    bool hasLocalTable = false;
    std::uint32_t localTableEntries = 0;
    std::uint8_t bits = 0;  // of the DIB
    GifGeometry geometry;
};

// Lays out the image of `descriptor`. 0; 304 when it is 0 or more than 32767 pixels wide or tall
// (the row writer counts in signed 16 bits), or 102 when its DIB would not fit in a block. The
// place, size and flags are filled in every case.
std::int16_t LayOutImage(const Screen& screen, const std::uint8_t* descriptor, ImageLayout* layout);

// Looks at the start of the image data, just after the image's colour table, without taking it.
// 0 when it starts with a minimum code size of 2 to 11 and a sub-block that holds a byte; 304
// for another code size (in *codeSize); 202 when the data ends first or the first sub-block is
// empty.
std::int16_t CheckDataStart(BlockInput* in, std::uint8_t* codeSize);

// Passes over data sub-blocks up to and including the empty one. False when the data ends first.
bool SkipSubBlocks(BlockInput* in);

// Passes over the colour table of the image whose descriptor is in `block`, if it has one. False
// when the data ends first.
bool SkipColorTable(BlockInput* in, const Block& block);

// Passes over an image's data: its code size byte and sub-blocks. False when the data ends first.
bool SkipImageData(BlockInput* in);

}  // namespace qor::gif
