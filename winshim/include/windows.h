/* The POSIX stand-in for the Windows SDK's master header: it provides only
   what the tools call, with the SDK's names, types and values. */
#ifndef WINSHIM_WINDOWS_H
#define WINSHIM_WINDOWS_H

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "wincon.h"
#include "winnls.h"
#include "winreg.h"
#include "winuser.h"

#endif
