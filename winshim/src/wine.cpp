// The text of a Wine prefix's registry files, as Wine writes and reads it.
// What is written here is what wineserver writes when it saves a hive, so
// that a file that winshim changed reads in Wine as Wine's own, and Wine's
// next save of it changes nothing of what winshim wrote.

#include "wine.h"

#include "sys.h"

#include <cstdio>

namespace winshim {

namespace {

int HexValue(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

void PutUnit(std::string &out, uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8 & 0xFF);
}

void PutCodePoint(std::string &out, uint32_t c) {
    if (c < 0x10000) {
        PutUnit(out, c);
        return;
    }
    c -= 0x10000;
    PutUnit(out, 0xD800 | c >> 10);
    PutUnit(out, 0xDC00 | (c & 0x3FF));
}

// The unit that a backslash and the letter `e` stand for, or -1.
int LetterEscape(char e) {
    switch (e) {
    case 'a': return 0x07;
    case 'b': return 0x08;
    case 'e': return 0x1B;
    case 'f': return 0x0C;
    case 'n': return 0x0A;
    case 'r': return 0x0D;
    case 't': return 0x09;
    case 'v': return 0x0B;
    default: return -1;
    }
}

// The escape after a backslash at s[pos]: \x and up to four hex digits, up
// to three octal digits, a letter of C's, or the character itself.
uint32_t ReadEscape(std::string_view s, size_t &pos) {
    char e = s[pos++];
    if (e == 'x') {
        uint32_t unit = 0;
        for (int n = 0; n < 4 && pos < s.size() && HexValue(s[pos]) >= 0; n++)
            unit = unit << 4 | static_cast<uint32_t>(HexValue(s[pos++]));
        return unit;
    }
    if (e >= '0' && e <= '7') {
        uint32_t unit = static_cast<uint32_t>(e - '0');
        for (int n = 1; n < 3 && pos < s.size() && s[pos] >= '0' && s[pos] <= '7'; n++)
            unit = unit << 3 | static_cast<uint32_t>(s[pos++] - '0');
        return unit;
    }
    int letter = LetterEscape(e);
    return letter >= 0 ? static_cast<uint32_t>(letter) : static_cast<unsigned char>(e);
}

bool IsHexDigit(uint32_t unit) { return unit < 0x80 && HexValue(static_cast<char>(unit)) >= 0; }

// A unit folded to lower case as Wine folds names: the simple pairs of
// upper and lower case letters that map to each other both ways (so not
// the Kelvin sign, the dotted capital I or the long s).
uint32_t FoldWine(uint32_t c) {
    if (c < 0x80)
        return c >= 'A' && c <= 'Z' ? c + 32 : c;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F) || (c >= 0xFF21 && c <= 0xFF3A))
        return c + 32;
    if (c >= 0x400 && c <= 0x40F)
        return c + 80;
    if (c >= 0x531 && c <= 0x556)
        return c + 48;
    if (c == 0x178)
        return 0xFF;
    bool even_pairs = (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177) ||
                      (c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F);
    bool odd_pairs = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E) || (c >= 0x4C1 && c <= 0x4CE);
    if ((even_pairs && c % 2 == 0) || (odd_pairs && c % 2 == 1))
        return c + 1;
    return c;
}

// The UTF-16 units of UTF-8 text from byte `i`, one code point at a time.
class Units {
public:
    Units(std::string_view text, size_t i) : text_(text), i_(i) {}
    bool done() const { return pending_ < 0 && i_ >= text_.size(); }
    uint32_t Next() {
        if (pending_ >= 0) {
            uint32_t unit = static_cast<uint32_t>(pending_);
            pending_ = -1;
            return unit;
        }
        size_t used;
        bool valid;
        uint32_t c = DecodeUtf8(text_, i_, &used, &valid);
        i_ += used;
        if (c < 0x10000)
            return c;
        c -= 0x10000;
        pending_ = static_cast<int>(0xDC00 | (c & 0x3FF));
        return 0xD800 | c >> 10;
    }

private:
    std::string_view text_;
    size_t i_;
    int pending_ = -1;
};

}  // namespace

bool ReadWineText(std::string_view s, size_t &pos, char close, std::string *out) {
    while (pos < s.size()) {
        char c = s[pos];
        if (c == close) {
            pos++;
            return true;
        }
        if (c == '\\' && pos + 1 < s.size()) {
            pos++;
            PutUnit(*out, ReadEscape(s, pos));
            continue;
        }
        if (static_cast<unsigned char>(c) < 0x80) {
            PutUnit(*out, static_cast<unsigned char>(c));
            pos++;
            continue;
        }
        size_t used;
        bool valid;
        uint32_t point = DecodeUtf8(s, pos, &used, &valid);
        if (!valid) {  // the text ends at a byte that is no UTF-8
            size_t stop = s.find(close, pos);
            pos = stop == std::string_view::npos ? s.size() : stop + 1;
            return stop != std::string_view::npos;
        }
        PutCodePoint(*out, point);
        pos += used;
    }
    return false;
}

void AppendWineText(std::string &out, std::string_view utf16, bool key_path) {
    static const char letters[32] = {0,   0,   0,   0,   0,   0,   0,   'a', 'b', 't', 'n', 'v', 'f', 'r', 0, 0,
                                     0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   'e', 0,   0,   0, 0};
    size_t count = utf16.size() / 2;
    auto unit = [&utf16](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(utf16[2 * i]) |
                                     static_cast<unsigned char>(utf16[2 * i + 1]) << 8);
    };
    for (size_t i = 0; i < count; i++) {
        uint32_t c = unit(i);
        uint32_t next = i + 1 < count ? unit(i + 1) : 0xFFFFFFFF;
        char text[16];
        if (c >= 0x80) {
            snprintf(text, sizeof text, IsHexDigit(next) ? "\\x%04x" : "\\x%x", static_cast<unsigned>(c));
            out += text;
        } else if (c < 0x20 && letters[c]) {
            out += '\\';
            out += letters[c];
        } else if (c < 0x20) {
            snprintf(text, sizeof text, next >= '0' && next <= '7' ? "\\%03o" : "\\%o", static_cast<unsigned>(c));
            out += text;
        } else {
            if (c == '\\' || (key_path ? c == '[' || c == ']' : c == '"'))
                out += '\\';
            out += static_cast<char>(c);
        }
    }
}

bool WineKeyPath(std::string_view path, std::string *out) {
    for (size_t start = 0; start <= path.size();) {
        size_t cut = path.find('\\', start);
        std::string utf16;
        if (!Utf16FromUtf8(path.substr(start, cut == std::string_view::npos ? cut : cut - start), utf16))
            return false;
        if (start)
            *out += "\\\\";
        AppendWineText(*out, utf16, true);
        if (cut == std::string_view::npos)
            break;
        start = cut + 1;
    }
    return true;
}

WineTime WineTimeNow() {
    int64_t ns = sys::WallClockNs();
    int64_t seconds = ns / 1000000000;
    uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600) * 10000000 + static_cast<uint64_t>(ns % 1000000000 / 100);
    char text[32];
    WineTime time;
    snprintf(text, sizeof text, "%lld", static_cast<long long>(seconds));
    time.seconds = text;
    snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(ticks));
    time.filetime = text;
    return time;
}

int CompareWine(std::string_view a, std::string_view b, bool paths) {
    size_t n = a.size() < b.size() ? a.size() : b.size(), i = CommonPrefix(a, b);
    // The usual names are ASCII: compared a byte at a time.
    for (; i < n && static_cast<unsigned char>(a[i]) < 0x80 && static_cast<unsigned char>(b[i]) < 0x80; i++) {
        uint32_t x = FoldWine(static_cast<unsigned char>(a[i])), y = FoldWine(static_cast<unsigned char>(b[i]));
        if (paths && a[i] != b[i] && (a[i] == '\\' || b[i] == '\\'))
            return a[i] == '\\' ? -1 : 1;
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (i == n)
        return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    // Outside ASCII from the start of the character: units, folded.
    while (i > 0 && (static_cast<unsigned char>(a[i]) & 0xC0) == 0x80)
        i--;
    // Names that Wine folds alike but winshim, which folds ASCII alone, holds
    // apart ("Caf\u00e9", "CAF\u00c9") are apart in the order too, the first
    // unit that tells them apart deciding, so that one key's records never
    // mix with another's.
    Units x(a, i), y(b, i);
    int tie = 0;
    while (!x.done() && !y.done()) {
        uint32_t u = x.Next(), v = y.Next();
        if (paths && u != v && (u == '\\' || v == '\\'))
            return u == '\\' ? -1 : 1;
        if (paths && u == '\\' && tie)
            return tie;
        uint32_t au = u < 0x80 ? static_cast<unsigned char>(Upper(static_cast<char>(u))) : u;
        uint32_t av = v < 0x80 ? static_cast<unsigned char>(Upper(static_cast<char>(v))) : v;
        if (!tie && au != av)
            tie = au < av ? -1 : 1;
        u = FoldWine(u);
        v = FoldWine(v);
        if (u != v)
            return u < v ? -1 : 1;
    }
    if (x.done() && y.done())
        return tie;
    // One name ends where the other goes on: a subkey follows its key.
    if (paths && tie && (x.done() ? y.Next() : x.Next()) == '\\')
        return tie;
    return x.done() ? -1 : 1;
}

}  // namespace winshim
