#pragma once

// The program's one file-open dialog, as an object a dialog owns (it keeps the
// last chosen name as its starting name). Tests replace what Execute shows.

#include <QObject>
#include <QString>

#include <functional>
#include <string>

class QWidget;

namespace ui {

class OpenDialog : public QObject {
    Q_OBJECT
public:
    explicit OpenDialog(QObject* parent = nullptr) : QObject(parent) {}

    QString FileName;           // starting name, and the chosen one after Execute
    bool PathMustExist = false; // the chosen name's folder must exist
    // The folder to start in when it exists (the field the choice is for);
    // otherwise the dialog starts in FileName's folder.
    QString StartFolder;

    // Shows the dialog, hidden folders included (Wine prefixes live in
    // ~/.wine, ~/.steam, ~/.var); the typed name need not exist (the user
    // confirms a folder by accepting any name in it). True when the user
    // confirmed; FileName then holds the full chosen path.
    bool Execute(QWidget* parent);
};

// The bytes of the path on disk that `shown` names. Qt shows a name that is
// not UTF-8 with replacement characters, so its text no longer names the
// file; each component that does not exist as written is taken to be the
// entry of its folder that shows as it does. Components no entry matches
// stay as written.
std::string PathOnDisk(const QString& shown);

// Replaces what Execute shows: the handler gets the dialog (with its current
// FileName) and returns whether the user confirmed, after setting FileName.
// Returns the previous handler; an empty one puts the real dialog back.
using FileDialogHandler = std::function<bool(OpenDialog&)>;
FileDialogHandler SetFileDialogHandler(FileDialogHandler handler);

} // namespace ui
