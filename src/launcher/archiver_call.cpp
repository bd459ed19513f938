#include "launcher/archiver_call.h"

#include "launcher/app_exec.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/replaced_files.h"

bool RunArchiver(const std::string& ExeName, const std::string& Params, const std::string& Dir,
                 std::string& Why, int StdOutput) {
    // The archiver writes into folders where files may just have been
    // replaced: the space they held is to be free for it.
    platform::LetGoOfReplaced();

    TAppExec exec;
    exec.Clear();
    exec.ExeName = ExeName;
    exec.Wait = true;
    exec.ChangeDir = true;
    exec.SetExePath(Dir);
    exec.SetWindowState(TAppExec::wsMinimized);
    exec.ExeParams = {Params};
    exec.StdOutput = StdOutput;

    try {
        exec.Execute();
    } catch (const EAppExecChDir&) {
        // Never in another folder: the archiver writes where it runs.
        Why = "error setting currentdir to " + Dir;
        return false;
    } catch (const EAppExec& e) {
        Why = e.what();
        return false;
    }

    // An archiver that failed inside must not count as done: Backup would
    // clear the archive bit of a file that was never stored.
    if (exec.ExitSignaled()) {
        Why = ExeName + " was ended by signal " + std::to_string(exec.ExitCode());
        return false;
    }
    if (exec.ExitCode() != 0) {
        Why = ExeName + " ended with exit code " + std::to_string(exec.ExitCode());
        return false;
    }
    return true;
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
