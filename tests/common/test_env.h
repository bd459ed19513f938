#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace testenv {

// The per-process sandbox made by the test main before any test runs
// (XDG_DATA_HOME and XDG_STATE_HOME point below its home too).
// Each CTest test is its own process, so each test gets fresh folders.
const std::string& Home();       // $HOME, ends without '/'
const std::string& ConfigHome(); // $XDG_CONFIG_HOME
const std::string& WinePrefix(); // $WINEPREFIX (the folder exists, empty)
const std::string& Scratch();    // a further empty folder for the test's own use

// Writes `bytes` to `path`, creating parent folders; fails the test on error.
void WriteFile(const std::string& path, const std::string& bytes);
// The whole content of `path`; empty when it can't be read.
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
// The names in the folder `dir`, sorted.
std::vector<std::string> Listing(const std::string& dir);
// Rewrites the file in place with other bytes of the same length, as a bit
// flip on a disk would leave it.
void Rewrite(const std::string& path, const std::string& bytes);

// A tmpfs of `bytes` mounted at `path` (made when missing) while the object
// lives. It is mounted in a mount namespace of the test process's own, so no
// one else sees it and it goes with the process however that ends. Needs
// root; when it can't be had, Mounted() is false and Reason() says why.
class TmpfsMount {
public:
    TmpfsMount(const std::string& path, std::size_t bytes);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;

    bool Mounted() const { return reason_.empty(); }
    const std::string& Reason() const { return reason_; }

private:
    std::string path_;
    std::string reason_;
};

// `path` made read-only while the object lives (a read-only bind mount of
// itself, in the same mount namespace as TmpfsMount): files there are read
// as before, and every change to them fails with EROFS. With a `source`,
// that folder is what is seen read-only at `path` (made when missing).
// Needs root.
class ReadOnlyMount {
public:
    explicit ReadOnlyMount(const std::string& path, const std::string& source = {});
    ~ReadOnlyMount();
    ReadOnlyMount(const ReadOnlyMount&) = delete;
    ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;

    bool Mounted() const { return reason_.empty(); }
    const std::string& Reason() const { return reason_; }

private:
    std::string path_;
    std::string reason_;
};

} // namespace testenv
