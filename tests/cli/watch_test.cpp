// mfbackup-cli watch as its systemd unit runs it: a backup once the game has
// written no save for the quiet time, the settings read again for each and
// once their file changed, a save still being written left for the next, and
// SIGTERM ending it at once while it waits, or between two files of a backup.

#include "auto_fixture.h"
#include "sets/backup_set.h"

#include <QThread>

#include <csignal>
#include <filesystem>
#include <functional>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class WatchTest : public AutoTest {
protected:
    std::string Watching(const std::string& game) const {
        return "mfbackup-cli: watching the save folders in " + game + "save/\n";
    }
    // Waits until `done` holds, for 20 s at most.
    static bool Eventually(const std::function<bool()>& done) {
        for (int i = 0; i < 2000 && !done(); ++i)
            QThread::msleep(10);
        return done();
    }
};

TEST_F(WatchTest, BacksUpOnceTheGameHasWrittenNothingForTheQuietTime) {
    Running watch({"watch", "--once", "--quiet", "1"}, env_);
    ASSERT_TRUE(watch.WaitForError(Watching(gameDir))) << watch.Err();
    QElapsedTimer clock;
    clock.start();
    Save("games/game1.sav", "played");

    EXPECT_EQ(watch.Finish(), 0) << watch.Err();
    EXPECT_GE(clock.elapsed(), 1000);
    ASSERT_EQ(Sets().size(), 1u);
    const std::string set = Sets()[0];
    EXPECT_EQ(testenv::ReadFile(backupDir + set + "/game1.sav"), "played");
    EXPECT_EQ(Description(set).rfind("Saved while playing ", 0), 0u) << Description(set);
    const std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].substr(19), "\twatch\tMoonforge saves backed up: 1 file into " + set);
}

TEST_F(WatchTest, WatchesANewGameFolderOnceTheSettingsNameItAndReadsThemForEachBackup) {
    Running watch({"watch", "--quiet", "1"}, env_);
    ASSERT_TRUE(watch.WaitForError(Watching(gameDir))) << watch.Err();
    const std::string other = testenv::Scratch() + "/other game/";
    for (const char* sub : {"save/characters", "save/net", "save/games"})
        fs::create_directories(other + sub);
    ASSERT_EQ(Cli({"settings", "set", "zip", "on"}).exitCode, 0);
    ASSERT_EQ(Cli({"settings", "set", "game-dir", QString::fromStdString(other)}).exitCode, 0);

    // No write in the old folder first: the new one is watched at once.
    ASSERT_TRUE(watch.WaitForError(Watching(other))) << watch.Err();
    testenv::WriteFile(other + "save/net/net.sav", "the new game");
    ASSERT_TRUE(Eventually([] { return LogLines().size() == 1; })) << watch.Err();
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Finish(), 0);
    ASSERT_EQ(Sets().size(), 1u);
    EXPECT_EQ(Files(backupDir + Sets()[0]), (Names{".mfbackup-sums", "desc.txt", "net.zip"}));
}

// The game writes half a save and pauses, the file still open, past the
// quiet time another save of it started: that backup leaves the half out,
// and the one after its last write takes it whole.
TEST_F(WatchTest, ASaveHalfWrittenWhenTheQuietTimeEndsWaitsForTheBackupAfterItsLastWrite) {
    Running watch({"watch", "--quiet", "1"}, env_);
    ASSERT_TRUE(watch.WaitForError(Watching(gameDir))) << watch.Err();
    const std::string game = gameDir + "save/games/game1.sav", half(500000, 'h');
    const int writer = ::open(game.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::write(writer, half.data(), half.size()), static_cast<ssize_t>(half.size()));
    Save("characters/characters.lpl", "played");
    ASSERT_TRUE(Eventually([] { return LogLines().size() == 1; })) << watch.Err();
    EXPECT_TRUE(Changed(game));
    ASSERT_EQ(::write(writer, half.data(), half.size()), static_cast<ssize_t>(half.size()));
    ::close(writer);
    ASSERT_TRUE(Eventually([] { return LogLines().size() == 2; })) << watch.Err();
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Finish(), 0);

    EXPECT_TRUE(LogLines()[0].ends_with("; 1 file being written, left for the next backup"))
        << LogLines()[0];
    Names holding;
    for (const std::string& set : Sets())
        if (testenv::Exists(backupDir + set + "/game1.sav"))
            holding.push_back(testenv::ReadFile(backupDir + set + "/game1.sav"));
    EXPECT_EQ(holding, Names{half + half});
    EXPECT_FALSE(Changed(game));
}

TEST_F(WatchTest, SigtermWhileWaitingEndsItAtOnce) {
    Running watch({"watch"}, env_);
    ASSERT_TRUE(watch.WaitForError(Watching(gameDir))) << watch.Err();
    Save("characters/characters.lpl", "played"); // its quiet time just begun
    QThread::msleep(100);
    QElapsedTimer clock;
    clock.start();
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Finish(), 0);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(Sets().empty());
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(WatchTest, SigtermDuringABackupEndsItBetweenTwoFilesLeavingTheSetUnfinished) {
    // Compressed, each file by an archiver of its own: a backup that lasts.
    BackupConfig.ZipBackups = 1;
    ASSERT_TRUE(testenv::SaveSettings());
    std::vector<std::string> saves;
    for (int i = 1; i <= 400; ++i)
        saves.push_back(Save("games/game" + std::to_string(i) + ".sav", std::string(1000, 'g')));
    Running watch({"watch", "--quiet", "1"}, env_);
    ASSERT_TRUE(watch.WaitForError(Watching(gameDir))) << watch.Err();
    saves.push_back(Save("characters/characters.lpl", "played"));

    std::string set;
    ASSERT_TRUE(Eventually([&] {
        const Names sets = Sets();
        set = sets.empty() ? "" : backupDir + sets[0] + "/";
        return !set.empty() && testenv::Exists(set + "characters.zip");
    }));
    watch.Signal(SIGTERM);
    EXPECT_EQ(watch.Finish(), 0) << watch.Err();

    EXPECT_TRUE(sets::IsSetUnfinished(set));
    const Names files = Files(set);
    EXPECT_LT(files.size(), saves.size());
    // Each file there is whole; no archiver's temporary is left.
    for (const std::string& name : files)
        EXPECT_TRUE(name == ".mfbackup-unfinished" || name == "desc.txt" ||
                    name.rfind(".zip") == name.size() - 4)
            << name;
    for (const std::string& save : saves)
        EXPECT_TRUE(Changed(save)) << save;
    const std::vector<std::string> log = LogLines();
    ASSERT_EQ(log.size(), 1u);
    const std::size_t stored = files.size() - 2; // desc.txt and the mark aside
    EXPECT_EQ(log[0].substr(19), "\twatch\tMoonforge backup stopped: " + std::to_string(stored) +
                                     (stored == 1 ? " file" : " files") + " into " + Sets()[0] +
                                     " left unfinished");
}

} // namespace
