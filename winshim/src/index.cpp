// The index of a large hive. It lists every section and key removal of the
// hive, sorted so that a key's subtree follows it, and says where each one's
// lines lie: a question about one key reads a few blocks of records and that
// key's lines, not the whole file.
//
// The file: a header of 256 bytes, blocks of records, then the directory
// of the blocks.
//
//   header     "WSHIX002", the hive's device, inode, size, mtime and ctime
//              (s, ns), the parse's verdict, flags, the first line passed
//              over (number and reason), the number of records and of
//              blocks, where the directory lies and its check, and a check
//              of all of it
//   block      records of about 4 KiB, then a check of the block, its
//              number and the hive's identity in the header, so that a
//              block of another index is not believed in this one
//   record     how many bytes its path shares with the path before (none
//              for a block's first record) and its kind, the rest of the
//              path, where its lines begin (from where the record before
//              ended) and how long they are: numbers of seven bits a byte
//   directory  where each block begins
//   facts      of a Wine file: its link keys and where they point, and the
//              keys with a subkey Wow6432Node
//
// Numbers in the header and directory are little-endian. An index is written
// whole into an unnamed file and linked into place, so it is never seen half
// written. Sorted paths share long beginnings and sections follow each other,
// so a record takes a few bytes: the index of an exported hive is a few per
// cent of its size.
//
// The builder takes the records in runs that are in order. A long run goes
// into blocks of the file as it comes (an export is one run, and its blocks
// are the index), but for its last record, held back until the next shows
// whether it is out of place; records out of place and short runs go to a
// chunk, sorted a piece small enough for the processor's cache at a time.
// At the end, a few records beside one run go into its blocks where they
// fall, those blocks written anew under their own numbers and the others
// copied as they are; more runs are merged, and a block of a run whose
// records all sort before the next record of every other run is copied as
// it is, its check made anew for its new number. So a few keys out of place
// cost a few blocks decoded and written again.

#include "index.h"
#include "testing.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <sys/file.h>

#include <fcntl.h>
#include <unistd.h>

namespace winshim {
namespace {

constexpr size_t kHeader = 256;
constexpr char kMagic[8] = {'W', 'S', 'H', 'I', 'X', '0', '0', '3'};
constexpr uint64_t kLargeHive = 1u << 20;
constexpr size_t kBlock = 4096;         // a block is closed once it holds this much
constexpr size_t kChunk = 8u << 20;     // bytes of records of short runs held in memory at a time
constexpr size_t kPiece = 8192;         // records sorted at once, within the processor's cache
constexpr size_t kLongRun = 1024;       // records in order that make a run of their own
constexpr size_t kSplice = 64, kSpliceBytes = 16384;  // records beside one run put into its blocks
constexpr size_t kMaxRuns = 32;         // long runs kept apart for the merge; later ones are sorted
// Left free besides the hive's size, for the blocks that readers building
// indexes at once may write between two looks at the free space.
constexpr uint64_t kRoomMargin = 1u << 20;
constexpr uint32_t kMaxPath = 1u << 20;  // no section line is longer
constexpr size_t kMaxBlock = kBlock + kMaxPath + 64;
constexpr uint32_t kSection = 0, kRemoval = 1;
constexpr uint32_t kUtf16 = 1, kWideStrings = 2, kRemovals = 4, kWineOrder = 8;
constexpr uint64_t kMaxFacts = 1u << 20;

// Where the header's fields stand.
enum : size_t {
    kDev = 8, kIno = 16, kSize = 24, kMtime = 32, kMtimeNs = 40, kCtime = 48, kCtimeNs = 56,
    kVerdict = 64, kFlags = 68, kLine = 72, kReason = 80, kReasonSize = 96, kCount = 176, kBlocks = 184,
    kDirectory = 192, kDirectoryCheck = 200, kFacts = 208, kFactsSize = 216, kFactsCheck = 224, kCheck = 248,
};

// A check of bytes that a changed byte changes: eight bytes at a time, each
// mixed in by a multiplication, so that the blocks of a subtree of half a
// million records are checked in a few milliseconds.
uint64_t Mix(uint64_t h, const char *data, size_t size) {
    auto step = [&h](uint64_t word) {
        h = (h ^ word) * 0x9e3779b97f4a7c15ull;
        h ^= h >> 29;
    };
    size_t i = 0;
    for (; i + 8 <= size; i += 8)
        step(GetLe64(data + i));
    uint64_t tail = size - i;  // the length too, so that trailing zeros count
    for (; i < size; i++)
        tail = tail << 8 | static_cast<unsigned char>(data[i]);
    step(tail);
    return h;
}
constexpr uint64_t kMixBasis = 0xcbf29ce484222325ull;

// A block's check: of its index's seed (the hive's identity), its number
// and its records.
uint64_t BlockCheck(uint64_t seed, uint64_t number, const char *records, size_t size) {
    char n[8];
    PutLe64(n, number);
    return Mix(Mix(seed, n, 8), records, size);
}

// Numbers of seven bits a byte, the lowest first, the high bit set on every
// byte but the last. Written into `p`, which has room for ten bytes; the
// bytes written.
size_t PutVarint(char *p, uint64_t v) {
    size_t n = 0;
    for (; v >= 0x80; v >>= 7)
        p[n++] = static_cast<char>(v | 0x80);
    p[n++] = static_cast<char>(v);
    return n;
}
bool GetVarint(const char *&p, const char *stop, uint64_t *out) {
    uint64_t v = 0;
    for (int shift = 0; shift < 64 && p < stop; shift += 7) {
        unsigned char b = static_cast<unsigned char>(*p++);
        v |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) {
            *out = v;
            return true;
        }
    }
    return false;
}

// One record of a block, after the one whose path is `path` and whose lines
// end at `last_end` (nothing before a block's first); both move on to this
// record. False when the bytes are not a record.
bool DecodeRecord(const char *&p, const char *stop, bool first, std::string &path, uint64_t &last_end,
                  uint64_t *begin, uint64_t *end, uint32_t *kind) {
    uint64_t head, length, step, size;
    if (!GetVarint(p, stop, &head) || !GetVarint(p, stop, &length))
        return false;
    uint64_t shared = head >> 1;
    if ((first && shared) || shared > path.size() || length > static_cast<uint64_t>(stop - p) ||
        shared + length > kMaxPath)
        return false;
    path.resize(static_cast<size_t>(shared));
    path.append(p, static_cast<size_t>(length));
    p += length;
    if (!GetVarint(p, stop, &step) || !GetVarint(p, stop, &size))
        return false;
    // Where the lines begin, as a signed step from where the last ended.
    uint64_t distance = step >> 1;
    bool back = step & 1;
    if (back ? distance > last_end : distance > UINT64_MAX - last_end)
        return false;
    *begin = back ? last_end - distance : last_end + distance;
    if (size == 0 || size > UINT64_MAX - *begin)
        return false;
    *end = *begin + size;
    *kind = static_cast<uint32_t>(head & 1);
    last_end = *end;
    return true;
}

// Copies `n` bytes: the few that a record of a sorted run adds to the path
// before are copied in place, where a call of memcpy cost more than they.
inline void CopyBytes(char *to, const char *from, size_t n) {
    if (n > 16) {
        memcpy(to, from, n);
        return;
    }
    for (size_t i = 0; i < n; i++)
        to[i] = from[i];
}

// The hive's identity as the header keeps it.
void PutIdentity(char *header, const struct stat &st) {
    PutLe64(header + kDev, static_cast<uint64_t>(st.st_dev));
    PutLe64(header + kIno, static_cast<uint64_t>(st.st_ino));
    PutLe64(header + kSize, static_cast<uint64_t>(st.st_size));
    PutLe64(header + kMtime, static_cast<uint64_t>(st.st_mtim.tv_sec));
    PutLe64(header + kMtimeNs, static_cast<uint64_t>(st.st_mtim.tv_nsec));
    PutLe64(header + kCtime, static_cast<uint64_t>(st.st_ctim.tv_sec));
    PutLe64(header + kCtimeNs, static_cast<uint64_t>(st.st_ctim.tv_nsec));
}

// The hive's identity that the header keeps, as a status.
struct stat IdentityOf(const char *header) {
    struct stat st {};
    st.st_dev = static_cast<dev_t>(GetLe64(header + kDev));
    st.st_ino = static_cast<ino_t>(GetLe64(header + kIno));
    st.st_size = static_cast<off_t>(GetLe64(header + kSize));
    st.st_mtim.tv_sec = static_cast<time_t>(GetLe64(header + kMtime));
    st.st_mtim.tv_nsec = static_cast<long>(GetLe64(header + kMtimeNs));
    st.st_ctim.tv_sec = static_cast<time_t>(GetLe64(header + kCtime));
    st.st_ctim.tv_nsec = static_cast<long>(GetLe64(header + kCtimeNs));
    return st;
}

// The seed of the block checks: the identity of the hive that the header
// names.
uint64_t Seed(const char *header) { return Mix(kMixBasis, header + kDev, kVerdict - kDev); }

// The index's two homes: beside the hive, or, where the store cannot be
// written, in the user's cache.
std::string BesideName(const std::string &hive) { return "." + hive + ".winshim-index"; }
// The index's name in the cache: of the hive's directory (device and inode)
// and the hive's name there, which stay as long as the hive does.
std::string CacheName(const Place &hive) {
    struct stat dir;
    if (sys::Fstat(hive.dir.get(), &dir) != 0)
        return "";
    char where[40];
    snprintf(where, sizeof where, "%016llx-%016llx-", static_cast<unsigned long long>(dir.st_dev),
             static_cast<unsigned long long>(dir.st_ino));
    return where + hive.name + ".index";
}

// A file's facts, one entry after another: 'L', the link's path and target,
// or 'W', a key with a subkey Wow6432Node; each text its length first.
std::string FactsBytes(const PathFacts &facts) {
    std::string out;
    char number[10];
    auto text = [&](std::string_view t) {
        out.append(number, PutVarint(number, t.size()));
        out.append(t);
    };
    for (const auto &[path, target] : facts.links) {
        out += 'L';
        text(path);
        text(target);
    }
    for (const std::string &path : facts.wow_parents) {
        out += 'W';
        text(path);
    }
    return out;
}

// The tick of the clock that dated a file's last change, as far as its times
// tell: a file system keeps times to the nanosecond, or to some coarser tick
// that every time it keeps is a multiple of (exFAT 10 ms; FAT 2 s, where
// the times show whole seconds).
int64_t Tick(const struct stat &st) {
    static const int64_t ticks[] = {100000000, 10000000, 1000000, 1000};
    if (st.st_ctim.tv_nsec == 0 && st.st_mtim.tv_nsec == 0)
        return 2000000000;
    for (int64_t tick : ticks)
        if (st.st_ctim.tv_nsec % tick == 0 && st.st_mtim.tv_nsec % tick == 0)
            return tick;
    return 1;
}

// True when the hive's last change lies in the past of the clock that dates
// changes, a whole tick of it: any later change then gets another ctime, so
// an index made now cannot be taken for one of a file changed afterwards
// within the same tick.
bool Settled(const struct stat &st) {
    int64_t changed = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return sys::WallClockNs() >= changed + Tick(st);
}

}  // namespace

bool IndexWanted(uint64_t hive_size) {
    const char *setting = getenv("WINSHIM_INDEX");
    if (!setting)
        return hive_size >= kLargeHive;
    if (!strcmp(setting, "off"))
        return false;
    if (!strcmp(setting, "always"))
        return true;
    BadSetting("WINSHIM_INDEX", setting);
    return hive_size >= kLargeHive;
}


// --- reading ---------------------------------------------------------------------

namespace {

// The records of one subkey's subtree, as they pass in the index's order:
// the subkey counts when a section of it or below it comes after its last
// removal (or one above it); its name is spelled as the first such section
// spells it.
class ChildGroup {
public:
    bool Is(std::string_view name) const { return open_ && EqualNoCase(name, name_); }
    void Start(std::string_view name, uint64_t removed) {
        open_ = true;
        name_.assign(name);
        removed_ = removed;
        first_ = UINT64_MAX;
    }
    void RemovedAt(uint64_t end) {
        removed_ = std::max(removed_, end);
        if (first_ < removed_)
            first_ = UINT64_MAX;  // removed after: it counts no more
    }
    void SectionAt(uint64_t begin, std::string_view spelled) {
        if (begin < removed_ || begin >= first_)
            return;
        first_ = begin;
        as_named_ = spelled == name_;  // the group's first spelling, as is most often so
        if (!as_named_)
            spelling_.assign(spelled);
    }
    void Finish(bool wanted, NameList &out) const {
        if (open_ && first_ != UINT64_MAX && wanted)
            out.Add(as_named_ ? name_ : spelling_);
    }

private:
    bool open_ = false, as_named_ = false;
    std::string name_, spelling_;
    uint64_t removed_ = 0, first_ = UINT64_MAX;
};

}  // namespace


bool Index::ReadFrom(int dir, const std::string &name, const struct stat &hive) {
    fd_.Reset(sys::OpenAt(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd_.get() < 0 || sys::Fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // Made by the hive's owner, this user or root, and not open to others' writes.
    uid_t me = sys::EffectiveUser();
    if ((st.st_uid != hive.st_uid && st.st_uid != me && st.st_uid != 0) || (st.st_mode & 022))
        return false;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    header_.assign(kHeader, '\0');
    if (size < kHeader || sys::Read(fd_.get(), header_.data(), kHeader, 0) != static_cast<ssize_t>(kHeader))
        return false;
    const char *h = header_.data();
    if (memcmp(h, kMagic, sizeof kMagic) != 0 || GetLe64(h + kCheck) != Mix(kMixBasis, h, kCheck))
        return false;
    if (!SameFileVersion(IdentityOf(h), hive))
        return false;  // made of another file, or of this one before it changed
    if (h[kReason + kReasonSize - 1] != '\0')
        return false;
    seed_ = Seed(h);
    // The directory: where each block begins, in order, the first just after
    // the header and the last ending where the directory begins.
    order_ = (GetLe32(h + kFlags) & kWineOrder) ? KeyOrder::Wine : KeyOrder::Windows;
    uint64_t facts_at = GetLe64(h + kFacts), facts_size = GetLe64(h + kFactsSize);
    if (facts_at && (facts_at > size || facts_size != size - facts_at || !ReadFacts(facts_at, facts_size)))
        return false;
    uint64_t end = facts_at ? facts_at : size;
    uint64_t blocks = GetLe64(h + kBlocks), directory = GetLe64(h + kDirectory);
    if (directory < kHeader || directory > end || blocks != (end - directory) / 8 || (end - directory) % 8 ||
        (blocks == 0) != (GetLe64(h + kCount) == 0))
        return false;
    std::vector<char> bytes(static_cast<size_t>(end - directory));
    if (sys::Read(fd_.get(), bytes.data(), bytes.size(), static_cast<off_t>(directory)) !=
            static_cast<ssize_t>(bytes.size()) ||
        Mix(kMixBasis, bytes.data(), bytes.size()) != GetLe64(h + kDirectoryCheck))
        return false;
    blocks_.resize(static_cast<size_t>(blocks) + 1);
    for (size_t i = 0; i < blocks; i++)
        blocks_[i] = GetLe64(bytes.data() + 8 * i);
    blocks_[blocks] = directory;
    if (blocks && blocks_[0] != kHeader)
        return false;
    for (size_t i = 0; i < blocks; i++)
        if (blocks_[i + 1] < blocks_[i] + 12 || blocks_[i + 1] - blocks_[i] > kMaxBlock)
            return false;
    return true;
}

bool Index::Open(const Hive &file, const Place &hive_place, const struct stat &hive) {
    if (!file.wine() && ReadFrom(hive_place.dir.get(), BesideName(hive_place.name), hive))
        return true;
    Fd cache;
    std::string cached = CacheName(hive_place);
    return !cached.empty() && OpenCacheDirectory(kExistingDirectories, &cache) == ERROR_SUCCESS &&
           ReadFrom(cache.get(), cached, hive);
}

bool Index::ReadFacts(uint64_t at, uint64_t size) {
    if (size > kMaxFacts)
        return false;
    std::vector<char> bytes(static_cast<size_t>(size));
    if (sys::Read(fd_.get(), bytes.data(), bytes.size(), static_cast<off_t>(at)) != static_cast<ssize_t>(size) ||
        Mix(kMixBasis, bytes.data(), bytes.size()) != GetLe64(header_.data() + kFactsCheck))
        return false;
    facts_ = PathFacts();
    const char *p = bytes.data(), *stop = p + bytes.size();
    auto text = [&p, stop](std::string *out) {
        uint64_t length;
        if (!GetVarint(p, stop, &length) || length > static_cast<uint64_t>(stop - p))
            return false;
        out->assign(p, static_cast<size_t>(length));
        p += length;
        return true;
    };
    while (p < stop) {
        char kind = *p++;
        std::string path, target;
        if (!text(&path) || (kind == 'L' && !text(&target)) || (kind != 'L' && kind != 'W'))
            return false;
        if (kind == 'L')
            facts_.links[path] = target;
        else
            facts_.wow_parents.insert(path);
    }
    return true;
}

LONG Index::verdict() const { return static_cast<LONG>(GetLe32(header_.data() + kVerdict)); }
bool Index::utf16() const { return GetLe32(header_.data() + kFlags) & kUtf16; }
bool Index::wide_strings() const { return GetLe32(header_.data() + kFlags) & kWideStrings; }

bool Index::FirstPassedOver(long *line, std::string *reason) const {
    const char *h = header_.data();
    if (!h[kReason])
        return false;
    *line = static_cast<long>(GetLe64(h + kLine));
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
        ssize_t n = sys::Read(fd, bytes.data(), want, static_cast<off_t>(at));
        if (n < static_cast<ssize_t>(size))
            return false;
        bytes.resize(static_cast<size_t>(n));
        start = at;
    }
    *out = bytes.data() + (at - start);
    next = at + size;
    return true;
}

// Block number b, checked, with its first record in hand.
bool Index::Load(uint64_t b) {
    const char *bytes;
    size_t size = static_cast<size_t>(blocks_[b + 1] - blocks_[b]);
    if (!window_.Get(fd_.get(), blocks_[b], size, &bytes) ||
        GetLe64(bytes + size - 8) != BlockCheck(seed_, b, bytes, size - 8))
        return false;
    block_ = b;
    at_ = bytes;
    stop_ = bytes + size - 8;
    last_end_ = 0;
    done_ = false;
    return DecodeRecord(at_, stop_, true, record_.path, last_end_, &record_.begin, &record_.end, &record_.kind) &&
           record_.kind <= kRemoval;
}

// The next record, across blocks; done_ after the last. The record left
// behind is kept as the one before.
bool Index::Step() {
    before_ = record_;
    if (at_ == stop_) {
        if (block_ + 2 >= blocks_.size()) {
            done_ = true;
            return true;
        }
        return Load(block_ + 1);
    }
    return DecodeRecord(at_, stop_, false, record_.path, last_end_, &record_.begin, &record_.end, &record_.kind);
}

// The first record whose path sorts at or after `path` (done_ when none
// does): the blocks searched by their first records, then the block before
// the first that begins at or after it read in order.
bool Index::Seek(std::string_view path) {
    uint64_t count = blocks_.size() - 1, low = 0, high = count;
    done_ = true;
    before_ = Record();
    if (count == 0)
        return true;
    while (low < high) {
        uint64_t middle = low + (high - low) / 2;
        if (!Load(middle))
            return false;
        if (CompareKeyPaths(record_.path, path, order_) < 0)
            low = middle + 1;
        else
            high = middle;
    }
    if (!Load(low ? low - 1 : 0))
        return false;
    before_ = Record();
    while (!done_ && CompareKeyPaths(record_.path, path, order_) < 0)
        if (!Step())
            return false;
    return true;
}

// The end of the last removal of `path` or of a key above it: what came
// before is gone.
bool Index::LastRemoval(std::string_view path, uint64_t *removed) {
    *removed = 0;
    if (!(GetLe32(header_.data() + kFlags) & kRemovals))
        return true;
    for (size_t from = 0; !path.empty();) {
        size_t cut = path.find('\\', from);
        std::string_view above = path.substr(0, cut);
        if (!Seek(above))
            return false;
        for (; !done_ && EqualNoCase(record_.path, above);) {
            if (record_.kind == kRemoval)
                *removed = std::max(*removed, record_.end);
            if (!Step())
                return false;
        }
        if (cut == std::string_view::npos)
            break;
        from = cut + 1;
    }
    return true;
}

// The key's own sections since it was last removed: they come first at its
// place, before its subtree.
bool Index::OwnSections(std::string_view path, uint64_t removed, IndexedKey &out) {
    if (!Seek(path))
        return false;
    out.exists = path.empty();
    // The records that a missing key would lie between, for the hive to
    // confirm that it does.
    out.bounds.clear();
    if (before_.end)
        out.bounds.push_back({before_.path, before_.begin, before_.end, before_.kind == kRemoval});
    if (!done_)
        out.bounds.push_back({record_.path, record_.begin, record_.end, record_.kind == kRemoval});
    for (; !done_ && EqualNoCase(record_.path, path);) {
        if (record_.kind == kSection && record_.begin >= removed) {
            out.ranges.emplace_back(record_.begin, record_.end);
            out.exists = true;
        }
        if (!Step())
            return false;
    }
    std::sort(out.ranges.begin(), out.ranges.end());
    return true;
}

// The subtree below the key, which follows its own sections: whether a key
// below makes it exist (the first such section is the evidence), and with
// `children` its subkeys. A subkey is there when a section names it, or a
// key below it, after the last removal of the key, of one above it, or of
// the subkey itself; its name is spelled as the first such section spells
// it. The subkey's own records come first among its subtree's, in file
// order, so its removals are all known before the records below it.
bool Index::Subtree(std::string_view path, uint64_t removed, bool children, IndexedKey &out) {
    ChildGroup group;
    size_t skip = path.empty() ? 0 : path.size() + 1;
    std::string_view below;
    for (; !done_ && Relate(path, record_.path, &below) != Relation::Other;) {
        std::string_view rest = std::string_view(record_.path).substr(skip);
        std::string_view name = rest.substr(0, rest.find('\\'));
        if (!group.Is(name)) {
            group.Finish(children, out.children);
            group.Start(name, removed);
        }
        bool itself = rest.size() == name.size();
        if (record_.kind == kRemoval) {
            if (itself)
                group.RemovedAt(record_.end);
        } else {
            if (record_.begin >= removed && !out.exists) {
                out.exists = true;  // a key below makes this one, whatever became of the subkey
                out.evidence = {record_.path, record_.begin, record_.end, false};
                if (!children)
                    return true;
            }
            group.SectionAt(record_.begin, name);
        }
        if (!Step())
            return false;
    }
    group.Finish(children, out.children);
    out.children.KeepOrder();  // the index's order is the listing's, a name once
    return true;
}

bool Index::Lookup(std::string_view path, bool children, IndexedKey &out) {
    out = IndexedKey();
    uint64_t removed;
    if (!LastRemoval(path, &removed) || !OwnSections(path, removed, out))
        return false;
    if (out.exists && !children)
        return true;
    return Subtree(path, removed, children, out);
}

// --- a Wine file's facts -------------------------------------------------------------

bool FactsCollector::Section(std::string_view path, uint64_t, uint64_t) {
    key_ = UpperCopy(path);
    link_ = false;
    // Every key on the path that holds a Wow6432Node has that subkey.
    for (size_t start = 0; start <= path.size();) {
        size_t cut = path.find('\\', start);
        std::string_view name = path.substr(start, cut == std::string_view::npos ? cut : cut - start);
        if (EqualNoCase(name, "Wow6432Node"))
            facts_.wow_parents.insert(key_.substr(0, start ? start - 1 : 0));
        if (cut == std::string_view::npos)
            break;
        start = cut + 1;
    }
    return false;
}

bool FactsCollector::KeyAttribute(Attribute what, uint64_t, uint64_t) {
    if (what != Attribute::Link)
        return false;
    link_ = true;
    facts_.links.emplace(key_, "");
    return true;  // its SymbolicLinkValue
}

void FactsCollector::Found(Value &&value, uint64_t, uint64_t) {
    if (link_ && value.type == REG_LINK && EqualNoCase(value.name, "SymbolicLinkValue")) {
        std::string target;
        AppendUtf8FromUtf16(target, value.data);
        facts_.links[key_] = target;
    }
}

void RemoveIndex(const Place &hive) { sys::UnlinkAt(hive.dir.get(), BesideName(hive.name).c_str(), 0); }

// --- writing ---------------------------------------------------------------------

namespace {

// What the builder holds in memory, in records; small in tests
// (testing::SetIndexBuilderSizes), so that a small hive takes every path.
struct BuilderSizes {
    size_t chunk = kChunk, long_run = kLongRun, piece = kPiece, block = kBlock;
};
BuilderSizes builder_sizes;

// A file that is linked into a directory only once it is whole.
int UnnamedFile(int dir) { return sys::OpenAt(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); }

// The seed of the block checks of an index of the hive whose status is `hive`.
uint64_t IdentitySeed(const struct stat &hive) {
    char header[kHeader] = {};
    PutIdentity(header, hive);
    return Seed(header);
}

// The order of records: by path, as CompareKeyPaths has it, then by place.
bool RecordLess(KeyOrder order, std::string_view path_a, uint64_t begin_a, std::string_view path_b,
                uint64_t begin_b) {
    int c = CompareKeyPaths(path_a, path_b, order);
    return c < 0 || (c == 0 && begin_a < begin_b);
}

// A record of the chunk, in memory alone: where its lines begin and end, its
// kind and the length of its path, then the path.
struct ChunkHead {
    uint64_t begin, end;
    uint32_t kind, length;
};
constexpr size_t kChunkRecord = sizeof(ChunkHead);  // and the path
ChunkHead HeadOf(const char *record) {
    ChunkHead head;
    memcpy(&head, record, sizeof head);
    return head;
}
uint64_t ChunkBegin(const char *record) { return HeadOf(record).begin; }
uint64_t ChunkEnd(const char *record) { return HeadOf(record).end; }
uint32_t ChunkKind(const char *record) { return HeadOf(record).kind; }
std::string_view ChunkPath(const char *record) { return {record + kChunkRecord, HeadOf(record).length}; }
size_t ChunkRecordSize(const char *record) { return kChunkRecord + HeadOf(record).length; }

// The least head of k sorted inputs, with one comparison a level of a tree
// over them when it moves on: each inner node keeps the input that lost the
// match played there, and the root the winner. `before(a, b)`: input a's
// head comes before input b's (an input at its end comes after all).
template <typename Before>
class Tournament {
public:
    Tournament(size_t inputs, Before before) : k_(inputs), before_(before), tree_(inputs ? inputs : 1, 0) {
        if (k_)
            tree_[0] = Play(1);
    }
    size_t Winner() const { return tree_[0]; }
    // The winner's head has moved on: it plays its way up again.
    void Replay() {
        size_t winner = tree_[0];
        for (size_t node = (winner + k_) / 2; node > 0; node /= 2)
            if (before_(tree_[node], winner))
                std::swap(tree_[node], winner);
        tree_[0] = winner;
    }
    // The least head but the winner's: one that lost to the winner on its
    // way up. k when there is no other input.
    size_t RunnerUp() const {
        size_t best = k_;
        for (size_t node = (tree_[0] + k_) / 2; node > 0; node /= 2)
            if (best == k_ || before_(tree_[node], best))
                best = tree_[node];
        return best;
    }

private:
    // Inner nodes are 1 to k - 1, input i the leaf k + i.
    size_t Play(size_t node) {
        if (node >= k_)
            return node - k_;
        size_t a = Play(2 * node), b = Play(2 * node + 1);
        if (before_(b, a))
            std::swap(a, b);
        tree_[node] = b;
        return a;
    }

    size_t k_;
    Before before_;
    std::vector<size_t> tree_;
};

}  // namespace

// What a reader's files must leave free on the hive's file system: the
// space that the next write of the hive needs for its new file, and the
// index's own, so that a reader never makes a write fail.
struct IndexBuilder::Room {
    dev_t device;
    uint64_t reserve;  // the hive's size, and a margin for readers at once
    // True when file `fd`, `size` bytes long and about to grow by `more`,
    // leaves that free after it.
    bool Keeps(int fd, uint64_t size, uint64_t more) const {
        struct stat st;
        struct statvfs fs;
        if (sys::Fstat(fd, &st) != 0 || sys::Fstatvfs(fd, &fs) != 0)
            return false;
        if (st.st_dev != device)
            return true;  // another file system: the writes' space is not touched
        uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
        return free >= more && free - more >= reserve + size + more;
    }
};

// Records written in order into blocks, each closed with its check: the
// index itself, with the directory of its blocks at the end and its first
// kHeader bytes left for the header, or a run that a merge reads back.
class IndexBuilder::Blocks {
public:
    // Blocks from byte `at` of file `fd`, which is that long; at 0, of a
    // new file, after the header's place.
    Blocks(int fd, uint64_t seed, const Room &room, uint64_t at = 0)
        : fd_(fd), seed_(seed), room_(room), written_(at), offset_(at ? at : kHeader) {
        if (!at) {
            memset(Grow(kHeader), 0, kHeader);  // the header's place, written over at the end
            used_ = kHeader;
        }
    }

    // Adds a record that sorts after the last one added, whose path shares
    // `shared` bytes with this one's. The block being filled is the end of
    // the bytes not yet written, where its records are encoded in place.
    bool Add(std::string_view path, size_t shared, uint64_t begin, uint64_t end, uint32_t kind) {
        if (open_ && used_ - block_at_ >= limit_ && !CloseBlock())
            return false;
        records_++;
        uint64_t from = last_end_;
        if (!open_) {
            open_ = true;
            block_at_ = used_;
            shared = from = 0;
        }
        size_t rest = path.size() - shared;
        char *p = Grow(rest + 40);
        p += PutVarint(p, uint64_t(shared) << 1 | kind);
        p += PutVarint(p, rest);
        CopyBytes(p, path.data() + shared, rest);
        p += rest;
        p += PutVarint(p, begin >= from ? (begin - from) << 1 : (from - begin) << 1 | 1);
        p += PutVarint(p, end - begin);
        used_ = static_cast<size_t>(p - out_.data());
        if (last_.size() != path.size())
            last_.resize(path.size());
        CopyBytes(&last_[shared], path.data() + shared, rest);
        last_end_ = end;
        last_begin_ = begin;
        return true;
    }
    bool Add(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind) {
        return Add(path, CommonPrefix(last_, path), begin, end, kind);
    }

    // A block of another run, its records (without its check) falling all
    // here: copied as it is, with the check of its new number. The last
    // record is not known after it (last() is no longer the last).
    bool CopyBlock(const char *records, size_t size) {
        if (open_ && !CloseBlock())
            return false;
        block_at_ = used_;
        memcpy(Grow(size), records, size);
        used_ += size;
        open_ = true;
        return CloseBlock();
    }

    // Records from now on go into blocks closed once they hold `size`
    // bytes (SIZE_MAX: all into the one being filled).
    void BlockSize(size_t size) { limit_ = size; }
    // Closes the block being filled: the next record begins a block.
    bool EndBlock() { return !open_ || CloseBlock(); }

    // Blocks `first` to `last` of a run that file `fd` holds from `starts`
    // on, its last block ending at `end`, copied as they are (in the kernel
    // where it can): they take the same numbers here as there, so their
    // checks stand.
    bool CopyBlocks(int fd, const std::vector<uint64_t> &starts, uint64_t end, size_t first, size_t last) {
        if (first >= last)
            return true;
        if (open_ || starts_.size() != first || !Flush())
            return false;
        uint64_t from = starts[first], to = last < starts.size() ? starts[last] : end;
        if (!room_.Keeps(fd_, written_, to - from) || !CopyFile(fd, from, to - from))
            return false;
        for (size_t b = first; b < last; b++)
            starts_.push_back(starts[b] - from + offset_);
        offset_ += to - from;
        written_ += to - from;
        return true;
    }

    // The last block: a run whole in its file.
    bool Close() { return (!open_ || CloseBlock()) && Flush(); }
    // The last block and the directory; where the directory lies, and its check.
    bool Finish(uint64_t *directory, uint64_t *check) {
        if (open_ && !CloseBlock())
            return false;
        *directory = offset_;
        std::string bytes(starts_.size() * 8, '\0');
        for (size_t i = 0; i < starts_.size(); i++)
            PutLe64(&bytes[8 * i], starts_[i]);
        *check = Mix(kMixBasis, bytes.data(), bytes.size());
        memcpy(Grow(bytes.size()), bytes.data(), bytes.size());
        used_ += bytes.size();
        return Flush();
    }
    const std::vector<uint64_t> &starts() const { return starts_; }
    uint64_t end() const { return offset_; }  // of the blocks
    const std::string &last() const { return last_; }
    uint64_t last_begin() const { return last_begin_; }
    uint64_t records() const { return records_; }  // added, not copied

private:
    static constexpr size_t kFlush = 1u << 18;  // blocks kept before they are written

    // `size` bytes of file `fd` from `from` on, appended to the index.
    bool CopyFile(int fd, uint64_t from, uint64_t size) {
        off_t at = static_cast<off_t>(from);
        while (size > 0 && copy_range_) {
            ssize_t n = sys::CopyRange(fd, &at, fd_, static_cast<size_t>(std::min<uint64_t>(size, 1u << 30)));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
                copy_range_ = false;  // not between these files: through this process
            else if (n <= 0)
                return false;
            else
                size -= static_cast<uint64_t>(n);
        }
        for (ssize_t n; size > 0; size -= static_cast<uint64_t>(n), at += n) {
            n = sys::Read(fd, Grow(kFlush), static_cast<size_t>(std::min<uint64_t>(size, kFlush)), at);
            if (n <= 0 || sys::WriteAll(fd_, out_.data(), static_cast<size_t>(n)) != 0)
                return false;
        }
        return true;
    }

    bool CloseBlock() {
        char check[8];
        PutLe64(check, BlockCheck(seed_, starts_.size(), out_.data() + block_at_, used_ - block_at_));
        memcpy(Grow(8), check, 8);
        used_ += 8;
        starts_.push_back(offset_);
        offset_ += used_ - block_at_;
        open_ = false;
        return used_ < kFlush || Flush();
    }
    bool Flush() {
        bool ok = room_.Keeps(fd_, written_, used_) && sys::WriteAll(fd_, out_.data(), used_) == 0;
        written_ += used_;
        used_ = 0;
        return ok;
    }
    // Room for `more` bytes after those used, where they are written.
    char *Grow(size_t more) {
        if (out_.size() < used_ + more)
            out_.resize(std::max(used_ + more, 2 * out_.size()));
        return &out_[used_];
    }

    int fd_;
    uint64_t seed_;
    const Room &room_;
    uint64_t written_;  // the file's length
    std::string out_;   // blocks not yet written (used_ bytes), the last one open while open_
    size_t used_ = 0, block_at_ = 0;
    bool open_ = false;
    std::string last_;  // the path of the record before
    uint64_t last_end_ = 0, last_begin_ = 0, offset_;
    std::vector<uint64_t> starts_;
    size_t limit_ = builder_sizes.block;
    uint64_t records_ = 0;
    bool copy_range_ = true;
};

// Sorted records to merge, the one in hand first: the blocks of a run in a
// file, or a piece of the chunk in memory.
class IndexBuilder::Run {
public:
    // The blocks of file `fd` that begin at `starts`, the last ending at
    // `end`; `own` closes the file with the run. Its last record is `last`,
    // whose lines begin at `last_begin`.
    Run(Fd own, int fd, std::vector<uint64_t> starts, uint64_t end, std::string last, uint64_t last_begin)
        : own_(std::move(own)), fd_(fd), starts_(std::move(starts)), end_of_blocks_(end), last_(std::move(last)),
          last_begin_(last_begin) {}
    // The records of the chunk from `from` to `to`, in order.
    Run(const char *from, const char *to) : memory_(true), at_(from), stop_(to) {}
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    // The next record in hand; false at the end (done), or where the run
    // cannot be read (failed too).
    bool Next() {
        if (done_)
            return false;
        if (memory_) {
            if (at_ == stop_)
                return Stop(false);
            path_ = ChunkPath(at_);
            begin_ = ChunkBegin(at_);
            end_ = ChunkEnd(at_);
            kind_ = ChunkKind(at_);
            at_ += ChunkRecordSize(at_);
            return true;
        }
        head_first_ = at_ == stop_;
        if (head_first_ && !LoadBlock())
            return false;
        if (!DecodeRecord(at_, stop_, head_first_, decoded_, last_end_, &begin_, &end_, &kind_))
            return Stop(true);
        path_ = decoded_;
        return true;
    }
    bool done() const { return done_; }
    bool failed() const { return failed_; }
    // Where a run of blocks lies.
    int fd() const { return fd_; }
    const std::vector<uint64_t> &starts() const { return starts_; }
    uint64_t end_of_blocks() const { return end_of_blocks_; }
    std::string_view path() const { return path_; }
    uint64_t begin() const { return begin_; }
    uint64_t end() const { return end_; }
    uint32_t kind() const { return kind_; }

    // When the record in hand is the first of a block: the block's records,
    // and a record that each of them sorts before or is (the first of the
    // next block, or the run's last).
    bool WholeBlock(const char **records, size_t *size, std::string_view *bound, uint64_t *bound_begin) {
        if (memory_ || done_ || !head_first_)
            return false;
        *records = block_.data();
        *size = block_.size() - 8;
        if (number_ + 1 == starts_.size()) {
            *bound = last_;
            *bound_begin = last_begin_;
            return true;
        }
        if (!ahead_) {
            if (!ReadBlock(number_ + 1, next_))
                return Stop(true);
            const char *p = next_.data();
            uint64_t last_end = 0, its_end;
            uint32_t its_kind;
            if (!DecodeRecord(p, next_.data() + next_.size() - 8, true, bound_, last_end, &bound_begin_, &its_end,
                              &its_kind))
                return Stop(true);
            ahead_ = true;
        }
        *bound = bound_;
        *bound_begin = bound_begin_;
        return true;
    }
    // Past the block whose first record is in hand, to the next one's.
    bool SkipBlock() {
        at_ = stop_;
        return Next();
    }

private:
    static constexpr uint64_t kWindow = 1u << 16;

    bool Stop(bool failed) {
        failed_ = failed_ || failed;
        done_ = true;
        return false;
    }
    // Block `number`, through a window of the file that reads 64 KiB at a
    // time: most blocks are copied whole, and a read for each cost more
    // than the copy.
    bool ReadBlock(size_t number, std::vector<char> &bytes) {
        uint64_t from = starts_[number], to = number + 1 < starts_.size() ? starts_[number + 1] : end_of_blocks_;
        if (to - from <= 8)
            return false;
        if (from < window_from_ || to > window_from_ + window_.size()) {
            uint64_t want = std::min(end_of_blocks_ - from, std::max<uint64_t>(to - from, kWindow));
            window_.resize(static_cast<size_t>(want));
            if (sys::Read(fd_, window_.data(), window_.size(), static_cast<off_t>(from)) !=
                static_cast<ssize_t>(window_.size()))
                return false;
            window_from_ = from;
        }
        const char *start = window_.data() + (from - window_from_);
        bytes.assign(start, start + (to - from));
        return true;
    }
    // The next block, read ahead or read now.
    bool LoadBlock() {
        size_t next = number_ + 1;
        if (next >= starts_.size())
            return Stop(false);
        if (ahead_)
            block_.swap(next_);
        else if (!ReadBlock(next, block_))
            return Stop(true);
        ahead_ = false;
        number_ = next;
        at_ = block_.data();
        stop_ = block_.data() + block_.size() - 8;
        last_end_ = 0;
        return true;
    }

    Fd own_;
    int fd_ = -1;
    std::vector<uint64_t> starts_;
    uint64_t end_of_blocks_ = 0;
    std::string last_;
    uint64_t last_begin_ = 0;
    bool memory_ = false, done_ = false, failed_ = false;
    // Where the records are read: the block in hand (number_), or the chunk.
    const char *at_ = nullptr, *stop_ = nullptr;
    size_t number_ = SIZE_MAX;
    std::vector<char> block_, next_;  // the block in hand, and the next when read ahead
    std::vector<char> window_;        // bytes of the file from window_from_ on
    uint64_t window_from_ = 0;
    bool ahead_ = false, head_first_ = false;
    std::string bound_;  // the next block's first record, when read ahead
    uint64_t bound_begin_ = 0;
    uint64_t last_end_ = 0;
    // The record in hand.
    std::string decoded_;
    std::string_view path_;
    uint64_t begin_ = 0, end_ = 0;
    uint32_t kind_ = 0;
};

IndexBuilder::IndexBuilder(const Hive &file, const Place &hive_place, int hive_fd, const struct stat &hive)
    : place_(hive_place), hive_fd_(hive_fd), key_order_(file.wine() ? KeyOrder::Wine : KeyOrder::Windows),
      wine_(file.wine()), hive_(hive), seed_(IdentitySeed(hive)),
      room_(std::make_unique<Room>(Room{hive.st_dev, static_cast<uint64_t>(hive.st_size) + kRoomMargin})) {
    // Beside the hive where the store may be written, else in the cache. A
    // hive without a write permission bit counts as one that may not be
    // changed, root's too; a Wine prefix is never written by a reading.
    if ((hive.st_mode & 0222) && !wine_) {
        dir_ = place_.dir.get();
        name_ = BesideName(place_.name);
        file_.Reset(UnnamedFile(dir_));
    }
    if (file_.get() < 0 && OpenCacheDirectory(kMakeDirectories, &cache_) == ERROR_SUCCESS) {
        dir_ = cache_.get();
        name_ = CacheName(place_);
        file_.Reset(name_.empty() ? -1 : UnnamedFile(dir_));
    }
    held_.path = &paths_[1];
    failed_ = file_.get() < 0;
}

IndexBuilder::~IndexBuilder() = default;

namespace {
// True when record (path, begin) sorts after (last, last_begin); their paths
// share `shared` bytes, which leaves the rest to decide, as it would for the
// whole paths. Wine's order compares characters: from the start of one.
inline bool SortsAfter(KeyOrder order, std::string_view last, uint64_t last_begin, std::string_view path,
                       uint64_t begin, size_t shared) {
    if (order == KeyOrder::Wine)
        while (shared > 0 && shared < path.size() && (static_cast<unsigned char>(path[shared]) & 0xC0) == 0x80)
            shared--;
    int c = CompareKeyPaths(last.substr(shared), path.substr(shared), order);
    return c < 0 || (c == 0 && begin > last_begin);
}
}  // namespace

// A record goes on with the long run in hand when it sorts after the run's
// last; else it goes to the chunk, where it goes on with the short run
// there, or begins one. `own`, when given, holds the path and may be taken.
void IndexBuilder::Add(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind, std::string *own) {
    if (failed_)
        return;
    if (path.size() > kMaxPath) {
        failed_ = true;
        return;
    }
    records_++;
    removals_ = removals_ || kind == kRemoval;
    if (!blocks_ || !GoesOn(path, begin, end, kind, own))
        AddToChunkRun(path, begin, end, kind);
}

// The long run keeps its last record back (held_). A record that sorts
// after it goes on with the run. One that sorts before it but after the
// record before shows the held one to be out of place (a key moved up the
// file), which goes to the chunk instead, and the run goes on. False when
// the record fits neither way.
bool IndexBuilder::GoesOn(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind, std::string *own) {
    const std::string &held = *held_.path;
    size_t shared = CommonPrefix(held, path);
    if (SortsAfter(key_order_, held, held_.begin, path, begin, shared)) {
        failed_ = !blocks_->Add(held, held_.shared, held_.begin, held_.end, held_.kind);
        Hold(path, begin, end, kind, shared, own);
        return true;
    }
    const std::string &last = blocks_->last();
    shared = blocks_->records() ? CommonPrefix(last, path) : 0;
    if (blocks_->records() && !SortsAfter(key_order_, last, blocks_->last_begin(), path, begin, shared))
        return false;
    // The record takes the held one's place first: the chunk's run may grow
    // long with the held one and end this run.
    std::string out_of_place = held;
    uint64_t out_begin = held_.begin, out_end = held_.end;
    uint32_t out_kind = held_.kind;
    Hold(path, begin, end, kind, shared, own);
    AddToChunkRun(out_of_place, out_begin, out_end, out_kind);
    return true;
}

void IndexBuilder::Hold(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind, size_t shared,
                        std::string *own) {
    if (own == pending_)
        std::swap(pending_, held_.path);  // the open section's path, taken as it stands
    else
        held_.path->assign(path);
    held_.begin = begin;
    held_.end = end;
    held_.kind = kind;
    held_.shared = shared;
}

// A record for the chunk: it goes on with the short run there when it sorts
// after its last, else it begins one. A short run that grows long gets
// blocks of its own, and ends the long run in hand.
void IndexBuilder::AddToChunkRun(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind) {
    bool goes_on = false;
    if (order_.size() > run_from_) {
        const char *last = chunk_.data() + order_.back();
        goes_on = SortsAfter(key_order_, ChunkPath(last), ChunkBegin(last), path, begin,
                             CommonPrefix(ChunkPath(last), path));
    }
    if (!goes_on)
        run_from_ = order_.size();
    AddToChunk(path, begin, end, kind);
    if (order_.size() - run_from_ >= builder_sizes.long_run && runs_.size() < kMaxRuns)
        failed_ = failed_ || (blocks_ && !EndRun()) || !Promote();
    else if (chunk_.size() >= builder_sizes.chunk)
        failed_ = failed_ || !Spill();
}

void IndexBuilder::AddToChunk(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind) {
    if (chunk_.capacity() < builder_sizes.chunk)
        chunk_.reserve(builder_sizes.chunk + 4096);  // pages are taken only as they are written
    ChunkHead head{begin, end, kind, static_cast<uint32_t>(path.size())};
    order_.push_back(static_cast<uint32_t>(chunk_.size()));
    chunk_.append(reinterpret_cast<const char *>(&head), sizeof head);
    chunk_.append(path);
}

// The short run in hand has grown long: its records go from the chunk into
// blocks of their own after the runs in the file, and so will the records
// that go on with it.
bool IndexBuilder::Promote() {
    blocks_ = std::make_unique<Blocks>(file_.get(), seed_, *room_, file_end_);
    for (size_t i = run_from_; i + 1 < order_.size(); i++) {
        const char *record = chunk_.data() + order_[i];
        if (!blocks_->Add(ChunkPath(record), ChunkBegin(record), ChunkEnd(record), ChunkKind(record)))
            return false;
    }
    const char *last = chunk_.data() + order_.back();
    Hold(ChunkPath(last), ChunkBegin(last), ChunkEnd(last), ChunkKind(last),
         blocks_->records() ? CommonPrefix(blocks_->last(), ChunkPath(last)) : 0, nullptr);
    chunk_.resize(order_[run_from_]);
    order_.resize(run_from_);
    return true;
}

// The long run in hand is over, its held record with it: it waits in the
// file for the merge.
bool IndexBuilder::EndRun() {
    if (!blocks_->Add(*held_.path, held_.shared, held_.begin, held_.end, held_.kind) || !blocks_->Close())
        return false;
    file_end_ = blocks_->end();
    runs_.push_back(std::make_unique<Run>(Fd(), file_.get(), blocks_->starts(), blocks_->end(), blocks_->last(),
                                          blocks_->last_begin()));
    blocks_.reset();
    return true;
}

void IndexBuilder::Close(uint64_t at) {
    if (open_)
        Add(*pending_, pending_begin_, at, kSection, pending_);
    open_ = false;
}

void IndexBuilder::SectionLineAt(uint64_t begin) { Close(begin); }

bool IndexBuilder::Section(std::string_view path, uint64_t begin, uint64_t end) {
    if (pending_->size() != path.size())
        pending_->resize(path.size());
    if (!path.empty())
        memcpy(&(*pending_)[0], path.data(), path.size());
    pending_begin_ = begin;
    open_ = true;
    return wine_ && collect_facts_.Section(path, begin, end);
}

bool IndexBuilder::KeyAttribute(Attribute what, uint64_t begin, uint64_t end) {
    return wine_ && collect_facts_.KeyAttribute(what, begin, end);
}

void IndexBuilder::Found(Value &&value, uint64_t begin, uint64_t end) {
    if (wine_)
        collect_facts_.Found(std::move(value), begin, end);
}

void IndexBuilder::KeyRemoved(std::string_view path, uint64_t begin, uint64_t end) {
    Add(path, begin, end, kRemoval);
}

// Sorts the chunk a piece at a time, each piece few enough records to be
// sorted within the processor's cache, and puts each piece's records in
// their new order where the piece lies, so that the merge of the pieces
// reads each one straight on. Their runs, in order.
IndexBuilder::Runs IndexBuilder::SortPieces() {
    auto less = [this](uint32_t a, uint32_t b) {
        const char *x = chunk_.data() + a, *y = chunk_.data() + b;
        return RecordLess(key_order_, ChunkPath(x), ChunkBegin(x), ChunkPath(y), ChunkBegin(y));
    };
    Runs pieces;
    std::string sorted;
    for (size_t p = 0; p < order_.size(); p += builder_sizes.piece) {
        size_t q = std::min(order_.size(), p + builder_sizes.piece);
        size_t from = order_[p], to = q < order_.size() ? order_[q] : chunk_.size();
        auto first = order_.begin() + static_cast<ptrdiff_t>(p), last = order_.begin() + static_cast<ptrdiff_t>(q);
        if (!std::is_sorted(first, last, less)) {
            std::stable_sort(first, last, less);
            sorted.clear();
            for (auto at = first; at != last; ++at)
                sorted.append(chunk_.data() + *at, ChunkRecordSize(chunk_.data() + *at));
            memcpy(&chunk_[from], sorted.data(), sorted.size());
        }
        pieces.push_back(std::make_unique<Run>(chunk_.data() + from, chunk_.data() + to));
    }
    order_.clear();  // its places are those before the sort
    return pieces;
}

// Sorts the chunk and writes it to an unnamed file of its own, a run.
bool IndexBuilder::Spill() {
    if (spill_dir_.get() < 0) {
        const char *temp = getenv("TMPDIR");
        if (OpenDirectory(temp && *temp == '/' ? temp : "/tmp", kExistingDirectories, &spill_dir_))
            return false;
    }
    Fd fd(UnnamedFile(spill_dir_.get()));
    if (fd.get() < 0)
        return false;
    Runs pieces = SortPieces();
    std::vector<Run *> inputs;
    for (const auto &piece : pieces)
        inputs.push_back(piece.get());
    Blocks out(fd.get(), 0, *room_);
    if (!MergeInto(key_order_, inputs, out) || !out.Close())
        return false;
    int raw = fd.get();
    runs_.push_back(std::make_unique<Run>(std::move(fd), raw, out.starts(), out.end(), out.last(), out.last_begin()));
    chunk_.clear();
    run_from_ = 0;
    return true;
}

// Merges sorted runs into `out`. A block of a run whose records all sort
// before every other run's next record is copied whole; the rest go record
// by record.
bool IndexBuilder::MergeInto(KeyOrder order, const std::vector<Run *> &inputs, Blocks &out) {
    for (Run *input : inputs)
        input->Next();
    auto before = [&inputs, order](size_t a, size_t b) {
        const Run &x = *inputs[a], &y = *inputs[b];
        return !x.done() && (y.done() || RecordLess(order, x.path(), x.begin(), y.path(), y.begin()));
    };
    Tournament<decltype(before)> heads(inputs.size(), before);
    for (bool ok = true; !inputs.empty() && ok; heads.Replay()) {
        Run &run = *inputs[heads.Winner()];
        if (run.done())
            break;
        const char *records;
        size_t size, other;
        std::string_view bound;
        uint64_t bound_begin;
        if (run.WholeBlock(&records, &size, &bound, &bound_begin) &&
            ((other = heads.RunnerUp()) == inputs.size() || inputs[other]->done() ||
             RecordLess(order, bound, bound_begin, inputs[other]->path(), inputs[other]->begin()))) {
            ok = out.CopyBlock(records, size);
            run.SkipBlock();
        } else {
            ok = out.Add(run.path(), run.begin(), run.end(), run.kind());
            run.Next();
        }
        if (!ok)
            return false;
    }
    return std::none_of(inputs.begin(), inputs.end(), [](const Run *input) { return input->failed(); });
}

// The runs written and spilled and the chunk in hand, merged into a new
// file `out`.
bool IndexBuilder::Merge(Fd &out, std::unique_ptr<Blocks> &blocks) {
    if (blocks_ && !EndRun())
        return false;
    Runs pieces = SortPieces();
    std::vector<Run *> inputs;
    for (const auto &run : runs_)
        inputs.push_back(run.get());
    for (const auto &piece : pieces)
        inputs.push_back(piece.get());
    out.Reset(UnnamedFile(dir_));
    if (out.get() < 0)
        return false;
    blocks = std::make_unique<Blocks>(out.get(), seed_, *room_);
    return MergeInto(key_order_, inputs, *blocks);
}

namespace {

// A record of an index block, decoded.
struct Decoded {
    std::string path;
    uint64_t begin = 0, end = 0;
    uint32_t kind = 0;
};

// Block `b` of a run that file `fd` holds from `starts` on, its last block
// ending at `end`: its records, or only its first.
bool DecodeBlock(int fd, const std::vector<uint64_t> &starts, uint64_t end, size_t b, bool all,
                 std::vector<Decoded> *out) {
    uint64_t from = starts[b], to = b + 1 < starts.size() ? starts[b + 1] : end;
    std::vector<char> bytes(static_cast<size_t>(to - from));
    if (bytes.size() <= 8 || sys::Read(fd, bytes.data(), bytes.size(), static_cast<off_t>(from)) !=
                                 static_cast<ssize_t>(bytes.size()))
        return false;
    out->clear();
    uint64_t last_end = 0;
    std::string path;
    for (const char *p = bytes.data(), *stop = p + bytes.size() - 8; p < stop && (all || out->empty());) {
        Decoded record;
        if (!DecodeRecord(p, stop, out->empty(), path, last_end, &record.begin, &record.end, &record.kind))
            return false;
        record.path = path;
        out->push_back(std::move(record));
    }
    return !out->empty();
}

}  // namespace

// The block of run `run` where a record (path, begin) falls: the last whose
// first record sorts before it, the first when none does. Found by reading
// a few blocks' first records.
bool IndexBuilder::BlockOf(KeyOrder order, const Run &run, std::string_view path, uint64_t begin, size_t *block) {
    size_t low = 0, high = run.starts().size();
    std::vector<Decoded> first;
    while (high - low > 1) {
        size_t middle = low + (high - low) / 2;
        if (!DecodeBlock(run.fd(), run.starts(), run.end_of_blocks(), middle, false, &first))
            return false;
        if (RecordLess(order, first[0].path, first[0].begin, path, begin))
            low = middle;
        else
            high = middle;
    }
    *block = low;
    return true;
}

// One long run in the file and a few records beside it, as a hive in order
// but for a few keys leaves them: each of those goes into the run's block
// where it falls, written anew under its own number, one block however
// large, and the blocks between are copied as they are, in the kernel where
// it can, rather than decoded, checked and written again.
bool IndexBuilder::Splice(Fd &out, std::unique_ptr<Blocks> &blocks) {
    const Run &run = *runs_[0];
    std::vector<Decoded> aside, records;
    for (uint32_t at : order_) {
        const char *record = chunk_.data() + at;
        aside.push_back({std::string(ChunkPath(record)), ChunkBegin(record), ChunkEnd(record), ChunkKind(record)});
    }
    auto less = [this](const Decoded &a, const Decoded &b) {
        return RecordLess(key_order_, a.path, a.begin, b.path, b.begin);
    };
    std::sort(aside.begin(), aside.end(), less);
    out.Reset(UnnamedFile(dir_));
    if (out.get() < 0)
        return false;
    blocks = std::make_unique<Blocks>(out.get(), seed_, *room_);
    size_t copied = 0, block, next;  // blocks of the run written
    for (auto it = aside.begin(); it != aside.end();) {
        if (!BlockOf(key_order_, run, it->path, it->begin, &block) ||
            !blocks->CopyBlocks(run.fd(), run.starts(), run.end_of_blocks(), copied, block) ||
            !DecodeBlock(run.fd(), run.starts(), run.end_of_blocks(), block, true, &records))
            return false;
        auto from = it;
        while (it != aside.end() && BlockOf(key_order_, run, it->path, it->begin, &next) && next == block)
            ++it;
        std::vector<Decoded> merged(records.size() + static_cast<size_t>(it - from));
        std::merge(records.begin(), records.end(), from, it, merged.begin(), less);
        blocks->BlockSize(SIZE_MAX);
        for (const Decoded &record : merged)
            if (!blocks->Add(record.path, record.begin, record.end, record.kind))
                return false;
        blocks->BlockSize(builder_sizes.block);
        if (!blocks->EndBlock())
            return false;
        copied = block + 1;
    }
    return blocks->CopyBlocks(run.fd(), run.starts(), run.end_of_blocks(), copied, run.starts().size());
}

void IndexBuilder::Write(const ReadingFacts &facts) {
    Close(static_cast<uint64_t>(hive_.st_size));
    if (failed_ || facts.error || !Settled(hive_))
        return;
    // One run, that began at the header's place, or none at all: it is the
    // index.
    bool in_order = runs_.empty() && order_.empty();
    if (in_order && !blocks_)
        blocks_ = std::make_unique<Blocks>(file_.get(), seed_, *room_);  // no records at all
    else if (in_order && !blocks_->Add(*held_.path, held_.shared, held_.begin, held_.end, held_.kind))
        return;
    Fd merged;
    std::unique_ptr<Blocks> merged_blocks;
    if (!in_order) {
        if (blocks_ && !EndRun())
            return;
        bool few = runs_.size() == 1 && runs_[0]->fd() == file_.get() && order_.size() <= kSplice &&
                   chunk_.size() <= kSpliceBytes;
        if (!(few ? Splice(merged, merged_blocks) : Merge(merged, merged_blocks)))
            return;
    }
    Fd &file = in_order ? file_ : merged;
    Blocks &blocks = in_order ? *blocks_ : *merged_blocks;
    uint64_t directory, directory_check;
    if (!blocks.Finish(&directory, &directory_check))
        return;
    char header[kHeader] = {};
    memcpy(header, kMagic, sizeof kMagic);
    PutIdentity(header, hive_);
    PutLe32(header + kVerdict, static_cast<uint32_t>(facts.has_header ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT));
    PutLe32(header + kFlags, (facts.utf16 ? kUtf16 : 0) | (facts.wide_strings ? kWideStrings : 0) |
                               (removals_ ? kRemovals : 0) | (wine_ ? kWineOrder : 0));
    uint64_t end = blocks.end() + blocks.starts().size() * 8;
    if (wine_) {
        std::string bytes = FactsBytes(facts_);
        if (bytes.size() > kMaxFacts ||
            sys::WriteAt(file.get(), bytes.data(), bytes.size(), static_cast<off_t>(end)) !=
                static_cast<ssize_t>(bytes.size()))
            return;
        PutLe64(header + kFacts, end);
        PutLe64(header + kFactsSize, bytes.size());
        PutLe64(header + kFactsCheck, Mix(kMixBasis, bytes.data(), bytes.size()));
        end += bytes.size();
    }
    if (facts.passed_reason) {
        PutLe64(header + kLine, static_cast<uint64_t>(facts.passed_line));
        snprintf(header + kReason, kReasonSize, "%s", facts.passed_reason);
    }
    PutLe64(header + kCount, records_);
    PutLe64(header + kBlocks, blocks.starts().size());
    PutLe64(header + kDirectory, directory);
    PutLe64(header + kDirectoryCheck, directory_check);
    PutLe64(header + kCheck, Mix(kMixBasis, header, kCheck));
    if (sys::WriteAt(file.get(), header, kHeader, 0) != static_cast<ssize_t>(kHeader))
        return;
    // Root's index in a user's store is the user's, as root's other files
    // there are; the mode follows the hive's, without write bits for others.
    InheritOwner(dir_, nullptr, file.get());
    if (sys::Fchmod(file.get(), hive_.st_mode & 0644) == 0)
        Link(file.get(), end);
}

// Into place, under a shared lock on the hive, so that no writer is between
// removing the old index and renaming its new hive, and only while the hive
// that the index was made of still stands there and the space that its next
// write needs stays free. The old index (of another file) goes first; when
// another reader links its own meanwhile, that one stands.
void IndexBuilder::Link(int file, uint64_t size) {
    if (sys::Flock(hive_fd_, LOCK_SH | LOCK_NB) != 0)
        return;
    struct stat now;
    if (sys::FstatAt(place_.dir.get(), place_.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        SameFileVersion(now, hive_) && room_->Keeps(file, size, 0)) {
        char proc[64];
        snprintf(proc, sizeof proc, "/proc/self/fd/%d", file);
        sys::UnlinkAt(dir_, name_.c_str(), 0);
        sys::LinkAt(AT_FDCWD, proc, dir_, name_.c_str(), AT_SYMLINK_FOLLOW);
    }
    sys::Flock(hive_fd_, LOCK_UN);
}

namespace testing {

void SetIndexBuilderSizes(size_t chunk, size_t long_run, size_t piece, size_t block) {
    builder_sizes = chunk ? BuilderSizes{chunk, long_run, piece, block} : BuilderSizes();
}

bool SealIndex(std::string &bytes) {
    if (bytes.size() < kHeader)
        return false;
    char *h = &bytes[0];
    uint64_t seed = Seed(h), blocks = GetLe64(h + kBlocks), directory = GetLe64(h + kDirectory);
    if (directory <= bytes.size() && blocks <= (bytes.size() - directory) / 8) {
        for (uint64_t b = 0; b < blocks; b++) {
            uint64_t start = GetLe64(h + directory + 8 * b);
            uint64_t end = b + 1 < blocks ? GetLe64(h + directory + 8 * (b + 1)) : directory;
            if (start < end && end <= directory && end - start >= 8)
                PutLe64(h + end - 8, BlockCheck(seed, b, h + start, static_cast<size_t>(end - start - 8)));
        }
        PutLe64(h + kDirectoryCheck, Mix(kMixBasis, h + directory, bytes.size() - directory));
    }
    PutLe64(h + kCheck, Mix(kMixBasis, h, kCheck));
    return true;
}

}  // namespace testing
}  // namespace winshim
