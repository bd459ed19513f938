// Push and pull between two machines' backup folders (ALPHA and BRAVO)
// through a local folder and through WebDAV, with a reporter that records
// what the runs say.

#include "common/manifests.h"
#include "common/served_remote.h"
#include "common/test_env.h"
#include "platform/folder_lock.h"
#include "platform/sync.h"
#include "remote/push_pull.h"
#include "sets/backup_set.h"
#include "sets/verify.h"

#include <QDateTime>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <sys/stat.h>

namespace fs = std::filesystem;
using testenv::RemoteKind;
using Names = std::vector<std::string>;

namespace {

// What a run said: each message ("text: cause" for a failure) and progress line.
class Recorder : public core::Reporter {
public:
    void Message(const std::string& text) override { Add(messages_, text); }
    void Failure(const std::string& text, const std::string& cause) override {
        Add(messages_, text + ": " + cause);
    }
    void ProgressText(const std::string& text) override { Add(progress_, text); }
    void WaitStart(const std::string&, const std::string& text) override { Add(progress_, text); }

    Names Messages() const { return Copy(messages_); }
    bool Said(const std::string& progress) const {
        const Names lines = Copy(progress_);
        return std::find(lines.begin(), lines.end(), progress) != lines.end();
    }

private:
    void Add(Names& lines, const std::string& line) {
        const std::lock_guard<std::mutex> lock(mutex_);
        lines.push_back(line);
    }
    Names Copy(const Names& lines) const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return lines;
    }
    mutable std::mutex mutex_;
    Names messages_, progress_;
};

// 16:09:30 on 7 Dec 2026, local time: the time of the sets' files.
std::int64_t SetTime() {
    return QDateTime(QDate(2026, 12, 7), QTime(16, 9, 30)).toSecsSinceEpoch();
}

// What a folder holds, the folder lock's file aside (there is no runtime
// folder in the tests).
Names SetFolders(const std::string& backupDir) {
    Names names;
    for (const auto& entry : fs::directory_iterator(backupDir))
        if (entry.path().filename() != ".mfbackup-lock")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class TwoMachines : public ::testing::Test {
protected:
    void Start(RemoteKind kind) {
        served = std::make_unique<testenv::ServedRemote>(kind, testenv::Scratch() + "/served");
        for (auto [at, name] : {std::pair<remote::Where*, std::string>{&alpha, "ALPHA"},
                                std::pair<remote::Where*, std::string>{&bravo, "BRAVO"}}) {
            *at = {served->Remote(), served->ConfigFile(), testenv::Scratch() + "/" + name + "/",
                   name};
            fs::create_directories(at->BackupDir);
        }
    }

    // A set of `at` holding `files`, with its checksums and desc.txt, every
    // file last written at SetTime().
    static void MakeSet(const remote::Where& at, const std::string& name,
                        const std::map<std::string, std::string>& files,
                        const std::string& description = {}) {
        const std::string folder = at.BackupDir + name + "/";
        Names names;
        for (const auto& [file, bytes] : files) {
            testenv::WriteFile(folder + file, bytes);
            names.push_back(file);
        }
        if (!description.empty())
            testenv::WriteFile(folder + "desc.txt", description + "\r\n");
        ASSERT_TRUE(testenv::WriteManifestOf(folder, names));
        for (const auto& entry : fs::directory_iterator(folder))
            fs::last_write_time(entry.path(), fs::file_time_type::clock::from_sys(
                                                  std::chrono::system_clock::from_time_t(
                                                      static_cast<std::time_t>(SetTime()))));
    }

    static remote::RemoteRun Push(const remote::Where& at, Recorder& said, Names sets = {}) {
        return remote::Push({at, std::move(sets)}, said);
    }
    static remote::RemoteRun Pull(const remote::Where& at, Recorder& said,
                                  const std::string& from = {}) {
        return remote::Pull({at, from}, said);
    }

    std::unique_ptr<testenv::ServedRemote> served;
    remote::Where alpha, bravo;
};

class PushPull : public TwoMachines, public ::testing::WithParamInterface<RemoteKind> {
protected:
    void SetUp() override { Start(GetParam()); }
};

class PushPullLocal : public TwoMachines {
protected:
    void SetUp() override { Start(RemoteKind::LocalFolder); }
};

TEST_P(PushPull, APulledSetIsTheRemoteSetByteForByteWithItsOriginAndADescriptionNamingIt) {
    MakeSet(alpha, "MFB1", {{"game1.sav", "first character"}, {"net.sav", "net"}},
            "Before the dragon");
    MakeSet(alpha, "MFB2", {{"characters.lpl", std::string(70000, 'c')}});
    Recorder said;
    const remote::RemoteRun pushed = Push(alpha, said);
    ASSERT_TRUE(pushed.Ok()) << testing::PrintToString(said.Messages());
    ASSERT_EQ(pushed.Sets.size(), 2u);
    EXPECT_EQ(pushed.Sets[0].Files + pushed.Sets[1].Files, 3u);

    const remote::RemoteRun pulled = Pull(bravo, said);
    ASSERT_TRUE(pulled.Ok()) << testing::PrintToString(said.Messages());
    ASSERT_EQ(pulled.Sets.size(), 2u);
    // Only the new sets: no download is left behind.
    Names locals{pulled.Sets[0].Local, pulled.Sets[1].Local};
    std::sort(locals.begin(), locals.end());
    EXPECT_EQ(SetFolders(bravo.BackupDir), locals);

    // The remote keeps the file times the sets were written with; WebDAV
    // keeps none, and its sets are as old as their push.
    const bool timesKept = GetParam() == RemoteKind::LocalFolder;
    for (const remote::MovedSet& set : pulled.Sets) {
        SCOPED_TRACE(set.Set);
        EXPECT_EQ(set.Machine, "ALPHA");
        const std::string mine = alpha.BackupDir + set.Set + "/";
        const std::string here = bravo.BackupDir + set.Local + "/";
        sets::Manifest theirs, ours;
        ASSERT_EQ(sets::ReadManifest(mine, theirs), sets::ManifestRead::Read);
        ASSERT_EQ(sets::ReadManifest(here, ours), sets::ManifestRead::Read);
        EXPECT_EQ(ours.Entries, theirs.Entries);
        for (const sets::ManifestEntry& entry : theirs.Entries)
            EXPECT_EQ(testenv::ReadFile(here + entry.Name), testenv::ReadFile(mine + entry.Name));
        EXPECT_EQ(sets::ReadSetOrigin(here), "ALPHA/" + set.Set);
        EXPECT_EQ(sets::VerifySet(here, set.Local).Status(), sets::SetStatus::Ok);
        std::string description;
        sets::ReadSetDescription(bravo.BackupDir, set.Local, description);
        const std::string own = set.Set == "MFB1" ? ": Before the dragon" : "";
        if (timesKept) {
            EXPECT_EQ(description, "ALPHA " + set.Set + " 7 Dec 2026 16:09" + own);
        }
        EXPECT_EQ(description.rfind("ALPHA " + set.Set + " ", 0), 0u) << description;
        EXPECT_TRUE(description.size() >= own.size() &&
                    description.compare(description.size() - own.size(), own.size(), own) == 0)
            << description;
    }

    // Each set is pulled once; a second pull finds nothing new.
    const remote::RemoteRun again = Pull(bravo, said);
    EXPECT_TRUE(again.Ok() && again.Sets.empty());
    EXPECT_EQ(SetFolders(bravo.BackupDir), locals);
}

// A set whose copy on the remote does not match its checksums, or that has
// none, is refused and nothing of it stays here; the others are filed.
TEST_P(PushPull, APullRefusesADamagedOrIncompleteSetLeavingNothingOfItAndFilesTheRest) {
    for (const char* name : {"MFB1", "MFB2", "MFB3"})
        MakeSet(alpha, name, {{"game1.sav", std::string("saved in ") + name}});
    Recorder said;
    ASSERT_EQ(Push(alpha, said).Sets.size(), 3u);
    const std::string there = served->Served() + "/ALPHA/";
    testenv::WriteFile(there + "MFB2/game1.sav", "Saved in MFB2");
    fs::remove(there + "MFB3/.mfbackup-sums");

    for (int pull = 0; pull < 2; ++pull) {
        SCOPED_TRACE(pull);
        Recorder pulling;
        const remote::RemoteRun run = Pull(bravo, pulling);
        EXPECT_EQ(run.Failures, 2u);
        Names messages = pulling.Messages();
        std::sort(messages.begin(), messages.end());
        EXPECT_EQ(messages,
                  (Names{"ALPHA/MFB2: the copy on the remote is damaged: game1.sav is damaged "
                         "(checksum)",
                         "ALPHA/MFB3: the copy on the remote is damaged: it has no checksums on "
                         "the remote (not put whole)"}));
        ASSERT_EQ(run.Sets.size(), pull == 0 ? 1u : 0u);
        const Names folders = SetFolders(bravo.BackupDir);
        ASSERT_EQ(folders.size(), 1u);
        EXPECT_EQ(sets::ReadSetOrigin(bravo.BackupDir + folders[0] + "/"), "ALPHA/MFB1");
    }
}

INSTANTIATE_TEST_SUITE_P(Remotes, PushPull,
                         ::testing::Values(RemoteKind::LocalFolder, RemoteKind::WebdavOnTheFly),
                         [](const auto& info) { return testenv::KindName(info.param); });

// What a push leaves out: a set pulled from another machine (it is on the
// remote under that machine), an unfinished one, one the remote holds
// already; and it refuses one whose name the remote holds with other files.
TEST_F(PushPullLocal, APushTakesOnlyThisMachinesFinishedSetsThatTheRemoteLacks) {
    Recorder said;
    MakeSet(alpha, "MFB1", {{"game1.sav", "pushed before"}});
    ASSERT_EQ(Push(alpha, said).Sets.size(), 1u);
    // Another MFB4 of this machine reached the remote before (a backup folder
    // begun anew).
    remote::Where before = alpha;
    before.BackupDir = testenv::Scratch() + "/before/";
    MakeSet(before, "MFB4", {{"game1.sav", "an older game"}});
    ASSERT_EQ(Push(before, said).Sets.size(), 1u);

    MakeSet(alpha, "MFB2", {{"game1.sav", "from bravo"}});
    testenv::WriteFile(alpha.BackupDir + "MFB2/" + sets::OriginName, "BRAVO/MFB7\n");
    MakeSet(alpha, "MFB3", {{"game1.sav", "half"}});
    testenv::WriteFile(alpha.BackupDir + "MFB3/" + sets::UnfinishedName, "");
    MakeSet(alpha, "MFB4", {{"game1.sav", "this game"}});
    MakeSet(alpha, "MFB5", {{"game1.sav", "new"}, {"net.sav", "net"}});
    MakeSet(alpha, "MFB6", {{"game1.sav", "made by an older version"}});
    fs::remove(alpha.BackupDir + "MFB6/.mfbackup-sums");
    const auto remoteSets = [&] { return SetFolders(served->Served() + "/ALPHA"); };

    const struct {
        Names named;
        Names pushed;
        Names messages;
        std::size_t failures;
    } cases[] = {
        {{},
         {"MFB5"},
         {"Sets made without checksums are not pushed: MFB6",
          "MFB4: the remote holds another set of this name (ALPHA/MFB4): not pushed"},
         1},
        {{"MFB2", "MFB3", "MFB5", "MFB6"},
         {},
         {"MFB2 was pulled from BRAVO/MFB7: not pushed again", "MFB3 is unfinished: not pushed",
          "MFB6: it has no checksums, so its copy could not be checked"},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.named));
        Recorder pushing;
        const remote::RemoteRun run = Push(alpha, pushing, c.named);
        Names pushed;
        for (const remote::MovedSet& set : run.Sets)
            pushed.push_back(set.Set);
        EXPECT_EQ(pushed, c.pushed);
        EXPECT_EQ(pushing.Messages(), c.messages);
        EXPECT_EQ(run.Failures, c.failures);
        EXPECT_EQ(remoteSets(), (Names{"MFB1", "MFB4", "MFB5"}));
        EXPECT_EQ(testenv::ReadFile(served->Served() + "/ALPHA/MFB4/game1.sav"), "an older game");
    }
}

// Nothing is tried, and the run says why, without a remote, without this
// machine's name, without rclone, or for a pull from this machine itself.
TEST_F(PushPullLocal, ARunThatCannotBeginSaysWhyAndTriesNothing) {
    MakeSet(alpha, "MFB1", {{"game1.sav", "saved"}});
    const std::string path = std::getenv("PATH");
    const std::string noPrograms = testenv::Scratch() + "/no-programs";
    fs::create_directories(noPrograms);
    const struct {
        const char* what;
        void (*change)(remote::Where& at, std::string& from);
        const char* said;
    } cases[] = {
        {"no remote", [](remote::Where& at, std::string&) { at.Remote.clear(); },
         "No remote is set"},
        {"no name", [](remote::Where& at, std::string&) { at.Machine.clear(); },
         "This machine's name is not known"},
        {"itself", [](remote::Where&, std::string& from) { from = "ALPHA"; },
         "ALPHA is this machine"},
        {"no rclone", [](remote::Where&, std::string&) {}, "rclone is not installed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        remote::Where at = alpha;
        std::string from;
        c.change(at, from);
        if (std::string(c.what) == "no rclone")
            setenv("PATH", noPrograms.c_str(), 1);
        Recorder said;
        std::vector<remote::RemoteRun> runs;
        if (from.empty())
            runs.push_back(Push(at, said));
        runs.push_back(Pull(at, said, from));
        setenv("PATH", path.c_str(), 1);
        for (const remote::RemoteRun& run : runs)
            EXPECT_TRUE(run.Unusable && run.Sets.empty());
        EXPECT_EQ(said.Messages().size(), runs.size());
        for (const std::string& message : said.Messages())
            EXPECT_EQ(message.rfind(c.said, 0), 0u) << message;
        EXPECT_TRUE(fs::is_empty(served->Served()));
    }
}

// A disk that reports a write error when the sets are flushed: no set is
// left that may not be on it whole.
TEST_F(PushPullLocal, APullWhoseSetsCannotReachTheDiskLeavesNoneOfThem) {
    MakeSet(alpha, "MFB1", {{"game1.sav", "saved"}});
    MakeSet(alpha, "MFB2", {{"net.sav", "net"}});
    Recorder said;
    ASSERT_EQ(Push(alpha, said).Sets.size(), 2u);
    platform::FailFlushesForTesting(true);
    const remote::RemoteRun run = Pull(bravo, said);
    platform::FailFlushesForTesting(false);
    EXPECT_TRUE(run.Sets.empty());
    EXPECT_EQ(run.Failures, 2u);
    EXPECT_EQ(SetFolders(bravo.BackupDir), Names{});
}

// Filing writes sets into the backup folder: a pull waits while another
// operation holds its lock, and files its sets once it is free.
TEST_F(PushPullLocal, APullWaitsForTheBackupFolderLockBeforeItFilesASet) {
    MakeSet(alpha, "MFB1", {{"game1.sav", "saved"}});
    Recorder said;
    ASSERT_EQ(Push(alpha, said).Sets.size(), 1u);
    platform::FolderLock backup;
    ASSERT_EQ(backup.TryLock(bravo.BackupDir), platform::FolderLock::Outcome::Taken);

    Recorder pulling;
    std::atomic<std::size_t> pulled{99};
    std::thread pull([&] { pulled = Pull(bravo, pulling).Sets.size(); });
    for (int i = 0; i < 400 && !pulling.Said("Waiting for another backup to end..."); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    EXPECT_TRUE(pulling.Said("Waiting for another backup to end..."));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(pulled, 99u);
    for (const std::string& name : SetFolders(bravo.BackupDir))
        EXPECT_FALSE(sets::IsSetName(name)) << name;
    backup.Unlock();
    pull.join();
    EXPECT_EQ(pulled, 1u);
}

} // namespace
