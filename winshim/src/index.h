// The index beside a large hive: where each key's sections lie, so that a
// question about one key reads a few lines of the hive, not all of it.
#pragma once

#include "parser.h"

namespace winshim {

// WINSHIM_INDEX: "off" never uses or writes an index, "always" does for
// every hive; unset, hives of 1 MiB or more have one.
bool IndexWanted(uint64_t hive_size);

// What the index says of one key.
struct IndexedKey {
    bool exists = false;
    // When the key has no section of its own: a section below it that makes
    // it exist, to be read and seen to say so.
    std::pair<uint64_t, uint64_t> witness{0, 0};
    std::string witness_path;
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

    // `target`: the hive file (a link's target), `hive` its status.
    bool Open(const std::string &target, const struct stat &hive);
    // The whole parse's verdict: ERROR_SUCCESS, or ERROR_REGISTRY_CORRUPT
    // for a file without a header. The first line passed over, if any.
    LONG verdict() const;
    bool Passed(long *line, std::string *reason) const;
    bool utf16() const;
    bool wide_strings() const;
    // The key at `path`; false when the index turns out broken (a record that
    // does not read as written), and the hive must be read whole.
    bool Lookup(std::string_view path, bool children, IndexedKey &out);

private:
    struct Record;
    bool Read(uint64_t i, Record &out);
    bool Find(std::string_view path, uint64_t *first);
    bool ReadFrom(const std::string &path, const struct stat &hive);

    struct Window {
        std::vector<char> bytes;
        uint64_t start = 0, next = UINT64_MAX;
        bool Get(int fd, uint64_t at, size_t size, const char **out);
    };

    Fd fd_;
    std::vector<char> header_;
    uint64_t count_ = 0, strings_ = 0;
    Window records_, paths_;
};

// Collects the sections and removals of a whole parse and writes the index
// of the hive from them, in memory that does not grow with the hive.
class IndexBuilder : public Visitor {
public:
    IndexBuilder();
    ~IndexBuilder() override;
    IndexBuilder(const IndexBuilder &) = delete;
    IndexBuilder &operator=(const IndexBuilder &) = delete;

    void Mark(uint64_t begin) override;
    bool Section(std::string_view path, uint64_t begin, uint64_t end) override;
    void KeyRemoved(std::string_view path, uint64_t begin, uint64_t end) override;
    void Found(Value &&, uint64_t, uint64_t) override {}

    // Writes the index of the hive file `target` (status `hive`) that the
    // parse read, beside it or in the user's cache. Best effort: an index
    // that cannot be written is no failure.
    void Write(const std::string &target, const struct stat &hive, const Parser &parser, LineReader &in);

private:
    struct Run;
    void Add(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind);
    void Close(uint64_t at);
    bool Spill();

    std::string chunk_;            // records, serialized
    std::vector<uint32_t> order_;  // where each begins in the chunk
    std::vector<Run> runs_;        // sorted chunks spilled to unnamed files
    std::string pending_;          // the section whose range is still open
    uint64_t pending_begin_ = 0;
    bool open_ = false, failed_ = false;
    uint64_t records_ = 0, strings_ = 0;
};

// A section's key path compared as the index sorts them: a component at a
// time in upper case, so that a key's subtree follows it.
int CompareKeyPaths(std::string_view a, std::string_view b);

}  // namespace winshim
