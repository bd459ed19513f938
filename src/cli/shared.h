#pragma once

// What the command groups share: the exit statuses, the settings loaded as
// the program loads them, the folders and sets a command is given, and the
// printing of names, dates and JSON. Nothing here runs a command.

#include "core/reporter.h"
#include "remote/push_pull.h"
#include "sets/kinds.h"
#include "sets/set_list.h"

#include <QJsonArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class QJsonDocument;

namespace cli {

class Console;
struct Options;

inline constexpr int ExitOk = 0;     // everything asked was done
inline constexpr int ExitFailed = 1; // a file (or a step) failed; the rest was done
inline constexpr int ExitUsage = 2;  // usage error, unknown set, missing folder, bad settings

// Stops a command before any work, with exit status 2: an unknown set, a
// missing folder, an unreadable settings file.
class Refusal : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The exit status a run of the core comes to.
int ExitStatusOf(const core::RunResult& result);

// As the program starts: defaults, the settings file, the machine name. A
// missing settings file is made from the defaults and the game found, as the
// program does; one that exists but can't be read is left alone and refused.
// `mayWrite` false (a dry run): a missing file is not made, the defaults
// serve in memory. A first start makes the backup folder too, and says so.
void LoadSettings(const std::string& configFile, bool mayWrite, Console& console);

// The folders of the settings.
std::string BackupDir();
std::string GameDir();
// Refusals of a folder of the settings that does not exist.
void RequireBackupFolder();
void RequireGameFolder();
// The kinds the settings check by default, and their form.
sets::KindSet DefaultKinds();
bool ZipSetting();

// A path given on the command line as it is stored or shown: absolute.
std::string Absolute(const std::string& path);
// An existing folder given on the command line, with its final separator.
std::string GivenFolder(const std::string& path);

// A set by its folder name, in any letter case, or "latest"; refused when
// there is none.
std::string SetByName(const std::string& name);

// The form a folder's save files are in and the kinds it holds in it: a set
// or medium is read as it was written, the settings decide only when it holds
// both forms or none.
struct Holding {
    bool Zip = false;
    sets::KindSet Kinds;
};
Holding HoldingOf(const sets::FolderContents& contents);

// Where push, pull and remote work: --remote or the setting (refused when
// there is neither), the backup folder (refused when missing), this machine.
remote::Where RemoteWhere(const Options& options);

// `text` as a terminal may show it: each control character (C0, DEL, and C1
// as UTF-8 codes it) written as \xHH, so that a description or a file name
// can't clear the screen, ring the bell or move the cursor.
std::string PrintableText(const std::string& text);
std::string Join(const std::vector<std::string>& words, const char* separator);
// "1 file", "3 files".
std::string FileCount(std::size_t files);
// ISO 8601 in local time, with its offset from UTC when asked.
std::string LocalIsoDate(std::int64_t time, bool withOffset);

// For JSON: a string, the words of the kinds, a document indented.
QString Q(const std::string& text);
QJsonArray JsonWords(const sets::KindSet& kinds);
void PrintJson(Console& console, const QJsonDocument& document);

} // namespace cli
