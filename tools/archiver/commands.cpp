#include "commands.h"

#include "files.h"
#include "zip.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace archiver {

namespace {

constexpr char kUsage[] =
    "The archiver of Moonforge Backup Tool.\n"
    "\n"
    "Usage:\n"
    "  pkzip.exe -add ARCHIVE FILE [-nosync]\n"
    "      Stores FILE from the current folder in ARCHIVE.zip under its bare name,\n"
    "      deflated, with its modification time. Creates the archive, or replaces\n"
    "      an entry of the same name (ignoring letter case). The new archive is on\n"
    "      disk before it takes the old one's place; with -nosync it is not\n"
    "      flushed: for a caller that flushes the file system itself before it\n"
    "      relies on the archive (a backup program flushing a whole set once).\n"
    "  pkzip.exe -extract -overwrite ARCHIVE\n"
    "      Extracts every file of ARCHIVE.zip into the current folder, replacing\n"
    "      files of the same name and restoring their modification times. An\n"
    "      archive with an entry outside the current folder (a folder part, \"..\",\n"
    "      an absolute path) or a symbolic link is refused whole; a damaged one\n"
    "      changes no file.\n"
    "  pkzip.exe -extract -overwrite ARCHIVE -console FILE\n"
    "      As above, but the file FILE (matched ignoring letter case) is written to\n"
    "      standard output instead of the current folder. An archive without it\n"
    "      is refused; when writing it fails, no file is changed.\n"
    "  pkzip.exe -test ARCHIVE\n"
    "      Checks every entry of ARCHIVE.zip as extracting it would, its size and\n"
    "      CRC among all, and writes nothing. Says nothing when it is whole; else\n"
    "      names the first damaged entry.\n"
    "  pkzip.exe -?\n"
    "      Shows this text.\n"
    "\n"
    "ARCHIVE is given without extension: \".zip\" is always appended.\n"
    "\n"
    "Limits: an archive of more than 1000 entries, or one whose files together\n"
    "would leave less than 64 MiB free on the file system of the current folder,\n"
    "is refused before anything is written. Archives and the files in them are\n"
    "plain zip, without Zip64: at most 4 GiB.\n"
    "\n"
    "Exit code 0 on success; on failure one line on standard error and exit code 1\n"
    "(2 for bad arguments).\n";

constexpr char kUsageHint[] = "usage: pkzip.exe -add ARCHIVE FILE [-nosync], pkzip.exe -extract "
                              "-overwrite ARCHIVE [-console FILE], or pkzip.exe -test ARCHIVE";

// Plain zip offsets are 32-bit; what goes past them would need Zip64.
constexpr std::size_t kMaxEntrySize = 0xFFFFFFFF;
constexpr std::uint64_t kMaxArchiveSize = 0xFFFFFFFFull + 22 + 0xFFFF;
// Save files are few and small: more than this is no archive of ours.
constexpr std::size_t kMaxEntries = 1000;
constexpr std::uint64_t kMinFreeAfter = 64ull << 20;

class BadArguments : public Failure {
public:
    explicit BadArguments(const std::string& what) : Failure("Bad arguments: " + what) {}
};

bool IsOption(std::string_view arg, std::string_view option) {
    return EqualsIgnoringAsciiCase(arg, option);
}

std::string Quoted(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

[[noreturn]] void ThrowZipError(const ZipError& e, const std::string& archive,
                                const char* outcome) {
    const char* kind = e.kind() == ZipError::Damaged   ? "Damaged archive "
                       : e.kind() == ZipError::Refused ? "Refused archive "
                                                       : "Unsupported archive ";
    throw Failure(kind + archive + ": " + e.what() + outcome);
}

// ARCHIVE plus ".zip", its last component looked up ignoring case as Wine
// does (a set copied from Windows may hold CHARACTERS.ZIP).
std::string ArchivePath(std::string_view arg) {
    if (arg.empty() || arg.back() == '/')
        throw BadArguments("ARCHIVE must name a file");
    std::string path = std::string(arg) + ".zip";
    std::string dir = FolderOf(path);
    std::string name = path.substr(path.rfind('/') + 1);
    return JoinPath(dir, ResolveCase(dir, name));
}

// Opens the archive for reading; false when it doesn't exist.
bool OpenArchive(const std::string& path, FileSource& source) {
    int err = source.Open(path);
    if (err == ENOENT)
        return false;
    if (err == kNotRegularFile)
        throw Failure("Cannot read archive " + path + ": it is not a regular file");
    if (err != 0)
        throw Failure("Cannot read archive " + path + ": " + std::strerror(err));
    if (source.Size() > kMaxArchiveSize)
        throw Failure("Unsupported archive " + path + ": it needs Zip64");
    return true;
}

// Every extracted file stays open until all are complete; make room for them.
void AllowOpenFiles(std::size_t count) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= count + 64)
        return;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, count + 64);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// An existing file we are about to replace: only a plain, writable file is.
// Read-only files are refused even for root, as Windows refuses them.
void CheckReplaceable(const std::string& label, const struct stat& st) {
    if (S_ISDIR(st.st_mode))
        throw Failure("Cannot replace " + label + ": a folder of that name exists");
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        throw Failure("Cannot replace " + label + ": it is not a regular file");
    if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0)
        throw Failure("Cannot replace " + label + ": it is read-only");
}

void Add(std::string_view archiveArg, std::string_view fileArg, bool flush) {
    std::string archivePath = ArchivePath(archiveArg);
    if (const char* why = NameProblem(fileArg, false))
        throw BadArguments("FILE " + Quoted(fileArg) + " " + why +
                           "; give a bare file name from the current folder");
    std::string fileName(fileArg);

    FileData file;
    int err = ReadWholeFile(ResolveCase(".", fileName), kMaxEntrySize, file);
    if (err == ENOENT)
        throw Failure("Cannot add " + fileName + ": no such file in the current folder");
    if (err == kNotRegularFile)
        throw Failure("Cannot add " + fileName + ": it is not a regular file");
    if (err == EFBIG)
        throw Failure("Cannot add " + fileName + ": larger than 4 GiB, which needs Zip64");
    if (err != 0)
        throw Failure("Cannot read " + fileName + ": " + std::strerror(err));

    // A symbolic link to the archive is followed: the archive it points to is
    // the one updated, and the link stays.
    struct stat link;
    if (lstat(archivePath.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> real(realpath(archivePath.c_str(), nullptr),
                                                         &std::free);
        if (real)
            archivePath = real.get();
    }

    FileSource old;
    ZipArchive archive;
    bool exists = OpenArchive(archivePath, old);
    if (exists) {
        CheckReplaceable(archivePath, old.Stat());
        try {
            archive = ParseZip(old, kMaxEntries);
            // Never carry damage over into the new archive.
            for (const ZipEntry& e : archive.Entries)
                ReadEntry(e, [](const unsigned char*, std::size_t) {});
        } catch (const ZipError& e) {
            ThrowZipError(e, archivePath, "; it was left unchanged");
        }
    }

    std::string storage;
    ZipEntry added = MakeEntry(fileName, file.Bytes, file.Stat, storage);
    // Names match ignoring case, as on Windows; the new entry takes the place
    // of the first it replaces.
    std::vector<ZipEntry> entries;
    bool placed = false;
    for (ZipEntry& e : archive.Entries) {
        if (!EqualsIgnoringAsciiCase(e.Name, fileName))
            entries.push_back(std::move(e));
        else if (!placed) {
            entries.push_back(added);
            placed = true;
        }
    }
    if (!placed)
        entries.push_back(added);
    if (entries.size() > kMaxEntries)
        throw Failure("Refused archive " + archivePath + ": it would hold more than " +
                      std::to_string(kMaxEntries) + " entries; it was left unchanged");
    archive.Entries = std::move(entries);

    const std::string folder = FolderOf(archivePath);
    RemoveStaleTemporaries(folder);
    TempFile temp(folder, archivePath);
    try {
        WriteZip(archive, [&](const void* p, std::size_t n) { temp.Write(p, n); });
    } catch (const ZipError& e) {
        ThrowZipError(e, archivePath, "; it was left unchanged");
    }
    temp.Finish(exists ? (old.Stat().st_mode & 0777) : NewFileMode(),
                exists ? &old.Stat() : nullptr, flush);
    temp.PlaceAt(archivePath, std::nullopt);
}

// Writes all of `data` to standard output.
void WriteOutput(const void* data, std::size_t size, const std::string& label) {
    if (int err = WriteAll(STDOUT_FILENO, data, size))
        throw Failure("Cannot write " + label + " to standard output: " + std::strerror(err) +
                      "; nothing was extracted");
}

} // namespace

namespace {

// Opens and parses ARCHIVE.zip to read its entries; `outcome` ends the line
// of a failure.
ZipArchive OpenToRead(const std::string& archivePath, FileSource& source, const char* outcome) {
    if (!OpenArchive(archivePath, source))
        throw Failure("Archive not found: " + archivePath);
    try {
        return ParseZip(source, kMaxEntries);
    } catch (const ZipError& e) {
        ThrowZipError(e, archivePath, outcome);
    }
}

// Refuses the archive unless every entry is a plain file under a bare name,
// held in a form this archiver decodes, and no name comes twice (ignoring
// case, as Windows compares names).
void CheckEntries(const ZipArchive& archive, const std::string& archivePath, const char* outcome) {
    std::unordered_set<std::string> seen; // names in lower case
    for (const ZipEntry& e : archive.Entries) {
        const char* why = NameProblem(e.Name, BackslashSeparates(e));
        if (!why)
            why = TypeProblem(e);
        if (why)
            throw Failure("Refused archive " + archivePath + ": entry " + Quoted(e.Name) + " " +
                          why + outcome);
        try {
            CheckDecodable(e);
        } catch (const ZipError& err) {
            ThrowZipError(err, archivePath, outcome);
        }
        std::string lower = e.Name;
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 32);
        if (!seen.insert(lower).second)
            throw Failure("Refused archive " + archivePath + ": entry " + Quoted(e.Name) +
                          " appears twice" + outcome);
    }
}

} // namespace

void Test(std::string_view archiveArg) {
    const std::string archivePath = ArchivePath(archiveArg);
    FileSource source;
    const ZipArchive archive = OpenToRead(archivePath, source, "");
    CheckEntries(archive, archivePath, "");
    for (const ZipEntry& e : archive.Entries) {
        try {
            ReadEntry(e, [](const unsigned char*, std::size_t) {});
        } catch (const ZipError& err) {
            ThrowZipError(err, archivePath, "");
        }
    }
}

void Extract(std::string_view archiveArg, std::optional<std::string_view> console) {
    constexpr const char* outcome = "; nothing was extracted";
    std::string archivePath = ArchivePath(archiveArg);
    FileSource source;
    const ZipArchive archive = OpenToRead(archivePath, source, outcome);
    CheckEntries(archive, archivePath, outcome);

    // Every entry is checked before anything is written.
    struct Target {
        const ZipEntry* Entry;
        std::string Name; // as on disk when a file of that name exists
        std::optional<struct stat> Old;
    };
    std::vector<Target> targets;
    const ZipEntry* toOutput = nullptr; // the -console FILE
    for (const ZipEntry& e : archive.Entries) {
        if (console && EqualsIgnoringAsciiCase(e.Name, *console)) {
            toOutput = &e;
            continue;
        }
        Target t{&e, ResolveCase(".", e.Name), std::nullopt};
        struct stat st;
        if (lstat(t.Name.c_str(), &st) == 0) {
            CheckReplaceable(t.Name, st);
            t.Old = st;
        } else if (errno != ENOENT) {
            throw Failure("Cannot replace " + t.Name + ": " + std::strerror(errno));
        }
        targets.push_back(std::move(t));
    }

    if (console && !toOutput)
        throw Failure("Archive " + archivePath + " holds no file " + Quoted(*console) +
                      "; nothing was extracted");

    // What a killed run left behind is removed first: it is no content, and
    // it takes room the check below counts.
    RemoveStaleTemporaries(".");
    std::uint64_t total = 0;
    for (const ZipEntry& e : archive.Entries)
        total += e.Size;
    struct statvfs fs;
    if (statvfs(".", &fs) != 0)
        throw Failure("Cannot tell the free space of the current folder: " +
                      std::string(std::strerror(errno)));
    const std::uint64_t available = std::uint64_t{fs.f_bavail} * fs.f_frsize;
    if (total > available || available - total < kMinFreeAfter)
        throw Failure("Refused archive " + archivePath + ": its files take " +
                      std::to_string(total) + " bytes, which would leave less than 64 MiB free " +
                      "here" + outcome);

    AllowOpenFiles(targets.size());
    std::vector<std::unique_ptr<TempFile>> temps;
    mode_t newMode = NewFileMode();
    for (const Target& t : targets) {
        auto temp = std::make_unique<TempFile>(".", t.Name);
        try {
            ReadEntry(*t.Entry, [&](const unsigned char* p, std::size_t n) { temp->Write(p, n); });
        } catch (const ZipError& e) {
            ThrowZipError(e, archivePath, outcome);
        }
        // A replaced file keeps its permissions; a symbolic link is replaced
        // by the file itself, never written through.
        bool keep = t.Old && S_ISREG(t.Old->st_mode);
        temp->Finish(keep ? (t.Old->st_mode & 0777) : newMode, keep ? &*t.Old : nullptr);
        temps.push_back(std::move(temp));
    }
    // Last before the files are put in place: a failed write changes none.
    if (toOutput) {
        try {
            ReadEntry(*toOutput, [&](const unsigned char* p, std::size_t n) {
                WriteOutput(p, n, toOutput->Name);
            });
        } catch (const ZipError& e) {
            ThrowZipError(e, archivePath, "; nothing was extracted");
        }
    }
    for (std::size_t i = 0; i < targets.size(); ++i)
        temps[i]->PlaceAt(targets[i].Name, EntryMtime(*targets[i].Entry));
}

namespace {

// One line, whatever bytes the names in it hold.
void PrintError(std::string message) {
    for (char& c : message)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    message += '\n';
    fwrite(message.data(), 1, message.size(), stderr);
}

} // namespace

int Run(const std::vector<std::string_view>& args) {
    try {
        if (args.empty() || (args.size() == 1 && args[0] == "-?")) {
            fputs(kUsage, stdout);
            return fflush(stdout) == 0 ? 0 : 1;
        }
        if (IsOption(args[0], "-add")) {
            const bool noSync = args.size() == 4 && IsOption(args[3], "-nosync");
            if (args.size() != 3 && !noSync)
                throw BadArguments(std::string("-add takes ARCHIVE and FILE [-nosync]; ") +
                                   kUsageHint);
            if (args[2].empty())
                throw BadArguments("FILE is empty");
            Add(args[1], args[2], !noSync);
            return 0;
        }
        if (IsOption(args[0], "-extract") || IsOption(args[0], "-overwrite")) {
            bool both = (args.size() == 3 || args.size() == 5) &&
                        (IsOption(args[0], "-extract") || IsOption(args[1], "-extract")) &&
                        (IsOption(args[0], "-overwrite") || IsOption(args[1], "-overwrite")) &&
                        !IsOption(args[0], args[1]);
            if (!both || (args.size() == 5 && !IsOption(args[3], "-console")))
                throw BadArguments(
                    std::string("extracting takes -extract -overwrite ARCHIVE [-console FILE]; ") +
                    kUsageHint);
            std::optional<std::string_view> console;
            if (args.size() == 5) {
                if (const char* why = NameProblem(args[4], false))
                    throw BadArguments("FILE " + Quoted(args[4]) + " " + why);
                console = args[4];
            }
            Extract(args[2], console);
            return 0;
        }
        if (IsOption(args[0], "-test")) {
            if (args.size() != 2)
                throw BadArguments(std::string("-test takes ARCHIVE; ") + kUsageHint);
            Test(args[1]);
            return 0;
        }
        throw BadArguments("unknown command " + Quoted(args[0]) + "; " + kUsageHint);
    } catch (const BadArguments& e) {
        PrintError(e.what());
        return 2;
    } catch (const Failure& e) {
        PrintError(e.what());
    } catch (const std::bad_alloc&) {
        PrintError("Out of memory");
    } catch (const std::exception& e) {
        PrintError(e.what());
    }
    return 1;
}

} // namespace archiver
