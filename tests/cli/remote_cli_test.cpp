// mfbackup-cli push, pull and remote on two machines: this home (ALPHA, its
// name in the test's Wine prefix) and a second one (BRAVO, another prefix
// and backup folder through another settings file), sharing a local folder
// or a WebDAV server as their remote.

#include "common/game_tree.h"
#include "common/run_program.h"
#include "common/served_remote.h"
#include "common/settings_file.h"
#include "sets/backup_set.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
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

class RemoteCli : public GameTree {
protected:
    void Start(RemoteKind kind) {
        GameTree::SetUp();
        ASSERT_TRUE(testenv::SaveSettings());
        NameMachine(testenv::WinePrefix(), "ALPHA");
        served = std::make_unique<testenv::ServedRemote>(kind, testenv::Scratch() + "/served");
        remote = QString::fromStdString(served->Remote());
        // The second machine: its own prefix, game and backup folder.
        const std::string prefix = testenv::Scratch() + "/bravo-prefix";
        NameMachine(prefix, "BRAVO");
        bravoGame = prefix + "/drive_c/Program Files/Corvanta Software/Moonforge/";
        bravoBackup = testenv::Scratch() + "/bravo-backup/";
        for (const char* sub : {"save/characters", "save/net", "save/games"})
            fs::create_directories(bravoGame + sub);
        fs::create_directories(bravoBackup);
        bravo = {"--config", QString::fromStdString(testenv::Scratch() + "/bravo.ini")};
        Run(bravo + QStringList{"settings", "set", "game-dir", QString::fromStdString(bravoGame)});
        Run(bravo +
            QStringList{"settings", "set", "backup-dir", QString::fromStdString(bravoBackup)});
    }

    // Runs and expects `exitCode`; the output is kept for a look afterwards.
    std::string Run(const QStringList& args, int exitCode = 0,
                    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
        last = testenv::RunProgram(MF_CLI, args, QString::fromStdString(testenv::Scratch()), env);
        EXPECT_EQ(last.exitCode, exitCode) << args.join(' ').toStdString() << "\n" << last.err;
        return last.out;
    }
    static Names SetsIn(const std::string& folder) {
        Names names;
        for (const auto& entry : fs::directory_iterator(folder))
            if (sets::IsSetName(entry.path().filename().string()))
                names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    // A remote command, given rclone's configuration when the remote has one.
    QStringList Rc(QStringList args) const {
        if (!served->ConfigFile().empty())
            args << "--rclone-config" << QString::fromStdString(served->ConfigFile());
        return args;
    }
    Names Served(const std::string& machine) const {
        const std::string folder = served->Served() + "/" + machine;
        return fs::exists(folder) ? SetsIn(folder) : Names{};
    }

    std::unique_ptr<testenv::ServedRemote> served;
    QString remote;
    QStringList bravo; // the second machine's settings file
    std::string bravoGame, bravoBackup;
    testenv::Outcome last;
};

class TwoMachines : public RemoteCli, public ::testing::WithParamInterface<RemoteKind> {
protected:
    void SetUp() override { Start(GetParam()); }
};

TEST_P(TwoMachines, ShareTheirSetsThroughTheRemoteAndNeverTakeOneFromIt) {
    // ALPHA keeps the remote in its setting, BRAVO names it each time.
    Save("characters/characters.lpl", "alpha's characters");
    Save("net/net.sav", "alpha's net game");
    Run({"backup", "--desc", "Before the dragon"});
    const std::string alphaSet = Sets()[0];
    Run({"settings", "set", "remote", remote});
    EXPECT_EQ(Run(Rc({"push"})), "pushed " + alphaSet + " (2 files)\n");
    EXPECT_EQ(Served("ALPHA"), Names{alphaSet});

    const QStringList pull = Rc(bravo + QStringList{"pull", "--remote", remote});
    const std::string pulled = Run(pull);
    ASSERT_EQ(SetsIn(bravoBackup).size(), 1u);
    const std::string bravoCopy = SetsIn(bravoBackup)[0];
    EXPECT_EQ(pulled, "pulled ALPHA/" + alphaSet + " -> " + bravoCopy + "\n");
    EXPECT_EQ(testenv::ReadFile(bravoBackup + bravoCopy + "/net.sav"), "alpha's net game");
    // Once is enough.
    EXPECT_EQ(Run(pull), "");
    EXPECT_EQ(last.err, "Nothing to pull.\n");

    // BRAVO pushes its own set, not the one it pulled; an export of the
    // pulled set carries no trace of where it came from.
    testenv::WriteFile(bravoGame + "save/games/game1.sav", "bravo's game");
    Run(bravo + QStringList{"backup", "--kinds", "single"});
    Names bravoSets = SetsIn(bravoBackup);
    std::erase(bravoSets, bravoCopy);
    ASSERT_EQ(bravoSets.size(), 1u);
    const std::string bravoSet = bravoSets[0];
    EXPECT_EQ(Run(Rc(bravo + QStringList{"push", "--remote", remote})),
              "pushed " + bravoSet + " (1 file)\n");
    EXPECT_EQ(Served("BRAVO"), Names{bravoSet});
    const std::string medium = testenv::Scratch() + "/medium/";
    fs::create_directories(medium);
    Run(bravo +
        QStringList{"export", QString::fromStdString(bravoCopy), QString::fromStdString(medium)});
    EXPECT_FALSE(testenv::Exists(medium + sets::OriginName));

    // ALPHA removes its set: the remote keeps it, a pull does not bring it
    // back, and a push puts nothing there again.
    fs::remove_all(backupDir + alphaSet);
    const std::string alphaPulled = Run(Rc({"pull"}));
    ASSERT_EQ(Sets().size(), 1u);
    const std::string alphaCopy = Sets()[0];
    EXPECT_EQ(alphaPulled, "pulled BRAVO/" + bravoSet + " -> " + alphaCopy + "\n");
    EXPECT_EQ(Run(Rc({"push"})), "");
    EXPECT_EQ(last.err, "Nothing to push.\n");
    EXPECT_EQ(Served("ALPHA"), Names{alphaSet});

    // What the remote holds, by machine, and which sets are here.
    const QJsonArray listed =
        QJsonDocument::fromJson(QByteArray::fromStdString(Run(Rc({"remote", "--json"})))).array();
    ASSERT_EQ(listed.size(), 2);
    const QJsonObject first = listed[0].toObject(), second = listed[1].toObject();
    EXPECT_EQ(first["machine"], "ALPHA");
    EXPECT_EQ(first["set"], QString::fromStdString(alphaSet));
    EXPECT_EQ(first["description"], "Before the dragon");
    EXPECT_EQ(first["files"], 2);
    EXPECT_EQ(first["this_machine"], true);
    EXPECT_EQ(first["here"], QJsonValue()); // removed here
    EXPECT_EQ(second["machine"], "BRAVO");
    EXPECT_EQ(second["this_machine"], false);
    EXPECT_EQ(second["here"], QString::fromStdString(alphaCopy));
    const std::string text = Run(Rc({"remote"}));
    for (const std::string& part :
         {"ALPHA (this machine)\n  " + alphaSet + "  ", std::string("2 files  not here"),
          "\nBRAVO\n  " + bravoSet + "  ", "1 file   here: " + alphaCopy + "\n"})
        EXPECT_NE(text.find(part), std::string::npos) << part << " in\n" << text;
}

INSTANTIATE_TEST_SUITE_P(Remotes, TwoMachines,
                         ::testing::Values(RemoteKind::LocalFolder, RemoteKind::WebdavConfigFile),
                         [](const auto& info) { return testenv::KindName(info.param); });

class RemoteCliLocal : public RemoteCli {
protected:
    void SetUp() override { Start(RemoteKind::LocalFolder); }
};

// Without rclone or a remote nothing is tried (exit status 2); a remote that
// does not answer fails the command (1) with rclone's words and its exit
// code, and leaves nothing here.
TEST_F(RemoteCliLocal, ACommandWithoutRcloneOrARemoteThatAnswersSaysWhy) {
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
        {{"push"}, QProcessEnvironment::systemEnvironment(), 2, "mfbackup-cli: no remote is set"},
        {{"remote", "--remote", remote}, noRclone, 2, "rclone is not installed"},
        {{"pull", "--remote", remote}, noRclone, 2, "rclone is not installed"},
        {{"push", "--remote", unreachable}, once, 1, "rclone hashsum"},
        {{"pull", "--remote", unreachable}, once, 1, "rclone copy"},
        {{"remote", "--remote", unreachable}, once, 1, "rclone lsjson"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        EXPECT_EQ(Run(c.args, c.exitCode, c.env), "");
        EXPECT_EQ(last.err.rfind(c.said, 0), 0u) << last.err;
        if (c.exitCode == 1) {
            EXPECT_NE(last.err.find("failed with exit code "), std::string::npos) << last.err;
            EXPECT_NE(last.err.find("connection refused"), std::string::npos) << last.err;
        }
        EXPECT_EQ(Sets(), before);
        EXPECT_EQ(std::distance(fs::directory_iterator(backupDir), fs::directory_iterator()),
                  static_cast<std::ptrdiff_t>(before.size()));
    }
}

// The remote is kept beside the 517-byte settings file, never in it, and
// shown without the values of its secret options.
TEST_F(RemoteCliLocal, TheRemoteSettingIsKeptBesideTheSettingsAndShownWithoutItsSecrets) {
    const std::string settings = testenv::ConfigHome() + "/mfbackup.ini";
    const std::string before = testenv::ReadFile(settings);
    ASSERT_EQ(before.size(), 517u);
    const std::string webdav = ":webdav,url='http://nas:8080',user=me,pass=Zm9v:saves";
    const std::string shown = ":webdav,url='http://nas:8080',user=me,pass=***:saves";
    Run({"settings", "set", "remote", QString::fromStdString(webdav)});
    EXPECT_EQ(testenv::ReadFile(testenv::ConfigHome() + "/mfbackup-remote"), webdav + "\n");
    EXPECT_EQ(testenv::ReadFile(settings), before);
    EXPECT_NE(Run({"settings"}).find("\nremote        " + shown + "\n"), std::string::npos)
        << last.out;
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(Run({"settings", "--json"})))
                  .object()["remote"],
              QString::fromStdString(shown));
    Run({"settings", "set", "remote", "a:\nb:"}, 2);
    Run({"settings", "set", "remote", ""});
    EXPECT_FALSE(testenv::Exists(testenv::ConfigHome() + "/mfbackup-remote"));
    EXPECT_NE(Run({"settings"}).find("\nremote        none\n"), std::string::npos) << last.out;
}

} // namespace
