#pragma once

// Running a game session under a wrapper: the command a launcher hands over
// (Steam's %command%, Lutris' command prefix, Heroic's wrapper) is started as
// it stands and waited for together with every process it starts, so that
// what comes after (a backup) runs once the game has really ended, even when
// the launcher returned first or Wine left helpers behind.

#include <chrono>
#include <string>
#include <vector>

namespace automation {

struct SessionOptions {
    // How long processes that are all Wine servers are waited for once they
    // are the only ones left: a server lingers a few seconds after its last
    // client, and one started persistent would never end.
    std::chrono::milliseconds WineServerGrace{5000};
};

struct SessionResult {
    // False when the command could not be started: nothing ran.
    bool Started = false;
    // What the wrapper ends with: the command's exit code, 128 + N when
    // signal N ended it, 127 when it was not found, 126 when it could not be
    // run.
    int ExitStatus = 0;
    // Why it could not be started ("command not found", "Permission
    // denied"); empty when it was.
    std::string Error;
    // The last of SIGTERM, SIGINT and SIGHUP that reached this process while
    // waiting (and was passed on), 0 for none.
    int ForwardedSignal = 0;
    // Wine servers still running when waiting stopped. They stay children of
    // this process (and are reaped by the system once it ends).
    std::vector<int> LeftRunning;
};

// Starts `argv` (argv[0] searched in PATH as a shell's exec does, with this
// process's environment, standard streams and signal dispositions), makes this
// process the subreaper of everything it starts, and waits until every
// descendant has ended: SIGTERM, SIGINT and SIGHUP that reach this process
// meanwhile are passed on to each of them, and when only Wine servers are
// left they are waited for at most `options.WineServerGrace`. Every
// descendant that ended is reaped. Not to be called from two threads at once;
// this process's own handling of those signals and of SIGCHLD is back as it
// was on return.
SessionResult RunSession(const std::vector<std::string>& argv, const SessionOptions& options = {});

// Whether a process of this command name (/proc/PID/comm, or the file name of
// its program) is a Wine server ("wineserver", "wineserver64", ...).
bool IsWineServerName(const std::string& name);

} // namespace automation
