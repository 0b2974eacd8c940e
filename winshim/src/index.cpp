// The index of a large hive. It lists every section and key removal of the
// hive, sorted so that a key's subtree follows it, and says where each one's
// lines lie: a question about one key reads a few records and that key's
// lines, not the whole file.
//
// The file: a header of 256 bytes, then one record of 40 bytes for each
// section or removal, then the keys' paths end to end.
//
//   header   "WSHIX001", the hive's device, inode, size, mtime and ctime (s,
//            ns), the parse's verdict, flags, the first line passed over
//            (number and reason), the counts, and a check of all of it
//   record   begin, end (the section's lines, up to the next section), where
//            its path lies among the paths and its length, its kind, and a
//            check of the record, its number and its path
//
// Numbers are little-endian. An index is written whole into an unnamed file
// and linked into place, so it is never seen half written.

#include "index.h"

#include "store.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <queue>

#include <fcntl.h>
#include <unistd.h>

namespace winshim {
namespace {

constexpr size_t kHeader = 256;
constexpr size_t kRecord = 40;
constexpr char kMagic[8] = {'W', 'S', 'H', 'I', 'X', '0', '0', '1'};
constexpr uint64_t kLargeHive = 1u << 20;
constexpr size_t kChunk = 8u << 20;     // records sorted in memory at a time
constexpr uint32_t kMaxPath = 1u << 20;  // no section line is longer
constexpr uint32_t kSection = 0, kRemoval = 1;
constexpr uint32_t kUtf16 = 1, kWideStrings = 2, kRemovals = 4;

// Where the header's fields stand.
enum : size_t {
    kDev = 8, kIno = 16, kSize = 24, kMtime = 32, kMtimeNs = 40, kCtime = 48, kCtimeNs = 56,
    kVerdict = 64, kFlags = 68, kLine = 72, kReason = 80, kReasonSize = 96, kCount = 176, kStrings = 184,
    kCheck = 248,
};

// Numbers in the file are little-endian whatever the host.
template <typename T>
void Put(char *p, T v) {
    for (size_t i = 0; i < sizeof v; i++)
        p[i] = static_cast<char>(v >> (8 * i));
}
template <typename T>
T Get(const char *p) {
    T v;
    memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = sizeof v == 8 ? static_cast<T>(__builtin_bswap64(v)) : static_cast<T>(__builtin_bswap32(v));
#endif
    return v;
}
void Put32(char *p, uint32_t v) { Put(p, v); }
void Put64(char *p, uint64_t v) { Put(p, v); }
uint32_t Get32(const char *p) { return Get<uint32_t>(p); }
uint64_t Get64(const char *p) { return Get<uint64_t>(p); }

// A check of bytes that a changed byte changes: eight bytes at a time, each
// mixed in by a multiplication, so that a subtree of half a million records
// is checked in a few milliseconds.
uint64_t Mix(uint64_t h, const char *data, size_t size) {
    auto step = [&h](uint64_t word) {
        h = (h ^ word) * 0x9e3779b97f4a7c15ull;
        h ^= h >> 29;
    };
    size_t i = 0;
    for (; i + 8 <= size; i += 8)
        step(Get64(data + i));
    uint64_t tail = size - i;  // the length too, so that trailing zeros count
    for (; i < size; i++)
        tail = tail << 8 | static_cast<unsigned char>(data[i]);
    step(tail);
    return h;
}
constexpr uint64_t kMixBasis = 0xcbf29ce484222325ull;

// A record's check: of its first 36 bytes, its number and its path.
uint32_t RecordCheck(const char *record, uint64_t number, std::string_view path) {
    char n[8];
    Put64(n, number);
    uint64_t h = Mix(Mix(Mix(kMixBasis, record, 36), n, 8), path.data(), path.size());
    return static_cast<uint32_t>(h ^ h >> 32);
}

// The hive's identity as the header keeps it.
void PutIdentity(char *header, const struct stat &st) {
    Put64(header + kDev, static_cast<uint64_t>(st.st_dev));
    Put64(header + kIno, static_cast<uint64_t>(st.st_ino));
    Put64(header + kSize, static_cast<uint64_t>(st.st_size));
    Put64(header + kMtime, static_cast<uint64_t>(st.st_mtim.tv_sec));
    Put64(header + kMtimeNs, static_cast<uint64_t>(st.st_mtim.tv_nsec));
    Put64(header + kCtime, static_cast<uint64_t>(st.st_ctim.tv_sec));
    Put64(header + kCtimeNs, static_cast<uint64_t>(st.st_ctim.tv_nsec));
}

std::string Basename(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The index's two homes: beside the hive, or, where the store cannot be
// written, in the user's cache, named after the hive file's full path.
std::string BesideName(const std::string &target) {
    return Directory(target) + "/." + Basename(target) + ".winshim-index";
}
std::string CacheDirectory() {
    const char *cache = getenv("XDG_CACHE_HOME");
    if (cache && *cache == '/')
        return std::string(cache) + "/winshim";
    const char *home = getenv("HOME");
    return std::string(home && *home ? home : "/") + "/.cache/winshim";
}
std::string CacheName(const std::string &target) {
    char *real = realpath(target.c_str(), nullptr);
    std::string full = real ? real : target;
    free(real);
    char hash[24];
    snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Mix(kMixBasis, full.data(), full.size())));
    return CacheDirectory() + "/" + hash + "-" + Basename(target) + ".index";
}

// True when the hive's last change lies in the past of the clock that dates
// changes: any later change then gets another ctime, so an index made now
// cannot be taken for one of a file changed afterwards within the same tick
// (on a file system that keeps whole seconds, a second must have passed).
bool Settled(const struct stat &st) {
    timespec now;
    if (clock_gettime(CLOCK_REALTIME_COARSE, &now) != 0)
        return false;
    int64_t margin = st.st_ctim.tv_nsec == 0 && st.st_mtim.tv_nsec == 0 ? 1000000000 : 0;
    int64_t changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec > changed + margin;
}

// True when `path` is `key` or lies below it.
bool InSubtree(std::string_view path, std::string_view key) {
    if (key.empty())
        return true;
    return path.size() >= key.size() && EqualNoCase(path.substr(0, key.size()), key) &&
           (path.size() == key.size() || path[key.size()] == '\\');
}

}  // namespace

int CompareKeyPaths(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; i++) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x == y)
            continue;
        if (x == '\\')
            return -1;
        if (y == '\\')
            return 1;
        x = static_cast<unsigned char>(Upper(static_cast<char>(x)));
        y = static_cast<unsigned char>(Upper(static_cast<char>(y)));
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

bool IndexWanted(uint64_t hive_size) {
    const char *setting = getenv("WINSHIM_INDEX");
    if (!setting)
        return hive_size >= kLargeHive;
    if (!strcmp(setting, "off"))
        return false;
    if (!strcmp(setting, "always"))
        return true;
    static bool reported = false;
    if (!reported)
        fprintf(stderr, "winshim: WINSHIM_INDEX: ignoring \"%s\"\n", setting);
    reported = true;
    return hive_size >= kLargeHive;
}

// --- reading ---------------------------------------------------------------------

struct Index::Record {
    uint64_t begin, end;
    uint32_t kind;
    std::string_view path;  // in the index's window, until the next record is read
};

bool Index::ReadFrom(const std::string &path, const struct stat &hive) {
    fd_.Reset(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd_.get() < 0 || fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // Made by the hive's owner, this user or root, and not open to others' writes.
    if ((st.st_uid != hive.st_uid && st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & 022))
        return false;
    header_.assign(kHeader, '\0');
    if (st.st_size < static_cast<off_t>(kHeader) ||
        pread(fd_.get(), header_.data(), kHeader, 0) != static_cast<ssize_t>(kHeader))
        return false;
    const char *h = header_.data();
    if (memcmp(h, kMagic, sizeof kMagic) != 0 || Get64(h + kCheck) != Mix(kMixBasis, h, kCheck))
        return false;
    char identity[kHeader];
    memcpy(identity, h, kHeader);
    PutIdentity(identity, hive);
    if (memcmp(identity + kDev, h + kDev, kVerdict - kDev) != 0)
        return false;  // made of another file, or of this one before it changed
    count_ = Get64(h + kCount);
    strings_ = Get64(h + kStrings);
    if (count_ > static_cast<uint64_t>(st.st_size) / kRecord ||
        kHeader + count_ * kRecord + strings_ != static_cast<uint64_t>(st.st_size))
        return false;
    return h[kReason + kReasonSize - 1] == '\0';
}

bool Index::Open(const std::string &target, const struct stat &hive) {
    return ReadFrom(BesideName(target), hive) || ReadFrom(CacheName(target), hive);
}

LONG Index::verdict() const { return static_cast<LONG>(Get32(header_.data() + kVerdict)); }
bool Index::utf16() const { return Get32(header_.data() + kFlags) & kUtf16; }
bool Index::wide_strings() const { return Get32(header_.data() + kFlags) & kWideStrings; }

bool Index::Passed(long *line, std::string *reason) const {
    const char *h = header_.data();
    if (!h[kReason])
        return false;
    *line = static_cast<long>(Get64(h + kLine));
    *reason = std::string(h + kReason);
    return true;
}

// Bytes of the index file, through a window that reads ahead when the
// reading goes on in order (a subtree's records) and reads just what is
// asked for when it jumps (a search).
bool Index::Window::Get(int fd, uint64_t at, size_t size, const char **out) {
    if (at < start || at + size > start + bytes.size()) {
        bool onward = at == next;
        size_t want = onward ? std::max<size_t>(size, 1u << 16) : size;
        bytes.resize(want);
        ssize_t n = pread(fd, bytes.data(), want, static_cast<off_t>(at));
        if (n < static_cast<ssize_t>(size))
            return false;
        bytes.resize(static_cast<size_t>(n));
        start = at;
    }
    *out = bytes.data() + (at - start);
    next = at + size;
    return true;
}

// Record number i, checked; false when it is not as written.
bool Index::Read(uint64_t i, Record &out) {
    const char *record;
    if (i >= count_ || !records_.Get(fd_.get(), kHeader + i * kRecord, kRecord, &record))
        return false;
    out.begin = Get64(record);
    out.end = Get64(record + 8);
    uint64_t at = Get64(record + 16);
    uint32_t length = Get32(record + 24);
    out.kind = Get32(record + 28);
    if (length > kMaxPath || at > strings_ || length > strings_ - at || out.kind > kRemoval || out.begin >= out.end)
        return false;
    const char *path = "";
    if (length && !paths_.Get(fd_.get(), kHeader + count_ * kRecord + at, length, &path))
        return false;
    out.path = std::string_view(path, length);
    return Get32(record + 36) == RecordCheck(record, i, out.path);
}

// The first record whose path sorts at or after `path`.
bool Index::Find(std::string_view path, uint64_t *first) {
    uint64_t low = 0, high = count_;
    Record record;
    while (low < high) {
        uint64_t middle = low + (high - low) / 2;
        if (!Read(middle, record))
            return false;
        if (CompareKeyPaths(record.path, path) < 0)
            low = middle + 1;
        else
            high = middle;
    }
    *first = low;
    return true;
}

bool Index::Lookup(std::string_view path, bool children, IndexedKey &out) {
    out = IndexedKey();
    Record record;
    // The last removal of the key or of a key above it: what came before is gone.
    uint64_t removed = 0;
    if (Get32(header_.data() + kFlags) & kRemovals) {
        for (size_t from = 0; !path.empty();) {
            size_t cut = path.find('\\', from);
            std::string_view above = path.substr(0, cut);
            uint64_t i;
            if (!Find(above, &i))
                return false;
            for (; i < count_; i++) {
                if (!Read(i, record))
                    return false;
                if (!EqualNoCase(record.path, above))
                    break;
                if (record.kind == kRemoval)
                    removed = std::max(removed, record.end);
            }
            if (cut == std::string_view::npos)
                break;
            from = cut + 1;
        }
    }
    uint64_t i;
    if (!Find(path, &i))
        return false;
    out.exists = path.empty();
    // The key's own sections first; the subtree below it follows them.
    for (; i < count_; i++) {
        if (!Read(i, record))
            return false;
        if (!EqualNoCase(record.path, path))
            break;
        if (record.kind == kSection && record.begin >= removed) {
            out.ranges.emplace_back(record.begin, record.end);
            out.exists = true;
        }
    }
    std::sort(out.ranges.begin(), out.ranges.end());
    if (out.exists && !children)
        return true;
    // A subkey is there when a section names it, or a key below it, after the
    // last removal of the key, of one above it, or of the subkey itself; its
    // name is spelled as the first such section spells it. The subkey's own
    // records come first among its subtree's, in file order, so its
    // removals are all known before the records below it.
    std::string child, spelling;
    bool in_group = false;
    uint64_t child_removed = 0, first = UINT64_MAX;  // the subkey's first section that counts
    bool as_child = false;  // the spelling is the group's first, as is most often so
    auto finish = [&]() {
        if (in_group && first != UINT64_MAX && children)
            out.children.Add(as_child ? child : spelling);
    };
    size_t skip = path.empty() ? 0 : path.size() + 1;
    for (; i < count_; i++) {
        if (!Read(i, record))
            return false;
        if (!InSubtree(record.path, path))
            break;
        std::string_view rest = record.path.substr(skip);
        std::string_view name = rest.substr(0, rest.find('\\'));
        if (!in_group || !EqualNoCase(name, child)) {
            finish();
            in_group = true;
            child.assign(name);
            child_removed = removed;
            first = UINT64_MAX;
        }
        bool itself = rest.size() == name.size();
        if (record.kind == kRemoval) {
            if (itself) {
                child_removed = std::max(child_removed, record.end);
                if (first < child_removed)
                    first = UINT64_MAX;  // removed after: it counts no more
            }
            continue;
        }
        if (record.begin >= removed && !out.exists) {
            out.exists = true;  // a key below makes this one, whatever became of the subkey
            out.witness = {record.begin, record.end};
            out.witness_path.assign(record.path);
            if (!children)
                return true;
        }
        if (record.begin >= child_removed && record.begin < first) {
            first = record.begin;
            as_child = name == child;
            if (!as_child)
                spelling.assign(name);
        }
    }
    finish();
    out.children.Sorted();  // the index's order is the listing's, a name once
    return true;
}

// --- writing ---------------------------------------------------------------------

// A chunk of records sorted and written to an unnamed file, read back in
// order while the runs are merged.
struct IndexBuilder::Run {
    Fd fd;
    uint64_t size = 0, read = 0;
    std::string buffer;
    size_t at = 0;
    // The record in hand.
    std::string path;
    uint64_t begin = 0, end = 0;
    uint32_t kind = 0;

    bool Fill(size_t need) {
        if (buffer.size() - at >= need)
            return true;
        buffer.erase(0, at);
        at = 0;
        size_t want = std::max<size_t>(need, 1u << 16);
        size_t old = buffer.size();
        buffer.resize(old + want);
        ssize_t n = pread(fd.get(), &buffer[old], want, static_cast<off_t>(read));
        if (n < 0)
            n = 0;
        buffer.resize(old + static_cast<size_t>(n));
        read += static_cast<uint64_t>(n);
        return buffer.size() - at >= need;
    }
    // The next record; false at the end.
    bool Next() {
        if (!Fill(4))
            return false;
        uint32_t length = Get32(&buffer[at]);
        if (!Fill(4 + size_t(length) + 20))
            return false;
        path.assign(&buffer[at + 4], length);
        begin = Get64(&buffer[at + 4 + length]);
        end = Get64(&buffer[at + 12 + length]);
        kind = Get32(&buffer[at + 20 + length]);
        at += 24 + length;
        return true;
    }
};

IndexBuilder::IndexBuilder() { chunk_.reserve(kChunk + 4096); }
IndexBuilder::~IndexBuilder() = default;

namespace {

// The order of records: by path, as CompareKeyPaths has it, then by place.
bool RecordLess(std::string_view path_a, uint64_t begin_a, std::string_view path_b, uint64_t begin_b) {
    int c = CompareKeyPaths(path_a, path_b);
    return c < 0 || (c == 0 && begin_a < begin_b);
}

// A serialized record of a chunk: length, path, begin, end, kind.
std::string_view ChunkPath(const std::string &chunk, uint32_t at) {
    return std::string_view(chunk).substr(at + 4, Get32(&chunk[at]));
}
uint64_t ChunkBegin(const std::string &chunk, uint32_t at) { return Get64(&chunk[at + 4 + Get32(&chunk[at])]); }

// A file that is linked into a directory only once it is whole.
int UnnamedFile(const std::string &dir) {
    return open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
}

// Buffered writes at an offset of their own: the records and the paths
// are written side by side into one file.
class Stream {
public:
    Stream(int fd, uint64_t at) : fd_(fd), at_(at) {}
    bool Put(const char *data, size_t size) {
        buffer_.append(data, size);
        return buffer_.size() < (1u << 18) || Flush();
    }
    bool Flush() {
        size_t done = 0;
        while (done < buffer_.size()) {
            ssize_t n = pwrite(fd_, buffer_.data() + done, buffer_.size() - done, static_cast<off_t>(at_));
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
            at_ += static_cast<uint64_t>(n);
        }
        buffer_.clear();
        return true;
    }

private:
    int fd_;
    uint64_t at_;
    std::string buffer_;
};

}  // namespace

void IndexBuilder::Add(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind) {
    if (failed_)
        return;
    if (path.size() > kMaxPath) {
        failed_ = true;
        return;
    }
    char number[8];
    order_.push_back(static_cast<uint32_t>(chunk_.size()));
    Put32(number, static_cast<uint32_t>(path.size()));
    chunk_.append(number, 4);
    chunk_.append(path);
    Put64(number, begin);
    chunk_.append(number, 8);
    Put64(number, end);
    chunk_.append(number, 8);
    Put32(number, kind);
    chunk_.append(number, 4);
    records_++;
    strings_ += path.size();
    if (chunk_.size() >= kChunk && !Spill())
        failed_ = true;
}

void IndexBuilder::Close(uint64_t at) {
    if (open_)
        Add(pending_, pending_begin_, at, kSection);
    open_ = false;
}

void IndexBuilder::Mark(uint64_t begin) { Close(begin); }

bool IndexBuilder::Section(std::string_view path, uint64_t begin, uint64_t) {
    pending_.assign(path);
    pending_begin_ = begin;
    open_ = true;
    return false;
}

void IndexBuilder::KeyRemoved(std::string_view path, uint64_t begin, uint64_t end) {
    Add(path, begin, end, kRemoval);
}

// Sorts the chunk and writes it to an unnamed file of its own.
bool IndexBuilder::Spill() {
    std::sort(order_.begin(), order_.end(), [this](uint32_t a, uint32_t b) {
        return RecordLess(ChunkPath(chunk_, a), ChunkBegin(chunk_, a), ChunkPath(chunk_, b), ChunkBegin(chunk_, b));
    });
    Run run;
    const char *temp = getenv("TMPDIR");
    run.fd.Reset(UnnamedFile(temp && *temp == '/' ? temp : "/tmp"));
    if (run.fd.get() < 0)
        return false;
    Stream out(run.fd.get(), 0);
    for (uint32_t at : order_) {
        size_t size = 24 + Get32(&chunk_[at]);
        if (!out.Put(&chunk_[at], size))
            return false;
        run.size += size;
    }
    if (!out.Flush())
        return false;
    runs_.push_back(std::move(run));
    chunk_.clear();
    order_.clear();
    return true;
}

void IndexBuilder::Write(const std::string &target, const struct stat &hive, const Parser &parser, LineReader &in) {
    Close(static_cast<uint64_t>(hive.st_size));
    if (failed_ || in.error() || !Settled(hive) || records_ > UINT32_MAX)
        return;
    // Beside the hive where the store may be written, else in the cache. A
    // hive without a write permission bit counts as one that may not be
    // changed, root's too.
    std::string name = BesideName(target);
    Fd file((hive.st_mode & 0222) ? UnnamedFile(Directory(target)) : -1);
    if (file.get() < 0) {
        name = CacheName(target);
        if (MakeDirectories(CacheDirectory()) != ERROR_SUCCESS)
            return;
        file.Reset(UnnamedFile(CacheDirectory()));
        if (file.get() < 0)
            return;
    }
    if (!runs_.empty() && !order_.empty() && !Spill())
        return;
    // The records in order: from the chunk, or merged from the runs.
    Stream records(file.get(), kHeader), paths(file.get(), kHeader + records_ * kRecord);
    uint64_t number = 0, at = 0;
    bool removals = false;
    auto emit = [&](std::string_view path, uint64_t begin, uint64_t end, uint32_t kind) {
        char record[kRecord] = {};
        Put64(record, begin);
        Put64(record + 8, end);
        Put64(record + 16, at);
        Put32(record + 24, static_cast<uint32_t>(path.size()));
        Put32(record + 28, kind);
        Put32(record + 36, RecordCheck(record, number, path));
        number++;
        at += path.size();
        removals = removals || kind == kRemoval;
        return records.Put(record, kRecord) && paths.Put(path.data(), path.size());
    };
    if (runs_.empty()) {
        std::sort(order_.begin(), order_.end(), [this](uint32_t a, uint32_t b) {
            return RecordLess(ChunkPath(chunk_, a), ChunkBegin(chunk_, a), ChunkPath(chunk_, b),
                              ChunkBegin(chunk_, b));
        });
        for (uint32_t offset : order_) {
            std::string_view path = ChunkPath(chunk_, offset);
            const char *tail = &chunk_[offset + 4 + path.size()];
            if (!emit(path, Get64(tail), Get64(tail + 8), Get32(tail + 16)))
                return;
        }
    } else {
        auto later = [this](size_t a, size_t b) {
            return RecordLess(runs_[b].path, runs_[b].begin, runs_[a].path, runs_[a].begin);
        };
        std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heads(later);
        for (size_t r = 0; r < runs_.size(); r++)
            if (runs_[r].Next())
                heads.push(r);
        while (!heads.empty()) {
            size_t r = heads.top();
            heads.pop();
            if (!emit(runs_[r].path, runs_[r].begin, runs_[r].end, runs_[r].kind))
                return;
            if (runs_[r].Next())
                heads.push(r);
        }
    }
    if (number != records_ || !records.Flush() || !paths.Flush())
        return;
    char header[kHeader] = {};
    memcpy(header, kMagic, sizeof kMagic);
    PutIdentity(header, hive);
    long line;
    const char *reason;
    bool passed = parser.Passed(&line, &reason);
    Put32(header + kVerdict, static_cast<uint32_t>(parser.has_header() ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT));
    Put32(header + kFlags, (in.utf16() ? kUtf16 : 0) | (parser.wide_strings() ? kWideStrings : 0) |
                               (removals ? kRemovals : 0));
    if (passed) {
        Put64(header + kLine, static_cast<uint64_t>(line));
        snprintf(header + kReason, kReasonSize, "%s", reason);
    }
    Put64(header + kCount, records_);
    Put64(header + kStrings, strings_);
    Put64(header + kCheck, Mix(kMixBasis, header, kCheck));
    if (pwrite(file.get(), header, kHeader, 0) != static_cast<ssize_t>(kHeader) ||
        fchmod(file.get(), hive.st_mode & 0644) != 0)
        return;
    // Into place: the old index (of another file) goes first; when another
    // reader links its own meanwhile, that one stands.
    char proc[64];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", file.get());
    unlink(name.c_str());
    if (linkat(AT_FDCWD, proc, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return;
}

}  // namespace winshim
