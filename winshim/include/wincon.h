/* The console functions the tools call. A standard handle is a console when
   it is a terminal; the text written to it goes out in the locale's
   multibyte encoding, as a Linux terminal shows it. */
#ifndef WINSHIM_WINCON_H
#define WINSHIM_WINCON_H

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define ENABLE_PROCESSED_OUTPUT 0x0001
#define ENABLE_WRAP_AT_EOL_OUTPUT 0x0002

HANDLE WINAPI GetStdHandle(DWORD nStdHandle);
BOOL WINAPI GetConsoleMode(HANDLE hConsoleHandle, LPDWORD lpMode);
BOOL WINAPI WriteConsoleW(HANDLE hConsoleOutput, const VOID *lpBuffer, DWORD nNumberOfCharsToWrite,
                          LPDWORD lpNumberOfCharsWritten, LPVOID lpReserved);

#ifdef __cplusplus
}
#endif

#endif
