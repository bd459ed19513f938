#include "operations/export_dialog.h"

#include "config/backup_config.h"
#include "operations/operation_helpers.h"
#include "platform/attributes.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "ui/message_box.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TfmExport* fmExport = nullptr;

using operations::Q;
using operations::WithZipExtension;

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
        enable = platform::DirectoryExists(EdDestination->text().toStdString());
    Button1->setEnabled(enable);
}

bool TfmExport::RestoreFile(const std::string& Source, const std::string& Dest) {
    std::string source = Source;
    std::string target = Dest;
    if (BackupConfig.ZipBackups != 0) {
        source = WithZipExtension(source);
        target = WithZipExtension(target);
    }
    // Only the name of the game path is kept: nothing is written into the game.
    target = EdDestination->text().toStdString() + platform::ExtractFileName(target);

    operations::ProgressText("Exporting " + source + " to " + target);
    if (!platform::CopyFile(source, target, false)) {
        ui::ShowMessage(Q("error exporting " + source + " to " + target));
        return false;
    }
    // The medium's copy counts as changed wherever it goes next.
    platform::SetFileAttributes(target, platform::faArchive);
    return true;
}

void TfmExport::CopyDescFile(const std::string& SetFolder) {
    const std::string source = SetFolder + "desc.txt";
    if (!platform::FileExists(source))
        return;
    const std::string target = EdDestination->text().toStdString() + "desc.txt";
    if (!platform::CopyFile(source, target, false))
        ui::ShowMessage(Q("error copying " + source + " to " + target));
}
