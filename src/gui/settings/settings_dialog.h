#pragma once

// The settings dialog: the game and backup directories, the kinds a backup
// takes by default, and the two options. OK checks the directories, stores
// every value in BackupConfig and writes the settings file.

#include "settings/folder_checks.h"

#include <QDialog>

#include <string>

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace ui {
class OpenDialog;
}

class TfmSettings : public QDialog {
    Q_OBJECT
public:
    explicit TfmSettings(QWidget* parent = nullptr);

    QLabel* LbSourceDir;
    QLineEdit* EdSourceDir;
    QPushButton* BtBrowse;
    QPushButton* BtFind; // fills EdSourceDir with an installation found
    QLabel* Label1;
    QLineEdit* EdTargetDir;
    QPushButton* BitBtn1; // OK
    QPushButton* BitBtn2; // Cancel
    QGroupBox* GroupBox1;
    QCheckBox* CkChar;
    QCheckBox* CkMulti;
    QCheckBox* CkSingle;
    QGroupBox* GroupBox2;
    QCheckBox* ckZip;
    QCheckBox* ckOwner;
    ui::OpenDialog* OpenDialog1;

    // Which directory edit was entered last, and so receives Browse's choice:
    // 0 none yet, 1 EdSourceDir, 2 EdTargetDir. Kept from one opening to the next.
    int BrowseTag = 0;

    void FormActivate();
    void EdSourceDirEnter();
    void EdTargetDirEnter();
    void BtBrowseClick();
    // One installation found: it goes into EdSourceDir. Several: a menu
    // (objectName "MnFind") offers them. None: a message says where the
    // search looked.
    void BtFindClick();
    void BitBtn1Click();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The controls, as the constructor makes them: the directory rows, the
    // buttons, the two groups; then the tab order and the handlers wired.
    void BuildDirectoryRows();
    void BuildButtons();
    void BuildGroups();
    void OrderTabs();
    void ConnectHandlers();

    // The bytes of the paths the two edits show. A name that is not UTF-8
    // shows with replacement characters; an edit left as it was shown gives
    // back these bytes, not its text.
    std::string SourceBytes_;
    std::string TargetBytes_;
};

extern TfmSettings* fmSettings;
