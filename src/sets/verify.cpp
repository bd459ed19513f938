#include "sets/verify.h"

#include "integrity/sha256.h"
#include "launcher/archiver_call.h"
#include "platform/dir_search.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "sets/backup_set.h"
#include "sets/manifest.h"

#include <algorithm>

namespace sets {
namespace {

bool IsArchive(const std::string& name) {
    return name.size() > 4 &&
           platform::EqualIgnoringAsciiCase(std::string_view(name).substr(name.size() - 4), ".zip");
}

bool IsMissing(std::uint32_t error) {
    return error == platform::ERROR_FILE_NOT_FOUND || error == platform::ERROR_PATH_NOT_FOUND;
}

// One set's check as it goes: the archiver's failure said once.
class SetChecker {
public:
    SetChecker(const std::string& folder, SetCheck& check) : folder_(folder), check_(check) {}

    void Listed(const ManifestEntry& entry) {
        integrity::Sha256Digest digest;
        std::uint64_t size = 0;
        if (!integrity::HashFile(folder_ + entry.Name, digest, size)) {
            Add(entry.Name,
                IsMissing(platform::GetLastError()) ? Problem::Missing : Problem::Unreadable);
            return;
        }
        ++check_.Files;
        if (size != entry.Size)
            Add(entry.Name, Problem::Size);
        else if (digest != entry.Digest)
            Add(entry.Name, Problem::Checksum);
        else
            TestIfArchive(entry.Name);
    }

    void Unlisted(const std::string& name) {
        ++check_.Files;
        TestIfArchive(name);
    }

    void Add(const std::string& name, Problem what) { check_.Problems.push_back({name, what}); }

private:
    void TestIfArchive(const std::string& name) {
        if (!IsArchive(name))
            return;
        std::string why;
        switch (TestArchive(folder_ + name, &why)) {
        case ArchiveTest::Whole:
            break;
        case ArchiveTest::Damaged:
            Add(name, Problem::Archive);
            break;
        case ArchiveTest::NotRun:
            if (check_.Complete)
                check_.Incomplete = "could not test the archives of " + folder_ + ": " + why;
            check_.Complete = false;
            break;
        }
    }

    const std::string& folder_;
    SetCheck& check_;
};

} // namespace

std::string ProblemWord(Problem problem) {
    static const char* const words[] = {"missing", "size",       "checksum",
                                        "archive", "unreadable", "format"};
    return words[static_cast<int>(problem)];
}

std::string StatusWord(SetStatus status) {
    static const char* const words[] = {"ok", "damaged", "missing", "no-checksums", "unfinished"};
    return words[static_cast<int>(status)];
}

SetStatus SetCheck::Status() const {
    if (Unfinished)
        return SetStatus::Unfinished;
    const auto missing = [](const FileProblem& p) { return p.What == Problem::Missing; };
    if (!std::all_of(Problems.begin(), Problems.end(), missing))
        return SetStatus::Damaged;
    if (!Problems.empty())
        return SetStatus::Missing;
    return Checksums ? SetStatus::Ok : SetStatus::NoChecksums;
}

ArchiveTest TestArchive(const std::string& archive, std::string* why) {
    const std::string base = archive.substr(0, archive.size() - 4); // the archiver adds ".zip"
    const std::string commandLine = std::string(ArchiverName) + " " + TestParams(base);
    platform::Process process;
    if (!process.Start(commandLine) || !process.Wait()) {
        if (why)
            *why = std::string(ArchiverName) + ": " +
                   platform::SysErrorMessage(platform::GetLastError());
        return ArchiveTest::NotRun;
    }
    const platform::ExitStatus& status = process.Status();
    if (!status.Signaled && status.Code == 0)
        return ArchiveTest::Whole;
    if (!status.Signaled && status.Code == 1)
        return ArchiveTest::Damaged;
    // Killed, or an archiver that does not know -test (exit code 2).
    if (why)
        *why = std::string(ArchiverName) +
               (status.Signaled ? " was ended by signal " : " ended with exit code ") +
               std::to_string(status.Code);
    return ArchiveTest::NotRun;
}

SetCheck VerifySet(const std::string& folder, const std::string& name) {
    SetCheck check;
    check.Name = name;
    check.Unfinished = IsSetUnfinished(folder);
    SetChecker checker(folder, check);

    Manifest manifest;
    switch (ReadManifest(folder, manifest)) {
    case ManifestRead::Read:
        check.Checksums = true;
        break;
    case ManifestRead::Missing:
        break;
    case ManifestRead::Damaged:
        checker.Add(ManifestName, Problem::Format);
        break;
    case ManifestRead::Unreadable:
        checker.Add(ManifestName, Problem::Unreadable);
        break;
    }
    for (const ManifestEntry& entry : manifest.Entries)
        checker.Listed(entry);

    platform::FileSearch search;
    // Without attributes in the mask: no folder and no hidden file.
    if (search.FindFirst(folder + "*", 0)) {
        do {
            const std::string& file = search.Rec().Name;
            if (!platform::EqualIgnoringAsciiCase(file, "desc.txt") && !manifest.Find(file))
                checker.Unlisted(file);
        } while (search.FindNext());
    }
    return check;
}

} // namespace sets
