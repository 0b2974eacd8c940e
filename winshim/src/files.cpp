// The executable's own path and file attributes.

#include "internal.h"
#include "sys.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

using winshim::InjectedFault;

namespace {

// Copies as Windows since Vista does: cut to the buffer, always terminated,
// and nSize returned with ERROR_INSUFFICIENT_BUFFER when it was cut.
DWORD CopyOut(const std::string &text, LPSTR buffer, DWORD size) {
    if (size == 0)
        return winshim::Failure(ERROR_INSUFFICIENT_BUFFER, 0);
    if (text.size() < size) {
        memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<DWORD>(text.size());
    }
    memcpy(buffer, text.data(), size - 1);
    buffer[size - 1] = '\0';
    return winshim::Failure(ERROR_INSUFFICIENT_BUFFER, size);
}

}  // namespace

// Contract: the running executable's absolute path with '\' separators, or
// WINSHIM_MODULE_FILE as it stands when that is set (empty: failure). Only the
// executable itself (hModule null) is known.
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (DWORD fault = InjectedFault("GetModuleFileNameA"))
        return winshim::Failure(fault, 0);
    if (hModule)
        return winshim::Failure(ERROR_MOD_NOT_FOUND, 0);
    std::string path;
    if (const char *given = getenv("WINSHIM_MODULE_FILE")) {
        if (!*given)
            return winshim::Failure(ERROR_FILE_NOT_FOUND, 0);
        path = given;
    } else {
        char buffer[4096];
        ssize_t n = winshim::sys::ReadLink("/proc/self/exe", buffer, sizeof buffer);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer)
            return winshim::Failure(n <= 0 ? winshim::Win32FromErrno(errno) : ERROR_FILENAME_EXCED_RANGE, 0);
        path.assign(buffer, static_cast<size_t>(n));
        for (char &c : path)
            if (c == '/')
                c = '\\';
    }
    return CopyOut(path, lpFilename, nSize);
}

// Contract: FILE_ATTRIBUTE_DIRECTORY for a directory, FILE_ATTRIBUTE_NORMAL
// for a file (FILE_ATTRIBUTE_READONLY when it has no write bit), and
// INVALID_FILE_ATTRIBUTES with the reason in GetLastError when the path does
// not exist. '\' and '/' both separate.
extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    if (DWORD fault = InjectedFault("GetFileAttributesA"))
        return winshim::Failure(fault, INVALID_FILE_ATTRIBUTES);
    if (!lpFileName || !*lpFileName)
        return winshim::Failure(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    std::string path(lpFileName);
    for (char &c : path)
        if (c == '\\')
            c = '/';
    struct stat st;
    if (winshim::sys::Stat(path.c_str(), &st) != 0)
        return winshim::Failure(winshim::Win32FromErrno(errno), INVALID_FILE_ATTRIBUTES);
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if (!(st.st_mode & 0222))
        attributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
    return attributes;
}
