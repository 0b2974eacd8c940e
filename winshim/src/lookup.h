// Answering a question about one key of a hive.
#pragma once

#include "lists.h"
#include "store.h"

namespace winshim {

// Reads key `path` (components split by '\', "" for the root itself) of a
// hive. Returns ERROR_SUCCESS and fills `out` (when given), ERROR_FILE_NOT_FOUND
// when no section names the key or a key below it, ERROR_REGISTRY_CORRUPT
// when the file cannot be parsed, or the error of reading the file.
// `options`: what the reading may leave out.
enum ReadOptions : unsigned {
    kWholeKey = 0,
    // The subkeys may be left unread (has_subkeys false), which spares a
    // large hive's index a walk through everything below the key.
    kSubkeysLater = 1,
    // A hive read whole makes no index: a write follows, which would make it
    // stale at once.
    kNoNewIndex = 2,
};
LONG ReadKey(Root root, const std::string &path, KeyData *out, unsigned options = kWholeKey);

}  // namespace winshim
