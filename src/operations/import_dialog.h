#pragma once

#include <QDialog>

class TfmImport : public QDialog {
    Q_OBJECT
public:
    explicit TfmImport(QWidget* parent = nullptr);
};

extern TfmImport* fmImport;
