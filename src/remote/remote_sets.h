#pragma once

// Sets on a remote, laid out as REMOTE/<machine>/<set>/ holding exactly the
// set's files, its desc.txt and its checksums file. Nothing on the remote is
// ever replaced or removed: a put adds what is missing and refuses a set
// where the remote holds something else under one of its names. The
// checksums file goes last, so a set whose checksums are on the remote is
// whole there.

#include "remote/rclone.h"
#include "sets/manifest.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace remote {

inline constexpr const char* DescriptionName = "desc.txt";

struct RemoteFile {
    std::string Name;
    std::uint64_t Size = 0;
};

struct RemoteSet {
    std::string Name;              // the set's folder name
    std::vector<RemoteFile> Files; // by name

    // Whether its checksums file is there: the set was put whole.
    bool HasChecksums() const;
};

struct RemoteMachine {
    std::string Name;
    std::vector<RemoteSet> Sets; // by name
};

// The machines and sets on `remote`: each file REMOTE/<machine>/<set>/<file>;
// files anywhere else are passed over. A remote folder that is not there yet
// is an empty remote.
Status ListRemote(const Rclone& rclone, std::string_view remote,
                  std::vector<RemoteMachine>& machines);

// The content of the remote file REMOTE/`path` (desc.txt, the checksums),
// refused when it is larger than `maxSize` bytes.
Status ReadRemoteFile(const Rclone& rclone, std::string_view remote, std::string_view path,
                      std::size_t maxSize, std::string& content);

// Puts the sets `sets` (folder names in `localFolder`) to REMOTE/`machine`/:
// each set's files and desc.txt, checked on the remote against the set's
// SHA-256 list (the remote's own SHA-256 where it offers one, else each file
// downloaded and hashed), then its checksums file, checked too. A set already
// there whole is left as it is. One status per set, in the order given: a
// set without checksums, one whose name can't be put, or one of which the
// remote holds another file under a name of its own (left unchanged) is
// refused, naming the file.
std::vector<Status> PutSets(const Rclone& rclone, std::string_view remote, std::string_view machine,
                            const std::string& localFolder, const std::vector<std::string>& sets);

// A set downloaded into a hidden folder, checked, waiting to be filed.
// Removed with everything in it unless it is kept.
class StagedSet {
public:
    StagedSet() = default;
    ~StagedSet();
    StagedSet(const StagedSet&) = delete;
    StagedSet& operator=(const StagedSet&) = delete;

    bool Staged() const { return !folder_.empty(); }
    const std::string& Folder() const { return folder_; } // ends with '/'
    const sets::Manifest& Checksums() const { return checksums_; }

    // Flushes the set to disk and renames its folder to `target`, which must
    // not exist; it is then no longer removed. False and last error set on
    // failure (80 when `target` exists); the set stays staged.
    bool Keep(const std::string& target);
    // Removes the folder and what it holds now.
    void Discard();

private:
    friend Status GetSet(const Rclone&, std::string_view, std::string_view, std::string_view,
                         const std::string&, StagedSet&);
    std::string folder_;
    sets::Manifest checksums_;
};

// Downloads REMOTE/`machine`/`set`/ into a hidden temporary folder of
// `parentFolder` (where it is to be filed) and checks every file against the
// remote set's checksums. A set without checksums, or one that misses a file,
// holds a file they do not list (desc.txt aside) or a damaged one is refused,
// and so is any failure of rclone: then nothing of it is left in
// `parentFolder`.
Status GetSet(const Rclone& rclone, std::string_view remote, std::string_view machine,
              std::string_view set, const std::string& parentFolder, StagedSet& staged);

} // namespace remote
