// The system calls of winshim, each behind WINSHIM_FAULTS by the name of the
// table in sys.h. Nothing else in winshim calls the system for files,
// directories, locks or terminals.

#include "sys.h"

#include "internal.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

namespace winshim {
namespace sys {
namespace {

enum Call {
#define WINSHIM_CALL_ENUM(name) k_##name,
    WINSHIM_SYSTEM_CALLS(WINSHIM_CALL_ENUM)
#undef WINSHIM_CALL_ENUM
};

const char *const kCallNames[] = {
#define WINSHIM_CALL_NAME(name) #name,
    WINSHIM_SYSTEM_CALLS(WINSHIM_CALL_NAME)
#undef WINSHIM_CALL_NAME
};

// True, with errno set, when WINSHIM_FAULTS fails this call.
bool Injected(Call call) {
    if (DWORD code = InjectedFault(kCallNames[call])) {
        errno = static_cast<int>(code);
        return true;
    }
    return false;
}

}  // namespace

// --- files ----------------------------------------------------------------------

int Open(const char *path, int flags, mode_t mode) { return Injected(k_open) ? -1 : open(path, flags, mode); }
int OpenAt(int dir, const char *name, int flags, mode_t mode) {
    return Injected(k_open) ? -1 : openat(dir, name, flags, mode);
}
void Close(int fd) { close(fd); }
ssize_t Read(int fd, void *buffer, size_t size, off_t offset) {
    return Injected(k_read) ? -1 : pread(fd, buffer, size, offset);
}
ssize_t ReadOn(int fd, void *buffer, size_t size) { return Injected(k_read) ? -1 : read(fd, buffer, size); }
ssize_t Write(int fd, const void *buffer, size_t size) { return Injected(k_write) ? -1 : write(fd, buffer, size); }
ssize_t WriteAt(int fd, const void *buffer, size_t size, off_t offset) {
    return Injected(k_write) ? -1 : pwrite(fd, buffer, size, offset);
}
int WriteAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = Write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}
ssize_t CopyRange(int from, off_t *offset, int to, size_t size) {
    return Injected(k_copy_file_range) ? -1 : copy_file_range(from, offset, to, nullptr, size, 0);
}
int Fsync(int fd) { return Injected(k_fsync) ? -1 : fsync(fd); }
int Fchmod(int fd, mode_t mode) { return Injected(k_fchmod) ? -1 : fchmod(fd, mode); }
int Fchown(int fd, uid_t owner, gid_t group) { return Injected(k_fchown) ? -1 : fchown(fd, owner, group); }
int FchownAt(int dir, const char *name, uid_t owner, gid_t group) {
    return Injected(k_fchown) ? -1 : fchownat(dir, name, owner, group, AT_SYMLINK_NOFOLLOW);
}
int RenameAt(int dir, const char *from, const char *to) {
    return Injected(k_rename) ? -1 : renameat(dir, from, dir, to);
}
int LinkAt(int from_dir, const char *from, int to_dir, const char *to, int flags) {
    return Injected(k_link) ? -1 : linkat(from_dir, from, to_dir, to, flags);
}
int UnlinkAt(int dir, const char *name, int flags) { return Injected(k_unlink) ? -1 : unlinkat(dir, name, flags); }
int Flock(int fd, int operation) { return Injected(k_flock) ? -1 : flock(fd, operation); }
int MkdirAt(int dir, const char *name, mode_t mode) { return Injected(k_mkdir) ? -1 : mkdirat(dir, name, mode); }
int Stat(const char *path, struct stat *st) { return Injected(k_stat) ? -1 : stat(path, st); }
int Fstat(int fd, struct stat *st) { return Injected(k_stat) ? -1 : fstat(fd, st); }
int FstatAt(int dir, const char *name, struct stat *st, int flags) {
    return Injected(k_stat) ? -1 : fstatat(dir, name, st, flags);
}
ssize_t ReadLink(const char *path, char *buffer, size_t size) {
    return Injected(k_readlink) ? -1 : readlink(path, buffer, size);
}
ssize_t ReadLinkOf(int fd, char *buffer, size_t size) {
    return Injected(k_readlink) ? -1 : readlinkat(fd, "", buffer, size);
}
int Fstatvfs(int fd, struct statvfs *st) { return Injected(k_statvfs) ? -1 : fstatvfs(fd, st); }
bool RealPath(const char *path, char *resolved) { return !Injected(k_stat) && realpath(path, resolved) != nullptr; }

int ListDirectory(int dir, std::vector<std::string> *names) {
    names->clear();
    if (Injected(k_readdir))
        return -1;
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *list = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!list) {
        int err = errno;
        if (fd >= 0)
            close(fd);
        errno = err;
        return -1;
    }
    while (const dirent *entry = readdir(list)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names->push_back(std::move(name));
    }
    closedir(list);
    return 0;
}

namespace {
struct flock WholeFile(short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}
}  // namespace

int SetRecordLock(int fd, short type) {
    if (Injected(k_fcntl))
        return -1;
    struct flock lock = WholeFile(type);
    return fcntl(fd, F_SETLK, &lock);
}

int RecordLockHolder(int fd, short type, pid_t *holder) {
    if (Injected(k_fcntl))
        return -1;
    struct flock lock = WholeFile(type);
    if (fcntl(fd, F_GETLK, &lock) != 0)
        return -1;
    *holder = lock.l_type == F_UNLCK ? 0 : lock.l_pid;
    return 0;
}

void *LoadLibrary(const char *name) {
    if (Injected(k_dlopen))
        return nullptr;
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}
void *LibraryFunction(void *library, const char *name) { return dlsym(library, name); }

// --- the process ----------------------------------------------------------------

uid_t EffectiveUser() { return geteuid(); }
uid_t RealUser() { return getuid(); }

mode_t Umask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int64_t WallClockNs() {
    timespec now;
    if (clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0)
        return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Sleep(double seconds) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool IsTerminal(int fd) { return isatty(fd) != 0; }

uint64_t RandomBits() {
    uint64_t bits;
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits))
        return bits;
    static uint64_t counter = 0;  // no entropy yet: the clock, the process and a count
    return (static_cast<uint64_t>(WallClockNs()) ^ (static_cast<uint64_t>(getpid()) << 32)) + ++counter;
}

void AppendUnfaulted(const char *path, const std::string &line) {
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    ssize_t written = write(fd, line.data(), line.size());  // one write: processes do not mix lines
    (void)written;
    close(fd);
}

void WriteUnfaulted(int fd, const std::string &text) {
    ssize_t written = write(fd, text.data(), text.size());
    (void)written;
}

}  // namespace sys
}  // namespace winshim
