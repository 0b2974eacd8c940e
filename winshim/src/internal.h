// Shared pieces of winshim's implementation. Nothing here is seen by the tools.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace winshim {

// --- faults -----------------------------------------------------------------

// The code that WINSHIM_FAULTS makes the current call of `function` fail with,
// or 0 when it runs normally. Every exported function calls this first, once;
// so does every system call of the store (sys:: below), whose code is an errno.
DWORD InjectedFault(const char *function);

// A decimal number (or, with allow_hex, "0x" and hex digits) of at most
// `max`, with nothing before or after it.
bool ParseUnsigned(std::string_view text, bool allow_hex, uint64_t max, uint64_t *out);

// --- errors -----------------------------------------------------------------

// The Win32 code for a POSIX errno value.
DWORD Win32FromErrno(int err);

// --- text -------------------------------------------------------------------

// ASCII case folding, the only folding the registry and the spooler do.
inline char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
bool EqualNoCase(std::string_view a, std::string_view b);
std::string UpperCopy(std::string_view s);
// Orders as Windows orders subkeys: compared in upper case, byte by byte.
bool LessUpper(std::string_view a, std::string_view b);

// UTF-8, the narrow text of this platform, to and from wide text. Bytes that
// are no UTF-8 become one U+FFFD for each longest start of a sequence (the
// Unicode standard's "maximal subpart"); surrogates and overlong forms are no
// UTF-8.
std::wstring WideFromUtf8(std::string_view text);
std::string Utf8FromWide(std::wstring_view text);
bool IsUtf8(std::string_view text);
void AppendUtf8(std::string &out, uint32_t code_point);
// UTF-16LE units as UTF-8; a lone surrogate becomes U+FFFD.
void AppendUtf8FromUtf16(std::string &out, const unsigned char *bytes, size_t units);
// UTF-8 as UTF-16LE bytes, appended; false (out half written) when the text
// is no UTF-8, which cannot be converted exactly.
bool Utf16FromUtf8(std::string_view text, std::string &out);

// Wide names compared as the spooler compares them: ASCII and Latin-1
// letters without regard to case.
bool EqualNoCaseWide(std::wstring_view a, std::wstring_view b);

// --- hives ------------------------------------------------------------------

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

// "HKEY_CURRENT_USER" and so on: the section prefix and the hive file's name.
const char *RootName(Root root);

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

// Names kept end to end in one block, each ended by a NUL (no name holds
// one), in the order RegEnumKeyA lists them: a key may have hundreds of
// thousands of subkeys, and a string each would cost many times their bytes.
class NameList {
public:
    void Add(std::string_view name);
    // Takes out every name equal to `name` without regard to case.
    void Remove(std::string_view name);
    // Sorts as Windows sorts subkeys (in upper case, byte by byte); of names
    // equal without regard to case, the one added first stays.
    void Sort();
    // For names added in that order already, each once.
    void Sorted();
    size_t size() const { return starts_.size(); }
    std::string_view operator[](size_t i) const { return At(starts_[i]); }

    class Iterator {
    public:
        Iterator(const NameList *list, size_t i) : list_(list), i_(i) {}
        std::string_view operator*() const { return (*list_)[i_]; }
        Iterator &operator++() {
            i_++;
            return *this;
        }
        bool operator!=(const Iterator &other) const { return i_ != other.i_; }

    private:
        const NameList *list_;
        size_t i_;
    };
    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, size()); }

private:
    // Blocks that never move, so that a long list grows without copying.
    static constexpr size_t kBlock = 1u << 20;
    std::string_view At(uint32_t start) const {
        return std::string_view(blocks_[start / kBlock].data() + start % kBlock);
    }
    std::vector<std::string> blocks_;
    std::vector<uint32_t> starts_;  // where each name begins (block and offset), sorted by Sort()
};

// What reading one key gives: its direct subkeys in enumeration order and its
// values in file order (a name defined twice keeps its first place and its
// last data).
struct KeyData {
    NameList subkeys;
    std::vector<Value> values;
    bool has_subkeys = true;  // false: not read yet (ReadKey with subkeys false)
};

// Reads key `path` (components split by '\', "" for the root itself) of a
// hive. Returns ERROR_SUCCESS and fills `out` (when given), ERROR_FILE_NOT_FOUND
// when no section names the key or a key below it, ERROR_REGISTRY_CORRUPT
// when the file cannot be parsed, or the error of reading the file.
// `subkeys` false: the subkeys may be left unread (has_subkeys false), which
// spares a large hive's index a walk through everything below the key.
// `index` false: a hive read whole makes no index (a write follows, which
// would make it stale at once).
LONG ReadKey(Root root, const std::string &path, KeyData *out, bool subkeys = true, bool index = true);

// True when the hive may be changed: its file, or while there is none its
// directory, has a write permission bit.
bool HiveWritable(Root root);

// A change to one key of a hive.
struct HiveEdit {
    enum Kind { None, CreateKey, SetValue, DeleteValue } kind = None;
    std::string path;   // the key
    Value value;        // SetValue: the new value
    std::string match;  // SetValue, DeleteValue: the name of the value replaced
    bool create = false;  // SetValue: make the key (and its path) when missing
};

// Applies `edit` as one transaction under the hive's lock: read and check
// the whole file, edit its text (every other line byte for byte), check that
// the reader finds the edit in the new text, then rename it into place.
// For CreateKey, *created tells whether the key was new.
LONG EditHive(Root root, const HiveEdit &edit, bool *created = nullptr);

// The same, with the edit decided under the lock: `decide` sees key `path` as
// the file holds it now (null when it does not exist) and fills `edit`, or
// fails. An edit left at None changes nothing.
using EditDecision = std::function<LONG(const KeyData *key, HiveEdit &edit)>;
LONG EditHive(Root root, const std::string &path, const EditDecision &decide, bool *created = nullptr);

// The current user's "Device" value of ...\Windows NT\CurrentVersion\Windows
// (the default printer, "NAME,winspool,PORT") as it stands, or false.
bool DeviceValue(std::string &out);

// The path of the store directory, and of a hive's file in it.
std::string StoreDirectory();
std::string HivePath(Root root);

}  // namespace winshim
