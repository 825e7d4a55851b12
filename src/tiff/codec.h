// What a compression supplies to the one strip loop: it turns the bytes of one strip into rows.
// The loop owns everything else: the strip walk, the row each strip's rows go to, progress and
// cancel, and the end of the page. Adding a compression is a name in tags.h, one codec and one
// line in SelectStripDecoder.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/locked_block.h"
#include "platform/meter.h"
#include "tiff/tiff.h"

namespace qor::tiff {

// What became of a row a codec was asked for.
struct RowResult {
    RowResult(std::int16_t failure = 0) : status(failure) {}  // NOLINT: a status is a result
    static RowResult StripEnded() {
        RowResult r;
        r.stripEnded = true;
        return r;
    }
    std::int16_t status = 0;  // the status that ends the page, or 0
    // The strip's data ended before the row: the next strip goes on with it (codecs whose rows
    // follow on across strips only).
    bool stripEnded = false;
};

class StripCodec {
  public:
    virtual ~StripCodec() = default;

    // Checks that the page suits the coding and takes the codec's working memory. `form` is what
    // the page becomes, `rows` its DIB; strips hold `rowsPerStrip` rows (the last one fewer). 0,
    // or the status that refuses the page (534 for a layout the coding cannot hold, 102 when
    // memory runs out).
    virtual std::int16_t Start(HFILE file, const TiffPage& page, const PageForm& form,
                               const DibView& rows, std::uint32_t rowsPerStrip) = 0;
    // Begins a strip of `strip.rows` rows whose first byte is at the file's position.
    virtual void BeginStrip(const StripSpan& strip) = 0;
    // Decodes the strip's next row into `row`, a cleared row of the DIB. 0, or the status that
    // ends the page: 202 when the data ended, a coding's own status for damaged data. The row
    // keeps what was decoded of it.
    virtual RowResult NextRow(std::uint8_t* row) = 0;
    // Whether the rows of a strip follow on from those the previous strip delivered, as one
    // stream (LZW), instead of starting at the strip's own first row. Such a codec ends each
    // strip itself (RowResult::StripEnded) and may carry a row over into the next one.
    virtual bool RowsFollowOn() const { return false; }
    // The page ends before its last row, its strips run out or the next one cannot be found:
    // `row` is the next row.
    virtual void Finish(std::uint8_t* row) { (void)row; }
    // Another codec of the same coding and options for `page`, not started, whose working memory
    // stays within `bytes`: the loop decodes strips on several threads, each with a codec and a
    // file of its own. Null when the coding is decoded on one thread only, or needs more memory.
    virtual std::unique_ptr<StripCodec> Another(const TiffPage& page, const PageForm& form,
                                                std::uint64_t bytes) const {
        (void)page, (void)form, (void)bytes;
        return nullptr;
    }
    // For a codec whose rows follow on: the next strip's rows begin at image row `row`, as the
    // first strip's begin at row 0, with nothing carried over from the strips before.
    virtual void BeginRowsAt(std::uint32_t row) { (void)row; }
    // Whether what the strip begun last gave so far depends on the strips that this codec decoded
    // before it (damaged LZW data can name codes that an earlier strip's table left), and not on
    // the strip's own data alone.
    virtual bool UsedEarlierStrips() const { return false; }
    // Where the page's progress stands (`done` of 100) before the strip begun next: a codec that
    // works long within one strip (JPEG) makes calls of its own there, and ends its strip with
    // 100 (cancelled) when one is answered.
    virtual void Watch(ProgressBlock* progress, std::uint32_t done) { (void)progress, (void)done; }
};

// A strip's bytes read whole into one block, for codings whose library takes a whole stream
// (Deflate, JPEG). The block grows to the largest strip of the page.
class WholeStrip {
  public:
    // `most` bounds what a strip without a byte count is read to: the most that the strip's rows
    // can take in the coding.
    void Start(HFILE file, const TiffPage& page, std::uint64_t most);
    // Reads the strip whose first byte is at the file's position: its stated byte count, or,
    // when it states none, up to the next strip's offset (the least offset of the page's strips
    // past its own), at most `most` bytes and the rest of the file. 0, 202 when no byte arrives,
    // 102 when memory fails.
    std::int16_t Read(const StripSpan& strip);
    const std::uint8_t* data() const { return block_.data(); }
    std::uint32_t size() const { return size_; }
    // Fewer bytes arrived than the strip stated.
    bool cut() const { return cut_; }

  private:
    HFILE file_ = plat::HFILE_ERROR;
    const TiffPage* page_ = nullptr;
    std::uint64_t fileSize_ = 0;
    std::uint64_t most_ = 0;
    plat::LockedBlock block_;
    StripEnds ends_;
    std::uint64_t capacity_ = 0;
    std::uint32_t size_ = 0;
    bool cut_ = false;
};

// The codecs whose set-up is costly (libjpeg with the page's tables, blocks that grow to the
// largest strip), made for a page of parts that keeps one from part to part; null for a coding
// whose strip decoder is called for each part, or a build without its library.
std::unique_ptr<StripCodec> MakeJpegCodec();
std::unique_ptr<StripCodec> MakeDeflateCodec();

// The one strip loop: decodes every strip of the page that its rows need through `codec` into
// the locked DIB `dib`, on the caller's thread alone or, for a page of page.threads > 1 whose
// codec makes Another, with workers (see strip_loop.cpp): the result is the same. Progress is the
// share of the page's rows decoded: 0 before the first, a call after each row (a non-zero answer
// cancels, 100), and 100 once the page is done. 0 with page.rowsDecoded set to the rows that got
// data (fewer than the page's when its strips or its data run out first), or the status of the
// first failure: the rows decoded before it stay as they are.
std::int16_t DecodeStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file, TiffPage& page,
                          StripCodec* codec);

}  // namespace qor::tiff
