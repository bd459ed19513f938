#include "operations/export_dialog.h"

TfmExport* fmExport = nullptr;

// Placeholder until the dialog's controls are built.
TfmExport::TfmExport(QWidget* parent) : QDialog(parent) {
    setObjectName("fmExport");
    setWindowTitle("Export backup");
}
