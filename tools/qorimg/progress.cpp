#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

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

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

unsigned TerminalColumns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
}

void Draw(int percent) {
    // The line never reaches the last column: a wrapped line could not be cleared with \r.
    unsigned columns = TerminalColumns() - 1;
    constexpr unsigned kBarWidth = 30;
    std::string label = gBar.label;
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
    std::fprintf(stderr, "\r%s [%s] %3d%%\033[K", label.c_str(), bar, percent);
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
    EndPhase();
    gBar.label = Printable(label);
    gBar.shownPercent = -1;
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
    if (!gBar.drawn) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    gBar.drawn = false;
}

std::int32_t LibraryProgress(QorProgressInfo* info) {
    return ReportProgress(info->done, info->total) ? 0 : 1;
}

}  // namespace qorimg_tool
