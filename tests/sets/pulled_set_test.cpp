// A set a pull filed: its files moved in from the download, its origin
// written beside its desc.txt. The origin is one of the set's own files to
// prune and to the removal of empty sets, and never a save file to verify or
// the set list.

#include "platform/last_error.h"
#include "sets/backup_set.h"
#include "sets/prune.h"
#include "sets/set_list.h"
#include "sets/set_writer.h"
#include "sets/verify.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace sets;
namespace fs = std::filesystem;

namespace {

ManifestEntry Staged(const std::string& folder, const std::string& name, const std::string& bytes) {
    testenv::WriteFile(folder + name, bytes);
    ManifestEntry entry;
    EXPECT_TRUE(HashEntry(folder, name, entry));
    return entry;
}

} // namespace

TEST(PulledSet, ItsOriginIsASetFileThatNoCheckOrCountTakesForASave) {
    const std::string backup = testenv::Scratch() + "/backup/";
    const std::string download = testenv::Scratch() + "/download/";
    fs::create_directories(backup);
    SetWriter writer;
    std::string why;
    ASSERT_TRUE(writer.Create(backup, "ALPHA MFB1 7 Dec 2026 16:09", why)) << why;
    const std::string set = writer.Path();
    ASSERT_TRUE(writer.MoveIn(download + "game1.sav", Staged(download, "game1.sav", "saved")));
    // A twin of a file the set holds is refused, and the set keeps its own.
    EXPECT_FALSE(writer.MoveIn(download + "GAME1.SAV", Staged(download, "GAME1.SAV", "twin")));
    EXPECT_EQ(platform::GetLastError(), platform::ERROR_FILE_EXISTS);
    ASSERT_TRUE(writer.WriteOrigin("ALPHA/MFB1"));
    ASSERT_TRUE(writer.Finish() && writer.MarkFinished());

    EXPECT_EQ(testenv::ReadFile(set + "game1.sav"), "saved");
    EXPECT_EQ(ReadSetOrigin(set), "ALPHA/MFB1");
    Manifest manifest;
    ASSERT_EQ(ReadManifest(set, manifest), ManifestRead::Read);
    ASSERT_EQ(manifest.Entries.size(), 1u);
    EXPECT_EQ(manifest.Entries[0].Name, "game1.sav");
    const SetCheck check = VerifySet(set, "MFB1");
    EXPECT_EQ(check.Status(), SetStatus::Ok);
    EXPECT_EQ(check.Files, 1u);
    EXPECT_EQ(ReadContents(set).Files, 1u);
    EXPECT_TRUE(RemoveSetFolder(set, why)) << why;
    EXPECT_FALSE(testenv::Exists(set));
}

// A set a pull began and no file went into goes as any empty set goes.
TEST(PulledSet, AnEmptyPulledSetIsRemovedAsAnyEmptySetIs) {
    const std::string backup = testenv::Scratch() + "/backup/";
    fs::create_directories(backup);
    SetWriter writer;
    std::string why;
    ASSERT_TRUE(writer.Create(backup, "ALPHA MFB1", why)) << why;
    ASSERT_TRUE(writer.WriteOrigin("ALPHA/MFB1"));
    writer.RemoveIfEmpty();
    EXPECT_FALSE(testenv::Exists(writer.Path()));
}
