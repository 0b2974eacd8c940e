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

}  // namespace winshim
