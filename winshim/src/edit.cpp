// Changes to hive files. Each is one transaction under the hive's lock: read
// and check the whole file, decide, edit its text (every line the edit does
// not name is copied byte for byte), check that the reader finds the edit in
// the new text and nothing else changed, then rename the new file into place.

#include "edit.h"

#include "index.h"
#include "parser.h"
#include "prefix.h"
#include "wine.h"

#include <cerrno>
#include <algorithm>
#include <cstdio>

#include <unistd.h>

namespace winshim {
namespace {

constexpr size_t kMaxValueName = 16383;  // Windows' limit
constexpr size_t kMaxQuoted = 1u << 20;  // longer strings go in hex lists of short lines

// A name or string between quotes: backslash and quote escaped, and line
// breaks, which a name may hold but a line may not.
std::string Escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char c : text) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c; break;
        }
    }
    return out;
}

// A value as regedit writes it, hex lists wrapped at 80 columns. Strings in
// hex are UTF-16 where the header says so; text that is no UTF-8 cannot be
// converted exactly and is refused.
LONG ValueText(const Value &value, bool wide_strings, const std::string &nl, std::string &out) {
    std::string line = value.name.empty() ? "@=" : "\"" + Escaped(value.name) + "\"=";
    const std::string &data = value.data;
    if (value.type == REG_SZ && !data.empty() && data.size() <= kMaxQuoted && data.find('\0') == data.size() - 1 &&
        data.find_first_of("\r\n") == std::string::npos) {
        out = line + "\"" + Escaped(std::string_view(data).substr(0, data.size() - 1)) + "\"" + nl;
        return ERROR_SUCCESS;
    }
    if (value.type == REG_DWORD && data.size() == 4) {
        char digits[16];
        snprintf(digits, sizeof digits, "dword:%08x", GetLe32(data.data()));
        out = line + digits + nl;
        return ERROR_SUCCESS;
    }
    char kind[16];
    if (value.type == REG_BINARY)
        snprintf(kind, sizeof kind, "hex:");
    else
        snprintf(kind, sizeof kind, "hex(%x):", static_cast<unsigned>(value.type));
    line += kind;
    bool text = value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    std::string converted;
    if (wide_strings && text && !Utf16FromUtf8(data, converted))
        return ERROR_NO_UNICODE_TRANSLATION;
    const std::string &bytes = wide_strings && text ? converted : data;
    out.clear();
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
    out += line + nl;
    return ERROR_SUCCESS;
}

// What a scan of the file tells about the key to change: where each of its
// sections lies, where a new value of it goes, its values and where each is
// defined, and how the hive spells the part of its path that exists.
class EditScanner : public Visitor {
public:
    EditScanner(std::string_view target, KeyOrder order) : target_(target), order_(order) {
        for (size_t start = 0; !target.empty();) {
            size_t cut = target.find('\\', start);
            parts_.push_back(target.substr(start, cut == std::string_view::npos ? cut : cut - start));
            if (cut == std::string_view::npos)
                break;
            start = cut + 1;
        }
    }

    void SectionLineAt(uint64_t begin) override {
        Close(begin);
        if (insert_at_ != UINT64_MAX && after_insert_ == UINT64_MAX && begin > insert_at_)
            after_insert_ = begin;
        before_ = last_section_;
        last_section_ = begin;
    }

    bool Section(std::string_view path, uint64_t begin, uint64_t end) override {
        Spell(path);
        // In a Wine file a new key goes where Wine keeps it: before the first
        // section that sorts after it.
        if (order_ == KeyOrder::Wine && insert_at_ == UINT64_MAX && CompareKeyPaths(path, target_, order_) > 0) {
            insert_at_ = begin;
            before_insert_ = before_;
        }
        in_target_ = false;
        std::string_view child;
        switch (Relate(target_, path, &child)) {
        case Relation::Same:
            exists_ = true;
            in_target_ = true;
            ranges_.emplace_back(begin, UINT64_MAX);
            append_at_ = end;
            header_ = {begin, end};
            time_ = {0, 0};
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
        append_at_ = end;
        values_.Add(std::move(value), begin, end);
    }

    void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) override {
        append_at_ = end;  // a value put after it is not removed by it
        values_.Remove(name, begin, end);
    }

    bool KeyAttribute(Attribute what, uint64_t begin, uint64_t end) override {
        if (in_target_ && what == Attribute::Time) {
            time_ = {begin, end};
            append_at_ = std::max(append_at_, end);
        } else if (in_target_) {
            append_at_ = std::max(append_at_, end);
        }
        return false;
    }

    // The key removed, or one above it: what its sections said before is gone.
    void KeyRemoved(std::string_view path, uint64_t, uint64_t) override {
        std::string_view child;
        if (Relate(path, target_, &child) == Relation::Other)
            return;
        exists_ = false;
        ranges_.clear();
        spelled_.clear();
        values_.Clear();
    }

    // Ends the range of the key's last section, at the next section or at
    // the end of the file.
    void Close(uint64_t at) {
        if (!ranges_.empty() && ranges_.back().second == UINT64_MAX)
            ranges_.back().second = at;
        if (insert_at_ != UINT64_MAX && after_insert_ == UINT64_MAX && at > insert_at_)
            after_insert_ = at;
    }

    bool exists() const { return exists_ || target_.empty(); }
    // Whether the key has a section of its own, and where a new value goes:
    // after the last statement of its last section.
    bool has_section() const { return !ranges_.empty(); }
    uint64_t append_at() const { return append_at_; }
    const ValueList &values() const { return values_; }
    // The key's sections, from their header to the next section.
    const std::vector<std::pair<uint64_t, uint64_t>> &ranges() const { return ranges_; }
    // Where the file's last section begins (0 when it has none).
    uint64_t last_section() const { return last_section_; }
    // A Wine file: where a new section of the key goes (UINT64_MAX: at the
    // end), and the lines around that place, from the section before it to
    // the one after; the key's last section's line and its "#time=" line
    // ({0, 0} where it has none).
    uint64_t insert_at() const { return insert_at_; }
    std::pair<uint64_t, uint64_t> insert_window() const { return {before_insert_, after_insert_}; }
    std::pair<uint64_t, uint64_t> header() const { return header_; }
    std::pair<uint64_t, uint64_t> time() const { return time_; }

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
        if (spelled_.size() == parts_.size())
            return;  // spelled out already
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

    std::string_view target_;
    KeyOrder order_;
    std::vector<std::string_view> parts_;
    std::vector<std::string> spelled_;
    bool exists_ = false, in_target_ = false;
    uint64_t before_ = 0, insert_at_ = UINT64_MAX, before_insert_ = 0, after_insert_ = UINT64_MAX;
    std::pair<uint64_t, uint64_t> header_{0, 0}, time_{0, 0};
    std::vector<std::pair<uint64_t, uint64_t>> ranges_;
    uint64_t append_at_ = 0;
    uint64_t last_section_ = 0;
    ValueList values_;
};

// A hive file as a scan found it.
struct Scan {
    Scan(std::string_view path, KeyOrder order) : key(path, order) {}
    EditScanner key;
    bool utf16 = false, wide_strings = false, has_header = false, crlf = true;
    LineReader::End end = LineReader::End::Empty;
    uint64_t size = 0;  // the bytes read, up to the end of the last line
    uint64_t body = 0;  // where the lines after the header begin
    // Where the hex list begins that the end of the file left open: a line
    // put after it would be taken as its continuation.
    uint64_t dangling = UINT64_MAX;
};

LONG ScanHive(int fd, const Hive &hive, Scan &scan) {
    if (fd < 0)
        return ERROR_SUCCESS;
    struct stat st;
    if (sys::Fstat(fd, &st) != 0)
        return Win32FromErrno(errno);
    LineReader in(fd, static_cast<uint64_t>(st.st_size));
    Parser parser(in, hive);
    parser.SkimUnwanted();
    if (LONG rc = parser.Run(scan.key))
        return rc;
    scan.utf16 = in.utf16();
    scan.wide_strings = parser.wide_strings();
    scan.has_header = parser.has_header();
    scan.crlf = in.crlf();
    scan.end = in.end();
    scan.size = in.number() ? in.end_offset() : in.utf16() ? 2 : 0;
    scan.body = parser.body();
    scan.dangling = parser.dangling();
    scan.key.Close(scan.size);
    return ERROR_SUCCESS;
}

// What the reader finds in some lines, in order: sections, key removals,
// values, value removals, and lines passed over.
struct Event {
    enum Kind { Section, KeyRemoved, Value, ValueRemoved, Skipped } kind;
    std::string path;     // a section's or a removed key's path
    winshim::Value value;  // a value, or the name of one removed
    uint64_t begin, end;
};

class EventLog : public Visitor {
public:
    bool Section(std::string_view path, uint64_t begin, uint64_t end) override {
        events.push_back({Event::Section, std::string(path), {}, begin, end});
        return true;
    }
    void KeyRemoved(std::string_view path, uint64_t begin, uint64_t end) override {
        events.push_back({Event::KeyRemoved, std::string(path), {}, begin, end});
    }
    void Found(Value &&value, uint64_t begin, uint64_t end) override {
        events.push_back({Event::Value, {}, std::move(value), begin, end});
    }
    void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) override {
        events.push_back({Event::ValueRemoved, {}, {std::move(name), REG_NONE, {}}, begin, end});
    }
    void Skipped(uint64_t begin, uint64_t end) override { events.push_back({Event::Skipped, {}, {}, begin, end}); }
    std::vector<Event> events;
};

bool SameValue(const Value &a, const Value &b) { return a.name == b.name && a.type == b.type && a.data == b.data; }

bool SameEvent(const Event &a, const Event &b) {
    return a.kind == b.kind && a.path == b.path && SameValue(a.value, b.value);
}

// The events of some lines: a whole file (`whole`), or lines from its
// middle, which begin at a section or inside a section (`in_section`).
LONG ReadEvents(LineReader &in, const Hive &hive, bool whole, bool wide_strings, bool in_section,
                std::vector<Event> &out) {
    Parser parser(in, hive, false);
    EventLog log;
    if (LONG rc = whole ? parser.Run(log) : parser.RunFragment(log, wide_strings, in_section))
        return rc;
    if (whole && !parser.has_header())
        return ERROR_REGISTRY_CORRUPT;
    out = std::move(log.events);
    return ERROR_SUCCESS;
}

// The new text: pieces put in place of byte ranges of the old one.
struct Splice {
    uint64_t at, remove;
    std::string text;      // in the file's encoding
    bool section = false;  // the text begins a section
    bool value = false;    // the text holds the value set
    std::string utf8;      // the text as UTF-8
};
struct Plan {
    std::vector<Splice> splices;  // in file order
    bool new_key = false;
};

// The line breaks of the file: of its lines, and what a text that goes at
// its end begins with.
struct Breaks {
    std::string nl;          // CRLF or LF, as the file has them (CRLF for a new file)
    std::string head;        // a file without a header gets the header of its encoding
    std::string last_break;  // what ends the file's last line before more goes after it
};

Breaks BreaksOf(const Scan &old) {
    Breaks b;
    b.nl = old.crlf ? "\r\n" : "\n";
    b.head = old.has_header ? "" : (old.utf16 ? "Windows Registry Editor Version 5.00" : "REGEDIT4") + b.nl;
    // Nothing after a line break; "\n" after a lone CR, which the reader
    // took as the line's end (another CR would stay in the line and break it).
    b.last_break = old.end == LineReader::End::Text ? b.nl : old.end == LineReader::End::CarriageReturn ? "\n" : "";
    return b;
}

// A new section for the key, holding `body`: at the end of the file, or,
// where a hex list is left open there, before the last section, which the
// list stays in.
LONG AppendSection(const Hive &hive, const Scan &old, const HiveEdit &edit, const std::string &body, Plan &plan) {
    Breaks b = BreaksOf(old);
    std::string name = hive.root;
    if (!edit.path.empty())
        name += "\\" + old.key.Spelling();
    // A section's name has no escapes: no line break can stand in it.
    if (name.find_first_of("\r\n") != std::string::npos || name.size() + 2 > kMaxLine)
        return ERROR_INVALID_PARAMETER;
    std::string section = "[" + name + "]" + b.nl + body;
    bool value = !body.empty();
    if (old.dangling != UINT64_MAX)
        plan.splices.push_back(
            {old.key.last_section() ? old.key.last_section() : old.body, 0, section + b.nl, true, value, {}});
    else
        plan.splices.push_back({old.size, 0, b.head + b.last_break + b.nl + section, true, value, {}});
    plan.new_key = true;
    return ERROR_SUCCESS;
}

// A value set: in place of its first definition since the key was last
// made (later ones go), else after the key's last statement, else in a
// section of its own.
LONG PlanSetValue(const Hive &hive, const Scan &old, const HiveEdit &edit, Plan &plan) {
    if (edit.value.name.size() > kMaxValueName)
        return ERROR_INVALID_PARAMETER;
    Breaks b = BreaksOf(old);
    bool wide_strings = old.has_header ? old.wide_strings : old.utf16;
    std::string line;
    if (LONG rc = ValueText(edit.value, wide_strings, b.nl, line))
        return rc;
    if (!old.key.exists() && !edit.create)
        return ERROR_KEY_DELETED;
    // A key without a section of its own (the root, or a key that sections
    // below it make) gets one.
    if (!old.key.has_section())
        return AppendSection(hive, old, edit, line, plan);
    if (const ValueList::Places *places = old.key.values().PlacesOf(edit.match)) {
        for (size_t i = 0; i < places->size(); i++) {
            auto [begin, end] = (*places)[i];
            plan.splices.push_back({begin, end - begin, i == 0 ? line : "", false, i == 0, {}});
        }
        return ERROR_SUCCESS;
    }
    uint64_t at = old.key.append_at();
    if (at == old.size && old.dangling != UINT64_MAX)
        plan.splices.push_back({old.dangling, 0, line, false, true, {}});  // before the open hex list
    else
        plan.splices.push_back({at, 0, (at == old.size ? b.last_break : "") + line, false, true, {}});
    return ERROR_SUCCESS;
}

// --- a Wine file -------------------------------------------------------------------

// A value as Wine writes it: a string ending in its terminating unit in
// quotes ("text", str(2):"text", str(7):"a\0b\0"), a DWORD of four bytes as
// dword:, anything else as hex: or hex(N):, wrapped after the comma that
// passes the 76th column, continued two blanks in.
LONG WineValueText(const Value &value, std::string &out) {
    out = value.name.empty() ? "@=" : "\"";
    if (!value.name.empty()) {
        std::string units;
        if (!Utf16FromUtf8(value.name, units))
            return ERROR_NO_UNICODE_TRANSLATION;
        AppendWineText(out, units, false);
        out += "\"=";
    }
    const std::string &d = value.data;
    bool text = (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ) &&
                d.size() >= 2 && d.size() % 2 == 0 && !d[d.size() - 2] && !d[d.size() - 1];
    char kind[24];
    if (text) {
        out += value.type == REG_SZ ? "\"" : value.type == REG_EXPAND_SZ ? "str(2):\"" : "str(7):\"";
        AppendWineText(out, std::string_view(d).substr(0, d.size() - 2), false);
        out += "\"\n";
        return ERROR_SUCCESS;
    }
    if (value.type == REG_DWORD && d.size() == 4) {
        snprintf(kind, sizeof kind, "dword:%08x\n", GetLe32(d.data()));
        out += kind;
        return ERROR_SUCCESS;
    }
    snprintf(kind, sizeof kind, value.type == REG_BINARY ? "hex:" : "hex(%x):", static_cast<unsigned>(value.type));
    out += kind;
    size_t column = out.size();
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < d.size(); i++) {
        unsigned char byte = static_cast<unsigned char>(d[i]);
        out += digits[byte >> 4];
        out += digits[byte & 15];
        column += 2;
        if (i + 1 == d.size())
            break;
        out += ',';
        if (++column > 76) {
            out += "\\\n  ";
            column = 2;
        }
    }
    out += '\n';
    return ERROR_SUCCESS;
}

// A new Wine file's first lines, as Wine writes them.
std::string WineFileHead(const Hive &hive) {
    std::string root;
    for (char c : hive.root)
        root += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return std::string(kWineHeader) + "\n;; All keys relative to " + root + "\n\n#arch=" + hive.arch + "\n";
}

// The line that begins the key's section, with its time.
LONG WineSectionLine(const Scan &old, const WineTime &time, std::string *out) {
    std::string path;
    if (!WineKeyPath(old.key.Spelling(), &path))
        return ERROR_NO_UNICODE_TRANSLATION;
    *out = "[" + path + "] " + time.seconds + "\n";
    return ERROR_SUCCESS;
}

// A new section for the key, holding `body`, where Wine would keep it:
// before the first section that sorts after it, else at the end.
LONG WineSection(const Hive &hive, const Scan &old, const std::string &body, Plan &plan) {
    WineTime time = WineTimeNow();
    std::string block;
    if (LONG rc = WineSectionLine(old, time, &block))
        return rc;
    block += "#time=" + time.filetime + "\n" + body;
    bool value = !body.empty();
    if (!old.has_header)
        plan.splices.push_back({0, old.size, WineFileHead(hive) + "\n" + block, true, value, {}});
    else if (old.key.insert_at() != UINT64_MAX)
        plan.splices.push_back({old.key.insert_at(), 0, block + "\n", true, value, {}});
    else
        plan.splices.push_back({old.size, 0, BreaksOf(old).last_break + "\n" + block, true, value, {}});
    plan.new_key = true;
    return ERROR_SUCCESS;
}

// The key's time, renewed as Wine renews it for a key it changed: on its
// section's line and its "#time=" line.
LONG WineTouch(const Scan &old, Plan &plan) {
    WineTime time = WineTimeNow();
    std::string line;
    if (LONG rc = WineSectionLine(old, time, &line))
        return rc;
    auto [begin, end] = old.key.header();
    plan.splices.push_back({begin, end - begin, line, true, false, {}});
    auto [time_begin, time_end] = old.key.time();
    std::string stamp = "#time=" + time.filetime + "\n";
    if (time_end)
        plan.splices.push_back({time_begin, time_end - time_begin, stamp, false, false, {}});
    else
        plan.splices.push_back({end, 0, stamp, false, false, {}});
    return ERROR_SUCCESS;
}

// A value of a key that has a section: in place of its definitions, else
// among the key's values where Wine keeps it, in the order of their names.
void WinePlaceValue(const Scan &old, const HiveEdit &edit, const std::string &line, Plan &plan) {
    if (const ValueList::Places *places = old.key.values().PlacesOf(edit.match)) {
        for (size_t i = 0; i < places->size(); i++) {
            auto [begin, end] = (*places)[i];
            plan.splices.push_back({begin, end - begin, i == 0 ? line : "", false, i == 0, {}});
        }
        return;
    }
    for (const Value &value : old.key.values().values())
        if (CompareNames(edit.value.name, value.name, KeyOrder::Wine) < 0) {
            plan.splices.push_back({old.key.values().PlacesOf(value.name)->front().first, 0, line, false, true, {}});
            return;
        }
    uint64_t at = old.key.append_at();
    plan.splices.push_back({at, 0, (at == old.size ? BreaksOf(old).last_break : "") + line, false, true, {}});
}

// The changes of an edit of a key that has a section: its time renewed, and
// the value set or removed.
LONG WineChange(const Scan &old, const HiveEdit &edit, const std::string &line, Plan &plan) {
    if (edit.kind == HiveEdit::DeleteValue && !old.key.values().PlacesOf(edit.match))
        return ERROR_FILE_NOT_FOUND;
    if (LONG rc = WineTouch(old, plan))
        return rc;
    if (edit.kind == HiveEdit::SetValue)
        WinePlaceValue(old, edit, line, plan);
    else
        for (auto [begin, end] : *old.key.values().PlacesOf(edit.match))
            plan.splices.push_back({begin, end - begin, "", false, false, {}});
    return ERROR_SUCCESS;
}

LONG PlanWineEdit(const Hive &hive, const Scan &old, const HiveEdit &edit, Plan &plan) {
    std::string line;
    LONG rc = ERROR_SUCCESS;
    if (edit.kind == HiveEdit::SetValue) {
        if (edit.value.name.size() > kMaxValueName)
            return ERROR_INVALID_PARAMETER;
        if ((rc = WineValueText(edit.value, line)) != ERROR_SUCCESS)
            return rc;
        if (!old.key.exists() && !edit.create)
            return ERROR_KEY_DELETED;
    }
    if (edit.kind == HiveEdit::CreateKey)
        rc = old.key.exists() ? ERROR_SUCCESS : WineSection(hive, old, "", plan);
    else if (edit.kind == HiveEdit::SetValue && !old.key.has_section())
        rc = WineSection(hive, old, line, plan);
    else if (edit.kind != HiveEdit::None)
        rc = WineChange(old, edit, line, plan);
    std::stable_sort(plan.splices.begin(), plan.splices.end(),
                     [](const Splice &a, const Splice &b) { return a.at < b.at; });
    for (Splice &splice : plan.splices)
        splice.utf8 = splice.text;
    return rc;
}

LONG PlanEdit(const Hive &hive, const Scan &old, const HiveEdit &edit, Plan &plan) {
    if (hive.wine())
        return PlanWineEdit(hive, old, edit, plan);
    LONG rc = ERROR_SUCCESS;
    switch (edit.kind) {
    case HiveEdit::None:
        break;
    case HiveEdit::CreateKey:
        if (!old.key.exists())
            rc = AppendSection(hive, old, edit, "", plan);
        break;
    case HiveEdit::SetValue:
        rc = PlanSetValue(hive, old, edit, plan);
        break;
    case HiveEdit::DeleteValue:
        if (const ValueList::Places *places = old.key.values().PlacesOf(edit.match))
            for (auto [begin, end] : *places)
                plan.splices.push_back({begin, end - begin, "", false, false, {}});
        else
            rc = ERROR_FILE_NOT_FOUND;
        break;
    }
    for (Splice &splice : plan.splices) {
        splice.utf8 = splice.text;
        if (old.utf16) {
            splice.text.clear();
            if (!Utf16FromUtf8(splice.utf8, splice.text))
                return ERROR_NO_UNICODE_TRANSLATION;
        }
    }
    return rc;
}

// The old file with the splices in place, into the new one.
LONG CopyEdited(int fd, const Scan &old, const Plan &plan, NewHiveFile &out) {
    uint64_t pos = 0;
    for (const Splice &splice : plan.splices) {
        if (LONG rc = out.CopyFrom(fd, pos, splice.at - pos))
            return rc;
        if (LONG rc = out.Write(splice.text))
            return rc;
        pos = splice.at + splice.remove;
    }
    return out.CopyFrom(fd, pos, old.size - pos);
}

// The pieces that the plan puts in, each read as the reader reads it: a new
// section names the key, and the value set reads as exactly the value asked
// for; nothing else stands in a piece.
bool PiecesReadAsAsked(const Hive &hive, const Scan &old, const HiveEdit &edit, const Plan &plan,
                       std::vector<std::vector<Event>> &pieces) {
    for (const Splice &splice : plan.splices) {
        pieces.emplace_back();
        LineReader in(splice.utf8);
        if (ReadEvents(in, hive, !old.has_header, old.wide_strings, !splice.section, pieces.back()) !=
            ERROR_SUCCESS)
            return false;
        const std::vector<Event> &events = pieces.back();
        size_t i = 0;
        if (splice.section &&
            !(i < events.size() && events[i].kind == Event::Section && EqualNoCase(events[i].path, edit.path)))
            return false;
        i += splice.section;
        bool has_value = splice.value;
        if (has_value && !(i < events.size() && events[i].kind == Event::Value && SameValue(events[i].value, edit.value)))
            return false;
        if (i + has_value != events.size())
            return false;
    }
    return true;
}

// The stretches of old lines that the pieces fall into, merged: from a
// section header (or the first line after the file's header), where the
// reader carries nothing over from the lines above, to the next section.
std::vector<std::pair<uint64_t, uint64_t>> Windows(const Scan &old, const Plan &plan) {
    std::vector<std::pair<uint64_t, uint64_t>> windows;
    for (const Splice &splice : plan.splices) {
        std::pair<uint64_t, uint64_t> window{old.key.last_section() ? old.key.last_section() : old.body, old.size};
        for (const auto &range : old.key.ranges())
            if (range.first <= splice.at && splice.at <= range.second)
                window = range;
        if (splice.section && splice.at == old.key.insert_at())
            window = old.key.insert_window();  // a Wine file's new key, between two sections
        if (!old.has_header)
            window = {0, old.size};  // a new file: read all of it
        if (!windows.empty() && window.first <= windows.back().second)
            windows.back().second = std::max(windows.back().second, window.second);
        else
            windows.push_back(window);
    }
    return windows;
}

// The old events of a window with each piece in place of what it replaced.
std::vector<Event> Expected(const std::vector<Event> &before, uint64_t begin, uint64_t end, const Plan &plan,
                            const std::vector<std::vector<Event>> &pieces) {
    std::vector<Event> expected;
    size_t k = 0;
    for (size_t p = 0; p < plan.splices.size(); p++) {
        const Splice &splice = plan.splices[p];
        if (splice.at < begin || splice.at > end)
            continue;
        while (k < before.size() && before[k].begin < splice.at)
            expected.push_back(before[k++]);
        expected.insert(expected.end(), pieces[p].begin(), pieces[p].end());
        while (k < before.size() && before[k].begin < splice.at + splice.remove)
            k++;
    }
    expected.insert(expected.end(), before.begin() + static_cast<ptrdiff_t>(k), before.end());
    return expected;
}

// The lines of a window read as before, with the pieces in place.
bool WindowReadsAsBefore(int old_fd, int new_fd, const Hive &hive, const Scan &old,
                         std::pair<uint64_t, uint64_t> window, const Plan &plan,
                         const std::vector<std::vector<Event>> &pieces) {
    auto [begin, end] = window;
    bool whole = !old.has_header;
    uint64_t new_begin = begin, new_end = end;
    for (const Splice &splice : plan.splices) {
        uint64_t added = splice.text.size(), removed = splice.remove;
        if (splice.at < begin)
            new_begin = new_begin + added - removed;
        if (splice.at <= end)
            new_end = new_end + added - removed;
    }
    std::vector<Event> before, after;
    if (!whole) {
        LineReader in(old_fd, begin, end, old.utf16);
        if (ReadEvents(in, hive, false, old.wide_strings, false, before) != ERROR_SUCCESS)
            return false;
    }
    // A new file is read as any file is, its byte order mark and all.
    struct stat st;
    if (whole && sys::Fstat(new_fd, &st) != 0)
        return false;
    LineReader in = whole ? LineReader(new_fd, static_cast<uint64_t>(st.st_size))
                          : LineReader(new_fd, new_begin, new_end, old.utf16);
    if (ReadEvents(in, hive, whole, old.wide_strings, false, after) != ERROR_SUCCESS)
        return false;
    std::vector<Event> expected = Expected(before, begin, end, plan, pieces);
    return std::equal(expected.begin(), expected.end(), after.begin(), after.end(), SameEvent);
}

// The new text read back as the reader reads it, where it differs from the
// old one: each piece put in reads as exactly what the edit asked, and the
// lines around it read as before with that piece in place; what lies
// outside them reads as it did.
bool ReadsBack(int old_fd, int new_fd, const Hive &hive, const Scan &old, const HiveEdit &edit,
               const Plan &plan) {
    std::vector<std::vector<Event>> pieces;
    if (!PiecesReadAsAsked(hive, old, edit, plan, pieces))
        return false;
    for (const auto &window : Windows(old, plan))
        if (!WindowReadsAsBefore(old_fd, new_fd, hive, old, window, plan, pieces))
            return false;
    return true;
}

void Refused(const std::string &file) { Tell(file + ": refused an edit that would not read back as written"); }

}  // namespace

namespace {

// The new file of a planned edit, written beside the hive, read back and put
// in its place. *again when another writer made the hive's first file
// meanwhile.
LONG Rewrite(const Hive &hive, const Place &place, const HiveLock &lock, const Scan &old,
             const HiveEdit &edit, const Plan &plan, bool *again) {
    bool exists = lock.fd() >= 0;
    // A UTF-16 file whose last unit is cut in half is never rewritten:
    // whatever went after the half unit would not read back, and whatever
    // went before it would leave a file that is no UTF-16.
    if (old.utf16 && lock.status().st_size % 2) {
        Refused(hive.file);
        return ERROR_REGISTRY_CORRUPT;
    }
    // The index of the old file is stale once the new one is in place, and
    // its space may be what the new file needs.
    if (exists)
        RemoveIndex(place);
    NewHiveFile out;
    if (LONG rc = out.Create(place))
        return rc;
    if (LONG rc = CopyEdited(lock.fd(), old, plan, out))
        return rc;
    if (LONG rc = out.Finish(exists ? &lock.status() : nullptr))
        return rc;
    if (!ReadsBack(lock.fd(), out.fd(), hive, old, edit, plan)) {
        Refused(hive.file);
        return ERROR_REGISTRY_CORRUPT;
    }
    return out.PutInPlace(exists, again);
}

// One attempt of a write: the hive's directory reached as no link of
// another user can move (everything after happens there), then under the
// hive's lock, what we check is what we change. *again when the hive's
// place moved under it: a link put in the hive's place since it was found,
// or a first file that another writer made.
LONG Attempt(const Hive &hive, const std::string &path, const EditDecision &decide,
             bool *created, bool *again) {
    *again = false;
    Place place;
    if (LONG rc = FindPlace(hive.file, kMakeDirectories, &place))
        return rc;
    HiveLock lock;
    if (LONG rc = lock.Acquire(place, LockWait())) {
        *again = rc == ERROR_CANT_RESOLVE_FILENAME;
        return rc;
    }
    bool exists = lock.fd() >= 0;
    if (exists && (lock.status().st_mode & 0222) == 0)
        return ERROR_ACCESS_DENIED;
    if (exists)
        RemoveStaleFiles(place, lock.status());
    Scan old(path, hive.wine() ? KeyOrder::Wine : KeyOrder::Windows);
    if (LONG rc = ScanHive(lock.fd(), hive, old))
        return rc;  // a hive that cannot be read is never rewritten
    HiveEdit edit;
    KeyData key;
    if (old.key.exists())
        key.values = old.key.values().values();
    if (LONG rc = decide(old.key.exists() ? &key : nullptr, edit))
        return rc;
    Plan plan;
    if (edit.kind == HiveEdit::None)
        return ERROR_SUCCESS;
    edit.path = path;  // the key as this hive holds it, whatever name the decision gave it
    if (LONG rc = PlanEdit(hive, old, edit, plan))
        return rc;
    if (plan.splices.empty())
        return ERROR_SUCCESS;  // the key is there already
    LONG rc = Rewrite(hive, place, lock, old, edit, plan, again);
    if (rc == ERROR_SUCCESS && !*again && created)
        *created = plan.new_key;
    return rc;
}

}  // namespace

LONG EditHive(const Hive &hive, const std::string &path, const EditDecision &decide, bool *created) {
    if (created)
        *created = false;
    if (!HiveWritable(hive))
        return ERROR_ACCESS_DENIED;
    // A Wine prefix is written only while no wineserver runs for it, which
    // would save its own registry over the change, and none can start.
    ServerLock server;
    if (hive.wine()) {
        LONG rc;
        const Prefix *prefix = StorePrefix(&rc);
        if (!prefix)
            return rc ? rc : ERROR_REGISTRY_CORRUPT;
        if ((rc = server.Acquire(*prefix)) != ERROR_SUCCESS)
            return rc;
    }
    for (int attempt = 0;; attempt++) {
        bool again;
        LONG rc = Attempt(hive, path, decide, created, &again);
        if (!again)
            return rc;
        if (attempt == 10)
            return rc == ERROR_SUCCESS ? ERROR_SHARING_VIOLATION : rc;
    }
}

LONG EditHive(const Hive &hive, const HiveEdit &edit, bool *created) {
    return EditHive(
        hive, edit.path,
        [&edit](const KeyData *, HiveEdit &out) {
            out = edit;
            return ERROR_SUCCESS;
        },
        created);
}

}  // namespace winshim
