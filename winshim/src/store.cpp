// The store's hive files: opening one to read, and what a write needs to put
// a new hive file in place safely: the hive's lock with a bounded wait, a
// temporary file beside the hive, owner and mode kept, and the clean-up of
// files that dead writers left. Every call of a write is made relative to
// the directory that the writer found, never by a path that may move.

#include "store.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>

namespace winshim {

bool HiveWritable(const Hive &hive) {
    struct stat st;
    if (sys::Stat(hive.file.c_str(), &st) == 0)
        return (st.st_mode & 0222) != 0;
    if (sys::Stat(Directory(hive.file).c_str(), &st) == 0)
        return (st.st_mode & 0222) != 0;
    return true;  // made on the first write
}

namespace {

// A regular file open to read, or none (ENOENT: an empty hive).
LONG CheckOpened(Fd &fd, struct stat *st) {
    if (fd.get() < 0)
        return errno == ENOENT ? ERROR_SUCCESS : Win32FromErrno(errno);
    if (sys::Fstat(fd.get(), st) != 0)
        return Win32FromErrno(errno);
    if (!S_ISREG(st->st_mode)) {
        fd.Reset();
        return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_SUCCESS;
}

// Not blocking, so that a FIFO cannot hold the open; it is refused after.
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

}  // namespace

LONG OpenHiveFile(const std::string &path, Fd &fd, struct stat *st) {
    fd.Reset(sys::Open(path.c_str(), kReadFlags));
    return CheckOpened(fd, st);
}

LONG OpenHiveFile(const Place &place, Fd &fd, struct stat *st) {
    fd.Reset(sys::OpenAt(place.dir.get(), place.name.c_str(), kReadFlags | O_NOFOLLOW));
    return CheckOpened(fd, st);
}

bool SameFileVersion(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// --- the lock -----------------------------------------------------------------------

double LockWait() {
    uint64_t seconds = 20;
    if (const char *text = getenv("WINSHIM_LOCK_WAIT")) {
        uint64_t n;
        if (ParseUnsigned(text, false, 3600, &n))
            seconds = n;
        else
            BadSetting("WINSHIM_LOCK_WAIT", text);
    }
    return static_cast<double>(seconds);
}

LONG HiveLock::Acquire(const Place &place, double wait) {
    double deadline = sys::Now() + wait;
    for (;;) {
        if (LONG rc = OpenHiveFile(place, fd_, &status_))
            return rc;
        if (fd_.get() < 0)
            return ERROR_SUCCESS;  // no file yet: nothing to lock
        // Polled, so that a writer that stopped holding it (SIGSTOP, a hung
        // disk) costs the others a bounded wait, not their whole run.
        double delay = 0.001;
        for (;;) {
            if (sys::Flock(fd_.get(), LOCK_EX | LOCK_NB) == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK)
                return Win32FromErrno(errno);
            double left = deadline - sys::Now();
            if (left <= 0)
                return ERROR_SHARING_VIOLATION;
            sys::Sleep(delay < left ? delay : left);
            delay = delay * 2 > 0.05 ? 0.05 : delay * 2;
        }
        // The writer before us may have renamed a new file over the one we
        // waited on: the lock counts only on the file that stands there now.
        struct stat now;
        if (sys::FstatAt(place.dir.get(), place.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == status_.st_dev && now.st_ino == status_.st_ino && sys::Fstat(fd_.get(), &status_) == 0)
            return ERROR_SUCCESS;
        if (sys::Now() > deadline)
            return ERROR_SHARING_VIOLATION;
    }
}

// --- temporary files ----------------------------------------------------------------

// Temporary files are named ".NAME.winshim-XXXXXX" beside the hive file NAME,
// and locked by their writer for as long as it lives.
namespace {

constexpr size_t kTempSuffix = 6;

std::string TempPrefix(const std::string &target) { return "." + target + ".winshim-"; }

bool IsTempName(const std::string &name, const std::string &prefix) {
    if (name.compare(0, prefix.size(), prefix) != 0 || name.size() != prefix.size() + kTempSuffix)
        return false;
    for (size_t i = prefix.size(); i < name.size(); i++) {
        char c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

std::string TempName(const std::string &target) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t bits = sys::RandomBits();
    std::string name = TempPrefix(target);
    for (size_t i = 0; i < kTempSuffix; i++, bits /= 62)
        name += letters[bits % 62];
    return name;
}

}  // namespace

void RemoveStaleFiles(const Place &place, const struct stat &hive) {
    std::string prefix = TempPrefix(place.name);
    std::vector<std::string> names;
    if (sys::ListDirectory(place.dir.get(), &names) != 0)
        return;
    for (const std::string &name : names) {
        if (!IsTempName(name, prefix))
            continue;
        // Only a regular file of ours whose writer no longer holds its lock.
        Fd fd(sys::OpenAt(place.dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat st;
        if (fd.get() < 0 || sys::Fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            (st.st_uid != sys::EffectiveUser() && sys::EffectiveUser() != 0))
            continue;
        bool hive_itself = st.st_dev == hive.st_dev && st.st_ino == hive.st_ino;  // locked by us
        if (hive_itself || sys::Flock(fd.get(), LOCK_EX | LOCK_NB) == 0)
            sys::UnlinkAt(place.dir.get(), name.c_str(), 0);
    }
}

// --- the new file -------------------------------------------------------------------

NewHiveFile::~NewHiveFile() {
    if (!name_.empty())
        sys::UnlinkAt(place_->dir.get(), name_.c_str(), 0);
}

LONG NewHiveFile::Create(const Place &place) {
    place_ = &place;
    for (int attempt = 0; attempt < 100; attempt++) {
        std::string name = TempName(place.name);
        fd_.Reset(sys::OpenAt(place.dir.get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                              0600));
        if (fd_.get() < 0 && errno == EEXIST)
            continue;
        if (fd_.get() < 0)
            return Win32FromErrno(errno);
        name_ = std::move(name);
        if (sys::Flock(fd_.get(), LOCK_EX | LOCK_NB) != 0)
            return Win32FromErrno(errno);
        buffer_.reserve(kBuffer);
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_EXISTS;
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
    // Owner first: a change of owner may clear bits of the mode. A hive's
    // first file is made as root's other files in a store are.
    if (old && sys::Fchown(fd_.get(), old->st_uid, old->st_gid) != 0)
        return Win32FromErrno(errno);
    if (!old)
        if (LONG rc = InheritOwner(place_->dir.get(), nullptr, fd_.get()))
            return rc;
    mode_t mode = old ? old->st_mode & 07777 : 0666 & ~sys::Umask();
    if (sys::Fchmod(fd_.get(), mode) != 0 || sys::Fsync(fd_.get()) != 0)
        return Win32FromErrno(errno);
    return ERROR_SUCCESS;
}

LONG NewHiveFile::PutInPlace(bool replace, bool *retry) {
    *retry = false;
    int dir = place_->dir.get();
    const char *target = place_->name.c_str();
    if (replace) {
        if (sys::RenameAt(dir, name_.c_str(), target) != 0)
            return Win32FromErrno(errno);
    } else {
        // The first file of a hive: linked, which fails when another writer
        // made one meanwhile, instead of renamed over it.
        if (sys::LinkAt(dir, name_.c_str(), dir, target, 0) != 0) {
            int err = errno;
            if (err == EEXIST || err == ENOENT) {
                *retry = true;
                return ERROR_SUCCESS;
            }
            if (err != EPERM && err != EOPNOTSUPP)
                return Win32FromErrno(err);
            // No hard links here: an empty file (an empty hive) to lock,
            // then the write again.
            Fd made(sys::OpenAt(dir, target, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
            if (made.get() < 0 && errno != EEXIST)
                return Win32FromErrno(errno);
            if (made.get() >= 0)
                InheritOwner(dir, target, made.get());
            *retry = true;
            return ERROR_SUCCESS;
        }
        sys::UnlinkAt(dir, name_.c_str(), 0);
    }
    name_.clear();
    // The rename is made lasting by flushing the directory. The new text is
    // in place whatever this says, so a failure here is no failed write.
    Fd listing(OpenForListing(dir));
    if (listing.get() >= 0)
        sys::Fsync(listing.get());
    return ERROR_SUCCESS;
}

}  // namespace winshim
