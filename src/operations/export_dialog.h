#pragma once

#include <QDialog>

class TfmExport : public QDialog {
    Q_OBJECT
public:
    explicit TfmExport(QWidget* parent = nullptr);
};

extern TfmExport* fmExport;
