// The pages of a TIFF file as its directories describe them, for `qorimg info` and for naming
// and skipping pages in `qorimg convert`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qorimg_tool {

struct PageSummary {
    std::uint32_t width = 0, height = 0;
    std::uint16_t bitsPerSample = 0, samplesPerPixel = 0, photometric = 0, compression = 0;
    std::uint32_t strips = 0;
    int status = 0;  // the page's validation status: 0 when the reader decodes it
};

// Fills *pages with one entry per directory in the file's chain. Returns an empty string, or
// why the file could not be walked.
std::string ListTiffPages(const std::string& path, std::vector<PageSummary>* pages);

}  // namespace qorimg_tool
