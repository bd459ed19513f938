#pragma once

// The thread's last Windows error code, set by every call of this layer that fails.

#include <cstdint>
#include <string>

namespace platform {

// Windows error codes the layer produces.
enum : std::uint32_t {
    ERROR_SUCCESS = 0,
    ERROR_FILE_NOT_FOUND = 2,
    ERROR_PATH_NOT_FOUND = 3,
    ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5,
    ERROR_INVALID_HANDLE = 6,
    ERROR_NOT_ENOUGH_MEMORY = 8,
    ERROR_INVALID_DATA = 13,
    ERROR_NOT_SAME_DEVICE = 17,
    ERROR_NO_MORE_FILES = 18,
    ERROR_WRITE_PROTECT = 19,
    ERROR_WRITE_FAULT = 29,
    ERROR_READ_FAULT = 30,
    ERROR_GEN_FAILURE = 31,
    ERROR_SHARING_VIOLATION = 32,
    ERROR_NOT_SUPPORTED = 50,
    ERROR_FILE_EXISTS = 80,
    ERROR_INVALID_PARAMETER = 87,
    ERROR_DISK_FULL = 112,
    ERROR_CALL_NOT_IMPLEMENTED = 120,
    ERROR_INVALID_NAME = 123,
    ERROR_DIR_NOT_EMPTY = 145,
    ERROR_BUSY = 170,
    ERROR_ALREADY_EXISTS = 183,
    ERROR_BAD_EXE_FORMAT = 193,
    ERROR_FILENAME_EXCED_RANGE = 206,
    ERROR_FILE_TOO_LARGE = 223,
    ERROR_DIRECTORY = 267,
    ERROR_IO_DEVICE = 1117,
    ERROR_CANT_RESOLVE_FILENAME = 1921,
};

std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// The nearest Windows code for an errno value.
std::uint32_t WinErrorFromErrno(int err);

// A short English text for a Windows code ("Access is denied." and so on),
// for messages that say why something failed.
std::string SysErrorMessage(std::uint32_t code);

} // namespace platform
