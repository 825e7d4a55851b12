// The JPEG codec (compression 7), decoded with libjpeg: each strip is one JPEG stream, which may
// leave its tables out when the page's JPEGTables holds them. YCbCr pages are converted to RGB by
// the library (upsampled as it does by default), grey pages stay grey, CMYK pages come out as
// their inks for the page's finishing step, and the rows are handed
// out one at a time as they are decoded.
//
// libjpeg reports a fatal error by calling error_exit, which here jumps back to the call into the
// library that caused it (setjmp in each method that calls in). Those methods keep no object with
// a destructor alive across the calls, so the jump skips nothing.
#include <algorithm>
#include <csetjmp>
#include <cstdio>  // jpeglib.h names FILE without including it
#include <cstring>
#include <limits>
#include <memory>

#include "tiff/codec.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

#if QORIMG_HAVE_LIBJPEG
#include <jpeglib.h>

// After jpeglib.h, which it needs.
#include <jerror.h>
#endif

namespace qor::tiff {
#if QORIMG_HAVE_LIBJPEG
namespace {

// The most bytes of JPEGTables read: tables of every kind fit many times over.
constexpr std::uint32_t kMaxTablesBytes = 1u << 20;

// The most scans a stream may have. Progressive streams as encoders write them have a few dozen
// at most (libjpeg's own script: 10 for colour, 6 for grey), and each scan makes the library walk
// every block of the image again: a stream of many empty scans costs time that its bytes do not.
constexpr int kMostScans = 100;
// Besides, the blocks that the scans of a stream may walk over together: two walks over the image
// for nothing, then ten more of an image of up to 2^20 blocks (libjpeg's scripts take 10 scans),
// or 512 for each byte of the stream when that is more: a scan that holds data pays for its walk
// with its bytes (a walk over the image costs at least a bit a block in its first scan).
std::uint64_t WalkableBlocks(std::uint64_t blocks, std::uint64_t bytes) {
    return 2 * blocks +
           std::max<std::uint64_t>(10 * std::min<std::uint64_t>(blocks, 1u << 20), 512 * bytes);
}

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    bool lostData = false;  // a warning of the stream begun said that data was lost
};

// Watches the library's work within a strip: ends a stream of too many scans, and makes a
// progress call at every 64th step, whose answer cancels.
struct Monitor {
    jpeg_progress_mgr base;
    ProgressBlock* progress = nullptr;
    std::uint32_t done = 0;  // where the page stands
    std::uint64_t steps = 0;
    std::uint64_t allowed = 0;  // the steps the stream may take
    std::int16_t stopped = 0;   // why the monitor ended the stream (100 or 538), or 0
};

void WatchWork(j_common_ptr info) {
    auto* monitor = reinterpret_cast<Monitor*>(info->progress);
    if (!info->is_decompressor) return;
    const auto* d = reinterpret_cast<j_decompress_ptr>(info);
    if (d->input_scan_number > kMostScans || ++monitor->steps > monitor->allowed) {
        monitor->stopped = QOR_TIFF_BAD_DATA;
    } else if (monitor->steps % 64 == 0 && ReportProgress(monitor->progress, monitor->done) != 0) {
        monitor->stopped = QOR_CANCELLED;
    }
    if (monitor->stopped != 0) std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// What the library will take for a stream whose header is read: the coefficients of the whole
// image for a progressive stream (2 bytes for each of 64 in each block of each component), one
// row of blocks for the others, and the row buffers of the output passes.
std::uint64_t LibraryMemory(const jpeg_decompress_struct& info) {
    std::uint64_t bytes = 256 * 1024;
    const std::uint64_t across = (std::uint64_t{info.image_width} + 7) / 8 + 4;
    for (int c = 0; c < info.num_components; ++c) {
        const jpeg_component_info& k = info.comp_info[c];
        const std::uint64_t wide =
            across * static_cast<std::uint64_t>(std::max(k.h_samp_factor, 1));
        const std::uint64_t down =
            info.progressive_mode || info.buffered_image
                ? ((std::uint64_t{info.image_height} + 7) / 8 + 4) *
                      static_cast<std::uint64_t>(std::max(k.v_samp_factor, 1))
                : static_cast<std::uint64_t>(std::max(k.v_samp_factor, 1));
        bytes += wide * down * 128;
        // The component's rows, before and after upsampling.
        bytes += 3 * wide * 8 * 16;
    }
    return bytes;
}

[[noreturn]] void JumpBack(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Warnings are not printed: those that say data was lost (a stream that ends early, a marker or
// a code where data should be) mark the stream, whose rows from there on the library makes up;
// the others (trace messages, stray bytes between markers) change no row.
void Quiet(j_common_ptr) {}

void NoteWarning(j_common_ptr info, int level) {
    if (level >= 0) return;
    ++info->err->num_warnings;
    switch (info->err->msg_code) {
        case JWRN_HIT_MARKER:
        case JWRN_JPEG_EOF:
        case JWRN_MUST_RESYNC:
        case JWRN_HUFF_BAD_CODE:
            reinterpret_cast<ErrorManager*>(info->err)->lostData = true;
            break;
        default:
            break;
    }
}

class JpegCodec final : public StripCodec {
  public:
    JpegCodec() {
        info_.err = jpeg_std_error(&errors_.base);
        errors_.base.error_exit = JumpBack;
        errors_.base.output_message = Quiet;
        errors_.base.emit_message = NoteWarning;
        monitor_.base.progress_monitor = WatchWork;
    }
    ~JpegCodec() override {
        if (created_) jpeg_destroy_decompress(&info_);
    }
    JpegCodec(const JpegCodec&) = delete;
    JpegCodec& operator=(const JpegCodec&) = delete;

    std::int16_t Start(HFILE file, const TiffPage& page, const PageForm& form, const DibView&,
                       std::uint32_t rowsPerStrip) override {
        const bool samePage = created_ && page_ == &page && tablesAt_ == page.jpegTablesOffset;
        page_ = &page;
        form_ = form;
        rowsPerStrip_ = rowsPerStrip;
        // A stream that states no size is read up to four bytes a sample (a coefficient takes at
        // most 27 bits) and a margin for its tables and scan headers.
        input_.Start(file, page,
                     4ull * page.imageWidth * rowsPerStrip * page.samplesPerPixel + (1u << 20));
        // One sample of grey, three of RGB or YCbCr, or four of CMYK, eight bits each.
        if (page.bitsPerSample != 8 ||
            (page.samplesPerPixel != 1 && page.samplesPerPixel != 3 && page.samplesPerPixel != 4)) {
            return QOR_TIFF_UNSUPPORTED;
        }
        // The parts of a page are started again and again: its tables are read once.
        if (samePage) return 0;
        tablesAt_ = page.jpegTablesOffset;
        if (page.jpegTablesOffset != 0) {
            const std::uint32_t count = page.jpegTablesCount;
            if (count > kMaxTablesBytes) return QOR_TIFF_BAD_DATA;
            if (!tables_.Allocate(count, plat::GMEM_MOVEABLE)) return QOR_NO_MEMORY;
            if (!plat::SeekTo(file, page.jpegTablesOffset) ||
                plat::_lread(file, tables_.data(), count) != static_cast<std::int32_t>(count)) {
                return QOR_READ_FAILED;
            }
        }
        if (setjmp(errors_.jump) != 0) return QOR_NO_MEMORY;
        if (created_) jpeg_destroy_decompress(&info_);
        created_ = false;
        jpeg_create_decompress(&info_);
        created_ = true;
        info_.progress = &monitor_.base;
        if (page.jpegTablesOffset != 0) {
            if (setjmp(errors_.jump) != 0) return QOR_TIFF_BAD_DATA;
            // A tables-only stream: the library keeps its tables for the streams that follow.
            jpeg_mem_src(&info_, tables_.data(), page.jpegTablesCount);
            if (jpeg_read_header(&info_, FALSE) != JPEG_HEADER_TABLES_ONLY) {
                return QOR_TIFF_BAD_DATA;
            }
        }
        return 0;
    }

    // What ended a stream that the library gave up: the monitor's reason, the end of the data,
    // or damage.
    std::int16_t StreamFailure() const {
        if (monitor_.stopped != 0) return monitor_.stopped;
        return input_.cut() ? std::int16_t{QOR_READ_FAILED} : std::int16_t{QOR_TIFF_BAD_DATA};
    }

    void Watch(ProgressBlock* progress, std::uint32_t done) override {
        monitor_.progress = progress;
        monitor_.done = done;
    }

    void BeginStrip(const StripSpan& strip) override {
        failure_ = input_.Read(strip);
        if (failure_ != 0) return;
        monitor_.stopped = 0;
        errors_.lostData = false;
        if (setjmp(errors_.jump) != 0) {
            failure_ = StreamFailure();
            jpeg_abort_decompress(&info_);
            libraryCharge_.Drop();
            return;
        }
        // The previous strip's image is left unfinished when the page did not need all of it.
        jpeg_abort_decompress(&info_);
        jpeg_mem_src(&info_, input_.data(), input_.size());
        if (jpeg_read_header(&info_, TRUE) != JPEG_HEADER_OK) {
            failure_ = QOR_TIFF_BAD_DATA;
            return;
        }
        // The stream's image is the strip: the page's width, at most a strip's rows, and the
        // page's samples. Anything else (a huge claim above all) is not decoded.
        const unsigned samples = page_->samplesPerPixel;
        if (info_.image_width != page_->imageWidth || info_.image_height > rowsPerStrip_ ||
            info_.num_components != static_cast<int>(samples)) {
            failure_ = QOR_TIFF_BAD_DATA;
            return;
        }
        if (samples == 3) {
            info_.jpeg_color_space = page_->photometric == kPhotometricYCbCr ? JCS_YCbCr : JCS_RGB;
            info_.out_color_space = JCS_RGB;
#ifdef JCS_EXTENSIONS
            // The library writes the DIB's order itself, in the pass that converts the colours.
            if (form_.exchangeRedBlue) info_.out_color_space = JCS_EXT_BGR;
#endif
        } else if (samples == 4) {
            // The inks as the stream stores them, for the page's finishing step; libtiff does
            // not invert them for an Adobe marker either.
            info_.jpeg_color_space = JCS_CMYK;
            info_.out_color_space = JCS_CMYK;
        } else {
            info_.jpeg_color_space = JCS_GRAYSCALE;
            info_.out_color_space = JCS_GRAYSCALE;
        }
        // A progressive stream's first scan codes each block's DC value, in Huffman codes of a
        // bit at least: a stream of fewer bits than the image has blocks in its smallest scan
        // cannot cover it, and would cost the coefficients of the whole image for nothing.
        // (Arithmetic coding may spend less than a bit a block.)
        const auto mcuWidth = 8 * static_cast<std::uint64_t>(std::max(info_.max_h_samp_factor, 1));
        const std::uint64_t mcuColumns =
            (std::uint64_t{info_.image_width} + mcuWidth - 1) / mcuWidth;
        if (info_.progressive_mode && !info_.arith_code &&
            8 * std::uint64_t{input_.size()} < mcuColumns * info_.total_iMCU_rows) {
            failure_ =
                input_.cut() ? std::int16_t{QOR_READ_FAILED} : std::int16_t{QOR_TIFF_BAD_DATA};
            return;
        }
        // The library's memory counts against the read's budget before it is taken; its own
        // limit stops it should the estimate fall short.
        if (!libraryCharge_.Take(LibraryMemory(info_))) {
            failure_ = QOR_NO_MEMORY;
            return;
        }
        if (const plat::ReadMeter* meter = plat::CurrentMeter(); meter != nullptr) {
            info_.mem->max_memory_to_use = static_cast<long>(std::min<std::uint64_t>(
                LibraryMemory(info_) + meter->Left(), std::numeric_limits<long>::max()));
        }
        // A step is a row of blocks taken in (multi-scan streams).
        std::uint64_t rowBlocks = 0;
        for (int c = 0; c < info_.num_components; ++c) {
            rowBlocks += std::uint64_t{info_.comp_info[c].width_in_blocks} *
                         static_cast<std::uint64_t>(std::max(info_.comp_info[c].v_samp_factor, 1));
        }
        rowBlocks = std::max<std::uint64_t>(rowBlocks, 1);
        monitor_.steps = 0;
        monitor_.allowed =
            64 + WalkableBlocks(rowBlocks * info_.total_iMCU_rows, input_.size()) / rowBlocks;
        jpeg_start_decompress(&info_);
        // Then a step for each row given out.
        monitor_.allowed = monitor_.steps + info_.output_height + 64;
    }

    RowResult NextRow(std::uint8_t* row) override {
        if (failure_ != 0) return failure_;
        if (setjmp(errors_.jump) != 0) {
            failure_ = StreamFailure();
            return failure_;
        }
        // A stream of fewer rows than its strip ends the strip's data early.
        if (info_.output_scanline >= info_.output_height) return QOR_READ_FAILED;
        JSAMPROW rows[1] = {row};
        if (jpeg_read_scanlines(&info_, rows, 1) != 1) return QOR_READ_FAILED;
        // Rows decoded after data was lost are made up (grey, or the last good colours): damaged
        // data from the row that found it on, however the library goes on.
        if (errors_.lostData) {
            failure_ = QOR_TIFF_BAD_DATA;
            return failure_;
        }
#ifndef JCS_EXTENSIONS
        if (form_.exchangeRedBlue) ExchangeRedBlue(row, page_->imageWidth);
#endif
        return 0;
    }

  private:
    jpeg_decompress_struct info_{};
    ErrorManager errors_{};
    Monitor monitor_{};
    bool created_ = false;
    std::uint32_t tablesAt_ = 0;  // the JPEGTables of the page the library holds
    const TiffPage* page_ = nullptr;
    PageForm form_;
    std::uint32_t rowsPerStrip_ = 0;
    plat::LockedBlock tables_;
    WholeStrip input_;
    plat::MeterCharge libraryCharge_;  // what the library takes for the stream begun
    std::int16_t failure_ = 0;         // what ended the strip's data, or 0
};

}  // namespace

std::int16_t DecodeJpegStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                              TiffPage* page) {
    JpegCodec codec;
    return DecodeStrips(progress, dib, file, *page, &codec);
}

std::unique_ptr<StripCodec> MakeJpegCodec() {
    return std::make_unique<JpegCodec>();
}
#else
std::unique_ptr<StripCodec> MakeJpegCodec() {
    return nullptr;
}
#endif

}  // namespace qor::tiff
