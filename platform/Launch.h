// Starting other programs on a found file: the desktop's opener (xdg-open) for
// "open", or a chosen application. Programs are started directly, never through a
// shell, so a path reaches them as one argument whatever characters it holds.
//
// A started program runs in a session of its own (a Ctrl-C or hang-up meant for
// the terminal Kolbrin was started from does not reach it), with default signal
// handling, stdin from /dev/null, Kolbrin's stdout, stderr and environment, and no
// other descriptor of Kolbrin's. Every started program is reaped when it ends, by
// a thread that waits for it, so none is left as a zombie.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace kolbrin::platform {

// Opens `document` with the desktop's opener: runs xdg-open with the document's
// absolute path (a relative one taken from `workingFolder`, or the current folder
// when that is empty) as its one argument, in `workingFolder`. Never waits for the
// opener. False when the document or the opener is missing, the working folder
// cannot be entered, or the document's path is relative and the current folder
// cannot be determined; true once the opener has started. An opener that then fails
// (non-zero exit, killed) within kOpenerPatience calls `failedLater`, on the
// thread that reaps it, never on the caller's; one that ends later, or lingers, is
// taken to have opened the document. Any thread.
inline constexpr std::chrono::seconds kOpenerPatience{5};
bool OpenDocument(const std::string& document, const std::string& workingFolder,
                  std::function<void()> failedLater = {});

// Starts `application` with exactly one argument, `document`, unchanged, in
// `workingFolder` (empty: the current folder). A bare name is looked up in PATH;
// a relative path holding '/' is taken from the current folder, not from
// `workingFolder`. Does not wait for the program. True when it was started (its
// exec succeeded). False when `document` does not exist (a relative one is looked
// for in `workingFolder`, where the program will look), or the application is
// missing or not executable, or the working folder cannot be entered, or a relative
// path needs the current folder and it cannot be determined. Any thread.
bool LaunchApplication(const std::string& application, const std::string& document,
                       const std::string& workingFolder);

// For tests: the program OpenDocument runs instead of xdg-open; empty restores
// xdg-open. Any thread.
void SetDocumentOpenerForTesting(const std::string& program);

}  // namespace kolbrin::platform
