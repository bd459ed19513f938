#include "platform/last_error.h"

#include "platform/internal.h"

#include <cerrno>

namespace platform {

namespace {
thread_local std::uint32_t lastError = ERROR_SUCCESS;
} // namespace

std::uint32_t GetLastError() {
    return lastError;
}
void SetLastError(std::uint32_t code) {
    lastError = code;
}

std::uint32_t WinErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case ENOTSUP:
        return ERROR_NOT_SUPPORTED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case EINVAL:
    case E2BIG:
        return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case ENOSYS:
        return ERROR_CALL_NOT_IMPLEMENTED;
    case EILSEQ:
        return ERROR_INVALID_NAME;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EBUSY:
        return ERROR_BUSY;
    case ENOEXEC:
        return ERROR_BAD_EXE_FORMAT;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case EIO:
        return ERROR_IO_DEVICE;
    case ELOOP:
        return ERROR_CANT_RESOLVE_FILENAME;
    default:
        return ERROR_GEN_FAILURE;
    }
}

std::string SysErrorMessage(std::uint32_t code) {
    switch (code) {
    case ERROR_SUCCESS:
        return "The operation completed successfully.";
    case ERROR_FILE_NOT_FOUND:
        return "The system cannot find the file specified.";
    case ERROR_PATH_NOT_FOUND:
        return "The system cannot find the path specified.";
    case ERROR_TOO_MANY_OPEN_FILES:
        return "The system cannot open the file.";
    case ERROR_ACCESS_DENIED:
        return "Access is denied.";
    case ERROR_INVALID_HANDLE:
        return "The handle is invalid.";
    case ERROR_NOT_ENOUGH_MEMORY:
        return "Not enough memory resources are available to process this command.";
    case ERROR_INVALID_DATA:
        return "The data is invalid.";
    case ERROR_NOT_SAME_DEVICE:
        return "The system cannot move the file to a different disk drive.";
    case ERROR_NO_MORE_FILES:
        return "There are no more files.";
    case ERROR_WRITE_PROTECT:
        return "The media is write protected.";
    case ERROR_WRITE_FAULT:
        return "The system cannot write to the specified device.";
    case ERROR_READ_FAULT:
        return "The system cannot read from the specified device.";
    case ERROR_GEN_FAILURE:
        return "A device attached to the system is not functioning.";
    case ERROR_SHARING_VIOLATION:
        return "The process cannot access the file because it is being used by another "
               "process.";
    case ERROR_NOT_SUPPORTED:
        return "The request is not supported.";
    case ERROR_FILE_EXISTS:
        return "The file exists.";
    case ERROR_INVALID_PARAMETER:
        return "The parameter is incorrect.";
    case ERROR_DISK_FULL:
        return "There is not enough space on the disk.";
    case ERROR_CALL_NOT_IMPLEMENTED:
        return "This function is not supported on this system.";
    case ERROR_INVALID_NAME:
        return "The filename, directory name, or volume label syntax is incorrect.";
    case ERROR_DIR_NOT_EMPTY:
        return "The directory is not empty.";
    case ERROR_BUSY:
        return "The requested resource is in use.";
    case ERROR_ALREADY_EXISTS:
        return "Cannot create a file when that file already exists.";
    case ERROR_BAD_EXE_FORMAT:
        return "The file is not a valid application.";
    case ERROR_FILENAME_EXCED_RANGE:
        return "The filename or extension is too long.";
    case ERROR_FILE_TOO_LARGE:
        return "The file size exceeds the limit allowed and cannot be saved.";
    case ERROR_DIRECTORY:
        return "The directory name is invalid.";
    case ERROR_IO_DEVICE:
        return "The request could not be performed because of an I/O device error.";
    case ERROR_CANT_RESOLVE_FILENAME:
        return "The name of the file cannot be resolved by the system.";
    default:
        return "Unknown error " + std::to_string(code) + ".";
    }
}

namespace detail {

bool FailErrno(int err) {
    SetLastError(WinErrorFromErrno(err));
    return false;
}

bool Fail(std::uint32_t code) {
    SetLastError(code);
    return false;
}

} // namespace detail
} // namespace platform
