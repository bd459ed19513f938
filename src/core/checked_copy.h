#pragma once

// Copies checked against a manifest: a damaged file is found, and never
// replaces what it was to replace. The files of a run are hashed ahead, on a
// thread of their own, while the copies are made in the kernel; a copy is
// taken as checked when its source is still the very version that was
// hashed, else it is copied again through a SHA-256 in user space.

#include "core/reporter.h"
#include "integrity/hash_queue.h"
#include "sets/manifest.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {
class StagedFile;
}

namespace core {

// The checksums of a set or medium, and the hashes of its files made ahead
// of their copies.
class Checksums {
public:
    Checksums() = default;
    // The checksums of a sound checksum file.
    explicit Checksums(sets::Manifest listed);

    // Whether a sound checksum file was read: the folder holds what it lists.
    bool Read() const { return read_; }
    const sets::Manifest& Listed() const { return listed_; }
    // The entry of the file `name`, ASCII case ignored; nullptr when none.
    const sets::ManifestEntry* Find(std::string_view name) const;
    // Starts hashing the files `paths` that are listed, in that order (the
    // order they will be copied in), on a thread of its own.
    void HashAhead(const std::vector<std::string>& paths);
    // The hash of `path` made ahead (waited for), or nullptr when it was not
    // asked for.
    const integrity::HashQueue::Result* Ahead(const std::string& path) const;

private:
    sets::Manifest listed_;
    bool read_ = false;
    std::unordered_map<std::string, std::size_t> index_; // lower-case name -> entry
    std::unique_ptr<integrity::HashQueue> queue_;
    std::unordered_map<std::string, std::size_t> tickets_; // path -> its hash
};

// The checksums of a set or medium its files are checked against while they
// are copied: the folder's manifest, read once per run. Empty for a folder
// without one. One that is damaged or can't be read is said in one message
// and not used: the files are then copied unchecked, as from a folder made
// before checksums.
Checksums ChecksumsToCheck(const std::string& folder, Reporter& reporter);

enum class CopyCheck {
    Copied,
    Failed,  // the last error says why
    Damaged, // the bytes read are not those of the expected entry
};

struct CopyOptions {
    const sets::ManifestEntry* Expected = nullptr; // the entry the bytes must match
    // The hash of the source made ahead (see Checksums::Ahead), or nullptr.
    const integrity::HashQueue::Result* Ahead = nullptr;
    // Changes the copy before it is put in place (false from it fails the copy).
    std::function<bool(platform::StagedFile&)> Patch;
    // Attributes the copy takes its place with (see StagedFile::SetAttributes);
    // otherwise those of the source.
    std::optional<std::uint32_t> Attributes;
    // Receives the size and digest of the bytes copied (its name left alone).
    sets::ManifestEntry* Got = nullptr;
};

// Copies `source` over `target` in one step, through a staged file: with an
// expected entry, a copy whose size or SHA-256 differs is dropped and the
// target stays as it was.
CopyCheck CheckedCopy(const std::string& source, const std::string& target,
                      const CopyOptions& options);

// The text of a system error without its final full stop, to go inside a
// sentence of its own.
std::string CauseText(std::uint32_t error);

} // namespace core
