/* The kernel32 functions the tools call. */
#ifndef WINSHIM_WINBASE_H
#define WINSHIM_WINBASE_H

#include "windef.h"

#ifdef __cplusplus
extern "C" {
#endif

DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);

#ifdef __cplusplus
}
#endif

#endif
