#include "platform/base_folders.h"

#include "platform/internal.h"
#include "platform/last_error.h"
#include "platform/paths.h"

#include <cerrno>
#include <cstdlib>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// An absolute base folder from the environment, else the home's `fallback`.
std::string BaseFolder(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value && value[0] == PathDelim)
        return WithoutTrailingDelimiters(value);
    return HomeDirectory() + fallback;
}

} // namespace

std::string HomeDirectory() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    return home ? WithoutTrailingDelimiters(home) : std::string();
}

std::string ConfigHome() {
    return BaseFolder("XDG_CONFIG_HOME", "/.config");
}

std::string DataHome() {
    return BaseFolder("XDG_DATA_HOME", "/.local/share");
}

std::string StateHome() {
    return BaseFolder("XDG_STATE_HOME", "/.local/state");
}

std::string StateFolder() {
    return StateHome() + "/mfbackup";
}

bool ForceDirectories(const std::string& dir) {
    const std::string folder = WithoutTrailingDelimiters(dir);
    for (std::size_t at = folder.find(PathDelim, 1);; at = folder.find(PathDelim, at + 1)) {
        const std::string part = folder.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return detail::FailErrno(errno);
        if (at == std::string::npos)
            break;
    }
    // stat alone, not the attribute layer: the stamp store makes its folder
    // while it holds its lock.
    if (IsFolder(folder))
        return true;
    return detail::Fail(ERROR_DIRECTORY);
}

} // namespace platform
