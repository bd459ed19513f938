#include "dialog_tree.h"

#include "core/backup.h"
#include "gui/operations/backup_dialog.h"
#include "gui/operations/restore_dialog.h"
#include "gui/widgets/message_box.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "sets/backup_set.h"
#include "sets/verify.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QWindow>

#include <cstdlib>
#include <ctime>
#include <map>

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

// Records the virtual calls, as a derived dialog (Export) would receive them.
class RecordingRestore : public TfmRestore {
public:
    bool RestoreFile(const std::string& Source, const std::string& Dest) override {
        calls.push_back(fs::path(Source).filename().string() + ">" + Dest);
        return TfmRestore::RestoreFile(Source, Dest);
    }
    void CopyDescFile(const std::string& SetFolder) override { descFolders.push_back(SetFolder); }
    Names calls;
    Names descFolders;
};

class RestoreTest : public DialogTree {
protected:
    void SetUp() override {
        DialogTree::SetUp();
        ComputerName = "MOONHOST-15CHAR";
        BackupConfig.OwnerOnRestore = 1; // read once, at creation
        dlg = new RecordingRestore;
    }
    void TearDown() override {
        DialogTree::TearDown();
        delete dlg;
    }
    // A set folder holding `files` (name, content) side by side.
    void MakeSet(const std::string& name,
                 const std::vector<std::pair<std::string, std::string>>& files) {
        fs::create_directories(backupDir + name);
        for (const auto& [file, bytes] : files)
            testenv::WriteFile(backupDir + name + "/" + file, bytes);
    }
    // The user ticks (or unticks) the check box of item `row`.
    void Tick(int row, bool on = true) {
        dlg->ckRestore->item(row)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    // The user ticks the set named `name`, wherever the list has it.
    void TickSet(const std::string& name) {
        for (std::size_t row = 0; row < dlg->SetList.size(); ++row)
            if (dlg->SetList[row].Object->SetName() == name)
                return Tick(static_cast<int>(row));
        ADD_FAILURE() << "no set " << name << " in the list";
    }
    // Shows the dialog, restores every kind of the set `name` without the
    // owner block, keeping the current saves first unless `safety` is off.
    void RestoreSet(const std::string& name, bool safety = true) {
        dlg->show();
        EXPECT_TRUE(dlg->ckSafety->isChecked()) << "checked on each showing";
        dlg->ckSafety->setChecked(safety);
        dlg->ckOwner->setChecked(false);
        TickSet(name);
        QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    }
    // Backs up every kind of the game's saves into a new set; its name.
    std::string BackUp() {
        const Names before = Sets();
        core::BackupChoices choices;
        choices.GameDir = gameDir;
        choices.BackupDir = backupDir;
        choices.Kinds = {true, true, true};
        choices.Zip = BackupConfig.ZipBackups != 0;
        ui::MessageCapture quiet;
        core::Backup(choices, reporter);
        return NewSet(before);
    }

    std::string Kinds() const { // enabled/checked of the three boxes, e.g. "EC E- --"
        std::string s;
        for (QCheckBox* box : {dlg->ckChar, dlg->ckMulti, dlg->ckSingle})
            s += std::string(box->isEnabled() ? "E" : "-") + (box->isChecked() ? "C " : "- ");
        return s + (dlg->Button1->isEnabled() ? "OK" : "--");
    }
    // The owner block this machine's name gives, followed by `rest`.
    std::string Owned(const std::string& original) const {
        std::string block(81, '\0');
        block.replace(0, ComputerName.size(), ComputerName);
        return block + (original.size() > 81 ? original.substr(81) : "");
    }

    RecordingRestore* dlg = nullptr;
    ui::MessageCapture messages;
    class : public core::Reporter {
        void Message(const std::string&) override {}
    } reporter;
};

TEST(SetDateTest, ShortDateWithFourDigitYearAndLongTimeWithoutZone) {
    const QDateTime afternoon(QDate(2024, 3, 5), QTime(14, 7, 8));
    EXPECT_EQ(FormatSetDate(afternoon, QLocale(QLocale::English, QLocale::UnitedStates)),
              "3/5/2024 2:07:08 PM");
    EXPECT_EQ(FormatSetDate(afternoon, QLocale(QLocale::German, QLocale::Germany)),
              "05.03.2024 14:07:08");
    EXPECT_EQ(FormatSetDate(QDateTime(QDate(1999, 12, 31), QTime(0, 0)),
                            QLocale(QLocale::German, QLocale::Germany)),
              "31.12.1999");
    // A zone in brackets ("H:mm:ss (t)") goes with its brackets.
    const QLocale persian(QLocale::Persian, QLocale::Iran);
    ASSERT_EQ(persian.timeFormat(QLocale::LongFormat), "H:mm:ss (t)");
    const QString withZone = FormatSetDate(afternoon, persian);
    EXPECT_TRUE(withZone.endsWith(" " + persian.toString(afternoon.time(), "H:mm:ss")))
        << withZone.toStdString();
    EXPECT_FALSE(withZone.contains('(') || withZone.contains(')')) << withZone.toStdString();
    // The folder's time, in local time, in 2-second steps.
    platform::SearchRec rec;
    std::tm tm{};
    tm.tm_year = 124, tm.tm_mon = 2, tm.tm_mday = 5, tm.tm_hour = 14, tm.tm_min = 7;
    tm.tm_sec = 9, tm.tm_isdst = -1;
    rec.WriteTime.tv_sec = std::mktime(&tm);
    EXPECT_EQ(TObjSearchRec(rec).DateText(), FormatSetDate(afternoon, QLocale::system()));
}

TEST_F(RestoreTest, ListsSetFoldersOnlyWithDateAndDescription) {
    MakeSet("MFB1", {{"desc.txt", "First run\r\n"}});
    MakeSet("MFB2", {{"net.sav", "n"}});
    MakeSet(".old", {});
    MakeSet("Hidden", {});
    ASSERT_TRUE(platform::SetFileAttributes(backupDir + "Hidden", platform::faHidden));
    testenv::WriteFile(backupDir + "notes.txt", "not a set");
    dlg->show();
    EXPECT_TRUE(messages.texts().isEmpty());
    ASSERT_EQ(dlg->SetList.size(), 2u);
    ASSERT_EQ(dlg->ckRestore->count(), 2);
    EXPECT_EQ(dlg->ckRestore->item(0)->text(), dlg->SetList[0].Object->DateText() + " First run");
    EXPECT_EQ(dlg->ckRestore->item(1)->text(), dlg->SetList[1].Object->DateText() + " ");
    EXPECT_EQ(dlg->SetList[1].Object->SetName(), "MFB2");
    dlg->hide();
    EXPECT_FALSE(dlg->ListsBuilt);
    EXPECT_TRUE(dlg->SetList.empty());
}

TEST_F(RestoreTest, NoSetsIsSaidOncePerShowingWithTheDialogOnScreen) {
    testenv::WriteFile(backupDir + "notes.txt", "only a file");
    QWidget other;
    std::vector<bool> onScreen;
    ui::MessageCapture hook([&](const ui::Message&) {
        onScreen.push_back(dlg->windowHandle() && dlg->windowHandle()->isExposed());
        // While the box is up the focus goes elsewhere and comes back.
        other.show();
        QApplication::setActiveWindow(&other);
        QApplication::processEvents();
        QApplication::setActiveWindow(dlg);
        QApplication::processEvents();
    });
    for (int showing = 1; showing <= 2; ++showing) {
        dlg->show();
        QTRY_COMPARE(hook.texts().size(), showing);
        QTest::qWait(50); // and not again when the box has closed
        EXPECT_EQ(hook.texts().size(), showing);
        EXPECT_EQ(hook.texts().back(), "No contents in backup directory!");
        EXPECT_EQ(onScreen, std::vector<bool>(showing, true));
        EXPECT_TRUE(dlg->isVisible());
        EXPECT_TRUE(dlg->ListsBuilt);
        EXPECT_EQ(dlg->ckRestore->count(), 0);
        EXPECT_FALSE(dlg->Button1->isEnabled());
        dlg->hide();
    }
}

TEST_F(RestoreTest, OneSetAtATimeAndKindBoxesFollowItAndTheCurrentMode) {
    MakeSet("MFB1", {{"net.sav", "n"}});
    MakeSet("MFB2", {{"characters.lpl", "c"}, {"net.sav", "n"}, {"game1.sav", "g"}});
    MakeSet("MFB3", {{"characters.zip", "z"}, {"game01.zip", "z"}});
    dlg->show();
    EXPECT_EQ(Kinds(), "-- -- -- --");
    Tick(0);
    EXPECT_EQ(Kinds(), "-- EC -- OK");
    Tick(1);
    EXPECT_EQ(dlg->ckRestore->item(0)->checkState(), Qt::Unchecked);
    EXPECT_EQ(dlg->CurrentSet, dlg->SetList[1].Object.get());
    EXPECT_EQ(Kinds(), "EC EC EC OK");
    dlg->ckChar->click();
    dlg->ckMulti->click();
    dlg->ckSingle->click();
    EXPECT_EQ(Kinds(), "E- E- E- --");
    dlg->ckMulti->click();
    EXPECT_EQ(Kinds(), "E- EC E- OK");
    Tick(2); // a compressed set, read as plain
    EXPECT_EQ(Kinds(), "-- -- -- --");
    Tick(2, false);
    EXPECT_EQ(Kinds(), "-- -- -- --");

    BackupConfig.ZipBackups = 1;
    Tick(2);
    EXPECT_EQ(Kinds(), "EC -- EC OK");
    Tick(1);
    EXPECT_EQ(Kinds(), "-- -- -- --");
    Tick(2);
    dlg->hide(); // a new showing starts over
    dlg->show();
    EXPECT_EQ(Kinds(), "-- -- -- --");
    for (int row = 0; row < dlg->ckRestore->count(); ++row)
        EXPECT_EQ(dlg->ckRestore->item(row)->checkState(), Qt::Unchecked);
}

TEST_F(RestoreTest, PlainRestoreWritesTheOwnerBlockOrLeavesFilesAsInTheSet) {
    const std::string longChars(200, 'c'), shortNet(40, 'n');
    MakeSet("MFB1", {{"characters.lpl", longChars},
                     {"net.sav", shortNet},
                     {"game2.sav", "second game"},
                     {"game1.sav", "first game"},
                     {"desc.txt", "d\r\n"}});
    fs::permissions(backupDir + "MFB1/game1.sav", fs::perms::owner_read);
    const std::string chars = Save("characters/characters.lpl", "old characters");
    const std::string net = gameDir + "save/net/net.sav";
    for (bool owner : {true, false}) {
        dlg->calls.clear();
        dlg->show();
        EXPECT_EQ(dlg->ckOwner->isChecked(), true); // from the settings, at creation
        dlg->ckOwner->setChecked(owner);
        Tick(0);
        QTest::mouseClick(dlg->Button1, Qt::LeftButton);
        EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
        EXPECT_EQ(dlg->result(), QDialog::Accepted);
        EXPECT_FALSE(fmInfo->isVisible());
        EXPECT_EQ(fmInfo->windowTitle(), "Restoring");
        EXPECT_EQ(dlg->calls, (Names{"characters.lpl>" + chars, "net.sav>" + net,
                                     "game1.sav>" + gameDir + "save/games/game1.sav",
                                     "game2.sav>" + gameDir + "save/games/game2.sav"}));
        EXPECT_EQ(dlg->descFolders.back(), backupDir + "MFB1/");
        EXPECT_EQ(fmInfo->txBackup->text().toStdString(),
                  "Copying " + backupDir + "MFB1/game2.sav to " + gameDir + "save/games/game2.sav");
        const std::string game1 = gameDir + "save/games/game1.sav";
        if (owner) {
            EXPECT_EQ(testenv::ReadFile(chars), Owned(longChars));
            EXPECT_EQ(testenv::ReadFile(net), Owned(shortNet)); // 40 bytes grew to 81
            EXPECT_EQ(testenv::ReadFile(game1), Owned("first game"));
        } else {
            EXPECT_EQ(testenv::ReadFile(chars), longChars);
            EXPECT_EQ(testenv::ReadFile(net), shortNet);
            EXPECT_EQ(testenv::ReadFile(game1), "first game");
        }
        // Writing the owner block marks the file changed again, as on Windows.
        for (const std::string& path : {chars, net, game1})
            EXPECT_EQ(platform::GetFileAttributes(path), owner ? platform::faArchive : 0u) << path;
    }
    // A name of 81 bytes is cut before the "é" that would not fit whole.
    platform::StagedFile staged;
    ASSERT_TRUE(staged.Open(chars, false) && staged.CopyFrom(chars));
    ASSERT_TRUE(core::UpdateOwner(staged, std::string(79, 'A') + "\xC3\xA9") && staged.Commit());
    EXPECT_EQ(testenv::ReadFile(chars).substr(0, 82),
              std::string(79, 'A') + std::string(2, '\0') + "c");
}

TEST_F(RestoreTest, CompressedBackupRestoresWithAndWithoutOwner) {
    BackupConfig.ZipBackups = 1;
    const std::string chars = Save("characters/characters.lpl", std::string(120, 'c'));
    const std::string game = Save("games/game01.sav", std::string(40, 'g'));
    fmBackup = new TfmBackup;
    fmBackup->show();
    QTest::mouseClick(fmBackup->Button1, Qt::LeftButton);
    fmInfo->setParent(nullptr); // it went over the backup dialog
    delete fmBackup;
    fmBackup = nullptr;
    ASSERT_EQ(Sets().size(), 1u);
    const std::string set = Sets()[0]; // the list also gets the safety sets
    for (bool owner : {false, true}) {
        testenv::WriteFile(chars, "played since");
        testenv::WriteFile(game, "played since");
        dlg->show();
        dlg->ckOwner->setChecked(owner);
        TickSet(set);
        EXPECT_EQ(Kinds(), "EC -- EC OK");
        QTest::mouseClick(dlg->Button1, Qt::LeftButton);
        EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
        EXPECT_EQ(testenv::ReadFile(chars),
                  owner ? Owned(std::string(120, 'c')) : std::string(120, 'c'));
        EXPECT_EQ(testenv::ReadFile(game), owner ? Owned("") : std::string(40, 'g'));
        EXPECT_EQ(Changed(game), owner);
        EXPECT_EQ(Files(gameDir + "save/games"), Names{"game01.sav"});
    }
}

TEST_F(RestoreTest, FailuresOfOneFileDoNotStopTheOthers) {
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
    // The first set in the list is the plain one.
    MakeSet("MFA1", {{"characters.lpl", "new characters"}, {"net.sav", "new net"}});
    const std::string chars = Save("characters/characters.lpl", "kept characters");
    fs::permissions(chars, fs::perms::owner_read); // refused as a target
    dlg->show();
    Tick(0);
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_EQ(messages.texts(),
              QStringList{QString::fromStdString("error copying " + backupDir +
                                                 "MFA1/characters.lpl to " + chars)});
    EXPECT_EQ(testenv::ReadFile(chars), "kept characters");
    EXPECT_EQ(testenv::ReadFile(gameDir + "save/net/net.sav"), Owned("new net"));

    messages.clear();
    BackupConfig.ZipBackups = 1;
    fs::permissions(chars, fs::perms::owner_write, fs::perm_options::add);
    fs::remove_all(gameDir + "save/net"); // the game's folders are not made
    dlg->show();
    Tick(1);
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    const std::string game1 = gameDir + "save/games/game1.sav";
    ASSERT_EQ(messages.texts().size(), 5);
    // The archiver refuses the damaged archive: the game's file stays as it was.
    EXPECT_TRUE(messages.texts()[0].startsWith("pkzip.exe ended with exit code "));
    EXPECT_EQ(messages.texts()[1].toStdString(),
              "error unzipping " + backupDir + "MFB1/characters.lpl to " + chars);
    EXPECT_EQ(testenv::ReadFile(chars), "kept characters");
    EXPECT_EQ(messages.texts()[2].toStdString(),
              "error unzipping " + backupDir + "MFB1/net.sav to " + gameDir + "save/net/net.sav");
    EXPECT_FALSE(fs::exists(fs::current_path() / "net.sav"));
    EXPECT_TRUE(messages.texts()[3].startsWith("pkzip.exe ended with exit code "));
    EXPECT_EQ(messages.texts()[4].toStdString(),
              "error unzipping " + backupDir + "MFB1/game1.zip to " + game1);
    EXPECT_EQ(Files(gameDir + "save/games"), Names{"game2.sav"});
    EXPECT_EQ(testenv::ReadFile(gameDir + "save/games/game2.sav"), Owned("zipped game2.sav"));
    EXPECT_EQ(dlg->descFolders.back(), backupDir + "MFB1/");
    EXPECT_FALSE(fmInfo->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
}

TEST_F(RestoreTest, LongGameFolderIsUsedWhole) {
    std::string deep = testenv::WinePrefix() + "/drive_c/";
    while (deep.size() < 230)
        deep += "Moonforge Install Folder/";
    BackupConfig.GameDir.Set(deep); // the whole of it: below 255 bytes
    fs::create_directories(deep + "save/characters");
    MakeSet("MFB1", {{"characters.lpl", "chars"}});
    dlg->ckOwner->setChecked(false);
    dlg->show();
    Tick(0);
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    EXPECT_EQ(testenv::ReadFile(deep + "save/characters/characters.lpl"), "chars");
}

// Restore keeps the game's files it replaces in a new set first; restoring
// that set undoes the restore.
class SafetySetTest : public RestoreTest, public testing::WithParamInterface<bool> {};

TEST_P(SafetySetTest, KeepsWhatARestoreReplacesAndRestoringItBringsThatBack) {
    BackupConfig.ZipBackups = GetParam() ? 1 : 0;
    const std::map<std::string, std::string> first = {
        {"characters/characters.lpl", std::string("chars\0\r\n\x1A", 9) + std::string(300, 'c')},
        {"net/net.sav", std::string(5000, 'n')},
        {"games/game1.sav", "first game"}};
    for (const auto& [rel, bytes] : first)
        Save(rel, bytes);
    Save("games/game2.sav", "played later");
    const std::string later = BackUp();
    fs::remove(gameDir + "save/games/game2.sav"); // not there to be kept
    const auto game = [&](const std::string& rel) {
        return testenv::ReadFile(gameDir + "save/" + rel);
    };

    EXPECT_TRUE(dlg->ckSafety->isVisibleTo(dlg));
    EXPECT_EQ(dlg->ckSafety->text(), "Keep current saves");
    RestoreSet(later);
    const std::string safety = NewSet({later});
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
    std::string description;
    sets::ReadSetDescription(backupDir, safety, description);
    EXPECT_EQ(description, "Before restoring " + later);
    const std::string e = GetParam() ? "zip" : "sav";
    EXPECT_EQ(Files(backupDir + safety),
              (Names{".mfbackup-sums", "characters." + std::string(GetParam() ? "zip" : "lpl"),
                     "desc.txt", "game1." + e, "net." + e}));
    const sets::SetCheck check = sets::VerifySet(backupDir + safety + "/", safety);
    EXPECT_EQ(check.Status(), sets::SetStatus::Ok);
    EXPECT_EQ(check.Files, 3u);
    EXPECT_EQ(game("games/game2.sav"), "played later");

    // Restoring the safety set brings the first saves back, and keeps those it
    // replaces: the progress window shows each as it is kept, then the restore.
    class : public core::Reporter {
    public:
        void Message(const std::string& text) override { lines.push_back(text); }
        void ProgressShow(const std::string& caption) override {
            lines.push_back("[" + caption + "]");
        }
        void ProgressText(const std::string& text) override { lines.push_back(text); }
        Names lines;
    } progress;
    core::RestoreChoices choices;
    choices.Plan = {backupDir, gameDir, safety, {true, true, true}, GetParam(), true, GetParam()};
    EXPECT_TRUE(core::Restore(choices, progress).Ok());
    const Names keeping = {"[Restoring]", "Keeping " + gameDir + "save/characters/characters.lpl",
                           "Keeping " + gameDir + "save/net/net.sav",
                           "Keeping " + gameDir + "save/games/game1.sav", "[Restoring]"};
    ASSERT_GT(progress.lines.size(), keeping.size());
    EXPECT_EQ(Names(progress.lines.begin(), progress.lines.begin() + keeping.size()), keeping);
    EXPECT_EQ(progress.lines[keeping.size()].rfind(GetParam() ? "UnZipping " : "Copying ", 0), 0u);
    EXPECT_EQ(Sets().size(), 3u);
    for (const auto& [rel, bytes] : first)
        EXPECT_TRUE(game(rel) == bytes) << rel;
    EXPECT_EQ(game("games/game2.sav"), "played later"); // a file the restore added stays

    // Unticked, no set is made; the next showing ticks it again.
    RestoreSet(later, false);
    EXPECT_EQ(Sets().size(), 3u);
    EXPECT_EQ(game("games/game1.sav"), "first game");
    dlg->show();
    EXPECT_TRUE(dlg->ckSafety->isChecked());
    EXPECT_TRUE(messages.texts().isEmpty()) << messages.texts().join("|").toStdString();
}

INSTANTIATE_TEST_SUITE_P(Forms, SafetySetTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Compressed" : "Plain"; });

TEST_F(RestoreTest, AFullDiskStopsTheRestoreBeforeAnyGameFileChanges) {
    const std::string disk = testenv::Scratch() + "/disk";
    testenv::TmpfsMount mount(disk, 1 << 20);
    if (!mount.Mounted())
        GTEST_SKIP() << "No small file system to fill, so no full-disk restore: " << mount.Reason();
    backupDir = disk + "/";
    BackupConfig.BackupDir.Set(backupDir);
    MakeSet("MFB1", {{"characters.lpl", "set chars"}, {"net.sav", "set net"}});
    // The first fits beside the set, the second does not.
    const std::string chars = Save("characters/characters.lpl", std::string(600 << 10, 'c'));
    const std::string net = Save("net/net.sav", std::string(600 << 10, 'n'));
    RestoreSet("MFB1");
    EXPECT_EQ(messages.texts(), QStringList{"Could not keep the current saves in a new set: There "
                                            "is not enough space on the disk. Nothing was "
                                            "restored."});
    EXPECT_EQ(Sets(), Names{"MFB1"}); // the partial safety set is gone
    EXPECT_TRUE(testenv::ReadFile(chars) == std::string(600 << 10, 'c'));
    EXPECT_TRUE(testenv::ReadFile(net) == std::string(600 << 10, 'n'));
    EXPECT_FALSE(fmInfo->isVisible());
    // The window showed the file being kept when the disk was found full.
    EXPECT_EQ(fmInfo->windowTitle(), "Restoring");
    EXPECT_EQ(fmInfo->txBackup->text().toStdString(), "Keeping " + net);
}

TEST_F(RestoreTest, ACopyThatDoesNotMatchItsChecksumIsNotRestored) {
    for (const bool zip : {false, true}) {
        SCOPED_TRACE(zip ? "compressed" : "plain");
        BackupConfig.ZipBackups = zip ? 1 : 0;
        const std::string chars = Save("characters/characters.lpl", std::string(400, 'c'));
        const std::string net = Save("net/net.sav", "backed up");
        const std::string name = BackUp();
        const std::string set = backupDir + name + "/";
        const std::string damaged = set + (zip ? "characters.zip" : "characters.lpl");
        std::string bytes = testenv::ReadFile(damaged);
        bytes[bytes.size() / 2] ^= 0x04;
        testenv::WriteFile(damaged, bytes);
        Save("characters/characters.lpl", "played since");
        Save("net/net.sav", "played since");
        messages.clear();
        RestoreSet(name);
        EXPECT_EQ(messages.texts().join("|").toStdString(),
                  (zip ? "error unzipping " : "error copying ") + set + "characters.lpl to " +
                      chars + ": the backup copy is damaged");
        EXPECT_EQ(testenv::ReadFile(chars), "played since");
        EXPECT_TRUE(Changed(chars)); // the safety set took it and cleared no mark
        EXPECT_EQ(testenv::ReadFile(net), "backed up");
    }
}

} // namespace
