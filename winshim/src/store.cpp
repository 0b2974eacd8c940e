// The store's files: where the hives are, opening one to read, and what a
// write needs to put a new hive file in place safely: the hive's lock with a
// bounded wait, a temporary file beside the hive, owner and mode kept, and
// the clean-up of files that dead writers left.

#include "store.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace winshim {

// --- system calls -----------------------------------------------------------------

namespace sys {
namespace {
bool Injected(const char *call) {
    if (DWORD code = InjectedFault(call)) {
        errno = static_cast<int>(code);
        return true;
    }
    return false;
}
}  // namespace

int Open(const char *path, int flags, mode_t mode) { return Injected("open") ? -1 : open(path, flags, mode); }
int OpenTemp(char *path_template) { return Injected("open") ? -1 : mkostemp(path_template, O_CLOEXEC); }
ssize_t Read(int fd, void *buffer, size_t size, off_t offset) {
    return Injected("read") ? -1 : pread(fd, buffer, size, offset);
}
ssize_t Write(int fd, const void *buffer, size_t size) { return Injected("write") ? -1 : write(fd, buffer, size); }
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
    return Injected("copy_file_range") ? -1 : copy_file_range(from, offset, to, nullptr, size, 0);
}
int Fsync(int fd) { return Injected("fsync") ? -1 : fsync(fd); }
int Fchmod(int fd, mode_t mode) { return Injected("fchmod") ? -1 : fchmod(fd, mode); }
int Fchown(int fd, uid_t owner, gid_t group) { return Injected("fchown") ? -1 : fchown(fd, owner, group); }
int Rename(const char *from, const char *to) { return Injected("rename") ? -1 : rename(from, to); }
int Link(const char *from, const char *to) { return Injected("link") ? -1 : link(from, to); }
int Flock(int fd, int operation) { return Injected("flock") ? -1 : flock(fd, operation); }
int Mkdir(const char *path, mode_t mode) { return Injected("mkdir") ? -1 : mkdir(path, mode); }
}  // namespace sys

void Fd::Reset(int fd) {
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

// --- where the hives are ----------------------------------------------------------

std::string HomeDirectory() {
    const char *home = getenv("HOME");
    if (home && *home)
        return home;
    std::string found;
    if (FILE *passwd = fopen("/etc/passwd", "re")) {
        char line[4096];
        std::string uid = std::to_string(getuid());
        while (fgets(line, sizeof line, passwd)) {
            // name:password:uid:gid:gecos:home:shell
            std::vector<std::string> fields(1);
            for (const char *p = line; *p && *p != '\n'; p++)
                if (*p == ':')
                    fields.emplace_back();
                else
                    fields.back() += *p;
            if (fields.size() >= 6 && fields[2] == uid && !fields[5].empty()) {
                found = fields[5];
                break;
            }
        }
        fclose(passwd);
    }
    return found;
}

namespace {

// A directory named by an XDG variable, which counts only when absolute.
std::string XdgDirectory(const char *variable, const char *fallback) {
    const char *dir = getenv(variable);
    if (dir && *dir == '/')
        return dir;
    std::string home = HomeDirectory();
    return (home.empty() ? "/" : home) + fallback;
}

}  // namespace

const char *RootName(Root root) {
    switch (root) {
    case Root::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case Root::CurrentUser: return "HKEY_CURRENT_USER";
    case Root::LocalMachine: return "HKEY_LOCAL_MACHINE";
    case Root::Users: return "HKEY_USERS";
    case Root::CurrentConfig: return "HKEY_CURRENT_CONFIG";
    }
    return "";
}

std::string StoreDirectory() {
    const char *dir = getenv("WINSHIM_REGISTRY");
    if (dir && *dir)
        return dir;
    return XdgDirectory("XDG_DATA_HOME", "/.local/share") + "/winshim/registry";
}

std::string HivePath(Root root) { return StoreDirectory() + "/" + RootName(root) + ".reg"; }

bool HiveWritable(Root root) {
    struct stat st;
    if (stat(HivePath(root).c_str(), &st) == 0)
        return (st.st_mode & 0222) != 0;
    if (stat(StoreDirectory().c_str(), &st) == 0)
        return (st.st_mode & 0222) != 0;
    return true;  // made on the first write
}

std::string Directory(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

LONG HiveTarget(const std::string &path, std::string *target) {
    std::string current = path;
    for (int hops = 0; hops < 40; hops++) {
        char text[PATH_MAX];
        ssize_t n = readlink(current.c_str(), text, sizeof text);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof text)
            break;  // no link (or none we can follow): the path itself
        struct stat st;
        if (lstat(current.c_str(), &st) != 0)
            return Win32FromErrno(errno);
        if (st.st_uid != geteuid() && st.st_uid != 0)
            return ERROR_ACCESS_DENIED;
        std::string link(text, static_cast<size_t>(n));
        if (link[0] != '/') {
            std::string base = Directory(current);
            base += '/';
            link.insert(0, base);
        }
        current = std::move(link);
    }
    *target = std::move(current);
    return ERROR_SUCCESS;
}

LONG OpenHiveFile(const std::string &path, Fd &fd, struct stat *st) {
    // Not blocking, so that a FIFO cannot hold the open; it is refused below.
    fd.Reset(sys::Open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0)
        return errno == ENOENT ? ERROR_SUCCESS : Win32FromErrno(errno);
    if (fstat(fd.get(), st) != 0)
        return Win32FromErrno(errno);
    if (!S_ISREG(st->st_mode)) {
        fd.Reset();
        return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_SUCCESS;
}

// --- writing ----------------------------------------------------------------------

void InheritOwner(const std::string &path, int fd) {
    struct stat parent;
    if (geteuid() != 0 || stat(Directory(path).c_str(), &parent) != 0)
        return;
    int rc = fd >= 0 ? fchown(fd, parent.st_uid, parent.st_gid) : chown(path.c_str(), parent.st_uid, parent.st_gid);
    (void)rc;  // best effort: the file is root's then
}

namespace {

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool SameFile(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

LONG MakeDirectories(const std::string &dir) {
    struct stat st;
    if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return ERROR_SUCCESS;
    for (size_t i = 1; i <= dir.size(); i++) {
        if (i < dir.size() && dir[i] != '/')
            continue;
        std::string part = dir.substr(0, i);
        if (sys::Mkdir(part.c_str(), 0777) == 0)
            InheritOwner(part, -1);
        else if (errno != EEXIST)
            return Win32FromErrno(errno);
    }
    return ERROR_SUCCESS;
}

double LockWait() {
    uint64_t seconds = 20;
    if (const char *text = getenv("WINSHIM_LOCK_WAIT")) {
        uint64_t n;
        static bool reported = false;
        if (ParseUnsigned(text, false, 3600, &n))
            seconds = n;
        else if (!reported)
            fprintf(stderr, "winshim: WINSHIM_LOCK_WAIT: ignoring \"%s\"\n", text);
        reported = true;
    }
    return static_cast<double>(seconds);
}

LONG HiveLock::Acquire(const std::string &path, double wait) {
    double deadline = Now() + wait;
    for (;;) {
        if (LONG rc = OpenHiveFile(path, fd_, &status_))
            return rc;
        if (fd_.get() < 0)
            return ERROR_SUCCESS;  // no file yet: nothing to lock
        // Polled, so that a writer that stopped holding it (SIGSTOP, a hung
        // disk) costs the others a bounded wait, not their whole run.
        long delay_us = 1000;
        for (;;) {
            if (sys::Flock(fd_.get(), LOCK_EX | LOCK_NB) == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                return Win32FromErrno(errno);
            double left = deadline - Now();
            if (left <= 0)
                return ERROR_SHARING_VIOLATION;
            long sleep_us = delay_us < left * 1e6 ? delay_us : static_cast<long>(left * 1e6) + 1;
            usleep(static_cast<useconds_t>(sleep_us));
            delay_us = delay_us * 2 > 50000 ? 50000 : delay_us * 2;
        }
        // The writer before us may have renamed a new file over the one we
        // waited on: the lock counts only on the file that stands there now.
        struct stat now;
        if (stat(path.c_str(), &now) == 0 && SameFile(now, status_) && fstat(fd_.get(), &status_) == 0)
            return ERROR_SUCCESS;
        if (Now() > deadline)
            return ERROR_SHARING_VIOLATION;
    }
}

// Temporary files are named ".NAME.winshim-XXXXXX" beside the hive file NAME,
// and locked by their writer for as long as it lives.
namespace {
std::string TempPrefix(const std::string &target) {
    size_t slash = target.rfind('/');
    return "." + target.substr(slash == std::string::npos ? 0 : slash + 1) + ".winshim-";
}

bool IsTempName(const char *name, const std::string &prefix) {
    if (strncmp(name, prefix.c_str(), prefix.size()) != 0 || strlen(name) != prefix.size() + 6)
        return false;
    for (const char *p = name + prefix.size(); *p; p++)
        if (!((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9')))
            return false;
    return true;
}
}  // namespace

void RemoveStaleFiles(const std::string &target) {
    std::string prefix = TempPrefix(target);
    DIR *dir = opendir(Directory(target).c_str());
    if (!dir)
        return;
    while (const dirent *entry = readdir(dir)) {
        if (!IsTempName(entry->d_name, prefix))
            continue;
        // Only a regular file of ours whose writer no longer holds its lock.
        int fd = openat(dirfd(dir), entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_uid == geteuid() || geteuid() == 0) &&
            flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlinkat(dirfd(dir), entry->d_name, 0);
        close(fd);
    }
    closedir(dir);
}

NewHiveFile::~NewHiveFile() {
    if (!path_.empty())
        unlink(path_.c_str());
}

LONG NewHiveFile::Create(const std::string &target) {
    target_ = target;
    std::string path = Directory(target) + "/" + TempPrefix(target) + "XXXXXX";
    fd_.Reset(sys::OpenTemp(&path[0]));
    if (fd_.get() < 0)
        return Win32FromErrno(errno);
    path_ = path;
    if (sys::Flock(fd_.get(), LOCK_EX | LOCK_NB) != 0)
        return Win32FromErrno(errno);
    buffer_.reserve(kBuffer);
    return ERROR_SUCCESS;
}

LONG NewHiveFile::Write(const char *data, size_t size) {
    if (buffer_.size() + size > kBuffer)
        if (LONG rc = Flush())
            return rc;
    if (size >= kBuffer)
        return WriteAll(data, size);
    buffer_.append(data, size);
    return ERROR_SUCCESS;
}

LONG NewHiveFile::CopyFrom(int fd, uint64_t offset, uint64_t size) {
    if (LONG rc = Flush())
        return rc;
    // In the kernel where it can, so that the bytes of a large hive are not
    // carried through this process twice.
    off_t at = static_cast<off_t>(offset);
    while (size > 0 && copy_range_) {
        ssize_t n = sys::CopyRange(fd, &at, fd_.get(), size < (1u << 30) ? static_cast<size_t>(size) : 1u << 30);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
            copy_range_ = false;
            break;
        }
        if (n <= 0)
            return n < 0 ? Win32FromErrno(errno) : ERROR_REGISTRY_IO_FAILED;  // shorter than it was
        size -= static_cast<uint64_t>(n);
    }
    std::vector<char> block(size < kBuffer ? static_cast<size_t>(size) : kBuffer);
    while (size > 0) {
        ssize_t n = sys::Read(fd, block.data(), size < block.size() ? static_cast<size_t>(size) : block.size(), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? Win32FromErrno(errno) : ERROR_REGISTRY_IO_FAILED;
        if (LONG rc = WriteAll(block.data(), static_cast<size_t>(n)))
            return rc;
        at += n;
        size -= static_cast<uint64_t>(n);
    }
    return ERROR_SUCCESS;
}

LONG NewHiveFile::Flush() {
    LONG rc = WriteAll(buffer_.data(), buffer_.size());
    buffer_.clear();
    return rc;
}

LONG NewHiveFile::WriteAll(const char *data, size_t size) {
    int err = sys::WriteAll(fd_.get(), data, size);
    return err ? Win32FromErrno(err) : ERROR_SUCCESS;
}

LONG NewHiveFile::Finish(const struct stat *old) {
    if (LONG rc = Flush())
        return rc;
    uid_t owner = static_cast<uid_t>(-1);
    gid_t group = static_cast<gid_t>(-1);
    mode_t mode;
    struct stat parent;
    if (old) {
        owner = old->st_uid;
        group = old->st_gid;
        mode = old->st_mode & 07777;
    } else {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
        if (geteuid() == 0 && stat(Directory(target_).c_str(), &parent) == 0) {
            owner = parent.st_uid;
            group = parent.st_gid;
        }
    }
    // Owner first: a change of owner may clear bits of the mode.
    if (sys::Fchown(fd_.get(), owner, group) != 0 || sys::Fchmod(fd_.get(), mode) != 0 || sys::Fsync(fd_.get()) != 0)
        return errno == EPERM ? ERROR_ACCESS_DENIED : Win32FromErrno(errno);
    return ERROR_SUCCESS;
}

LONG NewHiveFile::PutInPlace(bool replace, bool *retry) {
    *retry = false;
    if (replace) {
        if (sys::Rename(path_.c_str(), target_.c_str()) != 0)
            return Win32FromErrno(errno);
    } else {
        // The first file of a hive: linked, which fails when another writer
        // made one meanwhile, instead of renamed over it.
        if (sys::Link(path_.c_str(), target_.c_str()) != 0) {
            int err = errno;
            if (err == EEXIST || err == ENOENT) {
                *retry = true;
                return ERROR_SUCCESS;
            }
            if (err != EPERM && err != EOPNOTSUPP)
                return Win32FromErrno(err);
            // No hard links here: an empty file (an empty hive) to lock,
            // then the write again.
            int made = sys::Open(target_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (made < 0 && errno != EEXIST)
                return Win32FromErrno(errno);
            if (made >= 0) {
                InheritOwner(target_, made);
                close(made);
            }
            *retry = true;
            return ERROR_SUCCESS;
        }
        unlink(path_.c_str());
    }
    path_.clear();
    // The rename is made lasting by flushing the directory. The new text is
    // in place whatever this says, so a failure here is no failed write.
    Fd dir(sys::Open(Directory(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        sys::Fsync(dir.get());
    return ERROR_SUCCESS;
}

}  // namespace winshim
