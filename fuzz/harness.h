// What the fuzz targets share: a scratch directory holding the registry
// store, a tool's exit() turned into a return, and output kept in memory.
#pragma once

#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace fuzz {

// A directory of its own that the process works in; the registry store
// (WINSHIM_REGISTRY) is its "registry" folder. Made on the first call.
const std::string &Scratch();

// Replaces the hive file of `root` ("HKEY_CURRENT_USER", ...) with `text`,
// or removes it when `text` is empty.
void PutHive(const char *root, const std::string &text);
std::string HivePath(const char *root);
std::string ReadFile(const std::string &path);

// Dies loudly, so that the fuzzer records the input: a broken property.
[[noreturn]] void Broken(const char *what, const std::string &detail = std::string());

// Text in the locale's multibyte encoding (UTF-8 in the targets) as wide
// text, up to its first NUL; false when it is not valid there.
bool Wide(const std::string &text, std::wstring &out);

// The words of an input, split at NUL bytes, and an argument vector of them
// behind a program name.
std::vector<std::string> Words(const uint8_t *data, size_t size);
class Argv {
public:
    Argv(const char *program, std::vector<std::string> &words);
    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    char **argv() { return pointers_.data(); }

private:
    std::vector<char *> pointers_;
};

// The jump that exit() takes while a tool runs; see RunTool.
extern jmp_buf *exit_jump;
extern int exit_status;

// Runs a tool's entry point, which may end in exit(): the status it returns
// or gives exit. The frames that exit leaves are not unwound, as a process
// would not unwind them.
template <class Body>
int RunTool(Body body) {
    jmp_buf here;
    volatile int status = 0;
    exit_jump = &here;
    if (setjmp(here) == 0)
        status = body();
    else
        status = exit_status;
    exit_jump = nullptr;
    return status;
}

// While one lives, standard output goes to memory and standard error
// nowhere; Text() is what was written so far.
class Capture {
public:
    Capture();
    ~Capture();
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;
    std::string Text();

private:
    FILE *saved_out_, *saved_err_;
    char *buffer_ = nullptr;
    size_t size_ = 0;
};

}  // namespace fuzz
