#include "config/settings_dialog.h"

TfmSettings* fmSettings = nullptr;

TfmSettings::TfmSettings(QWidget* parent) : QDialog(parent) {
    setObjectName("fmSettings");
    setWindowTitle("Settings");
    setFixedSize(488, 182);
}
