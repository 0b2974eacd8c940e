// Hive files: one REGEDIT4 export per registry root, read by streaming and
// changed by editing the file's text in place, so that whatever else the file
// holds (other keys, comments, layout) is kept byte for byte.

#include "internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_map>

#include <fcntl.h>
#include <dirent.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winshim {

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    if (a == b)  // names in a hive mostly keep one spelling
        return true;
    for (size_t i = 0; i < a.size(); i++)
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    return true;
}

bool LessUpper(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
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

std::string StoreDirectory() {
    const char *dir = getenv("WINSHIM_REGISTRY");
    if (dir && *dir)
        return dir;
    std::string base;
    const char *xdg = getenv("XDG_DATA_HOME");
    if (xdg && *xdg == '/') {
        base = xdg;
    } else {
        const char *home = getenv("HOME");
        if (!home || !*home) {
            const passwd *pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : "/";
        }
        base = std::string(home) + "/.local/share";
    }
    return base + "/winshim/registry";
}

std::string HivePath(Root root) { return StoreDirectory() + "/" + RootName(root) + ".reg"; }

bool HiveWritable(Root root) {
    struct stat st;
    if (stat(HivePath(root).c_str(), &st) == 0)
        return (st.st_mode & 0222) != 0;
    if (stat(StoreDirectory().c_str(), &st) == 0)
        return (st.st_mode & 0222) != 0;
    return true;  // made on the first write
}

namespace {

// The lines of a file or a text, read in blocks of at most 1 MiB, so that a
// scan of a large hive costs no more memory than one of a hive of 1 MiB.
class LineReader {
public:
    // `size`, the file's size when known, keeps the block of a small file
    // small; the block grows when a line needs it.
    LineReader(int fd, uint64_t size) : fd_(fd), buf_(size < kBlock ? size + 1 : kBlock) { data_ = buf_.data(); }
    explicit LineReader(std::string_view text) : data_(text.data()), end_(text.size()), eof_(true) {}

    // The next line without its "\n" or "\r\n". False at the end of the input
    // or on a read error (then error() is the errno).
    bool Next(std::string_view &line) {
        for (;;) {
            const char *p = data_ + begin_;
            const void *nl = memchr(p, '\n', end_ - begin_);
            if (nl || (eof_ && begin_ < end_)) {
                size_t len = nl ? static_cast<const char *>(nl) - p : end_ - begin_;
                size_t used = nl ? len + 1 : len;
                if (len > 0 && p[len - 1] == '\r')
                    len--;
                line = std::string_view(p, len);
                offset_ = base_ + begin_;
                begin_ += used;
                number_++;
                return true;
            }
            if (eof_ || !Fill())
                return false;
        }
    }
    uint64_t offset() const { return offset_; }        // where the last line starts
    uint64_t end_offset() const { return base_ + begin_; }  // just after its line break
    long number() const { return number_; }
    int error() const { return error_; }

private:
    static constexpr size_t kBlock = 1 << 20;

    bool Fill() {
        if (begin_ > 0) {
            memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
            base_ += begin_;
            end_ -= begin_;
            begin_ = 0;
        }
        if (end_ == buf_.size()) {  // one line longer than the block
            buf_.resize(buf_.size() * 2);
            data_ = buf_.data();
        }
        for (;;) {
            ssize_t n = read(fd_, buf_.data() + end_, buf_.size() - end_);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error_ = errno;
                return false;
            }
            if (n == 0)
                eof_ = true;
            end_ += static_cast<size_t>(n);
            return true;
        }
    }

    int fd_ = -1;
    std::vector<char> buf_;
    const char *data_ = nullptr;
    size_t begin_ = 0, end_ = 0;
    uint64_t base_ = 0, offset_ = 0;
    long number_ = 0;
    bool eof_ = false;
    int error_ = 0;
};

void ReportCorrupt(const std::string &file, long line, const char *reason) {
    static bool reported = false;
    if (reported)
        return;
    reported = true;
    fprintf(stderr, "winshim: %s:%ld: %s\n", file.c_str(), line, reason);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualNoCase(s.substr(0, prefix.size()), prefix);
}

// UTF-16LE bytes as UTF-8, the narrow text of this platform. A lone
// surrogate becomes U+FFFD; an odd last byte is kept as it is.
std::string NarrowFromUtf16(std::string_view bytes) {
    std::wstring wide;
    size_t n = bytes.size() / 2;
    auto unit = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    };
    for (size_t i = 0; i < n; i++) {
        uint32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        wide += static_cast<wchar_t>(c);
    }
    std::string out = Utf8FromWide(wide);
    if (bytes.size() % 2)
        out += bytes.back();
    return out;
}

// What a parse reports to the code that asked for it.
class Visitor {
public:
    virtual ~Visitor() = default;
    // A section for key `path`, starting at byte `begin`. Returns whether the
    // values of this section are wanted.
    virtual bool Section(std::string_view path, uint64_t begin, uint64_t end) = 0;
    // A value of a wanted section, from byte `begin` up to `end`.
    virtual void Found(Value &&value, uint64_t begin, uint64_t end) = 0;
};

class Parser {
public:
    Parser(LineReader &in, Root root, const std::string &file) : in_(in), root_(RootName(root)), file_(file) {}

    // Parses and checks the whole input, so that a broken line anywhere makes
    // the whole hive one that cannot be read; values go to the visitor only
    // for the sections it wants.
    LONG Run(Visitor &visitor) {
        std::string_view line;
        if (!in_.Next(line))
            return in_.error() ? Win32FromErrno(in_.error()) : ERROR_SUCCESS;  // an empty file: an empty hive
        if (line.size() >= 3 && line.substr(0, 3) == "\xEF\xBB\xBF")
            line.remove_prefix(3);
        std::string_view format = TrimBlanks(line);
        if (format == "Windows Registry Editor Version 5.00")
            wide_ = true;
        else if (format != "REGEDIT4")
            return Fail("not a registry file (REGEDIT4 or Windows Registry Editor Version 5.00)");
        bool in_section = false, wanted = false;
        while (in_.Next(line)) {
            std::string_view s = TrimBlanks(line);
            if (s.empty() || s[0] == ';' || s[0] == '#')
                continue;
            if (s[0] == '[') {
                std::string_view path;
                if (!Header(s, path))
                    return ERROR_REGISTRY_CORRUPT;
                wanted = visitor.Section(path, in_.offset(), in_.end_offset());
                in_section = true;
            } else if (s[0] == '"' || s[0] == '@') {
                if (!in_section)
                    return Fail("value outside a section");
                if (wanted) {
                    uint64_t begin = in_.offset();
                    Value value;
                    if (!ParseValue(s, value))
                        return ERROR_REGISTRY_CORRUPT;
                    visitor.Found(std::move(value), begin, in_.end_offset());
                } else {
                    // Checked only: one scratch value keeps its buffers.
                    scratch_.name.clear();
                    scratch_.data.clear();
                    if (!ParseValue(s, scratch_))
                        return ERROR_REGISTRY_CORRUPT;
                }
            } else {
                return Fail("unexpected text");
            }
        }
        if (in_.error())
            return Win32FromErrno(in_.error());
        return ERROR_SUCCESS;
    }

private:
    LONG Fail(const char *reason) {
        ReportCorrupt(file_, in_.number(), reason);
        return ERROR_REGISTRY_CORRUPT;
    }
    bool Bad(const char *reason) {
        Fail(reason);
        return false;
    }

    // "[HKEY_CURRENT_USER\A\B]" gives "A\B"; the hive's own root gives "".
    bool Header(std::string_view s, std::string_view &path) {
        size_t close = s.rfind(']');
        if (close == std::string_view::npos)
            return Bad("section without ']'");
        if (!TrimBlanks(s.substr(close + 1)).empty())
            return Bad("text after a section name");
        std::string_view name = s.substr(1, close - 1);
        if (!name.empty() && name[0] == '-')
            return Bad("key removal in a hive file");
        if (!StartsNoCase(name, root_) || (name.size() > root_.size() && name[root_.size()] != '\\'))
            return Bad("section outside this hive's root");
        path = name.size() > root_.size() ? name.substr(root_.size() + 1) : std::string_view();
        if (!path.empty() && (path.front() == '\\' || path.back() == '\\' ||
                              path.find("\\\\") != std::string_view::npos))
            return Bad("empty key name in a section");
        return true;
    }

    // A quoted string at s[pos] with regedit's escapes; pos moves past it.
    bool QuotedString(std::string_view s, size_t &pos, std::string &out) {
        pos++;  // the opening quote
        while (pos < s.size()) {
            size_t stop = pos;
            while (stop < s.size() && s[stop] != '"' && s[stop] != '\\')
                stop++;
            if (stop == s.size())
                break;
            out.append(s.data() + pos, stop - pos);
            pos = stop;
            // stop < s.size() here: the loop above broke out otherwise.
            // cppcheck-suppress containerOutOfBounds
            char c = s[pos++];
            if (c == '"')
                return true;
            if (c == '\\' && pos < s.size()) {
                char e = s[pos++];
                switch (e) {
                case '\\': out += '\\'; break;
                case '"': out += '"'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case '0': out += '\0'; break;
                default: out += '\\'; out += e; break;  // kept as written, as regedit does
                }
                continue;
            }
            out += c;
        }
        return Bad("unterminated string");
    }

    bool ParseValue(std::string_view s, Value &value) {
        size_t pos = 0;
        if (s[0] == '@') {
            pos = 1;
        } else if (!QuotedString(s, pos, value.name)) {
            return false;
        }
        while (pos < s.size() && IsBlank(s[pos]))
            pos++;
        if (pos >= s.size() || s[pos] != '=')
            return Bad("value without '='");
        std::string_view rest = TrimBlanks(s.substr(pos + 1));
        if (!rest.empty() && rest[0] == '"') {
            size_t p = 0;
            if (!QuotedString(rest, p, value.data))
                return false;
            if (!TrimBlanks(rest.substr(p)).empty())
                return Bad("text after a string value");
            value.type = REG_SZ;
            value.data += '\0';
            return true;
        }
        char kind = rest.empty() ? '\0' : Upper(rest[0]);
        if (kind == 'D' && StartsNoCase(rest, "dword:")) {
            std::string_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8)
                return Bad("bad dword value");
            uint32_t n = 0;
            for (char c : digits) {
                int d = HexDigit(c);
                if (d < 0)
                    return Bad("bad dword value");
                n = n << 4 | static_cast<uint32_t>(d);
            }
            value.type = REG_DWORD;
            for (int i = 0; i < 4; i++)
                value.data += static_cast<char>(n >> (8 * i) & 0xFF);
            return true;
        }
        if (kind == 'H' && StartsNoCase(rest, "hex:")) {
            value.type = REG_BINARY;
            return HexList(rest.substr(4), value.data);
        }
        if (kind == 'H' && StartsNoCase(rest, "hex(")) {
            size_t close = rest.find(')');
            if (close == std::string_view::npos || close == 4 || close > 12 || close + 1 >= rest.size() ||
                rest[close + 1] != ':')
                return Bad("bad value type");
            uint32_t type = 0;
            for (char c : rest.substr(4, close - 4)) {
                int d = HexDigit(c);
                if (d < 0)
                    return Bad("bad value type");
                type = type << 4 | static_cast<uint32_t>(d);
            }
            value.type = type;
            if (!HexList(rest.substr(close + 2), value.data))
                return false;
            // Version 5 files hold strings in hex as UTF-16; ours are narrow.
            if (wide_ && (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ))
                value.data = NarrowFromUtf16(value.data);
            return true;
        }
        if (rest == "-")
            return Bad("value removal in a hive file");
        return Bad("unknown kind of value");
    }

    // "01,02,\" and its continuation lines, "  03,04".
    bool HexList(std::string_view s, std::string &out) {
        for (;;) {
            s = TrimBlanks(s);
            bool more = !s.empty() && s.back() == '\\';
            if (more)
                s.remove_suffix(1);
            size_t pos = 0;
            while (pos < s.size()) {
                // The usual "xx," first, then the general form.
                if (pos + 2 < s.size() && s[pos + 2] == ',') {
                    int hi = HexDigit(s[pos]), lo = HexDigit(s[pos + 1]);
                    if (hi >= 0 && lo >= 0) {
                        out += static_cast<char>(hi << 4 | lo);
                        pos += 3;
                        continue;
                    }
                }
                while (pos < s.size() && IsBlank(s[pos]))
                    pos++;
                if (pos == s.size())
                    break;
                int hi = HexDigit(s[pos]);
                if (hi < 0)
                    return Bad("bad hex byte");
                int byte = hi;
                pos++;
                if (pos < s.size() && HexDigit(s[pos]) >= 0)
                    byte = byte << 4 | HexDigit(s[pos++]);
                out += static_cast<char>(byte);
                while (pos < s.size() && IsBlank(s[pos]))
                    pos++;
                if (pos < s.size()) {
                    if (s[pos] != ',')
                        return Bad("bad hex byte");
                    pos++;
                }
            }
            if (!more)
                return true;
            std::string_view line;
            if (!in_.Next(line))
                return Bad("hex list continued past the end of the file");
            s = line;
        }
    }

    LineReader &in_;
    bool wide_ = false;
    Value scratch_;
    std::string_view root_;
    const std::string &file_;
};

struct UpperOrder {
    bool operator()(const std::string &a, const std::string &b) const { return LessUpper(a, b); }
};

std::string UpperCopy(std::string_view s) {
    std::string u(s);
    for (char &c : u)
        c = Upper(c);
    return u;
}

// How `path` stands to the target key: the same key, a key below it (then
// `child` is the target's subkey on its way), or neither.
enum class Relation { Other, Same, Below };
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
            // Sections of one subtree come together; skip the set for them.
            if (!EqualNoCase(child, last_child_)) {
                auto it = children_.emplace(child).first;
                last_child_ = *it;
            }
            return false;
        case Relation::Other:
            return false;
        }
        return false;
    }

    void Found(Value &&value, uint64_t, uint64_t) override {
        std::string key = UpperCopy(value.name);
        auto it = index_.find(key);
        if (it != index_.end()) {
            values_[it->second].type = value.type;
            values_[it->second].data = std::move(value.data);
            return;
        }
        index_.emplace(std::move(key), values_.size());
        values_.push_back(std::move(value));
    }

    bool found() const { return found_ || target_.empty(); }

    void Take(KeyData &out) {
        out.subkeys.assign(children_.begin(), children_.end());
        out.values = std::move(values_);
    }

private:
    std::string_view target_;
    bool found_ = false;
    std::set<std::string, UpperOrder> children_;
    std::string last_child_;
    std::vector<Value> values_;
    std::unordered_map<std::string, size_t> index_;
};

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The size of an open file, or the largest size when it cannot be told.
uint64_t FileSize(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
}

LONG ReadAll(int fd, std::string &out) {
    char block[65536];
    for (;;) {
        ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Win32FromErrno(errno);
        if (n == 0)
            return ERROR_SUCCESS;
        out.append(block, static_cast<size_t>(n));
    }
}

}  // namespace

LONG ReadKey(Root root, const std::string &path, KeyData *out) {
    std::string file = HivePath(root);
    Fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        if (errno != ENOENT)
            return Win32FromErrno(errno);
        if (!path.empty())
            return ERROR_FILE_NOT_FOUND;
        if (out)
            *out = KeyData();
        return ERROR_SUCCESS;
    }
    // A version 5 file is UTF-16: read whole and turned into UTF-8 text.
    unsigned char bom[2];
    ssize_t got = pread(fd.get(), bom, 2, 0);
    bool wide = got == 2 && bom[0] == 0xFF && bom[1] == 0xFE;
    std::string text;
    if (wide) {
        std::string bytes;
        if (LONG rc = ReadAll(fd.get(), bytes))
            return rc;
        text = NarrowFromUtf16(std::string_view(bytes).substr(2));
    }
    LineReader in = wide ? LineReader(text) : LineReader(fd.get(), FileSize(fd.get()));
    Parser parser(in, root, file);
    KeyCollector collector(path);
    LONG rc = parser.Run(collector);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (!collector.found())
        return ERROR_FILE_NOT_FOUND;
    if (out)
        collector.Take(*out);
    return ERROR_SUCCESS;
}

// --- writing ----------------------------------------------------------------

namespace {

// UTF-8 text as UTF-16LE bytes, for the strings of a version 5 file.
std::string Utf16FromNarrow(std::string_view text) {
    std::string out;
    auto put = [&out](uint32_t unit) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    };
    for (wchar_t wc : WideFromUtf8(text)) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

std::string Escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

// A value as regedit writes it, hex lists wrapped at 80 columns.
std::string ValueText(const Value &value, bool wide, const std::string &nl) {
    std::string line = value.name.empty() ? "@=" : "\"" + Escaped(value.name) + "\"=";
    const std::string &data = value.data;
    if (value.type == REG_SZ && !data.empty() && data.find('\0') == data.size() - 1 &&
        data.find_first_of("\r\n") == std::string::npos)
        return line + "\"" + Escaped(std::string_view(data).substr(0, data.size() - 1)) + "\"" + nl;
    if (value.type == REG_DWORD && data.size() == 4) {
        char digits[16];
        uint32_t n = 0;
        for (int i = 3; i >= 0; i--)
            n = n << 8 | static_cast<unsigned char>(data[i]);
        snprintf(digits, sizeof digits, "dword:%08x", n);
        return line + digits + nl;
    }
    char kind[16];
    if (value.type == REG_BINARY)
        snprintf(kind, sizeof kind, "hex:");
    else
        snprintf(kind, sizeof kind, "hex(%x):", static_cast<unsigned>(value.type));
    line += kind;
    bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    std::string bytes = wide && text ? Utf16FromNarrow(data) : data;
    std::string out;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < bytes.size(); i++) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        line += digits[b >> 4];
        line += digits[b & 15];
        if (i + 1 < bytes.size()) {
            line += ',';
            if (line.size() > 76) {
                out += line;
                out += '\\';
                out += nl;
                line = "  ";
            }
        }
    }
    return out + line + nl;
}

// Where the key to change stands in the text: the end of each of its
// sections, the places of the value named, and the spelling of the part of
// its path that exists already.
class EditScanner : public Visitor {
public:
    EditScanner(std::string_view target, std::string_view value_name) : target_(target), name_(value_name) {
        for (size_t start = 0; !target.empty();) {
            size_t cut = target.find('\\', start);
            parts_.push_back(target.substr(start, cut == std::string_view::npos ? cut : cut - start));
            if (cut == std::string_view::npos)
                break;
            start = cut + 1;
        }
    }

    bool Section(std::string_view path, uint64_t, uint64_t end) override {
        Spell(path);
        std::string_view child;
        switch (Relate(target_, path, &child)) {
        case Relation::Same:
            exists_ = true;
            section_ends_.push_back(end);
            return true;
        case Relation::Below:
            exists_ = true;
            return false;
        case Relation::Other:
            return false;
        }
        return false;
    }

    void Found(Value &&value, uint64_t begin, uint64_t end) override {
        section_ends_.back() = end;
        if (EqualNoCase(value.name, name_))
            places_.push_back({begin, end});
    }

    bool exists() const { return exists_ || target_.empty(); }
    const std::vector<uint64_t> &section_ends() const { return section_ends_; }
    const std::vector<std::pair<uint64_t, uint64_t>> &places() const { return places_; }

    // The key's path spelled as the hive spells what it has of it.
    std::string Spelling() const {
        std::string out;
        for (size_t i = 0; i < parts_.size(); i++) {
            if (i)
                out += '\\';
            out += i < spelled_.size() ? spelled_[i] : std::string(parts_[i]);
        }
        return out;
    }

private:
    void Spell(std::string_view path) {
        size_t start = 0;
        for (size_t i = 0; i < parts_.size() && start <= path.size(); i++) {
            size_t cut = path.find('\\', start);
            std::string_view part = path.substr(start, cut == std::string_view::npos ? cut : cut - start);
            if (!EqualNoCase(part, parts_[i]))
                return;
            if (i == spelled_.size())
                spelled_.emplace_back(part);
            if (cut == std::string_view::npos)
                return;
            start = cut + 1;
        }
    }

    std::string_view target_, name_;
    std::vector<std::string_view> parts_;
    std::vector<std::string> spelled_;
    bool exists_ = false;
    std::vector<uint64_t> section_ends_;
    std::vector<std::pair<uint64_t, uint64_t>> places_;
};

// Holds the store's lock: an advisory lock on the directory, which is never
// renamed, taken before a hive is read and kept until its new file is in place.
class StoreLock {
public:
    explicit StoreLock(const std::string &dir) : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        while (flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                error_ = errno;
                return;
            }
        }
    }
    ~StoreLock() {
        if (fd_ >= 0)
            close(fd_);  // releases the lock
    }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
    int error() const { return error_; }
    int fd() const { return fd_; }

private:
    int fd_;
    int error_ = 0;
};

LONG MakeDirectories(const std::string &dir) {
    for (size_t i = 1; i <= dir.size(); i++) {
        if (i < dir.size() && dir[i] != '/')
            continue;
        std::string part = dir.substr(0, i);
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST)
            return Win32FromErrno(errno);
    }
    return ERROR_SUCCESS;
}

bool WriteAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Puts `bytes` in place of the hive's file: a temporary file in the same
// directory, flushed, then renamed over the old one, so that a reader (or a
// crash) sees the old file or the new one, never a part of either.
LONG ReplaceFile(const StoreLock &lock, const std::string &dir, Root root, const std::string &file,
                 const std::string &bytes, mode_t mode) {
    std::string temp = dir + "/." + RootName(root) + ".reg.XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0)
        return Win32FromErrno(errno);
    bool ok = WriteAll(fd, bytes) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), file.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        return Win32FromErrno(err ? err : EIO);
    }
    fsync(lock.fd());
    return ERROR_SUCCESS;
}

// Temporary files of writers that died before their rename. Only a writer
// holding the lock has one, so under the lock every one left is stale.
void RemoveStaleFiles(const std::string &dir, Root root) {
    std::string prefix = std::string(".") + RootName(root) + ".reg.";
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *entry = readdir(d))
            if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0 &&
                strlen(entry->d_name) == prefix.size() + 6)
                unlinkat(dirfd(d), entry->d_name, 0);
        closedir(d);
    }
}

}  // namespace

LONG EditHive(Root root, const HiveEdit &edit, bool *created) {
    if (created)
        *created = false;
    std::string dir = StoreDirectory(), file = HivePath(root);
    if (!HiveWritable(root))
        return ERROR_ACCESS_DENIED;
    if (LONG rc = MakeDirectories(dir))
        return rc;
    StoreLock lock(dir);
    if (lock.error())
        return Win32FromErrno(lock.error());

    std::string bytes;
    mode_t mode = 0666;
    {
        Fd fd(open(file.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st;
        if (fd.get() >= 0) {
            if (fstat(fd.get(), &st) != 0)
                return Win32FromErrno(errno);
            if ((st.st_mode & 0222) == 0)
                return ERROR_ACCESS_DENIED;
            mode = st.st_mode & 07777;
            if (LONG rc = ReadAll(fd.get(), bytes))
                return rc;
        } else if (errno != ENOENT) {
            return Win32FromErrno(errno);
        } else {
            mode_t mask = umask(0);
            umask(mask);
            mode &= ~mask;
        }
    }
    RemoveStaleFiles(dir, root);

    bool wide = bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0;
    std::string text = wide ? NarrowFromUtf16(std::string_view(bytes).substr(2)) : bytes;
    EditScanner scanner(edit.path, edit.match);
    {
        LineReader in(text);
        Parser parser(in, root, file);
        if (LONG rc = parser.Run(scanner))
            return rc;  // a hive that cannot be read is never rewritten
    }
    size_t first_nl = text.find('\n');
    std::string nl = first_nl != std::string::npos && first_nl > 0 && text[first_nl - 1] != '\r' ? "\n" : "\r\n";
    if (text.empty())
        text = wide ? "Windows Registry Editor Version 5.00" + nl : "REGEDIT4" + nl;
    // What ends the text's last line before more goes after it: nothing when
    // it ends in a line break; "\n" after a lone CR, which the reader took as
    // the line's end (another CR would stay in the line and break it).
    auto last_line_end = [&]() -> std::string {
        return text.back() == '\n' ? "" : text.back() == '\r' ? "\n" : nl;
    };
    auto append_section = [&](const std::string &body) {
        text += last_line_end();
        text += nl + "[" + RootName(root) + (edit.path.empty() ? "" : "\\" + scanner.Spelling()) + "]" + nl + body;
    };

    switch (edit.kind) {
    case HiveEdit::CreateKey:
        if (scanner.exists())
            return ERROR_SUCCESS;
        append_section("");
        if (created)
            *created = true;
        break;
    case HiveEdit::SetValue: {
        std::string line = ValueText(edit.value, wide, nl);
        const auto &places = scanner.places();
        if (!scanner.exists()) {
            return ERROR_KEY_DELETED;
        } else if (!places.empty()) {
            // The first place takes the new data; later ones go.
            for (size_t i = places.size(); i-- > 1;)
                text.erase(places[i].first, places[i].second - places[i].first);
            text.replace(places[0].first, places[0].second - places[0].first, line);
        } else if (!scanner.section_ends().empty()) {
            size_t at = scanner.section_ends().back();
            if (at == text.size())
                line = last_line_end() + line;
            text.insert(at, line);
        } else {
            append_section(line);
        }
        break;
    }
    case HiveEdit::DeleteValue: {
        const auto &places = scanner.places();
        if (places.empty())
            return ERROR_FILE_NOT_FOUND;
        for (size_t i = places.size(); i-- > 0;)
            text.erase(places[i].first, places[i].second - places[i].first);
        break;
    }
    }
    return ReplaceFile(lock, dir, root, file, wide ? "\xFF\xFE" + Utf16FromNarrow(text) : text, mode);
}

}  // namespace winshim
