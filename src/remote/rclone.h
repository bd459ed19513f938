#pragma once

// rclone, run as a program: every remote this program writes to or reads from
// is reached through it, with the user's own rclone configuration. No call
// waits for ever on a remote that stopped answering: rclone's own timeouts
// and retries are bounded (unless RCLONE_CONTIMEOUT, RCLONE_TIMEOUT or
// RCLONE_LOW_LEVEL_RETRIES set others), and a run that shows no progress for
// 60 s (MFBACKUP_RCLONE_STALL_SECONDS sets another limit) is stopped.

#include <string>
#include <string_view>
#include <vector>

namespace remote {

// What an operation on a remote came to.
struct Status {
    enum Kind {
        Ok,
        NoRclone,     // rclone is not installed (or can't be started)
        RcloneFailed, // rclone ran and failed: ExitCode and its own words
        Refused,      // rclone did its part, but what it moved is not what it must be
    };
    Kind What = Ok;
    // rclone's exit status when RcloneFailed (-1: ended by a signal). Only 0
    // is relied on: rclone's codes 1 and 2 swapped meaning in 2024.
    int ExitCode = 0;
    std::string Message; // one line, no password in it

    bool Good() const { return What == Ok; }
    static Status Refuse(std::string message) { return {Refused, 0, std::move(message)}; }
};

// A remote string with `path` below it: "name:" and ":backend,opt=v:" take
// it straight after their colon, "name:dir", "/local/dir" after a '/'.
std::string JoinRemote(std::string_view remote, std::string_view path);

// `text` with the value of every option of an on-the-fly remote whose name
// speaks of a secret (pass, password, token, secret, key) replaced by "***":
// rclone's messages repeat the remote string, obscured password and all.
std::string HideSecrets(std::string_view text);

class Rclone {
public:
    // rclone from PATH; `configFile` "" keeps rclone's own configuration file.
    // NoRclone, saying so and which package brings it, when PATH has none.
    static Status Find(Rclone& rclone, std::string configFile = {});

    // Runs `rclone ARGS`, ARGS[0] being the command, with the flags that keep
    // it from asking anything or printing more than its errors (and --config
    // when one was given); standard output into `out`. RcloneFailed on a
    // non-zero exit, quoting the command, its exit code and its last errors,
    // or when it was stopped for showing no progress (ExitCode -1).
    Status Run(const std::vector<std::string>& args, std::string* out = nullptr) const;

    const std::string& Program() const { return program_; }

private:
    std::string program_;
    std::string config_;
    int stallSeconds_ = 60;
};

} // namespace remote
