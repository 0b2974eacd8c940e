// A Wine prefix as the store: its files read as Wine gives their keys to a
// program (names and strings with Wine's escapes, link keys, the two views
// of a 64-bit prefix, the roots that are views of other keys), written in
// Wine's notation, never while a wineserver runs for it, and prefixes that
// are broken answered without a crash or a rewrite.

#include <windows.h>

#include <gtest/gtest.h>

#include "../describe.h"
#include "store.h"

#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// "\Registry\Machine\..." as a link's SymbolicLinkValue: UTF-16LE bytes, no
// terminator, in hex.
std::string LinkValue(const std::string &target) {
    std::string out = "\"SymbolicLinkValue\"=hex(6):";
    for (size_t i = 0; i < target.size(); i++) {
        char byte[8];
        snprintf(byte, sizeof byte, "%02x,00", static_cast<unsigned char>(target[i]));
        out += (i ? "," : "") + std::string(byte);
    }
    return out + "\n";
}

std::string Section(const std::string &path, const std::string &lines = "") {
    return "\n[" + path + "] 1700000000\n#time=1d9ff1b2ea6c800\n" + lines;
}

const char kUserHead[] =
    "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n";

class Prefix : public Store {
protected:
    void SetUp() override {
        Store::SetUp();
        unsetenv("WINSHIM_VIEW");
        std::string machine =
            "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n" +
            Section("Software\\\\Classes\\\\.txt", "@=\"txtfile\"\n") +
            Section("Software\\\\Classes\\\\Wow6432Node\\\\CLSID\\\\{32}", "\"Bits\"=dword:00000020\n") +
            Section("Software\\\\Tessel", "\"bits\"=\"64\"\n") +
            Section("Software\\\\Wow6432Node\\\\Classes",
                    "#link\n" + LinkValue("\\Registry\\Machine\\Software\\Classes\\Wow6432Node")) +
            Section("Software\\\\Wow6432Node\\\\Tessel", "\"bits\"=\"32\"\n") +
            Section("System\\\\CurrentControlSet\\\\Hardware Profiles\\\\Current\\\\Software\\\\Fonts",
                    "\"LogPixels\"=dword:00000060\n") +
            Section("System\\\\Links\\\\Chain", "#link\n" + LinkValue("\\REGISTRY\\MACHINE\\System\\Links\\Hop")) +
            Section("System\\\\Links\\\\Hop", "#link\n" + LinkValue("\\Registry\\Machine\\System\\Links\\Target")) +
            Section("System\\\\Links\\\\Loop", "#link\n" + LinkValue("\\Registry\\Machine\\System\\Links\\Loop")) +
            Section("System\\\\Links\\\\Missing", "#link\n" + LinkValue("\\Registry\\Machine\\Software\\Nowhere")) +
            Section("System\\\\Links\\\\Relative", "#link\n" + LinkValue("System\\Links\\Target")) +
            Section("System\\\\Links\\\\Target", "\"t\"=dword:00000007\n") +
            Section("System\\\\Links\\\\ToUser",
                    "#link\n" + LinkValue("\\Registry\\User\\S-1-5-21-0-0-0-1000\\Software\\Wine")) +
            Section("System\\\\Names",
                    "@=\"default\"\n"
                    "\"caf\\xe9\"=\"\\x00e91\\\\ \\\"q\\\" tab\\there \\001\"\n"
                    "\"expand\"=str(2):\"%PATH%\\\\x\"\n"
                    "\"multi\"=str(7):\"a\\0b\\0\"\n"
                    "\"odd\"=hex(1):61,00,62\n"
                    "\"qword\"=hex(b):08,07,06,05,04,03,02,01\n"
                    "\"u\"=\"\\xd83d\\xde00\"\n") +
            Section("System\\\\Order\\\\_x") + Section("System\\\\Order\\\\a") + Section("System\\\\Order\\\\B");
        Put(machine, "system.reg");
        Put(std::string(kUserHead) + Section("Software\\\\Wine", "\"Version\"=\"win10\"\n"), "user.reg");
        Put("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\.Default\n\n#arch=win64\n" +
                Section("Control Panel\\\\Desktop", "\"Wallpaper\"=\"\"\n"),
            "userdef.reg");
    }
    // A write leaves the lock directory of a wineserver for the prefix, as
    // the server does: gone with the prefix.
    void TearDown() override {
        struct stat st;
        for (uid_t owner : {geteuid(), 65534u}) {
            if (stat(dir_.c_str(), &st) != 0)
                break;
            char server[96];
            snprintf(server, sizeof server, "/tmp/.wine-%u/server-%llx-%llx", static_cast<unsigned>(owner),
                     static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino));
            unlink((std::string(server) + "/lock").c_str());
            rmdir(server);
        }
        Store::TearDown();
    }
    std::string File(const char *name) const { return dir_ + "/" + name; }
    void Put(const std::string &text, const char *name) { std::ofstream(File(name), std::ios::binary) << text; }
    std::string Get(const char *name) const {
        std::ifstream in(File(name), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string Value(const char *path, const char *name, HKEY root = HKEY_LOCAL_MACHINE) {
        DWORD type;
        std::string data;
        LONG rc = Query(path, name, &type, &data, root);
        return rc ? "error " + std::to_string(rc) : std::to_string(type) + ":" + data;
    }
};

TEST_F(Prefix, ReadsAsWineGivesItsKeysToAProgram) {
    using std::string;
    // Names and strings: Wine's escapes undone, strings in the ANSI code page.
    EXPECT_EQ(Value("System\\Names", "caf\xc3\xa9"), "1:" + string("\xc3\xa9" "1\\ \"q\" tab\there \x01\0", 20));
    EXPECT_EQ(Value("System\\Names", ""), string("1:default\0", 10));
    EXPECT_EQ(Value("System\\Names", "expand"), string("2:%PATH%\\x\0", 11));
    EXPECT_EQ(Value("System\\Names", "multi"), string("7:a\0b\0\0", 7));
    EXPECT_EQ(Value("System\\Names", "odd"), string("1:a", 3));  // half a unit is dropped
    EXPECT_EQ(Value("System\\Names", "qword"), "11:\x08\x07\x06\x05\x04\x03\x02\x01");
    EXPECT_EQ(Value("System\\Names", "u"), string("1:\xf0\x9f\x98\x80\0", 7));
    // Keys and values in Wine's order: '_' before the letters, names folded to lower case.
    EXPECT_EQ(Describe("System\\Order", HKEY_LOCAL_MACHINE), "keys _x a B\nvalues");
    HKEY names;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\Names", 0, KEY_READ, &names), ERROR_SUCCESS);
    string order;
    char name[64];
    for (DWORD i = 0, size = sizeof name; RegEnumValueA(names, i, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                                          ERROR_SUCCESS;
         i++, size = sizeof name)
        order += string(name) + "|";
    RegCloseKey(names);
    EXPECT_EQ(order, "|caf\xc3\xa9|expand|multi|odd|qword|u|");
    // Links followed link by link, in HKLM and into HKCU; a loop, a link to
    // nowhere and a relative target are no keys.
    EXPECT_EQ(Value("System\\Links\\Chain", "t"), "4:" + string("\x07\0\0\0", 4));
    EXPECT_EQ(Value("System\\Links\\ToUser", "Version"), string("1:win10\0", 8));
    for (const char *broken : {"System\\Links\\Loop", "System\\Links\\Missing", "System\\Links\\Relative"})
        EXPECT_EQ(Describe(broken, HKEY_LOCAL_MACHINE), "open 2") << broken;
    // The 32-bit view by default, as the shipped programs see it; the 64-bit one on request.
    EXPECT_EQ(Value("Software\\Tessel", "bits"), string("1:32\0", 5));
    EXPECT_EQ(Value("CLSID\\{32}", "Bits", HKEY_CLASSES_ROOT), "4:" + string(" \0\0\0", 4));
    EXPECT_EQ(Describe("Software", HKEY_LOCAL_MACHINE), "keys Classes Tessel\nvalues");
    setenv("WINSHIM_VIEW", "64", 1);
    EXPECT_EQ(Value("Software\\Tessel", "bits"), string("1:64\0", 5));
    EXPECT_EQ(Describe("CLSID\\{32}", HKEY_CLASSES_ROOT), "open 2");
    EXPECT_EQ(Describe(".txt", HKEY_CLASSES_ROOT), "keys\nvalues :1:txtfile" + string(1, '\0'));
    unsetenv("WINSHIM_VIEW");
    // The roots that are other keys: the users, the current configuration.
    EXPECT_EQ(Describe("", HKEY_USERS), "keys .Default S-1-5-21-0-0-0-1000\nvalues");
    EXPECT_EQ(Value("S-1-5-21-0-0-0-1000\\Software\\Wine", "Version", HKEY_USERS), string("1:win10\0", 8));
    EXPECT_EQ(Value(".Default\\Control Panel\\Desktop", "Wallpaper", HKEY_USERS), string("1:\0", 3));
    EXPECT_EQ(Value("Software\\Fonts", "LogPixels", HKEY_CURRENT_CONFIG), "4:" + string("`\0\0\0", 4));
    // A read leaves the prefix as it was, file for file: an index goes to the cache.
    setenv("WINSHIM_INDEX", "always", 1);
    setenv("XDG_CACHE_HOME", (dir_ + "/cache").c_str(), 1);
    std::string before = Get("system.reg");
    timespec pause = {0, 20000000};
    nanosleep(&pause, nullptr);
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(Value("System\\Links\\Chain", "t"), "4:" + string("\x07\0\0\0", 4));
    EXPECT_EQ(Get("system.reg"), before);
    EXPECT_NE(system(("ls -A '" + dir_ + "/cache/winshim' | grep -q system.reg").c_str()), 256);
    EXPECT_EQ(system(("ls -A '" + dir_ + "' | grep -q winshim").c_str()), 256) << "a file of winshim in the prefix";
    unsetenv("WINSHIM_INDEX");
    unsetenv("XDG_CACHE_HOME");
}

TEST_F(Prefix, WritesInWinesNotation) {
    using std::string;
    ASSERT_EQ(Set("Software\\Halden\\Tessel", "tessel_dir", REG_EXPAND_SZ, string("C:\\Tessel\0", 10),
                  HKEY_LOCAL_MACHINE),
              ERROR_SUCCESS);
    ASSERT_EQ(Set("System\\Names", "caf\xc3\xa9 \"1\"", REG_SZ, string("\xc3\xa9" "a\x01" "7\0", 6), HKEY_LOCAL_MACHINE),
              ERROR_SUCCESS);
    ASSERT_EQ(Set("System\\Names", "bin", REG_BINARY, string(30, '\xab'), HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    std::string text = Get("system.reg");
    // The new key where Wine keeps it, in the 32-bit view's tree, with its times.
    std::smatch m;
    EXPECT_TRUE(std::regex_search(text, m,
                                  std::regex("00\n\n\\[Software\\\\\\\\Wow6432Node\\\\\\\\Halden\\\\\\\\Tessel\\] "
                                             "[0-9]+\n#time=[0-9a-f]+\n\"tessel_dir\"=str\\(2\\):\"C:\\\\\\\\Tessel\"\n\n"
                                             "\\[Software\\\\\\\\Wow6432Node\\\\\\\\Tessel\\]")))
        << text;
    // Values in the order of their names, strings escaped as Wine escapes
    // them, a binary wrapped as Wine wraps it; the key's time renewed.
    EXPECT_NE(text.find("[System\\\\Names] 17"), string::npos);
    EXPECT_NE(text.find("\"bin\"=hex:ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,ab,\\\n"
                        "  ab,ab,ab,ab,ab,ab,ab\n\"caf\\xe9\"="),
              string::npos)
        << text;
    EXPECT_NE(text.find("\"caf\\xe9 \\\"1\\\"\"=\"\\x00e9a\\0017\"\n\"expand\""), string::npos) << text;
    EXPECT_EQ(Value("Software\\Halden\\Tessel", "tessel_dir"), string("2:C:\\Tessel\0", 12));
    EXPECT_EQ(Value("System\\Names", "caf\xc3\xa9 \"1\""), string("1:\xc3\xa9" "a\x01" "7\0", 8));
    // Text that is no UTF-8 has no UTF-16 form: refused, the file as it was.
    EXPECT_EQ(Set("System\\Names", "bad", REG_SZ, string("\xff\0", 2), HKEY_LOCAL_MACHINE),
              ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_EQ(Get("system.reg"), text);
}

// A wineserver holds a write lock on its directory's "lock" for its life;
// Debian's Wine names that directory in the prefix's file "wineserver".
TEST_F(Prefix, NoWriteWhileAWineserverRuns) {
    std::string tmp = dir_ + "/tmp";
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    setenv("TMPDIR", tmp.c_str(), 1);
    Put("wine-test12", "wineserver");
    struct stat st;
    ASSERT_EQ(stat(dir_.c_str(), &st), 0);
    char server[128];
    snprintf(server, sizeof server, "%s/wine-test12/server-%llx-%llx", tmp.c_str(),
             static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino));
    ASSERT_EQ(system(("mkdir -p -m 700 '" + std::string(server) + "'").c_str()), 0);
    std::string lock = std::string(server) + "/lock";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = fork();
    if (holder == 0) {  // a wineserver, as far as its lock goes
        int fd = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
        struct flock byte0 {};
        byte0.l_type = F_WRLCK;
        byte0.l_len = 1;
        if (fd < 0 || fcntl(fd, F_SETLK, &byte0) != 0 || write(ready[1], "x", 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    std::string machine = Get("system.reg"), user = Get("user.reg");
    EXPECT_EQ(Set("Software\\Halden\\Tessel", "tessel_dir", REG_EXPAND_SZ, std::string("C:\\T\0", 5),
                  HKEY_LOCAL_MACHINE),
              ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Set("Software\\Halden\\Tessel", "tessel_dir", REG_EXPAND_SZ, std::string("C:\\T\0", 5)),
              ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Get("system.reg"), machine);
    EXPECT_EQ(Get("user.reg"), user);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    // Gone: the write goes, holding the lock itself meanwhile (upstream
    // Wine's directory made too, the user's and closed to others).
    EXPECT_EQ(Set("Software\\Halden\\Tessel", "tessel_dir", REG_EXPAND_SZ, std::string("C:\\T\0", 5)), ERROR_SUCCESS);
    char upstream[128];
    snprintf(upstream, sizeof upstream, "/tmp/.wine-%u", static_cast<unsigned>(st.st_uid));
    ASSERT_EQ(stat(upstream, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A lock that is no file: nothing can tell whether a server runs.
    ASSERT_EQ(unlink(lock.c_str()), 0);
    ASSERT_EQ(mkdir(lock.c_str(), 0700), 0);
    EXPECT_EQ(Set("Software\\Halden\\Tessel", "v", REG_SZ, std::string("x\0", 2)), ERROR_SHARING_VIOLATION);
    if (geteuid() == 0) {
        // Root into a user's prefix, where another user made the directory
        // the prefix names, its "lock" a link to root's file: no server of
        // the prefix's user would start there, and root's file is not given
        // away.
        ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
        ASSERT_EQ(stat(dir_.c_str(), &st), 0);
        std::string other = tmp + "/wine-other";
        snprintf(server, sizeof server, "%s/server-%llx-%llx", other.c_str(),
                 static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino));
        ASSERT_EQ(system(("mkdir -p '" + std::string(server) + "' && chown -R 1234 '" + other + "'").c_str()), 0);
        Put("secret", "root-file");
        ASSERT_EQ(link(File("root-file").c_str(), (std::string(server) + "/lock").c_str()), 0);
        Put("wine-other", "wineserver");
        EXPECT_EQ(Set("Software\\Halden\\Tessel", "v", REG_SZ, std::string("x\0", 2)), ERROR_SUCCESS);
        ASSERT_EQ(stat(File("root-file").c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
    }
    unsetenv("TMPDIR");
}

TEST_F(Prefix, BrokenPrefixesAnswerAndAreNeverRewritten) {
    using std::string;
    // A version this reader does not know: every key fails, nothing is written.
    Put("WINE REGISTRY Version 3\n" + Section("Software\\\\A", "\"v\"=\"1\"\n"), "system.reg");
    std::string text = Get("system.reg");
    EXPECT_EQ(Describe("Software\\A", HKEY_LOCAL_MACHINE), "open 1015");
    EXPECT_EQ(Set("Software\\A", "w", REG_SZ, string("2\0", 2), HKEY_LOCAL_MACHINE), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Get("system.reg"), text);
    // Cut in the middle of a value, bad escapes, a section without its ']',
    // a user.reg without its user: what can be read is read.
    Put("WINE REGISTRY Version 2\n" + Section("Software\\\\A", "\"v\"=\"\\q\\777 end\"\n\"w\"=hex:01,02,\\\n  03") +
            "\n[Software\\\\Broken 1700000000\n\"x\"=\"y", "system.reg");
    Put("WINE REGISTRY Version 2\n#arch=win64\n" + Section("Software\\\\U", "\"u\"=\"1\"\n"), "user.reg");
    EXPECT_EQ(Value("Software\\A", "v"), string("1:q\xc7\xbf end\0", 10));
    EXPECT_EQ(Value("Software\\A", "w"), "3:\x01\x02\x03");
    EXPECT_EQ(Describe("", HKEY_USERS), "keys .Default\nvalues");
    EXPECT_EQ(Value("Software\\U", "u", HKEY_CURRENT_USER), string("1:1\0", 4));
    if (geteuid() != 0)
        return;
    // Root into a user's prefix: the files keep their owner. A user into
    // root's: refused, nothing changed.
    ASSERT_EQ(chown(File("user.reg").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Set("Software\\U", "root", REG_SZ, string("r\0", 2), HKEY_CURRENT_USER), ERROR_SUCCESS);
    struct stat st;
    ASSERT_EQ(stat(File("user.reg").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    ASSERT_EQ(chown(File("user.reg").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(File("user.reg").c_str(), 0644), 0);
    text = Get("user.reg");
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        _exit(Set("Software\\U", "user", REG_SZ, string("u\0", 2), HKEY_CURRENT_USER) == ERROR_SUCCESS ? 1 : 0);
    }
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Get("user.reg"), text);
}

// Paths as the prefix's programs name them: through its drives.
TEST_F(Prefix, PathsThroughTheDrives) {
    ASSERT_EQ(system(("mkdir -p '" + dir_ + "/dosdevices' '" + dir_ + "/drive_c/Tessel/bin'").c_str()), 0);
    ASSERT_EQ(symlink("../drive_c", (dir_ + "/dosdevices/c:").c_str()), 0);
    EXPECT_EQ(GetFileAttributesA("C:\\Tessel\\bin"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesA("c:/Tessel/none"), INVALID_FILE_ATTRIBUTES);
    char path[4096];
    EXPECT_EQ(GetModuleFileNameA(nullptr, path, sizeof path), 0u) << path;  // no drive reaches the test
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    ASSERT_EQ(symlink("/", (dir_ + "/dosdevices/z:").c_str()), 0);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    std::string want = "Z:" + std::string(self, static_cast<size_t>(n));
    for (char &c : want)
        if (c == '/')
            c = '\\';
    ASSERT_GT(GetModuleFileNameA(nullptr, path, sizeof path), 0u);
    EXPECT_EQ(std::string(path), want);
}

}  // namespace
