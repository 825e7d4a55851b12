#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>

#include "tool.h"

namespace qorimg_tool {
namespace {

volatile std::sig_atomic_t gCancelSignal = 0;

extern "C" void OnCancelSignal(int signal) {
    if (gCancelSignal == 0) gCancelSignal = signal;
}

struct Bar {
    bool enabled = false;
    bool drawn = false;
    std::string label;
    int shownPercent = -1;
    std::chrono::steady_clock::time_point lastDraw;
};
Bar gBar;

// The job that the bar follows, when it has several pages.
struct Job {
    bool active = false;
    std::string label;
    std::uint64_t pages = 0;
    std::uint64_t page = 0;     // the page in hand
    std::uint64_t read = 0;     // pages read, of the job's pages
    std::uint64_t written = 0;  // pages written
    bool reading = false;       // the step in hand is a read
};
Job gJob;

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

unsigned TerminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
}

// The share of the job done, in percent, with the step in hand at `percent` of its page: a page
// is half done once read and whole once written.
int JobPercent(int percent) {
    const std::uint64_t units = 2 * gJob.pages;
    std::uint64_t done = std::min(gJob.read, gJob.pages) + std::min(gJob.written, gJob.pages);
    std::uint64_t hundredths =
        std::min(done * 100 + static_cast<std::uint64_t>(percent), units * 100);
    return static_cast<int>(hundredths / units);
}

void Draw(int percent) {
    // The line never reaches the last column: a wrapped line could not be cleared with \r.
    unsigned columns = TerminalColumns() - 1;
    constexpr unsigned kBarWidth = 30;
    std::string label = gBar.label;
    // In a job: the file, then the page in hand and the job's share on the bar, then the step
    // ("reading", "writing") with its own share. The file's name is what gets cut.
    std::string page, step;
    if (gJob.active) {
        step =
            " " + gBar.label.substr(0, gBar.label.find(' ')) + " " + std::to_string(percent) + "%";
        page = ": page " + std::to_string(std::min(gJob.page, gJob.pages)) + " of " +
               std::to_string(gJob.pages);
        label = gJob.label;
        percent = JobPercent(percent);
        const std::size_t fixed = page.size() + step.size();
        columns = columns > fixed ? columns - static_cast<unsigned>(fixed) : 0;
    }
    unsigned room = columns > kBarWidth + 8 ? columns - kBarWidth - 8 : 0;
    if (label.size() > room) {
        // Cut on a character's first byte, not inside a UTF-8 sequence.
        std::size_t from = label.size() - room + 3;
        while (from < label.size() && (static_cast<unsigned char>(label[from]) & 0xC0) == 0x80) {
            ++from;
        }
        label = room > 3 ? "..." + label.substr(from) : "";
    }
    char bar[kBarWidth + 1];
    auto filled = static_cast<unsigned>(percent) * kBarWidth / 100;
    for (unsigned i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kBarWidth] = '\0';
    std::fprintf(stderr, "\r%s%s [%s] %3d%%%s\033[K", label.c_str(), page.c_str(), bar, percent,
                 step.c_str());
    std::fflush(stderr);
    gBar.drawn = true;
}

}  // namespace

void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = OnCancelSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read or write returns early and its loop sees the flag.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}

int CancelSignal() {
    return gCancelSignal;
}

int CancelExitCode() {
    return 128 + (gCancelSignal != 0 ? gCancelSignal : SIGINT);
}

void EnableProgress(bool enabled) {
    gBar.enabled = enabled && ::isatty(STDERR_FILENO) != 0;
}

void BeginPhase(const std::string& label) {
    // A job's bar stays on the line from one step to the next.
    if (!gJob.active) EndPhase();
    gBar.label = Printable(label);
    gBar.shownPercent = -1;
    gJob.reading = label.rfind("reading", 0) == 0;
}

void BeginJob(const std::string& label, std::uint64_t pages) {
    EndJob();
    gJob = Job{};
    gJob.active = pages > 1;
    gJob.label = Printable(label);
    gJob.pages = pages;
    gJob.page = 1;
}

void JobPage(std::uint64_t page) {
    gJob.page = page;
}

void JobPageWritten() {
    ++gJob.written;
}

void EndJob() {
    gJob.active = false;
    ClearProgressLine();
}

bool ReportProgress(std::uint64_t done, std::uint64_t total) {
    if (Cancelled()) return false;
    if (!gBar.enabled || total == 0) return true;
    int percent = done >= total ? 100 : static_cast<int>(done * 100 / total);
    if (percent == gBar.shownPercent) return true;
    auto now = std::chrono::steady_clock::now();
    if (gBar.drawn && now - gBar.lastDraw < kRedrawInterval) return true;
    gBar.shownPercent = percent;
    gBar.lastDraw = now;
    Draw(percent);
    return true;
}

void EndPhase() {
    if (!gJob.active) ClearProgressLine();
}

void ClearProgressLine() {
    if (!gBar.drawn) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    gBar.drawn = false;
}

std::int32_t LibraryProgress(QorProgressInfo* info) {
    const bool ok = ReportProgress(info->done, info->total);
    // A read of several pages reports each page from 0 to 100.
    if (gJob.active && gJob.reading && info->total != 0 && info->done >= info->total) {
        ++gJob.read;
        ++gJob.page;
        gBar.shownPercent = -1;
    }
    return ok ? 0 : 1;
}

}  // namespace qorimg_tool
