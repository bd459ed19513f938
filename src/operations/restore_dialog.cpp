#include "operations/restore_dialog.h"

TfmRestore* fmRestore = nullptr;

// Placeholder until the dialog's controls are built.
TfmRestore::TfmRestore(QWidget* parent) : QDialog(parent) {
    setObjectName("fmRestore");
    setWindowTitle("Restore");
}
