// What every part of winshim's implementation uses: faults, errors and text.
// Nothing here is seen by the tools. Each section is one file's.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace winshim {

// --- faults (faults.cpp) ---------------------------------------------------------

// The code that WINSHIM_FAULTS makes the current call of `function` fail with,
// or 0 when it runs normally. Every exported function calls this first, once;
// so does every system call of the store (sys:: in store.h), whose code is an
// errno.
DWORD InjectedFault(const char *function);

// A decimal number (or, with allow_hex, "0x" and hex digits) of at most
// `max`, with nothing before or after it.
bool ParseUnsigned(std::string_view text, bool allow_hex, uint64_t max, uint64_t *out);

// Fails as a Win32 function fails: `code` as the thread's last error, and
// the function's result for a failure.
template <typename T>
T Failure(DWORD code, T result) {
    SetLastError(code);
    return result;
}

// Writes "winshim: TEXT" and a line break to standard error, in one write.
void Tell(const std::string &text);
// The same, once per process for each topic.
void TellOnce(const std::string &topic, const std::string &text);
// A setting that cannot be read, told once for each variable:
// "winshim: VARIABLE: ignoring "VALUE"". The caller goes on without it.
void BadSetting(const char *variable, const char *value);

// --- errors (errors.cpp) ---------------------------------------------------------

// The Win32 code for a POSIX errno value.
DWORD Win32FromErrno(int err);

// --- bytes ----------------------------------------------------------------------

// Little-endian numbers, as the registry's binary values and the index's
// files keep them whatever the host.
inline uint32_t GetLe32(const char *p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | static_cast<unsigned char>(p[i]);
    return v;
}
inline uint64_t GetLe64(const char *p) { return GetLe32(p) | static_cast<uint64_t>(GetLe32(p + 4)) << 32; }
inline void PutLe32(char *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<char>(v >> (8 * i));
}
inline void PutLe64(char *p, uint64_t v) {
    PutLe32(p, static_cast<uint32_t>(v));
    PutLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

// --- text (text.cpp) -----------------------------------------------------------

// ASCII case folding, the only folding the registry and the spooler do.
inline char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
bool EqualNoCase(std::string_view a, std::string_view b);
#ifdef __SSE2__
// A bit for each of the 16 bytes at a and b that differ.
inline unsigned Differ16(const char *a, const char *b) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b));
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) & 0xFFFF;
}
#endif

// How many bytes a and b share from their start: sixteen at a time, as paths
// in a hive share long beginnings, and the last 16 to 32 at once, the last
// sixteen overlapping those before, so that a path of a few dozen bytes
// takes no loop. The index's sort and merges ask it of every two paths they
// compare.
__attribute__((always_inline)) inline size_t CommonPrefix(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size(), i = 0;
#ifdef __SSE2__
    if (n >= 16) {
        for (; i + 32 < n; i += 16)
            if (unsigned differ = Differ16(a.data() + i, b.data() + i))
                return i + static_cast<size_t>(__builtin_ctz(differ));
        // Bytes i to n, 16 to 32 of them: the first sixteen and the last.
        uint32_t differ = Differ16(a.data() + i, b.data() + i) |
                          Differ16(a.data() + n - 16, b.data() + n - 16) << (n - 16 - i);
        return differ ? i + static_cast<size_t>(__builtin_ctz(differ)) : n;
    }
#endif
    for (uint64_t x, y; i + 8 <= n; i += 8) {
        memcpy(&x, a.data() + i, 8);
        memcpy(&y, b.data() + i, 8);
        if (x != y) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            return i + static_cast<size_t>(__builtin_ctzll(x ^ y)) / 8;
#else
            return i + static_cast<size_t>(__builtin_clzll(x ^ y)) / 8;
#endif
        }
    }
    while (i < n && a[i] == b[i])
        i++;
    return i;
}
std::string UpperCopy(std::string_view s);
// Orders as Windows orders subkeys: compared in upper case, byte by byte.
bool LessUpper(std::string_view a, std::string_view b);

// UTF-8, the narrow text of this platform, to and from wide text. Bytes that
// are no UTF-8 become one U+FFFD for each longest start of a sequence (the
// Unicode standard's "maximal subpart"); surrogates and overlong forms are no
// UTF-8.
std::wstring WideFromUtf8(std::string_view text);
// The same into `out` (when given), which has room for it: the count of
// wide characters.
size_t WideFromUtf8(std::string_view text, wchar_t *out);
// One code point of UTF-8 at text[i] and the bytes it takes (U+FFFD, *valid
// false, for a start of a sequence that is no UTF-8).
uint32_t DecodeUtf8(std::string_view text, size_t i, size_t *used, bool *valid);
std::string Utf8FromWide(std::wstring_view text);
void AppendUtf8(std::string &out, uint32_t code_point);
// UTF-16LE bytes as UTF-8; a lone surrogate, and an odd last byte (half a
// unit), become U+FFFD.
void AppendUtf8FromUtf16(std::string &out, std::string_view bytes);
// UTF-8 as UTF-16LE bytes, appended; false (out half written) when the text
// is no UTF-8, which cannot be converted exactly.
bool Utf16FromUtf8(std::string_view text, std::string &out);

// Wide names compared as the spooler compares them: ASCII and Latin-1
// letters without regard to case.
bool EqualNoCaseWide(std::wstring_view a, std::wstring_view b);

}  // namespace winshim
