#pragma once

// This user's folder that every run of the program finds, whatever its
// environment (a cron job has no XDG_RUNTIME_DIR, a launcher may set another
// TMPDIR): the backup folders' locks lie there, and the temporary files a
// run hands to other programs, so that the next run finds what a killed one
// left.

#include <string>
#include <string_view>

namespace platform {

// mfbackup in the system's runtime folder of the user, /run/user/UID, when
// that is ours and writable; else /tmp/mfbackup-UID. Made private (0700)
// when missing; one that is a link, another user's or open to others is
// never taken. "" and `why` (each place's reason) when neither can be had.
std::string RunFolder(std::string& why);

// A temporary file or folder named PREFIX-XXXXXX in the run folder's tmp/
// (TMPDIR or /tmp when there is no run folder), held while the object lives
// and removed with it. What no living object holds there is what a killed
// run left: it is removed whenever a new one is made.
class TemporaryEntry {
public:
    TemporaryEntry() = default;
    ~TemporaryEntry();
    TemporaryEntry(const TemporaryEntry&) = delete;
    TemporaryEntry& operator=(const TemporaryEntry&) = delete;

    // Each makes a new one, a file with `content` or an empty folder, once
    // per object. False and last error set when it can't be made or written.
    bool MakeFile(std::string_view prefix, std::string_view content);
    bool MakeFolder(std::string_view prefix);
    const std::string& Path() const { return path_; } // "" until made

private:
    bool Make(std::string_view prefix, bool folder);

    std::string path_;
    int fd_ = -1; // held (flock) while the object lives
};

} // namespace platform
