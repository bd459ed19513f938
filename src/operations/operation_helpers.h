#pragma once

// What the Backup, Restore, Export and Import dialogs share: the extension
// rule of set and medium files, the progress window, and the folder fields.

#include <QString>

#include <string>

class QDialog;
class QLabel;
class QLineEdit;
class QWidget;

namespace ui {
class OpenDialog;
}

namespace operations {

// Paths stay bytes; they become text only to be shown.
inline QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// The extension a kind's files carry in a set or on a medium under the
// current ZipBackups: "zip", or else `plain`.
std::string KindExtension(const char* plain);

// `path` with the extension of its file name replaced by "zip": the name up
// to and including its last "." and "zip"; a name without "." becomes "zip".
std::string WithZipExtension(const std::string& path);

// The progress window, where there is one: shown with `caption` in front of
// `owner`, given one status line (painted at once), hidden.
void ShowProgress(const QString& caption, QWidget* owner);
void ProgressText(const std::string& text);
void HideProgress();

// Leaving a folder field: a text that names an existing folder gets its
// final separator, so that file names can be joined to it directly.
void CompleteFolderText(QLineEdit* edit);
// Browse: the dialog starts in the folder the field names (when it exists);
// the field takes the folder part of the name the user confirms.
void BrowseFolder(ui::OpenDialog* dialog, QWidget* parent, QLineEdit* edit);

// The line under a dialog's controls that tells why every kind is greyed:
// GameDir holds no save folder. Made hidden, named LbNoSave; Update shows it
// (the dialog grows below `height` by the line) only while that is so.
QLabel* MakeNoSaveLine(QDialog* dialog);
void UpdateNoSaveLine(QDialog* dialog, QLabel* line, int height);

} // namespace operations
