#include "common/manifests.h"
#include "platform/last_error.h"
#include "sets/manifest.h"
#include "sets/prune.h"

#include "common/run_program.h"
#include "common/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace sets;
namespace fs = std::filesystem;

namespace {

std::string Line(const std::string& digest, const std::string& size, const std::string& name) {
    return digest + "  " + size + "  " + name + "\n";
}

const std::string kDigest = integrity::DigestHex(integrity::Sha256::Of("abc"));

} // namespace

TEST(Manifest, WrittenAsSha256sumWritesItsLinesWhateverTheNamesAndReadBack) {
    const std::string folder = testenv::Scratch() + "/MFB1A2B/";
    const std::vector<std::string> names = {"game1.sav",  "back\\slash.sav",    "new\nline.sav",
                                            "cr\r.sav",   "\xFF\xFE latin.sav", " lead",
                                            "two  blanks"};
    for (std::size_t i = 0; i < names.size(); ++i)
        testenv::WriteFile(folder + names[i], std::string(i * 1000, static_cast<char>('a' + i)));
    ASSERT_TRUE(testenv::WriteManifestOf(folder, names));

    // Each line is sha256sum's, with the size between the digest and the name
    // (the names go to it as bytes, through a list).
    std::string list;
    for (const std::string& name : names)
        list += name + '\0';
    testenv::WriteFile(testenv::Scratch() + "/names", list);
    const testenv::Outcome gnu = testenv::RunProgram(
        "/bin/sh", {"-c", "xargs -0 sha256sum -- <../names"}, QString::fromStdString(folder));
    ASSERT_EQ(gnu.exitCode, 0) << gnu.err;
    std::string expected;
    std::size_t at = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::size_t end = gnu.out.find('\n', at);
        std::string line = gnu.out.substr(at, end - at);
        const std::size_t digits = line.front() == '\\' ? 65 : 64;
        expected += line.insert(digits, "  " + std::to_string(i * 1000)) + "\n";
        at = end + 1;
    }
    EXPECT_EQ(testenv::ReadFile(folder + ManifestName), expected);

    Manifest manifest;
    ASSERT_EQ(ReadManifest(folder, manifest), ManifestRead::Read);
    ASSERT_EQ(manifest.Entries.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(manifest.Entries[i].Name, names[i]);
        EXPECT_EQ(manifest.Entries[i].Size, i * 1000);
    }
    ASSERT_NE(manifest.Find("GAME1.SAV"), nullptr);
    EXPECT_EQ(manifest.Find("GAME1.SAV")->Name, "game1.sav");
    EXPECT_EQ(manifest.Find("game2.sav"), nullptr);

    // Put in place whole: nothing else is left in the folder.
    EXPECT_EQ(testenv::Listing(folder).size(), names.size() + 1);
}

TEST(Manifest, DamagedOrHostileTextIsRefusedWithItsLine) {
    const std::string good = Line(kDigest, "3", "game1.sav");
    struct Case {
        std::string text;
        std::string why;
    };
    const std::vector<Case> cases = {
        {good.substr(0, good.size() - 1), "the last line has no end"},
        {good + Line(kDigest.substr(1), "3", "game2.sav"), "line 2: no SHA-256"},
        {Line("z" + kDigest.substr(1), "3", "a"), "line 1: no SHA-256"},
        {kDigest + " 3  a\n", "no two blanks after the SHA-256"},
        {Line(kDigest, "", "a"), "no size"},
        {Line(kDigest, "-3", "a"), "no size"},
        {Line(kDigest, "03", "a"), "leading zero"},
        {Line(kDigest, "99999999999999999999", "a"), "out of range"},
        {kDigest + "  3 a\n", "no two blanks after the size"},
        {Line(kDigest, "3", ""), "no bare file name"},
        {Line(kDigest, "3", "../game1.sav"), "no bare file name"},
        {Line(kDigest, "3", ".."), "no bare file name"},
        {Line(kDigest, "3", std::string("a\0b", 3)), "no bare file name"},
        {Line(kDigest, "3", std::string(256, 'a')), "no bare file name"},
        {"\\" + Line(kDigest, "3", "a\\x"), "wrong escape"},
        {"\\" + Line(kDigest, "3", "a\\"), "wrong escape"},
        {Line(kDigest, "3", "a\r"), "carriage return"},
        {good + Line(kDigest, "4", "GAME1.SAV"), "line 2: a name listed twice"},
        {"\n", "line 1: no SHA-256"},
    };
    for (const Case& c : cases) {
        Manifest manifest;
        std::string why;
        EXPECT_FALSE(ParseManifest(c.text, manifest, why)) << c.text;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.text << ": " << why;
        EXPECT_TRUE(manifest.Entries.empty());
    }
    Manifest manifest;
    std::string why;
    EXPECT_TRUE(ParseManifest("", manifest, why)); // a set with no file
    EXPECT_TRUE(ParseManifest(good + "\\" + Line(kDigest, "0", "a\\\\b\\n"), manifest, why));
    EXPECT_EQ(manifest.Entries[1].Name, "a\\b\n");
}

TEST(Manifest, ReadTellsMissingDamagedAndTooLargeAndAFailedWriteKeepsTheOld) {
    const std::string folder = testenv::Scratch() + "/Medium/";
    fs::create_directories(folder);
    Manifest manifest;
    std::string why;
    EXPECT_EQ(ReadManifest(folder, manifest, &why), ManifestRead::Missing);

    testenv::WriteFile(folder + ManifestName, Line(kDigest, "3", "net.sav").substr(1));
    EXPECT_EQ(ReadManifest(folder, manifest, &why), ManifestRead::Damaged);
    EXPECT_EQ(why, "line 1: no SHA-256");

    std::string huge;
    Manifest tooMany;
    while (huge.size() <= MaxManifestBytes) {
        const std::string name = "game" + std::to_string(huge.size()) + ".sav";
        huge += Line(kDigest, "3", name);
        tooMany.Entries.push_back({name, 3, {}});
    }
    testenv::WriteFile(folder + ManifestName, huge);
    EXPECT_EQ(ReadManifest(folder, manifest, &why), ManifestRead::Damaged);
    EXPECT_EQ(why, "larger than 16777216 bytes");
    // Nothing is written that would read back so.
    EXPECT_FALSE(WriteManifest(folder, tooMany));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_TOO_LARGE);
    EXPECT_EQ(testenv::ReadFile(folder + ManifestName), huge);

    testenv::WriteFile(folder + "net.sav", "abc");
    ASSERT_TRUE(testenv::WriteManifestOf(folder, {"net.sav"}));
    EXPECT_EQ(testenv::ReadFile(folder + ManifestName), Line(kDigest, "3", "net.sav"));
    EXPECT_FALSE(WriteManifest(folder, {{{"sub/net.sav", 3, {}}}}));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_INVALID_NAME);
    EXPECT_FALSE(testenv::WriteManifestOf(folder, {"net.sav", "gone.sav"}));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(testenv::ReadFile(folder + ManifestName), Line(kDigest, "3", "net.sav"));
}

TEST(SetNames, OnlyCreateBackupSetsNamesAndTheFilesASetHolds) {
    for (const char* name : {"MFB1", "MFB1A2B", "mfbffff", "MFB0"})
        EXPECT_TRUE(IsSetName(name)) << name;
    for (const char* name : {"MFB", "MFB12345", "MFB1G", "MFB1A2B.TMP", "XMFB1", "Photos", ""})
        EXPECT_FALSE(IsSetName(name)) << name;

    Manifest manifest;
    manifest.Entries.push_back({"autosave.sav", 3, {}});
    for (const char* name :
         {"desc.txt", "DESC.TXT", ".mfbackup-sums", "autosave.sav", "characters.lpl", "net.sav",
          "game12.sav", "Game1.SAV", "characters.zip", "net.zip", "game1.zip", ".mfcopy-12-0-ff",
          ".pkzip-Ab12Cd", ".mfbackup-unfinished"})
        EXPECT_TRUE(IsSetFileName(name, manifest)) << name;
    for (const char* name : {"notes.txt", "autosave.zip", "characters.sav", "game1.sav.bak",
                             ".hidden", "desc.txt~", "net.lpl"})
        EXPECT_FALSE(IsSetFileName(name, manifest)) << name;
}
