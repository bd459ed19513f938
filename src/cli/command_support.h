#pragma once

// What the commands of the other files of the command line share with
// those of commands.cpp.

#include "cli/console.h"

#include <QJsonDocument>

#include <cstdint>
#include <string>

namespace cli {

// Stops the command before any work, with exit status 2: "mfbackup-cli: <why>".
[[noreturn]] void Refuse(const std::string& why);
// The backup folder of the settings, ending in '/'; refused when it is missing.
std::string ExistingBackupFolder();
// A set by its folder name, in any letter case, or "latest"; refused when
// there is none.
std::string SetByName(const std::string& name);
// `text` with its control characters shown as \xHH, for a terminal.
std::string PrintableText(const std::string& text);
// ISO 8601 in local time, with the offset from UTC when asked.
std::string LocalIsoDate(std::int64_t time, bool withOffset);
void PrintJsonDocument(Console& console, const QJsonDocument& document);

} // namespace cli
