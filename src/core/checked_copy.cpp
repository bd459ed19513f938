#include "core/checked_copy.h"

#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"

namespace core {

Checksums::Checksums(sets::Manifest listed) : listed_(std::move(listed)), read_(true) {
    for (std::size_t i = 0; i < listed_.Entries.size(); ++i)
        index_.emplace(platform::LowerAscii(listed_.Entries[i].Name), i);
}

const sets::ManifestEntry* Checksums::Find(std::string_view name) const {
    const auto it = index_.find(platform::LowerAscii(name));
    return it == index_.end() ? nullptr : &listed_.Entries[it->second];
}

void Checksums::HashAhead(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        if (!Find(platform::ExtractFileName(path)) || tickets_.count(path) != 0)
            continue;
        if (!queue_)
            queue_ = std::make_unique<integrity::HashQueue>();
        tickets_.emplace(path, queue_->AddFile(path));
    }
}

const integrity::HashQueue::Result* Checksums::Ahead(const std::string& path) const {
    const auto it = tickets_.find(path);
    return it == tickets_.end() ? nullptr : &queue_->Wait(it->second);
}

Checksums ChecksumsToCheck(const std::string& folder, Reporter& reporter) {
    sets::Manifest sums;
    std::string why;
    switch (sets::ReadManifest(folder, sums, &why)) {
    case sets::ManifestRead::Read:
        return Checksums(std::move(sums));
    case sets::ManifestRead::Missing:
        break;
    case sets::ManifestRead::Damaged:
        reporter.Message("the checksums " + folder + sets::ManifestName + " are damaged (" + why +
                         "): the files are copied unchecked");
        break;
    case sets::ManifestRead::Unreadable:
        reporter.Message("the checksums " + folder + sets::ManifestName + " can't be read (" +
                         CauseText(platform::GetLastError()) + "): the files are copied unchecked");
        break;
    }
    return {};
}

CopyCheck CheckedCopy(const std::string& source, const std::string& target,
                      const CopyOptions& options) {
    platform::StagedFile staged;
    if (!staged.Open(target, false))
        return CopyCheck::Failed;
    sets::ManifestEntry copied;
    bool checked = false;
    const integrity::HashQueue::Result* ahead = options.Ahead;
    if (ahead && ahead->Ok && ahead->Steady && (options.Expected || options.Got)) {
        // Copied in the kernel; the hash made ahead holds for the bytes
        // copied when the source is still the version it was made of: the
        // same file, size and times (a write moves them).
        platform::FileVersion read;
        if (!staged.CopyFrom(source, read))
            return CopyCheck::Failed;
        if (read == ahead->Version) {
            copied.Size = ahead->Size;
            copied.Digest = ahead->Digest;
            checked = true;
        } else if (!staged.Open(target, false)) {
            return CopyCheck::Failed;
        }
    }
    if (checked) {
    } else if (options.Expected || options.Got) {
        if (!integrity::CopyAndHash(staged, source, copied.Digest, copied.Size))
            return CopyCheck::Failed;
    } else if (!staged.CopyFrom(source)) {
        return CopyCheck::Failed;
    }
    if (options.Expected && !options.Expected->Matches(copied.Size, copied.Digest))
        return CopyCheck::Damaged;
    if (options.Got) {
        options.Got->Size = copied.Size;
        options.Got->Digest = copied.Digest;
    }
    if (options.Patch && !options.Patch(staged))
        return CopyCheck::Failed;
    if (options.Attributes && !staged.SetAttributes(*options.Attributes))
        return CopyCheck::Failed;
    return staged.Commit() ? CopyCheck::Copied : CopyCheck::Failed;
}

std::string CauseText(std::uint32_t error) {
    std::string text = platform::SysErrorMessage(error);
    if (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

} // namespace core
