// Everything the registry API says of a key, as one text: what the unit
// tests and the fuzz targets compare when they ask one question two ways.
#pragma once

#include <windows.h>

#include <string>

inline std::string Describe(const std::string &path, HKEY root = HKEY_CURRENT_USER) {
    HKEY key;
    LONG rc = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS)
        return "open " + std::to_string(rc);
    std::string out = "keys";
    char name[512];
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; i++)
        out += std::string(" ") + name;
    out += "\nvalues";
    for (DWORD i = 0;; i++) {
        BYTE data[512];
        DWORD name_size = sizeof name, size = sizeof data, type;
        if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        out += std::string(" ") + name + ":" + std::to_string(type) + ":" +
               std::string(reinterpret_cast<char *>(data), size);
    }
    RegCloseKey(key);
    return out;
}
