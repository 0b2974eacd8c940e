// Answering a question about one key of a hive.
#pragma once

#include "lists.h"
#include "store.h"

#include <map>
#include <set>

namespace winshim {

// Reads key `path` (components split by '\', "" for the root itself) of a
// hive. Returns ERROR_SUCCESS and fills `out` (when given), ERROR_FILE_NOT_FOUND
// when no section names the key or a key below it, ERROR_REGISTRY_CORRUPT
// when the file cannot be parsed, or the error of reading the file.
// `options`: what the reading may leave out. The subkeys and values come in
// the hive's order (Windows' for a regedit file, Wine's for a Wine file).
enum ReadOptions : unsigned {
    kWholeKey = 0,
    // The subkeys may be left unread (has_subkeys false), which spares a
    // large hive's index a walk through everything below the key.
    kSubkeysLater = 1,
    // A hive read whole makes no index: a write follows, which would make it
    // stale at once.
    kNoNewIndex = 2,
};
LONG ReadKey(const Hive &hive, const std::string &path, KeyData *out, unsigned options = kWholeKey);

// The link keys of a Wine file and the keys with a subkey Wow6432Node (see
// PathFacts in index.h), from its index or one whole reading, kept for the
// process while the file stays the same. Null with the error of reading it.
struct PathFacts;
const PathFacts *FactsOf(const Hive &hive, LONG *rc);

}  // namespace winshim
