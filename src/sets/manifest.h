#pragma once

// The checksum manifest of a set (or of an export medium): the hidden file
// ".mfbackup-sums", one line per file,
//
//   <SHA-256 in 64 lower-case hex digits>  <size in bytes>  <file name>
//
// with two blanks between the fields, as sha256sum writes its lines (with the
// size added), and every line ended by LF. Names are bare file names of the
// folder, written as their bytes are (UTF-8 or not). A name holding a
// backslash, LF or CR is written as GNU sha256sum writes it: the line starts
// with a backslash and the name has "\\", "\n" and "\r" for them. A name with
// "/" or NUL, "." or "..", an empty one or one over 255 bytes can't be listed.
// The manifest's own name starts with ".", so the patterns of restore,
// export, import and the set list never take it for a save file.

#include "integrity/sha256.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sets {

inline constexpr const char* ManifestName = ".mfbackup-sums";
// A manifest larger than this is no manifest of ours: refused unread, and
// never written (some 190,000 files of a set).
inline constexpr std::size_t MaxManifestBytes = 16 << 20;

struct ManifestEntry {
    std::string Name; // the file's bare name, its bytes as on disk
    std::uint64_t Size = 0;
    integrity::Sha256Digest Digest{};

    bool Matches(std::uint64_t size, const integrity::Sha256Digest& digest) const {
        return size == Size && digest == Digest;
    }
    bool operator==(const ManifestEntry&) const = default;
};

struct Manifest {
    std::vector<ManifestEntry> Entries;

    // The entry of `name`, ignoring ASCII case as names are matched; nullptr
    // when it lists none.
    const ManifestEntry* Find(std::string_view name) const;
    // Adds `entry`, in place of the entry of the same name (ASCII case
    // ignored) when there is one: a later copy under that name replaced it.
    void Put(ManifestEntry entry);
};

// Whether `name` can be listed (see above).
bool IsManifestName(std::string_view name);

// The text of the manifest; every entry must have a name that can be listed.
std::string FormatManifest(const Manifest& manifest);
// Reads the text of a manifest. False, with `why` saying where and what
// ("line 3: no size"), for anything that is not a whole manifest in the
// format above, or that lists a name twice (ignoring ASCII case); `manifest`
// is then empty.
bool ParseManifest(std::string_view text, Manifest& manifest, std::string& why);

enum class ManifestRead {
    Read,       // read and sound
    Missing,    // the folder holds none
    Damaged,    // not a manifest in the format, or larger than MaxManifestBytes
    Unreadable, // there, but it could not be read (the last error says why)
};
// The manifest in `folder` (ending in '/'); `why` gets the reason when it is
// damaged.
ManifestRead ReadManifest(const std::string& folder, Manifest& manifest,
                          std::string* why = nullptr);

// The entry of the file `name` in `folder` as it is now (its size and
// digest, read once). False and last error set when it can't be read.
bool HashEntry(const std::string& folder, const std::string& name, ManifestEntry& entry);

// Writes `manifest` to `folder` + ManifestName, whole or not at all: written
// under no name (or a hidden temporary one), flushed to disk, then put in
// place. False and last error set on failure (123 for a name that can't be
// listed); an older manifest then stays as it was.
// Without `flush` it is not flushed: for a new set whose file system the
// caller flushes next, with the files the manifest lists.
bool WriteManifest(const std::string& folder, const Manifest& manifest, bool flush = true);
} // namespace sets
