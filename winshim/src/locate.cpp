// Where a key of the registry lies. In a store of regedit files each root has
// a file of its own and a path is the key's path. In a Wine prefix the roots
// are keys of three files, and a path is walked a name at a time, as Wine
// walks it: a link key leads to the key it names, and in the 32-bit view of
// a 64-bit prefix a key with a subkey Wow6432Node leads into it first.

#include "locate.h"

#include "index.h"

#include <cstdlib>
#include <cstring>

namespace winshim {

namespace {

constexpr int kMaxLinks = 32;  // links followed for one path; more is a loop
const char kWow[] = "Wow6432Node";

std::string Join(const std::string &path, std::string_view name) {
    return path.empty() ? std::string(name) : path + "\\" + std::string(name);
}

std::vector<std::string> Names(std::string_view path) {
    std::vector<std::string> names;
    for (size_t start = 0; start <= path.size();) {
        size_t cut = path.find('\\', start);
        std::string_view name = path.substr(start, cut == std::string_view::npos ? cut : cut - start);
        if (!name.empty())
            names.emplace_back(name);
        if (cut == std::string_view::npos)
            break;
        start = cut + 1;
    }
    return names;
}

LONG RegeditHive(Root root, Hive *out) {
    out->format = HiveFormat::Regedit;
    out->root = RootName(root);
    return HivePath(root, &out->file);
}

// Whether the walk takes the 32-bit view: only a 64-bit prefix has two.
bool View32(const Prefix &prefix, View view) {
    if (!prefix.win64 || view == View::Bits64)
        return false;
    if (view == View::Bits32)
        return true;
    const char *setting = getenv("WINSHIM_VIEW");
    if (setting && strcmp(setting, "64") == 0)
        return false;
    if (setting && strcmp(setting, "32") != 0)
        BadSetting("WINSHIM_VIEW", setting);
    return true;
}

// The key a link's SymbolicLinkValue names: "\Registry\Machine\...",
// "\Registry\User\<SID>\..." or "\Registry\User\.Default\...", without
// regard to case. Anything else (a relative path, "..") names none.
bool LinkTarget(const Prefix &prefix, const std::string &target, Location *out) {
    std::vector<std::string> names = Names(target);
    if (target.empty() || target[0] != '\\' || names.size() < 2 || !EqualNoCase(names[0], "Registry"))
        return false;
    size_t rest = 2;
    if (EqualNoCase(names[1], "Machine")) {
        out->hive = prefix.machine;
    } else if (EqualNoCase(names[1], "User") && names.size() > 2 && EqualNoCase(names[2], ".Default")) {
        out->hive = prefix.defaults;
        rest = 3;
    } else if (EqualNoCase(names[1], "User") && names.size() > 2 && !prefix.sid.empty() &&
               EqualNoCase(names[2], prefix.sid)) {
        out->hive = prefix.user;
        rest = 3;
    } else {
        return false;
    }
    out->path.clear();
    for (size_t i = rest; i < names.size(); i++) {
        if (names[i] == "." || names[i] == "..")
            return false;
        out->path = Join(out->path, names[i]);
    }
    return true;
}

// A walk of one path through a prefix's keys.
class Walk {
public:
    Walk(const Prefix &prefix, bool view32) : prefix_(prefix), view32_(view32) {}

    LONG From(Location start, const std::vector<std::string> &names, size_t first, Location *out) {
        Location at = std::move(start);
        if (LONG rc = Follow(at))
            return rc;
        for (size_t i = first; i < names.size(); i++) {
            if (!EqualNoCase(names[i], kWow))
                if (LONG rc = IntoWow(at))
                    return rc;
            at.path = Join(at.path, names[i]);
            if (LONG rc = Follow(at))
                return rc;
        }
        if (first < names.size())
            if (LONG rc = IntoWow(at))
                return rc;
        *out = std::move(at);
        return ERROR_SUCCESS;
    }

private:
    LONG Facts(const Location &at, const PathFacts **facts) {
        LONG rc;
        *facts = FactsOf(at.hive, &rc);
        return *facts ? ERROR_SUCCESS : rc;
    }

    // The key a link key stands for, link by link.
    LONG Follow(Location &at) {
        for (;;) {
            const PathFacts *facts;
            if (LONG rc = Facts(at, &facts))
                return rc;
            auto link = facts->links.find(UpperCopy(at.path));
            if (link == facts->links.end())
                return ERROR_SUCCESS;
            if (++hops_ > kMaxLinks || !LinkTarget(prefix_, link->second, &at))
                return ERROR_FILE_NOT_FOUND;  // a loop, or a link to nowhere: no key
        }
    }

    // In the 32-bit view, a key with a subkey Wow6432Node stands for it.
    LONG IntoWow(Location &at) {
        if (!view32_)
            return ERROR_SUCCESS;
        const PathFacts *facts;
        if (LONG rc = Facts(at, &facts))
            return rc;
        if (!facts->wow_parents.count(UpperCopy(at.path)))
            return ERROR_SUCCESS;
        at.path = Join(at.path, kWow);
        return Follow(at);
    }

    const Prefix &prefix_;
    bool view32_;
    int hops_ = 0;
};

LONG LocateInPrefix(const Prefix &prefix, Root root, const std::string &path, View view,
                    std::vector<Location> *out) {
    std::vector<std::string> names = Names(path);
    Walk walk(prefix, View32(prefix, view));
    Location at;
    LONG rc = ERROR_SUCCESS;
    switch (root) {
    case Root::LocalMachine: rc = walk.From({prefix.machine, ""}, names, 0, &at); break;
    case Root::CurrentUser: rc = walk.From({prefix.user, ""}, names, 0, &at); break;
    case Root::CurrentConfig:
        rc = walk.From({prefix.machine, "System\\CurrentControlSet\\Hardware Profiles\\Current"}, names, 0, &at);
        break;
    case Root::Users:
        if (names.empty())
            return ERROR_SUCCESS;  // the users themselves
        if (EqualNoCase(names[0], ".Default"))
            rc = walk.From({prefix.defaults, ""}, names, 1, &at);
        else if (!prefix.sid.empty() && EqualNoCase(names[0], prefix.sid))
            rc = walk.From({prefix.user, ""}, names, 1, &at);
        else
            rc = ERROR_FILE_NOT_FOUND;
        break;
    case Root::ClassesRoot: {
        // The user's classes over the machine's, as Windows merges them.
        Walk own(prefix, View32(prefix, view));
        if ((rc = own.From({prefix.user, "Software\\Classes"}, names, 0, &at)) == ERROR_SUCCESS)
            out->push_back(at);
        else if (rc != ERROR_FILE_NOT_FOUND)
            return rc;
        rc = walk.From({prefix.machine, "Software\\Classes"}, names, 0, &at);
        break;
    }
    }
    if (rc == ERROR_SUCCESS)
        out->push_back(std::move(at));
    return out->empty() ? rc : ERROR_SUCCESS;
}

}  // namespace

LONG Locate(Root root, const std::string &path, View view, std::vector<Location> *out) {
    out->clear();
    LONG rc;
    const Prefix *prefix = StorePrefix(&rc);
    if (!prefix) {
        if (rc != ERROR_SUCCESS)
            return rc;
        Location at;
        if ((rc = RegeditHive(root, &at.hive)) != ERROR_SUCCESS)
            return rc;
        at.path = path;
        out->push_back(std::move(at));
        return ERROR_SUCCESS;
    }
    return LocateInPrefix(*prefix, root, path, view, out);
}

LONG LocateForWrite(Root root, const std::string &path, View view, bool value, Location *out) {
    std::vector<Location> where;
    if (LONG rc = Locate(root, path, view, &where))
        return rc;
    if (where.empty())
        return ERROR_ACCESS_DENIED;  // no key is made among the users themselves
    // Keys of HKEY_CLASSES_ROOT are made in the machine's classes; values go
    // to the user's key where the user has it.
    if (where.size() == 2 && !(value && ReadKey(where[0].hive, where[0].path, nullptr) == ERROR_SUCCESS))
        where.erase(where.begin());
    *out = std::move(where.front());
    return ERROR_SUCCESS;
}

bool UsersOfPrefix(std::vector<std::string> *names) {
    LONG rc;
    const Prefix *prefix = StorePrefix(&rc);
    if (!prefix)
        return false;
    names->assign(1, ".Default");
    if (!prefix->sid.empty())
        names->push_back(prefix->sid);
    return true;
}

LONG ReadStoreKey(Root root, const std::string &path, KeyData *out, unsigned options) {
    std::vector<Location> where;
    if (LONG rc = Locate(root, path, View::Default, &where))
        return rc;
    for (const Location &at : where)
        if (LONG rc = ReadKey(at.hive, at.path, out, options); rc != ERROR_FILE_NOT_FOUND)
            return rc;
    return ERROR_FILE_NOT_FOUND;
}

LONG EditStoreKey(Root root, const std::string &path, const EditDecision &decide) {
    Location at;
    if (LONG rc = LocateForWrite(root, path, View::Default, true, &at))
        return rc;
    return EditHive(at.hive, at.path, decide);
}

bool StoreWritable(Root root) {
    Location at;
    return LocateForWrite(root, "", View::Default, false, &at) != ERROR_SUCCESS || HiveWritable(at.hive);
}

}  // namespace winshim
