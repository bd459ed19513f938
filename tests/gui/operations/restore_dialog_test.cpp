// The Restore dialog: its set list and kind boxes, and OK restoring the
// checked set through its handlers with the choices read from its controls
// (the restore itself is tested in tests/core).

#include "dialog_tree.h"

#include "gui/operations/restore_dialog.h"
#include "platform/paths.h"

#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <QWindow>

#include <ctime>

namespace fs = std::filesystem;

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

class RestoreDialog : public DialogTest<RecordingRestore> {
protected:
    void Configure() override {
        ComputerName = "MOONHOST-15CHAR";
        BackupConfig.OwnerOnRestore = 1; // read once, at creation
    }
    // The user ticks (or unticks) the check box of item `row`.
    void Tick(int row, bool on = true) {
        dlg->ckRestore->item(row)->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    }
    // Shows the dialog, ticks the set `name` wherever the list has it.
    void ShowAndTick(const std::string& name) {
        dlg->show();
        for (std::size_t row = 0; row < dlg->SetList.size(); ++row)
            if (dlg->SetList[row].Object->SetName() == name)
                return Tick(static_cast<int>(row));
        ADD_FAILURE() << "no set " << name << " in the list";
    }
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

TEST_F(RestoreDialog, ListsSetFoldersOnlyWithDateAndDescription) {
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
}

TEST_F(RestoreDialog, NoSetsIsSaidOncePerShowingWithTheDialogOnScreen) {
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

TEST_F(RestoreDialog, OneSetAtATimeAndKindBoxesFollowItAndTheCurrentMode) {
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

// OK restores the kinds checked of the set checked, each file through
// RestoreFile in the set's order and CopyDescFile once at the end, with the
// owner block when the box (not the setting) says so, and keeps the game's
// files first in a new set while Back up saves first is ticked.
TEST_F(RestoreDialog, OkRestoresTheCheckedKindsOfTheCheckedSetThroughItsHandlers) {
    MakeSet("MFB1", {{"characters.lpl", "set characters"},
                     {"net.sav", "set net"},
                     {"game2.sav", "second game"},
                     {"game1.sav", "first game"},
                     {"desc.txt", "d\r\n"}});
    const std::string chars = Save("characters/characters.lpl", "old characters");
    const std::string games = gameDir + "save/games/";
    for (const bool owner : {true, false}) {
        dlg->calls.clear();
        ShowAndTick("MFB1");
        EXPECT_TRUE(dlg->ckOwner->isChecked()); // from the settings, at creation
        EXPECT_TRUE(dlg->ckSafety->isChecked()) << "ticked on each showing";
        dlg->ckOwner->setChecked(owner);
        dlg->ckSafety->setChecked(!owner);
        dlg->ckMulti->click();
        const Names before = Sets();
        QTest::mouseClick(dlg->Button1, Qt::LeftButton);
        EXPECT_EQ(Shown(), "");
        EXPECT_EQ(dlg->result(), QDialog::Accepted);
        EXPECT_EQ(dlg->calls, (Names{"characters.lpl>" + chars, "game1.sav>" + games + "game1.sav",
                                     "game2.sav>" + games + "game2.sav"}));
        EXPECT_EQ(dlg->descFolders, Names(owner ? 1 : 2, backupDir + "MFB1/"));
        EXPECT_FALSE(fs::exists(gameDir + "save/net/net.sav"));
        EXPECT_EQ(testenv::ReadFile(games + "game1.sav").size(), owner ? 81u : 10u);
        EXPECT_EQ(Sets().size(), before.size() + !owner);
        EXPECT_FALSE(fmInfo->isVisible());
        EXPECT_EQ(fmInfo->windowTitle(), "Restoring");
        EXPECT_EQ(fmInfo->txBackup->text().toStdString(),
                  "Copying " + backupDir + "MFB1/game2.sav to " + games + "game2.sav");
    }
    ASSERT_TRUE(dlg->UpdateOwner(chars)); // this machine's name, into a file where it is
    EXPECT_EQ(testenv::ReadFile(chars).substr(0, 16), std::string("MOONHOST-15CHAR", 16));
}

// Each file that fails is said in a box of its own, in their order, with the
// text alone (no cause) and the line it is about shown; the compressed form
// OK hands on is the export dialog test's.
TEST_F(RestoreDialog, EachFailureIsOneBoxShownWithItsLine) {
    const std::string chars = Save("characters/characters.lpl", "played");
    const std::string net = Save("net/net.sav", "net");
    MakeSet("MFB0",
            {{"characters.lpl", "set characters"}, {"net.sav", "set net"}, {"game1.sav", "game"}});
    for (const std::string& target : {chars, net})
        fs::permissions(target, fs::perms::owner_read); // refused as a target
    QStringList lines;
    ui::MessageCapture hook([&](const ui::Message&) { lines << fmInfo->txBackup->text(); });
    ShowAndTick("MFB0");
    QTest::mouseClick(dlg->Button1, Qt::LeftButton);
    QStringList boxes;
    for (const std::string& target : {chars, net}) {
        const std::string source = backupDir + "MFB0/" + fs::path(target).filename().string();
        boxes << Q("error copying " + source + " to " + target);
    }
    EXPECT_EQ(hook.texts(), boxes);
    EXPECT_EQ(lines, QStringList(boxes).replaceInStrings("error copying ", "Copying "));
}

} // namespace
