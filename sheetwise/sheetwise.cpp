// sheetwise: the printer forms tool. It opens a printer, or the local print
// server, applies the form edits of its command line in their order, and
// lists every form the printer knows; or it reports the default printer and
// the short name of its default paper. All its text is wide.

#include <windows.h>
#include <winspool.h>

#include "fixed3.h"

#include <assert.h>
#include <limits.h>
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

static const wchar_t BANNER[] = L"sheetwise 1.1.0 - 2004-12-28 - https://tessel.halden.example/tools/sheetwise";

enum { TEXT_SIZE = 256, MAX_EDITS = 256, NAME_SIZE = 250 };

// --- run settings -----------------------------------------------------------

// The spooler call of an edit, and the word of its result line.
enum FormOp { Add = 0, Set = 1, Delete = 2 };
static const wchar_t *const op_words[] = {L"ADD", L"SET", L"DEL"};

struct FormEdit {
    wchar_t *target;  // the form the edit is for, as its result line names it
    FormOp op;
    FORM_INFO_1W info;
};

static wchar_t *printerName;
static int showPoints;
static int showInches;
static int showForms;
static FormEdit edits[MAX_EDITS];
static int editCount;

// Short names of the paper sizes, by dmPaperSize code.
static const struct {
    WORD code;
    const wchar_t *name;
} paperNames[] = {
    {DMPAPER_LETTER, L"letter"},     {DMPAPER_LEGAL, L"legal"},       {DMPAPER_A4, L"a4"},
    {DMPAPER_LETTERSMALL, L"letter-small"}, {DMPAPER_TABLOID, L"tabloid"}, {DMPAPER_LEDGER, L"ledger"},
    {DMPAPER_STATEMENT, L"statement"}, {DMPAPER_EXECUTIVE, L"executive"}, {DMPAPER_A3, L"a3"},
    {DMPAPER_A4SMALL, L"a4small"},   {DMPAPER_B4, L"b4"},             {DMPAPER_B5, L"b5"},
};

// --- output -----------------------------------------------------------------

// Whether the locale's encoding writes each ASCII character as that one
// byte, as UTF-8, the ANSI code pages and the EUC and ISO 8859 encodings do.
// Asked once: the locale is set before the first text goes out.
static bool AsciiIsItself() {
    static int known = -1;
    if (known < 0) {
        known = 1;
        for (wchar_t c = 1; c < 0x80 && known; c++) {
            char bytes[MB_LEN_MAX];
            mbstate_t state;
            memset(&state, 0, sizeof state);
            known = wcrtomb(bytes, c, &state) == 1 && bytes[0] == (char)c;
        }
    }
    return known != 0;
}

// The console that a standard stream writes to, or none where it is
// redirected to a file or a pipe. Asked once for each stream.
static HANDLE ConsoleOf(const FILE *stream) {
    static HANDLE consoles[2];
    static bool asked[2];
    const int which = stream == stderr;
    if (!asked[which]) {
        asked[which] = true;
        HANDLE handle = GetStdHandle(which ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
        DWORD mode;
        if (handle && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode))
            consoles[which] = handle;
    }
    return consoles[which];
}

// Writes wide text to a console as it is: a console shows bytes in its own
// (OEM) code page, not in the ANSI one that the text would be converted to.
// The stream's buffered bytes go first. Returns how many characters went out.
static size_t WriteConsoleText(FILE *stream, HANDLE console, const wchar_t *text) {
    fflush(stream);
    const size_t length = wcslen(text);
    size_t done = 0;
    while (done < length) {
        // Consoles take a few thousand characters a call at most; a block
        // does not end between the two halves of a surrogate pair.
        DWORD count = length - done < 8192 ? (DWORD)(length - done) : 8192;
        if (count < length - done && text[done + count - 1] >= 0xD800 && text[done + count - 1] <= 0xDBFF)
            count--;
        DWORD written = 0;
        if (!WriteConsoleW(console, text + done, count, &written, nullptr) || written == 0)
            break;
        done += written;
    }
    return done;
}

// Writes wide text to a stream in the locale's multibyte encoding, a
// character that it cannot encode as '?'. The streams stay byte-oriented:
// the C library's wide streams would convert and write the same bytes, but
// some (glibc 2.36) write them out a few at a time.
static void WriteBytes(FILE *stream, const wchar_t *text) {
    // Most lines are ASCII alone, which is copied rather than converted.
    char ascii[TEXT_SIZE * 2];
    size_t count = 0;
    while (count < sizeof ascii && text[count] >= 1 && text[count] < 0x80) {
        ascii[count] = (char)text[count];
        count++;
    }
    if (!text[count] && AsciiIsItself()) {
        fwrite(ascii, 1, count, stream);
        return;
    }
    mbstate_t state;
    memset(&state, 0, sizeof state);
    const wchar_t *source = text;
    size_t length = wcsrtombs(nullptr, &source, 0, &state);
    if (length != (size_t)-1) {
        char small[TEXT_SIZE * MB_LEN_MAX];
        char *bytes = length < sizeof small ? small : (char *)malloc(length + 1);
        if (bytes) {
            memset(&state, 0, sizeof state);
            source = text;
            wcsrtombs(bytes, &source, length + 1, &state);
            fwrite(bytes, 1, length, stream);
            if (bytes != small)
                free(bytes);
            return;
        }
    }
    // One character at a time, so that one that cannot be encoded does not
    // stop the rest.
    memset(&state, 0, sizeof state);
    for (; *text; text++) {
        char one[MB_LEN_MAX];
        size_t n = wcrtomb(one, *text, &state);
        if (n == (size_t)-1) {
            memset(&state, 0, sizeof state);
            fputc('?', stream);
        } else {
            fwrite(one, 1, n, stream);
        }
    }
}

// Writes wide text to a stream: to a console as wide text, else as bytes.
// Writing leaves the last error as it was: a spooler call that fails without
// setting one is reported with the code that stood before, as ever, not with
// the console's answer about a redirected handle.
static void WriteText(FILE *stream, const wchar_t *text) {
    const DWORD error = GetLastError();
    if (HANDLE console = ConsoleOf(stream)) {
        // Whatever the console did not take goes out as bytes.
        text += WriteConsoleText(stream, console, text);
    }
    if (*text)
        WriteBytes(stream, text);
    SetLastError(error);
}

// Formats wide text of any length and writes it. C runtimes answer a text
// that does not fit the buffer in their own ways: glibc with a negative
// count, the Windows ones (and MinGW's) with the length of the whole text or
// the count they did write, having cut the text. Only a count short of the
// buffer's last character proves the text whole; anything else is formatted
// again in a larger buffer, large enough at once where the count tells how
// large.
static void PrintTo(FILE *stream, const wchar_t *format, va_list args) {
    wchar_t small[TEXT_SIZE * 4];
    wchar_t *text = small;
    size_t size = sizeof small / sizeof small[0];
    for (;;) {
        va_list again;
        va_copy(again, args);
        // The analyzer loses track of a va_list copied from a parameter.
        int length = vswprintf(text, size, format, again);  // NOLINT(clang-analyzer-valist.Uninitialized)
        va_end(again);
        if (length >= 0 && (size_t)length < size - 1)
            break;
        if (text != small)
            free(text);
        size = length >= 0 && (size_t)length + 2 > size * 4 ? (size_t)length + 2 : size * 4;
        text = size <= (1u << 24) ? (wchar_t *)malloc(size * sizeof(wchar_t)) : nullptr;
        if (!text) {
            WriteText(stream, L"(text too long)");
            return;
        }
    }
    WriteText(stream, text);
    if (text != small)
        free(text);
}

static void Print(const wchar_t *format, ...) {
    va_list args;
    va_start(args, format);
    PrintTo(stdout, format, args);
    va_end(args);
}

// --- reporting --------------------------------------------------------------

[[noreturn]] static void Die(const wchar_t *format, ...) {
    va_list args;
    va_start(args, format);
    PrintTo(stderr, format, args);
    va_end(args);
    WriteText(stderr, L"\n");
    exit(1);
}

// "Failed with error N: " and the system's text for the code, line break and
// all, cut to the buffer when it is longer.
static const wchar_t *ErrorText(DWORD code) {
    static wchar_t text[TEXT_SIZE];
    int used = swprintf(text, TEXT_SIZE, L"Failed with error %d: ", (int)code);
    if (used < 0)
        used = 0;
    wchar_t *message = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPWSTR)&message, 0, nullptr);
    const wchar_t *shown = length && message ? message : L"no message text for this code\r\n";
    wcsncpy(text + used, shown, TEXT_SIZE - used - 1);
    text[TEXT_SIZE - 1] = L'\0';
    if (message)
        LocalFree(message);
    return text;
}

[[noreturn]] static void ShowHelp() {
    static const wchar_t *const lines[] = {
        L"",
        L"Usage: sheetwise [options]",
        L"",
        L"  --help            Show this brief help listing",
        L"  --paper           Show default paper name for default printer",
        L"  --del=F           Delete form F",
        L"  --add=F:...       Add form F (with parameters)",
        L"  --printer=P       Query Windows printer P",
        L"  --points          Show paper dimensions in points",
        L"  --inches          Show paper dimensions in inches",
        L"  --noforms         Skip the EnumForms() step",
        L"  --showforms       Perform the EnumForms() step",
        L"",
        L"  Adding a form is done with a 'form spec' that's built",
        L"  from a single string: --add=\"NAME:flags:width:height\"",
        L"  Dimensions are in millimeters (decimal OK)",
        L"",
        L"  If the $TESTPRINTER variable is found in the environment,",
        L"  that name is used as the default printer unless --printer",
        L"  is given.",
        L"",
    };
    Print(L"%ls\n", BANNER);
    for (const wchar_t *line : lines)
        Print(L"%ls\n", line);
    exit(1);
}

// --- form specs -------------------------------------------------------------

// The next field of a colon-separated text, cut in place: runs of colons
// count as one and colons in front are passed over, as wcstok does.
static wchar_t *NextField(wchar_t **cursor, wchar_t delimiter) {
    wchar_t *p = *cursor;
    while (*p == delimiter)
        p++;
    if (!*p) {
        *cursor = p;
        return nullptr;
    }
    wchar_t *start = p;
    while (*p && *p != delimiter)
        p++;
    if (*p)
        *p++ = L'\0';
    *cursor = p;
    return start;
}

// The field without white space around it, or none when nothing is left.
static wchar_t *Trim(wchar_t *field) {
    if (!field)
        return nullptr;
    while (iswspace(*field))
        field++;
    wchar_t *end = field + wcslen(field);
    while (end > field && iswspace(end[-1]))
        *--end = L'\0';
    return *field ? field : nullptr;
}

// Millimetres to thousandths, truncated toward zero. A size that does not
// fit a LONG (or is no number) cannot be converted.
static LONG Thousandths(double millimetres, const wchar_t *name) {
    double units = millimetres * 1000.0;
    if (!(units > -2147483649.0 && units < 2147483648.0))
        Die(L"ERROR: dimensions out of range for form %ls", name);
    return (LONG)units;
}

// "NAME:flags:width:height" into a form whose printable area is the sheet.
static FORM_INFO_1W *ParseFormSpec(FORM_INFO_1W *pForm, wchar_t *str) {
    assert(pForm != 0);
    assert(str != 0);
    memset(pForm, 0, sizeof *pForm);
    wchar_t *cursor = str;
    wchar_t *name = Trim(NextField(&cursor, L':'));
    wchar_t *flags = Trim(NextField(&cursor, L':'));
    wchar_t *width = Trim(NextField(&cursor, L':'));
    wchar_t *height = Trim(NextField(&cursor, L':'));
    if (!name)
        Die(L"ERROR: form requires a name");
    if (!flags || wcslen(flags) != 1)
        Die(L"ERROR: invalid form type");
    switch (flags[0]) {
    case L'U': case L'u': pForm->Flags = FORM_USER; break;
    case L'B': case L'b': pForm->Flags = FORM_BUILTIN; break;
    case L'P': case L'p': pForm->Flags = FORM_PRINTER; break;
    default: Die(L"ERROR: %ls is an invalid form type", flags);
    }
    if (!width || !height)
        Die(L"ERROR: missing dimensions for form %ls", name);
    double w, h;
    if (swscanf(width, L"%lf", &w) != 1 || swscanf(height, L"%lf", &h) != 1)
        Die(L"Bad size string(s): \"%ls\" \"%ls\"", width, height);
    pForm->pName = name;
    pForm->Size.cx = Thousandths(w, name);
    pForm->Size.cy = Thousandths(h, name);
    pForm->ImageableArea.right = pForm->Size.cx;
    pForm->ImageableArea.bottom = pForm->Size.cy;
    return pForm;
}

// Records one --add, --set or --del, its form spec parsed at once.
static void RecordEdit(FormOp op, wchar_t *parameter) {
    if (editCount == MAX_EDITS)
        Die(L"ERROR: too many form edits (%d at most)", MAX_EDITS);
    FormEdit *edit = &edits[editCount];
    edit->op = op;
    if (op == Delete) {
        edit->target = parameter;
    } else {
        wchar_t *formSpec = parameter;
        wchar_t *slash = op == Set ? wcschr(parameter, L'/') : nullptr;
        if (slash) {
            *slash = L'\0';
            formSpec = slash + 1;
        }
        ParseFormSpec(&edit->info, formSpec);
        edit->target = slash ? parameter : edit->info.pName;
    }
    editCount++;
}

// Every recorded edit in command-line order, one result line each; a failed
// edit does not stop the others.
static void ApplyFormEdits(HANDLE handle) {
    for (int i = 0; i < editCount; i++) {
        FormEdit *edit = &edits[i];
        BOOL ok;
        switch (edit->op) {
        case Add: ok = AddFormW(handle, 1, (LPBYTE)&edit->info); break;
        case Set: ok = SetFormW(handle, edit->target, 1, (LPBYTE)&edit->info); break;
        default: ok = DeleteFormW(handle, edit->target); break;
        }
        if (ok) {
            Print(L"%ls of form %ls ok\n", op_words[edit->op], edit->target);
        } else {
            DWORD error = GetLastError();
            Print(L"%ls of form %ls failed [err=%ls]\n", op_words[edit->op], edit->target, ErrorText(error));
        }
    }
}

// --- listing ----------------------------------------------------------------

static wchar_t FormTypeChar(DWORD flags) {
    switch (flags) {
    case FORM_USER: return L'U';
    case FORM_BUILTIN: return L'B';
    case FORM_PRINTER: return L'P';
    default: return L'?';
    }
}

// A line of the listing, built in place. Its text is cut at TEXT_SIZE - 1
// characters; the line break after it always fits.
struct ListingLine {
    wchar_t text[TEXT_SIZE + 1];
    size_t used;

    void Add(const wchar_t *part) {
        while (*part && used < TEXT_SIZE - 1)
            text[used++] = *part++;
    }
    void Spaces(size_t count) {
        while (count-- && used < TEXT_SIZE - 1)
            text[used++] = L' ';
    }
    // As "%3d" writes a position.
    void Position(DWORD number) {
        wchar_t digits[16];
        size_t count = 0;
        do {
            digits[count++] = (wchar_t)(L'0' + number % 10);
            number /= 10;
        } while (number);
        Spaces(count < 3 ? 3 - count : 0);
        while (count && used < TEXT_SIZE - 1)
            text[used++] = digits[--count];
    }
    // As "%8.3f" writes a size.
    void Size(double value) {
        int length = FormatFixed3(text + used, TEXT_SIZE - used, value);
        if (length > 0)
            used += (size_t)length;
    }
    void Write() {
        text[used++] = L'\n';
        text[used] = L'\0';
        WriteText(stdout, text);
        used = 0;
    }
};

// One sizing call, one fetch: forms that grow in between make the fetch fail.
//
// Each form is a row, " [%3d] T %8.3f %8.3f mm    NAME" (the name cut where
// the row reaches TEXT_SIZE - 1 characters), then its size in points and in
// inches under the row's sizes. The lines are built by hand: with swprintf
// they took most of the time of a long listing.
static void ListForms(HANDLE handle) {
    DWORD cbNeeded = 0, cReturned = 0;
    if (!EnumFormsW(handle, 1, nullptr, 0, &cbNeeded, &cReturned)) {
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER)
            Die(L"ERROR: cannot EnumForms [err=%ls]", ErrorText(error));
    }
    BYTE *block = (BYTE *)malloc(cbNeeded ? cbNeeded : 1);
    if (!block)
        Die(L"ERROR: cannot get %ld bytes for EnumForms", (long)cbNeeded);
    if (!EnumFormsW(handle, 1, block, cbNeeded, &cbNeeded, &cReturned))
        Die(L"ERROR: cannot Enumforms [%ld]", (long)GetLastError());
    Print(L"\nPRINTSERVER FORMS (%d forms, %d bytes)\n", (int)cReturned, (int)cbNeeded);
    const FORM_INFO_1W *forms = (const FORM_INFO_1W *)block;
    ListingLine line;
    line.used = 0;
    for (DWORD i = 0; i < cReturned; i++) {
        // FormatFixed3 is compiled apart, so the sizes reach it as double
        // arguments of a call, as they reached swprintf: an x87 build rounds
        // them to double there, as it did.
        double width = forms[i].Size.cx / 1000.0, height = forms[i].Size.cy / 1000.0;
        line.Add(L" [");
        line.Position(i);
        line.Add(L"] ");
        // The points and inches line up under the row's sizes.
        size_t under = line.used + 2;
        wchar_t letter[] = {FormTypeChar(forms[i].Flags), L'\0'};
        line.Add(letter);
        line.Add(L" ");
        line.Size(width);
        line.Add(L" ");
        line.Size(height);
        line.Add(L" mm    ");
        line.Add(forms[i].pName ? forms[i].pName : L"");
        line.Write();
        if (showPoints) {
            line.Spaces(under);
            line.Size(width * 72.0 / 25.4);
            line.Add(L" ");
            line.Size(height * 72.0 / 25.4);
            line.Add(L" pts");
            line.Write();
        }
        if (showInches) {
            line.Spaces(under);
            line.Size(width / 25.4);
            line.Add(L" ");
            line.Size(height / 25.4);
            line.Add(L" in");
            line.Write();
        }
    }
    free(block);
}

// --- default printer and paper ------------------------------------------------

static BOOL CopyName(const wchar_t *name, LPWSTR buffer, LPDWORD pcchBuffer) {
    size_t length = wcslen(name);
    if (length >= *pcchBuffer) {
        *pcchBuffer = (DWORD)length + 1;
        return FALSE;
    }
    wmemcpy(buffer, name, length + 1);
    *pcchBuffer = (DWORD)length + 1;
    return TRUE;
}

// Windows 9x: the default printer is the one that EnumPrinters lists as such.
static BOOL DefaultPrinter9x(LPWSTR buffer, LPDWORD pcchBuffer) {
    DWORD cbNeeded = 0, cReturned = 0;
    SetLastError(0);
    EnumPrintersW(PRINTER_ENUM_DEFAULT, nullptr, 2, nullptr, 0, &cbNeeded, &cReturned);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || cbNeeded == 0)
        return FALSE;
    PRINTER_INFO_2W *info = (PRINTER_INFO_2W *)GlobalAlloc(GPTR, cbNeeded);
    if (!info)
        return FALSE;
    BOOL ok = EnumPrintersW(PRINTER_ENUM_DEFAULT, nullptr, 2, (LPBYTE)info, cbNeeded, &cbNeeded, &cReturned) &&
              cReturned > 0 && info->pPrinterName && CopyName(info->pPrinterName, buffer, pcchBuffer);
    GlobalFree(info);
    return ok;
}

// Windows 2000 and later: GetDefaultPrinterW, looked up at run time so that
// the tool starts on systems without it.
static BOOL DefaultPrinterNT5(LPWSTR buffer, LPDWORD pcchBuffer) {
    typedef BOOL(WINAPI * GetDefaultPrinterFn)(LPWSTR, LPDWORD);
    HMODULE spooler = LoadLibraryW(L"winspool.drv");
    if (!spooler)
        return FALSE;
    FARPROC proc = GetProcAddress(spooler, "GetDefaultPrinterW");
    BOOL ok = proc && ((GetDefaultPrinterFn)(void (*)(void))proc)(buffer, pcchBuffer);
    FreeLibrary(spooler);
    return ok;
}

// Windows NT 4: the [windows] device entry, "NAME,driver,port".
static BOOL DefaultPrinterNT4(LPWSTR buffer, LPDWORD pcchBuffer) {
    wchar_t device[NAME_SIZE];
    if (GetProfileStringW(L"windows", L"device", L"", device, NAME_SIZE) == 0)
        return FALSE;
    wchar_t *cursor = device;
    NextField(&cursor, L',');
    return CopyName(device, buffer, pcchBuffer);
}

static BOOL FindDefaultPrinter(LPWSTR pszBuffer, LPDWORD pcchBuffer) {
    OSVERSIONINFOW version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExW(&version))
        return FALSE;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        return DefaultPrinter9x(pszBuffer, pcchBuffer);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT)
        return version.dwMajorVersion >= 5 ? DefaultPrinterNT5(pszBuffer, pcchBuffer)
                                            : DefaultPrinterNT4(pszBuffer, pcchBuffer);
    return FALSE;  // no other family has a default printer to ask for
}

// The report ends quietly at the first thing that cannot be had.
static void ShowDefaultPaper() {
    wchar_t name[NAME_SIZE];
    DWORD size = NAME_SIZE;
    if (!FindDefaultPrinter(name, &size)) {
        Print(L"Default printer: %ls\n", L"(not found)");
        return;
    }
    Print(L"Default printer: %ls\n", name);
    HANDLE printer = nullptr;
    if (!OpenPrinterW(name, &printer, nullptr) || !printer)
        return;
    DWORD cbNeeded = 0;
    SetLastError(0);
    BOOL sized = GetPrinterW(printer, 2, nullptr, 0, &cbNeeded);
    if ((!sized && GetLastError() != ERROR_INSUFFICIENT_BUFFER) || cbNeeded == 0) {
        ClosePrinter(printer);
        return;
    }
    PRINTER_INFO_2W *info = (PRINTER_INFO_2W *)GlobalAlloc(GPTR, cbNeeded);
    if (!info) {
        ClosePrinter(printer);
        return;
    }
    if (!GetPrinterW(printer, 2, (LPBYTE)info, cbNeeded, &cbNeeded)) {
        ClosePrinter(printer);
        GlobalFree(info);
        return;
    }
    // Without default settings there is no paper: the name stays empty.
    const wchar_t *paper = L"";
    if (info->pDevMode) {
        int code = info->pDevMode->dmPaperSize;
        for (const auto &row : paperNames)
            if (row.code == code) {
                paper = row.name;
                break;
            }
    }
    Print(L"Default paper type: (%ls)\n", paper);
    ClosePrinter(printer);
    GlobalFree(info);
}

// --- main ---------------------------------------------------------------------

// The parameter of an option: its "=" value, else the next argument whole.
static wchar_t *OptionValue(wchar_t *value, const wchar_t *option, int *cursor, int argc, wchar_t **argv) {
    if (value)
        return value;
    if (*cursor + 1 >= argc)
        Die(L"ERROR: the \"%ls\" option requires a parameter", option);
    return argv[++*cursor];
}

// The printer named by TESTPRINTER, read once at start and kept to the end.
static wchar_t *EnvironmentPrinter() {
    static wchar_t *value;
    DWORD size = GetEnvironmentVariableW(L"TESTPRINTER", nullptr, 0);
    if (size == 0)
        return nullptr;
    value = (wchar_t *)malloc(size * sizeof(wchar_t));
    if (!value || GetEnvironmentVariableW(L"TESTPRINTER", value, size) >= size)
        return nullptr;
    return value;
}

extern "C" int wmain(int argc, wchar_t **argv) {
    // Names outside ASCII reach the output in the user's code page; numbers
    // keep their decimal point whatever the locale.
    setlocale(LC_CTYPE, "");
    printerName = EnvironmentPrinter();
    for (int i = 1; i < argc; i++) {
        wchar_t *option = argv[i];
        wchar_t *value = wcschr(option, L'=');
        if (value)
            *value++ = L'\0';
        if (!wcscmp(option, L"--help")) {
            ShowHelp();
        } else if (!wcscmp(option, L"--version")) {
            Print(L"%ls\n", BANNER);
            return 0;
        } else if (!wcscmp(option, L"--paper")) {
            ShowDefaultPaper();
            return 0;
        } else if (!wcscmp(option, L"--printer")) {
            printerName = OptionValue(value, option, &i, argc, argv);
        } else if (!wcscmp(option, L"--del")) {
            RecordEdit(Delete, OptionValue(value, option, &i, argc, argv));
        } else if (!wcscmp(option, L"--add")) {
            RecordEdit(Add, OptionValue(value, option, &i, argc, argv));
        } else if (!wcscmp(option, L"--set")) {
            RecordEdit(Set, OptionValue(value, option, &i, argc, argv));
        } else if (!wcscmp(option, L"--showforms")) {
            showForms = 1;
        } else if (!wcscmp(option, L"--noforms")) {
            showForms = 0;
        } else if (!wcscmp(option, L"--points")) {
            showPoints = 1;
        } else if (!wcscmp(option, L"--nopoints")) {
            showPoints = 0;
        } else if (!wcscmp(option, L"--inches")) {
            showInches = 1;
        } else if (!wcscmp(option, L"--noinches")) {
            showInches = 0;
        } else {
            Die(L"ERROR: \"%ls\" is an invalid cmdline option", option);
        }
    }

    const wchar_t *displayName = printerName ? printerName : L"(local printserver)";
    Print(L"%ls\n", BANNER);
    Print(L"\nQuerying printer \"%ls\"\n", displayName);
    HANDLE handle = nullptr;
    if (!OpenPrinterW(printerName, &handle, nullptr)) {
        DWORD error = GetLastError();
        Die(L"ERROR: cannot OpenPrinter(%ls) [%ls]", displayName, ErrorText(error));
    }
    Print(L"Printer %ls is open\n", displayName);
    if (editCount == 0)
        showForms = 1;
    ApplyFormEdits(handle);
    if (showForms)
        ListForms(handle);
    return 0;
}
