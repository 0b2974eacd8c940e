// Answers a question about one key of a hive: from the hive's index where it
// has one that can be believed, else by reading the whole hive, which makes
// the index of a large one in the same pass.

#include "lookup.h"

#include "index.h"
#include "parser.h"

#include <fcntl.h>

namespace winshim {

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
    // The key's lines are `bytes` long: room for as many values as they may
    // hold, short ones as most are.
    void ExpectLines(uint64_t bytes) { values_.Reserve(static_cast<size_t>(bytes / 48)); }

    void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) override { values_.Remove(name, begin, end); }

    bool found() const { return found_ || target_.empty(); }

    void Take(KeyData &out) {
        children_.SortAsWindows();
        out.subkeys = std::move(children_);
        out.values = values_.Take();
    }

private:
    std::string_view target_;
    bool found_ = false;
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
    bool matches() const { return matches_ && sections_ == 1; }

private:
    std::string_view path_;
    KeyCollector &collector_;
    bool matches_ = false;
    int sections_ = 0;
};

// True when the hive holds `line` where the index says it stands.
bool LineStands(int fd, Root root, const std::string &file, bool utf16, const IndexedLine &line) {
    LineReader in(fd, line.begin, line.end, utf16);
    Parser parser(in, root, file, false);
    LineChecker checker(line);
    return parser.RunFragment(checker, false, false) == ERROR_SUCCESS && checker.matches();
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
    if (index.FirstPassedOver(&line, &reason))
        ReportOnce(file, line, reason.c_str());
    if ((*rc = index.verdict()) != ERROR_SUCCESS)
        return *rc == ERROR_REGISTRY_CORRUPT;
    IndexedKey key;
    if (!index.Lookup(path, out && subkeys, key))
        return false;
    if (!key.exists) {
        // Missing only where the hive shows its neighbours where the index
        // says: a record that is not this hive's proves nothing.
        for (const IndexedLine &bound : key.bounds)
            if (!LineStands(fd, root, file, utf16, bound))
                return false;
        *rc = ERROR_FILE_NOT_FOUND;
        return true;
    }
    if (key.ranges.empty() && !path.empty() && !LineStands(fd, root, file, utf16, key.evidence))
        return false;
    if (!out)
        return true;
    KeyCollector collector(path);
    uint64_t bytes = 0;
    for (const auto &[begin, end] : key.ranges)
        bytes += end - begin;
    collector.ExpectLines(bytes);
    for (const auto &[begin, end] : key.ranges) {
        LineReader in(fd, begin, end, index.utf16());
        Parser parser(in, root, file, false);
        RangeReader reader(path, collector);
        if (parser.RunFragment(reader, index.wide_strings(), false) != ERROR_SUCCESS || !reader.matches())
            return false;
    }
    collector.Take(*out);
    out->subkeys = std::move(key.children);
    out->has_subkeys = subkeys;
    return true;
}

}  // namespace

namespace {

// The place of the hive file that `fd` reads, where its index is kept: found
// as a writer finds it, and of that very file. False where there is none
// (a link of another user on the way): then no index is used or made.
bool IndexPlace(const std::string &file, const struct stat &st, Place *place) {
    struct stat there;
    return FindPlace(file, kExistingDirectories, place) == ERROR_SUCCESS &&
           sys::FstatAt(place->dir.get(), place->name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
           there.st_dev == st.st_dev && there.st_ino == st.st_ino;
}

// Reads the whole hive, and makes its index in the same pass where it
// wants one.
LONG ReadWhole(int fd, const struct stat &st, Root root, const std::string &file, const Place *place,
               KeyCollector &collector) {
    LineReader in(fd, static_cast<uint64_t>(st.st_size));
    Parser parser(in, root, file);
    if (!place)
        return parser.Run(collector);
    IndexBuilder builder(*place, fd, st);
    Tee both(collector, builder);
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

}  // namespace

LONG ReadKey(Root root, const std::string &path, KeyData *out, unsigned options) {
    bool subkeys = !(options & kSubkeysLater);
    std::string file;
    if (LONG rc = HivePath(root, &file))
        return rc;
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
    Place place;
    bool indexed = IndexWanted(static_cast<uint64_t>(st.st_size)) && IndexPlace(file, st, &place);
    if (indexed) {
        Index index;
        LONG rc;
        if (index.Open(place, st) && ReadIndexed(index, fd.get(), root, file, path, out, subkeys, &rc))
            return rc;
    }
    KeyCollector collector(path);
    bool make_index = indexed && !(options & kNoNewIndex);
    if (LONG rc = ReadWhole(fd.get(), st, root, file, make_index ? &place : nullptr, collector))
        return rc;
    if (!collector.found())
        return ERROR_FILE_NOT_FOUND;
    if (out)
        collector.Take(*out);
    return ERROR_SUCCESS;
}

}  // namespace winshim
