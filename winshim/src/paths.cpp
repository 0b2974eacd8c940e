// Where the store and the cache are, and the places of files in them, found
// one directory at a time so that no link of another user moves a write.

#include "paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <fcntl.h>

namespace winshim {

// --- where things are -----------------------------------------------------------

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

namespace {

// The home field of the line of /etc/passwd ("name:password:uid:gid:gecos:
// home:shell") whose uid is `uid`.
std::string PasswdHome(std::string_view passwd, const std::string &uid) {
    while (!passwd.empty()) {
        size_t end = passwd.find('\n');
        std::string_view line = passwd.substr(0, end);
        passwd.remove_prefix(end == std::string_view::npos ? passwd.size() : end + 1);
        std::string_view fields[7];
        size_t count = 0;
        for (size_t start = 0; count < 7; count++) {
            size_t colon = line.find(':', start);
            fields[count] = line.substr(start, colon == std::string_view::npos ? colon : colon - start);
            if (colon == std::string_view::npos) {
                count++;
                break;
            }
            start = colon + 1;
        }
        if (count >= 6 && fields[2] == uid && !fields[5].empty())
            return std::string(fields[5]);
    }
    return "";
}

// A directory named by an XDG variable, which counts only when absolute;
// else `fallback` under the home directory, or empty without one.
std::string XdgDirectory(const char *variable, const char *fallback) {
    const char *dir = getenv(variable);
    if (dir && *dir == '/')
        return dir;
    std::string home = HomeDirectory();
    return home.empty() ? home : home + fallback;
}

}  // namespace

std::string HomeDirectory() {
    const char *home = getenv("HOME");
    if (home && *home)
        return home;
    Fd passwd(sys::Open("/etc/passwd", O_RDONLY | O_CLOEXEC));
    if (passwd.get() < 0)
        return "";
    std::string text(1u << 20, '\0');  // a password file is far smaller
    ssize_t n = sys::Read(passwd.get(), &text[0], text.size(), 0);
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return PasswdHome(text, std::to_string(sys::RealUser()));
}

LONG StoreDirectory(std::string *out) {
    for (const char *variable : {"WINSHIM_REGISTRY", "WINEPREFIX"}) {
        const char *dir = getenv(variable);
        if (dir && *dir) {
            *out = dir;
            return ERROR_SUCCESS;
        }
    }
    std::string data = XdgDirectory("XDG_DATA_HOME", "/.local/share");
    if (data.empty()) {
        TellOnce("store", "no registry store: this user has no home directory; name one with WINSHIM_REGISTRY");
        return ERROR_PATH_NOT_FOUND;
    }
    *out = data + "/winshim/registry";
    return ERROR_SUCCESS;
}

LONG HivePath(Root root, std::string *out) {
    if (LONG rc = StoreDirectory(out))
        return rc;
    *out += "/";
    *out += RootName(root);
    *out += ".reg";
    return ERROR_SUCCESS;
}


std::string Directory(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Basename(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// --- places -----------------------------------------------------------------------

namespace {

constexpr int kMaxHops = 40;  // links followed on one path, as the kernel allows

// Walks paths from a directory, a component at a time, each opened without
// following a link; a link is read and its target walked in its place,
// when it may be followed.
class Walker {
public:
    explicit Walker(bool make) : make_(make) {}

    // Walks `path` from directory `from`: to the directory it names, or,
    // with `file`, to the directory of the file it names and its name.
    LONG Walk(int from, std::string_view path, bool file, Fd *dir, std::string *name);

private:
    LONG Enter(Fd &current, const std::string &part);
    LONG Link(int fd, const struct stat &st, std::string *target);

    bool make_;
    int hops_ = 0;
};

// A link may be followed by its owner and by root, and root's by anyone.
bool MayFollow(const struct stat &st) { return st.st_uid == sys::EffectiveUser() || st.st_uid == 0; }

LONG Walker::Link(int fd, const struct stat &st, std::string *target) {
    if (!MayFollow(st))
        return ERROR_ACCESS_DENIED;
    if (++hops_ > kMaxHops)
        return ERROR_CANT_RESOLVE_FILENAME;
    char text[PATH_MAX];
    ssize_t n = sys::ReadLinkOf(fd, text, sizeof text);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof text)
        return n < 0 ? Win32FromErrno(errno) : ERROR_FILENAME_EXCED_RANGE;
    target->assign(text, static_cast<size_t>(n));
    return ERROR_SUCCESS;
}

// One directory down from `current`, into `part`: made when missing and
// wanted, a link followed when it may be.
LONG Walker::Enter(Fd &current, const std::string &part) {
    for (int attempt = 0; attempt < 3; attempt++) {
        Fd next(sys::OpenAt(current.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (next.get() < 0) {
            if (errno != ENOENT || !make_)
                return errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32FromErrno(errno);
            if (sys::MkdirAt(current.get(), part.c_str(), 0777) == 0)
                InheritOwner(current.get(), part.c_str(), -1);
            else if (errno != EEXIST)
                return Win32FromErrno(errno);
            continue;  // made, by us or another: open it now
        }
        struct stat st;
        if (sys::Fstat(next.get(), &st) != 0)
            return Win32FromErrno(errno);
        if (S_ISDIR(st.st_mode)) {
            current = std::move(next);
            return ERROR_SUCCESS;
        }
        if (!S_ISLNK(st.st_mode))
            return ERROR_PATH_NOT_FOUND;
        std::string target;
        if (LONG rc = Link(next.get(), st, &target))
            return rc;
        Fd reached;
        std::string unused;
        if (LONG rc = Walk(current.get(), target, false, &reached, &unused))
            return rc;
        current = std::move(reached);
        return ERROR_SUCCESS;
    }
    return ERROR_PATH_NOT_FOUND;
}

LONG Walker::Walk(int from, std::string_view path, bool file, Fd *dir, std::string *name) {
    Fd current(sys::OpenAt(from, path.substr(0, 1) == "/" ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (current.get() < 0)
        return Win32FromErrno(errno);
    std::vector<std::string> parts;
    for (size_t start = 0; start <= path.size();) {
        size_t slash = path.find('/', start);
        std::string_view part = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (!part.empty() && part != ".")
            parts.emplace_back(part);
        if (slash == std::string_view::npos)
            break;
        start = slash + 1;
    }
    std::string last = ".";
    if (file && !parts.empty() && parts.back() != "..") {
        last = std::move(parts.back());
        parts.pop_back();
    }
    for (const std::string &part : parts) {
        if (part == "..") {  // never a link
            Fd up(sys::OpenAt(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (up.get() < 0)
                return Win32FromErrno(errno);
            current = std::move(up);
        } else if (LONG rc = Enter(current, part)) {
            return rc;
        }
    }
    if (file && last != ".") {
        // The file itself: a link to follow, or the name to use.
        Fd fd(sys::OpenAt(current.get(), last.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st;
        if (fd.get() >= 0 && sys::Fstat(fd.get(), &st) == 0 && S_ISLNK(st.st_mode)) {
            std::string target;
            if (LONG rc = Link(fd.get(), st, &target))
                return rc;
            return Walk(current.get(), target, true, dir, name);
        }
        if (fd.get() < 0 && errno != ENOENT)
            return Win32FromErrno(errno);
    }
    *dir = std::move(current);
    *name = std::move(last);
    return ERROR_SUCCESS;
}

}  // namespace

LONG FindPlace(const std::string &path, unsigned options, Place *out) {
    Walker walker((options & kMakeDirectories) != 0);
    return walker.Walk(AT_FDCWD, path, true, &out->dir, &out->name);
}

LONG OpenDirectory(const std::string &path, unsigned options, Fd *out) {
    Walker walker((options & kMakeDirectories) != 0);
    std::string unused;
    return walker.Walk(AT_FDCWD, path, false, out, &unused);
}

LONG OpenCacheDirectory(unsigned options, Fd *out) {
    const char *cache = getenv("XDG_CACHE_HOME");
    if (cache && *cache == '/')
        return OpenDirectory(std::string(cache) + "/winshim", options, out);
    std::string base = HomeDirectory();
    const char *below = ".cache/winshim";
    if (base.empty())
        return ERROR_PATH_NOT_FOUND;
    Fd top;
    if (LONG rc = OpenDirectory(base, kExistingDirectories, &top))
        return rc;
    Walker walker((options & kMakeDirectories) != 0);
    std::string unused;
    return walker.Walk(top.get(), below, false, out, &unused);
}

int OpenForListing(int dir) { return sys::OpenAt(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

LONG InheritOwner(int dir, const char *name, int fd) {
    struct stat parent;
    if (sys::EffectiveUser() != 0)
        return ERROR_SUCCESS;
    if (sys::Fstat(dir, &parent) != 0)
        return Win32FromErrno(errno);
    int rc = fd >= 0 ? sys::Fchown(fd, parent.st_uid, parent.st_gid)
                     : sys::FchownAt(dir, name, parent.st_uid, parent.st_gid);
    return rc == 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
}

}  // namespace winshim
