#include "launcher/archiver_call.h"

#include "gui/widgets/message_box.h"
#include "launcher/app_exec.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/replaced_files.h"

#include <QString>

bool RunArchiver(const std::string& ExeName, const std::string& Params, const std::string& Dir,
                 int StdOutput) {
    if (!platform::SetCurrentDirectory(Dir))
        ui::ShowMessage(QString::fromStdString("error setting currentdir to " + Dir));

    // The archiver writes into folders where files may just have been
    // replaced: the space they held is to be free for it.
    platform::LetGoOfReplaced();

    TAppExec exec;
    exec.Clear();
    exec.ExeName = ExeName;
    exec.Wait = true;
    exec.ChangeDir = false;
    exec.SetWindowState(TAppExec::wsMinimized);
    exec.ExeParams = {Params};
    exec.StdOutput = StdOutput;

    try {
        exec.Execute();
    } catch (const EAppExec& e) {
        ui::ShowMessage(QString::fromStdString(e.what()));
        return false;
    }

    // An archiver that failed inside must not count as done: Backup would
    // clear the archive bit of a file that was never stored.
    if (exec.ExitSignaled()) {
        ui::ShowMessage(QString::fromStdString(ExeName + " was ended by signal " +
                                               std::to_string(exec.ExitCode())));
        return false;
    }
    if (exec.ExitCode() != 0) {
        ui::ShowMessage(QString::fromStdString(ExeName + " ended with exit code " +
                                               std::to_string(exec.ExitCode())));
        return false;
    }
    return true;
}

std::string ArchiveBaseName(const std::string& FileName) {
    return FileName.substr(0, FileName.find('.'));
}

// Each value in double quotes, escaped where it holds a quote or ends in
// backslashes, so the archiver gets exactly its bytes.
std::string CompressParams(const std::string& Archive, const std::string& FileName, bool NoSync) {
    return "-add " + platform::QuoteArgument(Archive) + " " + platform::QuoteArgument(FileName) +
           (NoSync ? " -nosync" : "");
}

std::string ExtractParams(const std::string& Archive) {
    return "-extract -overwrite " + platform::QuoteArgument(Archive);
}

std::string ExtractToOutputParams(const std::string& Archive, const std::string& FileName) {
    return ExtractParams(Archive) + " -console " + platform::QuoteArgument(FileName);
}

std::string TestParams(const std::string& Archive) {
    return "-test " + platform::QuoteArgument(Archive);
}
