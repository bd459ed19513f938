#pragma once

// This machine's name as the game sees it under Wine.

#include "platform/base_folders.h"

#include <string>
#include <string_view>

namespace games {

// $WINEPREFIX, else platform::HomeDirectory() + "/.wine"; without a trailing '/'.
std::string WinePrefix();

struct RegistryString {
    enum Outcome { Found, Missing, WrongType } Result = Missing;
    std::string Value; // decoded, when Found
};

// Looks up the string value `name` under `key` (as written in system.reg,
// e.g. "System\\CurrentControlSet\\Control\\ComputerName\\ComputerName")
// in the text of a Wine registry file. Key names compare ignoring case.
RegistryString FindRegistryString(std::string_view regText, std::string_view key,
                                  std::string_view name);

// The host name as Wine makes a computer name of it: cut at the first '.',
// at most 15 characters, a-z upper-cased, others outside
// A-Z 0-9 ! @ # $ % ^ & ' ) ( - _ { } replaced by '_'.
std::string WineComputerNameFromHost(std::string_view hostName);

// "ComputerName" from the system.reg of `prefix` (a folder holding
// drive_c); Missing when there is no prefix, file, key or value.
RegistryString ReadComputerNameValue(const std::string& prefix);
// The same for WinePrefix() (the caller then uses the host name).
RegistryString ReadComputerNameValue();
std::string HostComputerName(); // WineComputerNameFromHost(gethostname)

} // namespace games
