// sheetwise's whole command line: argument vectors of any length and content
// against a print server with a printer, user forms and a default printer.
// Each run starts from that store again.

#define wmain sheetwise_wmain
// The tool itself, so that its static functions and state are at hand.
#include "../sheetwise/sheetwise.cpp"  // NOLINT(bugprone-suspicious-include)
#undef wmain

#include "harness.h"

#include <set>

namespace {

const char MACHINE[] =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Office]\n"
    "\"PaperSize\"=dword:00000009\n\"Port\"=\"LPT1:\"\n\"Printer Driver\"=\"Generic\"\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Plain]\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Forms]\n"
    "\"Card\"=hex:40,0d,03,00,a0,86,01,00,00,00,00,00,00,00,00,00,40,0d,03,00,a0,86,01,00,75,00,00,00,00,00,00,00\n";
const char USER[] =
    "REGEDIT4\n\n"
    "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows]\n"
    "\"Device\"=\"Office,winspool,LPT1:\"\n";

// The platforms the default printer is looked for on.
const char *const versions[] = {nullptr, "1.4.10", "2.4.0", "2.5.1"};

std::set<HANDLE> opened;

}  // namespace

// sheetwise leaves its handle for the process end to close; the harness,
// which goes on, closes it after each run.
extern "C" BOOL WINAPI __real_OpenPrinterW(LPWSTR, LPHANDLE, LPPRINTER_DEFAULTSW);
extern "C" BOOL WINAPI __wrap_OpenPrinterW(LPWSTR name, LPHANDLE handle, LPPRINTER_DEFAULTSW defaults) {
    BOOL ok = __real_OpenPrinterW(name, handle, defaults);
    if (ok && handle)
        opened.insert(*handle);
    return ok;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Scratch();
    setenv("LC_ALL", "C.UTF-8", 1);  // names outside ASCII, as wmain's locale sees them
    setlocale(LC_CTYPE, "");
    setenv("WINSHIM_PRINTERS", "store", 1);  // the printers below, whatever server the machine has
    return 0;
}

// The input: one byte of settings (bits 0-1 the platform, bit 2 TESTPRINTER),
// then the arguments as UTF-8, each ended by a NUL byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    unsigned settings = data[0];
    if (const char *version = versions[settings & 3])
        setenv("WINSHIM_WINVER", version, 1);
    else
        unsetenv("WINSHIM_WINVER");
    if (settings & 4)
        setenv("TESTPRINTER", "Plain", 1);
    else
        unsetenv("TESTPRINTER");
    fuzz::PutHive("HKEY_LOCAL_MACHINE", MACHINE);
    fuzz::PutHive("HKEY_CURRENT_USER", USER);

    std::vector<std::string> words = fuzz::Words(data + 1, size - 1);
    std::vector<std::wstring> wide(words.size());
    for (size_t i = 0; i < words.size(); i++)
        if (!fuzz::Wide(words[i], wide[i]))
            return 0;  // not UTF-8: no argument Windows would hand over
    std::vector<wchar_t *> argv;
    argv.push_back(const_cast<wchar_t *>(L"sheetwise.exe"));
    for (std::wstring &word : wide)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);

    printerName = nullptr;
    showPoints = showInches = showForms = 0;
    editCount = 0;
    {
        fuzz::Capture quiet;
        int status = fuzz::RunTool([&] { return sheetwise_wmain(static_cast<int>(argv.size()) - 1, argv.data()); });
        if (status != 0 && status != 1)
            fuzz::Broken("sheetwise ended with a status other than 0 or 1");
    }
    for (HANDLE handle : opened)
        ClosePrinter(handle);
    opened.clear();
    return 0;
}
