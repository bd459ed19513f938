#pragma once

// The remote the sets are pushed to and pulled from: one line, the rclone
// remote string, in a small file of its own beside the settings file (whose
// fixed-size record has no room for it).

#include <cstdint>
#include <string>
#include <string_view>

namespace remote {

// "mfbackup-remote" in the folder of the settings file `settingsFile`.
std::string RemoteSettingPath(std::string_view settingsFile);

// The remote set beside `settingsFile`: "" when none is set (no file). False
// and last error set when the file is there but can't be read.
bool ReadRemoteSetting(std::string_view settingsFile, std::string& remote);

// Sets the remote, writing the file whole or not at all; "" removes it. A
// remote holding a line break or NUL is refused (87). False and last error set
// on failure; the file is then as it was.
bool WriteRemoteSetting(std::string_view settingsFile, std::string_view remote);

// The largest file a pull takes, in bytes: "mfbackup-max-file-size" beside
// the settings file, one line of decimal digits; DefaultMaxFileSize when
// there is no such file. False and last error set when it is there but can't
// be read, or holds no such number (13).
std::string MaxFileSizeSettingPath(std::string_view settingsFile);
bool ReadMaxFileSizeSetting(std::string_view settingsFile, std::uint64_t& bytes);
// Keeps `bytes` as the setting, written whole or not at all; 0 removes it.
// False and last error set on failure; the file is then as it was.
bool WriteMaxFileSizeSetting(std::string_view settingsFile, std::uint64_t bytes);

} // namespace remote
