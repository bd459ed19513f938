#include "cli/commands.h"

#include "cli/auto_commands.h"
#include "cli/backup_commands.h"
#include "cli/console.h"
#include "cli/options.h"
#include "cli/remote_commands.h"
#include "cli/set_commands.h"
#include "cli/settings_commands.h"
#include "cli/shared.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace cli {
namespace {

// Each command by the name options.cpp knows it by.
struct Command {
    const char* Name;
    int (*Run)(const Options& options, Console& console);
};

constexpr Command kCommands[] = {
    {"list", List},     {"backup", Backup},     {"restore", Restore},   {"undo", Undo},
    {"export", Export}, {"import", Import},     {"verify", Verify},     {"prune", Prune},
    {"find", Find},     {"wrap", Wrap},         {"watch", Watch},       {"push", Push},
    {"pull", Pull},     {"remote", RemoteSets}, {"settings", Settings},
};

int Run(const Options& options, Console& console) {
    for (const Command& command : kCommands)
        if (options.Command == command.Name)
            return command.Run(options, console);
    throw UsageError("unknown command " + options.Command);
}

// Standard streams that were closed would be taken by the next file opened,
// and output would land in it.
void KeepStandardStreamsOpen() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1)
            open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

int RunCommandLine(int argc, char** argv, Console& console) {
    try {
        const Options options = ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (options.Help || options.Version) {
            const std::string text =
                options.Help ? HelpText(options.Command) : "mfbackup-cli " MF_VERSION "\n";
            std::fputs(text.c_str(), stdout);
            return ExitOk;
        }
        QCoreApplication app(argc, argv);
        // Finding the game needs no settings, and makes none. The game a
        // wrapper starts starts whatever they say: they are read for its
        // backups.
        if (options.Command != "find" && options.Command != "wrap")
            LoadSettings(options.ConfigFile, !options.DryRun, console);
        return Run(options, console);
    } catch (const UsageError& e) {
        console.Error(std::string("mfbackup-cli: ") + e.what() + " (see mfbackup-cli --help)");
        return ExitUsage;
    } catch (const Refusal& e) {
        console.Error(std::string("mfbackup-cli: ") + e.what());
        return ExitUsage;
    } catch (const std::exception& e) {
        console.Error(std::string("mfbackup-cli: ") + e.what());
        return ExitFailed;
    }
}

} // namespace

int Main(int argc, char** argv) {
    KeepStandardStreamsOpen();
    // A reader that goes away (`| head`) must not end a backup half way.
    std::signal(SIGPIPE, SIG_IGN);
    Console console;
    const int status = RunCommandLine(argc, argv, console);
    // Output that was lost (a full disk, a reader gone) is a failure.
    const std::string why = console.FinishOutput();
    if (why.empty())
        return status;
    console.Error("mfbackup-cli: cannot write to standard output: " + why);
    return status == ExitOk ? ExitFailed : status;
}

} // namespace cli
