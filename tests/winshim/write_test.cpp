// Writing hives: text kept as it was, values that read back as written, and
// no loss with many writers, killed writers, corrupt or read-only hives.

#include <windows.h>

#include <gtest/gtest.h>

#include "store.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Write = Store;

TEST_F(Write, EditsKeepTheRestOfTheText) {
    const std::string before =
        "REGEDIT4\r\n"
        "; kept as written\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Software\\Tessel]\r\n"
        "\"a\"=\"1\"\r\n"
        "\"b\"=hex:01,02,\\\r\n"
        "  03\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Other]\r\n"
        "@=\"x\"\r\n";
    Put(before);
    ASSERT_EQ(Set("SOFTWARE\\TESSEL", "c", REG_SZ, std::string("3\0", 2)), ERROR_SUCCESS);
    std::string after = before;
    after.insert(after.find("\r\n[HKEY_CURRENT_USER\\Other]"), "\"c\"=\"3\"\r\n");
    EXPECT_EQ(Get(), after);

    ASSERT_EQ(Set("Software\\Tessel", "B", REG_DWORD, std::string("\x10\0\0\0", 4)), ERROR_SUCCESS);
    size_t at = after.find("\"b\"=hex");
    after.replace(at, after.find("\"c\"") - at, "\"B\"=dword:00000010\r\n");
    EXPECT_EQ(Get(), after);

    // A new key is spelled as the hive spells the part that exists.
    ASSERT_EQ(Set("SOFTWARE\\tessel\\New", "", REG_SZ, std::string("n\0", 2)), ERROR_SUCCESS);
    EXPECT_EQ(Get(), after + "\r\n[HKEY_CURRENT_USER\\Software\\Tessel\\New]\r\n@=\"n\"\r\n");
}

// A last line may end in a lone CR, which reads as its line end: what goes
// after it completes the CRLF instead of adding a CR to the line.
TEST_F(Write, ALastLineEndingInCarriageReturnStaysReadable) {
    const std::string ends[] = {"[HKEY_CURRENT_USER\\A]\r", "[HKEY_CURRENT_USER\\A]\r\n\"v\"=\"1\"\r"};
    for (const std::string &end : ends) {
        Put("REGEDIT4\r\n\r\n" + end);
        ASSERT_EQ(Set("A", "w", REG_SZ, std::string("2\0", 2)), ERROR_SUCCESS) << end;
        ASSERT_EQ(Set("A\\B", "x", REG_SZ, std::string("3\0", 2)), ERROR_SUCCESS) << end;
        EXPECT_EQ(Get(), "REGEDIT4\r\n\r\n" + end + "\n\"w\"=\"2\"\r\n\r\n[HKEY_CURRENT_USER\\A\\B]\r\n"
                         "\"x\"=\"3\"\r\n");
        DWORD type;
        std::string data;
        EXPECT_EQ(Query("A", "w", &type, &data), ERROR_SUCCESS) << end;
        EXPECT_EQ(Query("A\\B", "x", &type, &data), ERROR_SUCCESS) << end;
    }
}

TEST_F(Write, ValuesReadBackAsWritten) {
    std::string long_binary;
    for (int i = 0; i < 300; i++)
        long_binary += static_cast<char>(i);
    const struct {
        const char *name;
        DWORD type;
        std::string data;
    } values[] = {
        {"", REG_SZ, std::string("default\0", 8)},
        {"quote\"and\\slash", REG_SZ, std::string("C:\\dir \"x\"\0", 11)},
        {"line break", REG_SZ, std::string("a\nb\0", 4)},
        {"no terminator", REG_SZ, "abc"},
        {"dir", REG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15)},
        {"dword", REG_DWORD, std::string("\xff\xff\xff\xff", 4)},
        {"short dword", REG_DWORD, std::string("\x01\x02", 2)},
        {"binary", REG_BINARY, long_binary},
        {"empty", REG_BINARY, ""},
        {"list", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)},
        {"odd type", 0x1234, "\x01"},
    };
    for (const auto &v : values)
        ASSERT_EQ(Set("Software\\Tessel", v.name, v.type, v.data), ERROR_SUCCESS) << v.name;
    for (const auto &v : values) {
        DWORD type;
        std::string data;
        ASSERT_EQ(Query("Software\\Tessel", v.name, &type, &data), ERROR_SUCCESS) << v.name;
        EXPECT_EQ(type, v.type) << v.name;
        EXPECT_EQ(data, v.data) << v.name;
    }
    // Every line of the file stays within regedit's width.
    std::istringstream lines(Get());
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 81u) << line;
}

TEST_F(Write, KeysAreCreatedAlongThePath) {
    HKEY key;
    DWORD disposition = 0xdeadbeef;
    static char no_class[] = "";
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halden\\Tessel", 0, no_class, 0, KEY_WRITE, nullptr,
                              &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\halden", 0, no_class, 0, KEY_WRITE, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);
    EXPECT_EQ(Get("HKEY_LOCAL_MACHINE"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halden\\Tessel]\r\n");
    // A key opened for reading takes no value.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
}

// Lines the reader passes over are kept where they stand, byte for byte:
// mending them is not a write's job.
TEST_F(Write, LinesPassedOverAreKeptByteForByte) {
    const std::string before = "REGEDIT4\r\n[HKEY_CURRENT_USER\\K]\r\n\"v\"=dword:nothex\r\n\"a\"=\"1\"\r\n"
                               "/* a comment of the wrong kind */\r\n[HKEY_CURRENT_USER\\K\\NoEnd\r\n"
                               "\"b\"=hex:01,\\\r\n  zz\r\n";
    Put(before);
    ASSERT_EQ(Set("K", "a", REG_SZ, std::string("2\0", 2)), ERROR_SUCCESS);
    ASSERT_EQ(Set("K", "w", REG_SZ, std::string("x\0", 2)), ERROR_SUCCESS);
    ASSERT_EQ(Set("New", "w", REG_SZ, std::string("x\0", 2)), ERROR_SUCCESS);
    std::string after = before;
    after.replace(after.find("\"a\"=\"1\""), 7, "\"a\"=\"2\"\r\n\"w\"=\"x\"");
    after += "\r\n[HKEY_CURRENT_USER\\New]\r\n\"w\"=\"x\"\r\n";
    EXPECT_EQ(Get(), after);
    // A file without a header is never rewritten.
    const std::string none = "[HKEY_CURRENT_USER\\K]\n\"v\"=\"1\"\n";
    Put(none);
    EXPECT_EQ(Set("K", "w", REG_SZ, "x"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegSetValueExA(HKEY_CURRENT_USER, "w", 0, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(Get(), none);
    EXPECT_TRUE(StrayFiles().empty());
}

// A hex list that the end of the file leaves open would take the next line
// as its continuation: new text goes before it.
TEST_F(Write, AHexListOpenAtTheEnd) {
    const std::string before = "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"x\"=\"1\"\r\n\r\n"
                               "[HKEY_CURRENT_USER\\K]\r\n\"open\"=hex:01,02,\\\r\n";
    Put(before);
    ASSERT_EQ(Set("K", "v", REG_SZ, std::string("1\0", 2)), ERROR_SUCCESS);
    ASSERT_EQ(Set("New", "v", REG_SZ, std::string("2\0", 2)), ERROR_SUCCESS);
    EXPECT_EQ(Get(), "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"x\"=\"1\"\r\n\r\n"
                     "[HKEY_CURRENT_USER\\New]\r\n\"v\"=\"2\"\r\n\r\n"
                     "[HKEY_CURRENT_USER\\K]\r\n\"v\"=\"1\"\r\n\"open\"=hex:01,02,\\\r\n");
    DWORD type;
    std::string data;
    EXPECT_EQ(Query("K", "open", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, "\x01\x02");
}

TEST_F(Write, ReadOnlyHivesRefuseWrites) {
    const std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n";
    Put(text, "HKEY_LOCAL_MACHINE");
    chmod(File("HKEY_LOCAL_MACHINE").c_str(), 0444);
    EXPECT_EQ(Set("SOFTWARE\\Halden", "v", REG_SZ, "x", HKEY_LOCAL_MACHINE), ERROR_ACCESS_DENIED);
    EXPECT_EQ(Set("SOFTWARE", "v", REG_SZ, "x", HKEY_LOCAL_MACHINE), ERROR_ACCESS_DENIED);
    HKEY key;
    static char no_class[] = "";
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, no_class, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(Get("HKEY_LOCAL_MACHINE"), text);
    // No file yet and a directory without write bits: no hive can be made.
    chmod(dir_.c_str(), 0555);
    EXPECT_EQ(Set("X", "v", REG_SZ, "x", HKEY_USERS), ERROR_ACCESS_DENIED);
}

TEST_F(Write, ManyWritersAtOnceLoseNothing) {
    const int writers = 20, each = 10;
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Race]\n\"before\"=\"kept\"\n");
    auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (int w = 0; w < writers; w++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0; i < each; i++) {
                std::string name = "writer " + std::to_string(w) + " value " + std::to_string(i);
                if (Set("Software\\Race", name.c_str(), REG_SZ, name + '\0') != ERROR_SUCCESS)
                    _exit(1);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    printf("%d writers x %d values: %lld ms\n", writers, each, static_cast<long long>(ms.count()));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Race", 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD count = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                               nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(count, DWORD(writers * each + 1));
    RegCloseKey(key);
    for (int w = 0; w < writers; w++)
        for (int i = 0; i < each; i++) {
            std::string name = "writer " + std::to_string(w) + " value " + std::to_string(i), data;
            DWORD type;
            ASSERT_EQ(Query("Software\\Race", name.c_str(), &type, &data), ERROR_SUCCESS) << name;
            EXPECT_EQ(data, name + '\0');
        }
    EXPECT_TRUE(StrayFiles().empty());
}

TEST_F(Write, AKilledWriterLeavesTheOldHiveOrTheNew) {
    // Large enough that a rewrite takes a while. Half the writers are killed
    // at a random moment, half the moment their new file appears.
    std::string text = "REGEDIT4\n\n";
    for (int i = 0; i < 20000; i++)
        text += "[HKEY_CURRENT_USER\\Fill\\K" + std::to_string(i) + "]\n\"v\"=\"" + std::string(200, 'f') + "\"\n\n";
    Put(text);
    std::mt19937 random(12345);
    int kills = 0, inside = 0;
    for (int round = 0; round < 30; round++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int i = 0;; i++)
                Set("Counter", "n", REG_DWORD, std::string(reinterpret_cast<char *>(&i), 4));
        }
        if (round % 2) {
            usleep(1000 + random() % 300000);
        } else {
            // Wait for the writer's new file to appear: it is inside its rewrite.
            for (int polls = 0; StrayFiles().empty() && polls < 200000; polls++)
                usleep(50);
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        kills++;
        inside += !StrayFiles().empty();
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Fill", 0, KEY_READ, &key), ERROR_SUCCESS) << "round " << round;
        DWORD subkeys = 0;
        RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr);
        EXPECT_EQ(subkeys, 20000u) << "round " << round;
        RegCloseKey(key);
    }
    printf("%d writers killed, %d of them inside a rewrite\n", kills, inside);
    // The next writer clears what killed ones left.
    ASSERT_EQ(Set("Counter", "n", REG_DWORD, std::string(4, '\0')), ERROR_SUCCESS);
    EXPECT_TRUE(StrayFiles().empty());
}

}  // namespace
