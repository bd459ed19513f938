#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/process.h"
#include "platform/replaced_files.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace platform;

namespace {

struct stat Stat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

using testenv::Listing;
using List = std::vector<std::string>;

} // namespace

TEST(CopyFile, KeepsContentTimeReadOnlyAndHiddenButNotTheCleanStamp) {
    const std::string src = testenv::Scratch() + "/Save/game1.sav";
    std::string content(300000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 % 251);
    testenv::WriteFile(src, content);
    const timespec old[2] = {{0, UTIME_OMIT}, {1500000000, 123456789}};
    ASSERT_EQ(::utimensat(AT_FDCWD, src.c_str(), old, 0), 0);
    ASSERT_TRUE(SetFileAttributes(src, faReadOnly | faHidden | faSysFile)); // clean, too

    const std::string dst = testenv::Scratch() + "/Backup/game1.sav";
    ASSERT_TRUE(CreateDirectory(testenv::Scratch() + "/Backup"));
    ASSERT_TRUE(CopyFile(testenv::Scratch() + "/SAVE/Game1.SAV", dst, true));
    EXPECT_EQ(testenv::ReadFile(dst), content);
    EXPECT_EQ(Stat(dst).st_mtim.tv_sec, 1500000000);
    EXPECT_EQ(Stat(dst).st_mtim.tv_nsec, 123456789);
    EXPECT_EQ(GetFileAttributes(dst), faReadOnly | faHidden | faSysFile | faArchive);
    EXPECT_EQ(Listing(testenv::Scratch() + "/Backup"), (List{"game1.sav"}));

    // An empty file copies too, and a plain target is replaced.
    testenv::WriteFile(testenv::Scratch() + "/empty", "");
    testenv::WriteFile(testenv::Scratch() + "/plain", "old");
    ASSERT_TRUE(CopyFile(testenv::Scratch() + "/empty", testenv::Scratch() + "/plain", false));
    EXPECT_EQ(testenv::ReadFile(testenv::Scratch() + "/plain"), "");
}

TEST(CopyFile, OntoAFileSystemThatStoresNoModesKeepsOnlyTheReadOnlyState) {
    struct Refusal {
        Refusal() { RefuseModesForTesting(true); }
        ~Refusal() { RefuseModesForTesting(false); }
    } refusal;
    const std::string dir = testenv::Scratch();
    testenv::WriteFile(dir + "/net.sav", "multiplayer");
    ASSERT_EQ(::chmod((dir + "/net.sav").c_str(), 0600), 0);
    ASSERT_TRUE(CopyFile(dir + "/net.sav", dir + "/copy.sav", false)) << GetLastError();
    EXPECT_EQ(testenv::ReadFile(dir + "/copy.sav"), "multiplayer");
    EXPECT_EQ(GetFileAttributes(dir + "/copy.sav") & faReadOnly, 0u);

    ASSERT_TRUE(SetFileAttributes(dir + "/net.sav", faReadOnly | faArchive));
    ASSERT_TRUE(CopyFile(dir + "/net.sav", dir + "/second.sav", false)) << GetLastError();
    EXPECT_EQ(GetFileAttributes(dir + "/second.sav") & faReadOnly, faReadOnly);
}

TEST(CopyFile, RefusesProtectedTargetsEvenAsRootAndLeavesThemAlone) {
    const std::string dir = testenv::Scratch();
    testenv::WriteFile(dir + "/new", "new content");
    for (std::uint32_t attrs : {faReadOnly, faHidden, faSysFile}) {
        const std::string target = dir + "/target";
        testenv::WriteFile(target, "precious");
        ASSERT_TRUE(SetFileAttributes(target, attrs | faArchive));
        const ino_t inode = Stat(target).st_ino;
        EXPECT_FALSE(CopyFile(dir + "/new", target, false)) << attrs;
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << attrs;
        EXPECT_EQ(testenv::ReadFile(target), "precious");
        EXPECT_EQ(Stat(target).st_ino, inode);
        ASSERT_TRUE(SetFileAttributes(target, faArchive));
    }
    EXPECT_FALSE(CopyFile(dir + "/new", dir + "/target", true));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    // Another spelling of an existing target replaces that target.
    EXPECT_TRUE(CopyFile(dir + "/new", dir + "/TARGET", false));
    EXPECT_EQ(testenv::ReadFile(dir + "/target"), "new content");
    // Onto itself, by another spelling: refused, not truncated.
    EXPECT_FALSE(CopyFile(dir + "/new", dir + "/NEW", false));
    EXPECT_EQ(testenv::ReadFile(dir + "/new"), "new content");
    EXPECT_EQ(Listing(dir), (List{"new", "target"}));
}

TEST(CopyFile, MissingSourceOrTargetFolderFailsWithItsCode) {
    const std::string dir = testenv::Scratch();
    testenv::WriteFile(dir + "/src", "x");
    for (const auto& [from, to, error] :
         {std::tuple{"/none", "/t", ERROR_FILE_NOT_FOUND},
          {"/nodir/none", "/t", ERROR_PATH_NOT_FOUND},
          {"/src", "/nodir/t", ERROR_PATH_NOT_FOUND},
          {"/src", "/src/t", ERROR_PATH_NOT_FOUND}, // a file as folder
          {"", "/t", ERROR_ACCESS_DENIED}}) {       // a folder as file
        EXPECT_FALSE(CopyFile(dir + from, dir + to, false)) << from << " " << to;
        EXPECT_EQ(GetLastError(), error) << from << " " << to;
    }
    EXPECT_EQ(Listing(dir), (List{"src"}));
}

TEST(CopyFile, CopyCutOffLeavesTheOldTargetAndNoTemporaryFile) {
    const std::string dir = testenv::Scratch();
    testenv::WriteFile(dir + "/big", std::string(1 << 20, 'b'));
    testenv::WriteFile(dir + "/target", "old target");
    // A child whose file size limit stops the copy half way: once with the
    // signal ignored (the write fails), once killed by it.
    for (bool killed : {false, true}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const rlimit limit{64 * 1024, 64 * 1024};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            if (!killed)
                ::signal(SIGXFSZ, SIG_IGN);
            const bool ok = CopyFile(dir + "/big", dir + "/target", false);
            ::_exit(ok ? 0 : GetLastError() == ERROR_FILE_TOO_LARGE ? 10 : 11);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        if (killed) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
        } else {
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 10);
        }
        EXPECT_EQ(testenv::ReadFile(dir + "/target"), "old target");
        EXPECT_EQ(Listing(dir), (List{"big", "target"}));
    }
}

// Replaced files are let go of on another thread; until then they hold
// their room. On a disk with room for one more copy, every replacement still
// succeeds, and in the end all the old files' room is free again.
TEST(CopyFile, ReplacedFilesGiveBackTheirRoomWhenTheDiskIsFull) {
    const std::string disk = testenv::Scratch() + "/small-disk";
    testenv::TmpfsMount mount(disk, 1 << 20);
    if (!mount.Mounted())
        GTEST_SKIP() << "No small file system to fill: " << mount.Reason();
    const std::string src = testenv::Scratch() + "/src";
    constexpr std::size_t kSize = 192 * 1024; // four on the disk, room for one more
    for (int i = 0; i < 4; ++i) {
        testenv::WriteFile(src + "/f" + std::to_string(i), std::string(kSize, char('a' + i)));
        testenv::WriteFile(disk + "/f" + std::to_string(i), std::string(kSize, 'o'));
    }
    const auto freeBlocks = [&] {
        struct statvfs st {};
        EXPECT_EQ(::statvfs(disk.c_str(), &st), 0);
        return st.f_bfree;
    };
    const auto before = freeBlocks();

    KeepReplacedForTesting(true);
    for (int i = 0; i < 4; ++i) {
        const std::string name = "/f" + std::to_string(i);
        if (i % 2 == 0) {
            EXPECT_TRUE(CopyFile(src + name, disk + name, false)) << name << GetLastError();
        } else { // as a checked restore copies
            StagedFile staged;
            struct : BlockSink {
                std::string bytes;
                void Restart() override { bytes.clear(); }
                void Add(const void* data, std::size_t size) override {
                    bytes.append(static_cast<const char*>(data), size);
                }
            } seen;
            std::uint64_t size = 0;
            ASSERT_TRUE(staged.Open(disk + name, false));
            EXPECT_TRUE(staged.CopyFrom(src + name, seen, size)) << name << GetLastError();
            // Copied again once room was made: the sink saw that copy alone.
            EXPECT_EQ(size, kSize);
            EXPECT_TRUE(seen.bytes == std::string(kSize, char('a' + i))) << name;
            EXPECT_TRUE(staged.Commit());
        }
        EXPECT_EQ(testenv::ReadFile(disk + name), std::string(kSize, char('a' + i)));
    }
    KeepReplacedForTesting(false);
    LetGoOfReplaced();
    EXPECT_EQ(freeBlocks(), before);
}

TEST(WriteWholeFile, ReplacesWholeOrNotAtAllKeepingModeAndLinks) {
    const std::string dir = testenv::Scratch();
    ASSERT_TRUE(WriteWholeFile(dir + "/new.ini", "abc", 3));
    EXPECT_EQ(testenv::ReadFile(dir + "/new.ini"), "abc");
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(Stat(dir + "/new.ini").st_mode & 0777, 0666 & ~mask);

    ASSERT_EQ(::chmod((dir + "/new.ini").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("new.ini", (dir + "/link.ini").c_str()), 0);
    ASSERT_TRUE(WriteWholeFile(dir + "/LINK.ini", "through the link", 16));
    EXPECT_EQ(testenv::ReadFile(dir + "/new.ini"), "through the link");
    EXPECT_EQ(Stat(dir + "/new.ini").st_mode & 0777, 0640u);
    struct stat link {};
    ASSERT_EQ(::lstat((dir + "/link.ini").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));

    // Cut off by the file size limit: the old content stays, nothing is left.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const rlimit limit{8, 8};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_IGN);
        ::_exit(WriteWholeFile(dir + "/new.ini", "longer than eight", 17) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(testenv::ReadFile(dir + "/new.ini"), "through the link");
    EXPECT_EQ(Listing(dir), (List{"link.ini", "new.ini"}));

    ASSERT_TRUE(SetFileAttributes(dir + "/new.ini", faReadOnly));
    EXPECT_FALSE(WriteWholeFile(dir + "/new.ini", "x", 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WriteWholeFile(dir + "/missing/new.ini", "x", 1));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(CopyFile, AwkwardNamesWork255BytesIsTheLimit) {
    const std::string dir = testenv::Scratch();
    const std::string name255(255, 'n');
    const List names{"with blank.sav", "quote\"d.sav", "Größe ñ.sav", name255};
    testenv::WriteFile(dir + "/" + names[0], "content");
    for (std::size_t i = 1; i < names.size(); ++i) {
        ASSERT_TRUE(CopyFile(dir + "/" + names[i - 1], dir + "/" + names[i], true)) << names[i];
        EXPECT_EQ(testenv::ReadFile(dir + "/" + names[i]), "content");
    }
    EXPECT_FALSE(CopyFile(dir + "/" + names[0], dir + "/" + name255 + "x", false));
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(Listing(dir).size(), names.size());
    // Case-insensitive resolution leaves non-ASCII letters alone.
    EXPECT_EQ(GetFileAttributes(dir + "/GRÖßE ñ.sav"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributes(dir + "/GRößE ñ.SAV"), INVALID_FILE_ATTRIBUTES);
}

TEST(StagedFile, TheTargetStaysUntilCommitAndADroppedOneLeavesNothing) {
    const std::string dir = testenv::Scratch();
    testenv::WriteFile(dir + "/save.dat", "old content");
    ASSERT_EQ(::chmod((dir + "/save.dat").c_str(), 0640), 0);
    testenv::WriteFile(dir + "/src", "new content");
    {
        StagedFile staged;
        ASSERT_TRUE(staged.Open(dir + "/SAVE.DAT", false));
        EXPECT_EQ(staged.Target(), dir + "/save.dat");
        ASSERT_TRUE(staged.CopyFrom(dir + "/src"));
        ASSERT_TRUE(staged.WriteAt(0, "NEW", 3));
        char back[16] = {};
        EXPECT_EQ(::pread(staged.Handle(), back, sizeof back, 0), 11); // read back to check it
        EXPECT_STREQ(back, "NEW content");
        EXPECT_EQ(testenv::ReadFile(dir + "/save.dat"), "old content");
        EXPECT_EQ(Listing(dir), (List{"save.dat", "src"})); // the temporary has no name
    }                                                       // dropped
    EXPECT_EQ(testenv::ReadFile(dir + "/save.dat"), "old content");
    EXPECT_EQ(Listing(dir), (List{"save.dat", "src"}));

    // Filled by a child as its standard output, then put in place.
    StagedFile staged;
    ASSERT_TRUE(staged.Open(dir + "/save.dat", false));
    EXPECT_EQ(Stat(dir + "/save.dat").st_mode & 0777, 0640u);
    Process child;
    ASSERT_TRUE(child.Start("/bin/echo from a child", 1, staged.Handle()));
    ASSERT_TRUE(child.Wait());
    ASSERT_TRUE(staged.Commit());
    EXPECT_EQ(testenv::ReadFile(dir + "/save.dat"), "from a child\n");
    EXPECT_EQ(Stat(dir + "/save.dat").st_mode & 0777, 0640u); // the replaced file's bits
    EXPECT_FALSE(staged.Commit());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_FALSE(staged.Open(dir + "/save.dat", true));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_FALSE(staged.Open(dir + "/none/save.dat", false));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Listing(dir), (List{"save.dat", "src"}));

    // What a process killed between linking and renaming left behind goes
    // with the first file made in its folder; a live process's name stays.
    const std::string other = dir + "/other/";
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended); // its process id is now free
    const std::string gone = ".mfcopy-" + std::to_string(ended) + "-0-1";
    const std::string live = ".mfcopy-" + std::to_string(::getpid()) + "-0-1";
    testenv::WriteFile(other + gone, "whole copy");
    testenv::WriteFile(other + live, "being renamed");
    ASSERT_TRUE(CopyFile(dir + "/src", other + "copy", false));
    EXPECT_EQ(Listing(other), (List{live, "copy"}));
}

TEST(StagedFile, ANewNameIsNeverPlacedOverAFileAndTheCopyTakesItsPlaceMarked) {
    const std::string dir = testenv::Scratch();
    testenv::WriteFile(dir + "/src", "content");
    ASSERT_TRUE(SetFileAttributes(dir + "/src", faHidden | faReadOnly | faArchive));
    testenv::WriteFile(dir + "/taken", "old");
    StagedFile staged;
    ASSERT_TRUE(staged.OpenNew(dir + "/taken"));
    FileVersion read;
    ASSERT_TRUE(staged.CopyFrom(dir + "/src", read));
    FileVersion src;
    ASSERT_TRUE(GetFileVersion(dir + "/src", src));
    EXPECT_EQ(read, src);
    EXPECT_FALSE(staged.Commit());
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(testenv::ReadFile(dir + "/taken"), "old");

    // Plain, writable and backed up as it takes its place, also where the
    // stamp has to go to the stamp store.
    for (const bool refuse : {false, true}) {
        RefuseXattrsForTesting(refuse);
        const std::string target = dir + (refuse ? "/stored" : "/stamped");
        ASSERT_TRUE(staged.OpenNew(target));
        ASSERT_TRUE(staged.CopyFrom(dir + "/src"));
        ASSERT_TRUE(staged.SetAttributes(0));
        EXPECT_FALSE(FileExists(target));
        ASSERT_TRUE(staged.Commit());
        EXPECT_EQ(GetFileAttributes(target), 0u) << target;
        EXPECT_EQ(testenv::ReadFile(target), "content");
        RefuseXattrsForTesting(false);
    }
}

// Folders are named as files are, without ".TMP"; each made once.
TEST(GetTempFileName, NamesFilesAndFoldersAsWindowsAndFailsOnAMissingFolder) {
    const std::string dir = testenv::Scratch();
    std::string name, folder, second;
    const unsigned number = GetTempFileName(dir, "mfbackup", 0, name);
    const unsigned folderNumber = CreateUniqueDirectory(dir, "MFBackup", folder);
    ASSERT_NE(number, 0u);
    ASSERT_NE(folderNumber, 0u);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", number);
    EXPECT_EQ(name, dir + "/mfb" + hex + ".TMP");
    EXPECT_TRUE(std::regex_match(name, std::regex(".*/mfb[1-9A-F][0-9A-F]{0,3}\\.TMP")));
    EXPECT_EQ(Stat(name).st_size, 0);
    std::snprintf(hex, sizeof hex, "%X", folderNumber);
    EXPECT_EQ(folder, dir + "/MFB" + hex);
    ASSERT_NE(CreateUniqueDirectory(dir + "/", "MFB", second), 0u);
    EXPECT_NE(second, folder);
    EXPECT_TRUE(DirectoryExists(folder) && DirectoryExists(second));
    EXPECT_EQ(Listing(dir).size(), 3u);

    EXPECT_EQ(GetTempFileName(dir + "/", "ab", 0x1234A, name), 0x234Au);
    EXPECT_EQ(name, dir + "/ab234A.TMP");
    EXPECT_FALSE(testenv::Exists(name)); // a given number creates nothing

    testenv::WriteFile(dir + "/file", "");
    for (const std::string& missing : {dir + "/missing", dir + "/file"}) {
        EXPECT_EQ(GetTempFileName(missing, "mfb", 0, name), 0u);
        EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
        EXPECT_EQ(CreateUniqueDirectory(missing, "MFB", name), 0u);
        EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    }
}

TEST(GetTempFileName, TriesEveryNumberThenGivesUp) {
    const std::string dir = testenv::Scratch() + "/full";
    ASSERT_TRUE(CreateDirectory(dir));
    for (unsigned n = 1; n <= 0xFFFF; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "/t%X.TMP", n);
        const int fd = ::open((dir + name).c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    std::string name;
    EXPECT_EQ(GetTempFileName(dir, "t", 0, name), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    ASSERT_TRUE(DeleteFile(dir + "/t7.TMP"));
    EXPECT_EQ(GetTempFileName(dir, "t", 0, name), 7u); // found after wrapping, whatever the start
    EXPECT_EQ(name, dir + "/t7.TMP");
}

TEST(Files, FolderAndFileCallsGiveWindowsCodes) {
    const std::string dir = testenv::Scratch();
    ASSERT_TRUE(CreateDirectory(dir + "/Data"));
    EXPECT_FALSE(CreateDirectory(dir + "/DATA")); // exists in another case
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectory(dir + "/none/sub"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    testenv::WriteFile(dir + "/afile", "");
    EXPECT_FALSE(CreateDirectory(dir + "/afile/sub"));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    testenv::WriteFile(dir + "/Data/File.txt", "0123456789");
    ASSERT_TRUE(WriteAt(dir + "/data/file.TXT", 3, "abc", 3));
    EXPECT_EQ(testenv::ReadFile(dir + "/Data/File.txt"), "012abc6789");
    EXPECT_FALSE(WriteAt(dir + "/data/none", 0, "x", 1));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(testenv::Exists(dir + "/data/none"));

    ASSERT_TRUE(SetFileAttributes(dir + "/Data/File.txt", faReadOnly));
    EXPECT_FALSE(WriteAt(dir + "/Data/File.txt", 0, "x", 1));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFile(dir + "/Data/File.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(testenv::ReadFile(dir + "/Data/File.txt"), "012abc6789");
    ASSERT_TRUE(SetFileAttributes(dir + "/Data/File.txt", faArchive));
    EXPECT_TRUE(DeleteFile(dir + "/DATA/FILE.TXT"));
    EXPECT_FALSE(DeleteFile(dir + "/Data/File.txt"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFile(dir + "/Data"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    testenv::WriteFile(dir + "/Data/Sub/kept", "");
    const struct {
        std::string path;
        std::uint32_t error; // 0: removed
    } removals[] = {{dir + "/data/sub", ERROR_DIR_NOT_EMPTY},
                    {dir + "/Data/Sub/kept", ERROR_DIRECTORY},
                    {dir + "/none", ERROR_FILE_NOT_FOUND},
                    {dir + "/none/sub", ERROR_PATH_NOT_FOUND},
                    {dir + "/Data/Sub/kept/x", ERROR_PATH_NOT_FOUND}};
    for (const auto& r : removals) {
        EXPECT_FALSE(RemoveDirectory(r.path)) << r.path;
        EXPECT_EQ(GetLastError(), r.error) << r.path;
    }
    ASSERT_TRUE(DeleteFile(dir + "/Data/Sub/kept"));
    EXPECT_TRUE(RemoveDirectory(dir + "/DATA/SUB/"));
    EXPECT_FALSE(testenv::Exists(dir + "/Data/Sub"));

    testenv::WriteFile(dir + "/plain", "");
    EXPECT_FALSE(SetCurrentDirectory(dir + "/plain"));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_FALSE(SetCurrentDirectory(dir + "/none"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(SetCurrentDirectory(dir + "/data"));
    EXPECT_EQ(GetCurrentDirectory(), dir + "/Data");
}

TEST(Files, AFolderIsRemovedWithItsFilesThroughItselfNeverThroughALink) {
    const std::string dir = testenv::Scratch();
    testenv::WriteFile(dir + "/elsewhere/game1.sav", "mine");
    testenv::WriteFile(dir + "/Set/a.sav", "a");
    testenv::WriteFile(dir + "/Set/sub/b.sav", "b");
    ASSERT_EQ(::symlink((dir + "/elsewhere").c_str(), (dir + "/Link").c_str()), 0);
    ASSERT_EQ(::symlink((dir + "/elsewhere/game1.sav").c_str(), (dir + "/Set/game1.sav").c_str()),
              0);
    std::string failed;

    // A link in the folder's place is not followed: what it leads to stays.
    EXPECT_FALSE(RemoveFolderWithFiles(dir + "/Link/", {"game1.sav"}, failed));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_TRUE(IsSymbolicLink(dir + "/link"));
    EXPECT_FALSE(IsSymbolicLink(dir + "/Set"));
    // Nor is a name reaching into another folder taken, nor a folder removed.
    for (const std::string name : {"sub/b.sav", "../elsewhere/game1.sav", "sub"}) {
        EXPECT_FALSE(RemoveFolderWithFiles(dir + "/Set", {name}, failed)) << name;
        EXPECT_EQ(failed, name);
    }
    EXPECT_EQ(testenv::ReadFile(dir + "/Set/sub/b.sav"), "b");
    // A link among the files goes as the link.
    ASSERT_TRUE(RemoveFolderWithFiles(dir + "/Set/sub/", {"b.sav"}, failed));
    ASSERT_TRUE(RemoveFolderWithFiles(dir + "/set", {"a.sav", "game1.sav"}, failed));
    EXPECT_FALSE(testenv::Exists(dir + "/Set"));
    EXPECT_EQ(testenv::ReadFile(dir + "/elsewhere/game1.sav"), "mine");

    testenv::WriteFile(dir + "/Kept/x", "");
    EXPECT_FALSE(RemoveFolderWithFiles(dir + "/Kept", {}, failed));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_EQ(failed, "");
    EXPECT_TRUE(DeleteFileFlushed(dir + "/Kept/X"));
    EXPECT_FALSE(testenv::Exists(dir + "/Kept/x"));
}

TEST(SmallFiles, AreReadUpToALimit) {
    const std::string dir = testenv::Scratch() + "/Folder/";
    testenv::WriteFile(dir + "ten.txt", "0123456789");
    std::string content;
    EXPECT_TRUE(ReadSmallFile(dir + "ten.txt", 10, content));
    EXPECT_EQ(content, "0123456789");
    EXPECT_FALSE(ReadSmallFile(dir + "ten.txt", 9, content));
    EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);
    EXPECT_TRUE(content.empty());
    EXPECT_FALSE(ReadSmallFile(dir + "none.txt", 10, content));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(LastError, IsPerThreadAndExplainsItself) {
    SetLastError(ERROR_ACCESS_DENIED);
    std::uint32_t seen = 1;
    std::thread([&] {
        seen = GetLastError();
        SetLastError(ERROR_DISK_FULL);
    }).join();
    EXPECT_EQ(seen, ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SysErrorMessage(ERROR_ACCESS_DENIED), "Access is denied.");
    EXPECT_EQ(SysErrorMessage(ERROR_DISK_FULL), "There is not enough space on the disk.");
    EXPECT_EQ(WinErrorFromErrno(ENOSPC), ERROR_DISK_FULL);
    EXPECT_EQ(WinErrorFromErrno(EEXIST), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(SysErrorMessage(99999).empty());
}
