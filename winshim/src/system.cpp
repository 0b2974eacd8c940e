// The kernel's version, environment, library and memory functions.

#include "internal.h"

#include <winspool.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

using winshim::InjectedFault;

namespace {

// WINSHIM_WINVER "PLATFORM.MAJOR.MINOR", three DWORDs in decimal; the
// default is Windows 10. A malformed value is reported once and ignored.
void Version(DWORD &platform, DWORD &major, DWORD &minor) {
    platform = VER_PLATFORM_WIN32_NT;
    major = 10;
    minor = 0;
    const char *text = getenv("WINSHIM_WINVER");
    if (!text)
        return;
    std::string_view rest(text);
    uint64_t parts[3];
    bool ok = true;
    for (int i = 0; i < 3 && ok; i++) {
        size_t dot = i < 2 ? rest.find('.') : rest.size();
        ok = dot != std::string_view::npos && winshim::ParseUnsigned(rest.substr(0, dot), false, UINT32_MAX, &parts[i]);
        if (ok)
            rest.remove_prefix(i < 2 ? dot + 1 : dot);
    }
    if (ok) {
        platform = static_cast<DWORD>(parts[0]);
        major = static_cast<DWORD>(parts[1]);
        minor = static_cast<DWORD>(parts[2]);
        return;
    }
    winshim::BadSetting("WINSHIM_WINVER", text);
}

// The one library that can be loaded, and how often it is.
int winspool_loads = 0;
HMODULE const kWinspool = reinterpret_cast<HMODULE>(&winspool_loads);

}  // namespace

// Contract: the version that WINSHIM_WINVER names (PLATFORM.MAJOR.MINOR),
// else Windows 10; dwOSVersionInfoSize must be set to the record's size.
extern "C" BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
    if (DWORD fault = InjectedFault("GetVersionExW"))
        return winshim::Failure(fault, FALSE);
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW))
        return winshim::Failure(ERROR_INSUFFICIENT_BUFFER, FALSE);
    Version(info->dwPlatformId, info->dwMajorVersion, info->dwMinorVersion);
    info->dwBuildNumber = 0;
    info->szCSDVersion[0] = L'\0';
    return TRUE;
}

// Contract: the environment variable as wide text; with a buffer too small,
// the size needed (terminator included) and nothing copied.
extern "C" DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
    if (DWORD fault = InjectedFault("GetEnvironmentVariableW"))
        return winshim::Failure(fault, 0);
    const char *value = lpName ? getenv(winshim::Utf8FromWide(lpName).c_str()) : nullptr;
    if (!value)
        return winshim::Failure(ERROR_ENVVAR_NOT_FOUND, 0);
    std::wstring text = winshim::WideFromUtf8(value);
    if (!lpBuffer || nSize <= text.size())
        return static_cast<DWORD>(text.size() + 1);
    wmemcpy(lpBuffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

// Contract: "winspool.drv" (any case) loads, counted; nothing else does.
extern "C" HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    if (DWORD fault = InjectedFault("LoadLibraryW"))
        return winshim::Failure(fault, nullptr);
    if (!lpLibFileName || !winshim::EqualNoCaseWide(lpLibFileName, L"winspool.drv"))
        return winshim::Failure(ERROR_MOD_NOT_FOUND, nullptr);
    winspool_loads++;
    return kWinspool;
}

// Contract: GetDefaultPrinterW of a loaded winspool.drv.
extern "C" FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (DWORD fault = InjectedFault("GetProcAddress"))
        return winshim::Failure(fault, nullptr);
    if (hModule != kWinspool || winspool_loads == 0)
        return winshim::Failure(ERROR_INVALID_HANDLE, nullptr);
    if (!lpProcName || strcmp(lpProcName, "GetDefaultPrinterW") != 0)
        return winshim::Failure(ERROR_PROC_NOT_FOUND, nullptr);
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(&GetDefaultPrinterW));
}

// Contract: releases one load of a library.
extern "C" BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (DWORD fault = InjectedFault("FreeLibrary"))
        return winshim::Failure(fault, FALSE);
    if (hLibModule != kWinspool || winspool_loads == 0)
        return winshim::Failure(ERROR_INVALID_HANDLE, FALSE);
    winspool_loads--;
    return TRUE;
}

// Contract: a fixed block (GMEM_FIXED), zeroed with GMEM_ZEROINIT; movable
// blocks are not provided.
extern "C" HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    if (DWORD fault = InjectedFault("GlobalAlloc"))
        return winshim::Failure(fault, nullptr);
    if (uFlags & ~static_cast<UINT>(GMEM_ZEROINIT))
        return winshim::Failure(ERROR_INVALID_PARAMETER, nullptr);
    void *block = (uFlags & GMEM_ZEROINIT) ? calloc(dwBytes ? dwBytes : 1, 1) : malloc(dwBytes ? dwBytes : 1);
    return block ? block : winshim::Failure(ERROR_NOT_ENOUGH_MEMORY, block);
}

namespace {

// Both kinds of block are the C library's; a fault leaves the block alone.
void *FreeBlock(const char *function, void *block) {
    if (DWORD fault = InjectedFault(function))
        return winshim::Failure(fault, block);
    free(block);
    return nullptr;
}

}  // namespace

// Contract: frees a block of GlobalAlloc; returns null.
extern "C" HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) { return FreeBlock("GlobalFree", hMem); }

// Contract: frees a block that FORMAT_MESSAGE_ALLOCATE_BUFFER gave; returns null.
extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) { return FreeBlock("LocalFree", hMem); }
