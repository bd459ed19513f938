#include "gui/settings/settings_dialog.h"

#include "common/prefixes.h"
#include "gui/widgets/file_dialog.h"
#include "gui/widgets/message_box.h"
#include "settings/backup_config.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

std::string SettingsFile() {
    return testenv::ConfigHome() + "/mfbackup.ini";
}

std::string MakeDir(const std::string& relative) {
    const std::string path = testenv::Scratch() + "/" + relative;
    std::filesystem::create_directories(path);
    return path;
}

// A game folder with an (empty) save folder in it, without its trailing '/'.
std::string GameFolder() {
    const std::string dir = MakeDir("games");
    MakeDir("games/save");
    return dir;
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

class SettingsDialog : public testing::Test {
protected:
    void SetUp() override {
        InitialiseSettings();
        fmSettings = new TfmSettings();
        dialog = fmSettings;
    }
    void TearDown() override {
        delete fmSettings;
        fmSettings = nullptr;
    }

    void Open() {
        dialog->show();
        QApplication::setActiveWindow(dialog);
        QApplication::processEvents();
    }
    void Type(const std::string& source, const std::string& target) {
        dialog->EdSourceDir->setText(Q(source));
        dialog->EdTargetDir->setText(Q(target));
    }
    // Presses OK; true when the dialog closed with the OK result.
    bool PressOK() {
        dialog->BitBtn1->click();
        return !dialog->isVisible() && dialog->result() == QDialog::Accepted;
    }
    // The five boxes, checked or not: "11001".
    std::string Boxes() const {
        std::string s;
        for (QCheckBox* box :
             {dialog->CkChar, dialog->CkMulti, dialog->CkSingle, dialog->ckZip, dialog->ckOwner})
            s += box->isChecked() ? '1' : '0';
        return s;
    }

    TfmSettings* dialog = nullptr;
};

} // namespace

TEST_F(SettingsDialog, ControlsCarryTheirNamesTextsHintsAndTabOrder) {
    EXPECT_EQ(dialog->BtFind->text(), "Find");
    EXPECT_EQ(dialog->BtFind->toolTip(), "Look for Moonforge in the Wine, Proton, Lutris, "
                                         "Bottles and Heroic prefixes of this user.");
    EXPECT_EQ(dialog->EdSourceDir->toolTip(), "Directory where you installed Moonforge.");
    EXPECT_EQ(dialog->BtBrowse->toolTip(), "Browse source or target directory.");
    EXPECT_EQ(dialog->EdTargetDir->toolTip(), "Your backup directory, create this one first!");
    EXPECT_EQ(dialog->ckZip->toolTip(), "Calls PkZip for Windows to compress backups.");
    EXPECT_EQ(dialog->ckOwner->toolTip(), "Changes the machinename on restore.");
    EXPECT_TRUE(dialog->BitBtn1->isDefault());

    QStringList chain;
    QWidget* w = dialog->EdSourceDir;
    for (; chain.size() < 11; w = w->nextInFocusChain())
        if (w->focusPolicy() & Qt::TabFocus)
            chain << w->objectName();
    EXPECT_EQ(chain, QStringList({"EdSourceDir", "BtBrowse", "BtFind", "EdTargetDir", "BitBtn1",
                                  "BitBtn2", "CkChar", "CkMulti", "CkSingle", "ckZip", "ckOwner"}));
}

// OK checks both folders, the game's first, each shown with its separator
// (appended when missing); each failure is one box, the field failing last
// gets the focus, the dialog stays as the user left it (a box over it is no
// new opening), and nothing is stored.
TEST_F(SettingsDialog, OkChecksBothFoldersAndStoresNothingAfterAFailure) {
    const std::string game = GameFolder(), s = testenv::Scratch();
    const std::string empty = MakeDir("backup"), nosave = MakeDir("nosave") + "/";
    testenv::WriteFile(s + "/plain", "x");
    const std::string fits = "/" + std::string(253, 'a') + "/"; // 255 bytes
    const QString missing = "Could not find this directory|Validation Error";
    const QString tooLong = "Directory name too long (at most 255 characters)|Validation Error";
    const struct {
        std::string source, target;
        QStringList shown; // each box, text|caption
        int focus;         // after a failure: 1 the source field, 2 the target field
    } cases[] = {
        {"", "", {}, 0},                // both empty: stored untested
        {game, empty, {}, 0},           // an empty folder has its dot entry
        {"", s + "/not/there/", {}, 0}, // typed with its separator: not tested
        {"", fits, {}, 0},
        {s + "/nogame", s + "/nobackup", {missing, missing}, 2},
        {"", s + "/plain", {missing}, 2}, // a file is no folder
        {nosave,
         "",
         {Q("Moonforge save directory not found (" + nosave + "save/*.*).|Validation error")},
         1},
        {"", "/" + std::string(254, 'b') + "/", {tooLong}, 2},
        {"/" + std::string(254, 'c'), "", {tooLong}, 1}, // the separator appended counts
    };
    const auto completed = [](const std::string& dir) {
        return dir.empty() || dir.back() == '/' ? dir : dir + "/";
    };
    // The hook puts a modal window over the dialog and hands the focus back
    // when it closes, as a message box does.
    ui::MessageCapture shown([this](const ui::Message&) {
        QDialog box(dialog);
        QTimer::singleShot(10, &box, &QDialog::accept);
        box.exec();
        QApplication::setActiveWindow(dialog);
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source + " | " + c.target);
        const std::string file = testenv::ReadFile(SettingsFile());
        const auto before = BackupConfig.ToBytes();
        Open();
        Type(c.source, c.target);
        dialog->CkSingle->toggle();
        const std::string boxes = Boxes();
        shown.clear();
        EXPECT_EQ(PressOK(), c.shown.isEmpty());
        QTest::qWait(20); // let the dialog be activated again
        QStringList said;
        for (const ui::Message& m : shown.messages()) {
            said << m.text + "|" + m.caption;
            EXPECT_EQ(m.icon, ui::MessageIcon::Warning);
        }
        EXPECT_EQ(said, c.shown);
        EXPECT_EQ(dialog->EdSourceDir->text().toStdString(), completed(c.source));
        EXPECT_EQ(dialog->EdTargetDir->text().toStdString(), completed(c.target));
        if (c.shown.isEmpty()) {
            EXPECT_EQ(BackupConfig.GameDir.Get(), completed(c.source));
            EXPECT_EQ(BackupConfig.BackupDir.Get(), completed(c.target));
            continue;
        }
        EXPECT_TRUE(dialog->isVisible());
        EXPECT_EQ(Boxes(), boxes);
        EXPECT_EQ(testenv::ReadFile(SettingsFile()), file);
        EXPECT_EQ(BackupConfig.ToBytes(), before);
        EXPECT_EQ(dialog->focusWidget(),
                  c.focus == 1 ? static_cast<QWidget*>(dialog->EdSourceDir) : dialog->EdTargetDir);
        dialog->BitBtn2->click();
    }
}

TEST_F(SettingsDialog, EnterPressesTheFocusedButtonAndOkFromAnEdit) {
    int browsed = 0;
    ui::SetFileDialogHandler([&](ui::OpenDialog&) {
        ++browsed;
        return false;
    });
    ui::MessageCapture shown;
    for (QWidget* focused :
         std::initializer_list<QWidget*>{dialog->BtBrowse, dialog->BitBtn2, dialog->EdTargetDir}) {
        SCOPED_TRACE(focused->objectName().toStdString());
        Open();
        Type("", "");
        focused->setFocus();
        QTest::keyClick(focused, Qt::Key_Return);
        EXPECT_EQ(browsed, 1);
        EXPECT_EQ(dialog->isVisible(), focused == dialog->BtBrowse);
        EXPECT_EQ(dialog->result(),
                  focused == dialog->EdTargetDir ? QDialog::Accepted : QDialog::Rejected);
        EXPECT_EQ(BackupConfig.GameDir.Get().empty(), focused == dialog->EdTargetDir);
    }
    EXPECT_TRUE(shown.messages().empty());
    ui::SetFileDialogHandler({});
}

// The file dialog starts from the name chosen last, in the folder the field
// names; the choice fills the field entered last, none before a field was.
TEST_F(SettingsDialog, BrowseFillsTheFieldEnteredLast) {
    const std::string picked = testenv::Scratch() + "/backup/";
    QStringList offered;
    bool confirm = true;
    ui::SetFileDialogHandler([&](ui::OpenDialog& d) {
        offered << d.objectName() + ":" + d.FileName + " in " + d.StartFolder;
        d.FileName = confirm ? Q(picked + "Moonforge Dir") : "/somewhere/else";
        return confirm;
    });
    dialog->BtBrowseClick();
    EXPECT_EQ(dialog->EdSourceDir->text() + dialog->EdTargetDir->text(), "");

    Open();
    Type("/games/", "/not/there/");
    dialog->EdTargetDir->setFocus();
    EXPECT_EQ(dialog->BrowseTag, 2);
    dialog->BtBrowse->click();
    EXPECT_EQ(dialog->EdTargetDir->text().toStdString(), picked);
    EXPECT_EQ(dialog->EdSourceDir->text(), "/games/");
    dialog->EdSourceDir->setFocus();
    dialog->BtBrowse->click();
    EXPECT_EQ(dialog->EdSourceDir->text().toStdString(), picked);
    confirm = false;
    dialog->EdSourceDir->setText("/games/");
    dialog->BtBrowse->click();
    EXPECT_EQ(dialog->EdSourceDir->text(), "/games/");
    const QString chosen = Q("OpenDialog1:" + picked + "Moonforge Dir in ");
    EXPECT_EQ(offered, QStringList({"OpenDialog1:Moonforge Dir in ", chosen + "/not/there/",
                                    chosen + "/games/", chosen + "/games/"}));
    ui::SetFileDialogHandler({});
}

// Each opening shows the record, any byte but 0 checked; Cancel stores
// nothing; OK writes 1 for a checked box, keeps the bytes behind the strings
// it shortens, and says why it could not write.
TEST_F(SettingsDialog, EachOpeningShowsTheRecordAndOkWritesIt) {
    const std::string game = GameFolder() + "/";
    const std::string longer = game + "some/longer/remains";
    std::string content(517, '\0');
    content[0] = 2;
    content[2] = 2;
    content[3] = static_cast<char>(longer.size());
    content.replace(4, longer.size(), longer);
    content[259] = 3;
    content.replace(260, 10, "/b/REMAINS");
    content[515] = 2;
    content[516] = 2;
    testenv::WriteFile(SettingsFile(), content);
    InitialiseSettings();
    for (int opening = 1; opening <= 2; ++opening) {
        Open();
        EXPECT_EQ(dialog->EdSourceDir->text().toStdString(), longer);
        EXPECT_EQ(dialog->EdTargetDir->text(), "/b/");
        EXPECT_EQ(Boxes(), "10111");
        EXPECT_EQ(dialog->focusWidget(), dialog->EdSourceDir);
        EXPECT_EQ(dialog->BrowseTag, 1);
        Type("/elsewhere", "/other/");
        dialog->CkMulti->setChecked(true);
        dialog->BitBtn2->click();
        EXPECT_FALSE(dialog->isVisible());
    }
    EXPECT_EQ(testenv::ReadFile(SettingsFile()), content);

    Open();
    Type(game, "");
    dialog->ckOwner->setChecked(false);
    ui::MessageCapture shown;
    EXPECT_TRUE(PressOK());
    EXPECT_TRUE(shown.messages().empty()) << shown.texts().join("; ").toStdString();
    std::string expected = content;
    expected[0] = 1;
    expected[2] = 1;
    expected[3] = static_cast<char>(game.size()); // "some/longer/remains" stays behind
    expected[259] = 0;                            // "/b/REMAINS" stays behind
    expected[515] = 1;
    expected[516] = 0;
    EXPECT_EQ(testenv::ReadFile(SettingsFile()), expected);

    // A failed write is said; the values stay in effect.
    std::filesystem::remove(SettingsFile());
    std::filesystem::create_directories(SettingsFile());
    Open();
    Type("", "");
    EXPECT_TRUE(PressOK());
    EXPECT_EQ(shown.texts(), QStringList{Q("Cannot create file " + SettingsFile())});
    EXPECT_EQ(BackupConfig.GameDir.Get(), "");
}

TEST_F(SettingsDialog, FolderNamesThatAreNotUtf8KeepTheirBytes) {
    // Latin-1 names, as a copy from an older machine may bring them.
    const std::string game = MakeDir("jeu \xE9t\xE9") + "/";
    MakeDir("jeu \xE9t\xE9/save");
    const std::string backup = MakeDir("sauvegarde \xE9t\xE9") + "/";
    MakeDir("sauvegarde \xE9t\xE9/sub");
    const std::string picked = MakeDir("autre \xE0 \xFF") + "/";
    BackupConfig.GameDir.Set(game);
    BackupConfig.BackupDir.Set(backup);

    // Shown decoded, stored as they were when left alone.
    Open();
    EXPECT_TRUE(dialog->EdTargetDir->text().contains(QChar::ReplacementCharacter));
    ui::MessageCapture shown;
    EXPECT_TRUE(PressOK());
    EXPECT_EQ(BackupConfig.GameDir.Get(), game);
    EXPECT_EQ(BackupConfig.BackupDir.Get(), backup);

    // Typed on to: the folders named are the ones on disk.
    Open();
    dialog->EdTargetDir->setText(dialog->EdTargetDir->text() + "sub");
    EXPECT_TRUE(PressOK());
    EXPECT_EQ(BackupConfig.BackupDir.Get(), backup + "sub/");

    // Picked with Browse, whose dialog hands the name back decoded.
    ui::SetFileDialogHandler([&](ui::OpenDialog& d) {
        d.FileName = Q(picked + "Moonforge Dir");
        return true;
    });
    Open();
    dialog->EdTargetDir->setFocus();
    dialog->BtBrowse->click();
    EXPECT_TRUE(PressOK());
    EXPECT_EQ(BackupConfig.BackupDir.Get(), picked);
    EXPECT_EQ(BackupConfig.GameDir.Get(), game);
    EXPECT_TRUE(shown.messages().empty()) << shown.texts().join("; ").toStdString();
    ui::SetFileDialogHandler({});
}

// The real dialog: hidden folders shown, started in the field's folder when it
// exists, else in the folder of the name chosen last.
TEST_F(SettingsDialog, BrowseShowsHiddenFoldersFromTheFieldsFolderOrTheNameChosenLast) {
    const std::string game = GameFolder() + "/";
    Open();
    Type(game, "/not/there/");
    QStringList seen; // hidden shown, own dialog, the folder it started in
    const auto look = [&](int tag) {
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            seen << QString("%1 %2 ")
                            .arg((box->filter() & QDir::Hidden) != 0)
                            .arg(box->testOption(QFileDialog::DontUseNativeDialog)) +
                        box->directory().absolutePath();
            box->reject();
        });
        dialog->BrowseTag = tag;
        dialog->BtBrowse->click();
    };
    look(1);
    dialog->OpenDialog1->FileName = Q(testenv::Scratch() + "/Moonforge Dir");
    look(2);
    EXPECT_EQ(seen, QStringList({Q("1 1 " + game.substr(0, game.size() - 1)),
                                 Q("1 1 " + testenv::Scratch())}));
}

TEST_F(SettingsDialog, FindFillsTheFieldOrOffersEveryInstallationOrSaysWhereItLooked) {
    testenv::ClearLauncherFolders();
    Open();
    const QString before = dialog->EdSourceDir->text();
    {
        ui::MessageCapture shown;
        dialog->BtFind->click();
        ASSERT_EQ(shown.messages().size(), 1u);
        EXPECT_EQ(shown.messages()[0].caption, "Find");
        EXPECT_TRUE(shown.texts()[0].contains("\nSteam: ~/.steam/steam, ~/.local/share/Steam"))
            << shown.texts()[0].toStdString();
        EXPECT_EQ(dialog->EdSourceDir->text(), before);
    }

    const std::string wine = testenv::MakeInstallation(testenv::WinePrefix());
    dialog->BtFind->click();
    EXPECT_EQ(dialog->EdSourceDir->text().toStdString(), wine);

    // Several: a menu names each with its launcher; the pick fills the field.
    const testenv::LauncherGames games = testenv::MakeLauncherGames();
    testenv::MakeInstallation(testenv::WinePrefix());
    QStringList offered;
    const auto pick = [&](int row) {
        QTimer::singleShot(0, [&, row] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            EXPECT_EQ(menu->objectName(), "MnFind");
            for (const QAction* a : menu->actions())
                offered << a->text();
            if (row < 0) {
                menu->close();
                return;
            }
            menu->setActiveAction(menu->actions().at(row));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        dialog->BtFind->click();
    };
    pick(2);
    ASSERT_EQ(offered.size(), 6);
    EXPECT_EQ(offered[0].toStdString(), wine + "  (Wine)");
    EXPECT_EQ(offered[1].toStdString(), games.proton + "  (Steam)");
    EXPECT_EQ(offered[3].toStdString(), games.lutris + "  (Lutris)");
    EXPECT_EQ(offered[5].toStdString(), games.heroic + "  (Heroic)");
    EXPECT_EQ(dialog->EdSourceDir->text().toStdString(), games.protonLibrary);
    pick(-1); // closed without a pick: the field keeps its text
    EXPECT_EQ(dialog->EdSourceDir->text().toStdString(), games.protonLibrary);
}
