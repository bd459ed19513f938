// mfbackup-cli run as a user runs it, on a game tree in the test's Wine
// prefix, with the settings file pointing at it.

#include "cli_tree.h"
#include "common/manifests.h"
#include "common/prefixes.h"
#include "sets/backup_set.h"
#include "sets/manifest.h"

#include <QJsonArray>

#include <functional>

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class CliTest : public CliTree {
protected:
    void SetUp() override {
        CliTree::SetUp();
        BackupConfig.SinglePlayer = 0; // a backup without --kinds leaves the games
        ASSERT_TRUE(testenv::SaveSettings());
    }
};

TEST_F(CliTest, BackupNamesEachFileItTakesAndTheChangedSavesItLeftOut) {
    const std::string chars = Save("characters/characters.lpl", "characters");
    const std::string net = Save("net/net.sav", "net game");
    const std::string game = Save("games/game1.sav", "one");
    const std::string leftOut = "not taken: 1 changed single-player save; use --kinds all\n";

    // A dry run names the files and changes nothing.
    EXPECT_EQ(Run({"backup", "--dry-run"}),
              Lines({"would back up " + chars, "would back up " + net}));
    EXPECT_EQ(last.err, leftOut);
    EXPECT_TRUE(Sets().empty());

    Run({"backup", "--desc", "Before the boss"});
    EXPECT_EQ(last.err, leftOut);
    ASSERT_EQ(Sets().size(), 1u);
    const std::string set = backupDir + Sets()[0] + "/";
    EXPECT_EQ(last.out, Lines({"backed up " + chars + " -> " + set + "characters.lpl",
                               "backed up " + net + " -> " + set + "net.sav"}));
    EXPECT_EQ(testenv::ReadFile(set + "desc.txt"), "Before the boss\r\n");

    // Nothing changed of the default kinds: no set, and that is no failure.
    EXPECT_EQ(Run({"backup"}), "");
    EXPECT_EQ(last.err, "Nothing found to backup!\n" + leftOut);

    Save("net/net.sav", "net again");
    const std::string game2 = Save("games/game2.sav", "two");
    Run({"settings", "set", "kinds", "characters"});
    EXPECT_EQ(Run({"backup"}), "");
    EXPECT_EQ(last.err, "Nothing found to backup!\nnot taken: 2 changed single-player saves, 1 "
                        "changed multiplayer save; use --kinds all\n");
    // Named kinds are taken whatever the settings say; --zip for this run.
    const Names before = Sets();
    Run({"backup", "--kinds", "single", "--zip"});
    const std::string zipped = backupDir + NewSet(before) + "/";
    EXPECT_EQ(last.out, Lines({"backed up " + game + " -> " + zipped + "game1.zip",
                               "backed up " + game2 + " -> " + zipped + "game2.zip"}));
    EXPECT_EQ(last.err, "not taken: 1 changed multiplayer save; use --kinds all\n");
}

// Each game file a restore replaces is kept first ("kept" lines), unless
// --no-safety; undo puts the newest kept set back byte for byte and keeps no
// set of its own; a damaged copy is refused, by the dry run too.
TEST_F(CliTest, RestoreKeepsTheSavesItReplacesUndoBringsThemBackAndADamagedCopyIsRefused) {
    const std::string saved(100, 's');
    MakeSet("MFB1A2B", {{"characters.lpl", saved}, {"game1.sav", "game"}, {"desc.txt", "d\r\n"}});
    const std::string chars = Save("characters/characters.lpl", "played since");
    const std::string game = gameDir + "save/games/game1.sav";
    const std::string set = backupDir + "MFB1A2B/";

    Run({"undo", "--dry-run"}, 2);
    EXPECT_EQ(Run({"restore", "latest", "--dry-run"}),
              Lines({"would restore " + chars, "would restore " + game}));
    EXPECT_EQ(testenv::ReadFile(chars), "played since");
    EXPECT_FALSE(testenv::Exists(game));

    // The settings say no owner; --owner writes it for this run.
    const std::string restored = Run({"restore", "mfb1a2b", "--kinds", "characters", "--owner"});
    const std::string safety = backupDir + NewSet({"MFB1A2B"}) + "/";
    EXPECT_EQ(restored, Lines({"kept " + chars + " -> " + safety + "characters.lpl",
                               "restored " + set + "characters.lpl -> " + chars}));
    EXPECT_EQ(testenv::ReadFile(chars), Owned(saved));
    Run({"settings", "set", "owner", "on"}); // undo writes no owner all the same
    EXPECT_EQ(Run({"undo", "--dry-run"}), Lines({"would restore " + chars}));
    EXPECT_EQ(Run({"undo"}), Lines({"restored " + safety + "characters.lpl -> " + chars}));
    EXPECT_EQ(testenv::ReadFile(chars), "played since");
    EXPECT_EQ(Sets().size(), 2u);
    Run({"restore", "MFB1A2B", "--no-safety", "--no-owner"});
    EXPECT_EQ(Sets().size(), 2u);
    EXPECT_EQ(testenv::ReadFile(chars), saved);
    EXPECT_EQ(testenv::ReadFile(game), "game");

    ASSERT_TRUE(testenv::WriteManifestOf(set, {"characters.lpl", "game1.sav"}));
    testenv::WriteFile(set + "characters.lpl", std::string(99, 's') + "S");
    Run({"restore", "MFB1A2B", "--dry-run"}, 1);
    EXPECT_EQ(last.out, Lines({"would refuse " + chars + ": the backup copy is damaged",
                               "would restore " + game}));
    Run({"restore", "MFB1A2B", "--no-safety", "--no-owner"}, 1);
    EXPECT_EQ(last.err, "error copying " + set + "characters.lpl to " + chars +
                            ": the backup copy is damaged\n");
    EXPECT_EQ(testenv::ReadFile(chars), saved);
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

    const QString other = QString::fromStdString(testenv::Scratch() + "/other.ini");
    const std::string second = testenv::Scratch() + "/second/";
    // A new backup folder is made when the one above it exists.
    Run({"--config", other, "settings", "set", "backup-dir", "new/second"}, 2);
    EXPECT_EQ(last.err, "mfbackup-cli: Could not find this directory: " + testenv::Scratch() +
                            "/new/second/\n");
    Run({"--config", other, "settings", "set", "backup-dir", "second"});
    EXPECT_EQ(last.err, "made the backup folder " + second + "\n");
    EXPECT_TRUE(fs::is_directory(second));
    Run({"--config", other, "settings", "set", "kinds", "single"});
    Run({"settings", "set", "zip", "on", "--config", other});
    const QJsonObject settings = Json(Run({"--config", other, "settings", "--json"})).object();
    EXPECT_EQ(settings["backup_dir"].toString().toStdString(), second);
    EXPECT_EQ(settings["kinds"].toArray(), QJsonArray{"single"});
    EXPECT_EQ(settings["zip"], true);
    EXPECT_EQ(settings["config_file"].toString(), other);

    // The medium holds plain files: it is read as written, whatever zip says.
    const std::string imported = Run({"--config", other, "import", QString::fromStdString(medium)});
    const Names sets = Files(second);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(imported,
              Lines({"imported " + medium + "net.sav -> " + second + sets[0] + "/net.sav"}));
    EXPECT_EQ(Sets().size(), 1u); // the usual settings file is untouched
}

// With few descriptors to be had (a limit of 32 open files) every save is
// backed up, and a restore keeps them all in its safety set first.
TEST_F(CliTest, UnderALowLimitOnOpenFilesEverySaveIsBackedUpAndRestored) {
    constexpr int saves = 300;
    for (int i = 1; i <= saves; ++i)
        Save("games/game" + std::to_string(i) + ".sav", "game " + std::to_string(i));
    const auto limited = [&](const QStringList& args) {
        last = testenv::RunProgram(
            "/bin/sh", QStringList{"-c", "ulimit -n 32 && exec \"$0\" \"$@\"", MF_CLI} + args);
        EXPECT_EQ(last.exitCode, 0) << args.join(' ').toStdString() << "\n" << last.err;
        EXPECT_EQ(last.err, "");
        return std::count(last.out.begin(), last.out.end(), '\n');
    };
    EXPECT_EQ(limited({"backup", "--kinds", "single"}), saves);
    for (int i = 1; i <= saves; ++i)
        Save("games/game" + std::to_string(i) + ".sav", "played since");
    EXPECT_EQ(limited({"restore", "latest"}), 2 * saves); // each kept, then restored
    EXPECT_EQ(testenv::ReadFile(gameDir + "save/games/game123.sav"), "game 123");
    EXPECT_EQ(limited({"verify"}), 2);
}

TEST_F(CliTest, ListGivesTheSetsOldestFirstAlsoAsJson) {
    MakeSet("MFB2", {{"characters.zip", "PK1"}, {"game1.zip", "PK22"}});
    MakeSet("MFB1", {{"net.sav", "12345"}, {"desc.txt", "First run\r\n"}, {".hidden", "h"}});
    // A description that would clear the screen, ring and start a C1 control.
    MakeSet("MFB3", {{"desc.txt", "\x1b[2J\a\xc2\x9b"
                                  "Boss\r\n"}});
    Age({{"MFB1", 300}, {"MFB2", 200}, {"MFB3", 100}});

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
    EXPECT_EQ(sets[2].toObject()["description"], "\x1b[2J\a\u009b"
                                                 "Boss");

    const std::string text = Run({"list"});
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "MFB1  " + DateOf(300) + "  multiplayer        1  5  First run");
    EXPECT_EQ(text.substr(text.rfind("MFB3")),
              "MFB3  " + DateOf(100) + "  -                  0  0  \\x1b[2J\\x07\\x9bBoss\n");
}

TEST_F(CliTest, ExitStatusesUsageErrorsAndUnknownSets) {
    MakeSet("MFB1", {{"net.sav", "net"}, {"characters.lpl", "chars"}});
    // A target refused: its failure and the cause, the other file done.
    const std::string chars = Save("characters/characters.lpl", "kept");
    chmod(chars.c_str(), 0444);
    Run({"restore", "MFB1", "--no-safety"}, 1);
    EXPECT_EQ(last.err, "error copying " + backupDir + "MFB1/characters.lpl to " + chars +
                            ": Access is denied\n");
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
        {{"backup", "--no-safety"}, 2, "mfbackup-cli: backup takes no option --no-safety"},
        {{"backup", "--kinds", "characters,saves"}, 2, "mfbackup-cli: unknown kind 'saves'"},
        {{"backup", "--desc"}, 2, "mfbackup-cli: --desc needs a value"},
        {{"restore"}, 2, "mfbackup-cli: usage: mfbackup-cli restore SET"},
        {{"import", "a", "b"}, 2, "mfbackup-cli: unexpected argument b"},
        {{"settings", "set", "zip", "maybe"}, 2, "mfbackup-cli: zip is on or off"},
        {{"settings", "set", "colour", "red"}, 2, "mfbackup-cli: unknown setting colour"},
        {{"prune"}, 2, "mfbackup-cli: prune needs --keep N"},
        {{"prune", "--keep", "0"}, 2, "mfbackup-cli: --keep takes a number of sets, at least 1"},
        {{"prune", "--keep=2x"}, 2, "mfbackup-cli: --keep takes a number"},
        {{"pull", "--max-file-size", "2X"}, 2, "mfbackup-cli: --max-file-size takes a size"},
        {{"settings", "set", "max-file-size", "0"}, 2, "mfbackup-cli: max-file-size takes a size"},
        {{"verify", "MFB1", "MFB9"}, 2, "mfbackup-cli: no set MFB9"},
        {{"settings", "set", "game-dir", scratch}, 2, "mfbackup-cli: Moonforge save directory"},
        {{"restore", "MFB9"}, 2, "mfbackup-cli: no set MFB9 in " + backupDir},
        {{"undo"}, 2, "mfbackup-cli: no restore to undo: no set \"Before restoring ...\" in "},
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

    // Output that can't be written fails the run, whatever it did.
    Save("net/net.sav", "net game");
    for (const char* args : {"list --json", "verify", "backup", "--help"}) {
        last = testenv::RunProgram("/bin/sh",
                                   {"-c", QString("exec \"$0\" %1 >/dev/full").arg(args), MF_CLI});
        EXPECT_EQ(last.exitCode, 1) << args;
        EXPECT_EQ(last.err,
                  "mfbackup-cli: cannot write to standard output: No space left on device\n")
            << args;
    }
    EXPECT_FALSE(Changed(gameDir + "save/net/net.sav")) << "the backup was made all the same";

    // A backup folder that is gone, with standard input and output closed.
    fs::remove_all(backupDir);
    last = testenv::RunProgram("/bin/sh", {"-c", "exec \"$0\" list <&- >&-", MF_CLI});
    EXPECT_EQ(last.exitCode, 2);
    EXPECT_EQ(last.err, "mfbackup-cli: the backup folder " + backupDir + " does not exist\n");
    // A first start makes it, but not in a dry run.
    const QString fresh = QString::fromStdString(testenv::Scratch() + "/fresh.ini");
    Run({"--config", fresh, "backup", "--dry-run"}, 2);
    EXPECT_FALSE(fs::exists(backupDir) || fs::exists(fresh.toStdString()));
    EXPECT_EQ(Run({"--config", fresh, "list"}), "");
    EXPECT_EQ(last.err, "made the backup folder " + backupDir + "\n");
    EXPECT_TRUE(fs::is_directory(backupDir));
}

TEST_F(CliTest, FindListsEveryInstallationWithItsLauncherAndWritesNoSettings) {
    const testenv::LauncherGames games = testenv::MakeLauncherGames();
    testenv::MakeInstallation(testenv::WinePrefix());
    const std::string bare =
        testenv::MakeInstallation(testenv::Home() + "/.PlayOnLinux/wineprefix/Moonforge", false);
    const QString fresh = QString::fromStdString(testenv::Scratch() + "/fresh.ini");
    EXPECT_EQ(
        Run({"--config", fresh, "find"}),
        Lines({gameDir + "  (Wine)", games.proton + "  (Steam)", games.protonLibrary + "  (Steam)",
               games.lutris + "  (Lutris)", games.bottles + "  (Bottles)",
               games.heroic + "  (Heroic)", bare + "  (PlayOnLinux, no save folder yet)"}));
    EXPECT_FALSE(testenv::Exists(fresh.toStdString()));

    const QJsonArray found = Json(Run({"find", "--json"})).array();
    ASSERT_EQ(found.size(), 7);
    EXPECT_EQ(
        found[2].toObject(),
        (QJsonObject{{"game_dir", QString::fromStdString(games.protonLibrary)},
                     {"launcher", "Steam"},
                     {"prefix", QString::fromStdString(games::PrefixOfPath(games.protonLibrary))},
                     {"save_folder", true}}));
    EXPECT_EQ(found[6]["save_folder"], false);

    // None: nothing to pick from, and where it looked.
    testenv::ClearLauncherFolders();
    EXPECT_EQ(Run({"find"}), "");
    EXPECT_EQ(last.err.rfind("Moonforge was not found. Looked for", 0), 0u) << last.err;
    EXPECT_NE(last.err.find("\nSteam: ~/.steam/steam"), std::string::npos) << last.err;
    const QJsonDocument none = Json(Run({"find", "--json"}));
    EXPECT_TRUE(none.isArray() && none.array().isEmpty());
}

TEST_F(CliTest, VerifyFindsFlippedBitsCorruptArchivesMissingFilesAndSetsWithoutChecksums) {
    for (const auto& [file, bytes] : {std::pair{"characters/characters.lpl", "chars"},
                                      {"net/net.sav", "net game"},
                                      {"games/game1.sav", "one"}})
        Save(file, std::string(bytes) + std::string(5000, '.'));
    Run({"backup", "--kinds", "all"});
    const std::string plain = Sets()[0];
    for (const char* file : {"characters/characters.lpl", "net/net.sav", "games/game1.sav"})
        Save(file, std::string(4000, *file));
    Run({"backup", "--kinds", "all", "--zip"});
    const std::string zipped = Sets()[0] == plain ? Sets()[1] : Sets()[0];
    const QStringList both = {QString::fromStdString(plain), QString::fromStdString(zipped)};
    // Made before checksums: a whole archive and a damaged one, and a set
    // whose manifest lists a file it lost.
    const std::string archive = testenv::ReadFile(backupDir + zipped + "/game1.zip");
    std::string corrupt = archive;
    // A byte of game1.sav's deflated data, after its local header's name and extra field.
    const auto le16 = [&](std::size_t at) {
        return std::size_t(std::uint8_t(archive[at])) | std::size_t(std::uint8_t(archive[at + 1]))
                                                            << 8;
    };
    corrupt[30 + le16(26) + le16(28) + 2] ^= 0x10;
    MakeSet("MFB1", {{"game1.zip", archive}, {"desc.txt", "Old\r\n"}, {"characters.lpl", "c"}});
    MakeSet("MFB2", {{"game1.zip", corrupt}});
    MakeSet("MFB3", {{"characters.lpl", "c"}, {"net.sav", "n"}});
    ASSERT_TRUE(testenv::WriteManifestOf(backupDir + "MFB3/", {"characters.lpl", "net.sav"}));
    // Twelve files listed, all lost; and a manifest that is no manifest.
    Names games;
    for (int i = 1; i <= 12; ++i)
        games.push_back("game" + std::to_string(i) + ".sav");
    for (const std::string& game : games)
        MakeSet("MFB4", {{game, "g"}});
    ASSERT_TRUE(testenv::WriteManifestOf(backupDir + "MFB4/", games));
    MakeSet("MFB5", {{"net.sav", "n"}, {sets::ManifestName, "no manifest\n"}});
    // And the set of a run that stopped half-way.
    MakeSet("MFB6", {{"net.sav", "n"}, {"characters.lpl", "c"}, {sets::UnfinishedName, ""}});
    for (const QJsonValue& set : Json(Run({"list", "--json"})).array())
        EXPECT_EQ(set["unfinished"].toBool(true), set["name"] == "MFB6")
            << set["name"].toString().toStdString();

    Run(QStringList{"verify"} + both + QStringList{"mfb1"});
    EXPECT_EQ(last.out, Lines({plain + " ok (3 files)", zipped + " ok (3 files)",
                               "MFB1 no checksums (2 files)"}));
    EXPECT_EQ(last.err, "");

    const std::string flipped = backupDir + plain + "/game1.sav";
    std::string bytes = testenv::ReadFile(flipped);
    bytes[4321] ^= 0x01;
    testenv::WriteFile(flipped, bytes);
    fs::remove(backupDir + plain + "/net.sav");
    testenv::WriteFile(backupDir + zipped + "/game1.zip", corrupt);
    fs::remove(backupDir + "MFB3/net.sav");
    for (const std::string& game : games)
        fs::remove(backupDir + "MFB4/" + game);
    // A copy one byte longer, its first bytes as they were.
    testenv::WriteFile(backupDir + plain + "/characters.lpl",
                       testenv::ReadFile(backupDir + plain + "/characters.lpl") + ".");
    Run(QStringList{"verify"} + both + QStringList{"MFB1", "MFB2", "MFB3"}, 1);
    EXPECT_EQ(last.out,
              Lines({plain + " DAMAGED: characters.lpl (size), game1.sav (checksum); missing: "
                             "net.sav",
                     zipped + " DAMAGED: game1.zip (checksum)", "MFB1 no checksums (2 files)",
                     "MFB2 DAMAGED: game1.zip (archive)", "MFB3 missing: net.sav"}));
    // The archiver's own line names the entry it found damaged.
    EXPECT_NE(last.err.find("MFB2/game1.zip: entry \"game1.sav\""), std::string::npos) << last.err;
    Run({"verify", "MFB4", "MFB5"}, 1);
    EXPECT_EQ(last.out, Lines({"MFB4 missing: game1.sav, game2.sav, game3.sav, game4.sav, "
                               "game5.sav, game6.sav, game7.sav, game8.sav, game9.sav, game10.sav "
                               "and 2 more",
                               "MFB5 DAMAGED: .mfbackup-sums (format)"}));
    Run({"verify", "MFB6"}, 1);
    EXPECT_EQ(last.out, "MFB6 unfinished (2 files)\n");

    // Every set, as JSON.
    const QJsonArray sets = Json(Run({"verify", "--json"}, 1)).array();
    ASSERT_EQ(sets.size(), 8);
    QJsonObject damaged;
    for (const QJsonValue& set : sets) {
        if (set["name"] == "MFB2")
            damaged = set.toObject();
        if (set["name"] == "MFB6") {
            EXPECT_EQ(set["status"], "unfinished");
        }
    }
    EXPECT_EQ(damaged,
              (QJsonObject{{"name", "MFB2"},
                           {"status", "damaged"},
                           {"files", 1},
                           {"checksums", false},
                           {"problems", QJsonArray{QJsonObject{{"file", "game1.zip"},
                                                               {"problem", "archive"}}}}}));
}

TEST_F(CliTest, PruneKeepsTheNewestAndLeavesWhatIsNotSurelyASetOrALink) {
    // A link to the game's saves: no set to any command.
    const std::string game = Save("games/game1.sav", "mine");
    ASSERT_EQ(symlink((gameDir + "save/games").c_str(), (backupDir + "MFB0").c_str()), 0);
    for (const char* command : {"verify", "restore"}) {
        Run({command, "MFB0"}, 2);
        EXPECT_EQ(last.err, "mfbackup-cli: no set MFB0 in " + backupDir + "\n");
    }
    MakeSet("MFB1", {{"net.sav", "n"}, {"notes.txt", "mine"}});
    MakeSet("MFB2", {{"characters.zip", "PK"}, {"sub/net.sav", "n"}});
    MakeSet("MFB3", {{"characters.lpl", "c"},
                     {"game1.sav", "1"},
                     {"autosave.sav", "a"},
                     {"desc.txt", "Third\r\n"}});
    ASSERT_TRUE(testenv::WriteManifestOf(backupDir + "MFB3/", {"characters.lpl", "autosave.sav"}));
    chmod((backupDir + "MFB3/game1.sav").c_str(), 0444);
    MakeSet("MFB4", {{"game1.zip", "PK"}, {".pkzip-a1b2c3", ""}});
    MakeSet("MFB5", {{"net.sav", "n"}, {"characters.lpl", "c"}, {"game1.sav", "1"}});
    ASSERT_TRUE(
        testenv::WriteManifestOf(backupDir + "MFB5/", {"net.sav", "characters.lpl", "game1.sav"}));
    MakeSet("Photos", {{"beach.jpg", "jpg"}});
    Age({{"MFB0", 700},
         {"Photos", 600},
         {"MFB1", 500},
         {"MFB2", 400},
         {"MFB3", 300},
         {"MFB4", 200},
         {"MFB5", 100}});

    // The oldest four of six go, but three are not surely sets.
    Run({"prune", "--keep", "2", "--dry-run"}, 1);
    EXPECT_EQ(last.out, "would remove MFB3 (" + DateOf(300) + ", Third)\n");
    EXPECT_EQ(last.err, Lines({"kept Photos: its name is not a set's (MFB and 1 to 4 hex digits)",
                               "kept MFB1: it holds what a set does not: notes.txt",
                               "kept MFB2: it holds what a set does not: sub/"}));
    EXPECT_EQ(Sets().size(), 7u);

    Run({"prune", "--keep", "2"}, 1);
    EXPECT_EQ(last.out, "removed MFB3 (" + DateOf(300) + ", Third)\n");
    EXPECT_EQ(Sets(), (Names{"MFB0", "MFB1", "MFB2", "MFB4", "MFB5", "Photos"}));
    EXPECT_EQ(Files(backupDir + "MFB1"), (Names{"net.sav", "notes.txt"}));

    // Once the strangers are gone, all but the newest.
    fs::remove_all(backupDir + "Photos");
    fs::remove(backupDir + "MFB1/notes.txt");
    fs::remove_all(backupDir + "MFB2/sub");
    Age({{"MFB1", 500}, {"MFB2", 400}, {"MFB4", 200}, {"MFB5", 100}});
    EXPECT_EQ(Run({"prune", "--keep", "1"}),
              Lines({"removed MFB1 (" + DateOf(500) + ")", "removed MFB2 (" + DateOf(400) + ")",
                     "removed MFB4 (" + DateOf(200) + ")"}));
    EXPECT_EQ(last.err, "");
    EXPECT_EQ(Sets(), (Names{"MFB0", "MFB5"}));
    EXPECT_EQ(testenv::ReadFile(game), "mine");
}

TEST_F(CliTest, PruneKeepsTheSetHoldingTheOnlyCopyOfASave) {
    // A full set, archived, then hourly sets of the characters alone, and a
    // run killed before its end; all without checksums, as older versions made them.
    MakeSet("MFB1", {{"characters.zip", "PK"}, {"net.zip", "PK"}});
    for (int i = 1; i <= 6; ++i)
        MakeSet("MFB1", {{"game" + std::to_string(i) + ".zip", "PK"}});
    for (const char* hourly : {"MFB2", "MFB3", "MFB4", "MFB5", "MFB6"})
        MakeSet(hourly, {{"characters.lpl", "c"}});
    MakeSet("MFB7", {{"characters.lpl", "c"}, {"net.sav", "n"}, {sets::UnfinishedName, ""}});
    Age({{"MFB1", 700},
         {"MFB2", 600},
         {"MFB3", 500},
         {"MFB4", 400},
         {"MFB5", 300},
         {"MFB6", 200},
         {"MFB7", 100}});
    const std::string full =
        "kept MFB1: the newest copy of game1.sav, game2.sav, game3.sav, game4.sav, game5.sav and 2 "
        "more (this set has no checksums)";

    // MFB1 and MFB6 hold a newest copy: they stay, and count toward the three.
    for (const char* done : {"would remove", "removed"}) {
        const QStringList dryRun =
            done == std::string("removed") ? QStringList{} : QStringList{"--dry-run"};
        EXPECT_EQ(Run(QStringList{"prune", "--keep", "3"} + dryRun),
                  Lines({full, std::string(done) + " MFB2 (" + DateOf(600) + ")",
                         std::string(done) + " MFB3 (" + DateOf(500) + ")",
                         std::string(done) + " MFB4 (" + DateOf(400) + ")",
                         std::string(done) + " MFB5 (" + DateOf(300) + ")"}));
        EXPECT_EQ(last.err, "");
    }
    EXPECT_EQ(Sets(), (Names{"MFB1", "MFB6", "MFB7"}));
    // Never fewer than those; the unfinished set holds no copy that counts.
    EXPECT_EQ(
        Run({"prune", "--keep", "1"}),
        Lines({full, "kept MFB6: the newest copy of characters.lpl (this set has no checksums)",
               "removed MFB7 (" + DateOf(100) + ")"}));
    EXPECT_EQ(Sets(), (Names{"MFB1", "MFB6"}));
}

// The older set holds a good copy of game1.sav (as an archive); with --keep 1
// it stays while the newer set's copy does not count. The newer set stays
// where its copy may still be the newest good one: made here without checksums.
TEST_F(CliTest, PruneKeepsTheOlderSetWhileTheNewerCopyOfASaveIsNoGoodCopy) {
    const std::string older = backupDir + "MFB1/", newer = backupDir + "MFB3/";
    struct Row {
        std::function<void()> Spoil;
        std::string Why; // "" when the newer copy counts
        bool NewerStays;
    };
    const std::vector<Row> rows = {
        {[&] { testenv::WriteFile(newer + "game1.sav", "new savX"); }, "MFB3's copy is damaged",
         false},
        {[&] { testenv::WriteFile(newer + "game1.sav", "new"); }, "MFB3's copy has the wrong size",
         false},
        {[&] { testenv::WriteFile(newer + sets::OriginName, "LANTERN/MFB9\n"); },
         "MFB3 was pulled from LANTERN", false},
        {[&] { testenv::WriteFile(newer + sets::UnfinishedName, ""); }, "MFB3 is unfinished",
         false},
        {[&] { fs::remove(newer + sets::ManifestName); }, "MFB3 has no checksums", true},
        {[] {}, "", true},
    };
    for (const Row& row : rows) {
        fs::remove_all(older);
        fs::remove_all(newer);
        MakeSet("MFB1", {{"game1.zip", "PK old"}});
        MakeSet("MFB3", {{"game1.sav", "new save"}});
        ASSERT_TRUE(testenv::WriteManifestOf(older, {"game1.zip"}));
        ASSERT_TRUE(testenv::WriteManifestOf(newer, {"game1.sav"}));
        row.Spoil();
        Age({{"MFB1", 200}, {"MFB3", 100}});
        for (const std::string done : {"would remove", "removed"}) {
            const QStringList dryRun = done == "removed" ? QStringList{} : QStringList{"--dry-run"};
            EXPECT_EQ(Run(QStringList{"prune", "--keep", "1"} + dryRun),
                      (row.Why.empty()
                           ? done + " MFB1 (" + DateOf(200) + ")\n"
                           : "kept MFB1: the only good copy of game1.sav (" + row.Why + ")\n") +
                          (row.NewerStays ? "" : done + " MFB3 (" + DateOf(100) + ")\n"))
                << row.Why;
        }
        Names left = row.NewerStays ? Names{"MFB3"} : Names{};
        if (!row.Why.empty())
            left.insert(left.begin(), "MFB1");
        EXPECT_EQ(Sets(), left) << row.Why;
    }
}

} // namespace
