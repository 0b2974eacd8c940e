// regdump [-32|-64] ROOT\key: one line per value of the key, sorted by name
// so that every platform prints the same: the name ("@" for the default
// value), the type and the data's exact bytes: for strings as text, with
// every byte that is not printable ASCII (and '<') as <xx>, NULs included;
// else size and hex. -32 and -64 look at that view of the registry, as on
// 64-bit Windows; without them the program's own (32-bit on Windows).

#include <windows.h>

#include "regview.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

struct Entry {
    std::string name;
    DWORD type;
    std::vector<BYTE> data;
};

static bool NameLess(const Entry &a, const Entry &b) {
    for (size_t i = 0; i < a.name.size() && i < b.name.size(); i++) {
        int x = toupper((unsigned char)a.name[i]), y = toupper((unsigned char)b.name[i]);
        if (x != y)
            return x < y;
    }
    return a.name.size() < b.name.size();
}

int main(int argc, char **argv) {
    REGSAM view = RegistryView(&argc, &argv);
    if (argc != 2) {
        fprintf(stderr, "usage: regdump [-32|-64] ROOT\\key\n");
        return 2;
    }
    static const struct {
        const char *name;
        HKEY root;
    } roots[] = {{"HKCU", HKEY_CURRENT_USER}, {"HKLM", HKEY_LOCAL_MACHINE}, {"HKCR", HKEY_CLASSES_ROOT},
                 {"HKU", HKEY_USERS}, {"HKCC", HKEY_CURRENT_CONFIG}};
    const char *slash = strchr(argv[1], '\\');
    std::string root_name(argv[1], slash ? (size_t)(slash - argv[1]) : strlen(argv[1]));
    HKEY root = nullptr;
    for (const auto &r : roots)
        if (root_name == r.name)
            root = r.root;
    if (!root) {
        fprintf(stderr, "regdump: unknown root %s\n", root_name.c_str());
        return 2;
    }
    HKEY key;
    if (RegOpenKeyExA(root, slash ? slash + 1 : "", 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
        printf("no such key\n");
        return 1;
    }
    // Buffers sized as the key says its longest name and data are, grown and
    // asked again where a value is larger after all.
    DWORD max_name = 0, max_data = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &max_name, &max_data,
                         nullptr, nullptr) != ERROR_SUCCESS) {
        printf("no key information\n");
        return 1;
    }
    std::vector<char> name(max_name + 1);
    std::vector<BYTE> data(max_data + 1);
    std::vector<Entry> entries;
    for (DWORD i = 0, retries = 0;;) {
        DWORD name_size = (DWORD)name.size(), data_size = (DWORD)data.size(), type = 0;
        LONG rc = RegEnumValueA(key, i, name.data(), &name_size, nullptr, &type, data.data(), &data_size);
        if (rc == ERROR_MORE_DATA && retries++ < 16) {
            name.resize(name.size() * 2);
            data.resize(std::max<size_t>(data.size() * 2, data_size));
            continue;
        }
        if (rc != ERROR_SUCCESS)
            break;
        entries.push_back({std::string(name.data(), name_size), type,
                           std::vector<BYTE>(data.data(), data.data() + data_size)});
        i++;
        retries = 0;
    }
    RegCloseKey(key);
    std::sort(entries.begin(), entries.end(), NameLess);
    for (const Entry &e : entries) {
        printf("%s type %lu", e.name.empty() ? "@" : ("\"" + e.name + "\"").c_str(), (unsigned long)e.type);
        if (e.type == REG_SZ || e.type == REG_EXPAND_SZ || e.type == REG_MULTI_SZ) {
            printf(": ");
            for (BYTE b : e.data)
                printf(b >= 0x20 && b < 0x7F && b != '<' ? "%c" : "<%02x>", b);
        } else {
            printf(" size %lu:", (unsigned long)e.data.size());
            for (BYTE b : e.data)
                printf(" %02x", b);
        }
        printf("\n");
    }
    return 0;
}
