// printers NAME...: the printers that EnumPrintersW lists (level 2, every
// local printer), one line each: the name and the paper code of its default
// settings ("-" without them). Then, after a line read from standard input,
// opens each NAME: "NAME: ok" or "NAME: error N". Between the two, a test
// may change the printers.

#include <windows.h>
#include <winspool.h>

#include <stdio.h>
#include <stdlib.h>

extern "C" int wmain(int argc, wchar_t **argv) {
    DWORD needed = 0, count = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, nullptr, 0, &needed, &count);
    BYTE *block = (BYTE *)calloc(needed ? needed : 1, 1);
    if (!block || !EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 2, block, needed, &needed, &count)) {
        printf("EnumPrintersW: error %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    const PRINTER_INFO_2W *info = (const PRINTER_INFO_2W *)block;
    for (DWORD i = 0; i < count; i++) {
        if (info[i].pDevMode)
            printf("%ls %d\n", info[i].pPrinterName, info[i].pDevMode->dmPaperSize);
        else
            printf("%ls -\n", info[i].pPrinterName);
    }
    fflush(stdout);
    free(block);
    char line[16];
    if (!fgets(line, sizeof line, stdin))
        return 1;
    for (int i = 1; i < argc; i++) {
        HANDLE printer;
        if (OpenPrinterW(argv[i], &printer, nullptr)) {
            printf("%ls: ok\n", argv[i]);
            ClosePrinter(printer);
        } else {
            printf("%ls: error %lu\n", argv[i], (unsigned long)GetLastError());
        }
    }
    return 0;
}
