// The store under attack: names the text format cannot hold as they stand,
// files whose header and encoding disagree, form edits racing each other,
// links, FIFOs, another user's files, writers that hang, and text that is
// no UTF-8. Whatever happens, no acknowledged write is lost or mis-stored.

#include <windows.h>
#include <winspool.h>

#include <gtest/gtest.h>

#include "store.h"

#include <chrono>
#include <csignal>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>

namespace {

using Integrity = Store;

const char kForms[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Forms";

std::string Utf16(const std::u16string &text) {
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

FORM_INFO_1W Form(const wchar_t *name, LONG size) {
    FORM_INFO_1W form = {FORM_USER, const_cast<LPWSTR>(name), {size, size}, {0, 0, size, size}};
    return form;
}

// A spooler call in a child process: its exit status is 0 for success, else
// the low byte of the error.
template <typename Call>
pid_t Child(Call call) {
    pid_t pid = fork();
    if (pid == 0) {
        HANDLE server;
        if (!OpenPrinterW(nullptr, &server, nullptr))
            _exit(255);
        _exit(call(server) ? 0 : static_cast<int>(GetLastError() & 0xFF));
    }
    return pid;
}

int Status(pid_t pid) {
    int status;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The user forms as the spooler lists them: name and creation number.
std::vector<std::pair<std::wstring, DWORD>> UserForms() {
    std::vector<std::pair<std::wstring, DWORD>> out;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kForms, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return out;
    char name[256];
    BYTE data[64];
    for (DWORD i = 0;; i++) {
        DWORD name_size = sizeof name, size = sizeof data, type;
        if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        out.emplace_back(std::wstring(name, name + name_size), data[24] | data[25] << 8);
    }
    RegCloseKey(key);
    return out;
}

TEST_F(Integrity, NamesWithLineBreaks) {
    // A value's name takes escapes and reads back exactly.
    ASSERT_EQ(Set("K", "two\nlines\r", REG_SZ, std::string("x\0", 2)), ERROR_SUCCESS);
    DWORD type;
    std::string data;
    EXPECT_EQ(Query("K", "two\nlines\r", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("x\0", 2));
    // A key's name cannot be written: refused, the hive as it was.
    std::string before = Get();
    EXPECT_EQ(Set("Bad\nKey", "v", REG_SZ, "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Set("K\\Bad\rKey", "v", REG_SZ, "x"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Get(), before);
    EXPECT_TRUE(StrayFiles().empty());
    // A form named so keeps HKLM readable for every other key.
    ASSERT_EQ(Set("SOFTWARE\\Halden\\Tessel", "tessel_dir", REG_EXPAND_SZ, std::string("D\0", 2),
                  HKEY_LOCAL_MACHINE),
              ERROR_SUCCESS);
    HANDLE server;
    ASSERT_TRUE(OpenPrinterW(nullptr, &server, nullptr));
    FORM_INFO_1W form = Form(L"A\nB", 10000);
    EXPECT_TRUE(AddFormW(server, 1, reinterpret_cast<LPBYTE>(&form)));
    EXPECT_FALSE(AddFormW(server, 1, reinterpret_cast<LPBYTE>(&form)));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
    EXPECT_EQ(Query("SOFTWARE\\Halden\\Tessel", "tessel_dir", &type, &data, HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_TRUE(DeleteFormW(server, const_cast<LPWSTR>(L"A\nB")));
    ClosePrinter(server);
}

// The header says how strings in hex are kept (UTF-16 for version 5), the
// byte order mark how the file is: the reader and the writer agree on both.
TEST_F(Integrity, HeaderAndEncodingDisagree) {
    const std::string dir("C:\\T\xC3\xA9ssel\0", 11);
    Put("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n");
    ASSERT_EQ(Set("K", "dir", REG_EXPAND_SZ, dir), ERROR_SUCCESS);
    DWORD type;
    std::string data;
    ASSERT_EQ(Query("K", "dir", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, dir);
    EXPECT_NE(Get().find("\"dir\"=hex(2):43,00,3a,00"), std::string::npos) << Get();

    Put(Utf16(u"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n"));
    ASSERT_EQ(Set("K", "dir", REG_EXPAND_SZ, dir), ERROR_SUCCESS);
    ASSERT_EQ(Query("K", "dir", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, dir);
    EXPECT_EQ(Get().substr(0, 2), "\xFF\xFE");
}

TEST_F(Integrity, Utf16HivesKeepWhatTheEditDoesNotName) {
    // A lone surrogate in another key's value and in a comment.
    std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n; \xD800 comment\r\n"
                          u"[HKEY_CURRENT_USER\\Other]\r\n\"x\"=\"a\xDC00z\"\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n"
                          u"\"v\"=\"1\"\r\n";
    const std::string before = Utf16(text);
    Put(before);
    ASSERT_EQ(Set("K", "w", REG_SZ, std::string("caf\xC3\xA9\0", 6)), ERROR_SUCCESS);
    ASSERT_EQ(Set("New", "w", REG_SZ, std::string("2\0", 2)), ERROR_SUCCESS);
    std::string after = Get();
    EXPECT_EQ(after.substr(0, before.size()), before);
    EXPECT_EQ(after.substr(before.size()), Utf16(u"\"w\"=\"caf\u00e9\"\r\n\r\n[HKEY_CURRENT_USER\\New]\r\n"
                                                 u"\"w\"=\"2\"\r\n").substr(2));
    // Narrow text that is no UTF-8 has no exact UTF-16: refused, nothing changed.
    EXPECT_EQ(Set("K", "dir", REG_EXPAND_SZ, std::string("caf\xE9\0", 5)), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(Set("K", "caf\xE9", REG_SZ, std::string("x\0", 2)), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(Get(), after);
    // An 8-bit hive keeps such bytes as they are.
    Put("REGEDIT4\r\n");
    ASSERT_EQ(Set("K", "caf\xE9", REG_EXPAND_SZ, std::string("caf\xE9\0", 5)), ERROR_SUCCESS);
    DWORD type;
    std::string data;
    ASSERT_EQ(Query("K", "caf\xE9", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("caf\xE9\0", 5));
}

// A UTF-16 file whose last unit is cut in half is never rewritten, whatever
// the write: a changed value, a new one, a new key. It still reads.
TEST_F(Integrity, AUtf16FileCutInHalfIsNeverRewritten) {
    const std::string cut =
        Utf16(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"v\"=\"1\"\r\n") + "x";
    Put(cut);
    EXPECT_EQ(Set("K", "v", REG_SZ, std::string("2\0", 2)), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Set("K", "w", REG_SZ, std::string("2\0", 2)), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Set("New", "w", REG_SZ, std::string("2\0", 2)), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Set("K\\Sub", "w", REG_SZ, std::string("2\0", 2)), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Get(), cut);
    DWORD type;
    std::string data;
    ASSERT_EQ(Query("K", "v", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("1\0", 2));
}

TEST_F(Integrity, LinksAreFollowed) {
    std::string dots = dir_ + "/dots";
    ASSERT_EQ(mkdir(dots.c_str(), 0755), 0);
    std::ofstream(dots + "/user.reg") << "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Keep]\r\n";
    ASSERT_EQ(symlink("dots/user.reg", File().c_str()), 0);
    ASSERT_EQ(Set("A", "v", REG_SZ, std::string("1\0", 2)), ERROR_SUCCESS);
    ASSERT_EQ(Set("A", "v", REG_SZ, std::string("2\0", 2)), ERROR_SUCCESS);
    struct stat st;
    ASSERT_EQ(lstat(File().c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(Get().find("\"v\"=\"2\""), std::string::npos);
    EXPECT_NE(Get().find("[HKEY_CURRENT_USER\\Keep]"), std::string::npos);
    // A link to a file not there yet makes that file.
    ASSERT_EQ(symlink((dots + "/machine.reg").c_str(), File("HKEY_LOCAL_MACHINE").c_str()), 0);
    ASSERT_EQ(Set("A", "v", REG_SZ, std::string("3\0", 2), HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(lstat((dots + "/machine.reg").c_str(), &st), 0);
    // A hard link is broken: the store's name takes the new text.
    ASSERT_EQ(link((dots + "/machine.reg").c_str(), (dots + "/other.reg").c_str()), 0);
    ASSERT_EQ(Set("A", "v", REG_SZ, std::string("4\0", 2), HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    std::ifstream other(dots + "/other.reg");
    std::stringstream old_text;
    old_text << other.rdbuf();
    EXPECT_NE(old_text.str().find("\"v\"=\"3\""), std::string::npos);
    EXPECT_NE(Get("HKEY_LOCAL_MACHINE").find("\"v\"=\"4\""), std::string::npos);
}

TEST_F(Integrity, RootKeepsTheOwnerOfAUsersHive) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    Put("REGEDIT4\r\n", "HKEY_LOCAL_MACHINE");
    ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(File("HKEY_LOCAL_MACHINE").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(File("HKEY_LOCAL_MACHINE").c_str(), 0600), 0);
    ASSERT_EQ(Set("SOFTWARE\\Halden\\Tessel", "tessel_dir", REG_EXPAND_SZ, std::string("D\0", 2),
                  HKEY_LOCAL_MACHINE),
              ERROR_SUCCESS);
    ASSERT_EQ(Set("K", "v", REG_SZ, std::string("x\0", 2)), ERROR_SUCCESS);  // a new hive
    for (const char *root : {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"}) {
        struct stat st;
        ASSERT_EQ(stat(File(root).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << root;
        EXPECT_EQ(st.st_gid, 65534u) << root;
    }
    struct stat st;
    ASSERT_EQ(stat(File("HKEY_LOCAL_MACHINE").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// Root, writing into a user's store (sudo keeps the user's HOME), follows no
// link of the user's anywhere on the way: not the hive's, not the store
// directory's or its parents', not one inside a root link's target, not the
// cache's. Such a write fails with 5 and makes nothing; a reading answers
// and makes no index there.
TEST_F(Integrity, RootFollowsNoLinkOfAUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const uid_t user = 65534;
    std::string secret = dir_ + "/secret", home = dir_ + "/home";
    const std::string hive = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Keep]\r\n";
    struct Place {
        const char *what;
        std::vector<std::pair<std::string, std::string>> links;  // a user's link, and its target
        const char *store;  // WINSHIM_REGISTRY, or null for the default store under HOME
    };
    const Place places[] = {
        {"the hive is a link", {{"store/HKEY_LOCAL_MACHINE.reg", "../secret/HKEY_LOCAL_MACHINE.reg"}}, "store"},
        {"the store is a link", {{"store", "secret"}}, "store"},
        {"a parent of the store is a link", {{"up", "secret"}}, "up/registry"},
        {"the default store under HOME is a link", {{"home/.local", "../secret"}}, nullptr},
        {"a root link's relative target passes a user's link", {{"hop", "secret"}}, "rooted"},
    };
    for (const Place &place : places) {
        ASSERT_EQ(system(("rm -rf '" + dir_ + "'/*").c_str()), 0);
        for (const char *d : {"secret", "secret/registry", "secret/share", "secret/share/winshim",
                              "secret/share/winshim/registry", "home", "store", "rooted"})
            ASSERT_EQ(mkdir((dir_ + "/" + d).c_str(), 0700), 0);
        for (const char *d : {"store", "home", "rooted"})
            ASSERT_EQ(chown((dir_ + "/" + d).c_str(), user, user), 0);
        for (const char *file : {"HKEY_LOCAL_MACHINE.reg", "registry/HKEY_LOCAL_MACHINE.reg",
                                 "share/winshim/registry/HKEY_LOCAL_MACHINE.reg"})
            std::ofstream(secret + "/" + file) << hive;
        for (const auto &[link, target] : place.links) {
            std::string at = dir_ + "/" + link;
            rmdir(at.c_str());
            ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << place.what;
            ASSERT_EQ(lchown(at.c_str(), user, user), 0);
        }
        // root's own link, whose target goes through the user's "hop"
        ASSERT_EQ(symlink("../hop/HKEY_LOCAL_MACHINE.reg", (dir_ + "/rooted/HKEY_LOCAL_MACHINE.reg").c_str()), 0);
        if (place.store) {
            setenv("WINSHIM_REGISTRY", (dir_ + "/" + place.store).c_str(), 1);
        } else {
            unsetenv("WINSHIM_REGISTRY");
            setenv("HOME", home.c_str(), 1);
        }
        std::string tree = "find '" + secret + "' -printf '%p %s %T@\\n' | sort > ";
        ASSERT_EQ(system((tree + dir_ + "/before").c_str()), 0);
        EXPECT_EQ(Set("A", "v", REG_SZ, std::string("1\0", 2), HKEY_LOCAL_MACHINE), ERROR_ACCESS_DENIED)
            << place.what;
        ASSERT_EQ(system((tree + dir_ + "/after").c_str()), 0);
        EXPECT_EQ(system(("cmp -s " + dir_ + "/before " + dir_ + "/after").c_str()), 0)
            << place.what << ": root's directory changed";
        for (const char *file : {"HKEY_LOCAL_MACHINE.reg", "registry/HKEY_LOCAL_MACHINE.reg",
                                 "share/winshim/registry/HKEY_LOCAL_MACHINE.reg"}) {
            std::ifstream in(secret + "/" + file);
            std::stringstream text;
            text << in.rdbuf();
            EXPECT_EQ(text.str(), hive) << place.what << ": " << file;
        }
    }
    setenv("WINSHIM_REGISTRY", dir_.c_str(), 1);
}

// The user's ~/.cache is a link: root, reading a read-only hive with that
// HOME, answers, and makes no index where the link points.
TEST_F(Integrity, RootMakesNoIndexThroughAUsersCacheLink) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    std::string secret = dir_ + "/secret", home = dir_ + "/home";
    ASSERT_EQ(mkdir(secret.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
    ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
    ASSERT_EQ(symlink(secret.c_str(), (home + "/.cache").c_str()), 0);
    ASSERT_EQ(lchown((home + "/.cache").c_str(), 65534, 65534), 0);
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_CACHE_HOME");
    setenv("WINSHIM_INDEX", "always", 1);
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"p\"=\"1\"\n");
    chmod(File().c_str(), 0444);
    timespec pause = {0, 20000000};  // the hive's change must lie in the past for an index
    nanosleep(&pause, nullptr);
    DWORD type;
    std::string data;
    EXPECT_EQ(Query("A", "p", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("1\0", 2));
    unsetenv("WINSHIM_INDEX");
    EXPECT_EQ(system(("find '" + secret + "' -mindepth 1 | grep -q .").c_str()), 256) << "an index in root's directory";
}

// While a user swaps the store between a directory of theirs and a link of
// theirs to root's, root's writes land in the user's directory or fail:
// none reaches root's, and none leaves a temporary file anywhere.
TEST_F(Integrity, ALinkSwappedDuringRootsWritesMovesNone) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    std::string secret = dir_ + "/secret", own = dir_ + "/own", store = dir_ + "/store";
    ASSERT_EQ(mkdir(secret.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(store.c_str(), 0755), 0);
    ASSERT_EQ(chown(store.c_str(), 65534, 65534), 0);
    const std::string hive = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Keep]\r\n";
    std::ofstream(secret + "/HKEY_LOCAL_MACHINE.reg") << hive;
    pid_t flipper = fork();
    ASSERT_GE(flipper, 0);
    if (flipper == 0) {
        std::string link = store + ".link";
        for (;;) {  // the directory away, the link in its place, and back
            if (rename(store.c_str(), own.c_str()) != 0 || symlink(secret.c_str(), link.c_str()) != 0 ||
                lchown(link.c_str(), 65534, 65534) != 0 || rename(link.c_str(), store.c_str()) != 0)
                _exit(1);
            sched_yield();
            if (unlink(store.c_str()) != 0 || rename(own.c_str(), store.c_str()) != 0)
                _exit(1);
            sched_yield();
        }
    }
    setenv("WINSHIM_REGISTRY", store.c_str(), 1);
    for (int i = 0; i < 150; i++) {
        LONG rc = Set("A", "v", REG_SZ, std::to_string(i) + '\0', HKEY_LOCAL_MACHINE);
        // The key made by the create may be gone by the value's write (1018).
        EXPECT_TRUE(rc == ERROR_SUCCESS || rc == ERROR_ACCESS_DENIED || rc == ERROR_PATH_NOT_FOUND ||
                    rc == ERROR_FILE_NOT_FOUND || rc == ERROR_KEY_DELETED)
            << "error " << rc;
    }
    kill(flipper, SIGKILL);
    waitpid(flipper, nullptr, 0);
    setenv("WINSHIM_REGISTRY", dir_.c_str(), 1);
    std::ifstream in(secret + "/HKEY_LOCAL_MACHINE.reg");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), hive);
    for (const std::string &d : {secret, own, store})
        EXPECT_NE(system(("ls -A '" + d + "' 2>/dev/null | grep -q winshim-").c_str()), 0) << "a temporary file in " << d;
}

// A user without a home directory (no HOME, no entry in /etc/passwd) has no
// default store, rather than one under "/" that every such user would share:
// every call fails with 3 until WINSHIM_REGISTRY names one.
TEST_F(Integrity, AUserWithoutAHomeHasNoDefaultStore) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to become a user without a home";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(out[1], STDERR_FILENO);
        for (const char *name : {"HOME", "WINSHIM_REGISTRY", "XDG_DATA_HOME"})
            unsetenv(name);
        if (setgid(54321) != 0 || setuid(54321) != 0)
            _exit(99);
        HKEY key;
        DWORD disposition;
        static char no_class[] = "";
        LONG opened = RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &key);
        LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tessel", 0, no_class, 0, KEY_WRITE, nullptr,
                                       &key, &disposition);
        _exit(opened == ERROR_PATH_NOT_FOUND && created == ERROR_PATH_NOT_FOUND ? 0 : 1);
    }
    close(out[1]);
    std::string said;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(said, "winshim: no registry store: this user has no home directory; name one with WINSHIM_REGISTRY\n");
    struct stat st;
    EXPECT_NE(stat("/.local/share/winshim", &st), 0);
}

TEST_F(Integrity, FilesThatAreNoHivesAndLinesTooLong) {
    ASSERT_EQ(mkfifo(File().c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/zero", File("HKEY_LOCAL_MACHINE").c_str()), 0);
    ASSERT_EQ(mkdir(File("HKEY_USERS").c_str(), 0755), 0);
    HKEY key;
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
        EXPECT_EQ(RegOpenKeyExA(root, "", 0, KEY_READ, &key), ERROR_REGISTRY_IO_FAILED);
        EXPECT_EQ(Set("K", "v", REG_SZ, "x", root), ERROR_REGISTRY_IO_FAILED);
    }
    struct stat st;
    ASSERT_EQ(lstat(File().c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    // A line of more than 4 MiB is no line of a hive: passed over, unkept.
    Put("REGEDIT4\n[HKEY_CURRENT_CONFIG\\K]\n\"v\"=\"" + std::string(5 << 20, 'x') + "\"\n\"w\"=\"1\"\n",
        "HKEY_CURRENT_CONFIG");
    DWORD type;
    std::string data;
    EXPECT_EQ(Query("K", "v", &type, &data, HKEY_CURRENT_CONFIG), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Query("K", "w", &type, &data, HKEY_CURRENT_CONFIG), ERROR_SUCCESS);
}

TEST_F(Integrity, EachHiveHasItsOwnLockAndAWaitEnds) {
    Put("REGEDIT4\r\n", "HKEY_LOCAL_MACHINE");
    const std::string before = Get("HKEY_LOCAL_MACHINE");
    // As a writer stopped inside its rewrite holds it.
    int held = open(File("HKEY_LOCAL_MACHINE").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    setenv("WINSHIM_LOCK_WAIT", "1", 1);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Set("K", "v", REG_SZ, "x", HKEY_CURRENT_USER), ERROR_SUCCESS);
    auto other = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Set("K", "v", REG_SZ, "x", HKEY_LOCAL_MACHINE), ERROR_SHARING_VIOLATION);
    auto waited = std::chrono::steady_clock::now() - start - other;
    unsetenv("WINSHIM_LOCK_WAIT");
    close(held);
    EXPECT_LT(other, std::chrono::milliseconds(500));
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::seconds(5));
    EXPECT_EQ(Get("HKEY_LOCAL_MACHINE"), before);
}

TEST_F(Integrity, OnlyDeadWritersFilesAreRemoved) {
    Put("REGEDIT4\r\n");
    const std::string mine[] = {".HKEY_CURRENT_USER.reg.backup", ".HKEY_CURRENT_USER.reg.abcdef",
                                ".HKEY_CURRENT_USER.reg.winshim-notmine"};
    for (const std::string &name : mine)
        std::ofstream(dir_ + "/" + name) << "keep";
    std::ofstream(dir_ + "/.HKEY_CURRENT_USER.reg.winshim-Dead01") << "REGEDIT4";
    std::string live = dir_ + "/.HKEY_CURRENT_USER.reg.winshim-Live01";
    std::ofstream(live) << "REGEDIT4";
    int held = open(live.c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    ASSERT_EQ(Set("K", "v", REG_SZ, "x"), ERROR_SUCCESS);
    close(held);
    std::vector<std::string> left = StrayFiles();
    std::set<std::string> names(left.begin(), left.end());
    std::set<std::string> expected(std::begin(mine), std::end(mine));
    expected.insert(".HKEY_CURRENT_USER.reg.winshim-Live01");
    EXPECT_EQ(names, expected);
}

TEST_F(Integrity, FormEditsRacingEndAsSomeOrder) {
    // Twenty adds of one name: one lands, with its size; the others fail with 80.
    std::vector<pid_t> adds;
    for (int i = 1; i <= 20; i++)
        adds.push_back(Child([i](HANDLE server) {
            FORM_INFO_1W form = Form(L"Same", i * 1000);
            return AddFormW(server, 1, reinterpret_cast<LPBYTE>(&form));
        }));
    int winner = 0;
    for (int i = 1; i <= 20; i++) {
        int status = Status(adds[i - 1]);
        EXPECT_TRUE(status == 0 || status == ERROR_FILE_EXISTS) << status;
        if (status == 0) {
            EXPECT_EQ(winner, 0) << "two adds of one name";
            winner = i;
        }
    }
    DWORD type;
    std::string data;
    ASSERT_EQ(Query(kForms, "Same", &type, &data, HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(static_cast<unsigned char>(data[0]) | static_cast<unsigned char>(data[1]) << 8, winner * 1000);

    // A change racing a deletion: a deletion that reports success leaves no form.
    for (int round = 0; round < 15; round++) {
        Put("REGEDIT4\r\n", "HKEY_LOCAL_MACHINE");
        FORM_INFO_1W x = Form(L"X", 1000);
        HANDLE server;
        ASSERT_TRUE(OpenPrinterW(nullptr, &server, nullptr));
        ASSERT_TRUE(AddFormW(server, 1, reinterpret_cast<LPBYTE>(&x)));
        pid_t set = Child([](HANDLE h) {
            FORM_INFO_1W form = Form(L"X", 5000);
            return SetFormW(h, const_cast<LPWSTR>(L"X"), 1, reinterpret_cast<LPBYTE>(&form));
        });
        pid_t del = Child([](HANDLE h) { return DeleteFormW(h, const_cast<LPWSTR>(L"X")); });
        Status(set);
        if (Status(del) == 0) {
            EXPECT_EQ(Query(kForms, "X", &type, &data, HKEY_LOCAL_MACHINE), ERROR_FILE_NOT_FOUND) << round;
        }
        // A rename racing an add of the new name: not both, and one form of that name.
        pid_t rename = Child([](HANDLE h) {
            FORM_INFO_1W form = Form(L"Y", 5000);
            return SetFormW(h, const_cast<LPWSTR>(L"X"), 1, reinterpret_cast<LPBYTE>(&form));
        });
        pid_t add = Child([](HANDLE h) {
            FORM_INFO_1W form = Form(L"Y", 7000);
            return AddFormW(h, 1, reinterpret_cast<LPBYTE>(&form));
        });
        int renamed = Status(rename), added = Status(add);
        EXPECT_FALSE(renamed == 0 && added == 0) << round;
        int ys = 0;
        for (const auto &form : UserForms())
            ys += form.first == L"Y";
        EXPECT_EQ(ys, added == 0 || renamed == 0 ? 1 : 0) << round;
        ClosePrinter(server);
    }

    // Adds at once take creation numbers of their own.
    Put("REGEDIT4\r\n", "HKEY_LOCAL_MACHINE");
    static const wchar_t *const names[] = {L"F0", L"F1", L"F2", L"F3", L"F4", L"F5", L"F6", L"F7"};
    std::vector<pid_t> children;
    for (const wchar_t *name : names)
        children.push_back(Child([name](HANDLE server) {
            FORM_INFO_1W form = Form(name, 1000);
            return AddFormW(server, 1, reinterpret_cast<LPBYTE>(&form));
        }));
    for (pid_t pid : children)
        EXPECT_EQ(Status(pid), 0);
    std::set<DWORD> numbers;
    for (const auto &form : UserForms())
        numbers.insert(form.second);
    EXPECT_EQ(numbers.size(), std::size(names));
}

// Bytes that are no UTF-8 decode one way everywhere: one U+FFFD for each
// longest start of a sequence, so equal inputs give equal names.
TEST_F(Integrity, NarrowTextThatIsNoUtf8) {
    const struct {
        const char *bytes;
        std::wstring wide;
    } cases[] = {
        {"S\xED\xA0\x80", L"S\xFFFD\xFFFD\xFFFD"},  // a surrogate
        {"a\xC0\x80z", L"a\xFFFD\xFFFD" L"z"},      // an overlong NUL does not cut the text
        {"\xE2\x82", L"\xFFFD"},                    // cut short
        {"\xF4\x90\x80\x80", L"\xFFFD\xFFFD\xFFFD\xFFFD"},  // above U+10FFFF
        {"\xF0\x9F\x98\x80\xC3\xA9", L"\x1F600\xE9"},
    };
    for (const auto &c : cases) {
        setenv("WINSHIM_TEST_TEXT", c.bytes, 1);
        wchar_t out[16];
        ASSERT_EQ(GetEnvironmentVariableW(L"WINSHIM_TEST_TEXT", out, 16), c.wide.size()) << c.bytes;
        EXPECT_EQ(std::wstring(out), c.wide) << c.bytes;
    }
    unsetenv("WINSHIM_TEST_TEXT");
}

TEST_F(Integrity, MalformedVersionsAreIgnored) {
    for (const char *text : {"-1.-1.-1", "99999999999.1.1", "2.5", "2.5.1x", " 2.5.1"}) {
        setenv("WINSHIM_WINVER", text, 1);
        OSVERSIONINFOW version;
        version.dwOSVersionInfoSize = sizeof version;
        ASSERT_TRUE(GetVersionExW(&version));
        EXPECT_EQ(version.dwPlatformId, DWORD(VER_PLATFORM_WIN32_NT)) << text;
        EXPECT_EQ(version.dwMajorVersion, 10u) << text;
    }
    setenv("WINSHIM_WINVER", "1.4.10", 1);
    OSVERSIONINFOW version;
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExW(&version));
    EXPECT_EQ(version.dwPlatformId, 1u);
    EXPECT_EQ(version.dwMinorVersion, 10u);
    unsetenv("WINSHIM_WINVER");
}

}  // namespace
