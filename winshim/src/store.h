// What a write needs of the store's files.
#pragma once

#include "hive.h"

namespace winshim {

// The directory part of a path ("." for a bare name).
std::string Directory(const std::string &path);

// Makes a directory and those above it that are missing.
LONG MakeDirectories(const std::string &dir);

// How long a writer waits for a hive's lock: WINSHIM_LOCK_WAIT seconds,
// else 20.
double LockWait();

// The lock of one hive file, an advisory lock on the file itself, held from
// reading the hive to renaming its new file into place. Each hive has its
// own, so that a writer of one hive never waits for a writer of another.
class HiveLock {
public:
    // Waits up to `wait` seconds for the lock on the hive file at `path` (a
    // link's target), then ERROR_SHARING_VIOLATION. fd() is -1 when there is
    // no file: nothing is locked then, and the first file is linked into
    // place so that it cannot replace one that another writer made.
    LONG Acquire(const std::string &path, double wait);
    int fd() const { return fd_.get(); }
    const struct stat &status() const { return status_; }

private:
    Fd fd_;
    struct stat status_ {};
};

// Removes the temporary files that dead writers left beside the hive file
// `target`: only files named as this store names them, owned by this user,
// whose writer no longer holds their lock. Call it holding the hive's lock.
void RemoveStaleFiles(const std::string &target);

// The new file of a hive, written beside it and put in its place whole.
class NewHiveFile {
public:
    NewHiveFile() = default;
    ~NewHiveFile();  // removes the file unless it was put in place
    NewHiveFile(const NewHiveFile &) = delete;
    NewHiveFile &operator=(const NewHiveFile &) = delete;

    LONG Create(const std::string &target);
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

    Fd fd_;
    std::string path_, target_, buffer_;
    bool copy_range_ = true;
};

}  // namespace winshim
