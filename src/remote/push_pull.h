#pragma once

// Saves on every machine: this machine's sets pushed to a remote, and the
// sets of the other machines pulled from it and filed here as new sets. The
// window and the command line fill the choices from their settings; what
// goes wrong is told to the reporter.

#include "core/reporter.h"
#include "remote/rclone.h"
#include "remote/remote_sets.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace remote {

// Where the sets go and come from.
struct Where {
    std::string Remote;       // an rclone remote string; "" when none is set
    std::string RcloneConfig; // rclone's configuration file; "" for its own
    std::string BackupDir;    // this machine's sets, ending in '/'
    std::string Machine;      // this machine's name, as the owner block has it
};

// One set pushed or pulled.
struct MovedSet {
    std::string Machine;   // whose set it is
    std::string Set;       // its name on the remote
    std::string Local;     // its name here
    std::size_t Files = 0; // its save files
};

// What a push or a pull did.
struct RemoteRun {
    std::vector<MovedSet> Sets; // in the order they were done
    std::size_t Failures = 0;   // sets refused and steps failed, each reported
    bool Unusable = false;      // nothing was tried: no rclone, remote or machine name (reported)
    bool Stopped = false;       // a pull's wait for the backup folder given up: nothing filed

    bool Ok() const { return Failures == 0 && !Unusable && !Stopped; }
};

struct PushChoices {
    Where At;
    std::vector<std::string> Sets; // set folder names; none for every set
};
// Copies this machine's sets that the remote lacks to REMOTE/<machine>/<set>/
// (see PutSets): a set the remote holds whole is left alone, one pulled from
// another machine is not pushed under this one's name, and an unfinished one
// is not pushed (named, that is a failure), nor one made without checksums
// (named, it is refused). A set of the same name that the remote holds with
// other checksums is refused.
RemoteRun Push(const PushChoices& choices, core::Reporter& reporter);

struct PullChoices {
    Where At;
    std::string From; // one machine's sets alone; "" for every other machine
    std::uint64_t MaxFileSize = DefaultMaxFileSize; // a set with a larger file is not pulled
};
// Files each set of the other machines that is not here yet as a new set
// (through sets::SetWriter, under the backup folder's lock, waited for as
// core::BackupFolderLock waits), byte for byte
// as the remote holds it and checked against its checksums; it remembers
// where it came from (sets::OriginName) and is never pulled again. Its
// description names the machine, the set, its date and its own description
// ("BRAVO MFB1A2B 7 Dec 2026 16:09: before the dragon"). A damaged or
// incomplete set is refused ("BRAVO/MFB1A2B: the copy on the remote is
// damaged") and nothing of it is left here, as is a set with a file over
// MaxFileSize, or one rclone fails to download ("BRAVO/MFB1A2B: not pulled:
// ..."); the others are filed. When the remote can't be listed, nothing is.
RemoteRun Pull(const PullChoices& choices, core::Reporter& reporter);

// A set on the remote, as `remote` shows it.
struct RemoteSetInfo {
    std::string Machine;
    std::string Set;
    std::string Description;
    std::int64_t Time = 0; // its newest file's, in seconds since 1970
    std::size_t Files = 0; // its save files (desc.txt and checksums aside)
    std::uint64_t Bytes = 0;
    bool Whole = false; // its checksums are there: it was put whole
    bool Mine = false;  // this machine's
    std::string Here;   // the set here that holds it; "" when none does
};
// The sets on the remote, by machine and set name.
Status ListRemoteSets(const Where& at, std::vector<RemoteSetInfo>& sets);

// "7 Dec 2026 16:09", in local time.
std::string SetDate(std::int64_t time);

} // namespace remote
