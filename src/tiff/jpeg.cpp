// The JPEG codec (compression 7), decoded with libjpeg: each strip is one JPEG stream, which may
// leave its tables out when the page's JPEGTables holds them. YCbCr pages are converted to RGB by
// the library (upsampled as it does by default), grey pages stay grey, and the rows are handed
// out one at a time as they are decoded.
//
// libjpeg reports a fatal error by calling error_exit, which here jumps back to the call into the
// library that caused it (setjmp in each method that calls in). Those methods keep no object with
// a destructor alive across the calls, so the jump skips nothing.
#include <csetjmp>
#include <cstdio>  // jpeglib.h names FILE without including it
#include <cstring>

#include "tiff/codec.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

#if QORIMG_HAVE_LIBJPEG
#include <jpeglib.h>
#endif

namespace qor::tiff {
#if QORIMG_HAVE_LIBJPEG
namespace {

// The most bytes of JPEGTables read: tables of every kind fit many times over.
constexpr std::uint32_t kMaxTablesBytes = 1u << 20;

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
};

[[noreturn]] void JumpBack(j_common_ptr info) {
    std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1);
}

// Warnings (a stream that ends early is one) are not printed; the rows say what arrived.
void Quiet(j_common_ptr) {}

class JpegCodec final : public StripCodec {
  public:
    JpegCodec() {
        info_.err = jpeg_std_error(&errors_.base);
        errors_.base.error_exit = JumpBack;
        errors_.base.output_message = Quiet;
    }
    ~JpegCodec() override {
        if (created_) jpeg_destroy_decompress(&info_);
    }
    JpegCodec(const JpegCodec&) = delete;
    JpegCodec& operator=(const JpegCodec&) = delete;

    std::int16_t Start(HFILE file, const TiffPage& page, const PageForm& form, const DibView&,
                       std::uint32_t rowsPerStrip) override {
        page_ = &page;
        form_ = form;
        rowsPerStrip_ = rowsPerStrip;
        input_.Start(file);
        // One sample of grey, or three of RGB or YCbCr, eight bits each.
        if (page.bitsPerSample != 8 || (page.samplesPerPixel != 1 && page.samplesPerPixel != 3)) {
            return QOR_TIFF_UNSUPPORTED;
        }
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
        jpeg_create_decompress(&info_);
        created_ = true;
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

    void BeginStrip(const StripSpan& strip) override {
        failure_ = input_.Read(strip);
        if (failure_ != 0) return;
        if (setjmp(errors_.jump) != 0) {
            failure_ = input_.cut() ? QOR_READ_FAILED : QOR_TIFF_BAD_DATA;
            jpeg_abort_decompress(&info_);
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
        } else {
            info_.jpeg_color_space = JCS_GRAYSCALE;
            info_.out_color_space = JCS_GRAYSCALE;
        }
        jpeg_start_decompress(&info_);
    }

    RowResult NextRow(std::uint8_t* row) override {
        if (failure_ != 0) return failure_;
        if (setjmp(errors_.jump) != 0) {
            failure_ = input_.cut() ? QOR_READ_FAILED : QOR_TIFF_BAD_DATA;
            return failure_;
        }
        // A stream of fewer rows than its strip ends the strip's data early.
        if (info_.output_scanline >= info_.output_height) return QOR_READ_FAILED;
        JSAMPROW rows[1] = {row};
        if (jpeg_read_scanlines(&info_, rows, 1) != 1) return QOR_READ_FAILED;
#ifndef JCS_EXTENSIONS
        if (form_.exchangeRedBlue) ExchangeRedBlue(row, page_->imageWidth);
#endif
        return 0;
    }

  private:
    jpeg_decompress_struct info_{};
    ErrorManager errors_{};
    bool created_ = false;
    const TiffPage* page_ = nullptr;
    PageForm form_;
    std::uint32_t rowsPerStrip_ = 0;
    plat::LockedBlock tables_;
    WholeStrip input_;
    std::int16_t failure_ = 0;  // what ended the strip's data, or 0
};

}  // namespace

std::int16_t DecodeJpegStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file,
                              TiffPage* page) {
    JpegCodec codec;
    return DecodeStrips(progress, dib, file, *page, &codec);
}
#endif

}  // namespace qor::tiff
