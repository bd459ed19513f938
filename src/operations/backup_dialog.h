#pragma once

#include <QDialog>

class TfmBackup : public QDialog {
    Q_OBJECT
public:
    explicit TfmBackup(QWidget* parent = nullptr);
};

extern TfmBackup* fmBackup;
