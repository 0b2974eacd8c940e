// The executable's own path and file attributes. Where the store is a Wine
// prefix, paths are named as the prefix's programs name them: through its
// drives.

#include "prefix.h"

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

// The executable's path as a program of the store names it: where the store
// is a Wine prefix, as its drives reach it ("C:\Tessel\bin\pinhome"), and
// an error that says so where none does; else with every '/' turned into
// '\'.
DWORD NameOfPath(std::string &path) {
    LONG rc;
    if (const winshim::Prefix *prefix = winshim::StorePrefix(&rc)) {
        std::string dos;
        if (!winshim::DosPath(*prefix, path, &dos)) {
            winshim::Tell(path + ": no drive of the Wine prefix " + prefix->dir + " reaches it");
            return ERROR_PATH_NOT_FOUND;
        }
        path = std::move(dos);
        return ERROR_SUCCESS;
    }
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return ERROR_SUCCESS;
}

}  // namespace

// Contract: the running executable's absolute path with '\' separators (in a
// Wine prefix, through its drives), or WINSHIM_MODULE_FILE as it stands when
// that is set (empty: failure). Only the executable itself (hModule null) is
// known.
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
        if (DWORD rc = NameOfPath(path))
            return winshim::Failure(rc, 0);
    }
    return CopyOut(path, lpFilename, nSize);
}

// Contract: FILE_ATTRIBUTE_DIRECTORY for a directory, FILE_ATTRIBUTE_NORMAL
// for a file (FILE_ATTRIBUTE_READONLY when it has no write bit), and
// INVALID_FILE_ATTRIBUTES with the reason in GetLastError when the path does
// not exist. '\' and '/' both separate; in a Wine prefix a drive's path
// ("C:\x") is looked for where the drive leads.
extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    if (DWORD fault = InjectedFault("GetFileAttributesA"))
        return winshim::Failure(fault, INVALID_FILE_ATTRIBUTES);
    if (!lpFileName || !*lpFileName)
        return winshim::Failure(ERROR_PATH_NOT_FOUND, INVALID_FILE_ATTRIBUTES);
    std::string path(lpFileName);
    LONG rc;
    if (const winshim::Prefix *prefix = winshim::StorePrefix(&rc))
        winshim::UnixPath(*prefix, lpFileName, &path);
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
