// Changes to hive files. Each is one transaction under the hive's lock: read
// and check the whole file, decide, edit its text (every line the edit does
// not name is copied byte for byte), check that the reader finds the edit in
// the new text and nothing else changed, then rename the new file into place.

#include "edit.h"

#include "index.h"
#include "parser.h"

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
        uint32_t n = 0;
        for (int i = 3; i >= 0; i--)
            n = n << 8 | static_cast<unsigned char>(data[i]);
        snprintf(digits, sizeof digits, "dword:%08x", n);
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
// sections ends, its values and where each is defined, and how the hive
// spells the part of its path that exists.
class EditScanner : public Visitor {
public:
    explicit EditScanner(std::string_view target) : target_(target) {
        for (size_t start = 0; !target.empty();) {
            size_t cut = target.find('\\', start);
            parts_.push_back(target.substr(start, cut == std::string_view::npos ? cut : cut - start));
            if (cut == std::string_view::npos)
                break;
            start = cut + 1;
        }
    }

    void Mark(uint64_t begin) override {
        Close(begin);
        last_section_ = begin;
    }

    bool Section(std::string_view path, uint64_t begin, uint64_t end) override {
        Spell(path);
        std::string_view child;
        switch (Relate(target_, path, &child)) {
        case Relation::Same:
            exists_ = true;
            section_ends_.push_back(end);
            ranges_.emplace_back(begin, UINT64_MAX);
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
        values_.Add(std::move(value), begin, end);
    }

    void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) override {
        section_ends_.back() = end;  // a value put after it is not removed by it
        values_.Remove(name, begin, end);
    }

    // The key removed, or one above it: what its sections said before is gone.
    void KeyRemoved(std::string_view path, uint64_t, uint64_t) override {
        std::string_view child;
        if (Relate(path, target_, &child) == Relation::Other)
            return;
        exists_ = false;
        section_ends_.clear();
        ranges_.clear();
        spelled_.clear();
        values_.Clear();
    }

    // Ends the range of the key's last section, at the next section or at
    // the end of the file.
    void Close(uint64_t at) {
        if (!ranges_.empty() && ranges_.back().second == UINT64_MAX)
            ranges_.back().second = at;
    }

    bool exists() const { return exists_ || target_.empty(); }
    const std::vector<uint64_t> &section_ends() const { return section_ends_; }
    const ValueList &values() const { return values_; }
    // The key's sections, from their header to the next section.
    const std::vector<std::pair<uint64_t, uint64_t>> &ranges() const { return ranges_; }
    // Where the file's last section begins (0 when it has none).
    uint64_t last_section() const { return last_section_; }

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
    std::vector<std::string_view> parts_;
    std::vector<std::string> spelled_;
    bool exists_ = false;
    std::vector<uint64_t> section_ends_;
    std::vector<std::pair<uint64_t, uint64_t>> ranges_;
    uint64_t last_section_ = 0;
    ValueList values_;
};

// A hive file as a scan found it.
struct Scan {
    explicit Scan(std::string_view path) : key(path) {}
    EditScanner key;
    bool utf16 = false, wide_strings = false, has_header = false, crlf = true;
    LineReader::End end = LineReader::End::Empty;
    uint64_t size = 0;  // the bytes read, up to the end of the last line
    uint64_t body = 0;  // where the lines after the header begin
    // Where the hex list begins that the end of the file left open: a line
    // put after it would be taken as its continuation.
    uint64_t dangling = UINT64_MAX;
};

LONG ScanHive(int fd, Root root, const std::string &file, Scan &scan) {
    if (fd < 0)
        return ERROR_SUCCESS;
    struct stat st;
    if (sys::Fstat(fd, &st) != 0)
        return Win32FromErrno(errno);
    LineReader in(fd, static_cast<uint64_t>(st.st_size));
    Parser parser(in, root, file);
    parser.Quick();
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
LONG ReadEvents(LineReader &in, Root root, const std::string &file, bool whole, bool wide_strings, bool in_section,
                std::vector<Event> &out) {
    Parser parser(in, root, file, false);
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
    std::string utf8;      // the text as UTF-8
};
struct Plan {
    std::vector<Splice> splices;  // in file order
    bool new_key = false;
};

LONG PlanEdit(Root root, const Scan &old, const HiveEdit &edit, Plan &plan) {
    std::string nl = old.crlf ? "\r\n" : "\n";
    bool wide_strings = old.has_header ? old.wide_strings : old.utf16;
    // A file without a header is empty: it gets the header of its encoding.
    std::string head = old.has_header ? "" : (old.utf16 ? "Windows Registry Editor Version 5.00" : "REGEDIT4") + nl;
    // What ends the file's last line before more goes after it: nothing after
    // a line break; "\n" after a lone CR, which the reader took as the line's
    // end (another CR would stay in the line and break it).
    std::string last_break = old.end == LineReader::End::Text ? nl
                           : old.end == LineReader::End::CarriageReturn ? "\n" : "";
    bool open_end = old.dangling != UINT64_MAX;
    auto append_section = [&](const std::string &body) -> LONG {
        std::string name = RootName(root);
        if (!edit.path.empty())
            name += "\\" + old.key.Spelling();
        // A section's name has no escapes: no line break can stand in it.
        if (name.find_first_of("\r\n") != std::string::npos || name.size() + 2 > kMaxLine)
            return ERROR_INVALID_PARAMETER;
        std::string section = "[" + name + "]" + nl + body;
        if (open_end)  // before the last section, which the open hex list stays in
            plan.splices.push_back({old.key.last_section() ? old.key.last_section() : old.body, 0, section + nl,
                                    true, {}});
        else
            plan.splices.push_back({old.size, 0, head + last_break + nl + section, true, {}});
        plan.new_key = true;
        return ERROR_SUCCESS;
    };
    const std::vector<std::pair<uint64_t, uint64_t>> *places = old.key.values().PlacesOf(edit.match);
    switch (edit.kind) {
    case HiveEdit::None:
        break;
    case HiveEdit::CreateKey:
        if (!old.key.exists())
            if (LONG rc = append_section(""))
                return rc;
        break;
    case HiveEdit::SetValue: {
        if (edit.value.name.size() > kMaxValueName)
            return ERROR_INVALID_PARAMETER;
        std::string line;
        if (LONG rc = ValueText(edit.value, wide_strings, nl, line))
            return rc;
        if (!old.key.exists() && !edit.create)
            return ERROR_KEY_DELETED;
        // A key without a section of its own (the root, or a key that
        // sections below it make) gets one.
        if (old.key.section_ends().empty()) {
            if (LONG rc = append_section(line))
                return rc;
            break;
        }
        if (places) {
            // The first place takes the new data; later ones go.
            for (size_t i = 0; i < places->size(); i++) {
                auto [begin, end] = (*places)[i];
                plan.splices.push_back({begin, end - begin, i == 0 ? line : "", false, {}});
            }
        } else {
            uint64_t at = old.key.section_ends().back();
            if (at == old.size && open_end)
                plan.splices.push_back({old.dangling, 0, line, false, {}});  // before the open hex list
            else
                plan.splices.push_back({at, 0, (at == old.size ? last_break : "") + line, false, {}});
        }
        break;
    }
    case HiveEdit::DeleteValue:
        if (!places)
            return ERROR_FILE_NOT_FOUND;
        for (auto [begin, end] : *places)
            plan.splices.push_back({begin, end - begin, "", false, {}});
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
    return ERROR_SUCCESS;
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

// The new text read back as the reader reads it, where it differs from the
// old one: each piece put in reads as exactly what the edit asked, and the
// lines around it read as before with that piece in place. Those lines run
// from a section header (or the first line after the file's header), where
// the reader carries nothing over from the lines above, to the next section,
// so what lies outside them reads as it did.
bool ReadsBack(int old_fd, int new_fd, Root root, const std::string &file, const Scan &old, const HiveEdit &edit,
               const Plan &plan) {
    bool whole = !old.has_header;  // a new file: read all of it
    std::vector<std::vector<Event>> pieces;
    for (const Splice &splice : plan.splices) {
        pieces.emplace_back();
        LineReader in(splice.utf8);
        if (ReadEvents(in, root, file, whole, old.wide_strings, !splice.section, pieces.back()) != ERROR_SUCCESS)
            return false;
        const std::vector<Event> &events = pieces.back();
        size_t i = 0;
        if (splice.section &&
            !(i < events.size() && events[i].kind == Event::Section && EqualNoCase(events[i].path, edit.path)))
            return false;
        i += splice.section;
        bool has_value = edit.kind == HiveEdit::SetValue && !splice.utf8.empty();
        if (has_value && !(i < events.size() && events[i].kind == Event::Value && SameValue(events[i].value, edit.value)))
            return false;
        if (i + has_value != events.size())
            return false;
    }
    // The stretches of old lines that the pieces fall into, merged.
    std::vector<std::pair<uint64_t, uint64_t>> windows;
    for (const Splice &splice : plan.splices) {
        std::pair<uint64_t, uint64_t> window{old.key.last_section() ? old.key.last_section() : old.body, old.size};
        for (const auto &range : old.key.ranges())
            if (range.first < splice.at && splice.at <= range.second)
                window = range;
        if (whole)
            window = {0, old.size};
        if (!windows.empty() && window.first <= windows.back().second)
            windows.back().second = std::max(windows.back().second, window.second);
        else
            windows.push_back(window);
    }
    for (const auto &[begin, end] : windows) {
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
            if (ReadEvents(in, root, file, false, old.wide_strings, false, before) != ERROR_SUCCESS)
                return false;
        }
        // A new file is read as any file is, its byte order mark and all.
        struct stat st;
        if (whole && sys::Fstat(new_fd, &st) != 0)
            return false;
        LineReader in = whole ? LineReader(new_fd, static_cast<uint64_t>(st.st_size))
                              : LineReader(new_fd, new_begin, new_end, old.utf16);
        if (ReadEvents(in, root, file, whole, old.wide_strings, false, after) != ERROR_SUCCESS)
            return false;
        // The old events with each piece in place of what it replaced.
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
        if (expected.size() != after.size())
            return false;
        for (size_t i = 0; i < expected.size(); i++)
            if (!SameEvent(expected[i], after[i]))
                return false;
    }
    return true;
}

void Refused(const std::string &file) { Tell(file + ": refused an edit that would not read back as written"); }

}  // namespace

LONG EditHive(Root root, const std::string &path, const EditDecision &decide, bool *created) {
    if (created)
        *created = false;
    if (!HiveWritable(root))
        return ERROR_ACCESS_DENIED;
    std::string file;
    if (LONG rc = HivePath(root, &file))
        return rc;
    double wait = LockWait();
    for (int attempt = 0;; attempt++) {
        // The directory that holds the hive, reached as no link of another
        // user can move; everything after happens there.
        Place place;
        if (LONG rc = FindPlace(file, kMakeDirectories, &place))
            return rc;
        // Under the lock, what we check is what we change.
        HiveLock lock;
        LONG locked = lock.Acquire(place, wait);
        if (locked == ERROR_CANT_RESOLVE_FILENAME && attempt < 10)
            continue;  // a link put in the hive's place since it was found: find it again
        if (locked)
            return locked;
        bool exists = lock.fd() >= 0;
        if (exists && (lock.status().st_mode & 0222) == 0)
            return ERROR_ACCESS_DENIED;
        if (exists)
            RemoveStaleFiles(place, lock.status());
        Scan old(path);
        if (LONG rc = ScanHive(lock.fd(), root, file, old))
            return rc;  // a hive that cannot be read is never rewritten
        HiveEdit edit;
        KeyData key;
        if (old.key.exists())
            key.values = old.key.values().values();
        if (LONG rc = decide(old.key.exists() ? &key : nullptr, edit))
            return rc;
        if (edit.kind == HiveEdit::None)
            return ERROR_SUCCESS;
        Plan plan;
        if (LONG rc = PlanEdit(root, old, edit, plan))
            return rc;
        if (plan.splices.empty())
            return ERROR_SUCCESS;  // the key is there already
        // A UTF-16 file whose last unit is cut in half is never rewritten:
        // whatever went after the half unit would not read back, and
        // whatever went before it would leave a file that is no UTF-16.
        if (old.utf16 && lock.status().st_size % 2) {
            Refused(file);
            return ERROR_REGISTRY_CORRUPT;
        }
        // The index of the old file is stale once the new one is in place,
        // and its space may be what the new file needs.
        if (exists)
            RemoveIndex(place);
        NewHiveFile out;
        if (LONG rc = out.Create(place))
            return rc;
        if (LONG rc = CopyEdited(lock.fd(), old, plan, out))
            return rc;
        if (LONG rc = out.Finish(exists ? &lock.status() : nullptr))
            return rc;
        if (!ReadsBack(lock.fd(), out.fd(), root, file, old, edit, plan)) {
            Refused(file);
            return ERROR_REGISTRY_CORRUPT;
        }
        bool retry;
        if (LONG rc = out.PutInPlace(exists, &retry))
            return rc;
        if (retry && attempt < 10)
            continue;  // another writer made the hive's first file: edit that
        if (retry)
            return ERROR_SHARING_VIOLATION;
        if (created)
            *created = plan.new_key;
        return ERROR_SUCCESS;
    }
}

LONG EditHive(Root root, const HiveEdit &edit, bool *created) {
    return EditHive(
        root, edit.path,
        [&edit](const KeyData *, HiveEdit &out) {
            out = edit;
            return ERROR_SUCCESS;
        },
        created);
}

}  // namespace winshim
