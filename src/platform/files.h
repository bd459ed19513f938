#pragma once

// Files and folders with the Windows calls' meaning. Each returns false (or 0)
// on failure and sets the last error.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Which file a path led to when it was read, and its size and times. A write
// changes the times, so equal versions mean the same bytes, short of a write
// within the same tick of the clock file times are taken from.
struct FileVersion {
    std::uint64_t Device = 0;
    std::uint64_t Inode = 0;
    std::int64_t Size = 0;
    struct timespec WriteTime = {};
    struct timespec ChangeTime = {}; // also moved by attributes and renames

    // The same file with the same size and last-write time.
    bool SameContent(const FileVersion& o) const {
        return Device == o.Device && Inode == o.Inode && Size == o.Size &&
               WriteTime.tv_sec == o.WriteTime.tv_sec && WriteTime.tv_nsec == o.WriteTime.tv_nsec;
    }
    bool operator==(const FileVersion& o) const {
        return SameContent(o) && ChangeTime.tv_sec == o.ChangeTime.tv_sec &&
               ChangeTime.tv_nsec == o.ChangeTime.tv_nsec;
    }
};

// The version of the file at `path` (a link followed). False and last error
// set when it can't be read.
bool GetFileVersion(std::string_view path, FileVersion& version);

// Copies contents, read-only state, last-write time and hidden/system (never
// the clean stamp: a copy reads as archive). Fails with 5 when the target
// exists and is read-only, hidden or system (also as root), 2 when the source
// is missing, 3 when the target's folder is missing, 80 when `failIfExists`
// and the target exists. Atomic: a temporary file in the target's folder is
// renamed over the target only when complete. Copies in the kernel.
bool CopyFile(std::string_view source, std::string_view target, bool failIfExists);

// What is shown the bytes of a file as they are read, a block at a time and
// in order: a copy's checksum is made while it is copied, not in a second
// pass over the source.
class BlockSink {
public:
    // The bytes are read again from the start: forget those shown so far.
    virtual void Restart() = 0;
    virtual void Add(const void* data, std::size_t size) = 0;

protected:
    ~BlockSink() = default;
};

// The new content of one file, made beside it and put in its place in one
// step. The caller fills the temporary file (CopyFrom, WriteAt, or Handle()
// given to a child as its output), may read it back, check it and patch it,
// then commits it or drops it; until Commit the target is as it was. The
// temporary is unnamed where the file system allows it, so a process killed
// at any point leaves nothing behind, except in the instant a replace links
// it under a hidden name to rename it over the target: that whole copy is
// removed the first time a later process makes a file in the folder. Without
// unnamed files it is a hidden file that every failure removes. CopyFile is
// Open, CopyFrom and Commit.
class StagedFile {
public:
    StagedFile() = default;
    ~StagedFile(); // drops what was not committed
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Makes the temporary for `target`, judged as CopyFile judges it: 5 for a
    // folder or a read-only, hidden or system file, 80 when `failIfExists`
    // and it exists, 3 when its folder is missing. The temporary has the
    // permission bits of the file it replaces, else those of a new file.
    bool Open(std::string_view target, bool failIfExists);
    // Open for a target whose folder exists as written and whose name the
    // caller knows to be free in any letter case (a folder it made and fills
    // itself): neither is looked up, and the copy never replaces a file of
    // that exact name (80 from Commit). For many copies into one new folder.
    bool OpenNew(std::string_view target);
    // The temporary, open for reading and writing; -1 when none is open.
    int Handle() const { return fd_; }
    // Fills it as CopyFile copies: contents, read-only state, last-write time,
    // hidden/system. 2 when the source is missing, 5 when it is no file.
    bool CopyFrom(std::string_view source);
    // CopyFrom, also telling the version of the source the bytes were read
    // from (taken once they were all read).
    bool CopyFrom(std::string_view source, FileVersion& read);
    // CopyFrom through a read and write loop in user space that shows every
    // block read to `sink` (Restart when the copy starts over): `size` gets
    // the bytes copied, so the copy can be checked before it is committed
    // without reading the source twice.
    bool CopyFrom(std::string_view source, BlockSink& sink, std::uint64_t& size);
    // Writes `size` bytes at `offset` of the temporary.
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t size);
    // Gives the temporary exactly `attrs`, as SetFileAttributes gives them to
    // a file. Without faArchive it takes its place marked backed up: the
    // clean stamp of its content as it is now goes with it (on a file system
    // that refuses user extended attributes, into the stamp store once it is
    // in place). Call it after the content's last change.
    bool SetAttributes(std::uint32_t attrs);
    // Flushes the temporary to disk, for a target that must be whole even
    // after the machine stops.
    bool Flush();
    // Puts the temporary in place of the target, in one step; with
    // `failIfExists` never over a file that appeared meanwhile (80).
    bool Commit();
    // Drops the temporary; the target stays as it was.
    void Discard();
    // The target, its path resolved as on disk.
    const std::string& Target() const { return target_; }

private:
    friend bool WriteWholeFile(std::string_view path, const void* data, std::size_t size,
                               bool flush);
    friend bool CopyFile(std::string_view source, std::string_view target, bool failIfExists);
    // Makes the temporary for the resolved, already judged `target`; `mode`
    // are the permission bits to give it, or ~0u for a new file's. 0 or an
    // errno.
    int Begin(const std::string& target, bool failIfExists, bool targetExists, unsigned mode);

    std::string target_;
    std::string folder_;
    std::string tempPath_;   // while the temporary has a name
    std::string storeStamp_; // a clean stamp for the stamp store, once in place
    int fd_ = -1;
    std::uint32_t dosBits_ = 0; // hidden/system given to the temporary
    unsigned mode_ = ~0u;       // its permission bits when made, ~0u not known
    bool unnamed_ = false;
    bool failIfExists_ = false;
    bool targetExists_ = false;
};
// Makes CopyFile meet a file system that refuses to store permission bits
// (a FAT stick mounted with fixed masks), for tests.
void RefuseModesForTesting(bool refuse);

// Creates or replaces the file at `path` with exactly `size` bytes: written
// to an unnamed (else temporary) file in its folder, checked, flushed to disk
// and only then put in place, so the file is either as it was or the whole
// new content, even on a full disk or a crash. A replaced file keeps its
// permission bits; a read-only one or a folder is refused (5); a link is
// followed. False and last error set on failure. Without `flush` nothing is
// flushed: for a caller that flushes the whole file system next, and until
// then keeps nothing that a stop in between would make wrong.
bool WriteWholeFile(std::string_view path, const void* data, std::size_t size, bool flush = true);

bool CreateDirectory(std::string_view path); // fails (183) when the path exists
bool DeleteFile(std::string_view path);
// Removes the file at `path` (a link as a link) and flushes its folder to
// disk, so that the removal is kept even if the machine stops right after.
bool DeleteFileFlushed(std::string_view path);
// Whether `path` itself is a symbolic link (false, last error set, when it
// can't be read).
bool IsSymbolicLink(std::string_view path);
// Removes the files `names` of the folder `folder`, then the folder, without
// ever following a link: the folder is opened as it is (a link in its place
// fails with 267) and each name is removed within it, a link as the link.
// False and last error set at the first that fails (5 for a folder among
// the names, 145 when the folder still holds something); `failed` gets the
// name that failed, empty for the folder itself.
bool RemoveFolderWithFiles(std::string_view folder, const std::vector<std::string>& names,
                           std::string& failed);
// Removes an empty folder: 145 when it holds anything, 267 for a file.
bool RemoveDirectory(std::string_view path);
bool SetCurrentDirectory(std::string_view path);
std::string GetCurrentDirectory(); // ends without '/'

// As Windows: dir (+ '/') + up to three prefix characters + a hex number +
// ".TMP", created empty and exclusively. With `unique` 0 the number is chosen
// (from the millisecond tick, next on a clash); otherwise that number is used
// and no file is created. Returns the number used, 0 on failure (267 when
// `dir` is no folder).
unsigned GetTempFileName(std::string_view dir, std::string_view prefix, unsigned unique,
                         std::string& result);
// GetTempFileName's choice of a name with `unique` 0, for a folder: makes the
// folder dir (+ '/') + up to three prefix characters + a hex number (no
// ".TMP"), moving past numbers whose folder or file exists. Nothing else is
// made on the way, so a process killed at any point leaves no temporary file.
// Returns the number, 0 on failure (267 when `dir` is no folder).
unsigned CreateUniqueDirectory(std::string_view dir, std::string_view prefix, std::string& result);

// Folder test: the attributes can be read and include the directory flag.
bool DirectoryExists(std::string_view path);
// Whether `path`, exactly as written (no letter case looked up, links
// followed), is a folder. Sets no last error.
bool IsFolder(const std::string& path);
// File test: a search for `pattern` (wildcards allowed, every attribute)
// finds an entry and the first entry is not a folder.
bool FileExists(std::string_view pattern);

// The whole content of the regular file at `path`, when it is at most
// `maxSize` bytes: a larger one fails with 223 (file too large) after reading
// no more than `maxSize` + 1 bytes. A FIFO, device or folder is refused (5)
// without blocking. False and last error set on failure.
bool ReadSmallFile(std::string_view path, std::size_t maxSize, std::string& content);
// The first `maxSize` bytes of a file (all of a shorter one), with the same
// refusals as ReadSmallFile.
bool ReadFileHead(std::string_view path, std::size_t maxSize, std::string& content);

// Writes `size` bytes at `offset` of an existing file, in place, opened for
// reading and writing without creating it. False and last error set on failure.
bool WriteAt(std::string_view path, std::uint64_t offset, const void* data, std::size_t size);

} // namespace platform
