#pragma once

// The command line of mfbackup-cli, read into what it asks for. Nothing here
// touches the disk.

#include "sets/kinds.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli {

// A command line that can't be run as written; what() says why, in one line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Kinds as the user names them.
struct KindChoice {
    sets::KindSet Kinds;
    bool All = false; // "all": every kind there is, also those a set lacks
};

struct Options {
    std::string ConfigFile; // "" for the usual settings file
    bool Help = false;
    bool Version = false;
    std::string Command; // "" when none was given
    std::vector<std::string> Arguments;

    std::optional<KindChoice> Kinds;
    std::optional<std::string> Description;
    std::optional<bool> Zip;
    std::optional<bool> Owner;
    bool IgnoreArchiveBit = false; // backup: kept for old scripts; each changed file counts
    bool DryRun = false;
    bool NoSafety = false; // restore: no safety set first
    bool Json = false;
    std::optional<std::size_t> Keep;   // prune: the sets that remain
    bool Before = false;               // wrap: a backup before the game starts too
    std::optional<unsigned> Quiet;     // watch: seconds without a write before a backup
    bool Once = false;                 // watch: end after the first backup
    bool Push = false;                 // wrap, watch: a push after a backup that made a set
    std::optional<std::string> Remote; // push, pull, remote: in place of the setting
    std::string From;                  // pull: one machine's sets alone
    std::string RcloneConfig;          // push, pull, remote: rclone's configuration file
    // pull: the largest file it takes, in place of the setting
    std::optional<std::uint64_t> MaxFileSize;
};

// Reads argv[1..]. Throws UsageError for an unknown command or option, a
// missing value, an option the command does not take, or a wrong number of
// arguments. With --help or --version nothing else is checked.
Options ParseOptions(const std::vector<std::string>& args);

// "characters,single", "all" (and with `allowNone`, "none").
KindChoice ParseKinds(const std::string& text, bool allowNone = false);
// The word of a kind: "characters", "multiplayer", "single".
std::string KindWord(sets::Kind kind);
// The words of the kinds in `kinds`, in order.
std::vector<std::string> KindWords(const sets::KindSet& kinds);

// A size as given, "SIZE": a number of bytes, at least 1, or of KiB, MiB,
// GiB with K, M, G after it ("200", "64K", "1G"). `what` names it in the
// refusal.
std::uint64_t ParseSize(const std::string& text, const std::string& what);
// A size as ParseSize takes it, in the largest unit that holds it whole.
std::string SizeText(std::uint64_t bytes);

// The help text: the whole program's, or one command's.
std::string HelpText(const std::string& command);

} // namespace cli
