// The index reader on any index file beside a fixed hive. An index whose
// bytes are the genuine ones with some changed is either not believed or
// changes nothing: every answer is the whole hive's. Any other bytes, given
// a header that names the hive (so that the reader looks further), may not
// crash or hang it.
//
// Input: a first byte; when it is even, the rest is a list of edits of the
// genuine index, three bytes each (where, two bytes, and a value to
// exclusive-or there); when odd, the rest is the index file, its checks
// made to match.

#include <windows.h>

#include "harness.h"
#include "testing.h"

#include "../tests/describe.h"

#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char ROOT[] = "HKEY_CURRENT_USER";

const char HIVE[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_CURRENT_USER\\A]\r\n\"p\"=\"1\"\r\n\"q\"=hex:01,\\\r\n  02\r\n\r\n"
    "[HKEY_CURRENT_USER\\A\\Sub\\Deep]\r\n@=\"deep\"\r\n\r\n"
    "[HKEY_CURRENT_USER\\b\\One]\r\n\"x\"=dword:00000001\r\n\r\n"
    "[-HKEY_CURRENT_USER\\b\\One]\r\n\r\n"
    "[HKEY_CURRENT_USER\\B\\Two]\r\n\"y\"=\"2\"\r\n\"bad\"=nothing\r\n\r\n"
    "[HKEY_CURRENT_USER\\a]\r\n\"p\"=-\r\n\"r\"=\"3\"\r\n";

const char *const PATHS[] = {"", "A", "a\\SUB", "A\\Sub\\Deep", "B", "b\\One", "B\\Two", "None", "A\\None"};

// Where the index's header keeps the hive's identity: the format's own
// numbers, written down again here.
const size_t HEADER = 256, IDENTITY = 8, IDENTITY_END = 64;

std::string IndexPath() { return fuzz::Scratch() + "/registry/.HKEY_CURRENT_USER.reg.winshim-index"; }

void PutIndex(const std::string &bytes) {
    std::string path = IndexPath();
    unlink(path.c_str());
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0)
        fuzz::Broken("cannot write the index");
}

struct Setup {
    std::string genuine;
    std::vector<std::string> truth;
};

// The hive, its genuine index and the answers of the whole hive, once.
const Setup &Once() {
    static const Setup setup = [] {
        Setup s;
        fuzz::PutHive(ROOT, HIVE);
        timespec pause = {0, 20000000};  // the hive's change must lie in the past
        nanosleep(&pause, nullptr);
        fuzz::Capture quiet;
        setenv("WINSHIM_INDEX", "off", 1);
        for (const char *path : PATHS)
            s.truth.push_back(Describe(path));
        setenv("WINSHIM_INDEX", "always", 1);
        Describe("");
        s.genuine = fuzz::ReadFile(IndexPath());
        if (s.genuine.size() < HEADER)
            fuzz::Broken("no index was made");
        return s;
    }();
    return setup;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Setup &setup = Once();
    if (size == 0)
        return 0;
    bool raw = data[0] & 1;
    std::string bytes;
    if (raw) {
        bytes.assign(reinterpret_cast<const char *>(data + 1), size - 1);
        if (bytes.size() >= HEADER) {
            // Of this hive, every check made to match, so that the reader
            // decodes whatever the blocks hold.
            memcpy(&bytes[IDENTITY], &setup.genuine[IDENTITY], IDENTITY_END - IDENTITY);
            winshim::testing::SealIndex(bytes);
        }
    } else {
        bytes = setup.genuine;
        for (size_t i = 1; i + 3 <= size; i += 3) {
            size_t at = (data[i] | data[i + 1] << 8) % bytes.size();
            bytes[at] = static_cast<char>(bytes[at] ^ data[i + 2]);
        }
    }
    PutIndex(bytes);
    fuzz::Capture quiet;
    for (size_t i = 0; i < std::size(PATHS); i++) {
        std::string answer = Describe(PATHS[i]);
        if (!raw && answer != setup.truth[i])
            fuzz::Broken("an index not as written was believed",
                         std::string(PATHS[i]) + ":\n" + answer + "whole hive:\n" + setup.truth[i]);
    }
    return 0;
}
