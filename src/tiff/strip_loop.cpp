// The one strip loop that every TIFF compression's codec runs under, on the caller's thread alone
// or with workers.
//
// With workers, the strips are decoded speculatively: a job, a run of consecutive strips, is
// decoded by one decoder (a codec and a file of its own) straight into the job's rows of the DIB,
// as if the rows before it had come out exactly as the strips say. The caller's thread walks the
// strips, decodes jobs too, and commits the jobs in order: it makes the progress calls that a read
// on one thread makes for their rows, and ends the page at a job's failure as that read does. A
// codec whose rows follow on (LZW) can end a strip early and carry a row over into the next one;
// at the first job that does not end exactly where the next one begins, the workers stop, the rows
// decoded from there on are cleared back, and the caller's thread goes on alone from that job's
// first strip, as a read on one thread would from there. So the rows, the status, the rows decoded
// and the progress calls are those of a read on one thread, whatever the threads and the data.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "tiff/codec.h"

namespace qor::tiff {
namespace {

constexpr std::uint32_t kMostThreads = 16;
// The working memory of all decoders of a page together, shared out equally among them: with the
// rest of a read, it stays within 1 MiB above the DIBs, unless the rows are wide.
constexpr std::uint64_t kDecodersMemory = 896 * 1024;
// A decoder of wide rows gets at least this for each byte of a row, and this much besides: an LZW
// decoder's window holds four rows and 64 KiB of the latest output, beside its tables.
constexpr std::uint64_t kDecoderRowShare = 4;
constexpr std::uint64_t kDecoderFixedShare = 512 * 1024;
// Pages of fewer bytes of rows are decoded on the caller's thread alone: the workers' start and
// the hand-over of their jobs would cost more than they save (measured in bench/).
constexpr std::uint64_t kSmallestThreadedPage = 128 * 1024;
// A job holds strips of at least this many bytes of rows together, and at most kMostJobStrips
// strips, so that small strips are handed over in runs.
constexpr std::uint64_t kJobBytes = 128 * 1024;
constexpr std::uint32_t kMostJobStrips = 32;
// Jobs walked ahead of the one to commit, for each decoder.
constexpr std::uint32_t kJobsPerDecoder = 4;

// The status of a threaded decode that leaves the rest of the page to the caller's thread alone.
constexpr std::int16_t kGoOnAlone = -1;

std::uint32_t Percent(std::uint32_t row, std::uint32_t height) {
    return static_cast<std::uint32_t>(std::uint64_t{row} * 100 / height);
}

// Where the strip loop's next strip comes from: strips walked before and handed back (the file is
// positioned at each again), then the walk. A walk that failed while walking ahead gives its
// status in its place.
class StripSource {
  public:
    StripSource(StripWalker& walker, HFILE file) : walker_(walker), file_(file) {}
    bool More() const { return next_ < back_.size() || backStatus_ != 0 || walker_.More(); }
    std::int16_t Next(StripSpan* strip) {
        if (next_ < back_.size()) {
            *strip = back_[next_++];
            return plat::SeekTo(file_, strip->offset) ? 0 : QOR_READ_FAILED;
        }
        if (const std::int16_t status = backStatus_; status != 0) {
            backStatus_ = 0;
            return status;
        }
        return walker_.Next(strip);
    }
    // The walk again from the page's first strip.
    std::int16_t Restart(const TiffPage& page) {
        back_.clear();
        next_ = 0;
        backStatus_ = 0;
        return walker_.Start(file_, page);
    }
    // Strips to give again before the walk goes on, then the walk's failure, if any.
    void GiveBack(std::vector<StripSpan> strips, std::int16_t walkStatus) {
        back_ = std::move(strips);
        next_ = 0;
        backStatus_ = walkStatus;
    }

  private:
    StripWalker& walker_;
    HFILE file_;
    std::vector<StripSpan> back_;
    std::size_t next_ = 0;
    std::int16_t backStatus_ = 0;
};

// Decodes strips from `source` until the page's rows or strips run out, from row *rowsDone on, as
// one thread does: the codec is started, and has begun its rows there. Rows up to `reported` had
// their progress calls made before. A damaged strip of a page that goes on after one
// (KeepsPageAfter) leaves the rest of its rows blank, noted in page.damaged.
std::int16_t DecodeAlone(ProgressBlock* progress, const TiffPage& page, const DibView& rows,
                         StripSource& source, StripCodec* codec, std::uint32_t* rowsDone,
                         std::uint32_t reported) {
    const std::uint32_t height = rows.height;
    const bool followOn = codec->RowsFollowOn();
    std::uint32_t r = *rowsDone;  // the next row to decode, from the top
    for (StripSpan strip; source.More() && r < height;) {
        if (std::int16_t status = source.Next(&strip)) {
            codec->Finish(rows.Row(r));
            return status;
        }
        if (progress != nullptr) codec->Watch(progress, Percent(r, height));
        codec->BeginStrip(strip);
        // A strip's rows go where the strip says, or after those already delivered.
        if (!followOn) r = strip.firstRow;
        for (std::uint32_t k = 0; (followOn || k < strip.rows) && r < height; ++k) {
            const RowResult result = codec->NextRow(rows.Row(r));
            if (result.status != 0 && !KeepsPageAfter(page, result.status)) return result.status;
            if (result.status != 0) {
                // The damaged row and the strip's rows after it stay blank; rows that follow on
                // begin again at the next strip's first row.
                std::memset(rows.Row(r), 0, static_cast<std::size_t>(rows.stride));
                const std::uint32_t end =
                    std::min(height, std::max(r + 1, strip.firstRow + strip.rows));
                if (page.damaged != nullptr) {
                    page.damaged->push_back({0, r, end - r, result.status});
                }
                r = end;
                if (followOn && r < height) codec->BeginRowsAt(r);
                if (r > reported && r < height &&
                    ReportProgress(progress, Percent(r, height)) != 0) {
                    return QOR_CANCELLED;
                }
                break;
            }
            if (result.stripEnded) break;
            // The last row's call is the closing one, below.
            if (++r == height) break;
            if (r > reported && ReportProgress(progress, Percent(r, height)) != 0) {
                return QOR_CANCELLED;
            }
        }
    }
    if (r < height) codec->Finish(rows.Row(r));
    *rowsDone = r;
    return 0;
}

// A run of consecutive strips that one decoder takes, and what came of them.
struct Job {
    enum class State : std::uint8_t { kWaiting, kTaken, kDone };
    State state = State::kWaiting;
    std::uint32_t count = 0;  // strips
    StripSpan strips[kMostJobStrips];
    // What the decoder found: the rows that each strip decoded delivered, the strips decoded (the
    // last of them may have failed), the status that ends the page, and whether the job ended
    // exactly where the next one's rows begin.
    std::uint32_t rows[kMostJobStrips] = {};
    std::uint32_t decoded = 0;
    std::int16_t status = 0;
    bool exact = true;
    bool usedEarlier = false;  // a strip's rows depend on what its decoder decoded before
    std::uint32_t decoder = 0;
};

// A codec and a file of its own.
struct Decoder {
    std::unique_ptr<StripCodec> codec;
    HFILE file = plat::HFILE_ERROR;
};

// The threaded decode of one page: the decoders, the workers that run all but the caller's, and
// the jobs in flight. Threads live only as long as it does.
class Crew {
  public:
    Crew(const TiffPage& page, const PageForm& form, const DibView& rows, StripCodec* codec)
        : page_(page), form_(form), rows_(rows), followOn_(codec->RowsFollowOn()) {}
    ~Crew() { Disband(); }
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    // Sets the decoders up and starts the workers. False when the page is better decoded on one
    // thread, or fewer than two decoders can be had.
    bool Form(HFILE file, const StripCodec& codec, const StripWalker& strips);
    // Decodes the page's strips from `source` with the workers. 0 with *rowsDone set, the status
    // that ends the page, or kGoOnAlone: the caller's thread goes on alone from row *rowsDone,
    // with `source` at its strip, and the progress calls made for the rows up to *reported.
    std::int16_t Run(ProgressBlock* progress, StripSource& source, std::uint32_t* rowsDone,
                     std::uint32_t* reported);

  private:
    Job& At(std::uint64_t index) { return jobs_[static_cast<std::size_t>(index % jobs_.size())]; }
    void Work(std::uint32_t decoder);
    void Decode(Job& job);
    // Takes the next job for `decoder` and decodes it; `lock` is held before and after, not
    // while the job is decoded.
    void TakeNextJob(std::unique_lock<std::mutex>& lock, std::uint32_t decoder);
    bool Walk(StripSource& source);
    std::int16_t Commit(ProgressBlock* progress, const Job& job, std::uint32_t* r);
    // Stops the workers and waits for them; then frees the decoders.
    void Stop();
    void Disband();

    const TiffPage& page_;
    const PageForm& form_;
    const DibView& rows_;
    const bool followOn_;
    std::uint32_t stripsPerJob_ = 1;
    std::vector<Decoder> decoders_;
    std::vector<std::thread> workers_;
    std::vector<Job> jobs_;
    // The read's meter, which the workers charge too.
    plat::ReadMeter* const meter_ = plat::CurrentMeter();

    std::mutex mutex_;
    std::condition_variable ready_;  // a job waits, or the workers are to stop
    std::condition_variable done_;   // a job is done
    std::atomic<bool> stop_{false};
    // Jobs by number: [head_, tail_) are walked and not committed, next_ the first not taken.
    std::uint64_t head_ = 0, next_ = 0, tail_ = 0;
    bool walked_ = false;            // the walk has ended
    std::int16_t walkStatus_ = 0;    // the status of the strip that the walk could not find
    std::uint32_t rowsTouched_ = 0;  // the end of the rows that taken jobs may have written
};

bool Crew::Form(HFILE file, const StripCodec& codec, const StripWalker& strips) {
    const std::uint64_t pageBytes = form_.rowBytes * page_.imageLength;
    if (page_.threads < 2 || strips.Count() < 2 ||
        pageBytes < plat::SmallestThreadedPage(kSmallestThreadedPage)) {
        return false;
    }
    const std::uint64_t stripBytes = std::max<std::uint64_t>(
        1, form_.rowBytes * std::min(strips.RowsPerStrip(), page_.imageLength));
    // Consecutive strips of at least kJobBytes of rows together (at most kMostJobStrips), so that
    // a hand-over costs little beside the job's work; fewer on a page of too few strips to share
    // out so, each job then at most a quarter of a decoder's share of the page.
    const std::uint64_t share = std::max<std::uint64_t>(
        1, strips.Count() / (std::uint64_t{page_.threads} * kJobsPerDecoder));
    stripsPerJob_ = static_cast<std::uint32_t>(
        std::min({(kJobBytes - 1) / stripBytes + 1, share, std::uint64_t{kMostJobStrips}}));
    const std::uint64_t jobCount = (std::uint64_t{strips.Count()} - 1) / stripsPerJob_ + 1;
    // As many decoders as the threads asked for, the jobs keep busy and the memory holds: each
    // gets a share of kDecodersMemory, or what a decoder of the page's rows needs when that is
    // more, and all of them together fit in what the read's budget has left (the caller's own
    // codec is not started while they decode), so that a budget that one thread keeps to is
    // kept to on any number, with fewer decoders or none.
    std::uint32_t count = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({page_.threads, kMostThreads, jobCount}));
    const std::uint64_t rowsShare = kDecoderRowShare * form_.rowBytes + kDecoderFixedShare;
    const std::uint64_t room = meter_ != nullptr ? meter_->Left() : ~std::uint64_t{0};
    std::unique_ptr<StripCodec> first;
    std::uint64_t each = 0;
    for (; count >= 2; --count) {
        each = std::max(kDecodersMemory / count, rowsShare);
        if (each > room / count) continue;
        first = codec.Another(page_, form_, each);
        if (first != nullptr) break;
    }
    if (first == nullptr) return false;
    for (std::uint32_t d = 0; d < count; ++d) {
        Decoder decoder;
        decoder.codec = d == 0 ? std::move(first) : codec.Another(page_, form_, each);
        if (decoder.codec == nullptr) break;
        // A decoder that cannot be had is left out; the result is the same with fewer.
        decoder.file = plat::OpenAgain(file);
        if (decoder.file == plat::HFILE_ERROR) break;
        if (decoder.codec->Start(decoder.file, page_, form_, rows_, strips.RowsPerStrip()) != 0) {
            plat::_lclose(decoder.file);
            break;
        }
        decoders_.push_back(std::move(decoder));
    }
    if (decoders_.size() < 2) {
        Disband();
        return false;
    }
    jobs_.resize(decoders_.size() * kJobsPerDecoder);
    for (std::uint32_t d = 1; d < decoders_.size(); ++d) {
        try {
            workers_.emplace_back(&Crew::Work, this, d);
        } catch (const std::system_error&) {
            break;  // fewer workers: the caller's thread decodes the rest
        }
    }
    return true;
}

void Crew::Work(std::uint32_t decoder) {
    const plat::MeterScope metered(meter_);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ready_.wait(lock, [this] { return stop_ || next_ < tail_ || walked_; });
        if (stop_ || next_ == tail_) return;
        TakeNextJob(lock, decoder);
        done_.notify_one();
    }
}

void Crew::TakeNextJob(std::unique_lock<std::mutex>& lock, std::uint32_t decoder) {
    Job& job = At(next_++);
    job.state = Job::State::kTaken;
    job.decoder = decoder;
    rowsTouched_ =
        std::max(rowsTouched_, job.strips[job.count - 1].firstRow + job.strips[job.count - 1].rows);
    lock.unlock();
    Decode(job);
    lock.lock();
    job.state = Job::State::kDone;
}

// Decodes a job's strips as one thread does, starting at its first strip's first row.
void Crew::Decode(Job& job) {
    Decoder& d = decoders_[job.decoder];
    StripCodec* codec = d.codec.get();
    const std::uint32_t height = rows_.height;
    std::uint32_t r = job.strips[0].firstRow;
    // The job's rows are written first with the zeros they hold, a byte a page: a codec that
    // reads a row before writing it (the fax codings paint into it) would map the fresh block's
    // shared zero page and then copy it, which on several threads costs every processor a flush.
    const StripSpan& end = job.strips[job.count - 1];
    const std::uint32_t stop = std::min(end.firstRow + end.rows, height);
    if (r < stop) {
        // Rows are stored bottom-up: the job's lowest row in memory is its last.
        std::uint8_t* const low = rows_.Row(stop - 1);
        const std::uint64_t bytes = std::uint64_t{stop - r} * rows_.stride;
        for (std::uint64_t at = 0; at < bytes; at += 4096) low[at] = 0;
    }
    if (followOn_) codec->BeginRowsAt(r);
    job.decoded = 0;
    job.status = 0;
    job.usedEarlier = false;
    for (std::uint32_t s = 0; s < job.count && r < height; ++s) {
        const StripSpan& strip = job.strips[s];
        job.rows[s] = 0;
        job.decoded = s + 1;
        if (!plat::SeekTo(d.file, strip.offset)) {
            job.status = QOR_READ_FAILED;
            break;
        }
        codec->BeginStrip(strip);
        if (!followOn_) r = strip.firstRow;
        for (std::uint32_t k = 0; (followOn_ || k < strip.rows) && r < height; ++k) {
            // A stopped crew's work is dropped: one row more at most.
            if (stop_.load(std::memory_order_relaxed)) return;
            const RowResult result = codec->NextRow(rows_.Row(r));
            if (result.status != 0) {
                job.status = result.status;
                break;
            }
            if (result.stripEnded) break;
            ++job.rows[s];
            if (++r == height) break;
        }
        job.usedEarlier = job.usedEarlier || codec->UsedEarlierStrips();
        if (job.status != 0) break;
    }
    const StripSpan& last = job.strips[job.decoded - 1];
    job.exact = job.status == 0 && (r == height || r == last.firstRow + last.rows);
}

// Walks strips into the free jobs; false when nothing more is to come.
bool Crew::Walk(StripSource& source) {
    while (!walked_ && tail_ - head_ < jobs_.size()) {
        Job& job = At(tail_);
        job = Job{};
        std::int16_t status = 0;
        while (job.count < stripsPerJob_ && source.More()) {
            status = source.Next(&job.strips[job.count]);
            if (status != 0) break;
            ++job.count;
        }
        const bool ended = status != 0 || !source.More();
        std::lock_guard<std::mutex> guard(mutex_);
        walkStatus_ = status;
        walked_ = ended;
        if (job.count > 0) ++tail_;
        if (ended) {
            ready_.notify_all();
        } else {
            ready_.notify_one();
        }
    }
    return !walked_;
}

// Makes the progress calls of a job's rows as one thread does, and moves *r past them. 0, the
// job's status, or QOR_CANCELLED.
std::int16_t Crew::Commit(ProgressBlock* progress, const Job& job, std::uint32_t* r) {
    const std::uint32_t height = rows_.height;
    for (std::uint32_t s = 0; s < job.decoded; ++s) {
        const std::uint32_t start = followOn_ ? *r : job.strips[s].firstRow;
        for (std::uint32_t k = 1; k <= job.rows[s] && start + k < height; ++k) {
            if (ReportProgress(progress, Percent(start + k, height)) != 0) return QOR_CANCELLED;
        }
        *r = start + job.rows[s];
    }
    return job.status;
}

std::int16_t Crew::Run(ProgressBlock* progress, StripSource& source, std::uint32_t* rowsDone,
                       std::uint32_t* reported) {
    const std::uint32_t height = rows_.height;
    std::uint32_t r = 0;
    std::uint32_t lastDecoder = 0;
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    for (;;) {
        Walk(source);
        lock.lock();
        if (head_ < tail_ && At(head_).state == Job::State::kDone) {
            const Job& job = At(head_);
            lock.unlock();
            // A damaged strip of a page that goes on after it: the rest is decoded on one
            // thread, as one thread decodes it, from this job.
            if (job.usedEarlier || (followOn_ && job.status == 0 && !job.exact) ||
                KeepsPageAfter(page_, job.status)) {
                // The next job began where this one did not end, or this one's rows depend on
                // strips before it: the caller's thread decodes alone, over rows cleared back to
                // what they were, from this job's first strip, or from the page's first when
                // the rows depend on all strips before.
                *reported = r;
                const std::uint32_t from = job.usedEarlier ? 0 : job.strips[0].firstRow;
                Stop();
                for (std::uint32_t row = from; row < std::min(rowsTouched_, height); ++row) {
                    std::memset(rows_.Row(row), 0, static_cast<std::size_t>(rows_.stride));
                }
                std::int16_t walkStatus = walkStatus_;
                std::vector<StripSpan> back;
                for (std::uint64_t i = head_; i < tail_ && from != 0; ++i) {
                    back.insert(back.end(), At(i).strips, At(i).strips + At(i).count);
                }
                Disband();
                if (from == 0) {
                    walkStatus = source.Restart(page_);
                    if (walkStatus != 0) return walkStatus;
                } else {
                    source.GiveBack(std::move(back), walkStatus);
                }
                *rowsDone = from;
                return kGoOnAlone;
            }
            if (std::int16_t status = Commit(progress, job, &r)) return status;
            lastDecoder = job.decoder;
            lock.lock();
            ++head_;
            lock.unlock();
            if (r >= height) break;
            continue;
        }
        if (head_ == tail_ && walked_) {
            lock.unlock();
            if (walkStatus_ != 0) return walkStatus_;
            break;
        }
        if (next_ < tail_) {
            // The caller's thread decodes a job too, with the first decoder.
            TakeNextJob(lock, 0);
            lock.unlock();
            continue;
        }
        done_.wait(lock, [this] { return At(head_).state == Job::State::kDone; });
        lock.unlock();
    }
    Stop();
    // The codec that decoded the last strip ends the page, as the one codec of one thread does.
    if (r < height) decoders_[lastDecoder].codec->Finish(rows_.Row(r));
    *rowsDone = r;
    return 0;
}

void Crew::Stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stop_ = true;
    }
    ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
}

void Crew::Disband() {
    Stop();
    for (Decoder& decoder : decoders_) {
        decoder.codec.reset();
        if (decoder.file != plat::HFILE_ERROR) plat::_lclose(decoder.file);
    }
    decoders_.clear();
}

}  // namespace

std::uint32_t ThreadsOfRead(std::uint32_t asked) {
    if (asked == 0) asked = std::max(1u, std::thread::hardware_concurrency());
    return std::min(asked, kMostThreads);
}

std::int16_t DecodeStrips(ProgressBlock* progress, std::uint8_t* dib, HFILE file, TiffPage& page,
                          StripCodec* codec) {
    ReportProgress(progress, 0);
    PageForm form;
    DibView rows;
    if (!FormOfPage(page, &form) || !ViewPageDib(dib, page, &rows)) return QOR_TIFF_UNSUPPORTED;
    StripWalker strips;
    if (std::int16_t status = strips.Start(file, page)) return status;
    StripSource source(strips, file);
    std::uint32_t r = 0, reported = 0;
    {
        Crew crew(page, form, rows, codec);
        if (crew.Form(file, *codec, strips)) {
            const std::int16_t status = crew.Run(progress, source, &r, &reported);
            if (status != kGoOnAlone) {
                if (status != 0) return status;
                page.rowsDecoded = r;
                // The work is done: the answer cannot cancel it.
                ReportProgress(progress, 100);
                return 0;
            }
        }
    }
    if (std::int16_t status = codec->Start(file, page, form, rows, strips.RowsPerStrip())) {
        return status;
    }
    if (r != 0) codec->BeginRowsAt(r);
    if (std::int16_t status = DecodeAlone(progress, page, rows, source, codec, &r, reported)) {
        return status;
    }
    page.rowsDecoded = r;
    // The work is done: the answer cannot cancel it.
    ReportProgress(progress, 100);
    return 0;
}

void WholeStrip::Start(HFILE file, const TiffPage& page, std::uint64_t most) {
    file_ = file;
    page_ = &page;
    most_ = std::max<std::uint64_t>(most, 1);
    const std::uint32_t size = plat::GetFileSize(file, nullptr);
    fileSize_ = size == 0xFFFFFFFFu ? 0 : size;
}

std::int16_t WholeStrip::Read(const StripSpan& strip) {
    size_ = 0;
    cut_ = false;
    std::uint64_t count = fileSize_ > strip.offset ? fileSize_ - strip.offset : 0;
    if (strip.byteCount != 0) {
        count = strip.byteCount;
    } else if (count != 0) {
        // No count: the strip ends where the next one starts, or holds at most what its rows
        // can take, which bounds a file of many such strips to about its own size in reads.
        count = std::min(count, most_);
        if (const std::uint32_t next = ends_.After(file_, *page_, strip.offset); next != 0) {
            count = std::min<std::uint64_t>(count, next - strip.offset);
        }
        if (!plat::SeekTo(file_, strip.offset)) return QOR_READ_FAILED;
    }
    // A read takes at most 2^31 - 1 bytes; no strip of a 32-bit file needs more.
    count = std::min<std::uint64_t>(count, 0x7FFFFFFF);
    if (count == 0) return QOR_READ_FAILED;
    if (count > capacity_) {
        capacity_ = 0;
        if (!block_.Allocate(count, plat::GMEM_MOVEABLE)) return QOR_NO_MEMORY;
        capacity_ = count;
    }
    const std::int32_t got = plat::_lread(file_, block_.data(), static_cast<std::uint32_t>(count));
    if (got <= 0) return QOR_READ_FAILED;
    size_ = static_cast<std::uint32_t>(got);
    cut_ = size_ < count;
    return 0;
}

}  // namespace qor::tiff
