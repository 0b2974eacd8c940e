// The registry functions of advapi32 over the hive files. An open key holds
// what its hive said of it when it was opened: enumerations and queries read
// that copy, so a listing of N subkeys reads the file once, not N times.
//
// In a Wine prefix the keys' names and strings are UTF-16, as Wine keeps
// them: these ANSI functions give them in the ANSI code page (UTF-8 here)
// and take them so, as Wine's own do.

#include "locate.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>

using winshim::InjectedFault;
using winshim::KeyData;
using winshim::Location;
using winshim::Root;
using winshim::Value;
using winshim::View;

namespace {

struct Key {
    Root root;
    std::string path;  // as the program named it, below the root
    View view = View::Default;
    REGSAM access = KEY_ALL_ACCESS;
    KeyData data;
    bool read = true;   // false: `data` is read when first asked for
    bool wide = false;  // its strings are UTF-16, as a Wine file keeps them
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

// The view that a call asks for: its own KEY_WOW64_ flag, else its key's.
View ViewOf(REGSAM sam, View inherited) {
    if (sam & KEY_WOW64_64KEY)
        return View::Bits64;
    if (sam & KEY_WOW64_32KEY)
        return View::Bits32;
    return inherited;
}

// The root and key path that hKey and lpSubKey name together. Windows refuses
// a leading backslash and, like Wine, passes over empty components elsewhere.
LONG Resolve(HKEY hKey, LPCSTR lpSubKey, Key *out) {
    if (Predefined(hKey, &out->root)) {
        out->path.clear();
    } else if (Key *key = Lookup(hKey)) {
        out->root = key->root;
        out->path = key->path;
        out->view = key->view;
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
            if (!out->path.empty())
                out->path += '\\';
            out->path += part;
        }
        if (cut == std::string_view::npos)
            break;
        rest.remove_prefix(cut + 1);
    }
    return ERROR_SUCCESS;
}

// The subkeys of two keys that one key shows, the first's spelling kept.
winshim::NameList Union(const winshim::NameList &first, const winshim::NameList &second, winshim::KeyOrder order) {
    winshim::NameList both;
    for (std::string_view name : first)
        both.Add(name);
    for (std::string_view name : second)
        both.Add(name);
    both.Sort(order);
    return both;
}

// What the key holds now, read where it lies: HKEY_USERS of a prefix lists
// its users; HKEY_CLASSES_ROOT of a prefix shows the user's key (its values
// where the user has it) over the machine's, as Windows merges them.
LONG ReadLogical(Key &key, unsigned options) {
    std::vector<std::string> users;
    if (key.root == Root::Users && key.path.empty() && winshim::UsersOfPrefix(&users)) {
        key.data = KeyData();
        for (const std::string &user : users)
            key.data.subkeys.Add(user);
        key.data.subkeys.KeepOrder();
        return ERROR_SUCCESS;
    }
    std::vector<Location> where;
    if (LONG rc = winshim::Locate(key.root, key.path, key.view, &where))
        return rc;
    std::vector<KeyData> parts;
    if (where.size() > 1)
        options &= ~winshim::kSubkeysLater;  // merged at once
    for (const Location &at : where) {
        KeyData part;
        LONG rc = winshim::ReadKey(at.hive, at.path, &part, options);
        if (rc == ERROR_SUCCESS)
            parts.push_back(std::move(part));
        else if (rc != ERROR_FILE_NOT_FOUND)
            return rc;
    }
    if (parts.empty())
        return ERROR_FILE_NOT_FOUND;
    key.wide = where.front().hive.wine();
    if (parts.size() > 1)
        parts[0].subkeys = Union(parts[0].subkeys, parts[1].subkeys, winshim::KeyOrder::Wine);
    key.data = std::move(parts[0]);
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
            if (LONG rc = ReadLogical(*key, winshim::kSubkeysLater))
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
    if (LONG rc = ReadLogical(*key, winshim::kSubkeysLater))
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
    Key now = *key;
    if (LONG rc = ReadLogical(now, winshim::kWholeKey))
        return rc == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : rc;
    key->data.subkeys = std::move(now.data.subkeys);
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

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// A value's data as the ANSI functions give it: a Wine file's strings, held
// as UTF-16 units, in the ANSI code page (UTF-8 here), an odd last byte
// dropped, as Wine gives them.
std::string AnsiData(const Key *key, const Value &value) {
    if (!key->wide || !IsString(value.type))
        return value.data;
    std::string out;
    winshim::AppendUtf8FromUtf16(out, std::string_view(value.data).substr(0, value.data.size() / 2 * 2));
    return out;
}

// A value's type and data as the query functions hand them out: the size
// always, the bytes only when they fit (else ERROR_MORE_DATA).
LONG CopyValue(const Key *key, const Value &value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpType)
        *lpType = value.type;
    if (!lpcbData)
        return ERROR_SUCCESS;
    std::string data = AnsiData(key, value);
    DWORD size = static_cast<DWORD>(data.size());
    bool fits = !lpData || *lpcbData >= size;
    if (lpData && fits)
        memcpy(lpData, data.data(), size);  // NOLINT(bugprone-not-null-terminated-result): data as stored
    *lpcbData = size;
    return fits ? ERROR_SUCCESS : ERROR_MORE_DATA;
}

// Whether a write may reach the key: its hive file writable, as far as its
// mode tells.
bool Writable(const Key &key) {
    Location at;
    if (winshim::LocateForWrite(key.root, key.path, key.view, true, &at) != ERROR_SUCCESS)
        return true;  // the write fails for that, not for this
    return winshim::HiveWritable(at.hive);
}

// Gives the caller a handle on a key that was read, once the access asked
// for is allowed: a write right needs a writable hive.
LONG HandOut(std::unique_ptr<Key> key, REGSAM sam, PHKEY out) {
    if ((sam & kWriteRights) && !Writable(*key))
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
    if (LONG rc = Resolve(hKey, lpSubKey, key.get()))
        return rc;
    key->view = ViewOf(samDesired, key->view);
    if (LONG rc = ReadLogical(*key, winshim::kSubkeysLater))
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
// (compared in upper case; in a Wine prefix as Wine keeps them, in lower
// case); ERROR_NO_MORE_ITEMS past the last, ERROR_MORE_DATA when the name
// and its terminator do not fit cchName.
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

// Contract: value number dwIndex in creation (file) order, in a Wine prefix
// in the order of their names: its name, and on request its type and data.
// ERROR_MORE_DATA when the name or the data do not fit; *lpcbData then holds
// the size needed.
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
    return CopyValue(key, value, lpType, lpData, lpcbData);
}

namespace {

// The counts and longest lengths that RegQueryInfoKeyA tells.
void Measure(const Key *key, DWORD *max_subkey, DWORD *max_name, DWORD *max_data) {
    size_t subkey = 0, name = 0, data = 0;
    for (std::string_view each : key->data.subkeys)
        subkey = std::max(subkey, each.size());
    for (const Value &value : key->data.values) {
        name = std::max(name, value.name.size());
        data = std::max(data, AnsiData(key, value).size());
    }
    *max_subkey = static_cast<DWORD>(subkey);
    *max_name = static_cast<DWORD>(name);
    *max_data = static_cast<DWORD>(data);
}

}  // namespace

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
    DWORD max_subkey, max_name, max_data;
    Measure(key, &max_subkey, &max_name, &max_data);
    for (auto [out, value] : {std::pair{lpcchClass, DWORD{0}}, {lpcSubKeys, static_cast<DWORD>(key->data.subkeys.size())},
                              {lpcbMaxSubKeyLen, max_subkey}, {lpcbMaxClassLen, DWORD{0}},
                              {lpcValues, static_cast<DWORD>(key->data.values.size())},
                              {lpcbMaxValueNameLen, max_name}, {lpcbMaxValueLen, max_data},
                              {lpcbSecurityDescriptor, DWORD{0}}})
        if (out)
            *out = value;
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
    return CopyValue(key, *value, lpType, lpData, lpcbData);
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
    if (LONG rc = Resolve(hKey, lpSubKey, key.get()))
        return rc;
    key->view = ViewOf(samDesired, key->view);
    bool created = false;
    Location at;
    LONG rc = winshim::LocateForWrite(key->root, key->path, key->view, false, &at);
    if (rc == ERROR_SUCCESS && winshim::HiveWritable(at.hive)) {
        // One transaction looks for the key under the hive's lock and makes
        // it when it is missing; nothing is written when it is there. What
        // the key holds is read when first asked for: a create is most often
        // for a write, which needs none of it.
        rc = winshim::EditHive(at.hive, winshim::HiveEdit::Create(at.path), &created);
        key->read = false;
    } else if (rc == ERROR_SUCCESS || rc == ERROR_ACCESS_DENIED) {
        // Nothing can be made here: an existing key opens as with
        // RegOpenKeyExA, for reading.
        rc = ReadLogical(*key, winshim::kSubkeysLater | winshim::kNoNewIndex);
        if (rc == ERROR_FILE_NOT_FOUND)
            rc = ERROR_ACCESS_DENIED;
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    if ((rc = HandOut(std::move(key), samDesired, phkResult)) == ERROR_SUCCESS && lpdwDisposition)
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return rc;
}

namespace {

// A value as the key's hive keeps it: the ANSI text of a string as UTF-16
// in a Wine file (text that is no UTF-8 has no exact UTF-16 form: 1113).
LONG StoredValue(const Location &at, LPCSTR name, DWORD type, const BYTE *data, DWORD size, Value *out) {
    out->name = name ? name : "";
    out->type = type;
    out->data.assign(reinterpret_cast<const char *>(data), data ? size : 0);
    if (!at.hive.wine() || !IsString(type))
        return ERROR_SUCCESS;
    std::string units;
    if (!winshim::Utf16FromUtf8(out->data, units))
        return ERROR_NO_UNICODE_TRANSLATION;
    out->data = std::move(units);
    return ERROR_SUCCESS;
}

}  // namespace

// Contract: stores a value of the key, which must be open with KEY_SET_VALUE.
// The bytes are kept exactly as given (in a Wine prefix, a string's as
// UTF-16); the hive file is rewritten atomically.
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
    Location at;
    if (LONG rc = winshim::LocateForWrite(key->root, key->path, key->view, true, &at))
        return rc == ERROR_FILE_NOT_FOUND ? ERROR_KEY_DELETED : rc;
    Value value;
    if (LONG rc = StoredValue(at, lpValueName, dwType, lpData, cbData, &value))
        return rc;
    if (LONG rc = winshim::EditHive(at.hive, winshim::HiveEdit::Set(at.path, value, value.name, false)))
        return rc;
    // The handle sees its own write, as on Windows (one not read yet reads
    // it with the rest).
    if (!key->read)
        return ERROR_SUCCESS;
    key->wide = at.hive.wine();
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
