// pinhome: records where Tessel is installed, as the value "tessel_dir" of
// SOFTWARE\Halden\Tessel, for all users or for the current user, where the
// editor's remote-edit client dovlink[w] looks for it. It stands in Tessel's
// bin directory; the editor directory is that directory's parent unless -d
// names it.
//
// Every message goes both to the console and into a message box. Texts of
// any length are held whole: a long directory or program name, or many bad
// options, make long messages, never a cut or an overrun.

#include <windows.h>

#include <getopt.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

static const char caption[] = "Setup dovlink[w] for Tessel - pinhome V0.91";
static const char error_prefix[] = "\n** ERROR **\n";
static const char TESSEL_KEY[] = "SOFTWARE\\Halden\\Tessel";

static const char usage_text[] =
    "Usage: pinhome [-h] | [-q] [-u] [-d tessel_dir]\n\n"
    "  Options:\n"
    "  -h \t\tPrint usage message\n"
    "  -q \t\tQuiet (no message box)\n"
    "  -u \t\tSet only for current user\n"
    "  -d tessel_dir \tFull path to Tessel bin dir parent dir\n\n"
    "  Without -d pinhome.exe's parent directory is used for TESSEL_DIR.\n";

// Outcomes of addreg.
enum {
    ADDREG_FAILURE = 0,
    ADDREG_USER_EXISTING = 1,
    ADDREG_USER_NOPRIV = 2,
    ADDREG_USER = 3,
    ADDREG_ALL_USERS = 4,
};

static int quiet;
static int user_only;        // nonzero: for the current user; addreg raises it when HKCU holds the value
static bool dir_given;       // -d named the editor directory
static const char *editor_dir;

// --- messages ---------------------------------------------------------------

// printf into a string of whatever length the text needs. What vsnprintf
// returns for a text that does not fit differs between C runtimes (the
// length needed, or a negative count), so the count is believed only where it
// shows the text whole, short of the buffer's last byte; else the text is
// formatted again into a larger buffer.
__attribute__((format(printf, 1, 2))) static std::string Format(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string text(256, '\0');
    for (;;) {
        va_list again;
        va_copy(again, args);
        int length = vsnprintf(&text[0], text.size(), format, again);
        va_end(again);
        if (length >= 0 && (size_t)length < text.size() - 1) {
            text.resize((size_t)length);
            break;
        }
        if (text.size() > (1u << 28)) {  // a count that never comes right: keep what there is
            text.resize(strlen(text.c_str()));
            break;
        }
        size_t size = text.size() * 4;
        text.assign(length >= 0 && (size_t)length + 2 > size ? (size_t)length + 2 : size, '\0');
    }
    va_end(args);
    return text;
}

// Writes one piece of text in the ANSI code page to a console, made wide.
static bool WriteConsolePiece(HANDLE console, const char *text, size_t size) {
    if (size > INT_MAX / 2)
        return false;
    int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, (int)size, nullptr, 0);
    if (length <= 0)
        return false;
    std::wstring wide((size_t)length, L'\0');
    DWORD written = 0;
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, (int)size, &wide[0], length) == length &&
           WriteConsoleW(console, wide.data(), (DWORD)length, &written, nullptr) && written == (DWORD)length;
}

// Writes text to a standard stream. A console shows bytes in its own (OEM)
// code page, so there the text, which is in the ANSI code page, goes out
// made wide, a line at a time (no code page has a line feed inside a
// character); redirected, or from a line that the console did not take on,
// it goes out as the bytes it is.
static void WriteText(FILE *stream, const std::string &text) {
    const DWORD error = GetLastError();  // writing leaves it as it was
    size_t done = 0;
    HANDLE console = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode;
    if (console && console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode)) {
        fflush(stream);
        while (done < text.size()) {
            size_t end = text.find('\n', done);
            end = end == std::string::npos ? text.size() : end + 1;
            if (!WriteConsolePiece(console, text.data() + done, end - done))
                break;
            done = end;
        }
    }
    fputs(text.c_str() + done, stream);
    fflush(stream);
    SetLastError(error);
}

// Writes the text verbatim (a per-cent sign is just a character) to the
// console, then shows it in a box: an error always, information unless quiet.
static int report(const char *text, bool is_error) {
    std::string shown = is_error ? std::string(error_prefix) + text : std::string(text);
    WriteText(is_error ? stderr : stdout, shown);
    if (is_error)
        return MessageBoxA(nullptr, shown.c_str(), caption, MB_OK | MB_ICONERROR);
    if (quiet)
        return quiet;
    return MessageBoxA(nullptr, shown.c_str(), caption, MB_OK | MB_ICONINFORMATION);
}

static int report_info(const char *text) { return report(text, false); }
static int report_error(const char *text) { return report(text, true); }

[[noreturn]] static void fatal(const char *text) {
    report_error(text);
    exit(1);
}

[[noreturn]] static void fatal(const std::string &text) { fatal(text.c_str()); }

[[noreturn]] static void usage() {
    report_info(usage_text);
    exit(0);
}

// --- the editor directory -----------------------------------------------------

static bool EqualNoCase(const char *a, const char *b) {
    for (; *a && *b; a++, b++) {
        char x = (*a >= 'a' && *a <= 'z') ? (char)(*a - 'a' + 'A') : *a;
        char y = (*b >= 'a' && *b <= 'z') ? (char)(*b - 'a' + 'A') : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

// The parent of the bin directory that holds this executable: from
// C:\Program Files\Tessel\bin\pinhome.exe, C:\Program Files\Tessel.
static const char *DeriveEditorDir() {
    static char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    // A path that fills the buffer was cut by the system: it is not ours.
    if (length == 0 || length >= sizeof path)
        fatal("Fatal error, could not get module name.\n");
    char *name = strrchr(path, '\\');
    if (!name)
        fatal("Fatal error, could not get module name.\n");
    *name = '\0';
    char *bin = strrchr(path, '\\');
    if (!bin || !EqualNoCase(bin, "\\bin"))
        fatal("pinhome.exe must be in Tessel bin dir if not -d is used.\n");
    *bin = '\0';
    return path;
}

static bool Exists(const char *path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

static void CheckEditorDir(const char *dir) {
    if (!Exists(dir))
        fatal(Format("Can't find directory %s\n", dir));
    std::string editor = std::string(dir) + "\\bin\\tessel.exe";
    if (!Exists(editor.c_str()))
        fatal(Format("Can't find tessel.exe in %s\\bin\n", dir));
}

// Any answer but OK, a box that could not be shown included, cancels.
static void Confirm(const char *dir) {
    std::string question = Format("Setup dovlink[w] to use Tessel at %s?\n", dir);
    if (MessageBoxA(nullptr, question.c_str(), caption, MB_OKCANCEL | MB_ICONQUESTION) != IDOK) {
        MessageBoxA(nullptr, "Cancelled by user\n", caption, MB_OK | MB_ICONWARNING);
        exit(1);
    }
}

// --- the registry ------------------------------------------------------------

// A value stored for the current user wins over one for all users; so the
// directory goes where it will be read: under HKCU when the value is there
// already or -u asks for it, else under HKLM, falling back to HKCU when HKLM
// may not be written. A value found under HKCU raises user_only, as -u
// would have: from there on the run is one for the current user.
static int addreg(const char *dir) {
    bool asked = user_only != 0;
    if (!asked) {
        HKEY key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, TESSEL_KEY, 0, KEY_READ, &key) == ERROR_SUCCESS) {
            BYTE data[2048];
            DWORD type, size = sizeof data;
            LONG rc = RegQueryValueExA(key, "tessel_dir", nullptr, &type, data, &size);
            // A value too long for the buffer is there all the same.
            if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)
                user_only++;
            RegCloseKey(key);
        }
    }
    static char no_class[] = "";
    HKEY key;
    DWORD disposition;
    int outcome;
    if (user_only) {
        if (RegCreateKeyExA(HKEY_CURRENT_USER, TESSEL_KEY, 0, no_class, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                            &key, &disposition) != ERROR_SUCCESS)
            return ADDREG_FAILURE;
        outcome = asked ? ADDREG_USER : ADDREG_USER_EXISTING;
    } else if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, TESSEL_KEY, 0, no_class, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                               nullptr, &key, &disposition) == ERROR_SUCCESS) {
        outcome = ADDREG_ALL_USERS;
    } else if (RegCreateKeyExA(HKEY_CURRENT_USER, TESSEL_KEY, 0, no_class, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                               nullptr, &key, &disposition) == ERROR_SUCCESS) {
        outcome = ADDREG_USER_NOPRIV;
    } else {
        return ADDREG_FAILURE;
    }
    if (RegSetValueExA(key, "tessel_dir", 0, REG_EXPAND_SZ, (const BYTE *)dir, (DWORD)strlen(dir) + 1) !=
        ERROR_SUCCESS)
        outcome = ADDREG_FAILURE;
    RegCloseKey(key);
    return outcome;
}

static void ReportOutcome(int outcome) {
    switch (outcome) {
    case ADDREG_USER_EXISTING:
        report_info("Done for current user only (because key already exists in HKCU - "
                    "new value will not be used if written to HKLM).");
        break;
    case ADDREG_USER_NOPRIV:
        report_info("Done for current user only (no priv to reg for all users).");
        break;
    case ADDREG_USER:
        report_info("Done for current user.");
        break;
    case ADDREG_ALL_USERS:
        report_info("Done for all users.");
        break;
    case ADDREG_FAILURE:
        fatal("Failed to setup dovlink - ADDREG_FAILURE");
    default:
        fatal("Internal error - coult not add to registry");
    }
}

// --- main ---------------------------------------------------------------------

// The parser's own messages are switched off (the ':' in front): its
// diagnostics are collected with fixed texts and shown together once the
// options are read. Words that are not options are passed over wherever they
// stand: the leading '-' makes every C library's parser hand them back one by
// one (as option 1) and go on, where a plain getopt of the BSD kind, as in
// MinGW-w64, would stop at the first. POSIXLY_CORRECT stops there after all.
int main(int argc, char **argv) {
    const char *program = argc > 0 && argv[0] ? argv[0] : "pinhome";
    bool posix = getenv("POSIXLY_CORRECT") != nullptr;
    const char *options = posix ? "+:d:h?qu" : "-:d:h?qu";
    std::string opt_errors;
    opterr = 0;
    for (;;) {
        optopt = 0;  // set by the parser only for a bad option, so -? stays apart
        int option = getopt(argc, argv, options);
        if (option == -1)
            break;
        switch (option) {
        case 1:  // an operand
            break;
        case 'd':
            editor_dir = optarg;
            dir_given = true;
            break;
        case 'h':
            usage();
        case 'q':
            quiet = 1;
            break;
        case 'u':
            user_only++;
            break;
        case '?':
            if (optopt)
                opt_errors += Format("%s: %s option -- %c\n", program, posix ? "illegal" : "invalid", optopt);
            break;
        case ':':
            opt_errors += Format("%s: option requires an argument -- %c\n", program, optopt);
            break;
        default:
            fatal("Internal error in getopt use");
        }
    }
    if (!opt_errors.empty())
        fatal(opt_errors + "\n\nUse -h for help.\n");

    if (!dir_given)
        editor_dir = DeriveEditorDir();
    CheckEditorDir(editor_dir);
    if (!quiet)
        Confirm(editor_dir);
    ReportOutcome(addreg(editor_dir));
    return 0;
}
