// Where a key of the registry lies: which hive file holds each root's keys,
// in a store of regedit files or in a Wine prefix, and, in a prefix, the key
// that a program's path leads to, through link keys and, for a 32-bit
// program in a 64-bit prefix, the keys' Wow6432Node.
#pragma once

#include "edit.h"
#include "lookup.h"
#include "prefix.h"

namespace winshim {

// A key of a hive file.
struct Location {
    Hive hive;
    std::string path;
};

// The registry as a program of some width sees it. Default: a 64-bit
// prefix shows the 32-bit view, as the shipped 32-bit programs see it
// (WINSHIM_VIEW=64: the 64-bit view); KEY_WOW64_32KEY and KEY_WOW64_64KEY
// ask for one.
enum class View { Default, Bits32, Bits64 };

// The keys that `path` below `root` names: one; for HKEY_CLASSES_ROOT of a
// prefix, the current user's key of Software\Classes (where it exists) and
// the machine's, which Windows merges, the user's first; none for the root
// of HKEY_USERS in a prefix, whose subkeys are the users (UsersOfPrefix).
// ERROR_FILE_NOT_FOUND for a path no key can lie at (a link to nowhere, a
// loop of links, a user HKEY_USERS does not hold).
LONG Locate(Root root, const std::string &path, View view, std::vector<Location> *out);

// Where a write to the key lies: the key itself, or for HKEY_CLASSES_ROOT
// the machine's, but the user's where `value` is set in a key the user has.
LONG LocateForWrite(Root root, const std::string &path, View view, bool value, Location *out);

// The users that HKEY_USERS lists in a prefix (".Default" and the SID of
// user.reg), in Wine's order; false in a store of regedit files.
bool UsersOfPrefix(std::vector<std::string> *names);

// A key of the store, as the spooler reads and changes its state where
// Windows keeps it: the default view, one location.
LONG ReadStoreKey(Root root, const std::string &path, KeyData *out, unsigned options = kWholeKey);
LONG EditStoreKey(Root root, const std::string &path, const EditDecision &decide);
bool StoreWritable(Root root);

}  // namespace winshim
