// ReadTiffWorker: opens the file, parses every directory of the chain, decodes each page that
// can be decoded into its own DIB and hands all of them to the host as the layers of one
// document.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "host/host.h"
#include "platform/bytes.h"
#include "platform/locked_block.h"
#include "record/request.h"
#include "tiff/reader.h"
#include "tiff/tags.h"

namespace qor {
namespace {

using tiff::TiffPage;
using namespace tiff;  // the tag and code names

// 2^shift with the shift taken modulo 32.
std::uint64_t PowerOfTwo(std::uint32_t shift) {
    return 1ull << (shift & 31);
}

std::uint32_t Saturate32(std::uint64_t v) {
    return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
}

void FillInformation(ImageIoRequest* request, const TiffPage& first, HFILE file) {
    request->infoVersion = 0;
    request->infoEncoding = first.compression;
    request->infoWidth = first.imageWidth;
    request->infoHeight = first.imageLength;
    request->infoBitsPerSample = first.bitsPerSample;
    request->infoBitsPerSample2 = first.bitsPerSample;
    request->infoSamplesPerPixel = first.samplesPerPixel;
    request->infoSamplesPerPixel2 = first.samplesPerPixel;
    const std::uint64_t b = first.bitsPerSample, w = first.imageWidth, h = first.imageLength;
    // Computed in 64 bits; a count that does not fit 32 bits reads as 0xFFFFFFFF.
    if (first.samplesPerPixel == 1 || first.samplesPerPixel == 2) {
        request->infoColorCount = static_cast<std::uint32_t>(PowerOfTwo(first.bitsPerSample));
        request->infoImageBytes = Saturate32((w * b + 31) / 32 * h * 4);
    } else {
        request->infoColorCount = static_cast<std::uint32_t>(PowerOfTwo(3u * first.bitsPerSample));
        request->infoImageBytes = Saturate32((3 * w * b + 31) / 32 * h * 4);
    }
    request->infoFileSize = plat::GetFileSize(file, nullptr);
}

// Writes entry 0 = black and entry 1 = white into the colour table of a 1-bit DIB.
void SetBlackWhite(const DibView& dib) {
    const std::uint8_t table[8] = {0, 0, 0, 0, 255, 255, 255, 0};
    std::memcpy(dib.palette, table, sizeof table);
}

// Inverts a 1-bit DIB through the host; the source is freed whatever the outcome.
std::int16_t Invert(ProgressBlock* progress, HGLOBAL dib, HGLOBAL* inverted) {
    *inverted = 0;
    std::int16_t status = host::InvertBitmap(progress, dib, inverted);
    plat::GlobalFree(dib);
    if (status != 0) {
        // A refusal leaves nothing of its own behind.
        if (*inverted != 0) plat::GlobalFree(*inverted);
        *inverted = 0;
    }
    return status;
}

// The rows from the top that may hold data: those the decoder delivered, and the next one, which
// a strip that ended inside it may have begun (or a codec's Finish written).
std::uint32_t RowsHeld(const TiffPage& page) {
    return page.rowsDecoded < page.imageLength ? page.rowsDecoded + 1 : page.imageLength;
}

// Finishes a decoded page as its form says: the colour table while the DIB is still locked
// (`view`), then, unlocked, the inversion or the narrowing of its rows. On 0 page->bitmap holds
// the result; on failure every block of the page is freed.
std::int16_t FinishPage(ProgressBlock* progress, TiffPage* page, const tiff::PageForm& form,
                        HGLOBAL dib, const DibView& view) {
    using tiff::PageFinish;
    PageFinish finish = form.finish;
    if (finish == PageFinish::kInvertIfFirstEntryLight) {
        finish = view.palette[0] != 0 ? PageFinish::kBlackWhiteThenInvert : PageFinish::kNone;
    }
    if (finish == PageFinish::kBlackWhite || finish == PageFinish::kBlackWhiteThenInvert) {
        SetBlackWhite(view);
    }
    plat::GlobalUnlock(dib);
    if (form.wideSamples != 0 && !tiff::NarrowWideSamples(dib, form)) {
        plat::GlobalFree(dib);
        return QOR_NO_MEMORY;
    }
    HGLOBAL result = dib;
    switch (finish) {
        case PageFinish::kInvertThenBlackWhite:
        case PageFinish::kBlackWhiteThenInvert: {
            if (std::int16_t status = Invert(progress, dib, &result)) return status;
            if (finish == PageFinish::kBlackWhiteThenInvert) break;
            // The inverted copy is a block of its own.
            auto* p = static_cast<std::uint8_t*>(plat::GlobalLock(result));
            DibView inverted;
            if (p == nullptr || !ViewDib(p, plat::GlobalSize(result), &inverted)) {
                if (p != nullptr) plat::GlobalUnlock(result);
                plat::GlobalFree(result);
                return QOR_NO_MEMORY;
            }
            SetBlackWhite(inverted);
            plat::GlobalUnlock(result);
            break;
        }
        case PageFinish::kGreyAlphaToGrey:
            result = tiff::ConvertGreyAlphaToGrey(dib, RowsHeld(*page));
            break;
        case PageFinish::kRgbaToBgr:
            result = tiff::ConvertRgbaToBgr(dib, RowsHeld(*page));
            break;
        case PageFinish::kCmykToBgr:
            result = tiff::ConvertCmykToBgr(dib);
            break;
        case PageFinish::kCmykToBgrAsViewers:
        case PageFinish::kCmykAlphaToBgrAsViewers:
            result = tiff::ConvertCmykToBgrAsViewers(
                dib, finish == PageFinish::kCmykAlphaToBgrAsViewers);
            break;
        case PageFinish::kTwoBitToFour:
            result = tiff::ConvertTwoBitToFour(dib);
            break;
        case PageFinish::kRgbaToBgra:
        case PageFinish::kPremultipliedRgbaToBgra:
            result = tiff::ConvertRgbaToBgra(dib, finish == PageFinish::kPremultipliedRgbaToBgra);
            break;
        case PageFinish::kGreyAlphaToBgra:
        case PageFinish::kPremultipliedGreyAlphaToBgra:
            result = tiff::ConvertGreyAlphaToBgra(
                dib, finish == PageFinish::kPremultipliedGreyAlphaToBgra);
            break;
        default:
            break;
    }
    if (result == 0) {
        // A conversion that yields no block leaves the decoded one to us.
        plat::GlobalFree(dib);
        return QOR_NO_MEMORY;
    }
    // Last, an extended read shows the page upright.
    std::int16_t status = 0;
    if (HGLOBAL upright =
            tiff::OrientDib(result, form.orientation, RowsHeld(*page), progress, &status);
        upright != 0) {
        result = upright;
    } else {
        plat::GlobalFree(result);
        return status;
    }
    page->bitmap = result;
    return 0;
}

// Decodes one valid page into its DIB, set up by tiff::SetUpPageDib (`dib`, locked at `bits`),
// and leaves the result in page->bitmap. The DIB stays locked from its set-up to its colour
// table's last change; on failure every block of the page is freed.
std::int16_t DecodeIntoDib(ProgressBlock* progress, HFILE file, TiffPage* page, HGLOBAL dib,
                           std::uint8_t* bits) {
    // A page decoded again (on the caller's thread after the page crew) notes its damage anew.
    if (page->damaged != nullptr) page->damaged->clear();
    tiff::PageForm form;
    DibView view;
    const tiff::StripDecoder decoder = tiff::SelectStripDecoder(page->compression, page->extended);
    std::int16_t status = QOR_TIFF_COMPRESSION;
    if (decoder != nullptr && tiff::TakenInParts(*page)) {
        status = tiff::DecodeParts(progress, bits, file, page, decoder);
    } else if (decoder != nullptr) {
        status = decoder(progress, bits, file, page);
    }
    if (status == 0 &&
        (!tiff::FormOfPage(*page, &form) || !tiff::ViewPageDib(bits, *page, &view))) {
        status = QOR_TIFF_UNSUPPORTED;
    }
    if (status != 0) {
        plat::GlobalUnlock(dib);
        plat::GlobalFree(dib);
        return status;
    }
    return FinishPage(progress, page, form, dib, view);
}

// Decodes one valid page into page->bitmap, whose block may take at most `budget` bytes. Every
// page starts cleared: a fresh block costs nothing until it is written, so rows that get no data
// cost nothing either.
std::int16_t DecodePage(ProgressBlock* progress, HFILE file, TiffPage* page, std::uint64_t budget) {
    HGLOBAL dib = 0;
    std::uint8_t* bits = nullptr;
    if (std::int16_t status = tiff::SetUpPageDib(file, page, &dib, &bits, budget)) return status;
    return DecodeIntoDib(progress, file, page, dib, bits);
}

// The progress calls that a page made on a worker, in order, each with its repeats; the answer
// is 0, or 1 once the page crew stops (the page then ends at its next call that may cancel).
struct PageCalls {
    struct Call {
        std::uint32_t done, total, repeats;
    };
    std::vector<Call> calls;
    const std::atomic<bool>* stop = nullptr;
};
thread_local PageCalls* tPageCalls = nullptr;

std::int32_t RecordCall(ProgressInfo* info) {
    PageCalls& r = *tPageCalls;
    if (!r.calls.empty() && r.calls.back().done == info->done &&
        r.calls.back().total == info->total) {
        ++r.calls.back().repeats;
    } else {
        r.calls.push_back({info->done, info->total, 1});
    }
    return r.stop->load(std::memory_order_relaxed) ? 1 : 0;
}

// A page decoded again on the caller's thread after its calls were replayed up to `answered`,
// whose answer, `answer`, cancels: those calls get their answers again without reaching the
// host, the later ones reach it.
struct Replay {
    ProgressBlock* host;
    std::uint64_t answered, made = 0;
    std::int32_t answer;
};
thread_local Replay* tReplay = nullptr;

std::int32_t ReplayCall(ProgressInfo* info) {
    Replay& r = *tReplay;
    if (++r.made < r.answered) return 0;
    if (r.made == r.answered) return r.answer;
    return ReportProgress(r.host, info->done, info->total);
}

// The pages of a read decoded on several threads, each page by one worker with the file opened
// again, ahead of the caller's thread, which takes them in order (Take): it replays each page's
// progress calls and keeps its DIB when the page decoded and its block fits the budget as the
// read on one thread counts it. Any other page, and every page after it, the caller decodes
// itself: then the workers stop and the pages decoded ahead are freed. Only pages of codings
// whose working memory is small (the fax codings, PackBits, none) are taken, and the pages in
// flight never hold more than the budget.
//
// The caller's thread sets up the DIBs of the pages ahead (Prepare), and a worker decodes into
// the one it takes: the DIBs come from the caller's allocator, as on one thread, where a
// worker's would come from memory of its own that the C library maps again on each read.
class PageCrew {
  public:
    PageCrew(HFILE file, TiffPage* pages, std::uint32_t count, std::uint64_t budget)
        : file_(file), pages_(pages), count_(count), budget_(budget) {}
    ~PageCrew() { Stop(); }
    PageCrew(const PageCrew&) = delete;
    PageCrew& operator=(const PageCrew&) = delete;

    // Starts the workers when the read's pages (validated, their status set) suit.
    void Form(std::uint32_t threads);
    // Page `i` (valid) as the read on one thread decodes it: true with *status set, or false when
    // the caller decodes it (and every page after it) itself. `held` is what the pages before
    // it hold.
    bool Take(ProgressBlock* progress, std::uint32_t i, std::uint64_t held, std::int16_t* status);
    // Stops the workers, and frees the pages decoded or set up ahead and not taken.
    void Stop();

  private:
    // Waiting: not set up; Ready: its DIB set up, for a worker to take; Taken: being decoded;
    // Done: decoded, or its set-up failed.
    enum class State : std::uint8_t { kWaiting, kReady, kTaken, kDone };
    struct Page {
        State state = State::kWaiting;
        std::int16_t status = 0;
        std::uint64_t reserved = 0;  // the budget it was given while in flight
        std::uint32_t slot = 0;      // its set-up, from Ready until the caller takes it
        PageCalls calls;
    };
    // A page's DIB, set up and not yet taken by a worker, and the page's record as parsed, for
    // a decode on the caller's thread. The pages ahead take turns in `most_` of them.
    struct SetUp {
        HGLOBAL dib = 0;
        std::uint8_t* bits = nullptr;
        TiffPage record{};
    };
    // Sets up the DIBs of the pages that there is room for ahead.
    void Prepare();
    void Work(HFILE file);

    HFILE file_;
    TiffPage* pages_;
    std::uint32_t count_;
    std::uint64_t budget_;
    std::vector<Page> state_;
    std::vector<SetUp> setUps_;
    std::vector<std::thread> workers_;
    std::vector<HFILE> files_;
    // The read's meter, which the workers charge too.
    plat::ReadMeter* const meter_ = plat::CurrentMeter();
    std::mutex mutex_;
    std::condition_variable ready_, done_;
    std::atomic<bool> stop_{false};
    bool active_ = false;
    bool failed_ = false;           // a set-up failed: no page after it is set up
    std::uint32_t prepared_ = 0;    // the next page the caller sets up
    std::uint32_t setUpCount_ = 0;  // pages set up so far
    std::uint32_t next_ = 0;        // the next page a worker takes
    std::uint32_t committed_ = 0;   // pages before this one the caller has taken
    std::uint32_t ahead_ = 0;       // pages set up, in flight or done, not yet taken
    std::uint64_t reserved_ = 0;    // what those may hold
    std::uint64_t held_ = 0;        // what the pages taken hold
    std::uint32_t most_ = 0;        // pages ahead at most
};

// The working memory of the page's decoder, for the codings whose pages are decoded side by
// side (0 for the others).
std::uint64_t SideBySideMemory(const TiffPage& page) {
    if (tiff::TakenInParts(page)) return 0;
    switch (page.compression) {
        case tiff::kCompressionNone:
        case tiff::kCompressionPackBits:
            return 64 * 1024;
        case tiff::kCompressionModifiedHuffman:
        case tiff::kCompressionGroup3:
        case tiff::kCompressionGroup4:
            // Two code tables of 16 KiB, the input block, two lists of changes, and a margin.
            return 3 * 16384 + tiff::TIFF_READ_BLOCK +
                   8ull * (std::min(page.imageWidth, kMaxDibSide) + 8);
        default:
            return 0;
    }
}

void PageCrew::Form(std::uint32_t threads) {
    // Pages side by side share the decoders' working memory of a threaded page; a read of pages
    // too small to gain stays on one thread.
    constexpr std::uint64_t kWorkingMemory = 896 * 1024;
    std::uint64_t most = 0, rows = 0;
    std::uint32_t valid = 0;
    for (std::uint32_t i = 0; i < count_; ++i) {
        if (pages_[i].status != 0) continue;
        const std::uint64_t memory = SideBySideMemory(pages_[i]);
        if (memory == 0) return;
        most = std::max(most, memory);
        const std::uint64_t bits =
            std::uint64_t{pages_[i].bitsPerSample} * pages_[i].samplesPerPixel;
        rows += (pages_[i].imageWidth * bits + 7) / 8 * pages_[i].imageLength;
        ++valid;
    }
    // The workers' working memory comes out of what the read's budget has left: fewer of them,
    // or none, when it has no room.
    const std::uint64_t room = meter_ != nullptr ? meter_->Left() : kWorkingMemory;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        {threads, valid, std::min(kWorkingMemory, room) / std::max<std::uint64_t>(most, 1)}));
    if (n < 2 || rows < plat::SmallestThreadedPage(128 * 1024)) return;
    most_ = 2 * n;
    state_.resize(count_);
    setUps_.resize(most_);
    for (std::uint32_t w = 0; w < n; ++w) {
        const HFILE again = plat::OpenAgain(file_);
        if (again == plat::HFILE_ERROR) break;
        files_.push_back(again);
        try {
            workers_.emplace_back(&PageCrew::Work, this, again);
        } catch (const std::system_error&) {
            break;
        }
    }
    active_ = !workers_.empty();
    if (active_) Prepare();
}

void PageCrew::Prepare() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        while (prepared_ < count_ && pages_[prepared_].status != 0) ++prepared_;
        if (prepared_ == count_ || failed_ || stop_ || ahead_ >= most_) return;
        const std::uint32_t i = prepared_;
        Page& page = state_[i];
        // An equal share of what the budget has left for the pages not yet in flight.
        const std::uint64_t used = held_ + reserved_;
        const std::uint64_t left = budget_ > used ? budget_ - used : 0;
        page.reserved = left / std::max<std::uint32_t>(1, most_ - ahead_);
        reserved_ += page.reserved;
        ++ahead_;
        page.slot = setUpCount_++ % most_;
        lock.unlock();
        SetUp& setUp = setUps_[page.slot];
        setUp.record = pages_[i];
        pages_[i].threads = 1;
        const std::int16_t status =
            tiff::SetUpPageDib(file_, &pages_[i], &setUp.dib, &setUp.bits, page.reserved);
        lock.lock();
        // The page holds its DIB from now on, or nothing.
        reserved_ -= page.reserved;
        page.reserved = status == 0 ? plat::GlobalSize(setUp.dib) : 0;
        reserved_ += page.reserved;
        if (status != 0) {
            // The caller decodes this page itself when it comes to it.
            page.status = status;
            page.state = State::kDone;
            failed_ = true;
        } else {
            page.state = State::kReady;
        }
        prepared_ = i + 1;
        ready_.notify_one();
    }
}

void PageCrew::Work(HFILE file) {
    const plat::MeterScope metered(meter_);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // The next page set up.
        ready_.wait(lock, [this] { return stop_ || next_ < prepared_ || next_ == count_; });
        while (next_ < prepared_ && state_[next_].state != State::kReady) ++next_;
        if (stop_ || next_ == count_) return;
        if (next_ == prepared_) continue;
        const std::uint32_t i = next_++;
        Page& page = state_[i];
        page.state = State::kTaken;
        SetUp& setUp = setUps_[page.slot];
        const HGLOBAL dib = setUp.dib;
        setUp.dib = 0;
        lock.unlock();
        page.calls.stop = &stop_;
        alignas(kRequestAlignment) ProgressBlock recorder{};
        recorder.progress = RecordCall;
        tPageCalls = &page.calls;
        page.status = DecodeIntoDib(&recorder, file, &pages_[i], dib, setUp.bits);
        tPageCalls = nullptr;
        lock.lock();
        // The page holds what its block kept of its share.
        reserved_ -= page.reserved;
        page.reserved = page.status == 0 ? plat::GlobalSize(pages_[i].bitmap) : 0;
        reserved_ += page.reserved;
        page.state = State::kDone;
        done_.notify_all();
    }
}

bool PageCrew::Take(ProgressBlock* progress, std::uint32_t i, std::uint64_t held,
                    std::int16_t* status) {
    if (!active_) return false;
    // The page taken last left room ahead.
    Prepare();
    Page& page = state_[i];
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (page.state == State::kWaiting) {
            // Not set up (the crew stopped short of it): the caller decodes it.
            lock.unlock();
            Stop();
            return false;
        }
        done_.wait(lock, [&] { return page.state == State::kDone; });
    }
    // The block that the read on one thread sets the page up in must fit what is left.
    tiff::PageForm form;
    const bool fits = page.status == 0 && tiff::FormOfPage(pages_[i], &form) &&
                      form.dibBytes <= budget_ - std::min(held, budget_);
    if (!fits) {
        Stop();
        // The caller decodes the page from its record as parsed.
        pages_[i] = setUps_[page.slot].record;
        return false;
    }
    std::uint64_t made = 0;
    for (const PageCalls::Call& call : page.calls.calls) {
        for (std::uint32_t k = 0; k < call.repeats; ++k) {
            ++made;
            if (const std::int32_t answer = ReportProgress(progress, call.done, call.total)) {
                // Whether the page would have ended here is the decoder's to say: it decodes
                // again on this thread, taking the answers it had.
                Stop();  // the page's block too
                pages_[i] = setUps_[page.slot].record;
                pages_[i].threads = 1;
                Replay replay{progress, made, 0, answer};
                alignas(kRequestAlignment) ProgressBlock replaying{};
                replaying.progress = ReplayCall;
                tReplay = &replay;
                *status =
                    DecodePage(&replaying, file_, &pages_[i], budget_ - std::min(held, budget_));
                tReplay = nullptr;
                return true;
            }
        }
    }
    *status = 0;
    std::lock_guard<std::mutex> guard(mutex_);
    reserved_ -= page.reserved;
    page.reserved = 0;
    held_ = held + plat::GlobalSize(pages_[i].bitmap);
    --ahead_;
    committed_ = i + 1;
    ready_.notify_all();
    return true;
}

void PageCrew::Stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stop_ = true;
    }
    ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    for (HFILE f : files_) plat::_lclose(f);
    files_.clear();
    // Pages decoded or set up ahead and not taken are freed.
    for (std::uint32_t j = committed_; j < count_ && active_; ++j) {
        Page& page = state_[j];
        if (page.state == State::kDone && page.status == 0 && pages_[j].bitmap != 0) {
            plat::GlobalFree(pages_[j].bitmap);
            pages_[j].bitmap = 0;
        } else if (page.state == State::kReady) {
            SetUp& setUp = setUps_[page.slot];
            plat::GlobalUnlock(setUp.dib);
            plat::GlobalFree(setUp.dib);
            setUp.dib = 0;
        }
    }
    active_ = false;
}

void FreeBitmaps(TiffPage* pages, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        if (pages[i].bitmap != 0) plat::GlobalFree(pages[i].bitmap);
        pages[i].bitmap = 0;
    }
}

void ReleaseLayerBlock(ImageIoRequest* request) {
    if (request->layerBlock != 0) plat::GlobalFree(request->layerBlock);
    request->layerBlock = 0;
    request->layerCount = 0;
}

// Hands the decoded pages to the host. On failure the host's layer block and every page's DIB
// are freed.
std::int16_t DeliverPages(ImageIoRequest* request, TiffPage* pages, std::uint32_t count,
                          std::uint32_t decoded) {
    std::int16_t status = host::ReserveLayers(request, decoded, 1);
    if (status == 0) {
        request->multiPage = decoded != 1 ? 1 : 0;
        std::uint32_t layer = 0;
        for (std::uint32_t i = 0; i < count && status == 0; ++i) {
            if (pages[i].status != 0 || pages[i].bitmap == 0) continue;
            status =
                host::AssignLayerBitmap(request, layer, layer == 0 ? 1 : 0, pages[i].bitmap, 0);
            if (status == 0) ++layer;
        }
        if (status == 0) return 0;
    }
    ReleaseLayerBlock(request);
    FreeBitmaps(pages, count);
    return status;
}

}  // namespace

namespace tiff {

StripDecoder SelectStripDecoder(std::uint16_t compression, bool extended) {
    switch (compression) {
        case kCompressionNone:
            return DecodeUncompressedStripsToBgr;
        case kCompressionModifiedHuffman:
            return DecodeModifiedHuffmanStrips;
        case kCompressionGroup3:
            return DecodeGroup3Strips;
        case kCompressionGroup4:
            return DecodeGroup4Strips;
        case kCompressionLzw:
            return DecodeLzwStripsToBgr;
        case kCompressionPackBits:
            return DecodePackBitsStripsToBgr;
        case kCompressionJpeg:
#if QORIMG_HAVE_LIBJPEG
            return extended ? DecodeJpegStrips : nullptr;
#else
            return nullptr;
#endif
        case kCompressionDeflate:
        case kCompressionOldDeflate:
#if QORIMG_HAVE_LIBDEFLATE
            return extended ? DecodeDeflateStrips : nullptr;
#else
            return nullptr;
#endif
        default:
            return nullptr;
    }
}

}  // namespace tiff

std::int16_t ReadTiffWorker(ImageIoRequest* request, std::vector<PageEnd>* ended,
                            std::uint32_t* stoppedAt, const ReadScope* scope,
                            std::vector<DamagedRows>* damaged) {
    if (std::int16_t status = BeginWork(request)) return status;
    ProgressBlock* progress = ProgressBlockOf(request);
    request->layerCount = 0;
    request->layerBlock = 0;
    // Every block the read takes, on this thread and on the workers it starts, counts against
    // its budget; the DIBs it delivers stop counting when it ends.
    plat::ReadMeter meter(scope != nullptr ? scope->Budget() : plat::ReadBudget());
    const plat::MeterScope metered(&meter);

    HFILE file = plat::_lopen(request->fileName, 0);
    if (file == plat::HFILE_ERROR) return QOR_OPEN_FAILED;
    std::uint16_t byteOrder = 0;
    std::uint32_t offset = 0;
    if (std::int16_t status = tiff::ReadTiffHeader(file, &byteOrder, &offset)) {
        plat::_lclose(file);
        return status;
    }
    // The chain is walked to the end of the pages asked for; `offset` moves to the first.
    const ReadScope whole;
    const ReadScope& range = scope != nullptr ? *scope : whole;
    const std::uint32_t first = range.firstPage;
    const std::uint64_t end =
        range.pageCount == 0 ? 0xFFFF : std::uint64_t{first} + range.pageCount;
    std::uint16_t walked = 0;
    if (std::int16_t status = tiff::WalkTiffChain(
            file, offset, byteOrder, static_cast<std::uint32_t>(end < 0xFFFF ? end : 0xFFFF), first,
            &walked, &offset)) {
        plat::_lclose(file);
        return status;
    }
    if (walked <= first) {
        plat::_lclose(file);
        return QOR_BAD_REQUEST;
    }
    const std::uint32_t count = walked - first;
    plat::LockedBlock pageArray;
    if (!pageArray.Allocate(sizeof(TiffPage) * count)) {
        plat::_lclose(file);
        return QOR_NO_MEMORY;
    }
    auto* const pages = pageArray.As<TiffPage>();
    // Directories of many entries report progress as they are parsed, so that a file of huge
    // directories can be cancelled; those of ordinary files make no call.
    constexpr std::uint32_t kEntriesPerReport = 1u << 16;
    std::uint32_t entriesSinceReport = 0;
    std::int16_t status = 0;
    for (std::uint32_t i = 0; i < count && status == 0; ++i) {
        pages[i].byteOrder = byteOrder;
        pages[i].extended = range.extended;
        pages[i].threads = tiff::ThreadsOfRead(range.threads);
        std::uint32_t entries = 0;
        status = tiff::ParseTiffDirectory(file, &pages[i], &offset, &entries);
        entriesSinceReport += entries;
        if (status == 0 && entriesSinceReport >= kEntriesPerReport) {
            entriesSinceReport = 0;
            if (ReportProgress(progress, (i + 1) * 100 / count) != 0) status = QOR_CANCELLED;
        }
    }
    if (status != 0) {
        plat::_lclose(file);
        return status;
    }
    FillInformation(request, pages[0], file);
    // Each page's damaged strips, noted by whichever thread decodes it.
    std::vector<std::vector<DamagedRows>> damage(range.extended ? count : 0);
    for (std::uint32_t i = 0; i < damage.size(); ++i) pages[i].damaged = &damage[i];

    std::uint32_t decoded = 0;
    // Every page's image is kept until the end, so the read as a whole has a budget; a file of
    // thousands of pages that each take a large block ends as an out-of-memory read would.
    const std::uint64_t budget = range.Budget();
    std::uint64_t held = 0;
    // Every page is validated first (its record, then what its record passes of its data), and
    // pages may then be decoded side by side, each on one thread, ahead of this loop.
    for (std::uint32_t i = 0; i < count; ++i) {
        tiff::PageFault fault = tiff::CheckTiffPage(pages[i]);
        if (fault == tiff::PageFault::kNone) fault = tiff::CheckTiffPageData(file, pages[i]);
        pages[i].status = static_cast<std::uint16_t>(tiff::StatusOfFault(fault));
    }
    PageCrew crew(file, pages, count, budget);
    crew.Form(tiff::ThreadsOfRead(range.threads));
    for (std::uint32_t i = 0; i < count && status == 0; ++i) {
        if (pages[i].status != 0) continue;
        if (!crew.Take(progress, i, held, &status)) {
            pages[i].threads = tiff::ThreadsOfRead(range.threads);
            status = DecodePage(progress, file, &pages[i], budget - held);
        }
        if (status != 0) {
            if (stoppedAt != nullptr) *stoppedAt = first + i + 1;
            break;
        }
        ++decoded;
        if (ended != nullptr && pages[i].rowsDecoded < pages[i].imageLength) {
            ended->push_back({first + i + 1, pages[i].rowsDecoded});
        }
        for (std::size_t d = 0; damaged != nullptr && i < damage.size() && d < damage[i].size();
             ++d) {
            damaged->push_back(damage[i][d]);
            damaged->back().page = first + i + 1;
        }
        // The conversions only ever keep or shrink the block that was afforded.
        held += plat::GlobalSize(pages[i].bitmap);
    }
    crew.Stop();
    plat::_lclose(file);

    if (status == 0 && decoded == 0) status = static_cast<std::int16_t>(pages[0].status);
    if (status == 0) status = DeliverPages(request, pages, count, decoded);
    if (status != 0) FreeBitmaps(pages, count);
    return status;
}

}  // namespace qor
