// The index beside a large hive: where each key's sections lie, so that a
// question about one key reads a few lines of the hive, not all of it. It is
// made of the parser's events in the same pass as a whole reading, and
// knows nothing of the questions asked of it.
#pragma once

#include "parser.h"
#include "store.h"

#include <map>
#include <memory>
#include <set>

namespace winshim {

// WINSHIM_INDEX: "off" never uses or writes an index, "always" does for
// every hive; unset, hives of 1 MiB or more have one.
bool IndexWanted(uint64_t hive_size);

// What finding a key by its path in a Wine file needs to know of the file,
// besides the key itself: its link keys, each with the path it stands for
// (its SymbolicLinkValue, "" when it has none), and the keys that have a
// subkey Wow6432Node (into which the 32-bit view of a 64-bit prefix moves).
// Both by path in upper case.
struct PathFacts {
    std::map<std::string, std::string> links;
    std::set<std::string> wow_parents;
};

// Collects a file's PathFacts from a reading of it.
class FactsCollector : public Visitor {
public:
    explicit FactsCollector(PathFacts &facts) : facts_(facts) {}
    bool Section(std::string_view path, uint64_t begin, uint64_t end) override;
    bool KeyAttribute(Attribute what, uint64_t begin, uint64_t end) override;
    void Found(Value &&value, uint64_t begin, uint64_t end) override;

private:
    PathFacts &facts_;
    std::string key_;  // the section in hand, in upper case
    bool link_ = false;
};

// What a whole reading found besides the sections, kept in the index so that
// an answer from it is the whole reading's.
struct ReadingFacts {
    bool has_header = false;  // else every key fails with ERROR_REGISTRY_CORRUPT
    bool utf16 = false;
    bool wide_strings = false;
    long passed_line = 0;  // the first line passed over, when passed_reason is set
    const char *passed_reason = nullptr;
    int error = 0;  // the errno of a failed read: no index then
};

// A section or a key's removal, as the index says it stands in the hive:
// its lines run from `begin` to `end`.
struct IndexedLine {
    std::string path;
    uint64_t begin = 0, end = 0;
    bool removal = false;
};

// What the index says of one key.
struct IndexedKey {
    bool exists = false;
    // When the key has no section of its own: a section below it that makes
    // it exist, to be read and seen to say so.
    IndexedLine evidence;
    // The records next to the key's place, before and after it: when the
    // key is missing, the hive must show them where the index says, or the
    // index does not prove the key's absence.
    std::vector<IndexedLine> bounds;
    // Its own sections since it was last made, in file order: from the
    // section's line to the next section.
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    NameList children;  // filled when asked for, sorted as RegEnumKeyA lists them
};

// An index of a hive file, opened only when it was made of that very file
// (device, inode, size, and the times of its last change to the
// nanosecond), by its owner, this user or root, and reads as written.
class Index {
public:
    Index() = default;
    Index(const Index &) = delete;
    Index &operator=(const Index &) = delete;

    // Of the hive file at `place`, whose status is `hive`: the index beside
    // it, or in the user's cache (only there for a Wine file).
    bool Open(const Hive &file, const Place &place, const struct stat &hive);
    // The whole parse's verdict: ERROR_SUCCESS, or ERROR_REGISTRY_CORRUPT
    // for a file without a header. The first line passed over, if any.
    LONG verdict() const;
    bool FirstPassedOver(long *line, std::string *reason) const;
    bool utf16() const;
    bool wide_strings() const;
    // The facts of a Wine file, as its whole reading found them.
    const PathFacts &facts() const { return facts_; }
    // The key at `path`; false when the index turns out broken (a block that
    // does not read as written), and the hive must be read whole.
    bool Lookup(std::string_view path, bool children, IndexedKey &out);

private:
    struct Record {
        std::string path;
        uint64_t begin = 0, end = 0;
        uint32_t kind = 0;
    };
    bool ReadFrom(int dir, const std::string &name, const struct stat &hive);
    bool ReadFacts(uint64_t at, uint64_t size);
    bool Load(uint64_t block);
    bool Seek(std::string_view path);
    bool Step();
    bool LastRemoval(std::string_view path, uint64_t *removed);
    bool OwnSections(std::string_view path, uint64_t removed, IndexedKey &out);
    bool Subtree(std::string_view path, uint64_t removed, bool children, IndexedKey &out);

    struct Window {
        std::vector<char> bytes;
        uint64_t start = 0, next = UINT64_MAX;
        bool Get(int fd, uint64_t at, size_t size, const char **out);
    };

    Fd fd_;
    std::vector<char> header_;
    uint64_t seed_ = 0;             // of the block checks: the hive's identity
    KeyOrder order_ = KeyOrder::Windows;
    PathFacts facts_;
    std::vector<uint64_t> blocks_;  // where each block begins, and where the last one ends
    Window window_;
    // The records in order: the block in hand, and the record read last.
    uint64_t block_ = 0;
    const char *at_ = nullptr, *stop_ = nullptr;
    uint64_t last_end_ = 0;
    bool done_ = true;
    Record record_, before_;  // the record in hand, and the one before it (end 0: none)
};

// Removes the index beside the hive file at `place`, which a write is about
// to make stale: its space is the write's to use.
void RemoveIndex(const Place &hive);

// Collects the sections and removals of a whole parse and writes the index
// of the hive from them, in memory that does not grow with the hive. Records
// come in runs that are in order: a long run (as an export lists its keys)
// goes straight into blocks of the file, a record out of place beside it
// and short runs are sorted in chunks. At the end a few records beside one
// run go into its blocks where they fall; more runs are merged, a block of
// a run whose records fall between two records of the others copied whole.
// So a hive in order but for a few keys costs about as much as one in
// order.
class IndexBuilder : public Visitor {
public:
    // Of the hive file at `place` (which must outlive it), open as
    // `hive_fd` with status `hive`, that the parse reads.
    IndexBuilder(const Hive &file, const Place &place, int hive_fd, const struct stat &hive);
    ~IndexBuilder() override;
    IndexBuilder(const IndexBuilder &) = delete;
    IndexBuilder &operator=(const IndexBuilder &) = delete;

    void SectionLineAt(uint64_t begin) override;
    bool Section(std::string_view path, uint64_t begin, uint64_t end) override;
    void KeyRemoved(std::string_view path, uint64_t begin, uint64_t end) override;
    bool KeyAttribute(Attribute what, uint64_t begin, uint64_t end) override;
    void Found(Value &&value, uint64_t begin, uint64_t end) override;

    // Writes the index, beside the hive or in the user's cache, once the
    // parse is over. Best effort: an index that cannot be written is no
    // failure.
    void Write(const ReadingFacts &facts);

private:
    class Blocks;
    class Run;
    struct Room;
    using Runs = std::vector<std::unique_ptr<Run>>;
    void Link(int file, uint64_t size);
    void Add(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind, std::string *own = nullptr);
    bool GoesOn(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind, std::string *own);
    void Hold(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind, size_t shared, std::string *own);
    void AddToChunkRun(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind);
    void AddToChunk(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind);
    void Close(uint64_t at);
    bool Promote();
    bool EndRun();
    Runs SortPieces();
    bool Spill();
    bool Merge(Fd &out, std::unique_ptr<Blocks> &blocks);
    static bool BlockOf(KeyOrder order, const Run &run, std::string_view path, uint64_t begin, size_t *block);
    bool Splice(Fd &out, std::unique_ptr<Blocks> &blocks);
    static bool MergeInto(KeyOrder order, const std::vector<Run *> &inputs, Blocks &out);

    const Place &place_;  // the hive
    int hive_fd_;
    KeyOrder key_order_;
    bool wine_;
    PathFacts facts_;
    FactsCollector collect_facts_{facts_};
    struct stat hive_ {};
    uint64_t seed_;               // of the block checks: the hive's identity
    std::unique_ptr<Room> room_;  // what the index leaves free for the next write
    Fd cache_, spill_dir_;
    int dir_ = -1;      // where the index goes: the hive's directory or the cache
    std::string name_;  // its name there
    Fd file_;                         // the long runs, the first just after the header's place
    uint64_t file_end_ = 0;           // where the next one begins
    std::unique_ptr<Blocks> blocks_;  // the long run in hand, but for its last record:
    struct {
        std::string *path = nullptr;
        uint64_t begin = 0, end = 0;
        uint32_t kind = 0;
        size_t shared = 0;  // with the record before it
    } held_;
    Runs runs_;                       // runs ended: in file_, and sorted chunks spilled to unnamed files
    std::string chunk_;               // the records of short runs, serialized
    std::vector<uint32_t> order_;     // where each begins in the chunk
    size_t run_from_ = 0;             // the first of the short run in hand, in order_
    // The section whose range is still open, and the held record's path:
    // a section goes on to be held by trading places with it.
    std::string paths_[2];
    std::string *pending_ = &paths_[0];
    uint64_t pending_begin_ = 0;
    bool open_ = false, failed_ = false, removals_ = false;
    uint64_t records_ = 0;
};

}  // namespace winshim
