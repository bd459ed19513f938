#include "gui/widgets/file_dialog.h"

#include "platform/attributes.h"
#include "platform/dir_search.h"
#include "platform/paths.h"

#include <QFileDialog>
#include <QFileInfo>

#include <algorithm>

namespace ui {
namespace {

FileDialogHandler& handler() {
    static FileDialogHandler h;
    return h;
}

} // namespace

bool OpenDialog::Execute(QWidget* parent) {
    if (handler())
        return handler()(*this);

    QFileDialog dialog(parent);
    dialog.setObjectName(objectName());
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Any name is accepted, so the user can confirm a folder by the preset name.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setSizeGripEnabled(true);
    // The desktops' own dialogs ignore the request to show hidden folders.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFilter(dialog.filter() | QDir::Hidden);
    QFileInfo start(FileName);
    // The field's folder as it is on disk, whatever case it was typed in.
    const QFileInfo field(QString::fromStdString(platform::ResolveCase(StartFolder.toStdString())));
    if (!StartFolder.isEmpty() && field.isAbsolute() && field.isDir())
        dialog.setDirectory(field.absoluteFilePath());
    else if (start.isAbsolute() && start.dir().exists())
        dialog.setDirectory(start.dir());
    dialog.selectFile(start.fileName());
    while (dialog.exec() == QDialog::Accepted) {
        const QStringList chosen = dialog.selectedFiles();
        if (chosen.isEmpty())
            return false;
        if (PathMustExist && !QFileInfo(chosen.first()).dir().exists())
            continue;
        FileName = chosen.first();
        return true;
    }
    return false;
}

std::string PathOnDisk(const QString& shown) {
    const std::string written = shown.toStdString();
    if (!shown.contains(QChar::ReplacementCharacter))
        return written;
    std::string result;
    std::size_t at = 0;
    while (at < written.size()) {
        const std::size_t end = std::min(written.find(platform::PathDelim, at), written.size());
        const std::string component = written.substr(at, end - at);
        std::string next = result + component;
        if (!component.empty() &&
            platform::GetFileAttributes(next) == platform::INVALID_FILE_ATTRIBUTES) {
            const QString wanted = QString::fromStdString(component);
            platform::FileSearch search;
            bool found = search.FindFirst(result + "*", platform::faAnyFile);
            while (found && QString::fromStdString(search.Rec().Name) != wanted)
                found = search.FindNext();
            if (!found)
                return result + written.substr(at);
            next = result + search.Rec().Name;
        }
        result = next;
        if (end < written.size())
            result += platform::PathDelim;
        at = end + 1;
    }
    return result;
}

FileDialogHandler SetFileDialogHandler(FileDialogHandler h) {
    FileDialogHandler previous = std::move(handler());
    handler() = std::move(h);
    return previous;
}

} // namespace ui
