#include "harness.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fuzz {

namespace {

std::string scratch_dir;

// The scratch directory goes with the process (a crash leaves it, to look at).
void RemoveScratch() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_dir, ignored);
}

}  // namespace

jmp_buf *exit_jump;
int exit_status;

const std::string &Scratch() {
    static const std::string dir = [] {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessel-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0]) || chdir(pattern.c_str()) != 0) {
            perror("fuzz: scratch directory");
            abort();
        }
        std::string store = pattern + "/registry";
        mkdir(store.c_str(), 0755);
        setenv("WINSHIM_REGISTRY", store.c_str(), 1);
        scratch_dir = pattern;
        atexit(RemoveScratch);
        return pattern;
    }();
    return dir;
}

std::string HivePath(const char *root) { return Scratch() + "/registry/" + root + ".reg"; }

void PutHive(const char *root, const std::string &text) {
    std::string path = HivePath(root);
    if (text.empty()) {
        unlink(path.c_str());
        return;
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void Broken(const char *what, const std::string &detail) {
    // Standard error may be captured: straight to the descriptor.
    dprintf(STDERR_FILENO, "fuzz: property broken: %s\n%s\n", what, detail.c_str());
    abort();
}

bool Wide(const std::string &text, std::wstring &out) {
    out.assign(text.size() + 1, L'\0');
    size_t length = mbstowcs(&out[0], text.c_str(), out.size());
    if (length == (size_t)-1)
        return false;
    out.resize(length);
    return true;
}

std::vector<std::string> Words(const uint8_t *data, size_t size) {
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i < size; i++) {
        if (data[i]) {
            word += static_cast<char>(data[i]);
        } else {
            words.push_back(word);
            word.clear();
        }
    }
    if (!word.empty())
        words.push_back(word);
    return words;
}

Argv::Argv(const char *program, std::vector<std::string> &words) {
    pointers_.push_back(const_cast<char *>(program));
    for (std::string &word : words)
        pointers_.push_back(&word[0]);
    pointers_.push_back(nullptr);
}

Capture::Capture() : saved_out_(stdout), saved_err_(stderr) {
    static FILE *nowhere = fopen("/dev/null", "w");
    fflush(stdout);
    fflush(stderr);
    FILE *memory = open_memstream(&buffer_, &size_);
    if (!memory || !nowhere)
        abort();
    stdout = memory;
    stderr = nowhere;
}

Capture::~Capture() {
    fclose(stdout);
    free(buffer_);
    stdout = saved_out_;
    stderr = saved_err_;
}

std::string Capture::Text() {
    fflush(stdout);
    return std::string(buffer_, size_);
}

}  // namespace fuzz

// The link wraps exit (--wrap=exit): inside RunTool it returns to the
// harness, elsewhere (the fuzzer's own exit) it is the C library's.
extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (fuzz::exit_jump) {
        fuzz::exit_status = status;
        jmp_buf *target = fuzz::exit_jump;
        fuzz::exit_jump = nullptr;
        longjmp(*target, 1);
    }
    __real_exit(status);
}
