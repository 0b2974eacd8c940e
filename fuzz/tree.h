// What the hive targets share: a hive's keys read through the API, as a
// tool would, and what they must read after a new value went in.
#pragma once

#include <windows.h>

#include "harness.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace fuzz {

const char NEW_KEY[] = "Fuzzed\\Key";
const char NEW_VALUE[] = "fuzzed";

inline std::string Child(const std::string &path, const std::string &name) {
    if (path.empty())
        return name;
    std::string child = path;
    child += '\\';
    child += name;
    return child;
}

inline std::string Upper(std::string s) {
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
inline bool Walk(const std::string &path, TreeView &tree) {
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

inline bool ReadTree(TreeView &tree) { return Walk("", tree); }

inline std::string Describe(const TreeView &tree) {
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
inline TreeView Expected(TreeView tree, const std::string &data) {
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
inline void SortSubkeys(TreeView &tree) {
    for (auto &[path, view] : tree) {
        for (std::string &sub : view.subkeys)
            sub = Upper(sub);
        std::sort(view.subkeys.begin(), view.subkeys.end());
    }
}

}  // namespace fuzz
