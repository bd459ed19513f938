#pragma once

// Copies checked against a manifest while they are made: every block read for
// the copy is also fed to a SHA-256, so a damaged file is found without a
// second pass over its data, and never replaces what it was to replace.

#include "core/manifest.h"
#include "core/reporter.h"

#include <cstdint>
#include <functional>
#include <string>

namespace platform {
class StagedFile;
}

namespace core {

// The checksums of a set or medium its files are checked against while they
// are copied: the folder's manifest, read once per run. Empty for a folder
// without one. One that is damaged or can't be read is said in one message
// and not used: the files are then copied unchecked, as from a folder made
// before checksums.
Manifest ChecksumsToCheck(const std::string& folder, Reporter& reporter);

enum class CopyCheck {
    Copied,
    Failed,  // the last error says why
    Damaged, // the bytes read are not those of the expected entry
};

// Copies `source` over `target` in one step, through a staged file: with
// `expected`, a copy whose size or SHA-256 differs is dropped and the target
// stays as it was. `patch`, when given, changes the copy before it is put in
// place (false from it fails the copy). `got`, when given, receives the size
// and digest of the bytes copied (its name is left alone).
CopyCheck CheckedCopy(const std::string& source, const std::string& target,
                      const ManifestEntry* expected,
                      const std::function<bool(platform::StagedFile&)>& patch = {},
                      ManifestEntry* got = nullptr);

// The text of a system error without its final full stop, to go inside a
// sentence of its own.
std::string CauseText(std::uint32_t error);

} // namespace core
