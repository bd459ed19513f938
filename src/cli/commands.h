#pragma once

// mfbackup-cli: the settings loaded as the program loads them, one command
// run on the core, and the exit status.

#include <cstdint>
#include <stdexcept>
#include <string>

class QJsonDocument;

namespace cli {

class Console;

inline constexpr int ExitOk = 0;     // everything asked was done
inline constexpr int ExitFailed = 1; // a file (or a step) failed; the rest was done
inline constexpr int ExitUsage = 2;  // usage error, unknown set, missing folder, bad settings

int Main(int argc, char** argv);

// Stops a command before any work, with exit status 2: an unknown set, a
// missing folder, an unreadable settings file.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// As the program starts: defaults, the settings file, the machine name. A
// missing settings file is made from the defaults and the game found, as the
// program does; one that exists but can't be read is left alone and refused.
// `mayWrite` false (a dry run): a missing file is not made, the defaults
// serve in memory. A first start makes the backup folder too, and says so.
void LoadSettings(const std::string& configFile, bool mayWrite, Console& console);
// Refusals of a folder of the settings that does not exist.
void RequireBackupFolder();
void RequireGameFolder();

// A set by its folder name, in any letter case, or "latest"; refused when
// there is none.
std::string SetByName(const std::string& name);
// `text` with its control characters shown as \xHH, for a terminal.
std::string PrintableText(const std::string& text);
// ISO 8601 in local time, with the offset from UTC when asked.
std::string LocalIsoDate(std::int64_t time, bool withOffset);
void PrintJsonDocument(Console& console, const QJsonDocument& document);

} // namespace cli
