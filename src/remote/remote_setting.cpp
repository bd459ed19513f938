#include "remote/remote_setting.h"

#include "platform/files.h"
#include "platform/last_error.h"

namespace remote {

namespace {

constexpr const char* kFileName = "mfbackup-remote";
// A remote string with its options, with room to spare; a larger file is no
// setting of ours.
constexpr std::size_t kMaxBytes = 64 * 1024;

} // namespace

std::string RemoteSettingPath(std::string_view settingsFile) {
    const std::size_t slash = settingsFile.rfind('/');
    return std::string(slash == std::string_view::npos ? std::string_view()
                                                       : settingsFile.substr(0, slash + 1)) +
           kFileName;
}

bool ReadRemoteSetting(std::string_view settingsFile, std::string& remote) {
    remote.clear();
    std::string text;
    if (!platform::ReadSmallFile(RemoteSettingPath(settingsFile), kMaxBytes, text)) {
        const std::uint32_t error = platform::GetLastError();
        return error == platform::ERROR_FILE_NOT_FOUND || error == platform::ERROR_PATH_NOT_FOUND;
    }
    // The first line; one edited by hand may end in CR LF.
    remote = text.substr(0, text.find('\n'));
    if (!remote.empty() && remote.back() == '\r')
        remote.pop_back();
    return true;
}

bool WriteRemoteSetting(std::string_view settingsFile, std::string_view remote) {
    const std::string path = RemoteSettingPath(settingsFile);
    if (remote.empty()) {
        return platform::DeleteFile(path) ||
               platform::GetLastError() == platform::ERROR_FILE_NOT_FOUND;
    }
    if (remote.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos ||
        remote.size() >= kMaxBytes) {
        platform::SetLastError(platform::ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string text = std::string(remote) + "\n";
    return platform::WriteWholeFile(path, text.data(), text.size());
}

} // namespace remote
