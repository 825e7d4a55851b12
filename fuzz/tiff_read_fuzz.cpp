// Feeds arbitrary bytes to the TIFF reader as a file, read classic and extended (Deflate, JPEG,
// tiles, planes, 16-bit samples, orientation), each under a 256 MiB limit. Any status is fine; a
// crash, a hang, a sanitizer report or a leaked block or file is not. Each read has the status
// that the description of its mode gives (unless its data failed) and a layer for each page
// described as decoded, and every page that the classic read delivers, the extended one delivers
// too. The thread count, and a last read's page range, memory limit and cancel, are drawn from
// the input's last bytes (read_terms.h).
#include <cstdint>

#include "fuzz/harness_util.h"
#include "fuzz/read_terms.h"
#include "qorimg/qorimg.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = qor::fuzz::WriteScratch(data, size);
    const qor::fuzz::ReadTerms terms = qor::fuzz::DrawReadTerms(data, size, QOR_READ_EXTENDED);
    const qor::fuzz::WholeRead classic =
        qor::fuzz::CheckTiffDescribedAsRead(path, 0, terms.options.threads);
    const qor::fuzz::WholeRead extended =
        qor::fuzz::CheckTiffDescribedAsRead(path, QOR_READ_EXTENDED, terms.options.threads);
    if (classic.status == 0 && extended.status == 0 && extended.layers < classic.layers) {
        qor::fuzz::Finding("the extended read delivers %u pages, the classic %u", extended.layers,
                           classic.layers);
    }
    qor::fuzz::CheckTiffReadOnTerms(path, terms);
    return 0;
}
