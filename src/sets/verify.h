#pragma once

// Checking a backup set: each file against the set's manifest, each archive
// with the archiver's test. A set made without a manifest is checked as far
// as it can be: its archives are tested, its plain files only counted.

#include <cstddef>
#include <string>
#include <vector>

namespace sets {

enum class Problem {
    Missing,    // listed in the manifest, not in the set
    Size,       // another size than the manifest's
    Checksum,   // the size matches, the SHA-256 not
    Archive,    // an archive the archiver's test finds damaged
    Unreadable, // could not be read (the manifest too)
    Format,     // the manifest itself is no manifest
};
// "missing", "size", "checksum", "archive", "unreadable", "format".
std::string ProblemWord(Problem problem);

struct FileProblem {
    std::string File; // the bare name
    Problem What;
};

enum class SetStatus { Ok, Damaged, Missing, NoChecksums, Unfinished };
// "ok", "damaged", "missing", "no-checksums", "unfinished".
std::string StatusWord(SetStatus status);

struct SetCheck {
    std::string Name;
    bool Unfinished = false; // marked so: its run stopped before its end
    bool Checksums = false;  // a sound manifest was there
    std::size_t Files = 0;   // the set's files that were found and checked
    std::vector<FileProblem> Problems;
    bool Complete = true;   // false when an archive could not be tested
    std::string Incomplete; // then why, in one line

    // Unfinished when marked so (what it holds may be torn or missing);
    // else Damaged when any file is; else Missing when a file is; else
    // NoChecksums without a manifest; else Ok.
    SetStatus Status() const;
};

enum class ArchiveTest { Whole, Damaged, NotRun };
// Runs the archiver beside the program with -test on `archive` (a path
// ending in ".zip"); it says on standard error what it finds damaged. NotRun,
// with `why` saying why, when it could not be started, was killed or did not
// know the test.
ArchiveTest TestArchive(const std::string& archive, std::string* why = nullptr);

// Checks the set `name` in `folder` (ending in '/'): every file the manifest
// lists by size and SHA-256, each archive (".zip") also with TestArchive, and
// the set's other visible files (desc.txt aside) as a set without a manifest
// has them: archives tested, plain files counted. An archiver that can't be
// started leaves the check incomplete (Complete false, Incomplete why).
SetCheck VerifySet(const std::string& folder, const std::string& name);

} // namespace sets
