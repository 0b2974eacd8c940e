// Answers a question about one key of a hive: from the hive's index where it
// has one that can be believed, else by reading the whole hive, which makes
// the index of a large one in the same pass. A file once opened is kept for
// the process while it stays the same version (a write puts a new file in
// its place), so that the many questions of one run (a path's links and
// views, a listing's keys) open it and its index once.

#include "lookup.h"

#include "index.h"
#include "parser.h"

#include <algorithm>

#include <fcntl.h>

namespace winshim {

namespace {

// True when removing key `removed` removes `key` too: it is the key itself or
// one above it.
bool RemovedWith(std::string_view key, std::string_view removed) {
    std::string_view child;
    return Relate(removed, key, &child) != Relation::Other;
}

// Collects one key's subkeys and values, and whether it is a link.
class KeyCollector : public Visitor {
public:
    KeyCollector(std::string_view target, KeyOrder order) : target_(target), order_(order) {}

    bool Section(std::string_view path, uint64_t, uint64_t) override {
        std::string_view child;
        in_target_ = false;
        switch (Relate(target_, path, &child)) {
        case Relation::Same:
            found_ = true;
            in_target_ = true;
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

    bool KeyAttribute(Attribute what, uint64_t, uint64_t) override {
        if (in_target_ && what == Attribute::Link)
            link_ = true;
        return false;
    }

    void Found(Value &&value, uint64_t begin, uint64_t end) override { values_.Add(std::move(value), begin, end); }
    // The key's lines are `bytes` long: room for as many values as they may
    // hold, short ones as most are.
    void ExpectLines(uint64_t bytes) { values_.Reserve(static_cast<size_t>(bytes / 48)); }

    void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) override { values_.Remove(name, begin, end); }

    bool found() const { return found_ || target_.empty(); }

    // Wine keeps a key's values in the order of their names, whatever the
    // file's order, as it keeps its subkeys.
    void Take(KeyData &out) {
        children_.Sort(order_);
        out.subkeys = std::move(children_);
        out.values = values_.Take();
        if (order_ == KeyOrder::Wine)
            std::stable_sort(out.values.begin(), out.values.end(), [](const Value &a, const Value &b) {
                return CompareNames(a.name, b.name, KeyOrder::Wine) < 0;
            });
        out.link = link_;
    }

private:
    std::string_view target_;
    KeyOrder order_;
    bool found_ = false, in_target_ = false, link_ = false;
    NameList children_;
    std::string last_child_;
    ValueList values_{false};  // a reader, who needs no places
};

// Passes every event to a first visitor, whose wishes count, and to a second.
class Tee : public Visitor {
public:
    Tee(Visitor &first, Visitor &second) : first_(first), second_(second) {}
    void SectionLineAt(uint64_t begin) override {
        first_.SectionLineAt(begin);
        second_.SectionLineAt(begin);
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
    bool KeyAttribute(Attribute what, uint64_t begin, uint64_t end) override {
        bool second = second_.KeyAttribute(what, begin, end);
        return first_.KeyAttribute(what, begin, end) || second;
    }

private:
    Visitor &first_, &second_;
};

// Sees that some lines begin with the section or key removal that the index
// says stands there, and hold no other. The index keeps each line's own
// spelling of its path, so the two must be the same byte for byte.
class LineChecker : public Visitor {
public:
    explicit LineChecker(const IndexedLine &line) : line_(line) {}
    bool Section(std::string_view path, uint64_t, uint64_t) override {
        matches_ = !seen_++ && !line_.removal && path == line_.path;
        return false;
    }
    void KeyRemoved(std::string_view path, uint64_t, uint64_t) override {
        matches_ = !seen_++ && line_.removal && path == line_.path;
    }
    void Found(Value &&, uint64_t, uint64_t) override {}
    bool matches() const { return matches_ && seen_ == 1; }

private:
    const IndexedLine &line_;
    bool matches_ = false;
    int seen_ = 0;
};

// Reads one of the index's ranges of a key: it must begin with a section of
// the key asked for, whose path may be spelled in another case than the
// question's (names compare without regard to case), and hold no other.
class RangeReader : public Visitor {
public:
    RangeReader(std::string_view path, KeyCollector &collector) : path_(path), collector_(collector) {}
    bool Section(std::string_view path, uint64_t begin, uint64_t end) override {
        matches_ = matches_ || (!sections_++ && EqualNoCase(path, path_));
        return collector_.Section(path, begin, end);
    }
    void KeyRemoved(std::string_view, uint64_t, uint64_t) override { matches_ = false; }
    void Found(Value &&value, uint64_t begin, uint64_t end) override {
        collector_.Found(std::move(value), begin, end);
    }
    void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) override {
        collector_.ValueRemoved(std::move(name), begin, end);
    }
    bool KeyAttribute(Attribute what, uint64_t begin, uint64_t end) override {
        return collector_.KeyAttribute(what, begin, end);
    }
    bool matches() const { return matches_ && sections_ == 1; }

private:
    std::string_view path_;
    KeyCollector &collector_;
    bool matches_ = false;
    int sections_ = 0;
};

// True when the hive holds `line` where the index says it stands.
bool LineStands(int fd, const Hive &hive, bool utf16, const IndexedLine &line) {
    LineReader in(fd, line.begin, line.end, utf16);
    Parser parser(in, hive, false);
    LineChecker checker(line);
    return parser.RunFragment(checker, false, false) == ERROR_SUCCESS && checker.matches();
}

KeyOrder OrderOf(const Hive &hive) { return hive.wine() ? KeyOrder::Wine : KeyOrder::Windows; }

// Answers from the index; false when it turns out broken, so that the
// hive is read whole. What it says is checked against the hive wherever
// that is cheap: the header (and with it the encoding), and a line for every
// section it points at.
bool ReadIndexed(Index &index, int fd, const Hive &hive, const std::string &path, KeyData *out, bool subkeys,
                 LONG *rc) {
    bool utf16, wide_strings;
    bool header = hive.wine() || FirstLine(fd, &utf16, &wide_strings);
    if (hive.wine())
        utf16 = wide_strings = false;
    if (header != (index.verdict() == ERROR_SUCCESS) || (header && utf16 != index.utf16()) ||
        (header && wide_strings != index.wide_strings()))
        return false;
    long line;
    std::string reason;
    if (index.FirstPassedOver(&line, &reason))
        ReportOnce(hive.file, line, reason.c_str());
    if ((*rc = index.verdict()) != ERROR_SUCCESS)
        return *rc == ERROR_REGISTRY_CORRUPT;
    IndexedKey key;
    if (!index.Lookup(path, out && subkeys, key))
        return false;
    if (!key.exists) {
        // Missing only where the hive shows its neighbours where the index
        // says: a record that is not this hive's proves nothing.
        for (const IndexedLine &bound : key.bounds)
            if (!LineStands(fd, hive, utf16, bound))
                return false;
        *rc = ERROR_FILE_NOT_FOUND;
        return true;
    }
    if (key.ranges.empty() && !path.empty() && !LineStands(fd, hive, utf16, key.evidence))
        return false;
    if (!out)
        return true;
    KeyCollector collector(path, OrderOf(hive));
    uint64_t bytes = 0;
    for (const auto &[begin, end] : key.ranges)
        bytes += end - begin;
    collector.ExpectLines(bytes);
    for (const auto &[begin, end] : key.ranges) {
        LineReader in(fd, begin, end, index.utf16());
        Parser parser(in, hive, false);
        RangeReader reader(path, collector);
        if (parser.RunFragment(reader, index.wide_strings(), false) != ERROR_SUCCESS || !reader.matches())
            return false;
    }
    collector.Take(*out);
    out->subkeys = std::move(key.children);
    out->has_subkeys = subkeys;
    return true;
}

// The place of the hive file that `fd` reads, where its index is kept: found
// as a writer finds it, and of that very file. False where there is none
// (a link of another user on the way): then no index is used or made.
bool IndexPlace(const std::string &file, const struct stat &st, Place *place) {
    struct stat there;
    return FindPlace(file, kExistingDirectories, place) == ERROR_SUCCESS &&
           sys::FstatAt(place->dir.get(), place->name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           there.st_dev == st.st_dev && there.st_ino == st.st_ino;
}

// A hive file opened for one question: its status, and, for a large one,
// the place of its index. Nothing of it is kept open after the question:
// an old version of the file that a write replaced must not hold its space.
struct Opened {
    const Hive &hive;
    Fd fd;  // -1: no file, an empty hive
    struct stat st {};
    int placed = -1;  // whether the place of its index is found (-1: not yet looked for)
    Place place;
    explicit Opened(const Hive &h) : hive(h) {}
};

// Whether an index of the file is wanted, and where it goes.
bool Indexed(Opened &file) {
    if (file.fd.get() < 0 || !IndexWanted(static_cast<uint64_t>(file.st.st_size)))
        return false;
    if (file.placed < 0)
        file.placed = IndexPlace(file.hive.file, file.st, &file.place);
    return file.placed;
}

// Reads the whole hive, and makes its index in the same pass where it
// wants one.
LONG ReadWhole(Opened &file, bool make_index, Visitor &visitor) {
    int fd = file.fd.get();
    LineReader in(fd, static_cast<uint64_t>(file.st.st_size));
    Parser parser(in, file.hive);
    if (!make_index)
        return parser.Run(visitor);
    IndexBuilder builder(file.hive, file.place, fd, file.st);
    Tee both(visitor, builder);
    LONG rc = parser.Run(both);
    ReadingFacts facts;
    facts.has_header = parser.has_header();
    facts.utf16 = in.utf16();
    facts.wide_strings = parser.wide_strings();
    parser.FirstPassedOver(&facts.passed_line, &facts.passed_reason);
    facts.error = in.error();
    builder.Write(facts);
    return rc;
}

// The facts of a Wine file, kept for the process while the file stays the
// same version: a path's walk asks for them at every name.
struct KeptFacts {
    std::string file;
    struct stat st {};
    PathFacts facts;
};

}  // namespace

LONG ReadKey(const Hive &hive, const std::string &path, KeyData *out, unsigned options) {
    bool subkeys = !(options & kSubkeysLater);
    Opened file(hive);
    if (LONG rc = OpenHiveFile(hive.file, file.fd, &file.st))
        return rc;
    if (file.fd.get() < 0) {
        if (!path.empty())
            return ERROR_FILE_NOT_FOUND;
        if (out)
            *out = KeyData();
        return ERROR_SUCCESS;
    }
    if (Indexed(file)) {
        Index index;
        LONG rc;
        if (index.Open(hive, file.place, file.st) && ReadIndexed(index, file.fd.get(), hive, path, out, subkeys, &rc))
            return rc;
    }
    KeyCollector collector(path, OrderOf(hive));
    if (LONG rc = ReadWhole(file, Indexed(file) && !(options & kNoNewIndex), collector))
        return rc;
    if (!collector.found())
        return ERROR_FILE_NOT_FOUND;
    if (out)
        collector.Take(*out);
    return ERROR_SUCCESS;
}

const PathFacts *FactsOf(const Hive &hive, LONG *rc) {
    static auto *kept = new std::vector<std::unique_ptr<KeptFacts>>;  // never destroyed: no order at exit
    static const PathFacts none;
    Opened file(hive);
    if ((*rc = OpenHiveFile(hive.file, file.fd, &file.st)) != ERROR_SUCCESS)
        return nullptr;
    if (file.fd.get() < 0)
        return &none;
    for (const auto &each : *kept)
        if (each->file == hive.file && SameFileVersion(each->st, file.st))
            return &each->facts;
    auto fresh = std::make_unique<KeptFacts>();
    fresh->file = hive.file;
    fresh->st = file.st;
    Index index;
    if (Indexed(file) && index.Open(hive, file.place, file.st)) {  // of this very version of the file
        fresh->facts = index.facts();
    } else {
        FactsCollector collector(fresh->facts);
        if ((*rc = ReadWhole(file, Indexed(file), collector)) != ERROR_SUCCESS)
            return nullptr;
    }
    if (kept->size() == 8)
        kept->erase(kept->begin());  // a walk holds the facts of one file at a time
    kept->push_back(std::move(fresh));
    return &kept->back()->facts;
}

}  // namespace winshim
