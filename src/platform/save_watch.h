#pragma once

// Watching the game's save folders for writes, through inotify: nothing runs
// while nothing is written, and no folder is read again and again.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// Watches folders (not their subfolders) for a file written and closed,
// moved in, moved away or deleted. A folder that does not exist (yet) is
// picked up when it appears: its nearest existing parent is watched for new
// folders meanwhile. Folders are looked up ignoring letter case, as Wine
// makes them.
//
// Memory: one inotify descriptor and at most one watch per folder given (the
// folder itself, or its nearest existing parent, shared where they meet);
// the kernel keeps some 1 KiB per watch. WatchCount() counts them as the
// kernel holds them.
class SaveWatch {
public:
    explicit SaveWatch(std::vector<std::string> folders);
    ~SaveWatch();
    SaveWatch(const SaveWatch&) = delete;
    SaveWatch& operator=(const SaveWatch&) = delete;

    // False when inotify or the stop descriptor could not be had (Error()
    // says why); Wait then returns Stopped at once.
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    enum class Wake { Quiet, Stopped };
    // Blocks, without any timer while nothing is pending, until a change was
    // seen and then none for `quiet` (each change starts that time anew):
    // Quiet, with the change consumed. Stopped once Stop() was called, at
    // once and from then on.
    Wake Wait(std::chrono::milliseconds quiet);

    // Makes Wait return Stopped. Safe from a signal handler and from another
    // thread.
    void Stop();

    std::size_t WatchCount() const;

private:
    struct Watch {
        int Descriptor = -1;
        bool Target = false;   // one of the folders given: its files count
        bool Ancestor = false; // a parent watched for a folder to appear
    };
    // Brings the watches in line with what exists now; true when a folder
    // given appeared already holding something (written before its watch).
    bool Arm();
    // Reads the events waiting; true when one counts as a change.
    bool Drain();

    std::vector<std::string> folders_;
    std::vector<std::string> watched_; // each folder given, as now resolved ("" when missing)
    std::vector<Watch> watches_;
    int inotify_ = -1;
    int stop_ = -1; // eventfd
    std::string error_;
    bool pending_ = false;
    std::chrono::steady_clock::time_point lastChange_;
};

// Runs `between` after each look at what exists and before its watches are
// set (empty: nothing): a folder made just then is the race tests make.
void BetweenLookAndWatchForTesting(std::function<void()> between);

} // namespace platform
