#include "cli/options.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace cli {
namespace {

struct CommandInfo {
    const char* Name;
    const char* Synopsis;
    const char* Summary;
    std::vector<std::string> Allowed; // the options it takes
    std::size_t Arguments;
    bool MoreArguments = false; // any number past Arguments
};

// What wrap takes: what its backups take, and when they run. An option for
// what follows a backup (a push) joins here, in KnownOptions and in Apply.
std::vector<std::string> WrapOptions() {
    return {"--kinds", "--desc", "--zip", "--plain", "--before", "--push"};
}

const std::vector<CommandInfo>& Commands() {
    static const std::vector<CommandInfo> commands = {
        {"list", "list [--json]", "the backup sets, oldest first", {"--json"}, 0},
        {"backup",
         "backup [--kinds K] [--desc TEXT] [--zip | --plain] [--ignore-archive-bit] [--dry-run]",
         "back up the changed save files into a new set, of the kinds the settings check "
         "unless --kinds names others; each file counts on its own",
         {"--kinds", "--desc", "--zip", "--plain", "--ignore-archive-bit", "--dry-run"},
         0},
        {"restore",
         "restore SET [--kinds K] [--owner | --no-owner] [--no-safety] [--dry-run]",
         "put the files of a set back into the game, after keeping the game's files it "
         "replaces in a new set (not with --no-safety)",
         {"--kinds", "--owner", "--no-owner", "--no-safety", "--dry-run"},
         1},
        {"undo",
         "undo [--dry-run]",
         "undo the last restore: put back the files the newest \"Before restoring ...\" set "
         "kept, byte for byte (no owner written, no new set)",
         {"--dry-run"},
         0},
        {"export",
         "export SET DIR [--kinds K]",
         "copy the files of a set and its description into a folder",
         {"--kinds"},
         2},
        {"import",
         "import DIR [--kinds K]",
         "file the save files an export left in a folder as a new set",
         {"--kinds"},
         1},
        {"verify",
         "verify [SET...] [--json]",
         "check the files of sets (all when none is named) against their checksums, and their "
         "archives",
         {"--json"},
         0,
         true},
        {"prune",
         "prune --keep N [--dry-run]",
         "remove the oldest sets so that N remain",
         {"--keep", "--dry-run"},
         0},
        {"find",
         "find [--json]",
         "the Moonforge installations found, each with its launcher (writes no settings)",
         {"--json"},
         0},
        {"wrap",
         "wrap [--kinds K] [--desc TEXT] [--zip | --plain] [--before] [--push] -- COMMAND "
         "[ARG...]",
         "run a game's COMMAND (Steam: wrap -- %command%) and once it and all it started have "
         "ended back up every changed save file (of the kinds K), \"After playing\" (or TEXT) "
         "and the date; --before also before it starts; --push then pushes the sets the remote "
         "lacks; ends with COMMAND's exit status",
         WrapOptions(), 1, true},
        {"watch",
         "watch [--quiet SECONDS] [--once] [--push]",
         "back up every changed save file once the game has written none for SECONDS (300), "
         "\"Saved while playing\" and the date; --push then pushes the sets the remote lacks; "
         "--once ends after the first backup",
         {"--quiet", "--once", "--push"},
         0},
        {"settings",
         "settings [--json] | settings set KEY VALUE",
         "show the settings, or change one: game-dir, backup-dir (made when only its "
         "last folder is missing), kinds, zip (on/off), owner (on/off), remote (an rclone "
         "remote; \"\" for none), max-file-size (the largest file a pull takes; \"\" for 1G)",
         {"--json"},
         0},
        {"push",
         "push [--remote REMOTE] [--rclone-config FILE] [SET...]",
         "copy this machine's sets (all, or those named) that the remote lacks to "
         "REMOTE/<machine>/<set>/, each file checked there; nothing on the remote is ever "
         "replaced or removed",
         {"--remote", "--rclone-config"},
         0,
         true},
        {"pull",
         "pull [--remote REMOTE] [--from MACHINE] [--max-file-size SIZE] [--rclone-config FILE]",
         "file each set of the other machines on the remote that is not here yet as a new "
         "set, checked against its checksums; a set with a file over SIZE (the max-file-size "
         "setting, 1G unless set) is not downloaded",
         {"--remote", "--from", "--max-file-size", "--rclone-config"},
         0},
        {"remote",
         "remote [--remote REMOTE] [--rclone-config FILE] [--json]",
         "the sets on the remote by machine: date, files, which are here, description",
         {"--remote", "--rclone-config", "--json"},
         0},
    };
    return commands;
}

const CommandInfo* FindCommand(const std::string& name) {
    for (const CommandInfo& info : Commands())
        if (name == info.Name)
            return &info;
    return nullptr;
}

const std::vector<std::string> KnownOptions = {
    "--config", "--kinds",        "--desc",    "--zip",     "--plain",
    "--owner",  "--no-owner",     "--dry-run", "--json",    "--ignore-archive-bit",
    "--keep",   "--no-safety",    "--help",    "--version", "--before",
    "--quiet",  "--once",         "--remote",  "--from",    "--rclone-config",
    "--push",   "--max-file-size"};

// Options that take a value, as "--name VALUE" or "--name=VALUE".
bool TakesValue(const std::string& name) {
    return name == "--config" || name == "--kinds" || name == "--desc" || name == "--keep" ||
           name == "--quiet" || name == "--remote" || name == "--from" ||
           name == "--rclone-config" || name == "--max-file-size";
}

bool Has(const std::vector<std::string>& list, const char* item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// A count of sets to keep: decimal digits, at least 1, so that a slip can't
// remove every set.
std::size_t ParseKeep(const std::string& text) {
    std::size_t count = 0;
    bool valid = !text.empty() && text.size() <= 9;
    for (const char c : text) {
        valid = valid && c >= '0' && c <= '9';
        count = count * 10 + static_cast<std::size_t>(c - '0');
    }
    if (!valid || count == 0)
        throw UsageError("--keep takes a number of sets, at least 1, not '" + text + "'");
    return count;
}

// The watcher's quiet time: whole seconds, at least 1, at most a day.
unsigned ParseQuiet(const std::string& text) {
    unsigned seconds = 0;
    bool valid = !text.empty() && text.size() <= 5;
    for (const char c : text) {
        valid = valid && c >= '0' && c <= '9';
        seconds = seconds * 10 + static_cast<unsigned>(c - '0');
    }
    if (!valid || seconds == 0 || seconds > 86400)
        throw UsageError("--quiet takes a number of seconds from 1 to 86400, not '" + text + "'");
    return seconds;
}

void Apply(Options& options, const std::string& name, const std::string& value) {
    if (name == "--help")
        options.Help = true;
    else if (name == "--version")
        options.Version = true;
    else if (name == "--config")
        options.ConfigFile = value;
    else if (name == "--kinds")
        options.Kinds = ParseKinds(value);
    else if (name == "--desc")
        options.Description = value;
    else if (name == "--zip" || name == "--plain")
        options.Zip = name == "--zip";
    else if (name == "--owner" || name == "--no-owner")
        options.Owner = name == "--owner";
    else if (name == "--ignore-archive-bit")
        options.IgnoreArchiveBit = true;
    else if (name == "--dry-run")
        options.DryRun = true;
    else if (name == "--no-safety")
        options.NoSafety = true;
    else if (name == "--json")
        options.Json = true;
    else if (name == "--keep")
        options.Keep = ParseKeep(value);
    else if (name == "--before")
        options.Before = true;
    else if (name == "--quiet")
        options.Quiet = ParseQuiet(value);
    else if (name == "--once")
        options.Once = true;
    else if (name == "--push")
        options.Push = true;
    else if (name == "--remote")
        options.Remote = value;
    else if (name == "--from")
        options.From = value;
    else if (name == "--rclone-config")
        options.RcloneConfig = value;
    else if (name == "--max-file-size")
        options.MaxFileSize = ParseSize(value, name);
}

} // namespace

std::string KindWord(sets::Kind kind) {
    switch (kind) {
    case sets::Kind::Characters:
        return "characters";
    case sets::Kind::Multiplayer:
        return "multiplayer";
    case sets::Kind::Single:
        return "single";
    }
    return {};
}

std::vector<std::string> KindWords(const sets::KindSet& kinds) {
    std::vector<std::string> words;
    for (sets::Kind kind : sets::AllKinds)
        if (kinds.Has(kind))
            words.push_back(KindWord(kind));
    return words;
}

namespace {

constexpr std::string_view kUnits = "KMG"; // each 1024 times the one before

} // namespace

std::uint64_t ParseSize(const std::string& text, const std::string& what) {
    std::string digits = text;
    unsigned shift = 0;
    if (!digits.empty()) {
        const std::size_t unit =
            kUnits.find(static_cast<char>(std::toupper(static_cast<unsigned char>(digits.back()))));
        if (unit != std::string_view::npos) {
            shift = 10 * static_cast<unsigned>(unit + 1);
            digits.pop_back();
        }
    }
    std::uint64_t value = 0;
    bool valid = !digits.empty() && digits.size() <= 12; // a terabyte of gibibytes at most
    for (const char c : digits) {
        valid = valid && c >= '0' && c <= '9';
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!valid || value == 0)
        throw UsageError(what + " takes a size, at least 1 (bytes, or with K, M or G), not '" +
                         text + "'");
    return value << shift;
}

std::string SizeText(std::uint64_t bytes) {
    std::size_t unit = 0;
    while (unit < kUnits.size() && bytes != 0 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++unit;
    }
    return std::to_string(bytes) + (unit == 0 ? "" : std::string(1, kUnits[unit - 1]));
}

KindChoice ParseKinds(const std::string& text, bool allowNone) {
    KindChoice choice;
    if (allowNone && text == "none")
        return choice;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string word = text.substr(start, comma - start);
        bool known = false;
        if (word == "all") {
            choice.All = known = true;
            for (sets::Kind kind : sets::AllKinds)
                choice.Kinds.Set(kind, true);
        }
        for (sets::Kind kind : sets::AllKinds) {
            if (word == KindWord(kind)) {
                choice.Kinds.Set(kind, true);
                known = true;
            }
        }
        if (!known)
            throw UsageError("unknown kind '" + word +
                             "' (kinds are characters, multiplayer, single or all)");
        if (comma == std::string::npos)
            return choice;
        start = comma + 1;
    }
}

Options ParseOptions(const std::vector<std::string>& args) {
    Options options;
    std::vector<std::string> given; // the command's own options, checked below
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (options.Command.empty()) {
                options.Command = arg;
            } else {
                options.Arguments.push_back(arg);
                // The game's command line is the game's: from its first
                // word on, nothing is an option of ours.
                optionsEnded = optionsEnded || options.Command == "wrap";
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        std::string name = arg == "-h" ? "--help" : arg;
        std::optional<std::string> value;
        if (const auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (!Has(KnownOptions, name.c_str()))
            throw UsageError("unknown option " + name);
        if (TakesValue(name)) {
            if (!value && i + 1 < args.size())
                value = args[++i];
            if (!value || (value->empty() && (name == "--config" || name == "--remote" ||
                                              name == "--from" || name == "--rclone-config")))
                throw UsageError(name + " needs a value");
        } else if (value) {
            throw UsageError(name + " takes no value");
        }
        Apply(options, name, value.value_or(""));
        if (name != "--help" && name != "--version" && name != "--config")
            given.push_back(name);
    }

    const CommandInfo* info = FindCommand(options.Command);
    if (!options.Command.empty() && !info)
        throw UsageError("unknown command " + options.Command);
    if (options.Help || options.Version)
        return options;
    if (!info)
        throw UsageError("no command given");
    for (const std::string& name : given)
        if (!Has(info->Allowed, name.c_str()))
            throw UsageError(options.Command + " takes no option " + name);
    if (Has(given, "--zip") && Has(given, "--plain"))
        throw UsageError("--zip and --plain exclude each other");
    if (Has(given, "--owner") && Has(given, "--no-owner"))
        throw UsageError("--owner and --no-owner exclude each other");

    const std::vector<std::string>& a = options.Arguments;
    if (options.Command == "settings" && !a.empty()) {
        if (a[0] != "set")
            throw UsageError("unknown settings command " + a[0]);
        if (a.size() != 3)
            throw UsageError("settings set needs KEY and VALUE");
        if (options.Json)
            throw UsageError("settings set takes no option --json");
    } else if (a.size() < info->Arguments) {
        throw UsageError(std::string("usage: mfbackup-cli ") + info->Synopsis);
    } else if (a.size() > info->Arguments && !info->MoreArguments) {
        throw UsageError("unexpected argument " + a[info->Arguments]);
    }
    if (options.Command == "prune" && !options.Keep)
        throw UsageError("prune needs --keep N");
    return options;
}

std::string HelpText(const std::string& command) {
    if (const CommandInfo* info = FindCommand(command)) {
        std::string text = std::string("Usage: mfbackup-cli [--config FILE] ") + info->Synopsis +
                           "\n\n" + info->Summary + ".\n";
        return text;
    }
    std::string text = "Usage: mfbackup-cli [--config FILE] COMMAND [OPTIONS]\n\n"
                       "Backs up the save files of Moonforge without opening a window.\n\n";
    for (const CommandInfo& info : Commands())
        text += std::string("  ") + info.Synopsis + "\n      " + info.Summary + "\n";
    text += "\n"
            "K is a comma list of characters, multiplayer, single, or all. SET is a set's\n"
            "folder name (any letter case) or latest. --config FILE reads and writes another\n"
            "settings file. --help and --version also work after a COMMAND. A command that\n"
            "writes sets or game files waits while another runs on the same backup folder.\n"
            "REMOTE is any rclone remote (name:folder, or :webdav,url=...: made on the fly);\n"
            "without --remote, the remote setting.\n\n"
            "Exit status: 0 when everything asked was done, 1 when a file failed (or a set\n"
            "is damaged, or was not removed whole, or standard output could not be written),\n"
            "2 for a usage error, an unknown set, a missing folder or an unreadable settings\n"
            "file, no remote set, or no rclone. wrap ends with COMMAND's exit status,\n"
            "whatever its backup came to.\n"
            "See mfbackup-cli(1).\n";
    return text;
}

} // namespace cli
