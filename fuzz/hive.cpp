// The hive reader and writer on any file content. Whatever a hive file
// holds, reading it may fail but not crash; a hive that cannot be read is
// never rewritten; one that can takes a new key and value and keeps
// everything else it held, or refuses a write whose text would not read back
// (a UTF-16 file cut in the middle of a unit, say) and stays as it was.

#include <windows.h>

#include "harness.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

const char ROOT[] = "HKEY_CURRENT_USER";
const char NEW_KEY[] = "Fuzzed\\Key";
const char NEW_VALUE[] = "fuzzed";

std::string Child(const std::string &path, const std::string &name) {
    if (path.empty())
        return name;
    std::string child = path;
    child += '\\';
    child += name;
    return child;
}

std::string Upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

struct KeyView {
    std::vector<std::string> subkeys;                  // in enumeration order
    std::map<std::string, std::pair<DWORD, std::string>> values;  // by upper-case name
    bool operator==(const KeyView &other) const { return subkeys == other.subkeys && values == other.values; }
};
using TreeView = std::map<std::string, KeyView>;  // by upper-case path

// Reads the key and everything below it through the API, as a tool would.
// False when a key cannot be opened or read.
bool Walk(const std::string &path, TreeView &tree) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    KeyView view;
    char text[512];
    for (DWORD i = 0;; i++) {
        LONG rc = RegEnumKeyA(key, i, text, sizeof text);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        // A name too long for the buffer ends the listing there, and one cut
        // at a NUL byte names no key that can be opened: not compared.
        if (rc != ERROR_SUCCESS || !*text) {
            RegCloseKey(key);
            return false;
        }
        view.subkeys.emplace_back(text);
    }
    static BYTE data[1 << 16];
    for (DWORD i = 0;; i++) {
        DWORD name_size = sizeof text, type = 0, size = sizeof data;
        LONG rc = RegEnumValueA(key, i, text, &name_size, nullptr, &type, data, &size);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS) {  // too long for the buffers: asked for by name
            RegCloseKey(key);
            return false;
        }
        view.values[Upper(text)] = {type, std::string(reinterpret_cast<char *>(data), size)};
        // A buffer one byte short is refused and tells the size needed.
        DWORD small = size ? size - 1 : 0;
        if (size && strlen(text) == name_size && RegQueryValueExA(key, text, nullptr, nullptr, data, &small) != ERROR_MORE_DATA)
            fuzz::Broken("a short buffer was not refused", text);
    }
    RegCloseKey(key);
    std::string upper = Upper(path);
    if (tree.count(upper))
        return true;
    tree[upper] = view;
    for (const std::string &sub : tree[upper].subkeys)
        if (!Walk(Child(path, sub), tree))
            return false;
    return true;
}

bool ReadTree(TreeView &tree) { return Walk("", tree); }

std::string Describe(const TreeView &tree) {
    std::string out;
    for (const auto &[path, view] : tree) {
        out += "[" + path + "]\n";
        for (const auto &sub : view.subkeys)
            out += "  key " + sub + "\n";
        for (const auto &[name, value] : view.values)
            out += "  value " + name + " type " + std::to_string(value.first) + " size " +
                   std::to_string(value.second.size()) + "\n";
    }
    return out;
}

// What the tree must read after the new value went in.
TreeView Expected(TreeView tree, const std::string &data) {
    std::string path;
    for (const char *part : {"Fuzzed", "Key"}) {
        KeyView &parent = tree[Upper(path)];
        bool there = false;
        for (const std::string &sub : parent.subkeys)
            there = there || Upper(sub) == Upper(part);
        if (!there)
            parent.subkeys.emplace_back(part);
        path = Child(path, part);
        tree[Upper(path)];
    }
    tree[Upper(NEW_KEY)].values[Upper(NEW_VALUE)] = {REG_BINARY, data};
    return tree;
}

// Subkeys enumerate sorted; only the set is compared.
void SortSubkeys(TreeView &tree) {
    for (auto &[path, view] : tree) {
        for (std::string &sub : view.subkeys)
            sub = Upper(sub);
        std::sort(view.subkeys.begin(), view.subkeys.end());
    }
}

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
