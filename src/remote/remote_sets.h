#pragma once

// Sets on a remote, laid out as REMOTE/<machine>/<set>/ holding exactly the
// set's files, its desc.txt and its checksums file. Nothing on the remote is
// ever replaced or removed: a put adds what is missing and refuses a set
// where the remote holds something else under one of its names. The
// checksums file goes last, so a set whose checksums are on the remote is
// whole there.

#include "integrity/sha256.h"
#include "remote/rclone.h"
#include "sets/manifest.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace remote {

inline constexpr const char* DescriptionName = "desc.txt";
// A set's checksums file on its way up (see PutSets), no file of the set: a
// put stopped before it took its name may leave it.
inline constexpr const char* ChecksumsUploadName = ".mfbackup-sums.new";

// The largest file a pull takes unless told otherwise. A save is some
// megabytes: a file of a gibibyte is no save of this game, and a larger one
// fills the disk it is pulled to.
inline constexpr std::uint64_t DefaultMaxFileSize = std::uint64_t(1) << 30;

struct RemoteFile {
    std::string Name;
    std::optional<std::uint64_t> Size; // unknown when the remote does not tell it
    std::int64_t Time = 0; // last written, in seconds since 1970 (UTC), as the remote tells
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

// The descriptions of every set on `remote`, by "MACHINE/SET": the first line
// of each desc.txt (as sets::ReadDescriptionFile reads it), fetched in one
// call. A set without one is not listed.
Status ReadDescriptions(const Rclone& rclone, std::string_view remote,
                        std::map<std::string, std::string>& descriptions);

// The SHA-256 of the checksums file of each set in REMOTE/`machine`/, by set:
// small files, downloaded and hashed in one call.
Status RemoteChecksums(const Rclone& rclone, std::string_view remote, std::string_view machine,
                       std::map<std::string, integrity::Sha256Digest>& digests);

// Puts the sets `sets` (folder names in `localFolder`) to REMOTE/`machine`/:
// a look at what is there first, then every set's files and desc.txt in one
// copy, with each checksums file under a name of its own, checked on the
// remote against each set's SHA-256 list in one look (the remote's own
// SHA-256 where it offers one, else each file downloaded and hashed), then
// the checksums files of the sets that arrived whole renamed to their own
// name and checked too. A set already there whole is left as it is; of a set
// there without its checksums file (a put that did not end), the files of
// its own names that differ are copied again. One status per set, in the
// order given: a set without checksums, one whose name can't be put, one
// that a link on the remote leads to (the machine's folder, the set's, a
// file in it: nothing is written through it), or one of which the remote
// holds another file under a name of its own (left unchanged) is refused,
// naming the file. `step`, when given, is told each step as it starts.
std::vector<Status> PutSets(const Rclone& rclone, std::string_view remote, std::string_view machine,
                            const std::string& localFolder, const std::vector<std::string>& sets,
                            const std::function<void(const std::string&)>& step = {});

// Which sets of a remote a fetch takes.
struct FetchFilter {
    std::string Only;              // "" every machine's, else this machine's alone
    std::string Skip;              // a machine whose sets are never taken ("" none)
    std::vector<std::string> Have; // "MACHINE/SET" of sets not to take again
    std::uint64_t MaxFileSize = DefaultMaxFileSize; // a set with a larger file is not taken
};

// Sets downloaded into a hidden folder, each checked, waiting to be filed.
// The folder goes with the object, with whatever is left in it; while the
// object lives, no other fetch takes the folder for a stale one.
class Download {
public:
    struct Set {
        std::string Machine;
        std::string Name;
        std::string Folder; // ending with '/'; "" when it was not downloaded
        sets::Manifest Checksums;
        std::string Description; // the first line of its desc.txt
        std::int64_t Time = 0;   // its newest file's, in seconds since 1970
        Status Check;            // Refused, saying why, when it is not to be filed
    };

    Download() = default;
    ~Download();
    Download(const Download&) = delete;
    Download& operator=(const Download&) = delete;

    // Oldest first (by Time), then by machine and name.
    std::vector<Set>& Sets() { return sets_; }
    const std::string& Folder() const { return folder_; } // ending with '/', "" none
    // Removes the folder and what it holds now.
    void Discard();

private:
    friend Status FetchSets(const Rclone&, std::string_view, const FetchFilter&, const std::string&,
                            Download&);
    std::string folder_;
    int lock_ = -1;
    std::vector<Set> sets_;
};

// Downloads every set of `remote` that `filter` lets through (each
// REMOTE/<machine>/<set>/<file>) into a hidden folder of `parentFolder`,
// where they are to be filed, and checks each against its checksums: a set
// without checksums, one that misses a file or holds one they do not list
// (desc.txt aside), one whose checksums list a file that is no save, or a
// damaged one gets a refused Check. The sets are listed first: one whose
// name can't be written down here, one without checksums there, or one with
// a file larger than the filter's MaxFileSize (or of a size the remote does
// not tell) is refused undownloaded, naming the file and its size. The rest
// come in one call; only when it fails is each set it did not bring whole
// downloaded again alone, and one that fails then is refused in rclone's
// words, the others taken. Hidden folders that a fetch killed before its end
// left in `parentFolder` are removed first. A failure of the listing leaves
// nothing in `parentFolder`.
Status FetchSets(const Rclone& rclone, std::string_view remote, const FetchFilter& filter,
                 const std::string& parentFolder, Download& download);

} // namespace remote
