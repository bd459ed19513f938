// Restore and the safety set it keeps first, told to a recording reporter.

#include "recording_reporter.h"

#include "core/safety.h"
#include "platform/files.h"
#include "platform/process.h"
#include "sets/backup_set.h"

#include <cstdlib>
#include <map>

namespace fs = std::filesystem;

namespace {

class RestoreTest : public CoreTree {
protected:
    // The owner block this machine's name gives, followed by the rest of `original`.
    static std::string Owned(const std::string& original) {
        std::string block(81, '\0');
        block.replace(0, std::string(Owner).size(), Owner);
        return block + (original.size() > 81 ? original.substr(81) : "");
    }
    static constexpr char Owner[] = "MOONHOST-15CHAR";
};

// In their order (the character list, the multiplayer game, the games by
// name), copied or extracted from their archives; with the owner block each
// restored file reads as changed again, without it as backed up.
class RestoredFiles : public RestoreTest, public testing::WithParamInterface<bool> {};

TEST_P(RestoredFiles, ComeBackInTheirOrderWithOrWithoutTheOwnerBlock) {
    const bool zip = GetParam();
    const FileList saves = {{"characters/characters.lpl", std::string(200, 'c')},
                            {"net/net.sav", std::string(40, 'n')},
                            {"games/game1.sav", "first game"},
                            {"games/game2.sav", "second game"}};
    Names targets;
    for (const auto& [rel, bytes] : saves)
        targets.push_back(Save(rel, bytes));
    fs::permissions(targets[2], fs::perms::owner_read); // and so its copy in a plain set
    const std::string name = BackUpAll(zip), set = backupDir + name + "/";
    for (const bool owner : {true, false}) {
        Names done;
        for (const std::string& target : targets) {
            fs::permissions(target, fs::perms::owner_write, fs::perm_options::add);
            testenv::WriteFile(target, "played since");
            const std::string file = fs::path(target).filename().string();
            done.push_back(set + (zip ? file.substr(0, file.find('.')) + ".zip" : file) + " -> " +
                           target);
        }
        reporter = {};
        EXPECT_TRUE(
            Restore(Plan(name, zip), owner ? std::optional<std::string>(Owner) : std::nullopt).Ok())
            << Joined(reporter.said);
        for (std::size_t i = 0; i < targets.size(); ++i) {
            EXPECT_EQ(testenv::ReadFile(targets[i]),
                      owner ? Owned(saves[i].second) : saves[i].second);
            EXPECT_EQ(platform::GetFileAttributes(targets[i]), owner ? platform::faArchive : 0u)
                << targets[i];
        }
        EXPECT_EQ(reporter.done, done);
        EXPECT_EQ(reporter.progress.at(1),
                  (zip ? "UnZipping " : "Copying ") + set + "characters.lpl to " + targets[0]);
        EXPECT_EQ(reporter.progress.back(), "[hidden]");
        EXPECT_EQ(Files(gameDir + "save/games"), (Names{"game1.sav", "game2.sav"}));
    }
    if (zip)
        return;
    // A file where it is: a name of 81 bytes is cut before the "é" that would
    // not fit whole, and the file reads as changed; one that can't be replaced is said.
    ASSERT_TRUE(core::UpdateOwner(targets[0], std::string(79, 'A') + "\xC3\xA9", reporter));
    EXPECT_EQ(testenv::ReadFile(targets[0]).substr(0, 82),
              std::string(79, 'A') + std::string(2, '\0') + "c");
    EXPECT_EQ(platform::GetFileAttributes(targets[0]), platform::faArchive);
    fs::permissions(targets[0], fs::perms::owner_read);
    EXPECT_FALSE(core::UpdateOwner(targets[0], Owner, reporter));
    EXPECT_EQ(reporter.said, Names{"error updating owner of " + targets[0]});
    EXPECT_EQ(reporter.causes, Names{"Access is denied"});
}

INSTANTIATE_TEST_SUITE_P(Forms, RestoredFiles, testing::Bool(),
                         [](const auto& info) { return info.param ? "Compressed" : "Plain"; });

TEST_F(RestoreTest, AFileThatFailsDoesNotStopTheOthers) {
    MakeSet("MFA1", {{"characters.lpl", "new characters"}, {"net.sav", "new net"}});
    const std::string chars = Save("characters/characters.lpl", "kept characters");
    fs::permissions(chars, fs::perms::owner_read); // refused as a target
    EXPECT_EQ(Restore(Plan("MFA1")).Failures, 1u);
    EXPECT_EQ(reporter.said,
              Names{"error copying " + backupDir + "MFA1/characters.lpl to " + chars});
    EXPECT_EQ(reporter.causes, Names{"Access is denied"});
    EXPECT_EQ(testenv::ReadFile(chars), "kept characters");
    EXPECT_EQ(testenv::ReadFile(gameDir + "save/net/net.sav"), "new net");

    // Compressed: a damaged archive, a game folder that is gone, an archive
    // without the file it stands for.
    const std::string stash = testenv::Scratch() + "/";
    auto zip = [&](const std::string& file, const std::string& archive) {
        testenv::WriteFile(stash + file, "zipped " + file);
        const std::string cmd = "cd '" + stash + "' && '" + platform::ModuleDirectory() +
                                "pkzip.exe' -add '" + backupDir + "MFB1/" + archive + "' " + file;
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    };
    fs::create_directories(backupDir + "MFB1");
    zip("other.sav", "game1"); // holds no game1.sav to write the owner into: refused
    zip("game2.sav", "game2");
    zip("net.sav", "net");
    testenv::WriteFile(backupDir + "MFB1/characters.zip", "PK\x03\x04 damaged");
    fs::permissions(chars, fs::perms::owner_write, fs::perm_options::add);
    fs::remove_all(gameDir + "save/net"); // the game's folders are not made
    reporter = {};
    EXPECT_EQ(Restore(Plan("MFB1", true), std::string(Owner)).Failures, 3u);
    const std::string game1 = gameDir + "save/games/game1.sav";
    ASSERT_EQ(reporter.said.size(), 5u) << Joined(reporter.said);
    // The archiver refuses the damaged archive: the game's file stays as it was.
    EXPECT_EQ(reporter.said[0].rfind("pkzip.exe ended with exit code ", 0), 0u);
    EXPECT_EQ(reporter.said[1], "error unzipping " + backupDir + "MFB1/characters.lpl to " + chars);
    EXPECT_EQ(testenv::ReadFile(chars), "kept characters");
    EXPECT_EQ(reporter.said[2],
              "error unzipping " + backupDir + "MFB1/net.sav to " + gameDir + "save/net/net.sav");
    EXPECT_FALSE(fs::exists(fs::current_path() / "net.sav"));
    EXPECT_EQ(reporter.said[3].rfind("pkzip.exe ended with exit code ", 0), 0u);
    EXPECT_EQ(reporter.said[4], "error unzipping " + backupDir + "MFB1/game1.zip to " + game1);
    EXPECT_EQ(Files(gameDir + "save/games"), Names{"game2.sav"});
    EXPECT_EQ(testenv::ReadFile(gameDir + "save/games/game2.sav"), Owned("zipped game2.sav"));

    // A game folder as long as the settings hold is used whole.
    std::string deep = testenv::WinePrefix() + "/drive_c/";
    while (deep.size() < 230)
        deep += "Moonforge Install Folder/";
    fs::create_directories(deep + "save/characters");
    reporter = {};
    core::RestorePlan plan = Plan("MFA1", false, false, {true, false, false});
    plan.GameDir = deep;
    EXPECT_TRUE(Restore(plan).Ok()) << Joined(reporter.said);
    EXPECT_EQ(testenv::ReadFile(deep + "save/characters/characters.lpl"), "new characters");
}

// A restore keeps the game's files it replaces in a new set first, and
// restoring that set undoes the restore.
class SafetySetTest : public RestoreTest, public testing::WithParamInterface<bool> {};

TEST_P(SafetySetTest, KeepsWhatARestoreReplacesAndRestoringItBringsThatBack) {
    const bool zip = GetParam();
    const std::map<std::string, std::string> first = {
        {"characters/characters.lpl", std::string("chars\0\r\n\x1A", 9) + std::string(300, 'c')},
        {"net/net.sav", std::string(5000, 'n')},
        {"games/game1.sav", "first game"}};
    for (const auto& [rel, bytes] : first)
        Save(rel, bytes);
    Save("games/game2.sav", "played later");
    const std::string later = BackUpAll(zip);
    fs::remove(gameDir + "save/games/game2.sav"); // not there to be kept
    const auto game = [&](const std::string& rel) {
        return testenv::ReadFile(gameDir + "save/" + rel);
    };

    reporter = {};
    EXPECT_TRUE(Restore(Plan(later, zip, true)).Ok()) << Joined(reporter.said);
    const std::string safety = NewSet({later});
    std::string description;
    sets::ReadSetDescription(backupDir, safety, description);
    EXPECT_EQ(description, "Before restoring " + later);
    const std::string e = zip ? "zip" : "sav";
    const std::string set = backupDir + safety + "/";
    EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "characters." + std::string(zip ? "zip" : "lpl"),
                                 "desc.txt", "game1." + e, "net." + e}));
    EXPECT_TRUE(Whole(set));
    EXPECT_EQ(reporter.kept, (Names{gameDir + "save/characters/characters.lpl -> " + set +
                                        "characters." + (zip ? "zip" : "lpl"),
                                    gameDir + "save/net/net.sav -> " + set + "net." + e,
                                    gameDir + "save/games/game1.sav -> " + set + "game1." + e}));
    EXPECT_EQ(game("games/game2.sav"), "played later");

    // Restoring the safety set brings the first saves back, and keeps those it
    // replaces: the progress window shows each as it is kept, then the restore.
    reporter = {};
    EXPECT_TRUE(Restore(Plan(safety, zip, true)).Ok());
    const Names keeping = {"[Restoring]", "Keeping " + gameDir + "save/characters/characters.lpl",
                           "Keeping " + gameDir + "save/net/net.sav",
                           "Keeping " + gameDir + "save/games/game1.sav", "[Restoring]"};
    ASSERT_GT(reporter.progress.size(), keeping.size());
    EXPECT_EQ(Names(reporter.progress.begin(), reporter.progress.begin() + keeping.size()),
              keeping);
    EXPECT_EQ(reporter.progress[keeping.size()].rfind(zip ? "UnZipping " : "Copying ", 0), 0u);
    EXPECT_EQ(Sets().size(), 3u);
    for (const auto& [rel, bytes] : first)
        EXPECT_TRUE(game(rel) == bytes) << rel;
    EXPECT_EQ(game("games/game2.sav"), "played later"); // a file the restore added stays

    // A restore that replaces nothing keeps nothing.
    for (const auto& [rel, bytes] : first)
        fs::remove(gameDir + "save/" + rel);
    fs::remove(gameDir + "save/games/game2.sav");
    reporter = {};
    EXPECT_TRUE(Restore(Plan(later, zip, true)).Ok());
    EXPECT_EQ(Sets().size(), 3u);
    EXPECT_TRUE(reporter.kept.empty());
}

INSTANTIATE_TEST_SUITE_P(Forms, SafetySetTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Compressed" : "Plain"; });

TEST_F(RestoreTest, AFullDiskStopsTheRestoreBeforeAnyGameFileChanges) {
    const std::string disk = testenv::Scratch() + "/disk";
    testenv::TmpfsMount mount(disk, 1 << 20);
    if (!mount.Mounted())
        GTEST_SKIP() << "No small file system to fill, so no full-disk restore: " << mount.Reason();
    backupDir = disk + "/";
    MakeSet("MFB1", {{"characters.lpl", "set chars"}, {"net.sav", "set net"}});
    // The first fits beside the set, the second does not.
    const std::string chars = Save("characters/characters.lpl", std::string(600 << 10, 'c'));
    const std::string net = Save("net/net.sav", std::string(600 << 10, 'n'));
    EXPECT_EQ(Restore(Plan("MFB1", false, true)).Failures, 1u);
    EXPECT_EQ(reporter.said, Names{"Could not keep the current saves in a new set: There is not "
                                   "enough space on the disk. Nothing was restored."});
    EXPECT_EQ(Sets(), Names{"MFB1"}); // the partial safety set is gone
    EXPECT_TRUE(testenv::ReadFile(chars) == std::string(600 << 10, 'c'));
    EXPECT_TRUE(testenv::ReadFile(net) == std::string(600 << 10, 'n'));
    // The window showed the file being kept when the disk was found full.
    EXPECT_EQ(reporter.progress,
              (Names{"[Restoring]", "Keeping " + chars, "Keeping " + net, "[hidden]"}));
    EXPECT_TRUE(reporter.kept.empty() && reporter.done.empty());
}

// A copy that does not match the set's checksums is not restored, nor
// promised by a dry run; a damaged checksum file is said once, and its set
// restored unchecked.
TEST_F(RestoreTest, ACopyThatDoesNotMatchItsChecksumIsNotRestored) {
    std::string plain;
    for (const bool zip : {false, true}) {
        SCOPED_TRACE(zip ? "compressed" : "plain");
        const std::string chars = Save("characters/characters.lpl", std::string(400, 'c'));
        const std::string net = Save("net/net.sav", "backed up");
        const std::string name = BackUpAll(zip);
        if (!zip)
            plain = name;
        const std::string set = backupDir + name + "/";
        const std::string damaged = set + (zip ? "characters.zip" : "characters.lpl");
        std::string bytes = testenv::ReadFile(damaged);
        bytes[bytes.size() / 2] ^= 0x04;
        testenv::WriteFile(damaged, bytes);
        Save("characters/characters.lpl", "played since");
        Save("net/net.sav", "played since");

        reporter = {};
        EXPECT_EQ(Restore(Plan(name, zip), {}, true).Failures, 1u);
        EXPECT_EQ(reporter.refused, Names{chars + ": the backup copy is damaged"});
        EXPECT_EQ(reporter.planned, Names{set + "net.sav -> " + net});
        reporter = {};
        EXPECT_EQ(Restore(Plan(name, zip, true)).Failures, 1u);
        EXPECT_EQ(reporter.said,
                  Names{(zip ? "error unzipping " : "error copying ") + set + "characters.lpl to " +
                        chars + ": the backup copy is damaged"});
        EXPECT_EQ(testenv::ReadFile(chars), "played since");
        EXPECT_TRUE(Changed(chars)); // the safety set took it and cleared no mark
        EXPECT_EQ(testenv::ReadFile(net), "backed up");
    }

    // A listed copy that can't be read would fail too.
    const std::string set = backupDir + plain + "/";
    const std::string net = gameDir + "save/net/net.sav";
    fs::remove(set + "net.sav");
    fs::create_symlink("gone", set + "net.sav");
    reporter = {};
    EXPECT_FALSE(Restore(Plan(plain, false, false, {false, true, false}), {}, true).Ok());
    EXPECT_EQ(reporter.refused, Names{net + ": the backup copy can't be read (The system cannot "
                                            "find the file specified)"});

    testenv::WriteFile(set + sets::ManifestName, "no manifest\n");
    reporter = {};
    EXPECT_TRUE(Restore(Plan(plain, false, false, {true, false, false})).Ok());
    EXPECT_EQ(reporter.said, Names{"the checksums " + set + sets::ManifestName +
                                   " are damaged (line 1: no SHA-256): the files are copied "
                                   "unchecked"});
    EXPECT_EQ(testenv::ReadFile(gameDir + "save/characters/characters.lpl").size(), 400u);
}

} // namespace
