// hivepeek's path rules and value rendering on any path and any value. Every
// query, answered or not, ends with the end-marker line that the editor
// reads up to.

#define main hivepeek_main
// The tool itself, so that its static functions and state are at hand.
#include "../hivepeek/hivepeek.cpp"  // NOLINT(bugprone-suspicious-include)
#undef main

#include "harness.h"

#include <algorithm>
#include <string>

namespace {

// A store with a little of everything to find.
const char HIVE[] =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Tessel]\r\n"
    "@=\"default\"\r\n"
    "\"name\"=\"abc\"\r\n"
    "\"path\"=hex(2):25,50,41,54,48,25,00\r\n"
    "\"count\"=dword:0000002a\r\n"
    "\"short\"=hex(4):01,02\r\n"
    "\"blob\"=hex:00,01,fe,ff\r\n"
    "\"list\"=hex(7):61,00,62,63,00,00\r\n"
    "\"open\"=hex(7):61,62\r\n"
    "\"none\"=hex(0):\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Tessel\\Sub\\Deeper]\r\n"
    "\"x\"=\";;CMNT -end-mark-\"\r\n";

const char ENDLINE[] = ";;CMNT -end-mark-\n";

void CheckAnswer(const std::string &out, const char *query) {
    size_t marker = sizeof ENDLINE - 1;
    if (out.size() < marker || out.compare(out.size() - marker, marker, ENDLINE) != 0)
        fuzz::Broken("an answer without the end marker", std::string(query) + "\n" + out);
}

// What ShowValue writes for data as a query gives it: in a zeroed buffer of
// the query's size, at most that long.
void Render(DWORD type, const std::string &bytes) {
    static BYTE data[DATA_SIZE];
    memset(data, 0, sizeof data);
    size_t size = bytes.size() < sizeof data ? bytes.size() : sizeof data;
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size), data);
    fuzz::Capture out;
    ShowValue(type, data, static_cast<DWORD>(size));
    std::string text = out.Text();
    if (!text.empty() && text.back() != '\n')
        fuzz::Broken("a value rendering without its line end");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Scratch();
    fuzz::PutHive("HKEY_CURRENT_USER", HIVE);
    return 0;
}

// The input: a path, then after a NUL byte a value whose first byte is its
// type.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t nul = input.find('\0');
    std::string path = input.substr(0, nul);
    if (nul != std::string::npos && nul + 1 < input.size())
        Render(static_cast<unsigned char>(input[nul + 1]) % 12, input.substr(nul + 2));

    for (auto query : {EnumKeys, EnumValues, KeyExists}) {
        fuzz::Capture out;
        query(path.c_str());
        CheckAnswer(out.Text(), path.c_str());
    }
    std::string cut = path;  // ReadValue cuts its argument in place
    fuzz::Capture out;
    ReadValue(&cut[0]);
    CheckAnswer(out.Text(), path.c_str());
    return 0;
}
