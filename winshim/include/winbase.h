/* The kernel32 functions the tools call. */
#ifndef WINSHIM_WINBASE_H
#define WINSHIM_WINBASE_H

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);

#ifdef __cplusplus
}
#endif

#endif
