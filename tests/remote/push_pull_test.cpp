// Push and pull between two machines' backup folders (ALPHA and BRAVO)
// through a local folder, told to a recording reporter.
// The command-line tests run them end to end, also over WebDAV.

#include "common/manifests.h"
#include "common/served_remote.h"
#include "common/test_env.h"
#include "core/recording_reporter.h"
#include "platform/capture.h"
#include "platform/folder_lock.h"
#include "platform/sync.h"
#include "remote/push_pull.h"
#include "sets/backup_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>

namespace fs = std::filesystem;

namespace {

// The folders in `folder`: the sets of a backup folder, or of a machine on
// the remote.
Names SetsIn(const std::string& folder) {
    Names names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_directory())
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class PushPull : public ::testing::Test {
protected:
    void SetUp() override {
        served = std::make_unique<testenv::ServedRemote>(testenv::RemoteKind::LocalFolder,
                                                         testenv::Scratch() + "/served");
        alpha = {served->Remote(), {}, testenv::Scratch() + "/ALPHA/", "ALPHA"};
        bravo = {served->Remote(), {}, testenv::Scratch() + "/BRAVO/", "BRAVO"};
        for (const std::string& folder : {alpha.BackupDir, bravo.BackupDir}) {
            fs::remove_all(folder);
            fs::create_directories(folder);
        }
    }
    // A set of `at` holding `file`, with its checksums.
    static void MakeSet(const remote::Where& at, const std::string& name,
                        const std::string& file = "game1.sav") {
        testenv::WriteFile(at.BackupDir + name + "/" + file, "saved in " + name);
        ASSERT_TRUE(testenv::WriteManifestOf(at.BackupDir + name + "/", {file}));
    }
    static Names Pushed(const remote::RemoteRun& run) {
        Names names;
        for (const remote::MovedSet& set : run.Sets)
            names.push_back(set.Set);
        return names;
    }

    std::unique_ptr<testenv::ServedRemote> served;
    remote::Where alpha, bravo;
};

// A set that does not match its checksums or has none, has a file over the
// limit or of a size the remote does not tell (rclone stands in for such a
// remote), or that rclone can't download (to a disk that takes no file over
// 8 KiB) is refused alone, each time, and nothing of it stays here; the
// other is filed, once.
TEST_F(PushPull, APullRefusesEachBadSetAloneLeavingNothingOfItAndFilesTheRest) {
    for (const char* name : {"MFB1", "MFB2", "MFB3"})
        MakeSet(alpha, name);
    RecordingReporter said;
    ASSERT_EQ(remote::Push({alpha, {}}, said).Sets.size(), 3u);
    const std::string sets = served->Served() + "/ALPHA/";
    testenv::WriteFile(sets + "MFB2/game1.sav", "Saved in MFB2");
    fs::remove(sets + "MFB3/.mfbackup-sums");
    for (const auto& [set, bytes] : {std::pair{"MFB4", 20000}, {"MFB5", 4321}, {"MFB6", 10000}}) {
        testenv::WriteFile(sets + set + "/game1.sav", std::string(bytes, 's'));
        ASSERT_TRUE(testenv::WriteManifestOf(sets + set + "/", {"game1.sav"}));
    }
    const std::string standIn = testenv::Scratch() + "/stand-in/";
    testenv::WriteFile(standIn + "rclone",
                       "#!/bin/bash\ntrap '' XFSZ\nulimit -f 8\nif [ \"$1\" = lsjson ]; then\n  " +
                           platform::FindOnPath("rclone") +
                           " \"$@\" | sed 's/\"Size\":4321,/\"Size\":-1,/'\n"
                           "  exit ${PIPESTATUS[0]}\nfi\nexec " +
                           platform::FindOnPath("rclone") + " \"$@\"\n");
    fs::permissions(standIn + "rclone", fs::perms::owner_all);
    const std::string path = std::getenv("PATH");

    for (const std::size_t filed : {1u, 0u}) {
        RecordingReporter pulling;
        setenv("PATH", (standIn + ":" + path).c_str(), 1);
        const remote::RemoteRun run = remote::Pull({bravo, {}, 16000}, pulling);
        setenv("PATH", path.c_str(), 1);
        EXPECT_EQ(run.Sets.size(), filed);
        EXPECT_EQ(run.Failures, 5u);
        std::sort(pulling.said.begin(), pulling.said.end());
        const char* const refused[] = {
            "ALPHA/MFB2: the copy on the remote is damaged",
            "ALPHA/MFB3: not pulled: it has no checksums on the remote (not put whole)",
            "ALPHA/MFB4: not pulled: game1.sav is 20000 bytes, over the limit of 16000 bytes "
            "for a pulled file",
            "ALPHA/MFB5: not pulled: the remote does not tell the size of game1.sav",
            "ALPHA/MFB6: not pulled: rclone copy "};
        ASSERT_EQ(pulling.said.size(), std::size(refused));
        for (std::size_t i = 0; i < std::size(refused); ++i)
            EXPECT_EQ(pulling.said[i].rfind(refused[i], 0), 0u) << pulling.said[i];
        EXPECT_NE(pulling.said[4].find("game1.sav: file too large"), std::string::npos);
        EXPECT_EQ(pulling.causes, Names{"game1.sav is damaged (checksum)"});
        const Names here = SetsIn(bravo.BackupDir); // no download left either
        ASSERT_EQ(here.size(), 1u);
        EXPECT_EQ(sets::ReadSetOrigin(bravo.BackupDir + here[0] + "/"), "ALPHA/MFB1");
    }
}

// A checksums file that reaches its name on the remote while a push is about
// to give its own that name (another push of the same set, a hostile
// writer) is never replaced: the set is refused and that file stays.
TEST_F(PushPull, APushReplacesNoChecksumsFileThatReachedTheRemoteBeforeItsOwn) {
    MakeSet(alpha, "MFB1");
    const std::string planted = served->Served() + "/ALPHA/MFB1/.mfbackup-sums";
    const std::string standIn = testenv::Scratch() + "/stand-in/";
    testenv::WriteFile(standIn + "rclone",
                       "#!/bin/bash\nif [ \"$1\" = moveto ]; then\n  echo planted >'" + planted +
                           "'\nfi\nexec " + platform::FindOnPath("rclone") + " \"$@\"\n");
    fs::permissions(standIn + "rclone", fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    setenv("PATH", (standIn + ":" + path).c_str(), 1);
    RecordingReporter said;
    const remote::RemoteRun run = remote::Push({alpha, {}}, said);
    setenv("PATH", path.c_str(), 1);
    EXPECT_TRUE(run.Sets.empty());
    EXPECT_EQ(run.Failures, 1u);
    EXPECT_EQ(testenv::ReadFile(planted), "planted\n");
}

// What a push leaves out: a set pulled from another machine (it is on the
// remote under that machine), an unfinished one, one the remote holds
// already, one made without checksums; and it refuses one whose name the
// remote holds with other files. Named, the unfinished and the unchecked
// one are failures.
TEST_F(PushPull, APushTakesOnlyThisMachinesFinishedSetsThatTheRemoteLacks) {
    RecordingReporter said;
    MakeSet(alpha, "MFB1");
    ASSERT_EQ(remote::Push({alpha, {}}, said).Sets.size(), 1u);
    remote::Where before = alpha; // a backup folder begun anew since
    before.BackupDir = testenv::Scratch() + "/before/";
    MakeSet(before, "MFB4", "characters.lpl");
    ASSERT_EQ(remote::Push({before, {}}, said).Sets.size(), 1u);
    for (const char* name : {"MFB2", "MFB3", "MFB4", "MFB5", "MFB6"})
        MakeSet(alpha, name);
    testenv::WriteFile(alpha.BackupDir + "MFB2/" + sets::OriginName, "BRAVO/MFB7\n");
    testenv::WriteFile(alpha.BackupDir + "MFB3/" + sets::UnfinishedName, "");
    fs::remove(alpha.BackupDir + "MFB6/.mfbackup-sums");

    const struct {
        Names named;
        Names pushed;
        Names messages;
        std::size_t failures;
    } cases[] = {
        {{},
         {"MFB5"},
         {"MFB4: the remote holds another set of this name (ALPHA/MFB4): not pushed",
          "Sets made without checksums are not pushed: MFB6"},
         1},
        {{"MFB2", "MFB3", "MFB5", "MFB6"},
         {},
         {"MFB2 was pulled from BRAVO/MFB7: not pushed again", "MFB3 is unfinished: not pushed",
          "MFB6: it has no checksums, so its copy could not be checked"},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.named));
        RecordingReporter pushing;
        const remote::RemoteRun run = remote::Push({alpha, c.named}, pushing);
        EXPECT_EQ(Pushed(run), c.pushed);
        std::sort(pushing.said.begin(), pushing.said.end());
        EXPECT_EQ(pushing.said, c.messages);
        EXPECT_EQ(run.Failures, c.failures);
        EXPECT_EQ(SetsIn(served->Served() + "/ALPHA"), (Names{"MFB1", "MFB4", "MFB5"}));
        EXPECT_FALSE(testenv::Exists(served->Served() + "/ALPHA/MFB4/game1.sav"));
    }
}

// A link planted on the remote where a push would write (a file of a set,
// a set's folder, the machine's folder) would have the set written where it
// points, a player's save say: the set is refused naming the link, which
// stays as it was with what it points to, and the other set is pushed. The
// remote's top may be a link of the user's own.
TEST_F(PushPull, APushRefusesTheSetsALinkOnTheRemoteLeadsToAndWritesNothingThroughIt) {
    MakeSet(alpha, "MFB1");
    MakeSet(alpha, "MFB2", "characters.lpl");
    const std::string target = testenv::Scratch() + "/game/";
    const std::string linkedTop = testenv::Scratch() + "/linked-remote";
    fs::remove(linkedTop);
    fs::create_symlink(served->Served(), linkedTop);
    const struct {
        const char* link;
        const char* to; // below `target`
        Names refused;  // the other set is pushed
        std::string remote;
    } cases[] = {
        {"ALPHA/MFB2/characters.lpl", "characters.lpl", {"MFB2"}, served->Remote()},
        {"ALPHA/MFB2/characters.lpl", "characters.lpl", {"MFB2"}, linkedTop},
        {"ALPHA/MFB2", "", {"MFB2"}, served->Remote()},
        {"ALPHA", "", {"MFB1", "MFB2"}, served->Remote()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.link) + " in " + c.remote);
        fs::remove_all(served->Served());
        fs::remove_all(target);
        testenv::WriteFile(target + "characters.lpl", "the player's save");
        const fs::path link = served->Served() + "/" + c.link;
        fs::create_directories(link.parent_path());
        fs::create_symlink(target + c.to, link);
        RecordingReporter said;
        remote::Where at = alpha;
        at.Remote = c.remote;
        const remote::RemoteRun run = remote::Push({at, {}}, said);
        EXPECT_EQ(Pushed(run), c.refused.size() == 1 ? Names{"MFB1"} : Names{});
        Names refusals;
        for (const std::string& set : c.refused)
            refusals.push_back(set + ": " + c.link +
                               " on the remote is a link, which a push never writes through");
        EXPECT_EQ(said.said, refusals);
        EXPECT_EQ(run.Failures, refusals.size());
        EXPECT_TRUE(fs::is_symlink(link));
        EXPECT_EQ(SetsIn(target), Names{});
        EXPECT_EQ(testenv::ReadFile(target + "characters.lpl"), "the player's save");
    }
}

// A disk that reports a write error when the sets are flushed: no set is
// left that may not be on it whole.
TEST_F(PushPull, APullWhoseSetsCannotReachTheDiskLeavesNoneOfThem) {
    MakeSet(alpha, "MFB1");
    MakeSet(alpha, "MFB2", "net.sav");
    RecordingReporter said;
    ASSERT_EQ(remote::Push({alpha, {}}, said).Sets.size(), 2u);
    platform::FailFlushesForTesting(true);
    const remote::RemoteRun run = remote::Pull({bravo, {}}, said);
    platform::FailFlushesForTesting(false);
    EXPECT_TRUE(run.Sets.empty());
    EXPECT_EQ(run.Failures, 2u);
    EXPECT_EQ(SetsIn(bravo.BackupDir), Names{});
}

// Filing writes sets into the backup folder: a pull waits while another run
// holds its lock, and files its sets once it is free.
TEST_F(PushPull, APullWaitsForTheBackupFolderLockBeforeItFilesASet) {
    MakeSet(alpha, "MFB1");
    RecordingReporter said;
    ASSERT_EQ(remote::Push({alpha, {}}, said).Sets.size(), 1u);
    platform::FolderLock backup;
    ASSERT_EQ(backup.TryLock(bravo.BackupDir), platform::FolderLock::Outcome::Taken);

    RecordingReporter pulling;
    std::atomic<bool> waiting{false};
    pulling.onWait = [&] { return waiting = true; };
    std::atomic<std::size_t> pulled{99};
    std::thread pull([&] { pulled = remote::Pull({bravo, {}}, pulling).Sets.size(); });
    for (int i = 0; i < 400 && !waiting; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_TRUE(waiting);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(pulled, 99u);
    const Names here = SetsIn(bravo.BackupDir); // the download, waiting
    EXPECT_TRUE(std::none_of(here.begin(), here.end(), sets::IsSetName));
    backup.Unlock();
    pull.join();
    EXPECT_EQ(pulled, 1u);
}

} // namespace
