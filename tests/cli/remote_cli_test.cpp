// mfbackup-cli push, pull and remote on two machines: this home (ALPHA, its
// name in the test's Wine prefix) and a second one (BRAVO, another prefix
// and backup folder through another settings file), sharing a local folder
// or a WebDAV server as their remote.

#include "cli_tree.h"
#include "common/manifests.h"
#include "common/served_remote.h"
#include "sets/backup_set.h"

#include <QJsonArray>

#include <chrono>
#include <csignal>
#include <map>
#include <memory>
#include <thread>

#include <sys/stat.h>

namespace fs = std::filesystem;
using testenv::RemoteKind;

namespace {

// A Wine prefix's system.reg naming the machine as the game sees it.
void NameMachine(const std::string& prefix, const std::string& name) {
    testenv::WriteFile(prefix + "/system.reg",
                       "WINE REGISTRY Version 2\n\n"
                       "[System\\\\CurrentControlSet\\\\Control\\\\ComputerName\\\\ComputerName] "
                       "1700000000\n\"ComputerName\"=\"" +
                           name + "\"\n");
}

// Each file of `folder` by name, with its bytes.
std::map<std::string, std::string> Contents(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder))
        files[entry.path().filename().string()] = testenv::ReadFile(entry.path());
    return files;
}

Names SetsIn(const std::string& folder) {
    Names names;
    if (fs::exists(folder))
        for (const auto& entry : fs::directory_iterator(folder))
            if (sets::IsSetName(entry.path().filename().string()))
                names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class RemoteCli : public CliTree {
protected:
    void SetUp() override {
        CliTree::SetUp();
        NameMachine(testenv::WinePrefix(), "ALPHA");
        served = std::make_unique<testenv::ServedRemote>(Kind(), testenv::Scratch() + "/served");
        remote = QString::fromStdString(served->Remote());
        if (!served->ConfigFile().empty())
            rclone = {"--rclone-config", QString::fromStdString(served->ConfigFile())};
        // The second machine: its own prefix, game and backup folder.
        const std::string prefix = testenv::Scratch() + "/bravo-prefix";
        bravoBackup = testenv::Scratch() + "/bravo-backup/";
        for (const std::string& old :
             {prefix, bravoBackup, testenv::ConfigHome() + "/mfbackup-remote"})
            fs::remove_all(old);
        NameMachine(prefix, "BRAVO");
        bravoGame = prefix + "/drive_c/Program Files/Corvanta Software/Moonforge/";
        fs::create_directories(bravoGame + "save/games");
        fs::create_directories(bravoBackup);
        bravo = {"--config", QString::fromStdString(testenv::Scratch() + "/bravo.ini")};
        Run(bravo + QStringList{"settings", "set", "game-dir", QString::fromStdString(bravoGame)});
        Run(bravo +
            QStringList{"settings", "set", "backup-dir", QString::fromStdString(bravoBackup)});
    }
    virtual RemoteKind Kind() const { return RemoteKind::LocalFolder; }

    std::unique_ptr<testenv::ServedRemote> served;
    QString remote;
    QStringList rclone; // rclone's configuration, when the remote is one of it
    QStringList bravo;  // the second machine's settings file
    std::string bravoGame, bravoBackup;
};

class TwoMachines : public RemoteCli, public ::testing::WithParamInterface<RemoteKind> {
protected:
    RemoteKind Kind() const override { return GetParam(); }
};

TEST_P(TwoMachines, ShareTheirSetsThroughTheRemote) {
    // ALPHA keeps the remote in its setting, BRAVO names it. The
    // set was written at 16:09 on 7 Dec 2026, as a local folder keeps it.
    Save("characters/characters.lpl", "alpha's characters");
    Save("net/net.sav", "alpha's net game");
    Run({"backup", "--desc", "Before the dragon"});
    const std::string alphaSet = Sets()[0];
    const auto written = fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(
        QDateTime(QDate(2026, 12, 7), QTime(16, 9)).toSecsSinceEpoch()));
    for (const auto& file : fs::directory_iterator(backupDir + alphaSet))
        fs::last_write_time(file.path(), written);
    Run({"settings", "set", "remote", remote});
    EXPECT_EQ(Run(QStringList{"push"} + rclone), "pushed " + alphaSet + " (2 files)\n");
    EXPECT_EQ(SetsIn(served->Served() + "/ALPHA"), Names{alphaSet});

    // BRAVO files it as a set of its own, once.
    const QStringList pull = bravo + QStringList{"pull", "--remote", remote} + rclone;
    const std::string pulled = Run(pull);
    ASSERT_EQ(SetsIn(bravoBackup).size(), 1u);
    const std::string copy = SetsIn(bravoBackup)[0], copied = bravoBackup + copy + "/";
    EXPECT_EQ(pulled, "pulled ALPHA/" + alphaSet + " -> " + copy + "\n");
    EXPECT_EQ(testenv::ReadFile(copied + "net.sav"), "alpha's net game");
    const std::string description = testenv::ReadFile(copied + "desc.txt");
    if (GetParam() == RemoteKind::LocalFolder) {
        EXPECT_EQ(description, "ALPHA " + alphaSet + " 7 Dec 2026 16:09: Before the dragon\r\n");
    } else { // WebDAV keeps no file times: the set is as old as its push
        EXPECT_EQ(description.rfind("ALPHA " + alphaSet + " ", 0), 0u) << description;
        EXPECT_NE(description.find(": Before the dragon\r\n"), std::string::npos) << description;
    }
    EXPECT_EQ(Run(pull), "");
    EXPECT_EQ(last.err, "Nothing to pull.\n");
    EXPECT_EQ(Run(QStringList{"push"} + rclone), "");
    EXPECT_EQ(last.err, "Nothing to push.\n");

    // BRAVO pushes its own set, not the one it pulled.
    testenv::WriteFile(bravoGame + "save/games/game1.sav", "bravo's game");
    Run(bravo + QStringList{"backup", "--kinds", "single"});
    Names bravoSets = SetsIn(bravoBackup);
    std::erase(bravoSets, copy);
    ASSERT_EQ(bravoSets.size(), 1u);
    EXPECT_EQ(Run(bravo + QStringList{"push", "--remote", remote} + rclone),
              "pushed " + bravoSets[0] + " (1 file)\n");
    EXPECT_EQ(SetsIn(served->Served() + "/BRAVO"), bravoSets);
    EXPECT_EQ(SetsIn(served->Served() + "/ALPHA"), Names{alphaSet});

    // What the remote holds, by machine, and which of its sets are here.
    EXPECT_EQ(
        Run(QStringList{"remote"} + rclone).rfind("ALPHA (this machine)\n  " + alphaSet + " ", 0),
        0u)
        << last.out;
    const auto listed = [&] { return Json(Run(QStringList{"remote", "--json"} + rclone)).array(); };
    ASSERT_EQ(listed().size(), 2);
    EXPECT_EQ(listed()[0].toObject()["description"], "Before the dragon");
    EXPECT_EQ(listed()[0].toObject()["here"], QString::fromStdString(alphaSet));
    // A set removed here stays on the remote.
    fs::remove_all(backupDir + alphaSet);
    EXPECT_EQ(listed()[0].toObject()["here"], QJsonValue());
    EXPECT_EQ(SetsIn(served->Served() + "/ALPHA"), Names{alphaSet});
}

INSTANTIATE_TEST_SUITE_P(Remotes, TwoMachines,
                         ::testing::Values(RemoteKind::LocalFolder, RemoteKind::WebdavConfigFile),
                         [](const auto& info) { return testenv::KindName(info.param); });

// Without rclone or a remote nothing is tried (exit status 2); a remote that
// does not answer fails the command (1) with rclone's words, and leaves
// nothing here.
TEST_F(RemoteCli, ACommandWithoutRcloneOrARemoteThatAnswersSaysWhy) {
    Save("net/net.sav", "net game");
    Run({"backup"});
    const Names before = Sets();
    const QString unreachable = QString::fromStdString(testenv::WebdavRemote(testenv::FreePort()));
    QProcessEnvironment noRclone = QProcessEnvironment::systemEnvironment();
    noRclone.insert("PATH", QString::fromStdString(testenv::Scratch() + "/no-programs"));
    // One try: a refused connection is not retried for seconds.
    QProcessEnvironment once = QProcessEnvironment::systemEnvironment();
    once.insert("RCLONE_LOW_LEVEL_RETRIES", "1");
    once.insert("RCLONE_RETRIES", "1");
    const struct {
        QStringList args;
        QProcessEnvironment env;
        int exitCode;
        const char* said;
    } cases[] = {
        {{"push"}, once, 2, "mfbackup-cli: no remote is set"},
        {{"pull", "--remote", remote, "--from", "ALPHA"}, once, 2, "ALPHA is this machine"},
        {{"pull", "--remote", remote}, noRclone, 2, "rclone is not installed"},
        {{"remote", "--remote", remote}, noRclone, 2, "rclone is not installed"},
        {{"remote", "--remote", unreachable}, once, 1, "rclone lsjson"},
        {{"pull", "--remote", unreachable}, once, 1, "rclone lsjson"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        EXPECT_EQ(Run(c.args, c.exitCode, c.env), "");
        EXPECT_EQ(last.err.rfind(c.said, 0), 0u) << last.err;
        EXPECT_EQ(Files(backupDir), before); // not even a download
    }
}

// Each set refused alone, named as the terminal may show it: a file over
// the max-file-size setting (--max-file-size goes over it), a machine's name
// of control characters (rclone lists them as their pictures), checksums
// that list one (quoted as \xHH). The other set is filed.
TEST_F(RemoteCli, APullRefusesTheBadSetsShowingTheirNamesEscapedAndFilesTheGoodOne) {
    const std::string evil = "\x1b]0;pwned\x07";
    const struct {
        std::string set, file;
        std::size_t bytes;
    } sets[] = {{"CHARLIE/MFB1", "game1.sav", 200},
                {"CHARLIE/MFB2", "game1.sav", 20000},
                {"CHARLIE/MFB3", evil, 200},
                {"CHARLIE" + evil + "/MFB4", "game1.sav", 200}};
    for (const auto& s : sets) {
        const std::string folder = served->Served() + "/" + s.set + "/";
        testenv::WriteFile(folder + s.file, std::string(s.bytes, 's'));
        ASSERT_TRUE(testenv::WriteManifestOf(folder, {s.file}));
    }
    Run({"settings", "set", "max-file-size", "16K"});
    const std::string pulled = Run({"pull", "--remote", remote}, 1);
    EXPECT_EQ(pulled.rfind("pulled CHARLIE/MFB1 -> MFB", 0), 0u) << pulled;
    for (const char* line :
         {"CHARLIE/MFB2: not pulled: game1.sav is 20000 bytes, over the limit of 16384 bytes "
          "for a pulled file\n",
          "CHARLIE/MFB3: the copy on the remote is damaged: its checksums list "
          "\\x1b]0;pwned\\x07, which is no save file\n",
          "CHARLIE\u241b]0;pwned\u2407/MFB4: not pulled: its name can't be written down here\n"})
        EXPECT_NE(last.err.find(line), std::string::npos) << last.err;
    EXPECT_EQ(std::count(last.err.begin(), last.err.end(), '\n'), 3) << last.err;
    EXPECT_EQ(Run({"pull", "--remote", remote, "--max-file-size", "32K"}, 1)
                  .rfind("pulled CHARLIE/MFB2 -> MFB", 0),
              0u);
}

// A push killed, with its rclone or its rclone alone, in each of the rclone
// calls it makes (while rclone copies, or once it is done): the next push
// finishes the set, which then is on the remote as it is here. The killed
// one never said it pushed a set that is not whole there.
TEST_F(RemoteCli, APushKilledInAnyOfItsStepsIsFinishedByTheNextPush) {
    Save("characters/characters.lpl", std::string(3 << 20, 'c'));
    Save("net/net.sav", "net game");
    Run({"backup", "--desc", "killed push"});
    const std::string set = Sets()[0], there = served->Served() + "/ALPHA/" + set;
    // rclone as the push finds it: the real one, but for its call KILL_AT,
    // which copies slowly and is killed half a second in (with the push
    // when KILL_PUSH is set).
    const std::string bin = testenv::Scratch() + "/killing/";
    testenv::WriteFile(bin + "rclone", R"(#!/bin/sh
n=$(($(cat "$CALLS" 2>/dev/null || echo 0) + 1))
echo $n >"$CALLS"
[ "$n" = "$KILL_AT" ] || exec "$REAL_RCLONE" "$@"
"$REAL_RCLONE" --bwlimit=1M "$@" & sleep 0.5; kill -9 $! 2>/dev/null
[ -z "$KILL_PUSH" ] || kill -9 $PPID
exit 137
)");
    ::chmod((bin + "rclone").c_str(), 0755);
    const std::string calls = bin + "calls";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PATH", QString::fromStdString(bin) + ":" + env.value("PATH"));
    env.insert("REAL_RCLONE", QString::fromStdString(platform::FindOnPath("rclone")));
    env.insert("CALLS", QString::fromStdString(calls));
    const QStringList push{"push", "--remote", remote};

    int stepCalls = 0; // of a push to the end
    for (int kill = 0; kill == 0 || kill <= 2 * stepCalls; ++kill) {
        SCOPED_TRACE("call " + std::to_string((kill + 1) / 2) + (kill % 2 ? " with push" : ""));
        fs::remove_all(served->Served() + "/ALPHA");
        fs::remove(calls);
        QProcessEnvironment killing = env;
        killing.insert("KILL_AT", QString::number((kill + 1) / 2));
        if (kill % 2)
            killing.insert("KILL_PUSH", "1");
        const testenv::Outcome killed = Cli(push, killing);
        if (kill == 0) {
            stepCalls = std::stoi(testenv::ReadFile(calls));
            continue;
        }
        if (killed.out.find("pushed " + set) != std::string::npos) {
            EXPECT_EQ(Contents(there), Contents(backupDir + set)) << killed.out;
        }
        const std::string again = Run(push, 0, env);
        EXPECT_TRUE(again.empty() || again.find("pushed " + set) == 0) << again << last.err;
        EXPECT_EQ(Contents(there), Contents(backupDir + set));
    }
}

// The WebDAV server stops answering, or goes, while a push copies to it:
// the push ends (here after 2 s without progress), failing with the rclone
// call that could not go on, and claims nothing.
TEST_F(RemoteCli, APushWhoseServerStopsInTheMiddleEndsAndFails) {
    Save("characters/characters.lpl", std::string(4 << 20, 'c'));
    Run({"backup"});
    const std::string set = Sets()[0];
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("RCLONE_BWLIMIT", "1M");
    env.insert("MFBACKUP_RCLONE_STALL_SECONDS", "2");
    for (const int signal : {SIGSTOP, SIGKILL}) {
        SCOPED_TRACE(signal);
        served = std::make_unique<testenv::ServedRemote>(RemoteKind::WebdavOnTheFly,
                                                         testenv::Scratch() + "/served");
        QProcess push;
        push.setProcessEnvironment(env);
        push.start(MF_CLI, {"push", "--remote", QString::fromStdString(served->Remote())});
        const std::string copying = served->Served() + "/ALPHA/" + set + "/characters.lpl";
        for (int i = 0; i < 1000 && !fs::exists(copying); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        served->Signal(signal);
        // Far longer than the push needs: a push that hangs fails here.
        EXPECT_TRUE(push.waitForFinished(60000));
        served->Signal(SIGCONT);
        const std::string err = push.readAllStandardError().toStdString();
        EXPECT_EQ(push.exitCode(), 1) << err;
        EXPECT_NE(err.find(set + " not pushed: rclone "), std::string::npos) << err;
        EXPECT_EQ(push.readAllStandardOutput().toStdString(), "");
    }
}

// The remote setting is shown without the values of its secret options; the
// largest file a pull takes, in its largest whole unit.
TEST_F(RemoteCli, TheRemoteSettingIsShownWithoutItsSecrets) {
    const std::string shown = ":webdav,url='http://nas:8080',user=me,pass=***:saves";
    Run({"settings", "set", "remote", ":webdav,url='http://nas:8080',user=me,pass=Zm9v:saves"});
    EXPECT_NE(Run({"settings"}).find("\nremote        " + shown + "\n"), std::string::npos)
        << last.out;
    EXPECT_EQ(Json(Run({"settings", "--json"})).object()["remote"], QString::fromStdString(shown));
    Run({"settings", "set", "remote", "a:\nb:"}, 2);
    Run({"settings", "set", "remote", ""});
    EXPECT_NE(Run({"settings"}).find("\nremote        none\nmax-file-size 1G\n"), std::string::npos)
        << last.out;
    Run({"settings", "set", "max-file-size", "1536m"});
    EXPECT_EQ(Json(Run({"settings", "--json"})).object()["max_file_size"], 1536 << 20);
}

} // namespace
