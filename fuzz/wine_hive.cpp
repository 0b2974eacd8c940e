// A Wine prefix's hive on any file content: user.reg of a prefix (of one
// view, "#arch=win32") holds the input. Whatever it holds, reading it may
// fail but not crash; a file without Wine's header is never rewritten; one
// that reads takes a new key and value, in Wine's notation, and keeps
// everything else it held, or refuses the write and stays as it was.

#include <windows.h>

#include "harness.h"
#include "tree.h"

#include <sys/stat.h>

#include <string>

using namespace fuzz;

namespace {

const char kMachine[] = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win32\n";

std::string UserFile() { return Scratch() + "/registry/user.reg"; }

void PutFile(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0)
        Broken("cannot write the prefix");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Scratch();
    static bool made = [] {
        PutFile(Scratch() + "/registry/system.reg", kMachine);
        return true;
    }();
    (void)made;
    std::string file(reinterpret_cast<const char *>(data), size);
    PutFile(UserFile(), file);
    Capture quiet;  // the reader's report of a broken line

    HKEY root;
    LONG opened = RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &root);
    if (opened == ERROR_SUCCESS)
        RegCloseKey(root);
    else if (opened != ERROR_REGISTRY_CORRUPT)
        Broken("the root of a Wine file could not be opened", std::to_string(opened));
    // Links lead out of the tree and back into it: the tree is compared
    // only where there are none.
    TreeView before;
    bool walked = opened == ERROR_SUCCESS && file.find("#link") == std::string::npos && ReadTree(before);
    std::string stored = file.substr(0, 40);

    HKEY key;
    DWORD disposition;
    LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, NEW_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                   nullptr, &key, &disposition);
    std::string between = ReadFile(UserFile());
    LONG set = ERROR_INVALID_HANDLE;
    if (created == ERROR_SUCCESS) {
        set = RegSetValueExA(key, NEW_VALUE, 0, REG_BINARY, reinterpret_cast<const BYTE *>(stored.data()),
                             static_cast<DWORD>(stored.size()));
        RegCloseKey(key);
    }
    if (opened == ERROR_REGISTRY_CORRUPT) {
        // A file without Wine's header is left byte for byte.
        if (created == ERROR_SUCCESS || ReadFile(UserFile()) != file)
            Broken("a Wine file that could not be read was rewritten");
        return 0;
    }
    // A refused write changes nothing.
    if (created != ERROR_SUCCESS || set != ERROR_SUCCESS) {
        if (created != ERROR_SUCCESS ? between != file : ReadFile(UserFile()) != between)
            Broken("a refused write changed the file");
        return 0;
    }
    if (!walked)
        return 0;
    TreeView after;
    if (!ReadTree(after))
        Broken("the file cannot be read after a write", ReadFile(UserFile()));
    TreeView expected = Expected(before, stored);
    SortSubkeys(expected);
    SortSubkeys(after);
    if (after != expected)
        Broken("the write changed what it should have kept",
               "expected:\n" + Describe(expected) + "read:\n" + Describe(after));
    return 0;
}
