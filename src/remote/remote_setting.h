#pragma once

// The remote the sets are pushed to and pulled from: one line, the rclone
// remote string, in a small file of its own beside the settings file (whose
// fixed-size record has no room for it).

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

} // namespace remote
