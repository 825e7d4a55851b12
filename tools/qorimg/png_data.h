// The image data of a PNG (what its IDAT chunks hold): the rows filtered and the whole stream
// deflated in one piece through libdeflate, which compresses several times faster than zlib to
// files about as small.
//
// Rows of 24- and 32-bit pixels take, each, the one of the five filters whose output has the
// least sum of absolute values when its bytes are read as signed: the rule that libpng applies by
// default. Palette rows are not filtered, as libpng does not filter them by default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qorimg_tool {

class PngImageData {
  public:
    // Takes the memory of `rows` rows of `rowBytes` bytes each (without the filter byte), to be
    // filtered on pixels of `pixelBytes` bytes, or not at all when it is 0. False when that
    // memory cannot be had: the caller writes the image another way.
    bool Start(std::uint32_t rows, std::size_t rowBytes, unsigned pixelBytes);
    // Filters the next row (rowBytes bytes) into the stream.
    void AddRow(const std::uint8_t* row);
    // Deflates the stream of every row added into a zlib stream at *data, *size bytes; false when
    // there is no memory for it.
    bool Finish(std::unique_ptr<std::uint8_t[]>* data, std::size_t* size);

  private:
    std::size_t rowBytes_ = 0;
    unsigned pixelBytes_ = 0;
    std::uint32_t rows_ = 0, added_ = 0;
    std::unique_ptr<std::uint8_t[]> stream_;    // a filter byte and the filtered row, per row
    std::unique_ptr<std::uint8_t[]> previous_;  // the row before, unfiltered (zero at first)
    std::unique_ptr<std::uint8_t[]> scratch_;   // the output of four filters, one row each
};

}  // namespace qorimg_tool
