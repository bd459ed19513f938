#include "dialog_tree.h"

#include "gui/operations/backup_dialog.h"
#include "gui/operations/export_dialog.h"
#include "gui/operations/import_dialog.h"
#include "gui/operations/restore_dialog.h"
#include "gui/widgets/file_dialog.h"
#include "gui/widgets/message_box.h"
#include "sets/backup_set.h"
#include "sets/verify.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <cstdint>

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

// Save-file bytes with everything a careless copy could spoil: zero bytes,
// CR LF, Ctrl-Z and high bytes, longer than the owner block.
std::string Bytes(std::uint32_t seed, std::size_t size) {
    std::string out(size, '\0');
    for (char& c : out) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    out.replace(10, 4, std::string("\r\n\x1A\0", 4));
    return out;
}

// Moves the saves of one machine to another: backup, export to a medium,
// import on a second machine (its own BackupDir and game), restore there.
class TransportTest : public DialogTree, public ::testing::WithParamInterface<bool> {
protected:
    void TearDown() override {
        DialogTree::TearDown(); // the progress window went over the dialogs
        delete fmBackup;
        delete fmExport;
        delete fmImport;
        delete fmRestore;
        fmBackup = nullptr;
        fmExport = nullptr;
        fmImport = nullptr;
        fmRestore = nullptr;
    }
    static QString Q(const std::string& s) { return QString::fromStdString(s); }
    static std::string Kinds(QCheckBox* a, QCheckBox* b, QCheckBox* c, QPushButton* ok) {
        std::string s;
        for (QCheckBox* box : {a, b, c})
            s += std::string(box->isEnabled() ? "E" : "-") + (box->isChecked() ? "C " : "- ");
        return s + (ok->isEnabled() ? "OK" : "--");
    }
    ui::MessageCapture messages;
    class : public core::Reporter {
        void Message(const std::string&) override {}
    } reporter;
};

TEST_P(TransportTest, SavesArriveByteForByteOnTheOtherMachine) {
    const bool zip = GetParam();
    BackupConfig.ZipBackups = zip ? 1 : 0;
    const std::vector<std::pair<std::string, std::string>> saves = {
        {"characters/characters.lpl", Bytes(1, 3000)},
        {"net/net.sav", Bytes(2, 70000)},
        {"games/game1.sav", Bytes(3, 500)},
        {"games/game2.sav", Bytes(4, 81)},
        {"games/game10.sav", Bytes(5, 12345)}};
    for (const auto& [rel, bytes] : saves)
        Save(rel, bytes);

    // This machine: back up, then export the set to the medium.
    fmBackup = new TfmBackup;
    fmBackup->show();
    QTest::keyClicks(fmBackup->EdDesc, "Before moving house");
    QTest::mouseClick(fmBackup->Button1, Qt::LeftButton);
    ASSERT_EQ(Sets().size(), 1u);

    // A stick written on another system: its folder name is not UTF-8.
    const std::string medium = testenv::Scratch() + "/USB stick \xE9t\xE9/";
    fs::create_directories(medium);
    fmExport = new TfmExport;
    fmExport->show();
    ASSERT_EQ(fmExport->ckRestore->count(), 1);
    fmExport->ckRestore->item(0)->setCheckState(Qt::Checked);
    ui::SetFileDialogHandler([&](ui::OpenDialog& d) {
        d.FileName = Q(medium + "Destination medium");
        return true;
    });
    QTest::mouseClick(fmExport->BtBrowse, Qt::LeftButton);
    ui::SetFileDialogHandler({});
    EXPECT_EQ(Kinds(fmExport->ckChar, fmExport->ckMulti, fmExport->ckSingle, fmExport->Button1),
              "EC EC EC OK");
    QTest::mouseClick(fmExport->Button1, Qt::LeftButton);
    const std::string e = zip ? "zip" : "sav";
    const Names exported = {"characters." + std::string(zip ? "zip" : "lpl"), "game1." + e,
                            "game10." + e, "game2." + e, "net." + e};
    EXPECT_EQ(Files(medium), (Names{".mfbackup-sums", exported[0], "desc.txt", exported[1],
                                    exported[2], exported[3], exported[4]}));
    // The medium's checksums list exactly the files exported, as they are there.
    sets::Manifest sums;
    ASSERT_EQ(sets::ReadManifest(medium, sums), sets::ManifestRead::Read);
    ASSERT_EQ(sums.Entries.size(), exported.size());
    for (const std::string& name : exported) {
        sets::ManifestEntry now;
        EXPECT_TRUE(sets::HashEntry(medium, name, now) && sums.Find(name) &&
                    *sums.Find(name) == now)
            << name;
    }
    EXPECT_EQ(Sets().size(), 1u); // Export keeps no safety set, though the game has files

    // The other machine: its own backup directory and game.
    const std::string otherBackup = testenv::Scratch() + "/other backup/";
    const std::string otherGame = testenv::Scratch() + "/other game/";
    fs::create_directories(otherBackup);
    for (const char* sub : {"save/characters", "save/net", "save/games"})
        fs::create_directories(otherGame + sub);
    BackupConfig.BackupDir.Set(otherBackup);
    BackupConfig.GameDir.Set(otherGame);

    fmImport = new TfmImport;
    fmImport->show();
    ui::SetFileDialogHandler([&](ui::OpenDialog& d) {
        d.FileName = Q(medium + "Import medium");
        return true;
    });
    QTest::mouseClick(fmImport->BtBrowse, Qt::LeftButton);
    ui::SetFileDialogHandler({});
    EXPECT_EQ(Kinds(fmImport->ckChar, fmImport->ckMulti, fmImport->ckSingle, fmImport->Button1),
              "EC EC EC OK");
    QTest::mouseClick(fmImport->Button1, Qt::LeftButton);
    std::vector<std::string> imported;
    for (const auto& entry : fs::directory_iterator(otherBackup))
        imported.push_back(entry.path().filename().string());
    ASSERT_EQ(imported.size(), 1u);
    std::string description;
    sets::ReadSetDescription(otherBackup, imported[0], description);
    EXPECT_EQ(description, "Imported: Before moving house");
    // The patterns of export, import and the set list never take a
    // checksum file for a save file: the set holds the five files, its
    // description and its own checksums, which match.
    const std::string set = otherBackup + imported[0] + "/";
    EXPECT_EQ(Files(set).size(), exported.size() + 2);
    const sets::SetCheck check = sets::VerifySet(set, imported[0]);
    EXPECT_EQ(check.Status(), sets::SetStatus::Ok);
    EXPECT_EQ(check.Files, exported.size());

    fmRestore = new TfmRestore; // the owner box is off (the settings say so)
    fmRestore->show();
    ASSERT_EQ(fmRestore->ckRestore->count(), 1);
    fmRestore->ckRestore->item(0)->setCheckState(Qt::Checked);
    EXPECT_EQ(Kinds(fmRestore->ckChar, fmRestore->ckMulti, fmRestore->ckSingle, fmRestore->Button1),
              "EC EC EC OK");
    QTest::mouseClick(fmRestore->Button1, Qt::LeftButton);

    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    for (const auto& [rel, bytes] : saves)
        EXPECT_TRUE(testenv::ReadFile(otherGame + "save/" + rel) == bytes) << rel;
    EXPECT_EQ(Files(otherGame + "save/games"), (Names{"game1.sav", "game10.sav", "game2.sav"}));

    // A file damaged on the way is refused, of each kind; the others are imported.
    for (const std::string& name : {exported[0], exported[4], exported[3]}) {
        std::string bytes = testenv::ReadFile(medium + name);
        bytes[bytes.size() / 3] ^= 0x20;
        testenv::WriteFile(medium + name, bytes);
    }
    messages.clear();
    fmImport->show();
    QTest::mouseClick(fmImport->Button1, Qt::LeftButton);
    std::string second;
    for (const auto& entry : fs::directory_iterator(otherBackup))
        if (entry.path().filename() != imported[0])
            second = otherBackup + entry.path().filename().string() + "/";
    QStringList refused;
    for (const std::string& name : {exported[0], exported[4], exported[3]})
        refused << Q("Error copying " + medium + name + " to " + second + name +
                     ": the file on the medium is damaged");
    EXPECT_EQ(messages.texts(), refused);
    EXPECT_EQ(Files(second), (Names{".mfbackup-sums", "desc.txt", exported[1], exported[2]}));
}

INSTANTIATE_TEST_SUITE_P(PlainAndCompressed, TransportTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Compressed") : std::string("Plain");
                         });

} // namespace
