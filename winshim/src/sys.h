// The system calls of winshim: every file, directory, lock and terminal call
// that the store, the index, the console and the other Win32 functions
// make goes through here, and nowhere else (scripts/lint checks it).
//
// Each call that can fail does so on demand: WINSHIM_FAULTS names it by the
// name in the table below ("open#2=5" makes the second open of the process
// fail with EIO), so that a test can fail every step of a write in turn. The
// calls of one name share its count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

// The names that WINSHIM_FAULTS knows, one a line (tests read this list).
#define WINSHIM_SYSTEM_CALLS(X) \
    X(open)                     \
    X(read)                     \
    X(write)                    \
    X(copy_file_range)          \
    X(fsync)                    \
    X(fchmod)                   \
    X(fchown)                   \
    X(rename)                   \
    X(link)                     \
    X(unlink)                   \
    X(flock)                    \
    X(fcntl)                    \
    X(mkdir)                    \
    X(stat)                     \
    X(readlink)                 \
    X(readdir)                  \
    X(statvfs)                  \
    X(dlopen)

namespace winshim {
namespace sys {

// --- files ----------------------------------------------------------------------

int Open(const char *path, int flags, mode_t mode = 0);                  // open
int OpenAt(int dir, const char *name, int flags, mode_t mode = 0);       // open
void Close(int fd);                                                      // never fails
ssize_t Read(int fd, void *buffer, size_t size, off_t offset);           // read: pread
ssize_t ReadOn(int fd, void *buffer, size_t size);                       // read: from where it stands
ssize_t Write(int fd, const void *buffer, size_t size);                  // write
ssize_t WriteAt(int fd, const void *buffer, size_t size, off_t offset);  // write: pwrite
// Writes all `size` bytes, a write at a time; 0, or the errno of the write
// that failed (ENOSPC for one that wrote nothing).
int WriteAll(int fd, const char *data, size_t size);
ssize_t CopyRange(int from, off_t *offset, int to, size_t size);  // copy_file_range
int Fsync(int fd);                                                // fsync
int Fchmod(int fd, mode_t mode);                                  // fchmod
int Fchown(int fd, uid_t owner, gid_t group);                     // fchown
int FchownAt(int dir, const char *name, uid_t owner, gid_t group);  // fchown: the name itself, no link followed
int RenameAt(int dir, const char *from, const char *to);          // rename, within one directory
int LinkAt(int from_dir, const char *from, int to_dir, const char *to, int flags);  // link
int UnlinkAt(int dir, const char *name, int flags);               // unlink
int Flock(int fd, int operation);                                 // flock
int MkdirAt(int dir, const char *name, mode_t mode);              // mkdir
int Stat(const char *path, struct stat *st);                      // stat
int Fstat(int fd, struct stat *st);                               // stat
int FstatAt(int dir, const char *name, struct stat *st, int flags);  // stat
ssize_t ReadLink(const char *path, char *buffer, size_t size);    // readlink
// The target of the link that `fd` (O_PATH | O_NOFOLLOW) stands for.
ssize_t ReadLinkOf(int fd, char *buffer, size_t size);            // readlink
int Fstatvfs(int fd, struct statvfs *st);                         // statvfs
// The path with every link followed, into `resolved` (PATH_MAX bytes).
bool RealPath(const char *path, char *resolved);                  // stat
// The names in directory `dir` but "." and "..".
int ListDirectory(int dir, std::vector<std::string> *names);      // readdir
// fcntl's record locks on a whole file: F_RDLCK, F_WRLCK or F_UNLCK.
int SetRecordLock(int fd, short type);                            // fcntl: F_SETLK
int RecordLockHolder(int fd, short type, pid_t *holder);           // fcntl: F_GETLK, 0 when none

// A shared library loaded (RTLD_NOW | RTLD_LOCAL), and a function of it.
void *LoadLibrary(const char *name);                              // dlopen
void *LibraryFunction(void *library, const char *name);

// --- the process ----------------------------------------------------------------

uid_t EffectiveUser();
uid_t RealUser();
mode_t Umask();                // the process's umask, left as it was
double Now();                  // seconds of a monotonic clock
int64_t WallClockNs();         // the real-time clock that dates files, coarse
void Sleep(double seconds);
bool IsTerminal(int fd);
uint64_t RandomBits();         // for names that must not be guessed twice

// Appends `line` to the file `path` in one write, outside the faults:
// the logs that tests read (faults injected, message boxes).
void AppendUnfaulted(const char *path, const std::string &line);
// Writes `text` to `fd` in one write, outside the faults: winshim's own
// messages on standard error.
void WriteUnfaulted(int fd, const std::string &text);

}  // namespace sys

// An open file descriptor, closed with its owner.
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
    void Reset(int fd = -1) {
        if (fd_ >= 0)
            sys::Close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

}  // namespace winshim
