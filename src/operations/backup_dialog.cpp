#include "operations/backup_dialog.h"

TfmBackup* fmBackup = nullptr;

// Placeholder until the dialog's controls are built.
TfmBackup::TfmBackup(QWidget* parent) : QDialog(parent) {
    setObjectName("fmBackup");
    setWindowTitle("Backup");
}
