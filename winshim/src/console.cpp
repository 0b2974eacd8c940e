// The console: standard handles, whether one is a console, wide text written
// to it, and the ANSI code page's text made wide.
//
// A Linux terminal is the console here. It shows the bytes of the locale's
// multibyte encoding, so WriteConsoleW writes those: the bytes that the tools
// write to a terminal through their narrow path, wide text converted alike.

#include "internal.h"
#include "sys.h"

#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstring>
#include <cwchar>

using winshim::InjectedFault;

namespace {

// The handles of standard output and standard error: each names its file
// descriptor.
int standard_fds[] = {STDOUT_FILENO, STDERR_FILENO};

// The descriptor of a standard handle, or -1.
int FdOf(const void *handle) {
    for (int &fd : standard_fds) {
        if (handle == &fd)
            return fd;
    }
    return -1;
}

}  // namespace

// Contract: the handle of standard output or standard error;
// INVALID_HANDLE_VALUE with ERROR_INVALID_PARAMETER for any other number.
extern "C" HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    if (DWORD fault = InjectedFault("GetStdHandle"))
        return winshim::Failure(fault, INVALID_HANDLE_VALUE);
    if (nStdHandle == STD_OUTPUT_HANDLE)
        return &standard_fds[0];
    if (nStdHandle == STD_ERROR_HANDLE)
        return &standard_fds[1];
    return winshim::Failure(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
}

// Contract: succeeds, with processed output and wrapping, when the handle is
// a standard handle that is a terminal; else ERROR_INVALID_HANDLE, as for a
// handle that is redirected to a file or a pipe.
extern "C" BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode) {
    if (DWORD fault = InjectedFault("GetConsoleMode"))
        return winshim::Failure(fault, FALSE);
    int fd = FdOf(hConsoleHandle);
    if (fd < 0 || !winshim::sys::IsTerminal(fd) || !lpMode)
        return winshim::Failure(fd < 0 || lpMode ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER, FALSE);
    *lpMode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
    return TRUE;
}

// Contract: writes the characters to the terminal in the locale's encoding,
// a character that it cannot encode as '?', and counts them all written;
// ERROR_INVALID_HANDLE where the handle is no console, and the write's own
// error where it fails.
extern "C" BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const VOID *lpBuffer, DWORD nNumberOfCharsToWrite,
                                     LPDWORD lpNumberOfCharsWritten, LPVOID /*lpReserved*/) {
    if (lpNumberOfCharsWritten)
        *lpNumberOfCharsWritten = 0;
    if (DWORD fault = InjectedFault("WriteConsoleW"))
        return winshim::Failure(fault, FALSE);
    int fd = FdOf(hConsoleOutput);
    if (fd < 0 || !winshim::sys::IsTerminal(fd))
        return winshim::Failure(ERROR_INVALID_HANDLE, FALSE);
    if (!lpBuffer && nNumberOfCharsToWrite > 0)
        return winshim::Failure(ERROR_INVALID_PARAMETER, FALSE);
    const auto *text = static_cast<const wchar_t *>(lpBuffer);
    char block[4096];
    size_t used = 0;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    for (DWORD i = 0; i < nNumberOfCharsToWrite; i++) {
        if (used > sizeof block - MB_LEN_MAX) {
            if (int err = winshim::sys::WriteAll(fd, block, used))
                return winshim::Failure(winshim::Win32FromErrno(err), FALSE);
            used = 0;
        }
        size_t n = wcrtomb(block + used, text[i], &state);
        if (n == static_cast<size_t>(-1)) {
            memset(&state, 0, sizeof state);
            block[used++] = '?';
        } else {
            used += n;
        }
    }
    if (int err = winshim::sys::WriteAll(fd, block, used))
        return winshim::Failure(winshim::Win32FromErrno(err), FALSE);
    if (lpNumberOfCharsWritten)
        *lpNumberOfCharsWritten = nNumberOfCharsToWrite;
    return TRUE;
}

// Contract: CP_ACP alone, the locale's multibyte encoding. cbMultiByte -1
// takes the text up to and with its terminator. With cchWideChar 0 it counts
// the characters needed; else it converts into the buffer, or fails with
// ERROR_INSUFFICIENT_BUFFER. A byte sequence that is no character fails with
// ERROR_NO_UNICODE_TRANSLATION under MB_ERR_INVALID_CHARS, else becomes
// U+FFFD.
extern "C" int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar) {
    if (DWORD fault = InjectedFault("MultiByteToWideChar"))
        return winshim::Failure(fault, 0);
    if (CodePage != CP_ACP || (dwFlags & ~static_cast<DWORD>(MB_ERR_INVALID_CHARS)) || !lpMultiByteStr ||
        cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr))
        return winshim::Failure(ERROR_INVALID_PARAMETER, 0);
    size_t size = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    size_t count = 0;
    mbstate_t state;
    memset(&state, 0, sizeof state);
    for (size_t at = 0; at < size;) {
        wchar_t c;
        size_t n = mbrtowc(&c, lpMultiByteStr + at, size - at, &state);
        if (n == 0) {  // the terminator, or a NUL inside the counted text
            n = 1;
        } else if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) {
            if (dwFlags & MB_ERR_INVALID_CHARS)
                return winshim::Failure(ERROR_NO_UNICODE_TRANSLATION, 0);
            memset(&state, 0, sizeof state);
            c = 0xFFFD;
            n = 1;
        }
        if (count == INT_MAX)
            return winshim::Failure(ERROR_INVALID_PARAMETER, 0);
        if (cchWideChar > 0) {
            if (count >= static_cast<size_t>(cchWideChar))
                return winshim::Failure(ERROR_INSUFFICIENT_BUFFER, 0);
            lpWideCharStr[count] = c;
        }
        count++;
        at += n;
    }
    return static_cast<int>(count);
}
