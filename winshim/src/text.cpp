// Text: names compared without regard to ASCII case, and wide text, which
// holds one code point (UTF-32) in a wchar_t on this platform.

#include "internal.h"

#include <cstring>

namespace winshim {

namespace {

// One step of UTF-8 decoding at text[i]: the code point and the bytes it
// took, or U+FFFD for the longest start of a sequence that is no UTF-8
// (a "maximal subpart", as the Unicode standard recommends), so that every
// decoder of the same bytes sees the same text.
uint32_t DecodeOne(std::string_view text, size_t i, size_t *used, bool *valid) {
    unsigned char b = static_cast<unsigned char>(text[i]);
    *valid = true;
    *used = 1;
    if (b < 0x80)
        return b;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // what the second byte may be
    uint32_t c;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2, c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3, c = b & 0x0F;
        if (b == 0xE0)
            low = 0xA0;  // no overlong forms
        if (b == 0xED)
            high = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4, c = b & 0x07;
        if (b == 0xF0)
            low = 0x90;
        if (b == 0xF4)
            high = 0x8F;  // nothing above U+10FFFF
    } else {
        *valid = false;
        return 0xFFFD;
    }
    size_t j = i + 1;
    for (size_t k = 1; k < length; k++, j++) {
        if (j >= text.size())
            break;
        unsigned char next = static_cast<unsigned char>(text[j]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
            break;
        c = c << 6 | (next & 0x3F);
    }
    *used = j - i;
    if (*used != length) {
        *valid = false;
        return 0xFFFD;
    }
    return c;
}

}  // namespace

uint32_t DecodeUtf8(std::string_view text, size_t i, size_t *used, bool *valid) {
    return DecodeOne(text, i, used, valid);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = CommonPrefix(a, b); i < a.size(); i++)
        if (a[i] != b[i] && Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

bool LessUpper(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = CommonPrefix(a, b); i < n; i++) {
        if (a[i] == b[i])
            continue;
        unsigned char x = static_cast<unsigned char>(Upper(a[i]));
        unsigned char y = static_cast<unsigned char>(Upper(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

std::string UpperCopy(std::string_view s) {
    std::string u(s);
    for (char &c : u)
        c = Upper(c);
    return u;
}

std::wstring WideFromUtf8(std::string_view text) {
    std::wstring out(WideFromUtf8(text, nullptr), L'\0');
    WideFromUtf8(text, out.data());
    return out;
}

size_t WideFromUtf8(std::string_view text, wchar_t *out) {
    size_t count = 0;
    for (size_t i = 0; i < text.size(); count++) {
        size_t used;
        bool valid;
        uint32_t c = DecodeOne(text, i, &used, &valid);
        if (out)
            out[count] = static_cast<wchar_t>(c);
        i += used;
    }
    return count;
}

void AppendUtf8(std::string &out, uint32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
        c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Utf8FromWide(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text)
        AppendUtf8(out, static_cast<uint32_t>(wc));
    return out;
}

void AppendUtf8FromUtf16(std::string &out, std::string_view text) {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(text.data());
    size_t units = text.size() / 2;
    auto unit = [bytes](size_t i) { return static_cast<uint32_t>(bytes[2 * i] | bytes[2 * i + 1] << 8); };
    for (size_t i = 0; i < units; i++) {
        uint32_t c = unit(i);
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            i++;
        }
        AppendUtf8(out, c);  // a lone surrogate becomes U+FFFD
    }
    if (text.size() % 2)
        AppendUtf8(out, 0xFFFD);  // half a unit
}

bool Utf16FromUtf8(std::string_view text, std::string &out) {
    auto put = [&out](uint32_t unit) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    };
    for (size_t i = 0; i < text.size();) {
        size_t used;
        bool valid;
        uint32_t c = DecodeOne(text, i, &used, &valid);
        if (!valid)
            return false;
        i += used;
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return true;
}

namespace {
wchar_t FoldWide(wchar_t c) {
    if ((c >= L'a' && c <= L'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        return static_cast<wchar_t>(c - 0x20);
    return c;
}
}  // namespace

bool EqualNoCaseWide(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (FoldWide(a[i]) != FoldWide(b[i]))
            return false;
    return true;
}

}  // namespace winshim
