// The tool's session with the terminal: cancellation by SIGINT and SIGTERM, and the progress bar.
#pragma once

#include <cstdint>
#include <string>

#include "qorimg/qorimg.h"

namespace qorimg_tool {

// Installs the handlers: SIGINT and SIGTERM only set a flag, which every long loop and the
// library's progress callback look at; SIGXFSZ and SIGPIPE are ignored, so that a file-size
// limit or a closed pipe is a failed write that we clean up after, not a kill.
void InstallSignalHandlers();

// The signal that asked us to stop (SIGINT or SIGTERM), or 0.
int CancelSignal();
inline bool Cancelled() {
    return CancelSignal() != 0;
}

// Exit status for a cancelled run: 128 + the signal number (130 for SIGINT, 143 for SIGTERM).
int CancelExitCode();

// The bar is drawn on stderr only when it is a terminal and the user did not ask for quiet.
void EnableProgress(bool enabled);

// Starts a labelled phase ("reading photo.gif"): the bar shows from the first report.
void BeginPhase(const std::string& label);
// Reports `done` of `total`. Redraws only when the shown percentage changes, and at most about
// ten times a second. Returns false once the run is cancelled.
bool ReportProgress(std::uint64_t done, std::uint64_t total);
// Ends the phase: clears the bar's line, so that only the lines we print on purpose stay on
// screen (a job's bar stays until the job ends).
void EndPhase();
// Clears the bar's line before a message; the bar is drawn again at the next report.
void ClearProgressLine();

// A job of several pages has one bar from its start to its end: the pages done of the pages, with
// the share of the job on the bar, and the step in hand ("reading", "writing") with its own share.
// Within a job, BeginPhase names that step only, and the library's call that reports a page done
// (100) moves a read on to the next page.
void BeginJob(const std::string& label, std::uint64_t pages);
// The step in hand is on page `page` (1 = first) of the job.
void JobPage(std::uint64_t page);
// Counts one page written.
void JobPageWritten();
void EndJob();

// The library's progress callback: reports and returns non-zero to cancel.
std::int32_t LibraryProgress(QorProgressInfo* info);

}  // namespace qorimg_tool
