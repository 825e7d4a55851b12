#include "pages.h"

#include "tiff/reader.h"
#include "tiff/tiff.h"

namespace qorimg_tool {

std::string ListTiffPages(const std::string& path, std::vector<PageSummary>* pages) {
    using namespace qor;
    pages->clear();
    HFILE file = plat::_lopen(path.c_str(), 0);
    if (file == plat::HFILE_ERROR) return QorStatusText(QOR_OPEN_FAILED);
    std::uint16_t byteOrder = 0;
    std::uint32_t offset = 0;
    std::int16_t status = tiff::ReadTiffHeader(file, &byteOrder, &offset);
    if (status != 0) {
        plat::_lclose(file);
        return QorStatusText(status);
    }
    // Walks the same chain as the reader: the count ends loops and over-long chains.
    std::uint16_t count = tiff::CountTiffPages(file, offset, byteOrder);
    for (std::uint16_t i = 0; i < count; ++i) {
        tiff::TiffPage page{};
        page.byteOrder = byteOrder;
        tiff::ParseTiffDirectory(file, &page, &offset);
        PageSummary s;
        s.width = page.imageWidth;
        s.height = page.imageLength;
        s.bitsPerSample = page.bitsPerSample;
        s.samplesPerPixel = page.samplesPerPixel;
        s.photometric = page.photometric;
        s.compression = page.compression;
        s.strips = page.stripCount;
        s.status = tiff::ValidateTiffPage(page);
        // Validation passes layouts that the reader still cannot deliver and compressions
        // without a decoder; report those as the read would.
        if (s.status == 0 && tiff::SelectStripDecoder(page.compression) == nullptr) {
            s.status = QOR_TIFF_COMPRESSION;
        }
        pages->push_back(s);
    }
    plat::_lclose(file);
    return {};
}

}  // namespace qorimg_tool
