// The pieces that reading and writing hive files share: the store's system
// calls, the line reader and the parser.
#pragma once

#include "internal.h"

#include <unordered_map>

#include <sys/stat.h>
#include <sys/types.h>

namespace winshim {

// --- the store's system calls -------------------------------------------------

// Each one fails, setting errno, when WINSHIM_FAULTS names it ("open#2=5"
// makes the second open fail with EIO), so that tests can fail every step of
// a write in turn.
namespace sys {
int Open(const char *path, int flags, mode_t mode = 0);
int OpenTemp(char *path_template);  // "open" too: mkostemp
ssize_t Read(int fd, void *buffer, size_t size, off_t offset);  // "read": pread
ssize_t Write(int fd, const void *buffer, size_t size);
ssize_t CopyRange(int from, off_t *offset, int to, size_t size);  // "copy_file_range"
int Fsync(int fd);
int Fchmod(int fd, mode_t mode);
int Fchown(int fd, uid_t owner, gid_t group);
int Rename(const char *from, const char *to);
int Link(const char *from, const char *to);
int Flock(int fd, int operation);
int Mkdir(const char *path, mode_t mode);
}  // namespace sys

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            Reset(other.fd_);
            other.fd_ = -1;
        }
        return *this;
    }
    int get() const { return fd_; }
    void Reset(int fd = -1);

private:
    int fd_;
};

// Opens a hive file to read: `fd` stays -1 when there is none, which is an
// empty hive. Anything but a regular file (a FIFO, a device, a directory)
// fails with ERROR_REGISTRY_IO_FAILED before a byte is read; `st` receives
// the file's status.
LONG OpenHiveFile(const std::string &path, Fd &fd, struct stat *st);

// The file a hive's name stands for: symbolic links followed, the last one
// to its target's path even when that does not exist yet.
std::string HiveTarget(const std::string &path);

// --- lines ----------------------------------------------------------------------

// The longest line a hive may hold, in the file's bytes (twice as many for
// UTF-16): a longer one is a line that cannot be parsed.
constexpr size_t kMaxLine = 4u << 20;

// The lines of a hive file as UTF-8 text, read in blocks, so that a scan of a
// large hive costs no more memory than one of a hive of a few MiB. A file
// that begins with a UTF-16LE byte order mark is read as UTF-16. Offsets are
// the file's own bytes, so that a writer can copy what it does not change.
class LineReader {
public:
    LineReader(int fd, uint64_t size);
    // The lines of bytes `begin` to `end` of a file whose encoding is known.
    LineReader(int fd, uint64_t begin, uint64_t end, bool utf16);
    // The lines of a text in memory.
    explicit LineReader(std::string_view text);

    // The next line without its "\n" or "\r\n". False at the end of the file
    // or on a read error (then error() is the errno).
    bool Next(std::string_view &line);

    bool utf16() const { return utf16_; }
    uint64_t offset() const { return offset_; }      // where the last line starts
    uint64_t end_offset() const { return end_offset_; }  // just after its line break
    long number() const { return number_; }
    int error() const { return error_; }
    // The last line was longer than kMaxLine: it is given empty.
    bool overlong() const { return overlong_; }
    // How the file ends, once Next has returned false: a line break, a lone
    // CR (which ends the last line too) or neither; and whether its first
    // line break was CRLF (true when there is none).
    enum class End { Newline, CarriageReturn, Text, Empty };
    End end() const { return end_; }
    bool crlf() const { return crlf_; }

private:
    bool Fill();
    size_t FindNewline(size_t from) const;
    void Produce(size_t begin, size_t length, size_t used, bool newline, std::string_view &line);

    int fd_;
    std::vector<char> buf_;
    size_t begin_ = 0, fill_ = 0;  // unread bytes
    uint64_t base_ = 0;           // the file offset of buf_[0]
    uint64_t limit_ = UINT64_MAX;  // where reading stops
    uint64_t offset_ = 0, end_offset_ = 0;
    long number_ = 0;
    bool eof_ = false, started_ = false, utf16_ = false, overlong_ = false;
    bool crlf_ = true, seen_newline_ = false;
    End end_ = End::Empty;
    int error_ = 0;
    std::string wide_line_;  // a UTF-16 line as UTF-8
};

// Reads a hive file's first line: true when it is a header the reader knows,
// with the file's encoding and the header's format of hex strings.
bool FirstLine(int fd, bool *utf16, bool *wide_strings);

// Tells "winshim: FILE:LINE: REASON" on standard error, for the first line
// passed over in a process, or a file that is no hive.
void ReportOnce(const std::string &file, long line, const char *reason);

// --- parsing --------------------------------------------------------------------

// What a parse reports to the code that asked for it, in file order. Offsets
// run from a statement's first byte to just after its last line break.
class Visitor {
public:
    virtual ~Visitor() = default;
    // A line after which the reader carries nothing over from the lines
    // above: a section, a key's removal, or a section that names no key of
    // this hive. Called first for each of them.
    virtual void Mark(uint64_t begin) { (void)begin; }
    // A section for key `path` (components split by '\\'). Returns whether
    // its values are wanted.
    virtual bool Section(std::string_view path, uint64_t begin, uint64_t end) = 0;
    // "[-ROOT\\path]": the key and everything below it removed.
    virtual void KeyRemoved(std::string_view path, uint64_t begin, uint64_t end) {
        (void)path, (void)begin, (void)end;
    }
    // A value of a wanted section.
    virtual void Found(Value &&value, uint64_t begin, uint64_t end) = 0;
    // "name"=-: a value of a wanted section removed.
    virtual void ValueRemoved(std::string &&name, uint64_t begin, uint64_t end) {
        (void)name, (void)begin, (void)end;
    }
    // A line, or a value's lines, passed over as regedit passes them over.
    virtual void Skipped(uint64_t begin, uint64_t end) { (void)begin, (void)end; }
};

// A hive file read as regedit's import reads it. Only a file without a
// header it knows fails as a whole (ERROR_REGISTRY_CORRUPT); a line that
// cannot be parsed is passed over, the first of a process told on standard
// error as "winshim: FILE:LINE: REASON", and the rest is read.
class Parser {
public:
    // `report`: tell the first line passed over on standard error.
    Parser(LineReader &in, Root root, const std::string &file, bool report = true);

    // For a writer, who keeps every line it does not name byte for byte: the
    // values of sections not wanted are read only as far as their lines'
    // shape needs (one without a backslash cannot go on over lines), and
    // lines passed over are not told.
    void Quick() { quick_ = true; }

    // Parses the whole file; values go to the visitor only for the sections
    // it wants, though every line is read as carefully (a hex list's lines
    // decide which lines are statements).
    LONG Run(Visitor &visitor);
    // Parses lines taken from the middle of a hive (no header), starting
    // inside a wanted section or outside any.
    LONG RunFragment(Visitor &visitor, bool wide_strings, bool in_section);

    // The header was version 5: strings in hex are UTF-16 there. Reader and
    // writer both take the format of hex strings from here, and the file's
    // own encoding from the line reader.
    bool wide_strings() const { return wide_strings_; }
    bool has_header() const { return has_header_; }
    // Where the lines after the header begin.
    uint64_t body() const { return body_; }
    // Where the statement begins that the end of the file left open (a hex
    // list continued past the last line), or UINT64_MAX.
    uint64_t dangling() const { return dangling_; }
    // The first line passed over: its number and why.
    bool Passed(long *line, const char **reason) const {
        *line = passed_line_;
        *reason = passed_reason_;
        return passed_reason_ != nullptr;
    }

private:
    enum class Outcome { Value, Removal, Bad };
    LONG Body(Visitor &visitor, bool in_section, bool wanted);
    void Skip(Visitor &visitor, uint64_t begin, const char *reason);
    void SectionLine(Visitor &visitor, std::string_view s, bool &in_section, bool &wanted);
    Outcome Statement(std::string_view s, Value &value, bool keep);
    bool QuotedString(std::string_view s, size_t &pos, std::string *out);
    bool HexList(std::string_view s, std::string *out);

    LineReader &in_;
    std::string_view root_;
    const std::string &file_;
    bool report_;
    bool wide_strings_ = false, has_header_ = false, quick_ = false;
    uint64_t body_ = 0, dangling_ = UINT64_MAX;
    const char *reason_ = nullptr;  // why the last statement was passed over
    long passed_line_ = 0;
    const char *passed_reason_ = nullptr;
    std::string path_;  // a section's path with empty names passed over
    Value fresh_, scratch_;  // a value wanted, and one only checked
};

// How a section's key `path` stands to a key: the same key, a key below it
// (then `child` is the key's subkey on its way), or neither.
enum class Relation { Other, Same, Below };
Relation Relate(std::string_view key, std::string_view path, std::string_view *child);

// A key's values in file order, a name defined twice keeping its first place
// and its last data, and where in the file each definition stands.
class ValueList {
public:
    using Places = std::vector<std::pair<uint64_t, uint64_t>>;
    void Add(Value &&value, uint64_t begin, uint64_t end);
    // A removal ("name"=-): the value is gone, and a later one of that name
    // is a new value, at the end. Its place stays with the name's others, so
    // that a writer can take the removal away with them.
    void Remove(std::string_view name, uint64_t begin, uint64_t end);
    // The key removed: nothing of it is left.
    void Clear();
    const std::vector<Value> &values() const { return values_; }
    std::vector<Value> &&Take() { return std::move(values_); }
    const Value *Find(std::string_view name) const;
    // Where the value named is defined or removed since the key last came
    // into being; null when no such line stands in the key's sections.
    const Places *PlacesOf(std::string_view name) const;

private:
    std::vector<Value> values_;
    std::unordered_map<std::string, size_t> index_;  // by upper-case name
    std::unordered_map<std::string, Places> places_;  // by upper-case name
};

}  // namespace winshim
