// pinhome's whole command line: argument vectors of any length and content,
// with the confirmation answered either way, in a directory that holds an
// editor installation "Tessel" (Tessel/bin/tessel.exe). Each run starts
// from an empty store.

#define main pinhome_main
// The tool itself, so that its static functions and state are at hand.
#include "../pinhome/pinhome.cpp"  // NOLINT(bugprone-suspicious-include)
#undef main

#include "harness.h"

#include <sys/stat.h>

namespace {

int answer;  // what every box of this run returns

}  // namespace

// The user's answers come from the input; winshim's own boxes would ask the
// terminal once the scripted ones ran out.
extern "C" int WINAPI MessageBoxA(HWND, LPCSTR text, LPCSTR title, UINT) {
    if (!text || !title)
        fuzz::Broken("a message box without text or caption");
    return answer;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::Scratch();
    mkdir("Tessel", 0755);
    mkdir("Tessel/bin", 0755);
    FILE *editor = fopen("Tessel/bin/tessel.exe", "w");
    if (!editor)
        abort();
    fclose(editor);
    return 0;
}

// The input: one byte of settings (bits 0-1 the answer: OK, Cancel, or no
// box; bit 2 POSIXLY_CORRECT; bit 3 started from Tessel\bin), then the
// arguments, each ended by a NUL byte.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    unsigned settings = data[0];
    static const int answers[] = {IDOK, IDCANCEL, 0, IDOK};
    answer = answers[settings & 3];
    if (settings & 4)
        setenv("POSIXLY_CORRECT", "1", 1);
    else
        unsetenv("POSIXLY_CORRECT");
    setenv("WINSHIM_MODULE_FILE", settings & 8 ? "Tessel\\bin\\pinhome.exe" : "C:\\pinhome.exe", 1);
    fuzz::PutHive("HKEY_CURRENT_USER", "");
    fuzz::PutHive("HKEY_LOCAL_MACHINE", "");

    std::vector<std::string> words = fuzz::Words(data + 1, size - 1);
    fuzz::Argv args("pinhome.exe", words);
    optind = 0;  // the C library's parser starts afresh
    quiet = user_only = dir_given = 0;
    editor_dir = nullptr;
    fuzz::Capture out;
    int status = fuzz::RunTool([&] { return pinhome_main(args.argc(), args.argv()); });
    if (status != 0 && status != 1)
        fuzz::Broken("pinhome ended with a status other than 0 or 1");
    // "Done ..." means the directory is stored, for one of the two scopes.
    if (out.Text().find("Done for") != std::string::npos) {
        std::string stored = fuzz::ReadFile(fuzz::HivePath("HKEY_CURRENT_USER")) +
                             fuzz::ReadFile(fuzz::HivePath("HKEY_LOCAL_MACHINE"));
        if (stored.find("tessel_dir") == std::string::npos)
            fuzz::Broken("pinhome reported success without storing the directory", out.Text());
    }
    return 0;
}
