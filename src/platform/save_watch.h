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
// makes them. With a settings file, a change of that file is told at once,
// its folder watched as a save folder is.
//
// Memory: one inotify descriptor and at most one watch per folder given (the
// folder itself, or its nearest existing parent, shared where they meet);
// the kernel keeps some 1 KiB per watch. WatchCount() counts them as the
// kernel holds them.
class SaveWatch {
public:
    explicit SaveWatch(std::vector<std::string> folders, std::string settingsFile = {});
    ~SaveWatch();
    SaveWatch(const SaveWatch&) = delete;
    SaveWatch& operator=(const SaveWatch&) = delete;

    // False when inotify or the stop descriptor could not be had (Error()
    // says why); Wait then returns Stopped at once.
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    enum class Wake { Quiet, Settings, Stopped };
    // Blocks, without any timer while nothing is pending, until a change was
    // seen and then none for `quiet` (each change starts that time anew):
    // Quiet, with the change consumed. Settings as soon as the settings file
    // was written, replaced or removed (a change pending stays pending).
    // Stopped once Stop() was called, at once and from then on.
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
        bool Settings = false; // the settings file's folder
    };
    // Brings the watches in line with what exists now; true when a folder
    // given appeared already holding something (written before its watch).
    bool Arm();
    // Reads the events waiting; true when one counts as a change (one of the
    // settings file sets settingsChanged_).
    bool Drain();

    std::vector<std::string> folders_;
    std::vector<std::string> watched_; // each folder given, as now resolved ("" when missing)
    std::vector<Watch> watches_;
    std::string settingsFolder_; // "" without a settings file
    std::string settingsName_;
    bool settingsWatched_ = false; // its folder, once it is there
    bool settingsChanged_ = false;
    bool armed_ = false; // Arm ran once
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
