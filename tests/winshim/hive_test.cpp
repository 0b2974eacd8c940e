// The hive reader, through the registry functions it serves.

#include <windows.h>

#include <gtest/gtest.h>

#include "store.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

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

// The values of a key as one line: name, type and bytes of each, in order.
std::string Dump(HKEY key) {
    std::string out;
    for (DWORD i = 0;; i++) {
        char name[256];
        BYTE data[256];
        DWORD name_size = sizeof name, size = sizeof data, type;
        if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        char head[300];
        snprintf(head, sizeof head, "%s%s:%lx:", out.empty() ? "" : " ", name, static_cast<unsigned long>(type));
        out += head;
        for (DWORD k = 0; k < size; k++) {
            snprintf(head, sizeof head, "%02x", data[k]);
            out += head;
        }
    }
    return out;
}

// Only a file without a header regedit knows fails as a whole.
TEST_F(Hive, AFileWithoutAHeaderFailsWhole) {
    using namespace std::string_literals;
    for (const std::string &text : {"[HKEY_CURRENT_USER\\K]\n"s, "REGEDIT5\n[HKEY_CURRENT_USER\\K]\n"s,
                                    "\xFF\xFEW\0i\0"s, "\n REGEDIT4\n"s}) {
        Put(text);
        EXPECT_EQ(OpenResult("K"), ERROR_REGISTRY_CORRUPT) << text;
        EXPECT_EQ(OpenResult(""), ERROR_REGISTRY_CORRUPT) << text;
    }
}

// Each text stands in the section of K, before a value "after"="ok": what
// K holds then is what Wine's regedit imports from the same lines.
TEST_F(Hive, ValuesAsRegeditTakesThem) {
    const std::string after = "after:1:6f6b00";
    const struct {
        const char *lines;
        std::string values;
    } cases[] = {
        // Comments after the data.
        {"\"v\"=dword:00000001 ; comment", "v:4:01000000"},
        {"\"v\"=\"x\" ;c", "v:1:7800"},
        {"\"v\"=\"x\";c", "v:1:7800"},
        {"\"v\"=hex:01,02 ;c", "v:3:0102"},
        {"\"v\"=hex:01,\\ ;c\n  02", "v:3:0102"},
        {"\"v\"=hex:01,\\;c\n  02", "v:3:0102"},
        // Other text after the data, and data that is none: the value is passed over.
        {"\"v\"=\"x\" #c", ""},
        {"\"v\"=\"x\" junk", ""},
        {"\"v\"=dword:00000001 junk", ""},
        {"\"v\"=dword:0ffffffff", ""},
        {"\"v\"=dword:", ""},
        {"\"v\"=DWORD:00000001", ""},
        {"\"v\"=Hex:01", ""},
        {"\"v\"=str(2):\"x\"", ""},
        {"\"v\"=", ""},
        {"\"v\"=hex:01 ,02", ""},
        {"\"v\"=hex:100", ""},
        // Lines that are no statements.
        {"\x93v\x94=\"x\"", ""},
        {"/* a comment */", ""},
        {"\"v\"=\"abc\ndef\"", ""},
        {"\"unterminated", ""},
        // Hex lists as regedit reads them.
        {"\"v\"=dword: 1", "v:4:01000000"},
        {"\"v\"=hex:001,1", "v:3:0101"},
        {"\"v\"=hex: 01, 02,", "v:3:0102"},
        {"\"v\"=hex():01", "v:0:01"},
        {"\"v\"=hex(0):", "v:0:"},
        {"\"v\"=hex(b):01,02,03,04,05,06,07,08", "v:b:0102030405060708"},
        {"\"v\"=hex:01,\\\n\n; a comment\n  02", "v:3:0102"},
        {"\"v\"=hex:01,\\\n\"w\"=\"y\"", ""},  // broken off: the value and that line go
        {"\"v\"=hex:01,\\\n  zz,02", ""},
        // Spacing, duplicates, removals.
        {"\"v\" = \"x\"\n@ = \"d\"", "v:1:7800 :1:6400"},
        {"\"v\"=\"x\"\n\"v\"=hex:02", "v:3:02"},
        {"\"v\"=\"x\"\n\"w\"=\"y\"\n\"v\"=-", "w:1:7900"},
        {"\"v\"=\"x\"\n\"w\"=\"y\"\n\"v\"=-\n\"v\"=\"z\"", "w:1:7900 v:1:7a00"},  // made again: at the end
        {"\"v\"=- junk", ""},
    };
    for (const auto &c : cases) {
        Put(std::string("REGEDIT4\n[HKEY_CURRENT_USER\\K]\n") + c.lines + "\n\"after\"=\"ok\"\n");
        HKEY key = Open("K");
        EXPECT_EQ(Dump(key), c.values.empty() ? after : c.values + " " + after) << c.lines;
        RegCloseKey(key);
    }
}

TEST_F(Hive, SectionsAsRegeditTakesThem) {
    Put("\xEF\xBB\xBFREGEDIT4\n"
        "\"outside\"=\"ignored\"\n"
        "[HKEY_CURRENT_USER\\K]\n\"k\"=\"1\"\n"
        "[HKEY_CURRENT_USER\\K\\Y] ;a comment\n\"y\"=\"1\"\n"
        "[HKEY_CURRENT_USER\\K\\\\B\\]\n\"b\"=\"1\"\n"
        "[HKEY_CURRENT_USER\\K\\NoEnd\n\"b2\"=\"2\"\n"                   // passed over: B goes on
        "[ HKEY_CURRENT_USER\\K\\Blank]\n\"b3\"=\"3\"\n"
        "[HKEY_LOCAL_MACHINE\\Other]\n\"lost\"=\"1\"\n"                 // another root: no key here
        "[HKEY_CURRENT_USER\\K\\Sub\\Deep]\n\"s\"=\"1\"\n"
        "[-HKEY_CURRENT_USER\\K\\Sub]\n\"gone\"=\"1\"\n"
        "[HKEY_CURRENT_USER\\K]\n\"v\"=hex:01,\\\n[HKEY_CURRENT_USER\\K\\Swallowed]\n\"k2\"=\"2\"\n"
        "[HKEY_CURRENT_USER\\Tail]\n\"t\"=hex:01,02,\\\n");
    HKEY k = Open("K");
    EXPECT_EQ(Subkeys(k), (Names{"B", "Y"}));
    EXPECT_EQ(Dump(k), "k:1:3100 k2:1:3200");
    RegCloseKey(k);
    HKEY b = Open("K\\B");
    EXPECT_EQ(Dump(b), "b:1:3100 b2:1:3200 b3:1:3300");
    RegCloseKey(b);
    EXPECT_EQ(OpenResult("K\\Sub"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenResult("K\\Swallowed"), ERROR_FILE_NOT_FOUND);
    HKEY tail = Open("Tail");
    EXPECT_EQ(Dump(tail), "t:3:0102");  // the end of the file ends the list
    RegCloseKey(tail);
    HKEY root = Open("");
    EXPECT_EQ(Dump(root), "");
    RegCloseKey(root);
    // A removal takes the key and all below it; a later section makes it again.
    Put("REGEDIT4\n[HKEY_CURRENT_USER\\K\\A]\n\"a\"=\"1\"\n[-HKEY_CURRENT_USER\\K]\n\"x\"=\"1\"\n"
        "[HKEY_CURRENT_USER\\K]\n\"y\"=\"2\"\n");
    HKEY again = Open("K");
    EXPECT_EQ(Subkeys(again), Names{});
    EXPECT_EQ(Dump(again), "y:1:3200");
    RegCloseKey(again);
}

TEST_F(Hive, NulBytesInNames) {
    // A NUL in a name, as it stands: the narrow functions could not tell the
    // name from the one cut there. The value is passed over; a section's line
    // ends at its NUL, as regedit reads it, so this one has no ']'.
    using namespace std::string_literals;
    Put("REGEDIT4\n[HKEY_CURRENT_USER\\K]\n\"v\0w\"=\"1\"\n\"v\"=\"2\"\n[HKEY_CURRENT_USER\\K\0L]\n\"x\"=\"3\"\n"s);
    HKEY key = Open("K");
    EXPECT_EQ(Dump(key), "v:1:3200 x:1:3300");
    RegCloseKey(key);
}

// regdump, with which the end-to-end cases look at keys, shows a key that
// holds a value larger than its first buffer, and the values after it.
TEST_F(Hive, RegdumpShowsValuesOver64KiB) {
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    std::string self(exe, static_cast<size_t>(n));
    std::string regdump = self.substr(0, self.rfind('/')) + "/regdump";
    if (access(regdump.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no regdump beside the tests";
    std::string hex;
    for (int i = 0; i < 70000; i++)
        hex += (i ? ",4" : "4") + std::to_string(i % 10);
    Put("REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Big]\r\n\"a\"=\"small\"\r\n\"big\"=hex:" + hex +
        "\r\n\"z\"=dword:00000001\r\n");
    FILE *pipe = popen(("'" + regdump + "' 'HKCU\\Big'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[65536];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, got);
    EXPECT_EQ(pclose(pipe), 0);
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(out.substr(at, end - at));
    ASSERT_EQ(lines.size(), 3u) << out.substr(0, 200);
    EXPECT_EQ(lines[0], "\"a\" type 1: small<00>");
    EXPECT_EQ(lines[1].substr(0, 39), "\"big\" type 3 size 70000: 40 41 42 43 44");
    EXPECT_EQ(lines[1].size(), 24 + 3 * 70000u);
    EXPECT_EQ(lines[2], "\"z\" type 4 size 4: 01 00 00 00");
}

}  // namespace
