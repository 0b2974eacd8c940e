// The hive reader, through the registry functions.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class Hive : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/winshim-test-XXXXXX";
        dir_ = mkdtemp(tmpl);
        setenv("WINSHIM_REGISTRY", dir_.c_str(), 1);
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void Write(const char *root, const std::string &text) {
        std::ofstream(dir_ + "/" + root + ".reg", std::ios::binary) << text;
    }
    std::string dir_;
};

TEST_F(Hive, OpensKeysWithoutRegardToCase) {
    Write("HKEY_CURRENT_USER", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tessel]\n\"a\"=\"1\"\n");
    HKEY key = reinterpret_cast<HKEY>(0xdeadbeef);
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\tessel", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tesselx", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
}

}  // namespace
