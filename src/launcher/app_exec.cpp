#include "launcher/app_exec.h"

#include "platform/files.h"
#include "platform/last_error.h"
#include "platform/paths.h"
#include "platform/process.h"

#include <memory>
#include <thread>
#include <utility>

std::string AppExecErrorText(std::int32_t errNo) {
    switch (errNo) {
    case -1:
        return "No execution";
    case 0:
        return "System was out of memory, executable file was corrupt, or relocations were "
               "invalid";
    case 2:
        return "File was not found";
    case 3:
        return "Path was not found";
    case 5:
        return "Attempt was made to dynamically link to a task, or there was a sharing or "
               "network-protection error";
    case 6:
        return "Library required separate data segments for each task";
    case 8:
        return "There was insufficient memory to start the application";
    case 10:
        return "Windows version was incorrect";
    case 11:
        return "Executable file was invalid. Either it was not a Windows application or there "
               "was an error in the .EXE image";
    case 12:
        return "Application was designed for a different operating system";
    case 13:
        return "Application was designed for MS-DOS 4.0";
    case 14:
        return "Type of executable file was unknown";
    case 15:
        return "Attempt was made to load a real-mode application (developed for an earlier "
               "version of Windows)";
    case 16:
        return "Attempt to load second instance of an executable containing multiple data "
               "segments not marked read-only";
    case 19:
        return "Attempt was made to load a compressed executable file. The file must be "
               "decompressed before it can be loaded";
    case 20:
        return "Dynamic-link library (DLL) file was invalid. One of the DLLs required to run "
               "this application was corrupt";
    case 21:
        return "Application requires 32-bit extensions";
    default:
        return "Unknown error (code " + std::to_string(errNo) + ")";
    }
}

void TAppExec::Clear() {
    ErrNo_ = -1;
    ExeName.clear();
    ExePath_.clear();
    ExeParams.clear();
    StdOutput = -1;
    ExitCode_ = 0;
    ExitSignaled_ = false;
}

std::string TAppExec::CommandLine() const {
    // Parameters carry their own quotes; nothing is added. The line is built
    // whole, however long: a cut line would run the program on a wrong file.
    std::string line = ExeName;
    for (const std::string& param : ExeParams) {
        line += ' ';
        line += param;
    }
    return line;
}

std::string TAppExec::ErrorText() const {
    return AppExecErrorText(ErrNo_);
}

void TAppExec::Execute() {
    const std::string commandLine = CommandLine();

    const std::string workDir = ChangeDir ? ExePath_ : std::string();
    if (!workDir.empty() && !platform::DirectoryExists(workDir)) {
        platform::SetLastError(platform::FileExists(workDir) ? platform::ERROR_DIRECTORY
                                                             : platform::ERROR_PATH_NOT_FOUND);
        throw EAppExecChDir("Cannot change the current folder to " + ExePath_ + ": " +
                            platform::SysErrorMessage(platform::GetLastError()));
    }

    ExitCode_ = 0;
    ExitSignaled_ = false;
    auto process = std::make_unique<platform::Process>();
    if (!process->Start(commandLine, ShowCommand_, StdOutput, workDir)) {
        ErrNo_ = static_cast<std::int32_t>(platform::GetLastError());
        throw EAppExecWinExec(ErrorText());
    }

    if (Wait) {
        process->Wait();
        ErrNo_ = 0;
        ExitCode_ = process->Status().Code;
        ExitSignaled_ = process->Status().Signaled;
        return;
    }

    // Not waiting: a Process waits for its child when destroyed, so hand it
    // to a thread of its own that reaps the child whenever it ends.
    std::thread([p = std::move(process)]() mutable {
        p->Wait();
        p.reset();
    }).detach();
}

void TAppExec::SetExePath(const std::string& value) {
    if (value == ExePath_)
        return;
    ExePath_ = value;
    if (ExePath_.size() > 1 && ExePath_.back() == platform::PathDelim)
        ExePath_.pop_back();
}

void TAppExec::SetWindowState(TWindowState value) {
    if (value == WindowState_)
        return;
    switch (value) {
    case wsNormal:
        ShowCommand_ = 1;
        break;
    case wsMinimized:
        ShowCommand_ = 2;
        break;
    case wsMaximized:
        ShowCommand_ = 3;
        break;
    }
    WindowState_ = value;
}
