#include "gui/operations/import_dialog.h"

#include "core/import.h"
#include "gui/operations/operation_helpers.h"
#include "gui/widgets/file_dialog.h"
#include "gui/widgets/text_fit.h"
#include "platform/files.h"
#include "sets/backup_set.h"

#include <QCheckBox>
#include <QEvent>
#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>

#include <algorithm>

TfmImport* fmImport = nullptr;

TfmImport::TfmImport(QWidget* parent) : QDialog(parent) {
    setObjectName("fmImport");
    setWindowTitle("Import backup");
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(394, 221);

    Label1 = new QLabel("Import from :", this);
    Label1->setObjectName("Label1");
    Label1->setGeometry(12, 13, 72, 16);

    EdImport = new QLineEdit("import medium", this);
    EdImport->setObjectName("EdImport");
    EdImport->setGeometry(89, 11, 220, 24);
    EdImport->installEventFilter(this);

    BtBrowse = new QPushButton(style()->standardIcon(QStyle::SP_DirOpenIcon), "Browse", this);
    BtBrowse->setObjectName("BtBrowse");
    BtBrowse->setGeometry(315, 11, 75, 25);
    BtBrowse->setAutoDefault(false);

    QFont underlined = font();
    underlined.setUnderline(true);
    Label2 = new QLabel("Items to import:", this);
    Label2->setObjectName("Label2");
    Label2->setFont(underlined);
    Label2->setGeometry(13, 68, 89, 16);

    ckChar = new QCheckBox("Character files", this);
    ckChar->setObjectName("ckChar");
    ckChar->setGeometry(113, 70, 97, 17);
    ckMulti = new QCheckBox("Multiplayer game", this);
    ckMulti->setObjectName("ckMulti");
    ckMulti->setGeometry(113, 94, 128, 17);
    ckSingle = new QCheckBox("Single player game(s)", this);
    ckSingle->setObjectName("ckSingle");
    ckSingle->setGeometry(113, 117, 157, 17);
    for (QCheckBox* box : {ckChar, ckMulti, ckSingle}) {
        box->setEnabled(false);
        box->setChecked(false);
    }

    Button2 = new QPushButton("Cancel", this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(237, 192, 75, 25);
    Button2->setAutoDefault(false);

    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(315, 192, 75, 25);
    Button1->setDefault(true);
    Button1->setEnabled(false);

    OpenDialog1 = new ui::OpenDialog(this);
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->FileName = "Import medium";
    OpenDialog1->PathMustExist = true;

    ui::ShowPathStart(EdImport);
    ui::KeepTextVisible(this);

    setTabOrder(Button1, Button2);
    setTabOrder(Button2, EdImport);
    setTabOrder(EdImport, BtBrowse);
    setTabOrder(BtBrowse, ckChar);
    setTabOrder(ckChar, ckMulti);
    setTabOrder(ckMulti, ckSingle);

    connect(EdImport, &QLineEdit::textChanged, this, &TfmImport::EdImportChange);
    connect(BtBrowse, &QPushButton::clicked, this, &TfmImport::BtBrowseClick);
    // The kind handlers run also when the program sets a box, as Delphi's
    // OnClick does; they only update OK.
    connect(ckChar, &QCheckBox::toggled, this, &TfmImport::ckCharClick);
    connect(ckMulti, &QCheckBox::toggled, this, &TfmImport::ckMultiClick);
    connect(ckSingle, &QCheckBox::toggled, this, &TfmImport::ckSingleClick);
    connect(Button1, &QPushButton::clicked, this, &TfmImport::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

bool TfmImport::eventFilter(QObject* watched, QEvent* event) {
    if (watched == EdImport && event->type() == QEvent::FocusOut)
        EdImportExit();
    return QDialog::eventFilter(watched, event);
}

std::string TfmImport::Folder() const {
    return operations::FolderIn(EdImport);
}

// The separator is always put in: a folder text ending with '/' gives "//",
// which the file system takes as one.
bool TfmImport::Holds(sets::Kind kind) const {
    return sets::Holds(Folder() + "/", kind, operations::ZipBackups());
}

void TfmImport::UpdateButton1() {
    Button1->setEnabled(ckChar->isChecked() || ckSingle->isChecked() || ckMulti->isChecked());
}

void TfmImport::EdImportChange() {
    if (platform::DirectoryExists(Folder())) {
        const bool chars = IsCharFile();
        ckChar->setEnabled(chars);
        ckChar->setChecked(chars);
        const bool multi = IsMultiFile();
        ckMulti->setEnabled(multi);
        ckMulti->setChecked(multi);
        const bool single = IsSingleFile();
        ckSingle->setEnabled(single);
        ckSingle->setChecked(single);
    } else {
        for (QCheckBox* box : {ckChar, ckMulti, ckSingle}) {
            box->setEnabled(false);
            box->setChecked(false);
        }
        Button1->setEnabled(false);
    }
    UpdateButton1();
}

void TfmImport::EdImportExit() {
    operations::CompleteFolderText(EdImport);
}

void TfmImport::BtBrowseClick() {
    operations::BrowseFolder(OpenDialog1, this, EdImport);
}

void TfmImport::ckCharClick() {
    UpdateButton1();
}
void TfmImport::ckMultiClick() {
    UpdateButton1();
}
void TfmImport::ckSingleClick() {
    UpdateButton1();
}

void TfmImport::Button1Click() {
    // Enter presses OK without leaving the field: complete the folder text, so
    // that the files are looked for inside the folder and not beside it.
    EdImportExit();
    ImportAction();
    accept();
}

void TfmImport::ImportAction() {
    core::ImportChoices choices;
    choices.BackupDir = operations::BackupDir();
    choices.Folder = Folder();
    choices.Kinds = {ckChar->isChecked(), ckMulti->isChecked(), ckSingle->isChecked()};
    choices.Zip = operations::ZipBackups();
    core::ImportSteps steps;
    steps.ReadDesc = [this](const std::string& folderPath) {
        std::string desc;
        ReadDescText(folderPath, desc);
        return desc;
    };
    // The form and the reporter are the dialog's own, as the choices were made.
    steps.CopyIn = [this](const std::string& source, sets::SetWriter& set, bool, core::Reporter&,
                          const core::Checksums& sums) {
        Filling_ = &set;
        MediumSums_ = &sums;
        return ImportFile(source, set.Path());
    };
    operations::DialogReporter reporter(this);
    core::Import(choices, reporter, steps);
    Filling_ = nullptr;
    MediumSums_ = nullptr;
}

void TfmImport::ReadDescText(const std::string& Folder, std::string& Desc) const {
    Desc = core::ReadDescText(Folder);
}

bool TfmImport::ImportFile(const std::string& Source, const std::string& SetFolder) {
    Q_ASSERT(Filling_ && Filling_->Path() == SetFolder);
    operations::DialogReporter reporter(this);
    return core::ImportFile(Source, *Filling_, operations::ZipBackups(), reporter, *MediumSums_);
}
