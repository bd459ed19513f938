// mfbackup-cli run as a user runs it, on a game tree in the test's Wine
// prefix, with the settings file pointing at it.

#include "common/run_program.h"
#include "operations/game_tree.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <sys/stat.h>

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

class CliTest : public GameTree {
protected:
    void SetUp() override {
        GameTree::SetUp();
        BackupConfig.SinglePlayer = 0; // a backup without --kinds leaves the games
        ASSERT_TRUE(SaveConfig());
    }
    testenv::Outcome Cli(const QStringList& args) {
        return testenv::RunProgram(MF_CLI, args, QString::fromStdString(testenv::Scratch()));
    }
    // Runs and expects `exitCode`; the output is kept for a look afterwards.
    std::string Run(const QStringList& args, int exitCode = 0) {
        last = Cli(args);
        EXPECT_EQ(last.exitCode, exitCode) << args.join(' ').toStdString() << "\n" << last.err;
        return last.out;
    }
    static std::string Lines(const Names& lines) {
        std::string out;
        for (const std::string& line : lines)
            out += line + "\n";
        return out;
    }
    void MakeSet(const std::string& name,
                 const std::vector<std::pair<std::string, std::string>>& files) {
        for (const auto& [file, bytes] : files)
            testenv::WriteFile(backupDir + name + "/" + file, bytes);
    }
    static QJsonDocument Json(const std::string& text) {
        return QJsonDocument::fromJson(QByteArray::fromStdString(text));
    }

    testenv::Outcome last;
};

TEST_F(CliTest, BackupTakesTheOfferedDefaultKindsAndASecondFindsNothing) {
    const std::string chars = Save("characters/characters.lpl", "characters");
    const std::string net = Save("net/net.sav", "net game");
    const std::string game = Save("games/game1.sav", "one");

    // A dry run names the files and changes nothing.
    EXPECT_EQ(Run({"backup", "--dry-run"}),
              Lines({"would back up " + chars, "would back up " + net}));
    EXPECT_TRUE(Sets().empty());
    EXPECT_TRUE(Changed(chars) && Changed(net));

    const std::string done = Run({"backup", "--desc", "Before the boss"});
    EXPECT_EQ(last.err, "");
    ASSERT_EQ(Sets().size(), 1u);
    const std::string set = backupDir + Sets()[0] + "/";
    EXPECT_EQ(done, Lines({"backed up " + chars + " -> " + set + "characters.lpl",
                           "backed up " + net + " -> " + set + "net.sav"}));
    EXPECT_EQ(Files(set), (Names{"characters.lpl", "desc.txt", "net.sav"}));
    EXPECT_EQ(testenv::ReadFile(set + "desc.txt"), "Before the boss\r\n");
    EXPECT_FALSE(Changed(chars) || Changed(net));
    EXPECT_TRUE(Changed(game));

    // Nothing changed of the default kinds: no set, and that is no failure.
    EXPECT_EQ(Run({"backup"}), "");
    EXPECT_EQ(last.err, "Nothing found to backup!\n");
    EXPECT_EQ(Sets().size(), 1u);

    // Named kinds are taken whatever the settings say; --zip for this run only.
    EXPECT_NE(Run({"backup", "--kinds", "single", "--zip"}).find(" -> "), std::string::npos);
    ASSERT_EQ(Sets().size(), 2u);
    EXPECT_FALSE(Changed(game));
    EXPECT_EQ(BackupConfig.ZipBackups, 0);
    bool zipped = false;
    for (const std::string& name : Sets())
        zipped |= Files(backupDir + name) == Names{"game1.zip"};
    EXPECT_TRUE(zipped);
}

TEST_F(CliTest, RestoreWithAndWithoutOwnerAndADryRunThatChangesNothing) {
    const std::string machine =
        Json(Run({"settings", "--json"})).object()["machine_name"].toString().toStdString();
    std::string owned(81, '\0');
    owned.replace(0, machine.size(), machine);
    const std::string saved(100, 's');
    MakeSet("MFB1A2B", {{"characters.lpl", saved}, {"game1.sav", "game"}, {"desc.txt", "d\r\n"}});
    const std::string chars = Save("characters/characters.lpl", "played since");
    const std::string game = gameDir + "save/games/game1.sav";

    EXPECT_EQ(Run({"restore", "latest", "--dry-run"}),
              Lines({"would restore " + chars, "would restore " + game}));
    EXPECT_EQ(testenv::ReadFile(chars), "played since");
    EXPECT_FALSE(testenv::Exists(game));

    // The settings say no owner; --owner writes it for this run.
    EXPECT_EQ(Run({"restore", "mfb1a2b", "--kinds", "characters", "--owner"}),
              Lines({"restored " + backupDir + "MFB1A2B/characters.lpl -> " + chars}));
    EXPECT_EQ(testenv::ReadFile(chars), owned + saved.substr(81));
    EXPECT_FALSE(testenv::Exists(game));
    Run({"restore", "MFB1A2B"});
    EXPECT_EQ(testenv::ReadFile(chars), saved);
    EXPECT_EQ(testenv::ReadFile(game), "game");
    EXPECT_FALSE(Changed(chars) || Changed(game));

    // A compressed backup restored through the archiver beside the program.
    testenv::WriteFile(chars, "before");
    Run({"backup", "--zip", "--kinds", "characters"});
    testenv::WriteFile(chars, "after");
    Run({"restore", "latest", "--no-owner"});
    EXPECT_EQ(testenv::ReadFile(chars), "before");
}

TEST_F(CliTest, ExportThenImportIntoASecondBackupFolderThroughAnotherSettingsFile) {
    Save("net/net.sav", "net game");
    Save("games/game1.sav", "one");
    Run({"backup", "--kinds", "all", "--desc", "Moving house"});
    const std::string set = backupDir + Sets()[0] + "/";
    const std::string medium = testenv::Scratch() + "/medium/";
    fs::create_directories(medium);
    EXPECT_EQ(Run({"export", "latest", "medium", "--kinds", "multiplayer"}),
              Lines({"exported " + set + "net.sav -> " + medium + "net.sav"}));
    EXPECT_EQ(Files(medium), (Names{"desc.txt", "net.sav"}));

    const QString other = QString::fromStdString(testenv::Scratch() + "/other.ini");
    const std::string second = testenv::Scratch() + "/second/";
    fs::create_directories(second);
    Run({"--config", other, "settings", "set", "backup-dir", "second"});
    Run({"--config", other, "settings", "set", "kinds", "single"});
    Run({"settings", "set", "zip", "on", "--config", other});
    const QJsonObject settings = Json(Run({"--config", other, "settings", "--json"})).object();
    EXPECT_EQ(settings["backup_dir"].toString().toStdString(), second);
    EXPECT_EQ(settings["kinds"].toArray(), QJsonArray{"single"});
    EXPECT_EQ(settings["zip"], true);
    EXPECT_EQ(settings["config_file"].toString(), other);
    EXPECT_EQ(testenv::ReadFile(other.toStdString()).size(), 517u);

    // The medium holds plain files: it is read as written, whatever zip says.
    const std::string imported = Run({"--config", other, "import", QString::fromStdString(medium)});
    const Names sets = Files(second);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(imported,
              Lines({"imported " + medium + "net.sav -> " + second + sets[0] + "/net.sav"}));
    EXPECT_EQ(testenv::ReadFile(second + sets[0] + "/desc.txt"), "Imported: Moving house\r\n");
    EXPECT_EQ(Sets().size(), 1u); // the usual settings file is untouched
}

TEST_F(CliTest, ListGivesTheSetsOldestFirstAlsoAsJson) {
    MakeSet("MFB2", {{"characters.zip", "PK1"}, {"game1.zip", "PK22"}});
    MakeSet("MFB1", {{"net.sav", "12345"}, {"desc.txt", "First run\r\n"}, {".hidden", "h"}});
    fs::create_directories(backupDir + "MFB3");
    const std::time_t base = 1796638532;
    for (const auto& [name, age] : {std::pair{"MFB1", 300}, {"MFB2", 200}, {"MFB3", 100}})
        fs::last_write_time(backupDir + name,
                            fs::file_time_type::clock::from_sys(
                                std::chrono::system_clock::from_time_t(base - age)));

    const QJsonArray sets = Json(Run({"list", "--json"})).array();
    ASSERT_EQ(sets.size(), 3);
    const QJsonObject first = sets[0].toObject();
    EXPECT_EQ(first["name"], "MFB1");
    EXPECT_EQ(first["description"], "First run");
    EXPECT_EQ(first["kinds"].toArray(), QJsonArray{"multiplayer"});
    EXPECT_EQ(first["files"], 1);
    EXPECT_EQ(first["bytes"], 5);
    EXPECT_EQ(first["zip"], false);
    EXPECT_EQ(QDateTime::fromString(first["date"].toString(), Qt::ISODate).toSecsSinceEpoch(),
              base - 300);
    const QJsonObject second = sets[1].toObject();
    EXPECT_EQ(second["kinds"].toArray(), (QJsonArray{"characters", "single"}));
    EXPECT_EQ(second["files"], 2);
    EXPECT_EQ(second["bytes"], 7);
    EXPECT_EQ(second["zip"], true);
    EXPECT_EQ(sets[2].toObject()["kinds"].toArray(), QJsonArray{});

    const std::string date =
        QDateTime::fromSecsSinceEpoch(base - 300).toString("yyyy-MM-dd'T'HH:mm:ss").toStdString();
    const std::string text = Run({"list"});
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "MFB1  " + date + "  multiplayer        1  5  First run");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
}

TEST_F(CliTest, ExitStatusesUsageErrorsAndUnknownSets) {
    MakeSet("MFB1", {{"net.sav", "net"}, {"characters.lpl", "chars"}});
    const std::string chars = Save("characters/characters.lpl", "kept");
    chmod(chars.c_str(), 0444); // refused as a target: that file fails, the other is done
    Run({"restore", "MFB1"}, 1);
    EXPECT_EQ(last.err, "error copying " + backupDir + "MFB1/characters.lpl to " + chars + "\n");
    EXPECT_EQ(last.out,
              "restored " + backupDir + "MFB1/net.sav -> " + gameDir + "save/net/net.sav\n");

    const QString scratch = QString::fromStdString(testenv::Scratch());
    struct Case {
        QStringList args;
        int exitCode;
        std::string err; // the start of its one line
    };
    const std::vector<Case> cases = {
        {{}, 2, "mfbackup-cli: no command given"},
        {{"frob"}, 2, "mfbackup-cli: unknown command frob"},
        {{"backup", "--frob"}, 2, "mfbackup-cli: unknown option --frob"},
        {{"list", "--dry-run"}, 2, "mfbackup-cli: list takes no option --dry-run"},
        {{"backup", "--zip", "--plain"}, 2, "mfbackup-cli: --zip and --plain exclude"},
        {{"restore", "MFB1", "--owner", "--no-owner"}, 2, "mfbackup-cli: --owner and --no-owner"},
        {{"backup", "--kinds", "characters,saves"}, 2, "mfbackup-cli: unknown kind 'saves'"},
        {{"backup", "--desc"}, 2, "mfbackup-cli: --desc needs a value"},
        {{"restore"}, 2, "mfbackup-cli: usage: mfbackup-cli restore SET"},
        {{"import", "a", "b"}, 2, "mfbackup-cli: unexpected argument b"},
        {{"settings", "set", "zip", "maybe"}, 2, "mfbackup-cli: zip is on or off"},
        {{"settings", "set", "colour", "red"}, 2, "mfbackup-cli: unknown setting colour"},
        {{"settings", "set", "game-dir", scratch}, 2, "mfbackup-cli: Moonforge save directory"},
        {{"restore", "MFB9"}, 2, "mfbackup-cli: no set MFB9 in " + backupDir},
        {{"restore", "MFB1", "--kinds", "single"}, 2, "mfbackup-cli: set MFB1 holds no single"},
        {{"export", "MFB1", "gone"}, 2, "mfbackup-cli: no folder " + testenv::Scratch() + "/gone/"},
        {{"import", "gone"}, 2, "mfbackup-cli: no folder "},
        {{"--config", scratch, "list"},
         2,
         "mfbackup-cli: cannot read the settings file " + testenv::Scratch()},
        {{"--help"}, 0, ""},
        {{"restore", "--help"}, 0, ""},
        {{"--version"}, 0, ""},
    };
    for (const Case& c : cases) {
        Run(c.args, c.exitCode);
        EXPECT_EQ(last.err.substr(0, c.err.size()), c.err) << c.args.join(' ').toStdString();
        EXPECT_LE(std::count(last.err.begin(), last.err.end(), '\n'), 1);
    }
    EXPECT_EQ(Run({"--version"}), "mfbackup-cli 1.02\n");
    EXPECT_EQ(Run({"restore", "-h"}).rfind("Usage: mfbackup-cli [--config FILE] restore SET", 0),
              0u);

    // A backup folder that is gone, with standard input and output closed.
    fs::remove_all(backupDir);
    last = testenv::RunProgram("/bin/sh", {"-c", "exec \"$0\" list <&- >&-", MF_CLI});
    EXPECT_EQ(last.exitCode, 2);
    EXPECT_EQ(last.err, "mfbackup-cli: the backup folder " + backupDir + " does not exist\n");
}

} // namespace
