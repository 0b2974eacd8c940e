// The registry functions of advapi32 over the hive files. An open key holds
// what its hive said of it when it was opened: enumerations and queries read
// that copy, so a listing of N subkeys reads the file once, not N times.

#include "edit.h"
#include "lookup.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

using winshim::InjectedFault;
using winshim::KeyData;
using winshim::Root;
using winshim::Value;

namespace {

struct Key {
    Root root;
    std::string path;
    REGSAM access = KEY_ALL_ACCESS;
    KeyData data;
    bool read = true;  // false: `data` is read when first asked for
};

// Open handles on the predefined roots, read when first used.
std::unique_ptr<Key> root_keys[5];

// Never destroyed: a key left open until the process ends is no leak.
std::set<Key *> &OpenKeys() {
    static auto *keys = new std::set<Key *>;
    return *keys;
}

// Access rights that change a key or its values.
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | DELETE | WRITE_DAC | WRITE_OWNER;

bool Predefined(HKEY hKey, Root *root) {
    switch (reinterpret_cast<ULONG_PTR>(hKey)) {
    case 0x80000000u: *root = Root::ClassesRoot; return true;
    case 0x80000001u: *root = Root::CurrentUser; return true;
    case 0x80000002u: *root = Root::LocalMachine; return true;
    case 0x80000003u: *root = Root::Users; return true;
    case 0x80000005u: *root = Root::CurrentConfig; return true;
    default: return false;
    }
}

Key *Lookup(HKEY hKey) {
    Key *key = reinterpret_cast<Key *>(hKey);
    return OpenKeys().count(key) ? key : nullptr;
}

// The root and key path that hKey and lpSubKey name together. Windows refuses
// a leading backslash and, like Wine, passes over empty components elsewhere.
LONG Resolve(HKEY hKey, LPCSTR lpSubKey, Root *root, std::string *path) {
    if (Predefined(hKey, root)) {
        path->clear();
    } else if (Key *key = Lookup(hKey)) {
        *root = key->root;
        *path = key->path;
    } else {
        return ERROR_INVALID_HANDLE;
    }
    if (!lpSubKey)
        return ERROR_SUCCESS;
    if (lpSubKey[0] == '\\')
        return ERROR_BAD_PATHNAME;
    std::string_view rest(lpSubKey);
    while (!rest.empty()) {
        size_t cut = rest.find('\\');
        std::string_view part = rest.substr(0, cut);
        if (!part.empty()) {
            if (!path->empty())
                *path += '\\';
            *path += part;
        }
        if (cut == std::string_view::npos)
            break;
        rest.remove_prefix(cut + 1);
    }
    return ERROR_SUCCESS;
}

// The open key behind a handle; a predefined root is read when first used.
LONG KeyOf(HKEY hKey, Key **out) {
    Root root;
    if (Predefined(hKey, &root)) {
        auto &slot = root_keys[static_cast<int>(root)];
        if (!slot) {
            auto key = std::make_unique<Key>();
            key->root = root;
            if (LONG rc = winshim::ReadKey(root, "", &key->data, winshim::kSubkeysLater))
                return rc;
            slot = std::move(key);
        }
        *out = slot.get();
        return ERROR_SUCCESS;
    }
    *out = Lookup(hKey);
    return *out ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// The key's values, read when first asked for where the handle came from a
// create, which looks for the key without reading it.
LONG Values(Key *key) {
    if (key->read)
        return ERROR_SUCCESS;
    if (LONG rc = winshim::ReadKey(key->root, key->path, &key->data, winshim::kSubkeysLater))
        return rc == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : rc;
    key->read = true;
    return ERROR_SUCCESS;
}

// The open key behind a handle, with its values: where every function that
// looks at a key's values begins.
LONG KeyWithValues(HKEY hKey, Key **out) {
    if (LONG rc = KeyOf(hKey, out))
        return rc;
    return Values(*out);
}

// The key's subkeys, read when first asked for where the hive's index spared
// reading them at the open.
LONG Subkeys(Key *key) {
    if (LONG rc = Values(key))
        return rc;
    if (key->data.has_subkeys)
        return ERROR_SUCCESS;
    winshim::KeyData now;
    if (LONG rc = winshim::ReadKey(key->root, key->path, &now))
        return rc == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : rc;
    key->data.subkeys = std::move(now.subkeys);
    key->data.has_subkeys = true;
    return ERROR_SUCCESS;
}

const Value *FindValue(const Key *key, LPCSTR name) {
    std::string_view wanted = name ? name : "";
    for (const Value &value : key->data.values)
        if (winshim::EqualNoCase(value.name, wanted))
            return &value;
    return nullptr;
}

// A value's type and data as the query functions hand them out: the size
// always, the bytes only when they fit (else ERROR_MORE_DATA).
LONG CopyValue(const Value &value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpType)
        *lpType = value.type;
    if (!lpcbData)
        return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(value.data.size());
    bool fits = !lpData || *lpcbData >= size;
    if (lpData && fits)
        memcpy(lpData, value.data.data(), size);  // NOLINT(bugprone-not-null-terminated-result): data as stored
    *lpcbData = size;
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

// Gives the caller a handle on a key that was read, once the access asked
// for is allowed: a write right needs a writable hive.
LONG HandOut(std::unique_ptr<Key> key, REGSAM sam, PHKEY out) {
    if ((sam & kWriteRights) && !winshim::HiveWritable(key->root))
        return ERROR_ACCESS_DENIED;
    key->access = sam;
    *out = reinterpret_cast<HKEY>(key.get());
    OpenKeys().insert(key.release());
    return ERROR_SUCCESS;
}

}  // namespace

// Contract: opens hKey\lpSubKey. ERROR_FILE_NOT_FOUND when no such key,
// ERROR_ACCESS_DENIED when a write right is asked of a read-only hive,
// ERROR_REGISTRY_CORRUPT when the hive cannot be parsed.
extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    if (DWORD fault = InjectedFault("RegOpenKeyExA"))
        return static_cast<LSTATUS>(fault);
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    auto key = std::make_unique<Key>();
    if (LONG rc = Resolve(hKey, lpSubKey, &key->root, &key->path))
        return rc;
    if (LONG rc = winshim::ReadKey(key->root, key->path, &key->data, winshim::kSubkeysLater))
        return rc;
    return HandOut(std::move(key), samDesired, phkResult);
}

// Contract: releases a key opened here; a predefined root needs no closing.
extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (DWORD fault = InjectedFault("RegCloseKey"))
        return static_cast<LSTATUS>(fault);
    Root root;
    if (Predefined(hKey, &root))
        return ERROR_SUCCESS;
    Key *key = Lookup(hKey);
    if (!key)
        return ERROR_INVALID_HANDLE;
    OpenKeys().erase(key);
    delete key;
    return ERROR_SUCCESS;
}

// Contract: the name of subkey number dwIndex, sorted as Windows sorts them
// (compared in upper case); ERROR_NO_MORE_ITEMS past the last, ERROR_MORE_DATA
// when the name and its terminator do not fit cchName.
extern "C" LSTATUS WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
    if (DWORD fault = InjectedFault("RegEnumKeyA"))
        return static_cast<LSTATUS>(fault);
    Key *key;
    if (LONG rc = KeyOf(hKey, &key))
        return rc;
    if (LONG rc = Subkeys(key))
        return rc;
    const auto &subkeys = key->data.subkeys;
    if (dwIndex >= subkeys.size())
        return ERROR_NO_MORE_ITEMS;
    std::string_view name = subkeys[dwIndex];
    if (!lpName)
        return ERROR_INVALID_PARAMETER;
    if (name.size() >= cchName)
        return ERROR_MORE_DATA;
    memcpy(lpName, name.data(), name.size());
    lpName[name.size()] = '\0';
    return ERROR_SUCCESS;
}

// Contract: value number dwIndex in creation (file) order: its name, and on
// request its type and data. ERROR_MORE_DATA when the name or the data do not
// fit; *lpcbData then holds the size needed.
extern "C" LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                        LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (DWORD fault = InjectedFault("RegEnumValueA"))
        return static_cast<LSTATUS>(fault);
    Key *key;
    if (LONG rc = KeyWithValues(hKey, &key))
        return rc;
    if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    const auto &values = key->data.values;
    if (dwIndex >= values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value &value = values[dwIndex];
    if (value.name.size() >= *lpcchValueName)
        return ERROR_MORE_DATA;
    memcpy(lpValueName, value.name.c_str(), value.name.size() + 1);
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    return CopyValue(value, lpType, lpData, lpcbData);
}

// Contract: counts and maximum lengths of the key's subkeys and values; keys
// here have no class, security descriptor or write time of their own.
extern "C" LSTATUS WINAPI RegQueryInfoKeyA(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved,
                                           LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                                           LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen,
                                           LPDWORD lpcbSecurityDescriptor, PFILETIME lpftLastWriteTime) {
    if (DWORD fault = InjectedFault("RegQueryInfoKeyA"))
        return static_cast<LSTATUS>(fault);
    Key *key;
    if (LONG rc = KeyWithValues(hKey, &key))
        return rc;
    if (lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    if (lpcSubKeys || lpcbMaxSubKeyLen)
        if (LONG rc = Subkeys(key))
            return rc;
    if (lpClass) {
        if (*lpcchClass == 0)
            return ERROR_MORE_DATA;
        lpClass[0] = '\0';
    }
    if (lpcchClass)
        *lpcchClass = 0;
    size_t max_subkey = 0, max_name = 0, max_data = 0;
    for (std::string_view name : key->data.subkeys)
        max_subkey = std::max(max_subkey, name.size());
    for (const Value &value : key->data.values) {
        max_name = std::max(max_name, value.name.size());
        max_data = std::max(max_data, value.data.size());
    }
    if (lpcSubKeys)
        *lpcSubKeys = static_cast<DWORD>(key->data.subkeys.size());
    if (lpcbMaxSubKeyLen)
        *lpcbMaxSubKeyLen = static_cast<DWORD>(max_subkey);
    if (lpcbMaxClassLen)
        *lpcbMaxClassLen = 0;
    if (lpcValues)
        *lpcValues = static_cast<DWORD>(key->data.values.size());
    if (lpcbMaxValueNameLen)
        *lpcbMaxValueNameLen = static_cast<DWORD>(max_name);
    if (lpcbMaxValueLen)
        *lpcbMaxValueLen = static_cast<DWORD>(max_data);
    if (lpcbSecurityDescriptor)
        *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime)
        *lpftLastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

// Contract: type and data of the value named lpValueName (null or "" for the
// default value). With lpData null, *lpcbData receives the size. When the
// data do not fit, ERROR_MORE_DATA and the size needed in *lpcbData.
extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData) {
    if (DWORD fault = InjectedFault("RegQueryValueExA"))
        return static_cast<LSTATUS>(fault);
    Key *key;
    if (LONG rc = KeyWithValues(hKey, &key))
        return rc;
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    const Value *value = FindValue(key, lpValueName);
    if (!value)
        return ERROR_FILE_NOT_FOUND;
    return CopyValue(*value, lpType, lpData, lpcbData);
}

// Contract: opens hKey\lpSubKey, creating it and every missing key on its
// path. The hive must be writable to create anything; an existing key opens
// as with RegOpenKeyExA. *lpdwDisposition tells which happened.
extern "C" LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR, DWORD dwOptions,
                                          REGSAM samDesired, const SECURITY_ATTRIBUTES *, PHKEY phkResult,
                                          LPDWORD lpdwDisposition) {
    if (DWORD fault = InjectedFault("RegCreateKeyExA"))
        return static_cast<LSTATUS>(fault);
    if (!phkResult || !lpSubKey || Reserved || dwOptions != REG_OPTION_NON_VOLATILE)
        return ERROR_INVALID_PARAMETER;
    auto key = std::make_unique<Key>();
    if (LONG rc = Resolve(hKey, lpSubKey, &key->root, &key->path))
        return rc;
    bool created = false;
    LONG rc;
    if (winshim::HiveWritable(key->root)) {
        // One transaction looks for the key under the hive's lock and makes
        // it when it is missing; nothing is written when it is there. What
        // the key holds is read when first asked for: a create is most often
        // for a write, which needs none of it.
        rc = winshim::EditHive(key->root, winshim::HiveEdit::Create(key->path), &created);
        key->read = false;
    } else {
        // Nothing can be made here: an existing key opens as with
        // RegOpenKeyExA, for reading.
        rc = winshim::ReadKey(key->root, key->path, &key->data, winshim::kSubkeysLater | winshim::kNoNewIndex);
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_ACCESS_DENIED;
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    if ((rc = HandOut(std::move(key), samDesired, phkResult)) == ERROR_SUCCESS && lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return rc;
}

// Contract: stores a value of the key, which must be open with KEY_SET_VALUE.
// The bytes are kept exactly as given; the hive file is rewritten atomically.
extern "C" LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                                         DWORD cbData) {
    if (DWORD fault = InjectedFault("RegSetValueExA"))
        return static_cast<LSTATUS>(fault);
    Key *key;
    if (LONG rc = KeyOf(hKey, &key))
        return rc;
    if (!(key->access & KEY_SET_VALUE))
        return ERROR_ACCESS_DENIED;
    if (!lpData && cbData)
        return ERROR_INVALID_PARAMETER;
    Value value;
    value.name = lpValueName ? lpValueName : "";
    value.type = dwType;
    value.data.assign(reinterpret_cast<const char *>(lpData), lpData ? cbData : 0);
    if (LONG rc = winshim::EditHive(key->root, winshim::HiveEdit::Set(key->path, value, value.name, false)))
        return rc;
    // The handle sees its own write, as on Windows (one not read yet reads
    // it with the rest).
    if (!key->read)
        return ERROR_SUCCESS;
    auto &values = key->data.values;
    for (Value &old : values)
        if (winshim::EqualNoCase(old.name, value.name)) {
            old.type = value.type;
            old.data = value.data;
            return ERROR_SUCCESS;
        }
    values.push_back(value);
    return ERROR_SUCCESS;
}
