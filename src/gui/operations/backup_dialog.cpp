#include "gui/operations/backup_dialog.h"

#include "gui/operations/operation_helpers.h"
#include "gui/widgets/text_fit.h"
#include "settings/backup_config.h"

#include <QCheckBox>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>

TfmBackup* fmBackup = nullptr;

TfmBackup::TfmBackup(QWidget* parent) : QDialog(parent) {
    setObjectName("fmBackup");
    setWindowTitle("Backup");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(394, 216);

    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(228, 184, 75, 25);
    Button1->setDefault(true);
    Button1->setEnabled(false);

    Button2 = new QPushButton("Cancel", this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(311, 184, 75, 25);
    Button2->setAutoDefault(false);

    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameShape(QFrame::StyledPanel);
    Panel1->setGeometry(4, 4, 386, 172);

    QFont underlined = font();
    underlined.setUnderline(true);

    Label1 = new QLabel("Backing up:", Panel1);
    Label1->setObjectName("Label1");
    Label1->setFont(underlined);
    Label1->setGeometry(8, 8, 160, 16);

    Label2 = new QLabel("Description:", Panel1);
    Label2->setObjectName("Label2");
    Label2->setFont(underlined);
    Label2->setGeometry(8, 104, 160, 16);

    ckChar = new QCheckBox("Character(s)", Panel1);
    ckChar->setObjectName("ckChar");
    ckChar->setGeometry(8, 30, 170, 17);
    ckMulti = new QCheckBox("Multiplayer game", Panel1);
    ckMulti->setObjectName("ckMulti");
    ckMulti->setGeometry(8, 52, 170, 17);
    ckSingle = new QCheckBox("Single player games", Panel1);
    ckSingle->setObjectName("ckSingle");
    ckSingle->setGeometry(8, 74, 170, 17);
    for (QCheckBox* box : {ckChar, ckMulti, ckSingle}) {
        box->setEnabled(false);
        box->setChecked(false);
    }

    EdDesc = new QLineEdit(Panel1);
    EdDesc->setObjectName("EdDesc");
    EdDesc->setGeometry(8, 124, 370, 24);

    ckArchive = new QCheckBox("Ignore archivebit", Panel1);
    ckArchive->setObjectName("ckArchive");
    ckArchive->setToolTip("Disables the archive test on gamefiles.");
    ckArchive->setGeometry(200, 30, 170, 17);

    ui::KeepTextVisible(this);
    LbNoSave = operations::MakeNoSaveLine(this);

    // Delphi's OnClick also fires when code sets a check mark (FormActivate
    // does), so the handlers follow `toggled`.
    connect(ckChar, &QCheckBox::toggled, this, &TfmBackup::ckCharClick);
    connect(ckMulti, &QCheckBox::toggled, this, &TfmBackup::ckMultiClick);
    connect(ckSingle, &QCheckBox::toggled, this, &TfmBackup::ckSingleClick);
    connect(ckArchive, &QCheckBox::toggled, this, &TfmBackup::ckArchiveClick);
    connect(Button1, &QPushButton::clicked, this, &TfmBackup::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

void TfmBackup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormActivate();
}

bool CanBackup(const std::string& Pattern) {
    return core::CanBackup(Pattern, fmBackup && fmBackup->ckArchive->isChecked());
}

void TfmBackup::UpdateForm() {
    const std::string gameDir = operations::GameDir();
    ckChar->setEnabled(CanBackup(core::BackupTestPattern(gameDir, sets::Kind::Characters)));
    ckMulti->setEnabled(CanBackup(core::BackupTestPattern(gameDir, sets::Kind::Multiplayer)));
    ckSingle->setEnabled(CanBackup(core::BackupTestPattern(gameDir, sets::Kind::Single)));
    // A disabled box still checked from an earlier showing counts too.
    Button1->setEnabled(ckSingle->isChecked() || ckMulti->isChecked() || ckChar->isChecked());
}

void TfmBackup::FormActivate() {
    operations::UpdateNoSaveLine(this, LbNoSave);
    UpdateForm();
    if (ckChar->isEnabled())
        ckChar->setChecked(BackupConfig.Characters != 0);
    if (ckMulti->isEnabled())
        ckMulti->setChecked(BackupConfig.Multiplayer != 0);
    if (ckSingle->isEnabled())
        ckSingle->setChecked(BackupConfig.SinglePlayer != 0);
}

void TfmBackup::ckCharClick() {
    UpdateForm();
}
void TfmBackup::ckMultiClick() {
    UpdateForm();
}
void TfmBackup::ckSingleClick() {
    UpdateForm();
}
void TfmBackup::ckArchiveClick() {
    UpdateForm();
}

void TfmBackup::Button1Click() {
    DoBackup();
    accept();
}

void DoBackup() {
    TfmBackup* dialog = fmBackup;
    if (!dialog)
        return;
    core::BackupChoices choices;
    choices.GameDir = operations::GameDir();
    choices.BackupDir = operations::BackupDir();
    choices.Kinds = {dialog->ckChar->isChecked(), dialog->ckMulti->isChecked(),
                     dialog->ckSingle->isChecked()};
    choices.Description = dialog->EdDesc->text().toStdString();
    choices.Zip = operations::ZipBackups();
    operations::DialogReporter reporter(dialog);
    core::Backup(choices, reporter);
}
