// Hive files: one REGEDIT4 export per registry root, read as a stream of
// lines, so that a scan of a large hive needs little memory and a writer can
// copy every line that it does not change byte for byte.

#include "hive.h"

#include "index.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>

#include <unistd.h>

namespace winshim {

namespace {
// How many bytes a and b share from their start, eight at a time where they
// can: paths in a hive share long beginnings.
size_t CommonPrefix(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size(), i = 0;
    for (uint64_t x, y; i + 8 <= n; i += 8) {
        memcpy(&x, a.data() + i, 8);
        memcpy(&y, b.data() + i, 8);
        if (x != y)
            break;
    }
    while (i < n && a[i] == b[i])
        i++;
    return i;
}
}  // namespace

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

const char *RootName(Root root) {
    switch (root) {
    case Root::ClassesRoot: return "HKEY_CLASSES_ROOT";
    case Root::CurrentUser: return "HKEY_CURRENT_USER";
    case Root::LocalMachine: return "HKEY_LOCAL_MACHINE";
    case Root::Users: return "HKEY_USERS";
    case Root::CurrentConfig: return "HKEY_CURRENT_CONFIG";
    }
    return "";
}

void NameList::Add(std::string_view name) {
    if (blocks_.empty() || blocks_.back().size() + name.size() + 1 > blocks_.back().capacity()) {
        blocks_.emplace_back();
        blocks_.back().reserve(name.size() + 1 > kBlock ? name.size() + 1 : kBlock);
    }
    blocks_.back().append(name);
    blocks_.back() += '\0';
}

void NameList::Remove(std::string_view name) {
    NameList kept;
    for (const std::string &block : blocks_)
        for (size_t at = 0; at < block.size();) {
            std::string_view each(block.data() + at);
            if (!EqualNoCase(each, name))
                kept.Add(each);
            at += each.size() + 1;
        }
    *this = std::move(kept);
}

void NameList::Sorted() {
    size_t count = 0;
    for (const std::string &block : blocks_)
        count += static_cast<size_t>(std::count(block.begin(), block.end(), '\0'));
    starts_.clear();
    starts_.reserve(count);
    for (size_t b = 0; b < blocks_.size(); b++)
        for (size_t at = 0; at < blocks_[b].size(); at += strlen(blocks_[b].data() + at) + 1)
            starts_.push_back(static_cast<uint32_t>(b * kBlock + at));
}

void NameList::Sort() {
    Sorted();
    // By name, then by place: the first spelling of a name stays first.
    // Exports list keys sorted already, which costs one pass to see.
    auto less = [this](uint32_t a, uint32_t b) {
        std::string_view x = At(a), y = At(b);
        return LessUpper(x, y) || (!LessUpper(y, x) && a < b);
    };
    if (!std::is_sorted(starts_.begin(), starts_.end(), less))
        std::sort(starts_.begin(), starts_.end(), less);
    size_t kept = 0;
    for (size_t i = 0; i < starts_.size(); i++)
        if (kept == 0 || !EqualNoCase(At(starts_[kept - 1]), At(starts_[i])))
            starts_[kept++] = starts_[i];
    starts_.resize(kept);
}

std::string UpperCopy(std::string_view s) {
    std::string u(s);
    for (char &c : u)
        c = Upper(c);
    return u;
}

void ValueList::Add(Value &&value, uint64_t begin, uint64_t end) {
    std::string key = UpperCopy(value.name);
    places_[key].emplace_back(begin, end);
    auto it = index_.find(key);
    if (it != index_.end()) {
        values_[it->second].type = value.type;
        values_[it->second].data = std::move(value.data);
        return;
    }
    index_.emplace(std::move(key), values_.size());
    values_.push_back(std::move(value));
}

void ValueList::Remove(std::string_view name, uint64_t begin, uint64_t end) {
    std::string key = UpperCopy(name);
    places_[key].emplace_back(begin, end);
    auto it = index_.find(key);
    if (it == index_.end())
        return;
    size_t gone = it->second;
    values_.erase(values_.begin() + static_cast<ptrdiff_t>(gone));
    index_.erase(it);
    for (auto &entry : index_)
        if (entry.second > gone)
            entry.second--;
}

void ValueList::Clear() {
    values_.clear();
    index_.clear();
    places_.clear();
}

const Value *ValueList::Find(std::string_view name) const {
    auto it = index_.find(UpperCopy(name));
    return it == index_.end() ? nullptr : &values_[it->second];
}

const ValueList::Places *ValueList::PlacesOf(std::string_view name) const {
    auto it = places_.find(UpperCopy(name));
    return it == places_.end() ? nullptr : &it->second;
}

// --- lines ----------------------------------------------------------------------

namespace {
constexpr size_t kBlock = 1u << 20;
}  // namespace

LineReader::LineReader(int fd, uint64_t size) : fd_(fd), buf_(size < kBlock ? size + 2 : kBlock) {}

LineReader::LineReader(int fd, uint64_t begin, uint64_t end, bool utf16)
    : fd_(fd), buf_(end - begin < kBlock ? end - begin + 2 : kBlock), base_(begin), limit_(end), started_(true),
      utf16_(utf16) {}

LineReader::LineReader(std::string_view text)
    : fd_(-1), buf_(text.begin(), text.end()), fill_(text.size()), eof_(true), started_(true) {}

bool LineReader::Fill() {
    if (begin_ > 0) {
        memmove(buf_.data(), buf_.data() + begin_, fill_ - begin_);
        base_ += begin_;
        fill_ -= begin_;
        begin_ = 0;
    }
    if (fill_ == buf_.size())  // one line longer than the block
        buf_.resize(buf_.size() * 2);
    size_t room = buf_.size() - fill_;
    if (limit_ - (base_ + fill_) < room)
        room = static_cast<size_t>(limit_ - (base_ + fill_));
    for (;;) {
        ssize_t n = room ? sys::Read(fd_, buf_.data() + fill_, room, static_cast<off_t>(base_ + fill_)) : 0;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error_ = errno;
            return false;
        }
        if (n == 0)
            eof_ = true;
        fill_ += static_cast<size_t>(n);
        break;
    }
    if (!started_ && (fill_ >= 2 || eof_)) {
        started_ = true;
        if (fill_ >= 2 && static_cast<unsigned char>(buf_[0]) == 0xFF && static_cast<unsigned char>(buf_[1]) == 0xFE) {
            utf16_ = true;
            begin_ = 2;  // the byte order mark is no part of the first line
        }
    }
    return true;
}

// The line break at or after `from`: a byte '\n', or in UTF-16 the unit
// 0x000A at an even distance from the line's start.
size_t LineReader::FindNewline(size_t from) const {
    const char *data = buf_.data();
    while (from < fill_) {
        const void *hit = memchr(data + from, '\n', fill_ - from);
        if (!hit)
            return std::string::npos;
        size_t at = static_cast<size_t>(static_cast<const char *>(hit) - data);
        if (!utf16_)
            return at;
        if ((at - begin_) % 2 == 0 && at + 1 < fill_ && data[at + 1] == 0)
            return at;
        from = at + 1;
    }
    return std::string::npos;
}

void LineReader::Produce(size_t begin, size_t length, size_t used, bool newline, std::string_view &line) {
    offset_ = base_ + begin;
    end_offset_ = offset_ + used;
    number_++;
    begin_ = begin + used;
    const char *p = buf_.data() + begin;
    size_t unit = utf16_ ? 2 : 1;
    bool cr = length >= unit && p[length - unit] == '\r' && (!utf16_ || p[length - 1] == 0);
    if (cr)
        length -= unit;
    if (newline && !seen_newline_) {
        seen_newline_ = true;
        crlf_ = cr;
    }
    end_ = newline ? End::Newline : cr ? End::CarriageReturn : End::Text;
    if (!utf16_) {
        line = std::string_view(p, length);
        return;
    }
    wide_line_.clear();
    AppendUtf8FromUtf16(wide_line_, reinterpret_cast<const unsigned char *>(p), length / 2);
    if (length % 2)
        AppendUtf8(wide_line_, 0xFFFD);  // half a unit at the end of the file
    line = wide_line_;
}

bool LineReader::Next(std::string_view &line) {
    overlong_ = false;
    // The usual line of an 8-bit file: its break already in the buffer.
    if (!utf16_ && started_ && begin_ < fill_) {
        const char *p = buf_.data() + begin_;
        const void *nl = memchr(p, '\n', fill_ - begin_);
        size_t length = nl ? static_cast<size_t>(static_cast<const char *>(nl) - p) : 0;
        if (nl && length <= kMaxLine && seen_newline_) {
            offset_ = base_ + begin_;
            end_offset_ = offset_ + length + 1;
            number_++;
            begin_ += length + 1;
            end_ = End::Newline;
            line = std::string_view(p, length && p[length - 1] == '\r' ? length - 1 : length);
            return true;
        }
    }
    while (!started_)
        if (!Fill())
            return false;
    size_t unit = utf16_ ? 2 : 1, limit = kMaxLine * unit;
    size_t searched = begin_;
    for (;;) {
        size_t nl = FindNewline(searched);
        if (nl != std::string::npos && nl - begin_ <= limit) {
            Produce(begin_, nl - begin_, nl - begin_ + unit, true, line);
            return true;
        }
        if (fill_ - begin_ > limit) {
            // Too long to be a line of a hive: passed over up to its end,
            // without keeping it.
            uint64_t start = base_ + begin_;
            for (size_t at = nl;;) {
                if (at == std::string::npos) {
                    begin_ += (fill_ - begin_) / unit * unit;
                    if (!Fill())
                        return false;
                    at = FindNewline(begin_);
                }
                if (at != std::string::npos || eof_) {
                    size_t stop = at != std::string::npos ? at + unit : fill_;
                    begin_ = stop;
                    offset_ = start;
                    end_offset_ = base_ + stop;
                    number_++;
                    end_ = at != std::string::npos ? End::Newline : End::Text;
                    overlong_ = true;
                    line = std::string_view();
                    return true;
                }
            }
        }
        if (eof_) {
            if (begin_ == fill_)
                return false;
            Produce(begin_, fill_ - begin_, fill_ - begin_, false, line);
            return true;
        }
        size_t pending = (fill_ - begin_) / unit * unit;
        if (!Fill())
            return false;
        searched = begin_ + pending;
    }
}

// --- parsing --------------------------------------------------------------------

void ReportOnce(const std::string &file, long line, const char *reason) {
    static bool reported = false;
    if (reported)
        return;
    reported = true;
    fprintf(stderr, "winshim: %s:%ld: %s\n", file.c_str(), line, reason);
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

bool StartsNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

// UTF-16LE bytes as UTF-8; an odd last byte stands for U+FFFD.
std::string NarrowFromUtf16(std::string_view bytes) {
    std::string out;
    AppendUtf8FromUtf16(out, reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size() / 2);
    if (bytes.size() % 2)
        AppendUtf8(out, 0xFFFD);
    return out;
}

}  // namespace

namespace {
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
    if (fstat(fd, &st) != 0)
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

Parser::Parser(LineReader &in, Root root, const std::string &file, bool report)
    : in_(in), root_(RootName(root)), file_(file), report_(report) {}

LONG Parser::Run(Visitor &visitor) {
    std::string_view line;
    if (!in_.Next(line))
        return in_.error() ? Win32FromErrno(in_.error()) : ERROR_SUCCESS;  // an empty file: an empty hive
    if (!Header(line, in_.utf16(), &wide_strings_)) {
        passed_line_ = in_.number();
        passed_reason_ = "not a registry file (REGEDIT4 or Windows Registry Editor Version 5.00)";
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
    if (report_ && !quick_)
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
        if (s.empty() || s[0] == ';' || s[0] == '#')
            continue;
        if (s[0] == '[') {
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
        if (!keep && quick_ && !memchr(s.data(), '\\', s.size()))
            continue;
        Value &value = keep ? fresh_ : scratch_;
        value.name.clear();
        value.data.clear();
        Outcome outcome = Statement(s, value, keep);
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
    s = s.substr(0, s.find('\0'));  // regedit reads a line up to a NUL
    size_t close = s.rfind(']');
    if (close == std::string_view::npos)
        return Skip(visitor, begin, "section without ']'");
    if (s.size() > 1 && IsBlank(s[1]))
        return Skip(visitor, begin, "blank before a section's name");
    std::string_view name = s.substr(1, close - 1);
    bool removal = !name.empty() && name[0] == '-';
    if (removal)
        name.remove_prefix(1);
    visitor.Mark(begin);
    in_section = wanted = false;
    bool root = name.size() >= root_.size() &&
                (name.compare(0, root_.size(), root_) == 0 || StartsNoCase(name, root_));
    if (!root || (name.size() > root_.size() && name[root_.size()] != '\\'))
        return Skip(visitor, begin, "section outside this hive's root");
    std::string_view path = name.size() > root_.size() ? name.substr(root_.size() + 1) : std::string_view();
    // Empty names in the path ("A\\B", a trailing '\') are passed over.
    bool clean = path.empty() || (path.front() != '\\' && path.back() != '\\');
    for (const char *p = path.data(), *stop = p + path.size(); clean && p < stop;) {
        const char *cut = static_cast<const char *>(memchr(p, '\\', static_cast<size_t>(stop - p)));
        if (!cut)
            break;
        clean = cut + 1 == stop || cut[1] != '\\';
        p = cut + 1;
    }
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
}  // namespace

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
    std::string_view rest = s.substr(pos);
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
    // The kinds are spelled in lower case, as regedit takes them.
    if (rest.compare(0, 6, "dword:") == 0) {
        size_t p = 6, digits = 0;
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
        for (int i = 0; keep && i < 4; i++)
            value.data += static_cast<char>(n >> (8 * i) & 0xFF);
        return Outcome::Value;
    }
    if (rest.compare(0, 4, "hex:") == 0) {
        value.type = REG_BINARY;
        return HexList(rest.substr(4), keep ? &value.data : nullptr) ? Outcome::Value : Outcome::Bad;
    }
    if (rest.compare(0, 4, "hex(") == 0) {
        // "hex(N):", N up to eight hex digits, none for 0.
        size_t p = 4;
        uint32_t type = 0;
        for (; p < rest.size() && p < 12 && HexDigit(rest[p]) >= 0; p++)
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
    return Outcome::Bad;
}

// "01,02,\" and its continuations, "  03,04": bytes of one or more hex digits
// of a value up to ff, each followed by a comma, the list ending at the line's
// end or a comment, or going on after ",\" on the next line that holds more
// than blanks or a comment. A next line that does not begin with a hex digit
// breaks the list off: the value is passed over, and that line with it. The
// end of the file ends the list where it stands.
bool Parser::HexList(std::string_view s, std::string *out) {
    uint64_t begin = in_.offset();
    for (;;) {
        size_t pos = 0;
        bool more = false;
        for (;;) {
            while (pos < s.size() && IsBlank(s[pos]))
                pos++;
            if (pos == s.size() || s[pos] == ';')
                break;
            if (s[pos] == '\\') {
                more = Ends(s, pos + 1);
                if (!more) {
                    reason_ = "bad hex byte";
                    return false;
                }
                break;
            }
            // The usual "xx," at once.
            int hi = HexDigit(s[pos]), lo = pos + 1 < s.size() ? HexDigit(s[pos + 1]) : -1;
            if (hi >= 0 && lo >= 0 && pos + 2 < s.size() && s[pos + 2] == ',') {
                if (out)
                    *out += static_cast<char>(hi << 4 | lo);
                pos += 3;
                continue;
            }
            if (hi < 0) {
                reason_ = "bad hex byte";
                return false;
            }
            unsigned byte = 0;
            for (; pos < s.size() && HexDigit(s[pos]) >= 0; pos++) {
                byte = byte << 4 | static_cast<unsigned>(HexDigit(s[pos]));
                if (byte > 0xFF) {
                    reason_ = "bad hex byte";
                    return false;
                }
            }
            if (out)
                *out += static_cast<char>(byte);
            if (pos < s.size() && s[pos] == ',') {
                pos++;
                continue;
            }
            if (!Ends(s, pos)) {
                reason_ = "bad hex byte";
                return false;
            }
            break;
        }
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

// --- reading a key --------------------------------------------------------------

namespace {



// True when removing key `removed` removes `key` too: it is the key itself or
// one above it.
bool RemovedWith(std::string_view key, std::string_view removed) {
    std::string_view child;
    return Relate(removed, key, &child) != Relation::Other;
}

// Collects one key's subkeys and values.
class KeyCollector : public Visitor {
public:
    explicit KeyCollector(std::string_view target) : target_(target) {}

    bool Section(std::string_view path, uint64_t, uint64_t) override {
        std::string_view child;
        switch (Relate(target_, path, &child)) {
        case Relation::Same:
            found_ = true;
            return true;
        case Relation::Below:
            found_ = true;
            // Sections of one subtree come together: a name once for them.
            if (!EqualNoCase(child, last_child_)) {
                children_.Add(child);
                last_child_ = child;
            }
            return false;
        case Relation::Other:
            return false;
        }
        return false;
    }

    void KeyRemoved(std::string_view path, uint64_t, uint64_t) override {
        std::string_view child;
        if (RemovedWith(target_, path)) {
            found_ = false;
            children_ = NameList();
            last_child_.clear();
            values_.Clear();
        } else if (Relate(target_, path, &child) == Relation::Below &&
                   child.size() == path.size() - (target_.empty() ? 0 : target_.size() + 1)) {
            children_.Remove(child);  // a subkey, and everything below it
            last_child_.clear();
        }
    }

    void Found(Value &&value, uint64_t begin, uint64_t end) override { values_.Add(std::move(value), begin, end); }

    void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) override { values_.Remove(name, begin, end); }

    bool found() const { return found_ || target_.empty(); }

    void Take(KeyData &out) {
        children_.Sort();
        out.subkeys = std::move(children_);
        out.values = values_.Take();
    }

private:
    std::string_view target_;
    bool found_ = false;
    NameList children_;
    std::string last_child_;
    ValueList values_;
};

}  // namespace

namespace {

// Passes every event to a first visitor, whose wishes count, and to a second.
class Both : public Visitor {
public:
    Both(Visitor &first, Visitor &second) : first_(first), second_(second) {}
    void Mark(uint64_t begin) override {
        first_.Mark(begin);
        second_.Mark(begin);
    }
    bool Section(std::string_view path, uint64_t begin, uint64_t end) override {
        second_.Section(path, begin, end);
        return first_.Section(path, begin, end);
    }
    void KeyRemoved(std::string_view path, uint64_t begin, uint64_t end) override {
        first_.KeyRemoved(path, begin, end);
        second_.KeyRemoved(path, begin, end);
    }
    void Found(Value &&value, uint64_t begin, uint64_t end) override { first_.Found(std::move(value), begin, end); }
    void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) override {
        first_.ValueRemoved(std::move(name), begin, end);
    }
    void Skipped(uint64_t begin, uint64_t end) override {
        first_.Skipped(begin, end);
        second_.Skipped(begin, end);
    }

private:
    Visitor &first_, &second_;
};

// Sees that some lines begin with a section for `path`, and hold no other.
class EventCounter : public Visitor {
public:
    explicit EventCounter(std::string_view path) : path_(path) {}
    bool Section(std::string_view path, uint64_t, uint64_t) override {
        right_ = !sections_++ && path == path_;
        return false;
    }
    void KeyRemoved(std::string_view, uint64_t, uint64_t) override { sections_++; }
    void Found(Value &&, uint64_t, uint64_t) override {}
    bool right() const { return right_ && sections_ == 1; }

private:
    std::string_view path_;
    bool right_ = false;
    int sections_ = 0;
};

// Reads one of the index's ranges: it must begin with the key's section.
class RangeReader : public Visitor {
public:
    RangeReader(std::string_view path, KeyCollector &collector) : path_(path), collector_(collector) {}
    bool Section(std::string_view path, uint64_t begin, uint64_t end) override {
        right_ = right_ || (!sections_++ && EqualNoCase(path, path_));
        return collector_.Section(path, begin, end);
    }
    void KeyRemoved(std::string_view, uint64_t, uint64_t) override { right_ = false; }
    void Found(Value &&value, uint64_t begin, uint64_t end) override {
        collector_.Found(std::move(value), begin, end);
    }
    void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) override {
        collector_.ValueRemoved(std::move(name), begin, end);
    }
    bool right() const { return right_ && sections_ == 1; }

private:
    std::string_view path_;
    KeyCollector &collector_;
    bool right_ = false;
    int sections_ = 0;
};

// A section's line as the index says it stands: it must name `path`.
bool SectionAt(int fd, Root root, const std::string &file, bool utf16, uint64_t begin, uint64_t end,
               std::string_view path) {
    LineReader in(fd, begin, end, utf16);
    Parser parser(in, root, file, false);
    EventCounter first(path);
    return parser.RunFragment(first, false, false) == ERROR_SUCCESS && first.right();
}

// Answers from the index; false when it turns out broken, so that the
// hive is read whole. What it says is checked against the hive wherever
// that is cheap: the header (and with it the encoding), and a line for every
// section it points at.
bool ReadIndexed(Index &index, int fd, Root root, const std::string &file, const std::string &path, KeyData *out,
                 bool subkeys, LONG *rc) {
    bool utf16, wide_strings;
    bool header = FirstLine(fd, &utf16, &wide_strings);
    if (header != (index.verdict() == ERROR_SUCCESS) || (header && utf16 != index.utf16()) ||
        (header && wide_strings != index.wide_strings()))
        return false;
    long line;
    std::string reason;
    if (index.Passed(&line, &reason))
        ReportOnce(file, line, reason.c_str());
    if ((*rc = index.verdict()) != ERROR_SUCCESS)
        return *rc == ERROR_REGISTRY_CORRUPT;
    IndexedKey key;
    if (!index.Lookup(path, out && subkeys, key))
        return false;
    if (!key.exists) {
        *rc = ERROR_FILE_NOT_FOUND;
        return true;
    }
    if (key.ranges.empty() && !path.empty() &&
        !SectionAt(fd, root, file, utf16, key.witness.first, key.witness.second, key.witness_path))
        return false;
    if (!out)
        return true;
    KeyCollector collector(path);
    for (const auto &[begin, end] : key.ranges) {
        LineReader in(fd, begin, end, index.utf16());
        Parser parser(in, root, file, false);
        RangeReader reader(path, collector);
        if (parser.RunFragment(reader, index.wide_strings(), false) != ERROR_SUCCESS || !reader.right())
            return false;
    }
    collector.Take(*out);
    out->subkeys = std::move(key.children);
    out->has_subkeys = subkeys;
    return true;
}

}  // namespace

LONG ReadKey(Root root, const std::string &path, KeyData *out, bool subkeys, bool make_index) {
    std::string file = HivePath(root);
    Fd fd;
    struct stat st;
    if (LONG rc = OpenHiveFile(file, fd, &st))
        return rc;
    if (fd.get() < 0) {
        if (!path.empty())
            return ERROR_FILE_NOT_FOUND;
        if (out)
            *out = KeyData();
        return ERROR_SUCCESS;
    }
    bool indexed = IndexWanted(static_cast<uint64_t>(st.st_size));
    std::string target;
    if (indexed) {
        target = HiveTarget(file);
        Index index;
        LONG rc;
        if (index.Open(target, st) && ReadIndexed(index, fd.get(), root, file, path, out, subkeys, &rc))
            return rc;
    }
    LineReader in(fd.get(), static_cast<uint64_t>(st.st_size));
    Parser parser(in, root, file);
    KeyCollector collector(path);
    LONG rc;
    if (indexed && make_index) {
        // Read whole once: the index of it comes out of the same reading.
        IndexBuilder builder;
        Both both(collector, builder);
        rc = parser.Run(both);
        builder.Write(target, st, parser, in);
    } else {
        rc = parser.Run(collector);
    }
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!collector.found())
        return ERROR_FILE_NOT_FOUND;
    if (out)
        collector.Take(*out);
    return ERROR_SUCCESS;
}

}  // namespace winshim
