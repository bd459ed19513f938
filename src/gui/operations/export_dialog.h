#pragma once

// The Export dialog: the Restore dialog with its destination controls shown,
// sending the chosen files of one backup set, and the set's desc.txt, into a
// folder on another medium instead of into the game's save tree. The files
// keep their names, so Import finds them by the same rules.

#include "gui/operations/restore_dialog.h"

#include <string>

class TfmExport : public TfmRestore {
    Q_OBJECT
public:
    explicit TfmExport(QWidget* parent = nullptr);

    // Replaces Restore's creation handler (which does not run here): shows
    // the destination field and Browse; the owner box stays hidden and off.
    void FormCreate();

    // OK needs a checked kind and a destination that is an existing folder.
    void UpdateButton1() override;
    // Copies the set's desc.txt, when it has one, to the destination, and
    // writes the destination's checksums of the files exported.
    void CopyDescFile(const std::string& SetFolder) override;
    // Copies one set file to the destination under the target's file name;
    // the copy carries the archive attribute only. A file the set's
    // checksums do not match is not exported.
    bool RestoreFile(const std::string& Source, const std::string& Dest) override;

private:
    std::string Destination() const;

    // The files this export copied so far, with their checksums.
    sets::Manifest Exported_;
};

extern TfmExport* fmExport;
