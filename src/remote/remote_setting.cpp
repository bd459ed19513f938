#include "remote/remote_setting.h"

#include "platform/files.h"
#include "platform/last_error.h"
#include "remote/remote_sets.h"

namespace remote {

namespace {

constexpr const char* kFileName = "mfbackup-remote";
constexpr const char* kMaxFileSizeName = "mfbackup-max-file-size";
// A remote string with its options, with room to spare; a larger file is no
// setting of ours.
constexpr std::size_t kMaxBytes = 64 * 1024;

// The side file `name` beside the settings file.
std::string Beside(std::string_view settingsFile, const char* name) {
    const std::size_t slash = settingsFile.rfind('/');
    return std::string(slash == std::string_view::npos ? std::string_view()
                                                       : settingsFile.substr(0, slash + 1)) +
           name;
}

// Removes the side file `path`: true when it is not there afterwards.
bool RemoveSideFile(const std::string& path) {
    return platform::DeleteFile(path) || platform::GetLastError() == platform::ERROR_FILE_NOT_FOUND;
}

} // namespace

std::string RemoteSettingPath(std::string_view settingsFile) {
    return Beside(settingsFile, kFileName);
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
    if (remote.empty())
        return RemoveSideFile(path);
    if (remote.find_first_of(std::string_view("\n\r\0", 3)) != std::string_view::npos ||
        remote.size() >= kMaxBytes) {
        platform::SetLastError(platform::ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string text = std::string(remote) + "\n";
    return platform::WriteWholeFile(path, text.data(), text.size());
}

std::string MaxFileSizeSettingPath(std::string_view settingsFile) {
    return Beside(settingsFile, kMaxFileSizeName);
}

bool ReadMaxFileSizeSetting(std::string_view settingsFile, std::uint64_t& bytes) {
    bytes = DefaultMaxFileSize;
    std::string text;
    if (!platform::ReadSmallFile(MaxFileSizeSettingPath(settingsFile), 64, text)) {
        const std::uint32_t error = platform::GetLastError();
        return error == platform::ERROR_FILE_NOT_FOUND || error == platform::ERROR_PATH_NOT_FOUND;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    std::uint64_t value = 0;
    bool valid = !text.empty() && text.size() <= 19; // no overflow
    for (const char c : text) {
        valid = valid && c >= '0' && c <= '9';
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!valid || value == 0) {
        platform::SetLastError(platform::ERROR_INVALID_DATA);
        return false;
    }
    bytes = value;
    return true;
}

bool WriteMaxFileSizeSetting(std::string_view settingsFile, std::uint64_t bytes) {
    const std::string path = MaxFileSizeSettingPath(settingsFile);
    if (bytes == 0)
        return RemoveSideFile(path);
    const std::string text = std::to_string(bytes) + "\n";
    return platform::WriteWholeFile(path, text.data(), text.size());
}

} // namespace remote
