// The hive reader, through the registry functions it serves.

#include <windows.h>

#include <gtest/gtest.h>

#include "store.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

class Hive : public Store {
protected:
    // Opens HKCU\path for reading, or fails the test.
    HKEY Open(const char *path) {
        HKEY key = reinterpret_cast<HKEY>(0xdeadbeef);
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, KEY_READ, &key), ERROR_SUCCESS) << path;
        return key;
    }
    LONG OpenResult(const char *path, REGSAM sam = KEY_READ, HKEY root = HKEY_CURRENT_USER) {
        HKEY key;
        LONG rc = RegOpenKeyExA(root, path, 0, sam, &key);
        if (rc == ERROR_SUCCESS)
            RegCloseKey(key);
        return rc;
    }
    static std::string Data(HKEY key, const char *name, DWORD *type = nullptr) {
        BYTE data[256];
        memset(data, 0xCC, sizeof data);
        DWORD size = sizeof data, t = 0xdeadbeef;
        EXPECT_EQ(RegQueryValueExA(key, name, nullptr, &t, data, &size), ERROR_SUCCESS) << name;
        if (type)
            *type = t;
        return std::string(reinterpret_cast<char *>(data), size);
    }
    static std::vector<std::string> Subkeys(HKEY key) {
        std::vector<std::string> names;
        char name[MAX_PATH];
        for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; i++)
            names.push_back(name);
        return names;
    }
    static std::vector<std::string> ValueNames(HKEY key) {
        std::vector<std::string> names;
        char name[256];
        DWORD size = sizeof name;
        for (DWORD i = 0; RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             i++, size = sizeof name)
            names.push_back(name);
        return names;
    }

};

using Names = std::vector<std::string>;

// As Windows' regedit writes it: CRLF, escapes, continued hex lists.
const char kExport[] =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Tessel]\r\n"
    "@=\"default\"\r\n"
    "\"Path\"=\"C:\\\\Program Files\\\\Tessel \\\"quoted\\\"\"\r\n"
    "\"Count\"=dword:0000002a\r\n"
    "\"Dir\"=hex(2):25,54,45,53,53,45,4c,25,5c,62,69,6e,00\r\n"
    "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\r\n"
    "  16,17,18,19\r\n"
    "\"na\\\"me\"=\"v\"\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Tessel\\Sub]\r\n"
    "\r\n";

TEST_F(Hive, ReadsAnExportAsWritten) {
    Put(kExport);
    HKEY key = Open("Software\\Tessel");
    DWORD type;
    EXPECT_EQ(Data(key, "", &type), std::string("default\0", 8));
    EXPECT_EQ(type, DWORD(REG_SZ));
    EXPECT_EQ(Data(key, nullptr), std::string("default\0", 8));
    EXPECT_EQ(Data(key, "path"), std::string("C:\\Program Files\\Tessel \"quoted\"\0", 33));
    EXPECT_EQ(Data(key, "Count", &type), std::string("\x2a\0\0\0", 4));
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(Data(key, "Dir", &type), std::string("%TESSEL%\\bin\0", 13));
    EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
    std::string bytes = Data(key, "Long", &type);
    ASSERT_EQ(bytes.size(), 26u);
    EXPECT_EQ(bytes[25], '\x19');
    EXPECT_EQ(Data(key, "na\"me"), std::string("v\0", 2));
    EXPECT_EQ(ValueNames(key), (Names{"", "Path", "Count", "Dir", "Long", "na\"me"}));
    EXPECT_EQ(Subkeys(key), Names{"Sub"});
    RegCloseKey(key);
}

// Regedit 5 files, as Windows and Wine export them: UTF-16LE with a byte
// order mark, strings in hex as UTF-16 too. The narrow functions see UTF-8.
TEST_F(Hive, ReadsVersion5Exports) {
    std::u16string text = u"Windows Registry Editor Version 5.00\r\n\r\n"
                          u"[HKEY_CURRENT_USER\\Software\\T\u00e9ssel]\r\n"
                          u"\"Name\"=\"caf\u00e9 \\\"x\\\"\"\r\n"
                          u"\"Dir\"=hex(2):41,00,e9,00,00,00\r\n"
                          u"\"List\"=hex(7):61,00,00,00,3d,d8,00,de,00,00,00,00\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    Put(bytes);
    HKEY key = Open("Software\\T\xC3\xA9ssel");
    EXPECT_EQ(Data(key, "Name"), std::string("caf\xC3\xA9 \"x\"\0", 10));
    DWORD type;
    EXPECT_EQ(Data(key, "Dir", &type), std::string("A\xC3\xA9\0", 4));
    EXPECT_EQ(type, DWORD(REG_EXPAND_SZ));
    EXPECT_EQ(Data(key, "List"), std::string("a\0\xF0\x9F\x98\x80\0\0", 8));
    RegCloseKey(key);
}

TEST_F(Hive, SectionsImplyTheirParentsAndMerge) {
    Put("REGEDIT4\n\n"
          "; a comment\n"
          "[HKEY_CURRENT_USER\\A\\B\\C]\n"
          "  \"first\"=\"1\"\n"
          "[HKEY_CURRENT_USER\\a\\b\\c]\n"
          "\"second\"=\"2\"\n"
          "\"FIRST\"=\"3\"\n"
          "[HKEY_CURRENT_USER\\A\\b2]\n");
    EXPECT_EQ(OpenResult("A"), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult("a\\B"), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult("A\\B\\C\\D"), ERROR_FILE_NOT_FOUND);
    HKEY c = Open("A\\B\\C");
    EXPECT_EQ(ValueNames(c), (Names{"first", "second"}));
    EXPECT_EQ(Data(c, "first"), std::string("3\0", 2));
    RegCloseKey(c);
    HKEY a = Open("A");
    EXPECT_EQ(Subkeys(a), (Names{"B", "b2"}));
    RegCloseKey(a);
}

TEST_F(Hive, SubkeysSortInUpperCase) {
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\K\\_x]\n[HKEY_CURRENT_USER\\K\\b]\n[HKEY_CURRENT_USER\\K\\A]\n"
          "[HKEY_CURRENT_USER\\K\\Z]\n[HKEY_CURRENT_USER\\K\\a1]\n");
    HKEY key = Open("K");
    EXPECT_EQ(Subkeys(key), (Names{"A", "a1", "b", "Z", "_x"}));
    RegCloseKey(key);
}

TEST_F(Hive, PathsAsWindowsTakesThem) {
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tessel]\n");
    EXPECT_EQ(OpenResult(""), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult(nullptr), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult("Software\\Tessel\\"), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult("Software\\\\Tessel"), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult("\\Software"), ERROR_BAD_PATHNAME);
    EXPECT_EQ(OpenResult("Software/Tessel"), ERROR_FILE_NOT_FOUND);
    HKEY software = Open("Software");
    HKEY tessel;
    EXPECT_EQ(RegOpenKeyExA(software, "TESSEL", 0, KEY_READ, &tessel), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(tessel), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(software), ERROR_INVALID_HANDLE);
}

TEST_F(Hive, MissingAndEmptyFilesAreEmptyHives) {
    EXPECT_EQ(OpenResult("", KEY_ALL_ACCESS), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult("Software"), ERROR_FILE_NOT_FOUND);
    Put("");
    EXPECT_EQ(OpenResult(""), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult("Software"), ERROR_FILE_NOT_FOUND);
}

TEST_F(Hive, BuffersThatAreTooSmall) {
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\K\\LongerName]\n[HKEY_CURRENT_USER\\K]\n\"v\"=\"abcdef\"\n");
    HKEY key = Open("K");
    BYTE data[4];
    memset(data, 0xCC, sizeof data);
    DWORD type, size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, data, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(data[0], 0xCC);  // nothing copied
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(RegQueryValueExA(key, "none", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(key, 0, name, 10), ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumKeyA(key, 0, name, 11), ERROR_SUCCESS);
    EXPECT_EQ(RegEnumKeyA(key, 1, name, 11), ERROR_NO_MORE_ITEMS);
    DWORD subkeys = 0xdeadbeef, values = 0xdeadbeef, max_name = 0xdeadbeef, max_data = 0xdeadbeef;
    EXPECT_EQ(RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, &max_name,
                               &max_data, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(subkeys, 1u);
    EXPECT_EQ(values, 1u);
    EXPECT_EQ(max_name, 1u);
    EXPECT_EQ(max_data, 7u);
    RegCloseKey(key);
}

TEST_F(Hive, LinesLongerThanTheReadBlock) {
    std::string big(3 << 20, 'x');
    Put("REGEDIT4\n\n[HKEY_CURRENT_USER\\K]\n\"big\"=\"" + big + "\"\n\"after\"=dword:00000001\n");
    HKEY key = Open("K");
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "big", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, big.size() + 1);
    EXPECT_EQ(ValueNames(key), (Names{"big", "after"}));
    RegCloseKey(key);
}

TEST_F(Hive, ReadOnlyHivesRefuseWriteAccess) {
    Put("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software]\n", "HKEY_LOCAL_MACHINE");
    chmod(File("HKEY_LOCAL_MACHINE").c_str(), 0444);
    EXPECT_EQ(OpenResult("Software", KEY_READ, HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(OpenResult("Software", KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenResult("Software", KEY_SET_VALUE, HKEY_LOCAL_MACHINE), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenResult("Missing", KEY_ALL_ACCESS, HKEY_LOCAL_MACHINE), ERROR_FILE_NOT_FOUND);
    // With no file, the directory's mode decides.
    EXPECT_EQ(OpenResult("", KEY_WRITE, HKEY_USERS), ERROR_SUCCESS);
    chmod(dir_.c_str(), 0555);
    EXPECT_EQ(OpenResult("", KEY_WRITE, HKEY_USERS), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenResult("", KEY_READ, HKEY_USERS), ERROR_SUCCESS);
}

TEST_F(Hive, FilesThatCannotBeParsed) {
    const char *broken[] = {
        "[HKEY_CURRENT_USER\\K]\n",                            // no REGEDIT4 line
        "REGEDIT4\n\"v\"=\"1\"\n",                             // a value before any section
        "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\"=\"open\n",    // unterminated string
        "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\"=hex:0g\n",    // bad byte
        "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\"=hex:01,\\\n", // continued past the end
        "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\"=dword:123456789\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\"=-\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\"=str(2):\"x\"\n",
        "REGEDIT4\n[-HKEY_CURRENT_USER\\K]\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n",                  // another root's section
        "REGEDIT4\n[HKEY_CURRENT_USER\\K\\\\L]\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\K\n",
        "REGEDIT4\nstray text\n",
        "\xFF\xFEW\0i\0",                                       // UTF-16, but no header
    };
    for (const char *text : broken) {
        Put(text);
        EXPECT_EQ(OpenResult("K"), ERROR_REGISTRY_CORRUPT) << text;
        EXPECT_EQ(OpenResult(""), ERROR_REGISTRY_CORRUPT) << text;
    }
    // A NUL in a name, as it stands or escaped: the narrow functions could
    // not tell the name from the one cut there.
    using namespace std::string_literals;
    const std::string nul_names[] = {
        "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\0w\"=\"1\"\n"s,
        "REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\\0w\"=\"1\"\n"s,
        "REGEDIT4\n[HKEY_CURRENT_USER\\K\0L]\n"s,
    };
    for (const std::string &text : nul_names) {
        Put(text);
        EXPECT_EQ(OpenResult("K"), ERROR_REGISTRY_CORRUPT) << text;
    }
}

}  // namespace
