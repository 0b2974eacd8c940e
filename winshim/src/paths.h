// Where the store and the cache are, and how a writer reaches a file there:
// from the first component of its path down, one directory at a time, with
// no link followed but the writer's own or root's.
#pragma once

#include "internal.h"
#include "sys.h"

namespace winshim {

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

// "HKEY_CURRENT_USER" and so on: the section prefix and the hive file's name.
const char *RootName(Root root);

// The user's home directory: HOME, else the user's entry in /etc/passwd
// (read here, so that a program linked statically needs no name service);
// empty when there is none.
std::string HomeDirectory();

// The store directory: WINSHIM_REGISTRY, else WINEPREFIX, else
// $XDG_DATA_HOME/winshim/registry, else ~/.local/share/winshim/registry. A
// user without a home directory has no default store: ERROR_PATH_NOT_FOUND,
// said once on standard error.
LONG StoreDirectory(std::string *out);
// The path of a hive's file in the store.
LONG HivePath(Root root, std::string *out);

// The user's cache of indexes, $XDG_CACHE_HOME/winshim, else
// ~/.cache/winshim, opened as FindPlace opens a directory; made when missing
// (with kMakeDirectories), but never the home directory itself.
// ERROR_PATH_NOT_FOUND for a user without a home.
LONG OpenCacheDirectory(unsigned options, Fd *out);

// The directory part of a path ("." for a bare name), and the last part.
std::string Directory(const std::string &path);
std::string Basename(const std::string &path);

// Where a file lies for a process that makes or changes files there: the
// directory that holds it, opened from the first component of the path
// down, and its name in that directory. A symbolic link on the way (a
// directory, or the file itself, or a hop of a link's target) is followed
// only when it is this user's or root's; another's fails the whole with
// ERROR_ACCESS_DENIED, so that root writes nowhere a user's link points.
// The file itself need not exist. Once found, the place does not move: a
// link swapped in on the path afterwards changes nothing for its holder.
struct Place {
    Fd dir;            // the directory (O_PATH)
    std::string name;  // the file's name in it
};
enum PlaceOptions : unsigned {
    kExistingDirectories = 0,
    kMakeDirectories = 1,  // make the missing directories on the way, as the first write does
};
LONG FindPlace(const std::string &path, unsigned options, Place *out);
// The same for a directory, opened itself (O_PATH).
LONG OpenDirectory(const std::string &path, unsigned options, Fd *out);

// A directory that holds a file, opened to read, list or flush (O_RDONLY).
int OpenForListing(int dir);

// Under root, gives file `name` of `dir` (through `fd` when it is not -1)
// the owner of the directory, so that "sudo" does not take a user's store
// away from the user. Most callers take it as best effort; the failure is
// ERROR_ACCESS_DENIED or the like.
LONG InheritOwner(int dir, const char *name, int fd);

}  // namespace winshim
