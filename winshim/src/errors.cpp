// The thread's last error, and the one place where errno becomes a Win32 code.

#include "internal.h"

#include <cerrno>

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

// Contract: the code of the calling thread's last failure, as Windows keeps it.
extern "C" DWORD WINAPI GetLastError(void) { return last_error; }

// Contract: sets the calling thread's last error; never fails.
extern "C" void WINAPI SetLastError(DWORD dwErrCode) { last_error = dwErrCode; }

namespace winshim {

DWORD Win32FromErrno(int err) {
    switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    default: return ERROR_REGISTRY_IO_FAILED;
    }
}

}  // namespace winshim
