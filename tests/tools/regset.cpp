// regset [-32|-64] ROOT\key NAME sz|dword|TYPE VALUE: stores one value,
// creating the key, so that a test can change the registry between two runs.
// With a numeric TYPE the value is its bytes in hex, as "01,02,ff". -32 and
// -64 write to that view of the registry, as on 64-bit Windows.

#include <windows.h>

#include "regview.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    REGSAM view = RegistryView(&argc, &argv);
    if (argc != 5) {
        fprintf(stderr, "usage: regset [-32|-64] ROOT\\key NAME sz|dword|TYPE VALUE\n");
        return 2;
    }
    HKEY root = !strncmp(argv[1], "HKCU\\", 5) ? HKEY_CURRENT_USER
              : !strncmp(argv[1], "HKLM\\", 5) ? HKEY_LOCAL_MACHINE
                                               : nullptr;
    if (!root) {
        fprintf(stderr, "regset: the key must begin with HKCU\\ or HKLM\\\n");
        return 2;
    }
    static char no_class[] = "";
    HKEY key;
    DWORD disposition;
    LONG rc = RegCreateKeyExA(root, argv[1] + 5, 0, no_class, 0, KEY_WRITE | view, nullptr, &key, &disposition);
    if (rc == ERROR_SUCCESS) {
        if (!strcmp(argv[3], "dword")) {
            DWORD n = (DWORD)strtoul(argv[4], nullptr, 0);
            BYTE data[4] = {(BYTE)n, (BYTE)(n >> 8), (BYTE)(n >> 16), (BYTE)(n >> 24)};
            rc = RegSetValueExA(key, argv[2], 0, REG_DWORD, data, sizeof data);
        } else if (!strcmp(argv[3], "sz")) {
            rc = RegSetValueExA(key, argv[2], 0, REG_SZ, (const BYTE *)argv[4], (DWORD)strlen(argv[4]) + 1);
        } else {
            static BYTE data[65536];
            DWORD size = 0;
            for (char *p = argv[4]; *p && size < sizeof data; p += *p == ',') {
                char *end;
                data[size++] = (BYTE)strtoul(p, &end, 16);
                p = end;
            }
            rc = RegSetValueExA(key, argv[2], 0, (DWORD)strtoul(argv[3], nullptr, 0), data, size);
        }
        RegCloseKey(key);
    }
    if (rc != ERROR_SUCCESS) {
        fprintf(stderr, "regset: error %ld\n", (long)rc);
        return 1;
    }
    return 0;
}
