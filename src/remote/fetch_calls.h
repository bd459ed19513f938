#pragma once

// The rclone calls of a fetch (fetch_sets.cpp), made beside those of a put
// with the same names, filters and lists (remote_sets.cpp). Not for the
// layers above.

#include "remote/rclone.h"
#include "remote/remote_sets.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace remote {

// Whether `name` (a machine's, a set's) may be a folder name here and in a
// filter: no control character, no '/', not "." or "..".
bool IsPlainRemoteName(std::string_view name);

// ListRemote, of the sets `filter` lets through alone (its Only, Skip and
// Have): rclone lists no other set's folder.
Status ListFetchable(const Rclone& rclone, std::string_view remote, const FetchFilter& filter,
                     std::vector<RemoteMachine>& machines);

// Copies the files of the sets `sets` ("MACHINE/SET") of `remote` to
// `folder` + "MACHINE/SET/" in one call, leaving out a file larger than
// `maxSize` bytes.
Status CopySets(const Rclone& rclone, std::string_view remote, const std::vector<std::string>& sets,
                std::uint64_t maxSize, const std::string& folder);

} // namespace remote
