#pragma once

// The Restore dialog: lists the backup sets of BackupDir, lets the user check
// one set and the kinds to take from it, and puts those files back into the
// game's save tree (copying, or extracting with the archiver), optionally
// writing this machine's name into the first 81 bytes of each restored file.
//
// TfmRestore is also the base of the Export dialog, which replaces the three
// virtual operations (UpdateButton1, CopyDescFile, RestoreFile) and its own
// creation handler, and shows the destination controls that Restore keeps
// hidden. Every shared routine calls the three operations virtually.

#include "core/restore.h"
#include "platform/dir_search.h"

#include <QDateTime>
#include <QDialog>
#include <QLocale>
#include <QString>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace ui {
class OpenDialog;
}

// One listed backup set, as the directory search found its folder.
class TObjSearchRec {
public:
    explicit TObjSearchRec(const platform::SearchRec& rec) : SearchRec(rec) {}

    platform::SearchRec SearchRec; // Name is the set's bare folder name

    const std::string& SetName() const { return SearchRec.Name; }

    // The folder's last-write time in local time, cut to 2 seconds: the
    // system locale's short date (four-digit year), a blank and its long time
    // (no time zone); date alone at exactly 00:00:00.
    QString DateText() const;

    // Whether the set holds that kind, looked up with the current ZipBackups:
    // characters.lpl / net.sav / game*.sav, or the same names with ".zip".
    bool HasCharFile() const { return Holds(sets::Kind::Characters); }
    bool HasMultiFile() const { return Holds(sets::Kind::Multiplayer); }
    bool HasSingleFile() const { return Holds(sets::Kind::Single); }

private:
    bool Holds(sets::Kind kind) const;
};

// DateText's rule for a given time and locale (pure; for tests).
QString FormatSetDate(const QDateTime& localTime, const QLocale& locale);

// One entry of SetList: the set's description and its (owned) search record.
struct TSetListEntry {
    std::string Description;
    std::unique_ptr<TObjSearchRec> Object;
};

class TfmRestore : public QDialog {
    Q_OBJECT
public:
    explicit TfmRestore(QWidget* parent = nullptr);
    ~TfmRestore() override;

    // Controls, by their names. ckRestore holds one checkable item per set;
    // an item's Qt::UserRole data is the index of its set in SetList.
    QListWidget* ckRestore;
    QLabel* Label1;
    QCheckBox* ckChar;
    QCheckBox* ckMulti;
    QCheckBox* ckSingle;
    // Restore only (hidden and off in Export): the game's files a restore
    // replaces are first kept in a new set. Checked each time it is shown.
    QCheckBox* ckSafety;
    QLabel* Label3;
    QPushButton* BtBrowse;
    QLineEdit* EdDestination;
    QCheckBox* ckOwner;
    QPushButton* Button1; // OK
    QPushButton* Button2; // Cancel
    ui::OpenDialog* OpenDialog1;
    // Restore only (null in Export): shown when GameDir holds no save folder.
    QLabel* LbNoSave = nullptr;

    // The set lists exist (built on showing, released on hiding).
    bool ListsBuilt = false;
    // The set last found checked; not owned. Null while the lists are released.
    TObjSearchRec* CurrentSet = nullptr;
    // One entry per set folder, in the order of the directory search.
    std::vector<TSetListEntry> SetList;

    // Enables OK from the current choices.
    virtual void UpdateButton1();
    // Called once at the end of a restore with the set folder (ending in '/').
    virtual void CopyDescFile(const std::string& SetFolder);
    // Restores one file; true on success. A failure has been shown already.
    virtual bool RestoreFile(const std::string& Source, const std::string& Dest);

    // Handlers.
    void FormCreate();     // once, from the constructor (not for a derived dialog that skips it)
    void FormActivate();   // each time the dialog is shown
    void FormDeactivate(); // when it is hidden or closed
    void FormDestroy();    // from the destructor
    void ckRestoreClickCheck(); // the user toggled the current item of ckRestore
    void Button1Click();        // RestoreAction, then the dialog closes with OK
    void ckCharClick();
    void ckMultiClick();
    void ckSingleClick();
    void EdDestinationChange();
    void EdDestinationExit();
    void BtBrowseClick();

    void ListsCreate();
    void ListsDestroy();
    // Restores the checked kinds of CurrentSet, each file through RestoreFile,
    // then CopyDescFile. With ckSafety checked, the game's files it replaces
    // are kept in a new set first; when that set can't be made whole,
    // nothing is restored.
    void RestoreAction();
    // Writes this machine's name as the owner block into the file FileName
    // where it is (see core::UpdateOwner); a failure is shown and false
    // returned. A restore writes the block itself, before each file takes its
    // place.
    bool UpdateOwner(const std::string& FileName);

protected:
    // For a derived dialog with its own creation handler: with
    // runFormCreate false, Restore's FormCreate does not run.
    TfmRestore(QWidget* parent, bool runFormCreate);

    // The checked set's checksums while RestoreAction runs, for RestoreFile.
    core::Checksums SetChecksums;

    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The controls, as the constructor makes them: the set list, then the
    // column right of it from top to bottom, then the handlers wired.
    void BuildControls();
    void BuildKindColumn();
    void BuildDestination();
    void BuildButtons();
    void OrderTabs();
    void ConnectHandlers();
    void SetKindBoxes(bool chars, bool multi, bool single);
    void OnSetItemChanged(QListWidgetItem* item);

    // Set while code changes the check marks of ckRestore, so that only the
    // user's toggles reach ckRestoreClickCheck.
    bool ChangingSetChecks_ = false;
    // This showing found no sets and has yet to say so, once the dialog is
    // on screen.
    bool NoContentsPending_ = false;
};

using core::UnzipFile;

extern TfmRestore* fmRestore;
