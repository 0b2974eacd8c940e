// A fresh registry store for each test, in a directory of its own.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <sys/stat.h>

class Store : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/winshim-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv("WINSHIM_REGISTRY", dir_.c_str(), 1);
    }
    void TearDown() override {
        chmod(dir_.c_str(), 0755);
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    std::string File(const char *root = "HKEY_CURRENT_USER") const { return dir_ + "/" + root + ".reg"; }
    // Writes a hive file as it stands.
    void Put(const std::string &text, const char *root = "HKEY_CURRENT_USER") {
        std::ofstream(File(root), std::ios::binary) << text;
    }
    std::string Get(const char *root = "HKEY_CURRENT_USER") const {
        std::ifstream in(File(root), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir_;
};
