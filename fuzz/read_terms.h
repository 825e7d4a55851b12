// Reads on the caller's terms for the harnesses: the page range, memory limit, thread count and
// cancel of a read drawn from the input's last bytes (which a TIFF or GIF reader leaves alone, so
// that the fuzzer mutates the terms and the file together), and the checks that a description
// agrees with the read it describes, in the classic and the extended mode.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "frame/read_info.h"
#include "fuzz/harness_util.h"
#include "qorimg/qorimg.h"
#include "record/describe.h"

namespace qor::fuzz {

// The memory limit of the extended reads whose status is held to a description: enough for any
// page the harnesses' time limit lets them decode, with 102 taken as a failure of the data.
inline constexpr std::uint64_t kDescribedReadLimit = std::uint64_t{256} << 20;

struct ReadTerms {
    QorReadOptions options{};
    std::uint32_t cancelAt = 0;  // the progress call (1 = first) that cancels; 0: none
};

// Terms from the last two bytes: first page 0 to 3, page count 0 to 3, a limit of 4 KiB to
// 256 MiB, 0, 1, 2 or 4 threads, and a cancel at one of the first 15 progress calls or none.
inline ReadTerms DrawReadTerms(const std::uint8_t* data, std::size_t size, std::uint32_t flags) {
    const std::uint8_t a = size >= 1 ? data[size - 1] : 0, b = size >= 2 ? data[size - 2] : 0;
    static constexpr std::uint64_t kLimits[8] = {4u << 10,  64u << 10,  1u << 20,   16u << 20,
                                                 64u << 20, 256u << 20, 256u << 20, 256u << 20};
    static constexpr std::uint32_t kThreads[4] = {1, 2, 4, 0};
    ReadTerms t;
    t.options.size = sizeof t.options;
    t.options.flags = flags;
    t.options.firstPage = a & 3;
    t.options.pageCount = (a >> 2) & 3;
    t.options.memoryLimit = kLimits[(a >> 4) & 7];
    t.options.threads = kThreads[b & 3];
    t.cancelAt = (b >> 2) & 15;
    return t;
}

// A progress callback that cancels at the call that the terms name, counting the calls of one
// read (the harnesses read on one thread).
struct CancelCounter {
    static inline std::uint32_t calls = 0, cancelAt = 0;
    static std::int32_t QOR_CALL Progress(QorProgressInfo*) {
        ++calls;
        return cancelAt != 0 && calls >= cancelAt ? 1 : 0;
    }
};

// A TIFF read on the drawn terms: it ends with a status that the terms allow (a cancel only when
// one was drawn), delivers no more pages than the range asks for, and leaves nothing behind.
inline void CheckTiffReadOnTerms(const std::string& path, const ReadTerms& terms) {
    const std::uint64_t blocks = plat::testing::LiveBlocks();
    CancelCounter::calls = 0;
    CancelCounter::cancelAt = terms.cancelAt;
    QorHandle first = 0;
    const std::int16_t status =
        QorReadTIFEx(terms.cancelAt != 0 ? CancelCounter::Progress : nullptr, 0, path.c_str(),
                     &terms.options, &first);
    if (status == QOR_CANCELLED && terms.cancelAt == 0) Finding("cancelled without a cancel");
    if (status == 0) {
        const std::uint32_t layers = QorDocumentLayers(first, nullptr, 0);
        if (terms.options.pageCount != 0 && layers > terms.options.pageCount) {
            Finding("%u pages delivered for a range of %u", layers, terms.options.pageCount);
        }
        if (QorReleaseDocument(first) != 0) Finding("the document cannot be released");
    }
    CheckNothingLeft(blocks);
}

// A GIF read on the drawn terms (page range 0 or the first frame only: the GIF rules), checked
// as the TIFF one.
inline void CheckGifReadOnTerms(const std::string& path, ReadTerms terms) {
    const std::uint64_t blocks = plat::testing::LiveBlocks();
    terms.options.firstPage = 0;
    terms.options.pageCount = terms.options.pageCount & 1;
    terms.options.threads = 0;
    CancelCounter::calls = 0;
    CancelCounter::cancelAt = terms.cancelAt;
    QorHandle first = 0;
    std::int16_t transparent = 0;
    const std::int16_t status =
        QorReadGIFEx(terms.cancelAt != 0 ? CancelCounter::Progress : nullptr, 0, path.c_str(),
                     &terms.options, &first, &transparent);
    if (status == QOR_CANCELLED && terms.cancelAt == 0) Finding("cancelled without a cancel");
    if (status == 0) {
        const std::uint32_t layers = QorDocumentLayers(first, nullptr, 0);
        if (terms.options.pageCount == 1 && layers != 1) Finding("%u frames for one", layers);
        if (QorReleaseDocument(first) != 0) Finding("the document cannot be released");
    }
    CheckNothingLeft(blocks);
}

// Failures that only the data can give: a description, which reads no data, says 0 (or 531 for
// a page without decoder that ends the read) where a read meets them.
inline bool DataFailure(std::int16_t status) {
    return status == QOR_READ_FAILED || status == QOR_FAX_BAD_DATA || status == QOR_NO_MEMORY ||
           status == QOR_TIFF_BAD_DATA || status == QOR_GIF_CODE_OVERFLOW;
}

struct WholeRead {
    std::int16_t status = 0;
    std::uint32_t layers = 0;
};

// A whole TIFF read in the mode of `flags`, on `threads`, held to the description of that mode:
// the same status unless the data failed, and, on success, a layer for each page that the
// description says a read decodes.
inline WholeRead CheckTiffDescribedAsRead(const std::string& path, std::uint32_t flags,
                                          std::uint32_t threads) {
    const std::uint64_t blocks = plat::testing::LiveBlocks();
    QorReadOptions options{};
    options.size = sizeof options;
    options.flags = flags;
    options.threads = threads;
    options.memoryLimit = kDescribedReadLimit;
    QorHandle first = 0;
    const std::int16_t status = QorReadTIFEx(nullptr, 0, path.c_str(), &options, &first);
    std::uint32_t layers = 0;
    if (status == 0) {
        layers = QorDocumentLayers(first, nullptr, 0);
        if (QorReleaseDocument(first) != 0) Finding("the document cannot be released");
    }
    CheckNothingLeft(blocks);
    TiffDescription file;
    std::uint32_t decodable = 0;
    auto count = [](void* context, std::uint32_t, const TiffPageDescription& page) {
        if (page.status == 0) ++*static_cast<std::uint32_t*>(context);
    };
    if (DescribeTiffWith(path.c_str(), &file, count, &decodable,
                         (flags & QOR_READ_EXTENDED) != 0) != 0) {
        Finding("the file cannot be described");
    }
    // A read may fail in the data before the page that the description says ends it (no
    // decoder, or a first strip past the end of the file), or in that page's own tables.
    const bool mayFailInData = file.status == 0 || file.status == QOR_TIFF_COMPRESSION ||
                               file.status == QOR_READ_FAILED;
    if (status != file.status && !(mayFailInData && DataFailure(status))) {
        Finding("%s: described with status %d, read with %d", flags != 0 ? "extended" : "classic",
                file.status, status);
    }
    if (status == 0 && layers != decodable) {
        Finding("%s: %u layers delivered for %u pages described as decoded",
                flags != 0 ? "extended" : "classic", layers, decodable);
    }
    return {status, layers};
}

}  // namespace qor::fuzz
