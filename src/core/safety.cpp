#include "core/safety.h"

#include "core/backup.h"
#include "core/checked_copy.h"
#include "platform/attributes.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "sets/prune.h"
#include "sets/set_writer.h"

#include <algorithm>

namespace core {
namespace {

// The copies' own messages are not shown: what the last of them said is the
// cause of the one message (the archiver's words, or a copy's reason).
class LastCauseReporter : public Reporter {
public:
    void Message(const std::string& text) override { lastCause = text; }
    void Failure(const std::string& /*text*/, const std::string& cause) override {
        if (!cause.empty())
            lastCause = cause;
    }

    std::string lastCause;
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

// Fills the safety set `set` with the game files `replaced`, whole or not at
// all, each file shown on `reporter`'s progress as it is kept. "" or why it
// failed.
std::string Fill(sets::SetWriter& set, const std::vector<std::string>& replaced, bool zip,
                 Reporter& reporter) {
    LastCauseReporter copies;
    for (std::size_t i = 0; i < replaced.size(); ++i) {
        const std::string& path = replaced[i];
        reporter.ProgressStep(i + 1, replaced.size(), platform::ExtractFileName(path));
        reporter.ProgressText("Keeping " + path);
        platform::FileVersion read;
        if (!BackupFile(set, path, zip, copies, read))
            return copies.lastCause.empty() ? CauseText(platform::GetLastError())
                                            : copies.lastCause;
    }
    reporter.ProgressFlush();
    // Finished before any game file is touched.
    if (!set.Finish() || !set.MarkFinished())
        return CauseText(platform::GetLastError());
    return {};
}

} // namespace

bool KeepCurrentSaves(const std::string& backupDir, const std::string& setName,
                      const std::vector<SetFile>& files, bool zip, Reporter& reporter) {
    const std::vector<std::string> replaced = Replaced(files);
    if (replaced.empty())
        return true;
    // A restore's progress window, shown from the first file kept on: a
    // large safety set takes a while.
    reporter.ProgressShow("Restoring");
    sets::SetWriter set;
    std::string why;
    if (!set.Create(backupDir, SafetySetDescription + setName, why)) {
        // Its cause alone: the message says what could not be done.
        why = CauseText(platform::GetLastError());
    } else {
        why = Fill(set, replaced, zip, reporter);
        if (why.empty()) {
            for (const std::string& path : replaced)
                reporter.FileKept(path, BackupTarget(path, set.Path(), zip));
            return true;
        }
        std::string left; // a set that can't be removed whole stays as it is
        sets::RemoveSetFolder(set.Path(), left);
    }
    reporter.ProgressHide();
    reporter.Message("Could not keep the current saves in a new set: " + why +
                     ". Nothing was restored.");
    return false;
}

} // namespace core
