#pragma once

#include <QDialog>

class TfmSettings : public QDialog {
    Q_OBJECT
public:
    explicit TfmSettings(QWidget* parent = nullptr);
};

extern TfmSettings* fmSettings;
