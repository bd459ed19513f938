#include "operations/import_dialog.h"

TfmImport* fmImport = nullptr;

// Placeholder until the dialog's controls are built.
TfmImport::TfmImport(QWidget* parent) : QDialog(parent) {
    setObjectName("fmImport");
    setWindowTitle("Import backup");
}
