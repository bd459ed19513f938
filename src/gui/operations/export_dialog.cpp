#include "gui/operations/export_dialog.h"

#include "core/export.h"
#include "gui/operations/operation_helpers.h"
#include "platform/files.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TfmExport* fmExport = nullptr;

TfmExport::TfmExport(QWidget* parent) : TfmRestore(parent, false) {
    setObjectName("fmExport");
    setWindowTitle("Export backup");
    setFixedSize(514, 221);
    FormCreate();
}

void TfmExport::FormCreate() {
    Label1->setText("Items to export:");
    EdDestination->setVisible(true);
    EdDestination->setEnabled(true);
    BtBrowse->setVisible(true);
    BtBrowse->setEnabled(true);
}

void TfmExport::UpdateButton1() {
    bool enable = ckChar->isChecked() || ckSingle->isChecked() || ckMulti->isChecked();
    if (enable)
        enable = platform::DirectoryExists(Destination());
    Button1->setEnabled(enable);
}

bool TfmExport::RestoreFile(const std::string& Source, const std::string& Dest) {
    operations::DialogReporter reporter(this);
    return core::ExportFile(Source, Dest, operations::ZipBackups(), Destination(), reporter,
                            SetChecksums, &Exported_);
}

void TfmExport::CopyDescFile(const std::string& SetFolder) {
    operations::DialogReporter reporter(this);
    core::CopyDescFile(SetFolder, Destination(), reporter);
    // Called once at the end of each export: the files it copied are all known.
    core::WriteExportManifest(Destination(), Exported_, reporter);
    Exported_ = {};
}

std::string TfmExport::Destination() const {
    return operations::FolderIn(EdDestination);
}
