#pragma once

// The Import dialog: files the save files that an export left in a folder
// (the import medium) as a new backup set, described as "Imported: " and the
// medium's description. Its state carries over from one showing to the next:
// only a change of the folder text looks at the medium again.

#include "sets/kinds.h"

#include <QDialog>

#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace core {
class Checksums;
}
namespace sets {
class SetWriter;
}
namespace ui {
class OpenDialog;
}

class TfmImport : public QDialog {
    Q_OBJECT
public:
    explicit TfmImport(QWidget* parent = nullptr);

    QLabel* Label1;
    QLineEdit* EdImport; // the medium folder, expected to end with '/'
    QPushButton* BtBrowse;
    QLabel* Label2;
    QCheckBox* ckChar;
    QCheckBox* ckMulti;
    QCheckBox* ckSingle;
    QPushButton* Button1; // OK
    QPushButton* Button2; // Cancel
    ui::OpenDialog* OpenDialog1;

    // Whether the medium holds that kind, under the names of the current
    // ZipBackups: characters.lpl / net.sav / game*.sav, or ".zip".
    bool IsCharFile() const { return Holds(sets::Kind::Characters); }
    bool IsMultiFile() const { return Holds(sets::Kind::Multiplayer); }
    bool IsSingleFile() const { return Holds(sets::Kind::Single); }
    // Enables OK when a kind is checked.
    void UpdateButton1();
    // Files the checked kinds of the medium as one new backup set: the core's
    // import, its description read and each file copied through the two
    // members below.
    void ImportAction();
    // The medium's description: the first line of Folder + "desc.txt"; empty
    // when there is none.
    void ReadDescText(const std::string& Folder, std::string& Desc) const;
    // Copies one file of the medium into the set ImportAction is filling in
    // SetFolder (its archive when backups are compressed), checked against
    // the medium's checksums; a failure is shown and false returned. Only
    // while ImportAction runs.
    bool ImportFile(const std::string& Source, const std::string& SetFolder);

    // Handlers.
    void EdImportChange(); // every change of the text, also by the program
    void EdImportExit();   // the focus left the field
    void BtBrowseClick();
    void ckCharClick();
    void ckMultiClick();
    void ckSingleClick();
    void Button1Click(); // ImportAction, then the dialog closes with OK

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::string Folder() const;
    bool Holds(sets::Kind kind) const;

    // The set ImportAction is filling and the medium's checksums, while it runs.
    sets::SetWriter* Filling_ = nullptr;
    const core::Checksums* MediumSums_ = nullptr;
};

extern TfmImport* fmImport;
