// The registry view that a test helper is asked for. On 64-bit Windows a
// 32-bit program's HKLM\Software is the 64-bit registry's
// Software\Wow6432Node; KEY_WOW64_64KEY and KEY_WOW64_32KEY choose a view
// whatever the program is. 32-bit Windows has one view and passes the flags
// over, and so does winshim.

#pragma once

#include <windows.h>

#include <string.h>

// A first argument -32 or -64 is taken off the arguments and gives the flag.
static inline REGSAM RegistryView(int *argc, char ***argv) {
    if (*argc < 2)
        return 0;
    const char *word = (*argv)[1];
    REGSAM view = !strcmp(word, "-32") ? KEY_WOW64_32KEY : !strcmp(word, "-64") ? KEY_WOW64_64KEY : 0;
    if (view) {
        (*argv)[1] = (*argv)[0];
        ++*argv;
        --*argc;
    }
    return view;
}
