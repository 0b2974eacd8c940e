// hivepeek's whole command line: argument vectors of any length and content
// against a small store. Whatever it is given, hivepeek answers and exits
// with status 0 by returning from main.

#define main hivepeek_main
// The tool itself, so that its static functions and state are at hand.
#include "../hivepeek/hivepeek.cpp"  // NOLINT(bugprone-suspicious-include)
#undef main

#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Scratch();
    fuzz::PutHive("HKEY_CURRENT_USER",
                  "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Tessel]\n\"name\"=\"abc\"\n\"n\"=dword:00000001\n"
                  "\"list\"=hex(7):61,00,62,00,00\n\n[HKEY_CURRENT_USER\\Software\\Tessel\\Sub]\n");
    fuzz::PutHive("HKEY_LOCAL_MACHINE", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halden]\n@=hex:01,02\n");
    return 0;
}

// The input: the arguments, each ended by a NUL byte. A first argument that
// starts with '!' sets POSIXLY_INCORRECT_GETOPT and is not passed on.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words = fuzz::Words(data, size);
    bool incorrect = !words.empty() && !words[0].empty() && words[0][0] == '!';
    if (incorrect) {
        words.erase(words.begin());
        setenv("POSIXLY_INCORRECT_GETOPT", "1", 1);
    } else {
        unsetenv("POSIXLY_INCORRECT_GETOPT");
    }
    fuzz::Argv args("C:\\Tessel\\bin\\hivepeek.exe", words);
    optind = 0;  // the C library's parser starts afresh
    fuzz::Capture out;
    bool returned = false;
    int status = fuzz::RunTool([&] {
        int rc = hivepeek_main(args.argc(), args.argv());
        returned = true;
        return rc;
    });
    if (status != 0 || !returned)
        fuzz::Broken("hivepeek ended with a status or through exit");
    return 0;
}
