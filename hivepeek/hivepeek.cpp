// hivepeek: a read-only interface to the registry for the editor. Each run
// answers one question on standard output and closes the answer with the
// end-marker line, which the editor reads up to. The exit status is always 0.

#include <windows.h>

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char ENDMARK[] = ";;CMNT -end-mark-";
static const char VERSION[] = "1.2";

// Searched in this order; a path argument begins with one of these names.
static const struct {
    const char *name;
    size_t length;
    HKEY root;
} root_keys[] = {
    {"HKEY_CURRENT_USER", 17, HKEY_CURRENT_USER},
    {"HKCU", 4, HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", 18, HKEY_LOCAL_MACHINE},
    {"HKLM", 4, HKEY_LOCAL_MACHINE},
    {"HKEY_CLASSES_ROOT", 17, HKEY_CLASSES_ROOT},
    {"HKCR", 4, HKEY_CLASSES_ROOT},
    {"HKEY_USERS", 10, HKEY_USERS},
    {"HKEY_CURRENT_CONFIG", 19, HKEY_CURRENT_CONFIG},
};

static const struct option registry_options[] = {
    {"version", no_argument, nullptr, 'V'},
    {"help", no_argument, nullptr, 'h'},
    {"roots", no_argument, nullptr, 'a'},
    {"enum-keys", required_argument, nullptr, 'k'},
    {"enum-values", required_argument, nullptr, 'v'},
    {"read-value", required_argument, nullptr, 'r'},
    {"key-exists", required_argument, nullptr, 'e'},
    {nullptr, 0, nullptr, 0},
};

// Registry name and data buffers: one more than 16 KiB plus a little, as the
// editor has always been served.
enum { NAME_SIZE = 260, DATA_SIZE = 16485 };

static void EndMark() { printf("%s\n", ENDMARK); }

// --- paths ------------------------------------------------------------------

static char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

// The root whose name the path begins with, ignoring ASCII case; nothing
// after the name is looked at, so "HKCUx" is HKCU too.
static HKEY FindRootKey(const char *path) {
    for (const auto &row : root_keys) {
        size_t i = 0;
        while (i < row.length && path[i] && AsciiUpper(path[i]) == row.name[i])
            i++;
        if (i == row.length)
            return row.root;
    }
    return nullptr;
}

// Every key is opened with full access: a key that may be read but not
// changed counts as one that cannot be opened.
static HKEY OpenKeyPath(const char *path) {
    HKEY root = FindRootKey(path);
    if (!root)
        return nullptr;
    const char *slash = strchr(path, '\\');
    const char *key_path = slash ? slash + 1 : path;
    HKEY key;
    if (RegOpenKeyExA(root, key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

// Splits "ROOT\key\path\name" into the key path between the first and the
// last backslash and the value name after the last one, cutting the argument
// in place. With one backslash both are the text after it; with none, both
// are the whole argument.
static void SplitValuePath(char *path, const char **key_path, const char **value_name) {
    char *first = strchr(path, '\\');
    char *last = strrchr(path, '\\');
    if (!first) {
        *key_path = *value_name = path;
        return;
    }
    *value_name = last + 1;
    *key_path = first + 1;
    if (last != first)
        *last = '\0';
}

// --- commands ---------------------------------------------------------------

static void ShowRoots() {
    printf("HKEY_CURRENT_USER\n");
    printf("HKEY_LOCAL_MACHINE\n");
    printf("HKEY_CLASSES_ROOT\n");
    printf("HKEY_USERS\n");
    printf("HKEY_CURRENT_CONFIG\n");
    EndMark();
}

static void EnumKeys(const char *path) {
    HKEY key = OpenKeyPath(path);
    if (!key) {
        EndMark();
        return;
    }
    char name[NAME_SIZE];
    for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof name) == ERROR_SUCCESS; index++) {
        name[sizeof name - 1] = '\0';
        printf("%s\n", name);
    }
    RegCloseKey(key);
    EndMark();
}

// The count of values is taken once; a listing that the registry cuts short
// (values removed meanwhile) ends with the names printed so far.
static void EnumValues(const char *path) {
    HKEY key = OpenKeyPath(path);
    if (!key) {
        EndMark();
        return;
    }
    char class_name[NAME_SIZE];
    DWORD class_size = sizeof class_name;
    DWORD count = 0;
    RegQueryInfoKeyA(key, class_name, &class_size, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                     nullptr, nullptr);
    static char name[DATA_SIZE];
    for (DWORD index = 0; index < count; index++) {
        name[0] = '\0';
        DWORD size = sizeof name;
        LONG rc = RegEnumValueA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS && rc != ERROR_INSUFFICIENT_BUFFER)
            break;
        name[sizeof name - 1] = '\0';
        printf("%s\n", name[0] ? name : "(Default)");
    }
    RegCloseKey(key);
    EndMark();
}

static void KeyExists(const char *path) {
    HKEY key = OpenKeyPath(path);
    if (key) {
        printf("YES\n");
        RegCloseKey(key);
    } else {
        printf("NO\n");
    }
    EndMark();
}

// A NUL between two strings breaks the line; two NULs in a row, or the last
// byte, end the list.
static void ShowMultiString(const BYTE *data, DWORD size) {
    bool printed = false;
    for (DWORD i = 0; i < size; i++) {
        if (data[i]) {
            putchar(data[i]);
        } else if (i + 1 < size && data[i + 1]) {
            putchar('\n');
        } else {
            break;
        }
        printed = true;
    }
    if (printed)
        putchar('\n');
}

static void ShowValue(DWORD type, const BYTE *data, DWORD size) {
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        printf("%s\t%.*s\n", type == REG_SZ ? "REG_SZ" : "REG_EXPAND_SZ", (int)strnlen((const char *)data, size),
               (const char *)data);
        break;
    case REG_BINARY:
        printf("REG_BINARY\t");
        for (DWORD i = 0; i < size; i++)
            printf("%#X", data[i]);
        printf("\n");
        break;
    case REG_DWORD:
        printf("REG_DWORD\t%d\n", (int)(DWORD)(data[0] | data[1] << 8 | data[2] << 16 | (DWORD)data[3] << 24));
        break;
    case REG_MULTI_SZ:
        printf("REG_MULTI_SZ\t\n");
        ShowMultiString(data, size);
        break;
    default:
        break;
    }
}

static void ReadValue(char *path) {
    HKEY root = FindRootKey(path);
    const char *key_path, *value_name;
    SplitValuePath(path, &key_path, &value_name);
    HKEY key;
    if (!root || RegOpenKeyExA(root, key_path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        EndMark();
        return;
    }
    // Zeroed, so that a DWORD stored shorter than four bytes reads as if
    // padded with zeros.
    static BYTE data[DATA_SIZE];
    memset(data, 0, sizeof data);
    DWORD type, size = sizeof data;
    if (RegQueryValueExA(key, value_name, nullptr, &type, data, &size) == ERROR_SUCCESS)
        ShowValue(type, data, size < sizeof data ? size : (DWORD)sizeof data);
    RegCloseKey(key);
    EndMark();
}

// --- about the program ------------------------------------------------------

// The last component of argv[0], after a backslash and then after a slash.
static const char *ProgramName(char **argv) {
    const char *name = argv[0] ? argv[0] : "";
    if (const char *p = strrchr(name, '\\'))
        name = p + 1;
    if (const char *p = strrchr(name, '/'))
        name = p + 1;
    return name;
}

static void ShowVersion(int, char **argv) {
    printf("%s version %s, (Compiled on %s).\n", ProgramName(argv), VERSION, __DATE__);
}

static void ShowUsage(int argc, char **argv) {
    ShowVersion(argc, argv);
    printf("usage: %s [<options>]\n", ProgramName(argv));
    printf("\nA simple interface to the registry, primarily intended for use by NT Tessel.\n\n");
    printf("  -h, --help\t\t\tDisplays this message.\n");
    printf("  -V, --version\t\t\tDisplays the version.\n");
    printf("  -a, --roots\t\t\tShow the roots of the registry\n");
    printf("  -k, --enum-keys <key>\t\tShow subkeys of the named key\n");
    printf("  -v, --enum-values <key>\tShow subvalues of the named key\n");
    printf("  -r, --read-value <key\\val>\tShow the type, and value of key\\val\n");
    printf("  -e, --key-exists <key>\tCheck if key exists\n");
    printf("  -E, --key-exists <key\\val>\tCheck if key\\val exists\n");
}

// Only the first option is acted on. Scanning stops at the first operand,
// unless POSIXLY_INCORRECT_GETOPT asks the parser to look past operands.
int main(int argc, char **argv) {
    const char *options = getenv("POSIXLY_INCORRECT_GETOPT") ? "Vhak:v:r:e:" : "+Vhak:v:r:e:";
    int index;
    switch (getopt_long(argc, argv, options, registry_options, &index)) {
    case -1:
        ShowUsage(argc, argv);
        break;
    case 'V':
        printf("\n");
        ShowVersion(argc, argv);
        break;
    case 'h':
        printf("\n");
        ShowUsage(argc, argv);
        break;
    case 'a':
        ShowRoots();
        break;
    case 'k':
        EnumKeys(optarg);
        break;
    case 'v':
        EnumValues(optarg);
        break;
    case 'e':
        KeyExists(optarg);
        break;
    case 'r':
        ReadValue(optarg);
        break;
    default:
        ShowUsage(argc, argv);
        break;
    }
    return 0;
}
