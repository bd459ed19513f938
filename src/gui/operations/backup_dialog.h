#pragma once

// The Backup dialog: the user chooses the kinds of save data and a
// description; OK copies (or compresses) every changed file of those kinds
// into a new backup set and marks the files backed up.

#include "core/backup.h"

#include <QDialog>

#include <string>

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;

class TfmBackup : public QDialog {
    Q_OBJECT
public:
    explicit TfmBackup(QWidget* parent = nullptr);

    QPushButton* Button1; // OK
    QPushButton* Button2; // Cancel
    QFrame* Panel1;
    QLabel* Label1;
    QLabel* Label2;
    QCheckBox* ckChar;
    QCheckBox* ckMulti;
    QCheckBox* ckSingle;
    QLineEdit* EdDesc;
    QCheckBox* ckArchive;
    QLabel* LbNoSave; // shown when GameDir holds no save folder

    // Enables each kind whose test file can be backed up; OK when a kind is checked.
    void UpdateForm();
    // Each showing: UpdateForm, then the enabled boxes take the default kinds.
    void FormActivate();
    void Button1Click(); // DoBackup, then the dialog closes with OK
    void ckCharClick();
    void ckMultiClick();
    void ckSingleClick();
    void ckArchiveClick();

protected:
    void showEvent(QShowEvent* event) override;
};

extern TfmBackup* fmBackup;

// The routines of the backup. Those that depend on the dialog's choices take
// them from fmBackup's controls and the settings and run the core's routine of
// the same name; the others are the core's own.

// Whether the first entry matching Pattern exists and (unless "Ignore
// archivebit" is checked) carries the archive attribute.
bool CanBackup(const std::string& Pattern);
using core::BackupFile;
using core::CollectFiles;
using core::ZipFile;
// The whole backup run for the dialog's choices.
void DoBackup();
