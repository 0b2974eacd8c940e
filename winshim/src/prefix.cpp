// A Wine prefix as the store: its registry files, the lock of its
// wineserver, and its drives.

#include "prefix.h"

#include "wine.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>

namespace winshim {

namespace {

// The first lines of a file, up to its first section.
std::vector<std::string> HeadLines(const std::string &file) {
    std::vector<std::string> lines;
    Fd fd(sys::Open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || sys::Fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return lines;
    char buffer[4096];
    ssize_t n = sys::Read(fd.get(), buffer, sizeof buffer, 0);
    std::string_view text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    while (!text.empty() && text[0] != '[') {
        size_t end = text.find('\n');
        if (end == std::string_view::npos)
            break;
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.emplace_back(line);
        text.remove_prefix(end + 1);
    }
    return lines;
}

// The user whose keys user.reg holds, from ";; All keys relative to
// REGISTRY\\User\\S-1-5-21-0-0-0-1000".
std::string SidOf(const std::vector<std::string> &lines) {
    static const char kRelative[] = ";; All keys relative to REGISTRY\\\\User\\\\";
    for (const std::string &line : lines)
        if (line.compare(0, sizeof kRelative - 1, kRelative) == 0) {
            std::string sid = line.substr(sizeof kRelative - 1);
            return sid.find('\\') == std::string::npos ? sid : "";
        }
    return "";
}

struct Known {
    std::string dir;
    struct stat machine {}, user {};
    bool machine_there = false, user_there = false;
    bool is_prefix = false;
    Prefix prefix;
};

bool StatOf(const std::string &file, struct stat *st) { return sys::Stat(file.c_str(), st) == 0; }

}  // namespace

const Prefix *StorePrefix(LONG *rc) {
    static Known *const known = new Known;  // never destroyed
    std::string dir;
    if ((*rc = StoreDirectory(&dir)) != ERROR_SUCCESS)
        return nullptr;
    std::string machine = dir + "/system.reg", user = dir + "/user.reg";
    struct stat m, u;
    bool machine_there = StatOf(machine, &m), user_there = StatOf(user, &u);
    if (known->dir != dir || known->machine_there != machine_there || known->user_there != user_there ||
        (machine_there && !SameFileVersion(m, known->machine)) || (user_there && !SameFileVersion(u, known->user))) {
        *known = Known();
        known->dir = dir;
        known->machine_there = machine_there;
        known->user_there = user_there;
        known->machine = m;
        known->user = u;
        known->is_prefix = machine_there;
        Prefix &p = known->prefix;
        p.dir = dir;
        for (const std::string &line : HeadLines(machine))
            p.win64 = p.win64 || line == "#arch=win64";
        p.sid = SidOf(HeadLines(user));
        std::string arch = p.win64 ? "win64" : "win32";
        p.machine = {machine, HiveFormat::Wine, "REGISTRY\\Machine", arch};
        p.user = {user, HiveFormat::Wine, "REGISTRY\\User" + (p.sid.empty() ? "" : "\\" + p.sid), arch};
        p.defaults = {dir + "/userdef.reg", HiveFormat::Wine, "REGISTRY\\User\\.Default", arch};
    }
    return known->is_prefix ? &known->prefix : nullptr;
}

// --- the wineserver's lock --------------------------------------------------------

namespace {

// The directories where a wineserver for the prefix keeps its lock: the one
// that Debian's Wine names in the prefix's file "wineserver", below
// $TMPDIR or /tmp, and upstream Wine's /tmp/.wine-UID. `make`: to be made
// where missing, as the server would make it, the prefix's owner's.
struct ServerDir {
    std::string top, below;  // "/tmp/wine-Zuax9R", "server-fe00-a721a1"
    bool make;
};

std::vector<ServerDir> ServerDirs(const Prefix &prefix, const struct stat &st) {
    char server[64];
    snprintf(server, sizeof server, "server-%llx-%llx", static_cast<unsigned long long>(st.st_dev),
             static_cast<unsigned long long>(st.st_ino));
    const char *tmp = getenv("TMPDIR");
    std::string temp = tmp && *tmp == '/' ? tmp : "/tmp";
    std::vector<ServerDir> dirs;
    Fd named(sys::Open((prefix.dir + "/wineserver").c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    char name[256];
    ssize_t n = named.get() >= 0 ? sys::Read(named.get(), name, sizeof name - 1, 0) : -1;
    std::string debian(name, n > 0 ? static_cast<size_t>(n) : 0);
    if (!debian.empty() && debian.find_first_of(std::string("/\0", 2)) == std::string::npos && debian != "." &&
        debian != "..") {
        dirs.push_back({temp + "/" + debian, server, true});
        if (temp != "/tmp")
            dirs.push_back({"/tmp/" + debian, server, false});
    }
    dirs.push_back({"/tmp/.wine-" + std::to_string(st.st_uid), server, true});
    return dirs;
}

// A directory of the server's, as the server makes it: 0700, the user's.
// One of another user's is none that the server would use (it refuses to
// start there), and nothing is made or changed in it.
LONG ServerDirectory(int parent, const std::string &name, bool make, const struct stat &owner, Fd *out) {
    if (make && sys::MkdirAt(parent, name.c_str(), 0700) == 0 && sys::EffectiveUser() == 0)
        sys::FchownAt(parent, name.c_str(), owner.st_uid, owner.st_gid);
    out->Reset(sys::OpenAt(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (out->get() < 0 || sys::Fstat(out->get(), &st) != 0)
        return Win32FromErrno(errno);
    return st.st_uid == owner.st_uid ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

void SayRunning(const Prefix &prefix, pid_t pid) {
    TellOnce("wineserver", prefix.dir + ": a wineserver runs for this Wine prefix" +
                               (pid > 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                               ", which would save its own registry over a change; end it with `wineserver -k`");
}

}  // namespace

LONG ServerLock::Acquire(const Prefix &prefix) {
    struct stat st;
    if (sys::Stat(prefix.dir.c_str(), &st) != 0)
        return Win32FromErrno(errno);
    for (const ServerDir &where : ServerDirs(prefix, st)) {
        Fd top, server;
        if (OpenDirectory(Directory(where.top), kExistingDirectories, &top) != ERROR_SUCCESS ||
            ServerDirectory(top.get(), Basename(where.top), where.make, st, &server) != ERROR_SUCCESS ||
            ServerDirectory(server.get(), where.below, where.make, st, &server) != ERROR_SUCCESS)
            continue;  // not there, and not to be made: no server looks there
        int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (where.make ? O_CREAT : 0);
        Fd lock(sys::OpenAt(server.get(), "lock", flags, 0600));
        struct stat is;
        if (lock.get() < 0 && errno == ENOENT)
            continue;
        if (lock.get() < 0 || sys::Fstat(lock.get(), &is) != 0 || !S_ISREG(is.st_mode)) {
            TellOnce("wineserver", prefix.dir + ": the lock of its wineserver in " + where.top + " is no file");
            return ERROR_SHARING_VIOLATION;
        }
        // Root's new lock is given to the prefix's owner, as the server's own.
        if (sys::EffectiveUser() == 0 && is.st_uid == 0 && is.st_nlink == 1 && st.st_uid != 0)
            sys::Fchown(lock.get(), st.st_uid, st.st_gid);
        if (sys::SetRecordLock(lock.get(), F_WRLCK) != 0) {
            pid_t holder = 0;
            if (errno == EAGAIN || errno == EACCES)
                sys::RecordLockHolder(lock.get(), F_WRLCK, &holder);
            SayRunning(prefix, holder);
            return ERROR_SHARING_VIOLATION;
        }
        locks_.push_back(std::move(lock));
    }
    return ERROR_SUCCESS;
}

// --- drives ------------------------------------------------------------------------

namespace {

std::string RealPath(const std::string &path) {
    char resolved[PATH_MAX];
    return sys::RealPath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

}  // namespace

bool DosPath(const Prefix &prefix, const std::string &path, std::string *out) {
    std::string real = RealPath(path);
    if (real.empty())
        return false;
    size_t best = 0;
    char letter = 0;
    for (char drive = 'a'; drive <= 'z'; drive++) {
        std::string target = RealPath(prefix.dir + "/dosdevices/" + drive + ":");
        if (target.empty())
            continue;
        bool reaches = target == "/" || real == target ||
                       (real.compare(0, target.size(), target) == 0 && real[target.size()] == '/');
        size_t depth = target == "/" ? 1 : target.size() + 1;
        if (reaches && depth > best) {
            best = depth;
            letter = drive;
        }
    }
    if (!letter)
        return false;
    std::string rest = best >= real.size() ? "" : real.substr(best);
    for (char &c : rest)
        if (c == '/')
            c = '\\';
    *out = std::string(1, static_cast<char>(letter - 'a' + 'A')) + ":\\" + rest;
    return true;
}

bool UnixPath(const Prefix &prefix, const std::string &path, std::string *out) {
    if (path.size() < 2 || path[1] != ':' || !((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z')))
        return false;
    char drive = static_cast<char>(path[0] | 0x20);
    std::string rest = path.substr(2);
    for (char &c : rest)
        if (c == '\\')
            c = '/';
    *out = prefix.dir + "/dosdevices/" + drive + ":" + (rest.empty() || rest[0] == '/' ? rest : "/" + rest);
    return true;
}

}  // namespace winshim
