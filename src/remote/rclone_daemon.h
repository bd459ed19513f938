#pragma once

// One rclone for a whole command: `rclone rcd` started once, on 127.0.0.1
// with a port of its own choosing and a random user and password, and sent
// each step over its remote-control API, where a program per step would pay
// rclone's start (about 50 ms) each time.
//
// What each step of a push or pull is in rclone 1.60's API, tried against
// that version. "_config" keys are the global options as options/get names
// them, durations in nanoseconds as JSON numbers ("20s" is refused), sizes
// as "65536B". Immutable, IgnoreTimes, NoUpdateModTime, LowLevelRetries and
// the "_filter" keys below were seen to work; Transfers, Checkers and
// IgnoreChecksum are named by options/get, their effect not seen:
//
//   step                          method               parameters
//   list with size, time, sha256  operations/list      fs, remote, opt: {recurse: true,
//                                                      filesOnly: true, hashTypes: ["sha256"]}
//   one file's size and time      operations/stat      fs, remote ("item": null when missing)
//   hash where the remote has     sync/copy to a folder of our own, hashed here (see below)
//     no sha256 (hashsum)
//   copy listed files, never      sync/copy            srcFs, dstFs, _config: {Immutable: true,
//     replacing one                                    NoUpdateModTime, IgnoreChecksum,
//                                                      Transfers: 8}, _filter: {FilesFromRaw:
//                                                      [list file]} or {FilterFrom: [rules
//                                                      file]}, {FilterRule/IncludeRule: [...]}
//   copy everything again         sync/copy            _config: {IgnoreTimes: true}
//   copy files under a size       sync/copy            _filter: {MaxSize: "65536B"}
//   copy one file                 operations/copyfile  srcFs, srcRemote, dstFs, dstRemote
//   move or rename one file       operations/movefile  as copyfile
//   a local folder's links as     the remote string    ":local,links=true:/path", or
//     ".rclonelink" files (--links)                    "name,links=true:path" for a named one
//
// Gaps of 1.60 found on the way:
// - No operations/hashsum, operations/check or sync/check; core/command runs
//   a new rclone for each call. Listing asks the remote for sha256 (one
//   "hash type not supported" line per file in the log where it has none);
//   files without one are copied with sync/copy into a temporary folder and
//   hashed here.
// - --rc-serve does not serve a remote made on the fly with a URL in it: the
//   path is cleaned, "http://" becomes "http:/".
// - Immutable is honoured by sync/copy alone: operations/copyfile and
//   operations/movefile replace a different file; sync/move deletes the
//   source and reports success (so does `rclone move --immutable
//   --files-from-raw`, and `rclone moveto --immutable` replaces).
// - Unknown "_config" and "_filter" keys are ignored without a word.
// - ConnectTimeout and Timeout take effect once per rclone (its HTTP
//   transport is made at the first request): they are given to rcd as flags
//   (--contimeout=20s --timeout=45s --low-level-retries=3 unless the
//   environment sets RCLONE_CONTIMEOUT, RCLONE_TIMEOUT or
//   RCLONE_LOW_LEVEL_RETRIES); LowLevelRetries works per call as well.
// - A job's failure carries no status: "directory not found" is a 404 only
//   from a call answered directly.
// - core/quit ends rclone 1.5 s after answering; SIGTERM ends it within a
//   few ms, running its exit handlers, and is what Stop sends.
//
// Every call is bounded: one answered directly within the stall limit, one
// that moves files (sync/*, operations/copyfile and movefile) run as a job
// whose statistics are watched and that is stopped after showing no progress
// for the stall limit. That limit is 60 s; MFBACKUP_RCLONE_STALL_SECONDS sets
// another.

#include "platform/background_process.h"
#include "remote/rclone.h"

#include <QJsonObject>

#include <chrono>
#include <string>

namespace remote {

class RcloneDaemon {
public:
    // rclone's status for a path with nothing there (ExitCode of a failed
    // call answered directly: it is rclone's HTTP status, 400 for parameters
    // it refused, 500 for other failures and failed jobs, -1 for a call that
    // was stopped or never answered).
    static constexpr int kNotFound = 404;

    RcloneDaemon() = default;
    RcloneDaemon(const RcloneDaemon&) = delete;
    RcloneDaemon& operator=(const RcloneDaemon&) = delete;
    ~RcloneDaemon(); // Stop()

    // Starts `rclone rcd` from PATH with the user's configuration
    // (`configFile` "" for rclone's own), asking nothing. It is killed when
    // the thread that started it ends: start and use it on one thread.
    // NoRclone when there is no rclone to start; RcloneFailed when it does
    // not serve within 10 s.
    Status Start(std::string configFile = {});

    // Calls `method` with `params`; its answer in `out`. RcloneFailed with
    // rclone's own words (and the first error it logged on the way, which
    // often names the file) when it fails.
    Status Call(const std::string& method, const QJsonObject& params, QJsonObject& out);

    // Ends rclone: SIGTERM, then killed after a short grace.
    void Stop();

    bool Running() { return process_.Running(); }
    int Port() const { return port_; }
    pid_t Pid() const { return process_.Pid(); }
    std::chrono::seconds StallLimit() const { return stall_; }

private:
    using Deadline = std::chrono::steady_clock::time_point;

    // One request and its answer, before `deadline`.
    Status Post(const std::string& method, const QJsonObject& params, QJsonObject& out,
                Deadline deadline);
    // `method` as a job, watched until it ends or stalls.
    Status RunJob(const std::string& method, const QJsonObject& params, QJsonObject& out);
    // Stops the job and waits a little for it to end.
    void StopJob(qint64 id);
    Status Failed(const std::string& what, int code, const std::string& words,
                  std::size_t logFrom) const;

    platform::BackgroundProcess process_;
    int port_ = 0;
    std::string authorization_; // "Basic ...", user and password
    std::chrono::seconds stall_{60};
};

} // namespace remote
