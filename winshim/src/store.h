// The store's hive files: opening one to read, and what a write needs to put
// a new file in its place safely: the hive's lock with a bounded wait, a
// temporary file beside the hive, owner and mode kept, and the clean-up of
// files that dead writers left. A writer works in the directory that
// FindPlace found, whatever happens to the path meanwhile.
#pragma once

#include "paths.h"

namespace winshim {

// How a hive file is written: a regedit export, or a Wine prefix's own file.
enum class HiveFormat { Regedit, Wine };

// A hive file: where it is, how it is written, and, for a regedit file, the
// root whose name its sections begin with (a Wine file's are relative).
struct Hive {
    std::string file;
    HiveFormat format = HiveFormat::Regedit;
    // A regedit file: "HKEY_CURRENT_USER", ...; a Wine file: the key that its
    // sections are relative to ("REGISTRY\Machine").
    std::string root;
    std::string arch;  // a Wine file's "#arch=": "win64" or "win32"
    bool wine() const { return format == HiveFormat::Wine; }
};

// True when the hive may be changed: its file, or while there is none its
// directory, has a write permission bit.
bool HiveWritable(const Hive &hive);

// Opens a hive file to read: `fd` stays -1 when there is none, which is an
// empty hive. Anything but a regular file (a FIFO, a device, a directory)
// fails with ERROR_REGISTRY_IO_FAILED before a byte is read; `st` receives
// the file's status. By its path, links and all: a reading moves nothing.
LONG OpenHiveFile(const std::string &path, Fd &fd, struct stat *st);
// The same for the file at a place, whose name is no link: a link put there
// since the place was found fails with ERROR_CANT_RESOLVE_FILENAME.
LONG OpenHiveFile(const Place &place, Fd &fd, struct stat *st);

// True when two statuses are of the same file in the same version: device,
// inode, size, and the times of its last change and modification to the
// nanosecond.
bool SameFileVersion(const struct stat &a, const struct stat &b);

// How long a writer waits for a hive's lock: WINSHIM_LOCK_WAIT seconds,
// else 20.
double LockWait();

// The lock of one hive file, an advisory lock on the file itself, held from
// reading the hive to renaming its new file into place. Each hive has its
// own, so that a writer of one hive never waits for a writer of another.
class HiveLock {
public:
    // Waits up to `wait` seconds for the lock on the hive file at `place`,
    // then ERROR_SHARING_VIOLATION. fd() is -1 when there is no file:
    // nothing is locked then, and the first file is linked into place so
    // that it cannot replace one that another writer made.
    LONG Acquire(const Place &place, double wait);
    int fd() const { return fd_.get(); }
    const struct stat &status() const { return status_; }

private:
    Fd fd_;
    struct stat status_ {};
};

// Removes the temporary files that dead writers left beside the hive file at
// `place`: only files named as this store names them, owned by this user,
// whose writer no longer holds their lock, or that are another name of the
// hive itself (`hive`: a first file linked into place by a writer that died
// before it removed its temporary name). Call it holding the hive's lock.
void RemoveStaleFiles(const Place &place, const struct stat &hive);

// The new file of a hive, written beside it and put in its place whole.
class NewHiveFile {
public:
    NewHiveFile() = default;
    ~NewHiveFile();  // removes the file unless it was put in place
    NewHiveFile(const NewHiveFile &) = delete;
    NewHiveFile &operator=(const NewHiveFile &) = delete;

    // Beside the hive file at `place`, which must outlive this.
    LONG Create(const Place &place);
    LONG Write(const char *data, size_t size);
    LONG Write(std::string_view text) { return Write(text.data(), text.size()); }
    // Appends `size` bytes of file `fd` from `offset`.
    LONG CopyFrom(int fd, uint64_t offset, uint64_t size);
    // Flushed, with the owner, group and mode of `old` (or, for a hive's
    // first file, a new file's mode, and under root the directory's owner).
    LONG Finish(const struct stat *old);
    int fd() const { return fd_.get(); }
    // Renames it over the hive file, or links it as the hive's first file;
    // *retry when another writer made the first file meanwhile.
    LONG PutInPlace(bool replace, bool *retry);

private:
    static constexpr size_t kBuffer = 1u << 20;
    LONG Flush();
    LONG WriteAll(const char *data, size_t size);

    const Place *place_ = nullptr;
    Fd fd_;
    std::string name_, buffer_;  // the temporary file's name, while it is there
    bool copy_range_ = true;
};

}  // namespace winshim
