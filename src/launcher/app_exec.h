#pragma once

// Starts a program from a name and parameters, optionally in a working folder,
// optionally waiting for it; failures are raised as EAppExec exceptions.

#include "launcher/component.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class EAppExec : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EAppExecChDir : public EAppExec {
public:
    using EAppExec::EAppExec;
};
class EAppExecWinExec : public EAppExec {
public:
    using EAppExec::EAppExec;
};

class TAppExec : public TComponent {
public:
    enum TWindowState : std::uint8_t { wsNormal = 0, wsMinimized = 1, wsMaximized = 2 };

    // Owned by `owner` when one is given (then made with new).
    explicit TAppExec(TComponent* owner = nullptr) : TComponent(owner) {}

    void Clear();
    // Builds the command line (name, then a blank and each parameter as it
    // is), starts the program (with ChangeDir in ExePath, the child's folder:
    // this process's current folder never changes), waits if asked.
    void Execute();
    std::string ErrorText() const;
    std::string CommandLine() const;

    bool ChangeDir = true;
    std::string ExeName;
    // Bytes as they are: paths need not be UTF-8.
    std::vector<std::string> ExeParams;
    bool Wait = false;
    // A descriptor the program's standard output goes into; -1 leaves it
    // this program's own.
    int StdOutput = -1;

    std::int32_t ErrNo() const { return ErrNo_; }
    // The waited program's exit status (code, or signal when ExitSignaled).
    int ExitCode() const { return ExitCode_; }
    bool ExitSignaled() const { return ExitSignaled_; }

    const std::string& ExePath() const { return ExePath_; }
    void SetExePath(const std::string& value);
    TWindowState WindowState() const { return WindowState_; }
    void SetWindowState(TWindowState value);
    std::uint16_t ShowCommand() const { return ShowCommand_; }

private:
    std::int32_t ErrNo_ = -1;
    std::string ExePath_;
    TWindowState WindowState_ = wsNormal;
    std::uint16_t ShowCommand_ = 1;
    int ExitCode_ = 0;
    bool ExitSignaled_ = false;
};

// The message for an ErrNo value.
std::string AppExecErrorText(std::int32_t errNo);
