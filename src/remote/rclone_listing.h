#pragma once

// What the puts and the fetches of sets share, inside this layer: rclone's
// listings of remote files with their SHA-256, the lists it is handed by
// name, and the names it takes as they are.

#include "integrity/sha256.h"
#include "remote/rclone.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace remote::detail {

// Copies many small files: more at once than rclone's default four, which
// leaves a remote's round trips waiting in line.
inline constexpr const char* kTransfers = "--transfers=8";

// What a listing tells of one remote file.
struct Listed {
    std::optional<std::uint64_t> Size; // unknown when only hashed
    std::optional<integrity::Sha256Digest> Digest;
    std::int64_t Time = 0;
};
using Listing = std::map<std::string, Listed>; // by path below the listed folder

// How the remote gives a file's SHA-256: asked for, or unknown until a listing
// shows it.
enum class Hashing { Unknown, Native, Download };

// Names rclone takes as they are: no control character (rclone encodes those
// per backend, so they would not come back as written), and for the names
// that go into filter patterns no pattern character either.
bool PlainName(std::string_view name, bool inPattern);

// `name` in a filter pattern, matching itself alone.
std::string Glob(std::string_view name);

// 3 is rclone's "directory not found", unchanged through its versions: a
// remote folder that is not there yet holds nothing.
bool NotThere(const Status& status);

// Runs `rclone ARGS` with `lines` written to a list file, handed to it as
// `flag` and the file's path ("--files-from-raw=") after the command.
Status RunListed(const Rclone& rclone, std::vector<std::string> args, const std::string& flag,
                 const std::vector<std::string>& lines, std::string* out = nullptr);

// Lists the files below `root` that `lines` (a list for `flag`, a filter or
// paths) let through, with their SHA-256: the remote's own where it has one,
// else for the files of `wanted` by downloading and hashing them. Once the
// remote is known to give no SHA-256, the files are only hashed, in one call,
// and their sizes left unknown. A missing `root` lists nothing. rclone passes
// over the links of a local folder, or with `links` lists each as a file,
// its name ending ".rclonelink" (but a `root` that is a link lists nothing).
Status Inspect(const Rclone& rclone, const std::string& root, const std::string& flag,
               const std::vector<std::string>& lines, const std::vector<std::string>& wanted,
               Hashing& hashing, Listing& listing, bool links = false);

} // namespace remote::detail
