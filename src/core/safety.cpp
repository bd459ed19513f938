// The safety set a restore makes first: the game's files it would replace,
// kept so that a mistaken restore can be undone by restoring them.

#include "core/backup.h"
#include "core/checked_copy.h"
#include "core/restore.h"
#include "gui/widgets/message_box.h"
#include "platform/attributes.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "sets/backup_set.h"
#include "sets/manifest.h"
#include "sets/prune.h"
#include "settings/backup_config.h"

#include <algorithm>

namespace core {
namespace {

// The copies report nothing of their own: their failure is the cause of the
// one message.
class Quiet : public Reporter {
public:
    void Message(const std::string&) override {}
};

// The game files a restore of `files` would replace, each once.
std::vector<std::string> Replaced(const std::vector<SetFile>& files) {
    std::vector<std::string> found;
    for (const SetFile& file : files) {
        const std::string path = platform::ResolveCase(file.Target);
        const std::uint32_t attrs = platform::GetFileAttributes(path);
        if (attrs != platform::INVALID_FILE_ATTRIBUTES && !(attrs & platform::faDirectory) &&
            std::find(found.begin(), found.end(), path) == found.end())
            found.push_back(path);
    }
    return found;
}

// Makes the safety set of the game files `replaced`, whole or not at all,
// each file shown on `reporter`'s progress as it is kept; `setPath` gets its
// folder. "" or why it failed.
std::string MakeSet(const std::string& setName, const std::vector<std::string>& replaced,
                    std::string& setPath, Reporter& reporter) {
    const bool zip = BackupConfig.ZipBackups != 0;
    // The set's and the archiver's own messages are not shown: the
    // archiver's becomes the cause, as its exit code is all it tells.
    const ui::MessageCapture said;
    if (!CreateBackupSet(SafetySetDescription + setName, setPath)) {
        setPath.clear();
        return CauseText(platform::GetLastError());
    }
    Quiet quiet;
    SetWriter set(setPath);
    for (std::size_t i = 0; i < replaced.size(); ++i) {
        const std::string& path = replaced[i];
        reporter.ProgressStep(i + 1, replaced.size(), platform::ExtractFileName(path));
        reporter.ProgressText("Keeping " + path);
        platform::FileVersion read;
        if (!BackupInto(set, path, zip, quiet, read))
            return said.texts().isEmpty() ? CauseText(platform::GetLastError())
                                          : said.texts().back().toStdString();
    }
    reporter.ProgressFlush();
    // Finished before any game file is touched.
    if (!set.Finish() || !MarkSetFinished(setPath))
        return CauseText(platform::GetLastError());
    return {};
}

} // namespace

bool KeepCurrentSaves(const std::string& setName, const std::vector<SetFile>& files,
                      Reporter& reporter) {
    const std::vector<std::string> replaced = Replaced(files);
    if (replaced.empty())
        return true;
    std::string setPath;
    // A restore's progress window, shown from the first file kept on: a
    // large safety set takes a while.
    reporter.ProgressShow("Restoring");
    const std::string why = MakeSet(setName, replaced, setPath, reporter);
    if (why.empty()) {
        const bool zip = BackupConfig.ZipBackups != 0;
        for (const std::string& path : replaced)
            reporter.FileKept(path, BackupTarget(path, setPath, zip));
        return true;
    }
    if (!setPath.empty()) {
        std::string left; // a set that can't be removed whole stays as it is
        RemoveSetFolder(setPath, left);
    }
    reporter.ProgressHide();
    reporter.Message("Could not keep the current saves in a new set: " + why +
                     ". Nothing was restored.");
    return false;
}

} // namespace core
