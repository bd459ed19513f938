// The backup as both front ends run it, told to a recording reporter.

#include "recording_reporter.h"

#include "common/run_program.h"

#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/stamp_store.h"
#include "platform/sync.h"
#include "sets/backup_set.h"
#include "sets/manifest.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Output of a shell command (the reference unzip reads the archives).
std::string Shell(const std::string& command) {
    return testenv::RunProgram("sh", {"-c", QString::fromStdString(command)}).out;
}

using BackupTest = CoreTree;

TEST_F(BackupTest, TakesTheChangedVisibleFilesOfTheKindsChosenAndMarksThemBackedUp) {
    const Names taken = {Save("characters/characters.lpl", "characters"),
                         Save("net/net.sav", "net game"), Save("net/second.dat", "extra"),
                         Save("games/game1.sav", "one"), Save("games/game2.sav", "two")};
    fs::permissions(taken[4], fs::perms::owner_read); // read-only game file
    MarkClean(Save("characters/old.lpl", "old"));
    const std::string hidden = Save("games/.hidden", "h");
    const std::string system = Save("games/sys.sav", "s");
    ASSERT_TRUE(platform::SetFileAttributes(system, platform::faSysFile | platform::faArchive));

    // A dry run names them and changes nothing.
    EXPECT_TRUE(
        core::Backup({gameDir, backupDir, {true, true, true}, "", false, true}, reporter).Ok());
    EXPECT_EQ(reporter.planned, taken);
    EXPECT_TRUE(Sets().empty());

    const core::RunResult result = Backup({true, true, true}, false, "Before the boss");
    EXPECT_EQ(result.Done, 5u);
    EXPECT_TRUE(reporter.said.empty()) << Joined(reporter.said);
    const std::string set = backupDir + Sets().at(0) + "/";
    EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "characters.lpl", "desc.txt", "game1.sav",
                                 "game2.sav", "net.sav", "second.dat"}));
    EXPECT_EQ(testenv::ReadFile(set + "desc.txt"), "Before the boss\r\n");
    Names progress = {"[Backing Up]"}, done;
    for (const std::string& source : taken) {
        const std::string copy = set + fs::path(source).filename().string();
        EXPECT_EQ(testenv::ReadFile(copy), testenv::ReadFile(source));
        EXPECT_EQ(platform::GetFileAttributes(source), 0u) << source;
        progress.push_back(source);
        done.push_back(source + " -> " + copy);
    }
    progress.push_back("[hidden]");
    EXPECT_EQ(reporter.progress, progress);
    EXPECT_EQ(reporter.done, done);
    EXPECT_EQ(reporter.steps.back(), "5/5 game2.sav");
    EXPECT_TRUE(Changed(hidden) && Changed(system));
    EXPECT_TRUE(Whole(set));

    // Nothing changed since: no new set, and that is no failure.
    reporter = {};
    EXPECT_TRUE(Backup().Ok());
    EXPECT_EQ(reporter.said, Names{"Nothing found to backup!"});
    EXPECT_EQ(Sets().size(), 1u);
}

// A kind is offered when its first file is changed, or with "Ignore
// archivebit" when it exists; the backup takes each changed file on its own.
TEST_F(BackupTest, KindsAreOfferedByTheirFirstFileAndEachChangedFileIsTaken) {
    MarkClean(Save("characters/characters.lpl", "c"));
    MarkClean(Save("games/game1.sav", "first game, backed up"));
    const Names later = {Save("games/game2.sav", "2"), Save("games/game3.sav", "3")};
    for (const bool ignore : {false, true}) {
        const sets::KindSet offered = core::OfferedKinds(gameDir, ignore);
        EXPECT_EQ(offered.Characters, ignore);
        EXPECT_FALSE(offered.Multiplayer); // no net.sav
        EXPECT_EQ(offered.Single, ignore);
    }
    EXPECT_TRUE(Backup({true, true, true}).Ok());
    EXPECT_EQ(Files(backupDir + Sets().at(0)), (Names{".mfbackup-sums", "game2.sav", "game3.sav"}));
    EXPECT_FALSE(Changed(later[0]) || Changed(later[1]));
}

TEST_F(BackupTest, CompressedBackupHoldsOneArchivePerFileName) {
    const Names taken = {Save("characters/characters.lpl", "characters"),
                         Save("net/net.sav", "net game"), Save("games/game1.sav", "one"),
                         Save("games/game1.bak", "spare"), Save("games/readme", "no dot")};
    EXPECT_TRUE(Backup({true, true, true}, true).Ok()) << Joined(reporter.said);
    const std::string set = backupDir + Sets().at(0) + "/";
    EXPECT_EQ(Files(set),
              (Names{".mfbackup-sums", "characters.zip", "game1.zip", "net.zip", "readme.zip"}));
    EXPECT_EQ(Shell("unzip -Z1 '" + set + "game1.zip' | sort"), "game1.bak\ngame1.sav\n");
    EXPECT_EQ(Shell("unzip -p '" + set + "characters.zip' characters.lpl"), "characters");
    EXPECT_EQ(Shell("unzip -p '" + set + "readme.zip' readme"), "no dot");
    EXPECT_EQ(reporter.done.back(), taken.back() + " -> " + set + "readme.zip");
    for (const std::string& source : taken)
        EXPECT_FALSE(Changed(source)) << source;
}

TEST_F(BackupTest, AFailedCopyKeepsItsSourceMarkedAndNoMarkIsClearedBeforeTheEnd) {
    const std::string chars = Save("characters/characters.lpl", "characters");
    const std::string firstDup = Save("characters/dup.dat", "first");
    fs::permissions(firstDup, fs::perms::owner_read); // its copy in the set is read-only too
    const std::string secondDup = Save("net/dup.dat", "second");
    const std::string net = Save("net/net.sav", "net");
    bool clearedEarly = true;
    reporter.onSaid = [&](const std::string&) {
        // The game writes the character list while the backup still runs.
        clearedEarly = !Changed(chars) || !Changed(firstDup);
        testenv::WriteFile(chars, "characters, played on");
    };
    const core::RunResult result = Backup();
    const std::string set = backupDir + Sets().at(0) + "/";
    EXPECT_EQ(reporter.said, Names{"error copying " + secondDup + " to " + set + "dup.dat"});
    EXPECT_EQ(reporter.causes, Names{"The file exists"});
    EXPECT_EQ(reporter.failed, Names{secondDup + " -> " + set + "dup.dat"});
    EXPECT_EQ(result.Failures, 1u);
    EXPECT_FALSE(clearedEarly);
    EXPECT_TRUE(Changed(secondDup));
    EXPECT_EQ(testenv::ReadFile(set + "dup.dat"), "first");
    EXPECT_FALSE(Changed(firstDup) || Changed(net));
    // Rewritten after its copy: the set holds the older content, so it stays marked.
    EXPECT_EQ(testenv::ReadFile(set + "characters.lpl"), "characters");
    EXPECT_TRUE(Changed(chars));
}

// The sources are marked backed up only once the set is on disk; a mark
// that can't be stored leaves its file changed, and either is said once.
TEST_F(BackupTest, NoSourceIsMarkedWhenTheSetCantBeFlushedOrTheMarksCantBeStored) {
    const Names sources = {Save("characters/characters.lpl", "characters"),
                           Save("games/game1.sav", "one")};
    platform::FailFlushesForTesting(true);
    EXPECT_FALSE(Backup().Ok());
    platform::FailFlushesForTesting(false);
    const std::string set = backupDir + Sets().at(0) + "/";
    EXPECT_EQ(reporter.said, Names{"error writing " + set + " to disk: " +
                                   platform::SysErrorMessage(platform::ERROR_IO_DEVICE)});
    for (const std::string& source : sources)
        EXPECT_TRUE(Changed(source)) << source;

    // The stamp store of a drive without extended attributes can't be written.
    reporter = {};
    const std::string stateFolder = platform::ExtractFilePath(platform::StampStorePath());
    testenv::WriteFile(stateFolder.substr(0, stateFolder.size() - 1), "a file, not a folder");
    platform::RefuseXattrsForTesting(true);
    const core::RunResult result = Backup();
    EXPECT_TRUE(Changed(sources[0]) && Changed(sources[1]));
    platform::RefuseXattrsForTesting(false);
    EXPECT_EQ(result.Failures, 1u);
    EXPECT_EQ(reporter.said, Names{"could not mark 2 files as backed up: The system cannot find "
                                   "the path specified"});
}

// A backup that wrote no file leaves no set, and removes the sets killed runs
// left empty; a file the archiver fails on stays changed.
TEST_F(BackupTest, AFailedArchiverRunKeepsItsSourceChangedAndASetWithNoFileGoes) {
    // The archive's name would be one byte longer than a file name may be.
    const std::string base = "game" + std::string(248, 'x');
    const std::string bad = Save("games/" + base + ".sv", "too long");
    testenv::WriteFile(backupDir + "MFB1/desc.txt", "killed\r\n");
    testenv::WriteFile(backupDir + "MFB1/" + sets::UnfinishedName, "");
    const timespec longAgo[2] = {{std::time(nullptr) - 120, 0}, {std::time(nullptr) - 120, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (backupDir + "MFB1").c_str(), longAgo, 0), 0);
    EXPECT_FALSE(Backup({false, false, true}, true, "nothing will come of it").Ok());
    ASSERT_EQ(reporter.said.size(), 2u);
    EXPECT_EQ(reporter.said[0].rfind("pkzip.exe ended with exit code ", 0), 0u);
    EXPECT_EQ(reporter.said[1].rfind("error zipping " + bad + " to " + backupDir, 0), 0u);
    EXPECT_TRUE(Sets().empty());
    EXPECT_TRUE(Changed(bad));

    reporter = {};
    const std::string good = Save("games/game1.sav", "one");
    EXPECT_EQ(Backup({false, false, true}, true).Failures, 1u);
    const std::string set = backupDir + Sets().at(0) + "/";
    EXPECT_EQ(reporter.said.back(), "error zipping " + bad + " to " + set + base);
    EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "game1.zip"}));
    EXPECT_FALSE(Changed(good));
    EXPECT_TRUE(Changed(bad));
}

// A second source that would land where this backup already wrote (a name
// in other letter case, or a file of the same name in another folder) fails
// and stays changed; the first keeps its copy, in a plain set or an archive.
class BackupCollisions : public BackupTest, public testing::WithParamInterface<bool> {
protected:
    // The set's content by file (or archive entry) name in lower case.
    std::map<std::string, std::string> Held(const std::string& set) {
        std::map<std::string, std::string> held;
        for (const std::string& name : Files(set)) {
            if (name == sets::ManifestName)
                continue;
            if (!GetParam()) {
                held[platform::LowerAscii(name)] = testenv::ReadFile(set + name);
                continue;
            }
            std::istringstream entries(Shell("unzip -Z1 '" + set + name + "'"));
            for (std::string entry; std::getline(entries, entry);)
                held[platform::LowerAscii(entry)] =
                    Shell("unzip -p '" + set + name + "' '" + entry + "'");
        }
        return held;
    }
};

TEST_P(BackupCollisions, ASecondSourceOfANameAlreadyWrittenFailsAndStaysChanged) {
    const bool zip = GetParam();
    const std::pair<std::string, std::string> twins[] = {
        {Save("games/game1.sav", "lower case"), Save("games/GAME1.SAV", "UPPER CASE")},
        {Save("characters/dup.dat", "first folder"), Save("net/dup.dat", "second folder")}};
    // Another letter case: the archiver puts it into the same archive.
    const std::string spare = Save("games/Game1.bak", "another entry of game1.zip");
    Backup({true, true, true}, zip);
    const std::string set = backupDir + Sets().at(0) + "/";
    std::map<std::string, std::string> held = Held(set);
    EXPECT_TRUE(Whole(set)) << "one line for each file, as it is named";
    Names refused;
    for (const auto& [a, b] : twins) {
        ASSERT_NE(Changed(a), Changed(b)) << a;
        const std::string& kept = Changed(a) ? b : a;
        const std::string& failed = Changed(a) ? a : b;
        const std::string name = fs::path(failed).filename().string();
        EXPECT_EQ(held[platform::LowerAscii(name)], testenv::ReadFile(kept));
        refused.push_back(zip ? "error zipping " + failed + " to " + set +
                                    name.substr(0, name.find('.'))
                              : "error copying " + failed + " to " + set + name);
    }
    Names said = reporter.said;
    std::sort(said.begin(), said.end());
    std::sort(refused.begin(), refused.end());
    EXPECT_EQ(said, refused);
    EXPECT_FALSE(Changed(spare)); // game1.bak is an entry of its own in game1.zip
    EXPECT_EQ(held["game1.bak"], "another entry of game1.zip");
}

INSTANTIATE_TEST_SUITE_P(Forms, BackupCollisions, testing::Bool(),
                         [](const auto& info) { return info.param ? "Compressed" : "Plain"; });

// A copy that may hold parts of two versions of its save never stays in the
// set: a save written during the backup fails with its reason, or in watch is
// left for the next backup, as is one a program still holds open for writing;
// compressed, so are the other files of its archive.
struct WrittenCase {
    const char* Name;
    bool Zip, Hold, KeptOpen; // else written again just before its read
};
void PrintTo(const WrittenCase& c, std::ostream* os) {
    *os << c.Name;
}
class BackupOfAWrittenSave : public BackupTest, public testing::WithParamInterface<WrittenCase> {};

TEST_P(BackupOfAWrittenSave, LeavesNoCopyOfItInTheSetAndKeepsItChanged) {
    const auto [name, zip, hold, keptOpen] = GetParam();
    const std::string chars = Save("characters/characters.lpl", "c");
    const std::string spare = Save("characters/game1.bak", "into game1.zip, before game1.sav");
    const std::string game = Save("games/game1.sav", "the first half");
    const int writer = ::open(game.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (!keptOpen)
        ::close(writer);
    const int reader = ::open(chars.c_str(), O_RDONLY | O_CLOEXEC); // no writer: backed up
    reporter.onProgress = [&](const std::string& path) {
        if (path == game && !keptOpen)
            testenv::WriteFile(game, "the first half, then the rest");
    };
    core::BackupChoices choices{gameDir, backupDir, {true, true, true}, "", zip};
    choices.HoldWritten = hold;
    const core::RunResult result = core::Backup(choices, reporter);
    ::close(reader);
    if (keptOpen)
        ::close(writer);

    const std::string set = backupDir + Sets().at(0) + "/";
    EXPECT_TRUE(Whole(set));
    EXPECT_EQ(Files(set), (zip ? Names{".mfbackup-sums", "characters.zip"}
                               : Names{".mfbackup-sums", "characters.lpl", "game1.bak"}));
    EXPECT_EQ(std::make_tuple(Changed(chars), Changed(spare), Changed(game)),
              std::make_tuple(false, zip, true));
    const Names withdrawn = zip ? Names{spare, game} : Names{game};
    EXPECT_EQ(result.Held, hold ? withdrawn.size() : 0u);
    EXPECT_EQ(result.Failures, hold ? 0u : withdrawn.size());
    Names said;
    for (const std::string& path : withdrawn)
        said.push_back(hold ? (path == game ? game + " is being written: left for the next backup"
                                            : path + " is left for the next backup with "
                                                     "game1.sav, in the same archive")
                            : (zip ? "error zipping " + path + " to " + set + "game1"
                                   : "error copying " + path + " to " + set + "game1.sav"));
    EXPECT_EQ(reporter.said, said);
    EXPECT_EQ(reporter.causes.empty() ? "" : reporter.causes.back(),
              hold ? "" : "it was written while it was backed up");
}

INSTANTIATE_TEST_SUITE_P(Cases, BackupOfAWrittenSave,
                         testing::Values(WrittenCase{"Plain", false, false, false},
                                         WrittenCase{"Compressed", true, false, false},
                                         WrittenCase{"PlainInWatch", false, true, false},
                                         WrittenCase{"CompressedInWatch", true, true, false},
                                         WrittenCase{"PlainOpenInWatch", false, true, true},
                                         WrittenCase{"CompressedOpenInWatch", true, true, true}),
                         [](const auto& info) { return std::string(info.param.Name); });

// On a drive whose file times keep whole seconds (ext2 with small inodes;
// FAT keeps two), a save written again, at its size, in the second the
// backup read it keeps its time: it must not pass for backed up.
TEST_F(BackupTest, ASaveWrittenAgainInTheSecondItWasReadIsNotMarkedBackedUp) {
    const std::string image = testenv::Scratch() + "/seconds.img";
    const std::string save = gameDir + "save";
    if (::geteuid() != 0 ||
        std::system(("truncate -s 8M '" + image + "' && mkfs.ext2 -q -F -I 128 '" + image +
                     "' 2>/dev/null && mount -o loop '" + image + "' '" + save + "' 2>/dev/null")
                        .c_str()) != 0)
        GTEST_SKIP() << "No whole-second drive: mounting an ext2 image on " << save
                     << " needs root and a loop device";
    const struct Unmount {
        std::string dir;
        ~Unmount() { std::system(("umount -d '" + dir + "'").c_str()); }
    } unmount{save};
    const std::string chars = Save("characters/characters.lpl", "first");
    std::atomic<bool> done = false;
    std::thread game([&] {
        // The game saves again as soon as the copy is in the set.
        for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(100)))
            for (const std::string& set : Sets())
                if (fs::exists(backupDir + set + "/characters.lpl")) {
                    std::ofstream(chars, std::ios::binary | std::ios::trunc) << "again";
                    return;
                }
    });
    Backup();
    done = true;
    game.join();
    const std::string set = backupDir + Sets().at(0) + "/";
    EXPECT_TRUE(Changed(chars) || testenv::ReadFile(set + "characters.lpl") == "again");
}

// Drives without user extended attributes keep the clean stamps in the
// stamp store: on a real ramfs mount, and through the seam that refuses them.
class BackupWithoutXattrs : public BackupTest, public testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        BackupTest::SetUp();
        if (!GetParam()) {
            platform::RefuseXattrsForTesting(true);
            return;
        }
        const std::string save = gameDir + "save";
        if (::mount("ramfs", save.c_str(), "ramfs", 0, "mode=0755") != 0)
            GTEST_SKIP() << "cannot mount a ramfs on " << save << " (" << std::strerror(errno)
                         << "): run the tests as root to cover a real drive without user "
                            "extended attributes";
        mounted = save;
        for (const char* sub : {"characters", "net", "games"})
            fs::create_directories(save + "/" + sub);
    }
    void TearDown() override {
        platform::RefuseXattrsForTesting(false);
        if (!mounted.empty())
            ::umount2(mounted.c_str(), MNT_DETACH);
        BackupTest::TearDown();
    }
    std::string mounted;
};

TEST_P(BackupWithoutXattrs, SecondBackupFindsNothingAndARewrittenFileIsFoundAgain) {
    const std::string chars = Save("characters/characters.lpl", "characters");
    const std::string game = Save("games/game1.sav", "one");
    Backup();
    EXPECT_TRUE(reporter.said.empty()) << Joined(reporter.said);
    EXPECT_FALSE(Changed(chars) || Changed(game));
    EXPECT_TRUE(testenv::Exists(testenv::Home() + "/.local/state/mfbackup/clean-stamps"));
    Backup();
    EXPECT_EQ(reporter.said, Names{"Nothing found to backup!"});

    testenv::WriteFile(game, "two"); // the same size, at once
    const std::string first = Sets().at(0);
    const std::string second = BackUpAll();
    EXPECT_EQ(Files(backupDir + second), (Names{".mfbackup-sums", "game1.sav"}));
    EXPECT_FALSE(Changed(game));

    // What a restore puts back reads as backed up there too.
    reporter = {};
    EXPECT_TRUE(Restore(Plan(first, false, false, {true, false, true})).Ok())
        << Joined(reporter.said);
    EXPECT_EQ(testenv::ReadFile(game), "one");
    EXPECT_FALSE(Changed(chars) || Changed(game));
}

INSTANTIATE_TEST_SUITE_P(Drives, BackupWithoutXattrs, testing::Bool(),
                         [](const auto& info) { return info.param ? "Ramfs" : "Seam"; });

} // namespace
