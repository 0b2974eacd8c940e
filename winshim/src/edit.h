// Changes to hive files, each one transaction under the hive's lock.
#pragma once

#include "lists.h"
#include "store.h"

#include <functional>

namespace winshim {

// A change to one key of a hive.
struct HiveEdit {
    enum Kind { None, CreateKey, SetValue, DeleteValue } kind = None;
    std::string path;   // the key
    Value value;        // SetValue: the new value
    std::string match;  // SetValue, DeleteValue: the name of the value replaced
    bool create = false;  // SetValue: make the key (and its path) when missing

    // Makes the key and every missing key on its path.
    static HiveEdit Create(std::string path) { return {CreateKey, std::move(path), {}, {}, false}; }
    // Stores `value` in place of the value named `replaced` (its own name, or
    // the old name of a value renamed); `make_key` makes the key when missing.
    static HiveEdit Set(std::string path, Value value, std::string replaced, bool make_key) {
        return {SetValue, std::move(path), std::move(value), std::move(replaced), make_key};
    }
    // Removes the value named `name`.
    static HiveEdit Delete(std::string path, std::string name) {
        return {DeleteValue, std::move(path), {}, std::move(name), false};
    }
};

// Applies `edit` as one transaction under the hive's lock: read and check
// the whole file, edit its text (every other line byte for byte), check that
// the reader finds the edit in the new text, then rename it into place.
// For CreateKey, *created tells whether the key was new.
LONG EditHive(const Hive &hive, const HiveEdit &edit, bool *created = nullptr);

// The same, with the edit decided under the lock: `decide` sees key `path` as
// the file holds it now (null when it does not exist) and fills `edit`, or
// fails. An edit left at None changes nothing.
using EditDecision = std::function<LONG(const KeyData *key, HiveEdit &edit)>;
LONG EditHive(const Hive &hive, const std::string &path, const EditDecision &decide, bool *created = nullptr);

}  // namespace winshim
