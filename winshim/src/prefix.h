// A Wine prefix as the store: its registry files and what their headers
// say, the lock of the wineserver that may run for it, and the drives
// through which its programs name the file system.
#pragma once

#include "paths.h"
#include "store.h"

namespace winshim {

// The store directory as a Wine prefix: one that holds a file system.reg.
struct Prefix {
    std::string dir;
    bool win64 = false;  // "#arch=win64": a 32-bit program sees the 32-bit view
    std::string sid;     // the user of user.reg ("S-1-5-21-0-0-0-1000"); empty without one
    Hive machine, user, defaults;  // system.reg, user.reg, userdef.reg
};

// The prefix that the store is, or null for a store of regedit files (and
// for no store, *rc then its error). A system.reg whose first line is not
// Wine's header makes every key fail with ERROR_REGISTRY_CORRUPT, said once:
// such a prefix is never written to, nor taken for a store of regedit files.
const Prefix *StorePrefix(LONG *rc);

// The lock that a starting wineserver takes for the prefix, held in every
// place where one may look for it, so that none starts (and loads a hive
// half written) while a write goes on. A wineserver that runs already
// holds it: ERROR_SHARING_VIOLATION then, said once on standard error with
// how to end it. Released with this.
class ServerLock {
public:
    LONG Acquire(const Prefix &prefix);

private:
    std::vector<Fd> locks_;
};

// A path of this system as the prefix's programs name it, through the
// drives of its dosdevices ("C:\Tessel", "Z:\home\me"): the drive that
// reaches deepest. False when no drive reaches it.
bool DosPath(const Prefix &prefix, const std::string &path, std::string *out);
// A path of a drive ("C:\x", "c:/x") as this system names it; false for a
// path that names no drive.
bool UnixPath(const Prefix &prefix, const std::string &path, std::string *out);

}  // namespace winshim
