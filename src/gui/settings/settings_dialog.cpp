#include "gui/settings/settings_dialog.h"

#include "games/game_locations.h"
#include "gui/widgets/file_dialog.h"
#include "gui/widgets/message_box.h"
#include "gui/widgets/text_fit.h"
#include "platform/paths.h"
#include "settings/backup_config.h"

#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>

TfmSettings* fmSettings = nullptr;

namespace {

void Warn(const QString& text, const QString& caption) {
    ui::ShowMessage(text, caption, ui::MessageIcon::Warning);
}

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const QString& caption,
                        const QRect& geometry) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    box->setGeometry(geometry);
    return box;
}

std::uint8_t BooleanByte(const QCheckBox* box) {
    return box->isChecked() ? 1 : 0;
}

void ShowPath(QLineEdit* edit, std::string& kept, const std::string& bytes) {
    kept = bytes;
    edit->setText(QString::fromStdString(bytes));
}

// The path an edit holds: the kept bytes while it shows them, else what was
// typed, as the disk names it.
std::string PathIn(const QLineEdit* edit, const std::string& kept) {
    return edit->text() == QString::fromStdString(kept) ? kept : ui::PathOnDisk(edit->text());
}

} // namespace

TfmSettings::TfmSettings(QWidget* parent) : QDialog(parent) {
    setObjectName("fmSettings");
    setWindowTitle("Settings");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    // Wider than the original by the Find button, to the right of Browse.
    setFixedSize(584, 182);

    BuildDirectoryRows();
    BuildButtons();
    BuildGroups();

    OpenDialog1 = new ui::OpenDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->FileName = "Moonforge Dir";

    ui::ShowPathStart(EdSourceDir);
    ui::ShowPathStart(EdTargetDir);
    ui::KeepTextVisible(this);

    OrderTabs();
    ConnectHandlers();
}

// The source directory's row with Browse and Find, then the target's.
void TfmSettings::BuildDirectoryRows() {
    LbSourceDir = new QLabel("Source Directory: ", this);
    LbSourceDir->setObjectName("LbSourceDir");
    LbSourceDir->setGeometry(8, 12, 116, 17);

    EdSourceDir = new QLineEdit(this);
    EdSourceDir->setObjectName("EdSourceDir");
    EdSourceDir->setToolTip("Directory where you installed Moonforge.");
    EdSourceDir->setGeometry(126, 8, 258, 25);
    LbSourceDir->setBuddy(EdSourceDir);

    BtBrowse = new QPushButton(style()->standardIcon(QStyle::SP_DirOpenIcon), "Browse", this);
    BtBrowse->setObjectName("BtBrowse");
    BtBrowse->setToolTip("Browse source or target directory.");
    BtBrowse->setGeometry(392, 8, 88, 25);

    BtFind =
        new QPushButton(style()->standardIcon(QStyle::SP_FileDialogContentsView), "Find", this);
    BtFind->setObjectName("BtFind");
    BtFind->setToolTip("Look for Moonforge in the Wine, Proton, Lutris, Bottles and Heroic "
                       "prefixes of this user.");
    BtFind->setGeometry(488, 8, 88, 25);

    Label1 = new QLabel("Target Directory:", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(8, 44, 112, 17);

    EdTargetDir = new QLineEdit(this);
    EdTargetDir->setObjectName("EdTargetDir");
    EdTargetDir->setToolTip("Your backup directory, create this one first!");
    EdTargetDir->setGeometry(126, 40, 258, 25);
    Label1->setBuddy(EdTargetDir);
}

void TfmSettings::BuildButtons() {
    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), "Cancel", this);
    BitBtn2->setObjectName("BitBtn2");
    BitBtn2->setGeometry(488, 112, 88, 28);

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), "OK", this);
    BitBtn1->setObjectName("BitBtn1");
    // Enter presses the focused button (a dialog's buttons are auto-default),
    // and OK from anywhere else.
    BitBtn1->setDefault(true);
    BitBtn1->setGeometry(488, 146, 88, 28);
}

// The kinds a backup takes by default, and the two options.
void TfmSettings::BuildGroups() {
    GroupBox1 = new QGroupBox("Backup items", this);
    GroupBox1->setObjectName("GroupBox1");
    GroupBox1->setGeometry(8, 76, 180, 98);
    CkChar = MakeCheckBox(GroupBox1, "CkChar", "Character(s)", QRect(10, 22, 164, 20));
    CkMulti = MakeCheckBox(GroupBox1, "CkMulti", "Multiplayer game", QRect(10, 46, 164, 20));
    CkSingle = MakeCheckBox(GroupBox1, "CkSingle", "Single player games", QRect(10, 70, 164, 20));

    GroupBox2 = new QGroupBox("Options", this);
    GroupBox2->setObjectName("GroupBox2");
    GroupBox2->setGeometry(196, 76, 188, 98);
    ckZip = MakeCheckBox(GroupBox2, "ckZip", "zip backup files", QRect(10, 22, 172, 20));
    ckZip->setToolTip("Calls PkZip for Windows to compress backups.");
    ckOwner = MakeCheckBox(GroupBox2, "ckOwner", "Update owner", QRect(10, 46, 172, 20));
    ckOwner->setToolTip("Changes the machinename on restore.");
}

void TfmSettings::OrderTabs() {
    setTabOrder(EdSourceDir, BtBrowse);
    setTabOrder(BtBrowse, BtFind);
    setTabOrder(BtFind, EdTargetDir);
    setTabOrder(EdTargetDir, BitBtn1);
    setTabOrder(BitBtn1, BitBtn2);
    setTabOrder(BitBtn2, CkChar);
    setTabOrder(CkChar, CkMulti);
    setTabOrder(CkMulti, CkSingle);
    setTabOrder(CkSingle, ckZip);
    setTabOrder(ckZip, ckOwner);
}

void TfmSettings::ConnectHandlers() {
    EdSourceDir->installEventFilter(this);
    EdTargetDir->installEventFilter(this);
    connect(BtBrowse, &QPushButton::clicked, this, &TfmSettings::BtBrowseClick);
    connect(BtFind, &QPushButton::clicked, this, &TfmSettings::BtFindClick);
    connect(BitBtn1, &QPushButton::clicked, this, &TfmSettings::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
}

void TfmSettings::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Each opening shows the stored values again, whatever was left in the
    // controls; a message box over the dialog is no new opening.
    if (!event->spontaneous())
        FormActivate();
}

bool TfmSettings::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::FocusIn) {
        if (watched == EdSourceDir)
            EdSourceDirEnter();
        else if (watched == EdTargetDir)
            EdTargetDirEnter();
    }
    return QDialog::eventFilter(watched, event);
}

void TfmSettings::FormActivate() {
    ShowPath(EdSourceDir, SourceBytes_, BackupConfig.GameDir.Get());
    ShowPath(EdTargetDir, TargetBytes_, BackupConfig.BackupDir.Get());
    CkChar->setChecked(BackupConfig.Characters != 0);
    CkMulti->setChecked(BackupConfig.Multiplayer != 0);
    CkSingle->setChecked(BackupConfig.SinglePlayer != 0);
    ckZip->setChecked(BackupConfig.ZipBackups != 0);
    ckOwner->setChecked(BackupConfig.OwnerOnRestore != 0);
}

void TfmSettings::EdSourceDirEnter() {
    BrowseTag = 1;
}

void TfmSettings::EdTargetDirEnter() {
    BrowseTag = 2;
}

void TfmSettings::BtBrowseClick() {
    // The user walks into the wanted folder and confirms the preset name,
    // which need not exist: only the folder part is taken. The dialog starts
    // in the folder the edit it fills names, where that exists.
    OpenDialog1->StartFolder = BrowseTag == 1   ? EdSourceDir->text()
                               : BrowseTag == 2 ? EdTargetDir->text()
                                                : QString();
    if (!OpenDialog1->Execute(this))
        return;
    const std::string dir = platform::ExtractFilePath(ui::PathOnDisk(OpenDialog1->FileName));
    if (BrowseTag == 1)
        ShowPath(EdSourceDir, SourceBytes_, dir);
    else if (BrowseTag == 2)
        ShowPath(EdTargetDir, TargetBytes_, dir);
}

void TfmSettings::BtFindClick() {
    const std::vector<games::GameInstallation> found = FindGameFolders();
    if (found.empty()) {
        QString text = "Moonforge was not found. Looked for drive_c/Program Files/Corvanta "
                       "Software/Moonforge/ (and in Program Files (x86)) in the Wine prefixes "
                       "of:";
        for (const std::string& line : games::WinePrefixSearchPlaces())
            text += "\n" + QString::fromStdString(line);
        Warn(text, "Find");
        return;
    }
    std::size_t pick = 0;
    if (found.size() > 1) {
        QMenu menu(this);
        menu.setObjectName("MnFind");
        for (std::size_t i = 0; i < found.size(); ++i) {
            QString text =
                QString::fromStdString(found[i].GameDir + "  (" + found[i].Launcher +
                                       (found[i].HasSave ? "" : ", no save folder yet") + ")");
            text.replace('&', "&&"); // no access keys
            menu.addAction(text)->setData(static_cast<qulonglong>(i));
        }
        const QAction* chosen = menu.exec(BtFind->mapToGlobal(QPoint(0, BtFind->height())));
        if (!chosen)
            return;
        pick = static_cast<std::size_t>(chosen->data().toULongLong());
    }
    ShowPath(EdSourceDir, SourceBytes_, found[pick].GameDir);
    EdSourceDir->setFocus();
}

void TfmSettings::BitBtn1Click() {
    bool closeMarked = true;
    // The field shows the folder with its separator before any warning.
    const auto check = [&](QLineEdit* edit, std::string& kept, auto checkFolder) {
        const std::string shown = PathIn(edit, kept);
        std::string dir = shown;
        const std::optional<FolderProblem> problem = checkFolder(dir);
        if (dir != shown)
            ShowPath(edit, kept, dir);
        if (problem) {
            Warn(QString::fromStdString(problem->Text), QString::fromStdString(problem->Caption));
            closeMarked = false;
            edit->setFocus();
        }
        return dir;
    };
    const std::string source = check(EdSourceDir, SourceBytes_, CheckGameDir);
    const std::string target = check(EdTargetDir, TargetBytes_, CheckBackupDir);

    // After a failed check nothing is stored: a Cancel then leaves the
    // settings as they were.
    if (!closeMarked)
        return;

    BackupConfig.Characters = BooleanByte(CkChar);
    BackupConfig.Multiplayer = BooleanByte(CkMulti);
    BackupConfig.SinglePlayer = BooleanByte(CkSingle);
    BackupConfig.GameDir.Set(source);
    BackupConfig.BackupDir.Set(target);
    BackupConfig.ZipBackups = BooleanByte(ckZip);
    BackupConfig.OwnerOnRestore = BooleanByte(ckOwner);
    // A failed write is said; the values stay in effect for this run, and
    // the dialog closes as after a good save.
    std::string why;
    if (!SaveConfig(why))
        ui::ShowMessage(QString::fromStdString(why), {}, ui::MessageIcon::Error);
    accept();
}
