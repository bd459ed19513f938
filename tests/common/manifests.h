#pragma once

// Checksums written for files a test put into a folder by hand.

#include "sets/manifest.h"

#include <string>
#include <vector>

namespace testenv {

// Hashes the files `names` of `folder` (ending in '/') and writes their
// manifest, each name once (ASCII case ignored). False when a file can't be
// read or the manifest not written.
inline bool WriteManifestOf(const std::string& folder, const std::vector<std::string>& names) {
    sets::Manifest manifest;
    for (const std::string& name : names) {
        sets::ManifestEntry entry;
        if (manifest.Find(name))
            continue;
        if (!sets::HashEntry(folder, name, entry))
            return false;
        manifest.Entries.push_back(std::move(entry));
    }
    return sets::WriteManifest(folder, manifest);
}

} // namespace testenv
