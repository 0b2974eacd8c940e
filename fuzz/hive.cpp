// The hive reader and writer on any file content. Whatever a hive file
// holds, reading it may fail but not crash; a hive that cannot be read is
// never rewritten; one that can takes a new key and value and keeps
// everything else it held, or refuses a write whose text would not read back
// (a UTF-16 file cut in the middle of a unit, say) and stays as it was.

#include <windows.h>

#include "harness.h"
#include "tree.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

const char ROOT[] = "HKEY_CURRENT_USER";
using namespace fuzz;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Scratch();
    std::string file(reinterpret_cast<const char *>(data), size);
    fuzz::PutHive(ROOT, file);
    fuzz::Capture quiet;  // the reader's report of a broken line

    HKEY root;
    LONG opened = RegOpenKeyExA(HKEY_CURRENT_USER, "", 0, KEY_READ, &root);
    if (opened == ERROR_SUCCESS)
        RegCloseKey(root);
    else if (opened != ERROR_REGISTRY_CORRUPT)
        fuzz::Broken("the root of a hive file could not be opened", std::to_string(opened));
    TreeView before;
    bool walked = opened == ERROR_SUCCESS && ReadTree(before);
    std::string stored = file.substr(0, 40);

    HKEY key;
    DWORD disposition;
    LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, NEW_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                   nullptr, &key, &disposition);
    std::string between = fuzz::ReadFile(fuzz::HivePath(ROOT));
    LONG set = ERROR_INVALID_HANDLE;
    if (created == ERROR_SUCCESS) {
        set = RegSetValueExA(key, NEW_VALUE, 0, REG_BINARY, reinterpret_cast<const BYTE *>(stored.data()),
                             static_cast<DWORD>(stored.size()));
        RegCloseKey(key);
    }
    // A refused write changes nothing.
    if (opened == ERROR_SUCCESS && (created == ERROR_REGISTRY_CORRUPT || set == ERROR_REGISTRY_CORRUPT)) {
        if (created == ERROR_REGISTRY_CORRUPT ? between != file : fuzz::ReadFile(fuzz::HivePath(ROOT)) != between)
            fuzz::Broken("a refused write changed the hive");
        return 0;
    }

    if (opened == ERROR_REGISTRY_CORRUPT) {
        // A file that cannot be parsed is left byte for byte.
        if (created == ERROR_SUCCESS || fuzz::ReadFile(fuzz::HivePath(ROOT)) != file)
            fuzz::Broken("a hive that could not be read was rewritten");
        return 0;
    }
    if (created != ERROR_SUCCESS || set != ERROR_SUCCESS)
        fuzz::Broken("a write to a readable hive failed", std::to_string(created) + " " + std::to_string(set));
    if (!walked)
        return 0;  // names longer than the walk's buffers: the tree is not compared
    TreeView after;
    if (!ReadTree(after))
        fuzz::Broken("the hive cannot be read after a write", fuzz::ReadFile(fuzz::HivePath(ROOT)));
    TreeView expected = Expected(before, stored);
    SortSubkeys(expected);
    SortSubkeys(after);
    if (after != expected)
        fuzz::Broken("the write changed what it should have kept",
                     "expected:\n" + Describe(expected) + "read:\n" + Describe(after));
    return 0;
}
