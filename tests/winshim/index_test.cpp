// The index beside a hive answers as reading the whole hive answers: over
// random hives, after random edits (through the API, and in place by another
// program that keeps the size and puts the time back), and whatever has
// become of the index itself. And it keeps to the store's rules: it never
// takes the space a write needs, root's index in a user's store is the
// user's, and the cache lies in the user's home.

#include <windows.h>

#include <gtest/gtest.h>

#include "../describe.h"
#include "store.h"
#include "testing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class Index : public Store {
protected:
    void SetUp() override {
        Store::SetUp();
        setenv("WINSHIM_INDEX", "always", 1);
    }
    void TearDown() override {
        unsetenv("WINSHIM_INDEX");
        unsetenv("XDG_CACHE_HOME");
        Store::TearDown();
    }
    std::string IndexFile() const { return dir_ + "/.HKEY_CURRENT_USER.reg.winshim-index"; }
    bool Indexed() const {
        struct stat st;
        return stat(IndexFile().c_str(), &st) == 0;
    }
};

// Lets the clock that dates file changes pass the hive's last change, so
// that an index may be made of it.
void Settle() {
    timespec pause = {0, 20000000};
    nanosleep(&pause, nullptr);
}

// A random hive: keys of a few names in either case, sections that repeat,
// removals of keys and values, lines passed over, hex lists over lines.
std::string RandomHive(std::mt19937 &random, std::set<std::string> &paths) {
    static const char *const names[] = {"A", "a", "B", "Sub", "SUB", "x_y", "K1", "k1", "Deep"};
    auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
    std::string text = pick(4) ? "REGEDIT4\r\n\r\n" : "REGEDIT4\n\n";
    for (int s = 0, sections = 5 + static_cast<int>(pick(40)); s < sections; s++) {
        std::string path;
        for (size_t depth = 1 + pick(3), d = 0; d < depth; d++)
            path += (d ? "\\" : "") + std::string(names[pick(std::size(names))]);
        paths.insert(path);
        switch (pick(12)) {
        case 0: text += "[-HKEY_CURRENT_USER\\" + path + "]\n\n"; continue;
        case 1: text += "[HKEY_CURRENT_USER\\" + path + "\n"; break;  // no ']': passed over
        default: text += "[HKEY_CURRENT_USER\\" + path + "]\n"; break;
        }
        for (size_t v = 0, values = pick(4); v < values; v++) {
            std::string name = std::string(1, static_cast<char>('p' + pick(4)));
            switch (pick(7)) {
            case 0: text += "\"" + name + "\"=-\n"; break;
            case 1: text += "\"" + name + "\"=dword:" + std::to_string(pick(100000)) + " ; a comment\n"; break;
            case 2: text += "\"" + name + "\"=hex:01,02,\\\n\n  03\n"; break;
            case 3: text += "\"" + name + "\"=bad\n"; break;
            case 4: text += "@=\"default " + std::to_string(pick(9)) + "\"\n"; break;
            default: text += "\"" + name + "\"=\"value " + std::to_string(pick(100)) + "\"\n"; break;
            }
        }
        text += "\n";
    }
    return text;
}

// A hive shaped as the benchmarks' (bench/make_hive.py), small: eight groups
// of twelve keys, each key with one value or four (a hex list over two
// lines among them), in export order, with ten keys moved to other places,
// or in random order.
std::string ShapedHive(std::mt19937 &random, int values, const std::string &order, std::set<std::string> &paths) {
    std::vector<std::string> sections;
    auto add = [&](const std::string &path, int count) {
        std::string text = "[HKEY_CURRENT_USER\\" + path + "]\r\n";
        for (int v = 0; v < count; v++)
            text += v == 3 ? std::string("\"h\"=hex:01,02,\\\r\n  03\r\n")
                           : "\"v" + std::to_string(v) + "\"=dword:" + std::to_string(v) + "\r\n";
        sections.push_back(text + "\r\n");
        paths.insert(path);
    };
    add("Software\\Bench", 1);
    for (int g = 0; g < 8; g++) {
        std::string group = "Software\\Bench\\G" + std::to_string(g);
        add(group, 1);
        for (int k = 0; k < 12; k++)
            add(group + "\\K" + std::to_string(100 + k), values);
    }
    if (order == "moved") {
        for (int m = 0; m < 10; m++) {
            size_t from = random() % sections.size(), to = random() % sections.size();
            std::string moved = sections[from];
            sections.erase(sections.begin() + static_cast<long>(from));
            sections.insert(sections.begin() + static_cast<long>(to), moved);
        }
    } else if (order == "random") {
        std::shuffle(sections.begin(), sections.end(), random);
    }
    std::string text = "REGEDIT4\r\n\r\n";
    for (const std::string &section : sections)
        text += section;
    return text;
}

// Makes the index builder work in small sizes while it stands, so that a
// small hive's runs are long, spilled, merged and copied block by block as
// those of a hive of millions of keys are.
struct SmallBuilder {
    explicit SmallBuilder(bool small) {
        if (small)
            winshim::testing::SetIndexBuilderSizes(1024, 3, 4, 128);
    }
    ~SmallBuilder() { winshim::testing::SetIndexBuilderSizes(0, 0, 0, 0); }
};

void ExpectSameAnswers(const std::set<std::string> &paths, const char *when) {
    for (const std::string &path : paths) {
        setenv("WINSHIM_INDEX", "off", 1);
        std::string whole = Describe(path);
        setenv("WINSHIM_INDEX", "always", 1);
        EXPECT_EQ(Describe(path), whole) << when << ": " << path;
    }
}

TEST_F(Index, AnswersAsTheWholeHiveAnswers) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 40; round++) {
        SmallBuilder small(round % 2);
        std::set<std::string> paths = {"", "A", "a\\sub", "None", "A\\B\\Deep", "K1\\k1"};
        Put(RandomHive(random, paths));
        std::set<std::string> all = paths;
        for (const std::string &path : paths)  // every key on every path, and one below each
            for (size_t cut = path.find('\\'); cut != std::string::npos; cut = path.find('\\', cut + 1))
                all.insert(path.substr(0, cut));
        Settle();
        Describe("");  // the first read makes the index
        ASSERT_TRUE(Indexed()) << "round " << round;
        ExpectSameAnswers(all, "indexed");

        // A write puts a new file in place: the index is of another file now.
        std::string path = *std::next(all.begin(), static_cast<long>(random() % all.size()));
        ASSERT_EQ(Set(path.c_str(), "new", REG_SZ, std::string("n\0", 2)), ERROR_SUCCESS);
        ExpectSameAnswers(all, "after a write");
        Settle();
        Describe("");

        // Another program changes the file in place, keeps its size and puts
        // its times back: only the time of the change tells.
        std::string text = Get();
        size_t at = text.find("value ");
        if (at == std::string::npos)
            continue;
        struct stat before;
        ASSERT_EQ(stat(File().c_str(), &before), 0);
        text[at + 6] = text[at + 6] == 'Z' ? 'Y' : 'Z';
        int fd = open(File().c_str(), O_WRONLY);
        ASSERT_EQ(pwrite(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(futimens(fd, times), 0);
        close(fd);
        ExpectSameAnswers(all, "after a change in place");
    }
    // The benchmarks' shapes.
    SmallBuilder small(true);
    for (auto [values, order] : {std::pair(1, "in order"), {4, "in order"}, {4, "moved"}, {4, "random"}}) {
        std::set<std::string> paths = {"", "Software\\Bench\\G3\\K999", "Software\\Bench\\G35", "Software\\None"};
        Put(ShapedHive(random, values, order, paths));
        Settle();
        Describe("");
        ASSERT_TRUE(Indexed()) << order;
        ExpectSameAnswers(paths, (std::to_string(values) + " values a key, " + order).c_str());
    }
    // A Wine prefix's file, in Wine's order ('_' before the letters, names
    // folded to lower case beyond ASCII too), its keys as a table lists them
    // and shuffled: its index lies in the cache.
    std::string cache = dir_ + "/cache";
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    Put("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n", "system");
    // Each name as Wine writes it and as a program names it.
    static const char *const names[][2] = {{"_x", "_x"}, {"a", "a"}, {"B", "B"}, {"Caf\\xe9", "Caf\xc3\xa9"},
                                           {"CAF\\xc9", "CAF\xc3\x89"}, {"z1", "z1"}, {"Z_", "Z_"}};
    std::vector<std::string> sections;
    std::set<std::string> paths = {"", "None", "Soft\\None"};
    for (const auto &first : names)
        for (const auto &second : names) {
            sections.push_back(std::string("\n[Soft\\\\") + first[0] + "\\\\" + second[0] +
                               "] 1700000000\n#time=1d9ff1b2ea6c800\n\"v\"=\"" + second[0] + "\"\n");
            paths.insert(std::string("Soft\\") + first[1]);
            paths.insert(std::string("Soft\\") + first[1] + "\\" + second[1]);
        }
    for (bool shuffled : {false, true}) {
        if (shuffled)
            std::shuffle(sections.begin(), sections.end(), random);
        std::string text = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n";
        for (const std::string &section : sections)
            text += section;
        Put(text, "user");
        Settle();
        Describe("");
        ASSERT_EQ(system(("test -n \"$(ls -A '" + cache + "/winshim')\"").c_str()), 0) << shuffled;
        ExpectSameAnswers(paths, shuffled ? "a Wine file, shuffled" : "a Wine file");
    }
}

TEST_F(Index, AnIndexThatIsNotAsWrittenIsNotBelieved) {
    std::mt19937 random(7);
    std::set<std::string> paths = {"A", "a\\Sub", "B"};
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\A\\Sub]\n\"p\"=\"1\"\n[HKEY_CURRENT_USER\\B]\n\"q\"=dword:2\n"
        "[-HKEY_CURRENT_USER\\A\\Sub]\n[HKEY_CURRENT_USER\\A\\Sub\\Deep]\n");
    paths.insert("A\\Sub\\Deep");
    Settle();
    Describe("");
    ASSERT_TRUE(Indexed());
    std::string genuine;
    {
        std::ifstream in(IndexFile(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        genuine = bytes.str();
    }
    auto put_index = [&](const std::string &bytes, mode_t mode) {
        unlink(IndexFile().c_str());
        std::ofstream(IndexFile(), std::ios::binary) << bytes;
        chmod(IndexFile().c_str(), mode);
    };
    // Every byte changed in turn, the index cut short, and one open to
    // others' writes: each answer is still the whole hive's.
    for (size_t at = 0; at < genuine.size(); at += 1 + at / 16) {
        std::string damaged = genuine;
        damaged[at] = static_cast<char>(damaged[at] ^ (1 + random() % 255));
        put_index(damaged, 0644);
        ExpectSameAnswers(paths, ("a byte changed at " + std::to_string(at)).c_str());
    }
    put_index(genuine.substr(0, genuine.size() / 2), 0644);
    ExpectSameAnswers(paths, "cut short");
    put_index(genuine, 0666);
    ExpectSameAnswers(paths, "writable by others");
    if (geteuid() == 0) {
        // Damaged, and another user's: not looked at.
        std::string damaged = genuine;
        damaged[damaged.size() - 1] ^= 1;
        put_index(damaged, 0644);
        ASSERT_EQ(chown(IndexFile().c_str(), 65534, 65534), 0);
        ExpectSameAnswers(paths, "another user's");
    }
    // The index of another hive file.
    put_index(genuine, 0644);
    std::string text = Get();
    Put(text + "\n");
    ExpectSameAnswers(paths, "another file");
}

TEST_F(Index, AStoreThatCannotBeWrittenKeepsItsIndexInTheCache) {
    std::string cache = dir_ + "/cache";
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"p\"=\"1\"\n");
    chmod(File().c_str(), 0444);  // read-only for every user, root included
    Settle();
    std::set<std::string> paths = {"A"};
    ExpectSameAnswers(paths, "read-only");
    EXPECT_FALSE(Indexed());
    DIR *d = opendir((cache + "/winshim").c_str());
    ASSERT_NE(d, nullptr);
    int indexes = 0;
    while (const dirent *e = readdir(d))
        indexes += std::string(e->d_name).find("HKEY_CURRENT_USER.reg.index") != std::string::npos;
    closedir(d);
    EXPECT_EQ(indexes, 1);
    ExpectSameAnswers(paths, "from the cache");
}

// An export-like hive of about `size` bytes, keys in order.
std::string LargeHive(size_t size) {
    std::string text = "REGEDIT4\r\n\r\n";
    for (int i = 0; text.size() < size; i++)
        text += "[HKEY_CURRENT_USER\\Software\\Bench\\K" + std::to_string(1000000 + i) +
                "]\r\n\"name\"=\"value of key " + std::to_string(i) + "\"\r\n\r\n";
    return text;
}

// The blocks of the index of a hive B, which is hive A with one key renamed
// in place, put into A's index where they stand in B's: not believed, and a
// key that the whole reading finds is not reported missing.
TEST_F(Index, ABlockOfAnotherIndexIsNotBelieved) {
    auto hive = [](int renamed) {
        std::string text = "REGEDIT4\r\n\r\n";
        for (int i = 0; i < 4000; i += 2)
            text += "[HKEY_CURRENT_USER\\Software\\K" + std::to_string(100000 + (i == 2000 ? renamed : i)) +
                    "]\r\n\"v\"=\"" + std::to_string(i) + "\"\r\n\r\n";
        return text;
    };
    auto index_of = [this](const std::string &text) {
        Put(text);
        Settle();
        Describe("");
        std::ifstream in(IndexFile(), std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    };
    std::string b = index_of(hive(2001)), a = index_of(hive(2000));
    ASSERT_EQ(a.size(), b.size());
    auto le64 = [](const std::string &s, size_t at) {
        uint64_t v = 0;
        for (int i = 7; i >= 0; i--)
            v = v << 8 | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
        return v;
    };
    uint64_t directory = le64(a, 192);
    ASSERT_EQ(a.substr(directory), b.substr(directory));  // the same blocks at the same places
    std::string forged = a;
    int swapped = 0;
    for (uint64_t at = directory; at < a.size(); at += 8) {
        uint64_t from = le64(a, at), to = at + 8 < a.size() ? le64(a, at + 8) : directory;
        if (a.compare(from, to - from, b, from, to - from) != 0) {
            forged.replace(from, to - from, b, from, to - from);
            swapped++;
        }
    }
    ASSERT_GT(swapped, 0);
    unlink(IndexFile().c_str());
    std::ofstream(IndexFile(), std::ios::binary) << forged;
    chmod(IndexFile().c_str(), 0644);
    ExpectSameAnswers({"Software\\K102000", "Software\\K102001", "Software"}, "B's blocks in A's index");
    // Sealed anew, as one who may write the index could: its blocks pass
    // every check, but the hive does not show B's key where they say.
    ASSERT_TRUE(winshim::testing::SealIndex(forged));
    unlink(IndexFile().c_str());
    std::ofstream(IndexFile(), std::ios::binary) << forged;
    chmod(IndexFile().c_str(), 0644);
    EXPECT_EQ(Describe("Software\\K102000"), "keys\nvalues v:1:2000" + std::string(1, '\0'));
}

// A file system with room for twice the hive: readers, three beside each of
// sixty writes, make no index that would take what the write needs, and no
// write fails. With room for an index too, one is made, and writes still go.
TEST_F(Index, AReaderNeverTakesTheSpaceAWriteNeeds) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system takes root";
    std::string text = LargeHive(600000);
    size_t pages = (text.size() + 4095) / 4096;
    std::string key = "Software\\Bench\\K1000007";
    for (size_t room : {2 * pages + 8, 3 * pages + 1024}) {
        int writes = room > 2 * pages + 8 ? 10 : 60;
        std::string options = "size=" + std::to_string(room * 4) + "k";
        if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, options.c_str()) != 0)
            GTEST_SKIP() << "no tmpfs to mount";
        struct Unmount {
            std::string dir;
            ~Unmount() { umount(dir.c_str()); }
        } unmount{dir_};
        Put(text);
        Settle();
        ExpectSameAnswers({key}, "read");
        EXPECT_EQ(Indexed(), room > 2 * pages + 8) << room << " pages";
        int failed = 0;
        for (int write = 0; write < writes; write++) {
            std::vector<pid_t> readers;
            for (int r = 0; r < 3; r++) {
                pid_t pid = fork();
                if (pid == 0) {
                    Describe(key);
                    _exit(0);
                }
                readers.push_back(pid);
            }
            failed += Set(key.c_str(), "name", REG_SZ, std::to_string(write) + '\0') != ERROR_SUCCESS;
            for (pid_t pid : readers)
                waitpid(pid, nullptr, 0);
            Settle();
        }
        EXPECT_EQ(failed, 0) << room << " pages";
        ExpectSameAnswers({key, "Software\\Bench"}, "written");
    }
}

TEST_F(Index, RootsIndexInAUsersStoreIsTheUsers) {
    if (geteuid() != 0)
        GTEST_SKIP() << "only root makes files for another user";
    ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"p\"=\"1\"\n");
    ASSERT_EQ(chown(File().c_str(), 65534, 65534), 0);
    Settle();
    std::set<std::string> paths = {"A"};
    ExpectSameAnswers(paths, "made");
    struct stat st;
    ASSERT_EQ(stat(IndexFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ExpectSameAnswers(paths, "from the user's index");
}

// Whole seconds in a file's times may come of a clock that ticks in two (FAT
// keeps modification times so): no index is made of it until two seconds
// have passed since its last change, or a change within the same tick could
// leave the file's times as the index knows them.
TEST_F(Index, WholeSecondTimesWaitForATwoSecondClock) {
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a file system takes root";
    char image[] = "/tmp/winshim-test-image-XXXXXX";
    int fd = mkstemp(image);
    ASSERT_GE(fd, 0);
    close(fd);
    struct RemoveImage {
        std::string path;
        ~RemoveImage() { unlink(path.c_str()); }
    } remove_image{image};
    // ext2 with small inodes keeps whole seconds.
    std::string make = "truncate -s 8M " + remove_image.path + " && mkfs.ext2 -q -I 128 " + remove_image.path +
                       " 2>/dev/null && mount -o loop " + remove_image.path + " " + dir_ + " 2>/dev/null";
    if (system(make.c_str()) != 0)
        GTEST_SKIP() << "no ext2 image to mount";
    struct Unmount {
        std::string dir;
        ~Unmount() { umount(dir.c_str()); }
    } unmount{dir_};
    auto now = [] {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    };
    std::set<std::string> paths = {"A"};
    struct stat st{};
    for (int attempt = 0;; attempt++) {
        ASSERT_LT(attempt, 5) << "no moment between one and two seconds after a change";
        Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"p\"=\"1\"\n");
        ASSERT_EQ(stat(File().c_str(), &st), 0);
        ASSERT_EQ(st.st_ctim.tv_nsec, 0);
        double changed = static_cast<double>(st.st_ctim.tv_sec);
        while (now() < changed + 1.2)
            usleep(10000);
        if (now() < changed + 1.8)
            break;
    }
    ExpectSameAnswers(paths, "a second after the change");
    EXPECT_FALSE(Indexed());
    while (now() < static_cast<double>(st.st_ctim.tv_sec) + 2.1)
        usleep(10000);
    ExpectSameAnswers(paths, "two seconds after");
    EXPECT_TRUE(Indexed());
}

// The indexes of hives named so in a cache directory.
std::set<std::string> CachedIndexes(const std::string &cache) {
    std::set<std::string> names;
    if (DIR *d = opendir(cache.c_str())) {
        while (const dirent *e = readdir(d))
            if (std::string(e->d_name).find("-HKEY_CURRENT_USER.reg.index") != std::string::npos)
                names.insert(cache + "/" + e->d_name);
        closedir(d);
    }
    return names;
}

TEST_F(Index, WithoutHomeTheCacheIsInTheHomeOfPasswd) {
    const passwd *user = getpwuid(getuid());
    if (!user || !user->pw_dir || !strcmp(user->pw_dir, "/"))
        GTEST_SKIP() << "no home of one's own in /etc/passwd";
    std::string cache = std::string(user->pw_dir) + "/.cache/winshim";
    struct RestoreHome {
        const char *home = getenv("HOME");
        std::string saved = home ? home : "";
        ~RestoreHome() {
            if (home)
                setenv("HOME", saved.c_str(), 1);
        }
    } restore;
    unsetenv("HOME");
    unsetenv("XDG_CACHE_HOME");
    std::set<std::string> before = CachedIndexes(cache), at_root = CachedIndexes("/.cache/winshim");
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"p\"=\"1\"\n");
    chmod(File().c_str(), 0444);  // an index of its own goes to the cache
    Settle();
    std::set<std::string> paths = {"A"};
    ExpectSameAnswers(paths, "read-only");
    std::set<std::string> after = CachedIndexes(cache);
    EXPECT_EQ(CachedIndexes("/.cache/winshim"), at_root);
    std::vector<std::string> made;
    for (const std::string &name : after)
        if (!before.count(name))
            made.push_back(name);
    EXPECT_EQ(made.size(), 1u);
    for (const std::string &name : made)
        unlink(name.c_str());
}

}  // namespace
