#include "core/checked_copy.h"

#include "platform/files.h"
#include "platform/last_error.h"

namespace core {

Manifest ChecksumsToCheck(const std::string& folder, Reporter& reporter) {
    Manifest sums;
    std::string why;
    switch (ReadManifest(folder, sums, &why)) {
    case ManifestRead::Read:
    case ManifestRead::Missing:
        break;
    case ManifestRead::Damaged:
        reporter.Message("the checksums " + folder + ManifestName + " are damaged (" + why +
                         "): the files are copied unchecked");
        break;
    case ManifestRead::Unreadable:
        reporter.Message("the checksums " + folder + ManifestName + " can't be read (" +
                         CauseText(platform::GetLastError()) + "): the files are copied unchecked");
        break;
    }
    return sums;
}

CopyCheck CheckedCopy(const std::string& source, const std::string& target,
                      const ManifestEntry* expected,
                      const std::function<bool(platform::StagedFile&)>& patch, ManifestEntry* got) {
    platform::StagedFile staged;
    if (!staged.Open(target, false))
        return CopyCheck::Failed;
    if (expected || got) {
        ManifestEntry copied;
        if (!staged.CopyFrom(source, copied.Digest, copied.Size))
            return CopyCheck::Failed;
        if (expected && !expected->Matches(copied.Size, copied.Digest))
            return CopyCheck::Damaged;
        if (got) {
            got->Size = copied.Size;
            got->Digest = copied.Digest;
        }
    } else if (!staged.CopyFrom(source)) {
        return CopyCheck::Failed;
    }
    if (patch && !patch(staged))
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
