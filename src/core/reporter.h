#pragma once

// How the runs of the core tell what they do: the dialogs bind this to
// message boxes and the progress window, the command line to its output.

#include <cstddef>
#include <string>

namespace core {

class Reporter {
public:
    virtual ~Reporter() = default;

    // Something the user must read, with the program's exact text.
    virtual void Message(const std::string& text) = 0;
    // A file that could not be copied: the program's exact text ("error
    // copying <source> to <target>"), and the system's reason for it
    // (CauseText; "" when the text says why itself). The windows show the
    // text as it always read; the command line adds ": <cause>".
    virtual void Failure(const std::string& text, const std::string& /*cause*/) { Message(text); }

    // The progress window: shown with a caption, given status lines, hidden.
    virtual void ProgressShow(const std::string& /*caption*/) {}
    virtual void ProgressText(const std::string& /*text*/) {}
    virtual void ProgressHide() {}
    // The newest status line is shown now: the run is about to wait (on the
    // disk, or for a step that takes a while). Lines may be shown late, but
    // never left unshown.
    virtual void ProgressFlush() {}
    // File `index` (from 1) of `total` is taken up; `name` is its file name.
    virtual void ProgressStep(std::size_t /*index*/, std::size_t /*total*/,
                              const std::string& /*name*/) {}

    // One file done, or failed (its failure has been reported already).
    virtual void FileDone(const std::string& /*source*/, const std::string& /*target*/,
                          bool /*ok*/) {}
    // A game file kept in the safety set before a restore, as `target`.
    virtual void FileKept(const std::string& /*source*/, const std::string& /*target*/) {}
    // A dry run: this file would be done. The target is "" when it is not
    // known before the run (the set a backup would make).
    virtual void FilePlanned(const std::string& /*source*/, const std::string& /*target*/) {}
    // A dry run: this file would be refused, `why` ("the backup copy is
    // damaged").
    virtual void FileRefusal(const std::string& /*source*/, const std::string& /*target*/,
                             const std::string& /*why*/) {}

    // Another run holds the backup folder and this one waits for it to end
    // (see BackupFolderLock): WaitStart once, with the progress window's
    // caption and the text to show; then KeepWaiting about twenty times a
    // second, where false gives the wait up (the run then does nothing and
    // says nothing more); then WaitOver, the wait being over either way.
    virtual void WaitStart(const std::string& /*caption*/, const std::string& /*text*/) {}
    virtual bool KeepWaiting() { return true; }
    virtual void WaitOver() {}
};

// Shows the progress window with `caption` and hides it however the run ends.
class ProgressScope {
public:
    ProgressScope(Reporter& reporter, const std::string& caption) : reporter_(reporter) {
        reporter_.ProgressShow(caption);
    }
    ~ProgressScope() { reporter_.ProgressHide(); }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

private:
    Reporter& reporter_;
};

// What a run did: the files done and the failures reported (files or steps).
struct RunResult {
    std::size_t Done = 0;
    std::size_t Failures = 0;
    // Given up on request: a wait for the backup folder cancelled, or a
    // backup stopped between two files.
    bool Stopped = false;
    // The folder name of the set the run made and left (a stopped one
    // included); "" when it left none.
    std::string NewSet;
    // Files a backup left for a later one: they were being written.
    std::size_t Held = 0;

    bool Ok() const { return Failures == 0 && !Stopped; }
};

} // namespace core
