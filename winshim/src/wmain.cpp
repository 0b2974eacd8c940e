// The entry point of a wide-character program: main hands wmain its
// arguments as wide text, as a Windows program gets them.

#include "internal.h"

#include <vector>

extern "C" int wmain(int argc, wchar_t **argv);

int main(int argc, char **argv) {
    std::vector<std::wstring> words;
    words.reserve(argc);
    for (int i = 0; i < argc; i++)
        words.push_back(winshim::WideFromUtf8(argv[i]));
    std::vector<wchar_t *> wide;
    wide.reserve(words.size() + 1);
    for (std::wstring &word : words)
        wide.push_back(&word[0]);
    wide.push_back(nullptr);
    return wmain(argc, wide.data());
}
