// libFuzzer harness for the GIF reader: every input is written to a temporary file and read with
// QorReadGIF, then composed by the extended read; each document is released, and afterwards no
// block and no file may remain. The description gives the classic read's status (unless its data
// failed), the extended read has the classic status (or 102 from its memory limit) and a layer
// per described frame up to the one that ended them. A last read takes a memory limit, a page
// count and a cancel drawn from the input's last bytes (read_terms.h).
#include <algorithm>
#include <cstdint>

#include "frame/read_info.h"
#include "fuzz/harness_util.h"
#include "fuzz/read_terms.h"
#include "qorimg/qorimg.h"
#include "record/describe.h"

using qor::fuzz::Finding;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint64_t blocks = qor::plat::testing::LiveBlocks();
    const std::string& path = qor::fuzz::WriteScratch(data, size);
    QorHandle dib = 0;
    std::int16_t transparent = 0;
    const std::int16_t classic = QorReadGIF(nullptr, 0, path.c_str(), &dib, &transparent);
    if (classic == 0) {
        if (QorReleaseDocument(dib) != 0) Finding("the document cannot be released");
    }
    qor::fuzz::CheckNothingLeft(blocks);
    qor::GifDescription gif;
    if (qor::DescribeGif(path.c_str(), &gif) != 0) Finding("the file cannot be described");
    if (gif.status != classic && !(gif.status == 0 && qor::fuzz::DataFailure(classic))) {
        Finding("described with status %d, read with %d", gif.status, classic);
    }
    QorReadOptions options{};
    options.size = sizeof options;
    options.flags = QOR_READ_EXTENDED;
    options.memoryLimit = std::uint64_t{64} << 20;
    qor::ReadInfo info;
    const std::int16_t extended =
        qor::ReadWithInfo(qor::ReadFormat::Gif, nullptr, 0, path.c_str(), &info, &dib, &options);
    if (extended != classic && extended != QOR_NO_MEMORY) {
        Finding("the extended read gives %d, the classic read %d", extended, classic);
    }
    if (extended == 0) {
        const std::uint32_t layers = QorDocumentLayers(dib, nullptr, 0);
        const std::uint32_t stop = info.stoppedAtPage;
        if (layers != (stop != 0 ? stop - 1 : std::min<std::uint32_t>(gif.frames, 65535))) {
            Finding("%u layers of %u frames (stopped at %u)", layers, gif.frames, stop);
        }
        if (QorReleaseDocument(dib) != 0) Finding("the layers cannot be released");
    }
    qor::fuzz::CheckNothingLeft(blocks);
    qor::fuzz::CheckGifReadOnTerms(path, qor::fuzz::DrawReadTerms(data, size, QOR_READ_EXTENDED));
    return 0;
}
