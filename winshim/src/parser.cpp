// The statements of a hive file, read as regedit's import reads them: what
// it takes is taken, a line it passes over is passed over and told once.

#include "parser.h"

#include "wine.h"

#include <cstdio>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace winshim {

void ReportOnce(const std::string &file, long line, const char *reason) {
    TellOnce("a line passed over", file + ":" + std::to_string(line) + ": " + reason);
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// The value of a hex digit, or -1; a table, since hex lists are most of a
// large hive.
struct HexTable {
    signed char value[256];
    constexpr HexTable() : value() {
        for (int c = 0; c < 256; c++)
            value[c] = static_cast<signed char>(c >= '0' && c <= '9'   ? c - '0'
                                                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                       : -1);
    }
};
constexpr HexTable kHex;
int HexDigit(char c) { return kHex.value[static_cast<unsigned char>(c)]; }

#ifdef __SSE2__
// A bit for each of the 16 bytes at p that is c.
unsigned Matches16(const char *p, char c) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(c))));
}
#endif

// Where `c` first stands in `s`, or s.size(); sixteen bytes at a time where
// it can, the last sixteen overlapping those before. Every section line is
// looked through so, and memchr's call cost more than the look.
size_t FindInLine(std::string_view s, char c) {
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= s.size(); i += 16)
        if (unsigned m = Matches16(s.data() + i, c))
            return i + static_cast<size_t>(__builtin_ctz(m));
    if (i < s.size() && s.size() >= 16) {
        unsigned m = Matches16(s.data() + s.size() - 16, c) >> (i + 16 - s.size());
        return m ? i + static_cast<size_t>(__builtin_ctz(m)) : s.size();
    }
#endif
    while (i < s.size() && s[i] != c)
        i++;
    return i;
}

// True when two backslashes stand side by side in `path`: an empty name
// between them. Sixteen bytes at a time where it can, each sixteen
// overlapping the last by one, so that every two neighbours are seen
// together.
bool DoubleBackslash(std::string_view path) {
    size_t n = path.size();
#ifdef __SSE2__
    if (n >= 16) {
        for (size_t i = 0;; i += 15) {
            size_t at = i + 16 <= n ? i : n - 16;
            unsigned m = Matches16(path.data() + at, '\\');
            if (m & (m >> 1))
                return true;
            if (at + 16 == n)
                return false;
        }
    }
#endif
    for (size_t i = 1; i < n; i++)
        if (path[i] == '\\' && path[i - 1] == '\\')
            return true;
    return false;
}

bool StartsNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

std::string NarrowFromUtf16(std::string_view bytes) {
    std::string out;
    AppendUtf8FromUtf16(out, bytes);
    return out;
}

const char kVersion5[] = "Windows Registry Editor Version 5.00";

// The header as the reader takes it: the format it names, or none.
bool Header(std::string_view line, bool utf16, bool *wide_strings) {
    if (!utf16 && line.size() >= 3 && line.substr(0, 3) == "\xEF\xBB\xBF")
        line.remove_prefix(3);
    std::string_view format = TrimBlanks(line);
    *wide_strings = format == kVersion5;
    return *wide_strings || format == "REGEDIT4";
}
}  // namespace

bool FirstLine(int fd, bool *utf16, bool *wide_strings) {
    struct stat st;
    if (sys::Fstat(fd, &st) != 0)
        return false;
    LineReader in(fd, static_cast<uint64_t>(st.st_size) < 4096 ? static_cast<uint64_t>(st.st_size) : 4096);
    std::string_view line;
    *utf16 = false;
    *wide_strings = false;
    if (!in.Next(line))
        return false;
    *utf16 = in.utf16();
    return Header(line, *utf16, wide_strings);
}

Parser::Parser(LineReader &in, const Hive &hive, bool report)
    : in_(in), root_(hive.root), file_(hive.file), wine_(hive.wine()), report_(report) {}

// The header of the file's format. A Wine file's strings are UTF-16, and
// its hex lists the bytes as they are.
bool Parser::HeaderLine(std::string_view line) {
    if (!wine_)
        return Header(line, in_.utf16(), &wide_strings_);
    return !in_.utf16() && line == kWineHeader;
}

LONG Parser::Run(Visitor &visitor) {
    std::string_view line;
    if (!in_.Next(line))
        return in_.error() ? Win32FromErrno(in_.error()) : ERROR_SUCCESS;  // an empty file: an empty hive
    if (!HeaderLine(line)) {
        passed_line_ = in_.number();
        passed_reason_ = wine_ ? "not a Wine registry file of a version known here (WINE REGISTRY Version 2)"
                               : "not a registry file (REGEDIT4 or Windows Registry Editor Version 5.00)";
        if (report_)
            ReportOnce(file_, passed_line_, passed_reason_);
        return ERROR_REGISTRY_CORRUPT;
    }
    has_header_ = true;
    body_ = in_.end_offset();
    return Body(visitor, false, false);
}

LONG Parser::RunFragment(Visitor &visitor, bool wide_strings, bool in_section) {
    wide_strings_ = wide_strings;
    return Body(visitor, in_section, in_section);
}

void Parser::Skip(Visitor &visitor, uint64_t begin, const char *reason) {
    if (!passed_reason_) {
        passed_line_ = in_.number();
        passed_reason_ = reason;
    }
    if (report_ && !skim_)
        ReportOnce(file_, in_.number(), reason);
    visitor.Skipped(begin, in_.end_offset());
}

// Every line is a statement of its own but for a hex list's continuations:
// a section, a value, or a comment. Whatever cannot be parsed is passed
// over, and the section it stands in goes on.
LONG Parser::Body(Visitor &visitor, bool in_section, bool wanted) {
    std::string_view line;
    while (in_.Next(line)) {
        uint64_t begin = in_.offset();
        if (in_.overlong()) {
            Skip(visitor, begin, "line longer than 4 MiB");
            continue;
        }
        std::string_view s = TrimBlanks(line);
        if (s.empty() || s[0] == ';' || (s[0] == '#' && !wine_))
            continue;
        if (s[0] == '#') {
            AttributeLine(visitor, s, in_section, wanted);
            continue;
        }
        if (s[0] == '[') {
            if (wine_)
                WineSectionLine(visitor, s, in_section, wanted);
            else
                SectionLine(visitor, s, in_section, wanted);
            continue;
        }
        if (s[0] != '"' && s[0] != '@') {
            Skip(visitor, begin, "unexpected text");
            continue;
        }
        // A value of a section that names no key, or of none, is read all
        // the same: its hex list decides where the next statement begins.
        bool keep = in_section && wanted;
        if (!keep && skim_ && !memchr(s.data(), '\\', s.size()))
            continue;
        if (!keep && in_section && !wine_ && TakesUnwanted(s))
            continue;
        Value &value = keep ? fresh_ : scratch_;
        value.name.clear();
        value.data.clear();
        Outcome outcome = wine_ ? WineStatement(s, value, keep) : Statement(s, value, keep);
        if (outcome == Outcome::Bad)
            Skip(visitor, begin, reason_);
        else if (!in_section)
            Skip(visitor, begin, "value outside a section");
        else if (outcome == Outcome::Removal && keep)
            visitor.ValueRemoved(std::move(value.name), begin, in_.end_offset());
        else if (keep)
            visitor.Found(std::move(value), begin, in_.end_offset());
    }
    if (in_.error())
        return Win32FromErrno(in_.error());
    return ERROR_SUCCESS;
}

// "[ROOT\path]", "[-ROOT\path]": the name runs to the line's last ']', and
// what follows it is passed over. A name with a blank after the '[' or
// without a ']' is passed over, and the section above goes on; one that names
// no key of this hive ends that section, as one that names a key does.
void Parser::SectionLine(Visitor &visitor, std::string_view s, bool &in_section, bool &wanted) {
    uint64_t begin = in_.offset(), end = in_.end_offset();
    s = s.substr(0, FindInLine(s, '\0'));  // regedit reads a line up to a NUL
    size_t close = s.rfind(']');
    if (close == std::string_view::npos)
        return Skip(visitor, begin, "section without ']'");
    if (s.size() > 1 && IsBlank(s[1]))
        return Skip(visitor, begin, "blank before a section's name");
    std::string_view name = s.substr(1, close - 1);
    bool removal = !name.empty() && name[0] == '-';
    if (removal)
        name.remove_prefix(1);
    visitor.SectionLineAt(begin);
    in_section = wanted = false;
    bool root = name.size() >= root_.size() && (CommonPrefix(name, root_) == root_.size() || StartsNoCase(name, root_));
    if (!root || (name.size() > root_.size() && name[root_.size()] != '\\'))
        return Skip(visitor, begin, "section outside this hive's root");
    std::string_view path = name.size() > root_.size() ? name.substr(root_.size() + 1) : std::string_view();
    // Empty names in the path ("A\\B", a trailing '\') are passed over.
    bool clean = path.empty() || (path.front() != '\\' && path.back() != '\\' && !DoubleBackslash(path));
    if (!clean) {
        path_.clear();
        for (size_t i = 0; i < path.size(); i++)
            if (path[i] != '\\' || (!path_.empty() && path_.back() != '\\'))
                path_ += path[i];
        if (!path_.empty() && path_.back() == '\\')
            path_.pop_back();
        path = path_;
    }
    if (removal) {
        if (path.empty())
            return Skip(visitor, begin, "removal of a whole root");
        return visitor.KeyRemoved(path, begin, end);
    }
    wanted = visitor.Section(path, begin, end);
    in_section = true;
}

// A quoted string at s[pos] with regedit's escapes, into `out` when given;
// pos moves past it. No NUL byte may stand in it as it is: the narrow
// functions could not tell a name holding one from the name cut there.
bool Parser::QuotedString(std::string_view s, size_t &pos, std::string *out) {
    pos++;  // the opening quote
    while (pos < s.size()) {
        size_t stop = pos;
        while (stop < s.size() && s[stop] != '"' && s[stop] != '\\' && s[stop] != '\0')
            stop++;
        if (stop == s.size())
            break;
        if (out)
            out->append(s.data() + pos, stop - pos);
        pos = stop;
        // stop < s.size() here: the loop above broke out otherwise.
        // cppcheck-suppress containerOutOfBounds
        char c = s[pos++];
        if (c == '"')
            return true;
        if (c == '\0') {
            reason_ = "NUL byte in a name or string";
            return false;
        }
        if (pos == s.size())
            break;
        char e = s[pos++];
        if (!out)
            continue;
        switch (e) {
        case '\\': *out += '\\'; break;
        case '"': *out += '"'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case '0': *out += '\0'; break;
        default: *out += '\\'; *out += e; break;  // kept as written, as regedit does
        }
    }
    reason_ = "unterminated string";
    return false;
}

namespace {
// The rest of a statement: nothing, or a comment.
bool Ends(std::string_view s, size_t pos) {
    while (pos < s.size() && IsBlank(s[pos]))
        pos++;
    return pos == s.size() || s[pos] == ';';
}

// Past the quoted string that `p` stands at, its escapes and all, as
// QuotedString reads one: false where that fails (a NUL byte, no closing
// quote).
bool SkipQuoted(const char *&p, const char *end) {
    // The characters that end a string's plain run: a table, one look each.
    static constexpr struct Stops {
        bool stop[256];
        constexpr Stops() : stop() {
            for (unsigned char c : {'"', '\\', '\0'})
                stop[c] = true;
        }
    } kStops;
    for (p++; p < end; p++) {
        while (p < end && !kStops.stop[static_cast<unsigned char>(*p)])
            p++;
        if (p == end)
            break;
        if (*p == '"') {
            p++;
            return true;
        }
        if (*p == '\0' || ++p == end)  // a NUL, or an escape that ends the line
            return false;
    }
    return false;
}

// True when the 16 bytes at p begin with five hex bytes "xx," as a list
// writes them (the sixteenth is the next one's).
bool FiveHexBytes(const char *p) {
#ifdef __SSE2__
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    // Between two ASCII characters: compared signed, a byte of 0x80 or more
    // is below both.
    auto within = [](__m128i x, char low, char high) {
        return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(low - 1))),
                             _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(high + 1)), x));
    };
    __m128i hex = _mm_or_si128(within(bytes, '0', '9'), within(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), 'a', 'f'));
    unsigned digits = static_cast<unsigned>(_mm_movemask_epi8(hex)) & 0x36DB;  // bytes 0, 1, 3, 4, ... 13
    unsigned commas = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(','))));
    return digits == 0x36DB && (commas & 0x4924) == 0x4924;  // commas at 2, 5, ... 14
#else
    (void)p;
    return false;
#endif
}

// True when `s` begins with `word`: a comparison the compiler makes at once,
// where string_view's compare called memcmp for each value of a hive.
template <size_t N>
bool StartsWith(std::string_view s, const char (&word)[N]) {
    return s.size() >= N - 1 && memcmp(s.data(), word, N - 1) == 0;
}

const char *SkipBlanks(const char *p, const char *end) {
    while (p < end && IsBlank(*p))
        p++;
    return p;
}
}  // namespace

// A value of a section whose values are not wanted, in the shapes that make
// most of a hive, checked in one pass: true when Statement would take it
// and read no further line, so that it need not read it. False when
// Statement would pass it over, when its hex list goes on, or for any other
// shape: Statement reads it then, and says why.
bool Parser::TakesUnwanted(std::string_view s) {
    const char *p = s.data(), *end = p + s.size();
    if (*p == '@')
        p++;
    else if (!SkipQuoted(p, end))
        return false;
    p = SkipBlanks(p, end);
    if (p == end || *p != '=')
        return false;
    p = SkipBlanks(p + 1, end);
    std::string_view rest(p, static_cast<size_t>(end - p));
    if (rest.empty())
        return false;
    if (*p == '"')
        return SkipQuoted(p, end) && Ends(std::string_view(p, static_cast<size_t>(end - p)), 0);
    if (*p == '-')
        return Ends(rest, 1);
    if (StartsWith(rest, "dword:")) {
        const char *digits = SkipBlanks(p + 6, end), *q = digits;
        while (q < end && HexDigit(*q) >= 0)
            q++;
        return q > digits && q - digits <= 8 && Ends(std::string_view(q, static_cast<size_t>(end - q)), 0);
    }
    size_t list = StartsWith(rest, "hex:") ? 4 : 0;
    if (!list && StartsWith(rest, "hex(")) {
        size_t q = 4;
        while (q < rest.size() && q < 12 && HexDigit(rest[q]) >= 0)
            q++;
        list = StartsWith(rest.substr(q), "):") ? q + 2 : 0;
    }
    bool more;
    return list && HexLine(rest.substr(list), nullptr, &more) && !more;
}

// One value statement, `"name"=data` or `@=data`, with the continuations of
// its hex list. `keep`: the value is wanted, else it is only checked.
Parser::Outcome Parser::Statement(std::string_view s, Value &value, bool keep) {
    size_t pos = 0;
    if (s[0] == '@') {
        pos = 1;
    } else if (!QuotedString(s, pos, keep ? &value.name : nullptr)) {
        return Outcome::Bad;
    } else if (keep && value.name.find('\0') != std::string::npos) {
        reason_ = "NUL byte in a name or string";
        return Outcome::Bad;
    }
    while (pos < s.size() && IsBlank(s[pos]))
        pos++;
    if (pos >= s.size() || s[pos] != '=') {
        reason_ = "value without '='";
        return Outcome::Bad;
    }
    pos++;
    while (pos < s.size() && IsBlank(s[pos]))
        pos++;
    return Data(s.substr(pos), value, keep);
}

// A value's data: "-" (a removal), a string, a dword, or a hex list. The
// kinds are spelled in lower case, as regedit takes them.
Parser::Outcome Parser::Data(std::string_view rest, Value &value, bool keep) {
    reason_ = "unknown kind of value";
    if (rest.empty())
        return Outcome::Bad;
    if (rest[0] == '-')
        return Ends(rest, 1) ? Outcome::Removal : Outcome::Bad;
    if (rest[0] == '"') {
        size_t p = 0;
        if (!QuotedString(rest, p, keep ? &value.data : nullptr))
            return Outcome::Bad;
        if (!Ends(rest, p)) {
            reason_ = "text after a string value";
            return Outcome::Bad;
        }
        value.type = REG_SZ;
        if (keep)
            value.data += '\0';
        return Outcome::Value;
    }
    if (rest.compare(0, 6, "dword:") == 0)
        return Dword(rest.substr(6), value, keep);
    if (rest.compare(0, 4, "hex:") == 0) {
        value.type = REG_BINARY;
        return HexList(rest.substr(4), keep ? &value.data : nullptr) ? Outcome::Value : Outcome::Bad;
    }
    if (rest.compare(0, 4, "hex(") == 0)
        return TypedHex(rest.substr(4), value, keep);
    return Outcome::Bad;
}

// "dword:" then blanks and one to eight hex digits.
Parser::Outcome Parser::Dword(std::string_view rest, Value &value, bool keep) {
    size_t p = 0, digits = 0;
    uint32_t n = 0;
    while (p < rest.size() && IsBlank(rest[p]))
        p++;
    for (; p < rest.size() && HexDigit(rest[p]) >= 0; p++, digits++)
        n = n << 4 | static_cast<uint32_t>(HexDigit(rest[p]));
    if (digits == 0 || digits > 8 || !Ends(rest, p)) {
        reason_ = "bad dword value";
        return Outcome::Bad;
    }
    value.type = REG_DWORD;
    if (keep) {
        char bytes[4];
        PutLe32(bytes, n);
        value.data.append(bytes, 4);
    }
    return Outcome::Value;
}

// "hex(N):" and a hex list, N of up to eight hex digits, none for 0.
Parser::Outcome Parser::TypedHex(std::string_view rest, Value &value, bool keep) {
    size_t p = 0;
    uint32_t type = 0;
    for (; p < rest.size() && p < 8 && HexDigit(rest[p]) >= 0; p++)
        type = type << 4 | static_cast<uint32_t>(HexDigit(rest[p]));
    if (rest.compare(p, 2, "):") != 0) {
        reason_ = "bad value type";
        return Outcome::Bad;
    }
    value.type = type;
    if (!HexList(rest.substr(p + 2), keep ? &value.data : nullptr))
        return Outcome::Bad;
    // Version 5 files hold strings in hex as UTF-16; ours are narrow.
    if (keep && wide_strings_ && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ))
        value.data = NarrowFromUtf16(value.data);
    return Outcome::Value;
}

// The bytes of one line of a hex list: each of one or more hex digits of a
// value up to ff, followed by a comma, the line ending at its end or a
// comment, or in ",\" when the list goes on (*more).
bool Parser::HexLine(std::string_view s, std::string *out, bool *more) {
    size_t pos = 0;
    *more = false;
    for (;;) {
        if (!out)  // only checked: five "xx," at a time
            while (pos + 16 <= s.size() && FiveHexBytes(s.data() + pos))
                pos += 15;
        // The usual "xx," at once, as many as come.
        for (int hi, lo; pos + 2 < s.size() && (hi = HexDigit(s[pos])) >= 0 && (lo = HexDigit(s[pos + 1])) >= 0 &&
                         s[pos + 2] == ',';
             pos += 3)
            if (out)
                out->push_back(static_cast<char>(hi << 4 | lo));
        while (pos < s.size() && IsBlank(s[pos]))
            pos++;
        if (pos == s.size() || s[pos] == ';')
            return true;
        if (s[pos] == '\\') {
            *more = Ends(s, pos + 1);
            reason_ = "bad hex byte";
            return *more;
        }
        int hi = HexDigit(s[pos]);
        reason_ = "bad hex byte";
        if (hi < 0)
            return false;
        unsigned byte = 0;
        for (; pos < s.size() && HexDigit(s[pos]) >= 0; pos++)
            if ((byte = byte << 4 | static_cast<unsigned>(HexDigit(s[pos]))) > 0xFF)
                return false;
        if (out)
            *out += static_cast<char>(byte);
        if (pos < s.size() && s[pos] == ',') {
            pos++;
            continue;
        }
        return Ends(s, pos);
    }
}

// "01,02,\" and its continuations, "  03,04": a list that ends in ",\" goes
// on at the next line that holds more than blanks or a comment. A next line
// that does not begin with a hex digit breaks the list off: the value is
// passed over, and that line with it. The end of the file ends the list
// where it stands.
bool Parser::HexList(std::string_view s, std::string *out) {
    uint64_t begin = in_.offset();
    for (bool more;;) {
        if (out)
            out->reserve(out->size() + s.size() / 3 + 1);  // "xx," a byte
        if (!HexLine(s, out, &more))
            return false;
        if (!more)
            return true;
        std::string_view line;
        for (;;) {
            if (!in_.Next(line)) {
                dangling_ = begin;
                return !in_.error();
            }
            if (in_.overlong()) {
                reason_ = "line longer than 4 MiB";
                return false;
            }
            std::string_view t = TrimBlanks(line);
            if (!t.empty() && t[0] != ';')
                break;
        }
        s = TrimBlanks(line);
        if (HexDigit(s[0]) < 0) {
            reason_ = "hex list broken off";
            return false;
        }
    }
}

// --- a Wine file -------------------------------------------------------------------

// "#time=...", "#class=...", "#link": of the key whose section they stand
// in; other lines that begin with '#' ("#arch=") are the file's own.
void Parser::AttributeLine(Visitor &visitor, std::string_view s, bool in_section, bool &wanted) {
    if (!in_section)
        return;
    uint64_t begin = in_.offset(), end = in_.end_offset();
    if (s.compare(0, 6, "#time=") == 0)
        wanted = visitor.KeyAttribute(Visitor::Attribute::Time, begin, end) || wanted;
    else if (s.compare(0, 7, "#class=") == 0)
        wanted = visitor.KeyAttribute(Visitor::Attribute::Class, begin, end) || wanted;
    else if (s == "#link")
        wanted = visitor.KeyAttribute(Visitor::Attribute::Link, begin, end) || wanted;
}

// "[Path\\To\\Key] 1796814694": the path relative to the file's root, each
// name escaped, then the key's time, which the "#time=" line overrules.
// Empty names in the path are passed over, as Wine passes them over.
void Parser::WineSectionLine(Visitor &visitor, std::string_view s, bool &in_section, bool &wanted) {
    uint64_t begin = in_.offset(), end = in_.end_offset();
    size_t pos = 1;
    std::string units;
    if (!ReadWineText(s, pos, ']', &units))
        return Skip(visitor, begin, "section without ']'");
    path_.clear();
    for (size_t i = 0, start = 0; i <= units.size(); i += 2) {
        bool last = i == units.size();
        if (!last && !units[i] && !units[i + 1])
            return Skip(visitor, begin, "NUL in a key's name");
        if (!last && !(units[i] == '\\' && !units[i + 1]))
            continue;
        if (i > start) {
            if (!path_.empty())
                path_ += '\\';
            AppendUtf8FromUtf16(path_, std::string_view(units).substr(start, i - start));
        }
        start = i + 2;
    }
    visitor.SectionLineAt(begin);
    wanted = visitor.Section(path_, begin, end);
    in_section = true;
}

// One value statement, `"name"=data` or `@=data`, with data of Wine's own:
// `"text"`, `str(N):"text"`, `dword:`, `hex:`, `hex(N):`.
Parser::Outcome Parser::WineStatement(std::string_view s, Value &value, bool keep) {
    size_t pos = 1;
    if (s[0] == '"') {
        std::string units;
        if (!ReadWineText(s, pos, '"', &units)) {
            reason_ = "unterminated string";
            return Outcome::Bad;
        }
        for (size_t i = 0; i + 1 < units.size(); i += 2)
            if (!units[i] && !units[i + 1]) {
                reason_ = "NUL in a name";
                return Outcome::Bad;
            }
        if (keep)
            AppendUtf8FromUtf16(value.name, units);
    }
    while (pos < s.size() && IsBlank(s[pos]))
        pos++;
    if (pos >= s.size() || s[pos] != '=') {
        reason_ = "value without '='";
        return Outcome::Bad;
    }
    pos++;
    while (pos < s.size() && IsBlank(s[pos]))
        pos++;
    std::string_view rest = s.substr(pos);
    if (!rest.empty() && rest[0] == '"')
        return WineString(rest, REG_SZ, value, keep);
    if (rest.compare(0, 4, "str(") == 0) {
        size_t p = 4;
        uint32_t type = 0;
        for (; p < rest.size() && p < 12 && HexDigit(rest[p]) >= 0; p++)
            type = type << 4 | static_cast<uint32_t>(HexDigit(rest[p]));
        if (p == 4 || rest.compare(p, 2, "):") != 0 || p + 2 >= rest.size() || rest[p + 2] != '"') {
            reason_ = "bad value type";
            return Outcome::Bad;
        }
        return WineString(rest.substr(p + 2), type, value, keep);
    }
    if (!rest.empty() && rest[0] == '-') {
        reason_ = "unknown kind of value";
        return Outcome::Bad;  // no removals in Wine's files
    }
    return Data(rest, value, keep);
}

// A string, its units as the data, with one terminating unit more.
Parser::Outcome Parser::WineString(std::string_view rest, uint32_t type, Value &value, bool keep) {
    size_t p = 1;
    std::string units;
    if (!ReadWineText(rest, p, '"', keep ? &value.data : &units)) {
        reason_ = "unterminated string";
        return Outcome::Bad;
    }
    if (!Ends(rest, p)) {
        reason_ = "text after a string value";
        return Outcome::Bad;
    }
    value.type = type;
    if (keep)
        value.data.append(2, '\0');
    return Outcome::Value;
}

Relation Relate(std::string_view target, std::string_view path, std::string_view *child) {
    std::string_view rest;
    if (target.empty()) {
        if (path.empty())
            return Relation::Same;
        rest = path;
    } else {
        if (path.size() < target.size() || !EqualNoCase(path.substr(0, target.size()), target))
            return Relation::Other;
        if (path.size() == target.size())
            return Relation::Same;
        if (path[target.size()] != '\\')
            return Relation::Other;
        rest = path.substr(target.size() + 1);
    }
    *child = rest.substr(0, rest.find('\\'));
    return Relation::Below;
}

}  // namespace winshim
