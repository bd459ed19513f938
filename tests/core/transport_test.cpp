// Export to a medium and import from it, told to a recording reporter (the
// command line's test exports a set and imports it elsewhere).

#include "recording_reporter.h"

#include "common/manifests.h"
#include "core/export.h"
#include "core/import.h"
#include "sets/backup_set.h"

#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class TransportTest : public CoreTree {
protected:
    void SetUp() override {
        CoreTree::SetUp();
        medium = testenv::Scratch() + "/MOVE/";
        fs::create_directories(medium);
    }
    core::RunResult Export(const std::string& set, bool zip = false,
                           const sets::KindSet& kinds = {true, true, true}) {
        return core::Export({Plan(set, zip, false, kinds), medium}, reporter);
    }
    core::RunResult Import(bool zip = false, const sets::KindSet& kinds = {true, true, true}) {
        return core::Import({backupDir, medium, kinds, zip}, reporter);
    }
    // Files the medium holds, each (name, content).
    void Medium(const FileList& files) {
        for (const auto& [file, bytes] : files)
            testenv::WriteFile(medium + file, bytes);
    }
    std::string Description(const std::string& setName) const {
        std::string text;
        sets::ReadSetDescription(backupDir, setName, text);
        return text;
    }

    std::string medium;
};

TEST_F(TransportTest, ExportCopiesTheChosenFilesMarkedChangedWithTheirChecksums) {
    MakeSet("MFB1", {{"characters.lpl", "characters"},
                     {"net.sav", "net game"},
                     {"game1.sav", "first"},
                     {"game2.sav", "second"},
                     {"game3.zip", "not in a plain export"},
                     {"desc.txt", "Moving house\r\n"}});
    const std::string set = backupDir + "MFB1/";
    ASSERT_TRUE(platform::SetFileAttributes(set + "game1.sav", platform::faReadOnly));
    ASSERT_TRUE(platform::SetFileAttributes(set + "desc.txt", platform::faReadOnly));
    EXPECT_TRUE(Export("MFB1").Ok()) << Joined(reporter.said);
    EXPECT_EQ(reporter.progress.back(), "[hidden]");
    EXPECT_EQ(reporter.progress[reporter.progress.size() - 2],
              "Exporting " + set + "game2.sav to " + medium + "game2.sav");
    EXPECT_EQ(reporter.done.front(), set + "characters.lpl -> " + medium + "characters.lpl");
    EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", "characters.lpl", "desc.txt", "game1.sav",
                                    "game2.sav", "net.sav"}));
    for (const char* name : {"characters.lpl", "net.sav", "game1.sav", "game2.sav"}) {
        EXPECT_EQ(testenv::ReadFile(medium + name), testenv::ReadFile(set + name)) << name;
        EXPECT_EQ(platform::GetFileAttributes(medium + name), platform::faArchive) << name;
    }
    EXPECT_EQ(testenv::ReadFile(medium + "desc.txt"), "Moving house\r\n");
    EXPECT_TRUE(platform::GetFileAttributes(medium + "desc.txt") & platform::faReadOnly);
    EXPECT_TRUE(Whole(medium));
    // Nothing went into the game or the set.
    EXPECT_TRUE(Files(gameDir + "save/games").empty());
    EXPECT_TRUE(platform::GetFileAttributes(set + "game1.sav") & platform::faReadOnly);

    // Again into the same folder, where two files are now read-only: those two
    // fail and stay, the rest is overwritten.
    testenv::WriteFile(set + "net.sav", "net game, later");
    testenv::WriteFile(medium + "characters.lpl", "kept on the medium");
    ASSERT_TRUE(platform::SetFileAttributes(medium + "characters.lpl", platform::faReadOnly));
    reporter = {};
    EXPECT_EQ(Export("MFB1").Failures, 2u);
    EXPECT_EQ(reporter.said,
              (Names{"error exporting " + set + "characters.lpl to " + medium + "characters.lpl",
                     "error copying " + set + "desc.txt to " + medium + "desc.txt"}));
    EXPECT_EQ(reporter.causes, (Names{"Access is denied", "Access is denied"}));
    EXPECT_EQ(testenv::ReadFile(medium + "characters.lpl"), "kept on the medium");
    EXPECT_EQ(testenv::ReadFile(medium + "net.sav"), "net game, later");
}

TEST_F(TransportTest, CompressedExportTakesTheArchivesOfTheChosenKindsAndNoDamagedOne) {
    const std::string chars = Save("characters/characters.lpl", std::string(300, 'c'));
    Save("net/net.sav", "net");
    Save("games/game1.sav", "one");
    const std::string name = BackUpAll(true);
    const std::string set = backupDir + name + "/";
    EXPECT_TRUE(Export(name, true, {false, true, false}).Ok());
    EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", "net.zip"})); // no desc.txt, no message
    EXPECT_TRUE(reporter.said.empty()) << Joined(reporter.said);

    std::string bytes = testenv::ReadFile(set + "characters.zip");
    bytes[bytes.size() / 2] ^= 0x10;
    testenv::WriteFile(set + "characters.zip", bytes);
    EXPECT_EQ(Export(name, true).Failures, 1u);
    EXPECT_EQ(reporter.said, Names{"error exporting " + set + "characters.zip to " + medium +
                                   "characters.zip: the backup copy is damaged"});
    EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", "game1.zip", "net.zip"}));
    EXPECT_EQ(testenv::ReadFile(medium + "game1.zip"), testenv::ReadFile(set + "game1.zip"));
    EXPECT_TRUE(Whole(medium));
}

TEST_F(TransportTest, EachImportMakesOneSetDescribedByTheMedium) {
    Medium({{"characters.lpl", "characters"},
            {"net.sav", std::string("net\0game", 8)},
            {"game1.sav", "not chosen"},
            {"desc.txt", "Moved from the laptop\r\nsecond line\r\n"}});
    for (int run = 0; run < 2; ++run) { // the same medium again: a second set, alike
        const Names before = Sets();
        reporter = {};
        EXPECT_TRUE(Import(false, {true, true, false}).Ok()) << Joined(reporter.said);
        const std::string name = NewSet(before), set = backupDir + name + "/";
        EXPECT_EQ(Files(set), (Names{".mfbackup-sums", "characters.lpl", "desc.txt", "net.sav"}));
        EXPECT_EQ(testenv::ReadFile(set + "net.sav"), std::string("net\0game", 8));
        EXPECT_EQ(Description(name), "Imported: Moved from the laptop");
        EXPECT_TRUE(Whole(set));
        EXPECT_EQ(reporter.progress,
                  (Names{"[Importing file]",
                         "copying " + medium + "characters.lpl to " + set + "characters.lpl",
                         "copying " + medium + "net.sav to " + set + "net.sav", "[hidden]"}));
    }

    // The first line is read up to 255 characters, the whole description cut
    // to 255; an empty or missing desc.txt leaves "Imported: " alone.
    const std::string longLine(300, 'x');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {longLine + "\r\n", "Imported: " + longLine.substr(0, 245)},
        {"", "Imported: "},
        {"(none)", "Imported: "}};
    for (const auto& [content, expected] : cases) {
        if (content == "(none)")
            fs::remove(medium + "desc.txt");
        else
            Medium({{"desc.txt", content}});
        const Names before = Sets();
        Import();
        EXPECT_EQ(Description(NewSet(before)), expected) << content;
    }
}

// Without checksums every game*.* of the medium that is no folder; with
// them, only the files they list.
TEST_F(TransportTest, ImportTakesEveryGameFileOrWhatTheMediumsChecksumsList) {
    Medium({{"characters.lpl", "c"},
            {"game1.sav", "one"},
            {"game2.sav", "two"},
            {"game.txt", "notes"},
            // Windows-1252 names, copied over as they were: two names, not one.
            {"game\xE8.sav", "e grave"},
            {"game\xE9.sav", "e acute"}});
    fs::create_directories(medium + "game9.sav"); // a folder
    EXPECT_TRUE(Import(false, {false, false, true}).Ok()) << Joined(reporter.said);
    const std::string plainSet = backupDir + Sets().at(0) + "/";
    EXPECT_EQ(Files(plainSet), (Names{".mfbackup-sums", "desc.txt", "game.txt", "game1.sav",
                                      "game2.sav", "game\xE8.sav", "game\xE9.sav"}));
    EXPECT_EQ(testenv::ReadFile(plainSet + "game\xE9.sav"), "e acute");
    fs::remove(medium + "game\xE8.sav");
    fs::remove(medium + "game\xE9.sav");

    // Compressed: every entry is fetched as its archive; only game1.zip exists.
    Medium({{"game1.zip", "PK one"}});
    reporter = {};
    EXPECT_EQ(Import(true, {false, false, true}).Failures, 2u);
    const std::string zipSet = backupDir + NewSet({Sets().at(0)}) + "/";
    EXPECT_EQ(Files(zipSet), (Names{".mfbackup-sums", "desc.txt", "game1.zip"}));
    EXPECT_EQ(reporter.said,
              (Names{"Error copying " + medium + "game.zip to " + zipSet + "game.zip",
                     "Error copying " + medium + "game2.zip to " + zipSet + "game2.zip"}));

    // An export into a folder that held an earlier one leaves its files there:
    // the medium's checksums tell which are this export's.
    fs::remove_all(medium);
    Medium({{"characters.lpl", "c"}, {"net.sav", "n"}, {"game1.sav", "1"}, {"game2.sav", "2"}});
    ASSERT_TRUE(testenv::WriteManifestOf(medium, {"characters.lpl", "game1.sav"}));
    reporter = {};
    const Names before = Sets();
    EXPECT_TRUE(Import().Ok());
    EXPECT_EQ(reporter.said, Names{"not part of this export: net.sav, game2.sav"});
    EXPECT_EQ(Files(backupDir + NewSet(before)),
              (Names{".mfbackup-sums", "characters.lpl", "desc.txt", "game1.sav"}));
}

// Two names that differ only in letter case would be one file in the set:
// the first is imported, the second is said, as a backup says its twins; a
// file damaged on the way is refused, the others imported.
TEST_F(TransportTest, ImportRefusesTheSecondOfTwoNamesDifferingInCaseAndADamagedFile) {
    Medium({{"game1.sav", "lower case"}, {"GAME1.SAV", "UPPER CASE"}, {"game2.sav", "two"}});
    Names twins = core::MediumFiles(medium, {false, false, true});
    std::erase(twins, medium + "game2.sav");
    ASSERT_EQ(twins.size(), 2u);
    EXPECT_EQ(Import(false, {false, false, true}).Failures, 1u);
    const std::string set = backupDir + Sets().at(0) + "/";
    const std::string second = fs::path(twins[1]).filename().string();
    EXPECT_EQ(reporter.said, Names{"Error copying " + twins[1] + " to " + set + second});
    EXPECT_EQ(reporter.causes, Names{"The file exists"});
    const std::string kept = fs::path(twins[0]).filename().string();
    Names expected = {".mfbackup-sums", kept, "desc.txt", "game2.sav"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(Files(set), expected);
    EXPECT_EQ(testenv::ReadFile(set + kept), testenv::ReadFile(twins[0]));

    fs::remove(twins[1]);
    ASSERT_TRUE(testenv::WriteManifestOf(medium, {kept, "game2.sav"}));
    testenv::WriteFile(medium + "game2.sav", "tw0");
    reporter = {};
    EXPECT_EQ(Import(false, {false, false, true}).Failures, 1u);
    const std::string again = backupDir + NewSet({Sets().at(0)}) + "/";
    EXPECT_EQ(reporter.said, Names{"Error copying " + medium + "game2.sav to " + again +
                                   "game2.sav: the file on the medium is damaged"});
    std::erase(expected, "game2.sav");
    EXPECT_EQ(Files(again), expected);
}

// An import that files nothing leaves no set for Restore to list, and one
// without a backup folder makes none.
TEST_F(TransportTest, AnImportThatFilesNothingLeavesNoSet) {
    ASSERT_EQ(mkfifo((medium + "net.sav").c_str(), 0644), 0); // no file to copy
    EXPECT_EQ(Import(false, {false, true, false}).Failures, 1u);
    EXPECT_TRUE(Sets().empty());
    EXPECT_EQ(reporter.progress.back(), "[hidden]");

    backupDir += "gone/";
    reporter = {};
    EXPECT_EQ(Import(false, {false, true, false}).Failures, 1u);
    EXPECT_EQ(reporter.said, Names{"Could not create a backup set in " + backupDir +
                                   ": The system cannot find the file specified."});
    EXPECT_FALSE(testenv::Exists(backupDir));
}

} // namespace
