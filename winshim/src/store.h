// The store's files: its system calls, where the hives are, and what a write
// needs to put a new hive file in place safely.
#pragma once

#include "internal.h"

#include <sys/stat.h>
#include <sys/types.h>

namespace winshim {

// --- system calls -----------------------------------------------------------------

// Each one fails, setting errno, when WINSHIM_FAULTS names it ("open#2=5"
// makes the second open fail with EIO), so that tests can fail every step of
// a write in turn.
namespace sys {
int Open(const char *path, int flags, mode_t mode = 0);
int OpenTemp(char *path_template);  // "open" too: mkostemp
ssize_t Read(int fd, void *buffer, size_t size, off_t offset);  // "read": pread
ssize_t Write(int fd, const void *buffer, size_t size);
// Writes all `size` bytes, a write at a time ("write"); 0, or the errno of
// the write that failed (ENOSPC for one that wrote nothing).
int WriteAll(int fd, const char *data, size_t size);
ssize_t CopyRange(int from, off_t *offset, int to, size_t size);  // "copy_file_range"
int Fsync(int fd);
int Fchmod(int fd, mode_t mode);
int Fchown(int fd, uid_t owner, gid_t group);
int Rename(const char *from, const char *to);
int Link(const char *from, const char *to);
int Flock(int fd, int operation);
int Mkdir(const char *path, mode_t mode);
}  // namespace sys

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            Reset(other.fd_);
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    void Reset(int fd = -1);

private:
    int fd_;
};

// --- where the hives are ----------------------------------------------------------

enum class Root { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

// "HKEY_CURRENT_USER" and so on: the section prefix and the hive file's name.
const char *RootName(Root root);

// The path of the store directory, and of a hive's file in it.
std::string StoreDirectory();
std::string HivePath(Root root);

// The user's home directory: HOME, else the user's entry in /etc/passwd
// (read here, so that a program linked statically needs no name service);
// empty when there is none.
std::string HomeDirectory();

// True when the hive may be changed: its file, or while there is none its
// directory, has a write permission bit.
bool HiveWritable(Root root);

// The directory part of a path ("." for a bare name).
std::string Directory(const std::string &path);

// Opens a hive file to read: `fd` stays -1 when there is none, which is an
// empty hive. Anything but a regular file (a FIFO, a device, a directory)
// fails with ERROR_REGISTRY_IO_FAILED before a byte is read; `st` receives
// the file's status.
LONG OpenHiveFile(const std::string &path, Fd &fd, struct stat *st);

// The file a hive's name stands for: symbolic links followed, the last one
// to its target's path even when that does not exist yet. A link is followed
// only when it is the caller's or root's (ERROR_ACCESS_DENIED otherwise):
// root writing into a user's store does not write where the user points it.
LONG HiveTarget(const std::string &path, std::string *target);

// --- writing ----------------------------------------------------------------------

// Under root, gives the file or directory `path` (through `fd` when it is
// not -1) the owner of the directory it was made in, so that "sudo" does not
// take a user's store away from the user. Best effort.
void InheritOwner(const std::string &path, int fd);

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
