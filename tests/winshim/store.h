// A fresh registry store for each test, in a directory of its own.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>
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

    // The store's hidden files but the hives' indexes: what writers leave
    // beside the hives.
    std::vector<std::string> StrayFiles() const {
        std::vector<std::string> names;
        DIR *d = opendir(dir_.c_str());
        while (const dirent *e = readdir(d)) {
            std::string name = e->d_name;
            bool index = name.size() > 14 && name.compare(name.size() - 14, 14, ".winshim-index") == 0;
            if (name[0] == '.' && name != "." && name != ".." && !index)
                names.push_back(name);
        }
        closedir(d);
        return names;
    }

    // Stores a value, creating its key.
    static LONG Set(const char *path, const char *name, DWORD type, const std::string &data,
                    HKEY root = HKEY_CURRENT_USER) {
        HKEY key;
        DWORD disposition;
        static char no_class[] = "";
        LONG rc = RegCreateKeyExA(root, path, 0, no_class, 0, KEY_WRITE, nullptr, &key, &disposition);
        if (rc != ERROR_SUCCESS)
            return rc;
        rc = RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(data.data()),
                            static_cast<DWORD>(data.size()));
        RegCloseKey(key);
        return rc;
    }
    // Reads a value through a new handle, so from the file as it is now.
    static LONG Query(const char *path, const char *name, DWORD *type, std::string *data,
                      HKEY root = HKEY_CURRENT_USER) {
        HKEY key;
        LONG rc = RegOpenKeyExA(root, path, 0, KEY_READ, &key);
        if (rc != ERROR_SUCCESS)
            return rc;
        std::vector<BYTE> buffer(1 << 16, 0xCC);
        DWORD size = static_cast<DWORD>(buffer.size());
        *type = 0xdeadbeef;
        rc = RegQueryValueExA(key, name, nullptr, type, buffer.data(), &size);
        if (rc == ERROR_SUCCESS)
            data->assign(reinterpret_cast<char *>(buffer.data()), size);
        RegCloseKey(key);
        return rc;
    }

    std::string dir_;
};
