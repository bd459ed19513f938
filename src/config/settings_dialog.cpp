#include "config/settings_dialog.h"

#include "config/backup_config.h"
#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/paths.h"
#include "ui/file_dialog.h"
#include "ui/message_box.h"

#include <QCheckBox>
#include <QEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>

TfmSettings* fmSettings = nullptr;

namespace {

const QString ValidationError = "Validation Error";

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

bool DirHasEntries(const std::string& dir) {
    platform::FileSearch search;
    const bool found = search.FindFirst(dir + "*.*", platform::faAnyFile);
    search.FindClose();
    return found;
}

TfmSettings::TfmSettings(QWidget* parent) : QDialog(parent) {
    setObjectName("fmSettings");
    setWindowTitle("Settings");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(488, 182);
    QFont standard = font();
    standard.setPixelSize(13);
    setFont(standard);

    LbSourceDir = new QLabel("Source Directory: ", this);
    LbSourceDir->setObjectName("LbSourceDir");
    LbSourceDir->setGeometry(8, 12, 112, 17);

    EdSourceDir = new QLineEdit(this);
    EdSourceDir->setObjectName("EdSourceDir");
    EdSourceDir->setToolTip("Directory where you installed Moonforge.");
    EdSourceDir->setGeometry(126, 8, 258, 25);
    LbSourceDir->setBuddy(EdSourceDir);

    BtBrowse = new QPushButton(style()->standardIcon(QStyle::SP_DirOpenIcon), "Browse", this);
    BtBrowse->setObjectName("BtBrowse");
    BtBrowse->setToolTip("Browse source or target directory.");
    BtBrowse->setGeometry(392, 8, 88, 25);

    Label1 = new QLabel("Target Directory:", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(8, 44, 112, 17);

    EdTargetDir = new QLineEdit(this);
    EdTargetDir->setObjectName("EdTargetDir");
    EdTargetDir->setToolTip("Your backup directory, create this one first!");
    EdTargetDir->setGeometry(126, 40, 258, 25);
    Label1->setBuddy(EdTargetDir);

    BitBtn2 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCancelButton), "Cancel", this);
    BitBtn2->setObjectName("BitBtn2");
    BitBtn2->setGeometry(392, 112, 88, 28);

    BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), "OK", this);
    BitBtn1->setObjectName("BitBtn1");
    // Enter presses the focused button (a dialog's buttons are auto-default),
    // and OK from anywhere else.
    BitBtn1->setDefault(true);
    BitBtn1->setGeometry(392, 146, 88, 28);

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

    OpenDialog1 = new ui::OpenDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->FileName = "Moonforge Dir";

    setTabOrder(EdSourceDir, BtBrowse);
    setTabOrder(BtBrowse, EdTargetDir);
    setTabOrder(EdTargetDir, BitBtn1);
    setTabOrder(BitBtn1, BitBtn2);
    setTabOrder(BitBtn2, CkChar);
    setTabOrder(CkChar, CkMulti);
    setTabOrder(CkMulti, CkSingle);
    setTabOrder(CkSingle, ckZip);
    setTabOrder(ckZip, ckOwner);

    EdSourceDir->installEventFilter(this);
    EdTargetDir->installEventFilter(this);
    connect(BtBrowse, &QPushButton::clicked, this, &TfmSettings::BtBrowseClick);
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
    // which need not exist: only the folder part is taken.
    if (!OpenDialog1->Execute(this))
        return;
    const std::string dir = platform::ExtractFilePath(ui::PathOnDisk(OpenDialog1->FileName));
    if (BrowseTag == 1)
        ShowPath(EdSourceDir, SourceBytes_, dir);
    else if (BrowseTag == 2)
        ShowPath(EdTargetDir, TargetBytes_, dir);
}

void TfmSettings::BitBtn1Click() {
    bool closeMarked = true;
    const auto fail = [&](QLineEdit* edit, const QString& text, const QString& caption) {
        Warn(text, caption);
        closeMarked = false;
        edit->setFocus();
    };
    // A longer text would be stored cut, naming another folder.
    const auto fits = [](const std::string& dir) { return dir.size() <= ShortString::Capacity; };
    const QString tooLong = "Directory name too long (at most 255 characters)";

    std::string source = PathIn(EdSourceDir, SourceBytes_);
    if (!source.empty()) {
        if (source.back() != platform::PathDelim) {
            source += platform::PathDelim;
            ShowPath(EdSourceDir, SourceBytes_, source);
        }
        if (!fits(source)) {
            fail(EdSourceDir, tooLong, ValidationError);
        } else if (!DirHasEntries(source)) {
            fail(EdSourceDir, "Could not find this directory", ValidationError);
        } else {
            const std::string pattern = source + "save/*.*";
            platform::FileSearch search;
            if (!search.FindFirst(pattern, platform::faAnyFile))
                fail(EdSourceDir,
                     "Moonforge save directory not found (" + QString::fromStdString(pattern) +
                         ").",
                     "Validation error");
            search.FindClose();
        }
    }

    // A target typed with its separator is taken as it stands.
    std::string target = PathIn(EdTargetDir, TargetBytes_);
    if (!target.empty()) {
        const bool appended = target.back() != platform::PathDelim;
        if (appended) {
            target += platform::PathDelim;
            ShowPath(EdTargetDir, TargetBytes_, target);
        }
        if (!fits(target))
            fail(EdTargetDir, tooLong, ValidationError);
        else if (appended && !DirHasEntries(target))
            fail(EdTargetDir, "Could not find this directory", ValidationError);
    }

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
    // A failed write is shown by SaveConfig; the values stay in effect for
    // this run, and the dialog closes as after a good save.
    SaveConfig();
    accept();
}
