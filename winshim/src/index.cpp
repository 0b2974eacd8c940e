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

#include "index.h"
#include "testing.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <queue>

#include <sys/file.h>

#include <fcntl.h>
#include <unistd.h>

namespace winshim {
namespace {

constexpr size_t kHeader = 256;
constexpr char kMagic[8] = {'W', 'S', 'H', 'I', 'X', '0', '0', '3'};
constexpr uint64_t kLargeHive = 1u << 20;
constexpr size_t kBlock = 4096;         // a block is closed once it holds this much
constexpr size_t kChunk = 8u << 20;     // records sorted in memory at a time
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

// A serialized record of a chunk: length, path, begin, end, kind.
std::string_view ChunkPath(const std::string &chunk, uint32_t at) {
    return std::string_view(chunk).substr(at + 4, GetLe32(&chunk[at]));
}
uint64_t ChunkBegin(const std::string &chunk, uint32_t at) { return GetLe64(&chunk[at + 4 + GetLe32(&chunk[at])]); }

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

// Records written in order into blocks, each closed with its check, and at
// the end the directory of the blocks. The file's first kHeader bytes are
// left for the header.
class IndexBuilder::Blocks {
public:
    Blocks(int fd, uint64_t seed, const Room &room, KeyOrder order)
        : fd_(fd), seed_(seed), room_(room), order_(order) {
        block_.reserve(kBlock + 64);
    }

    // Adds a record; with `in_order`, only one that sorts after the last
    // (Out when it does not, and nothing is added).
    enum Outcome { Added, Out, Failed };
    Outcome Add(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind, bool in_order) {
        size_t shared = CommonPrefix(last_, path);
        if (in_order && has_last_) {
            // Equal up to `shared` (a whole character): the rest decides, as
            // it would for the whole paths.
            size_t from = shared;
            while (from > 0 && (static_cast<unsigned char>(path[from]) & 0xC0) == 0x80)
                from--;
            int c = CompareKeyPaths(std::string_view(last_).substr(from), path.substr(from), order_);
            if (c > 0 || (c == 0 && begin <= last_begin_))
                return Out;
        }
        if (block_.size() >= kBlock && !CloseBlock())
            return Failed;
        bool first = block_.empty();
        if (first)
            shared = 0;
        char numbers[40];
        size_t n = PutVarint(numbers, uint64_t(shared) << 1 | kind);
        n += PutVarint(numbers + n, path.size() - shared);
        block_.append(numbers, n);
        block_.append(path.data() + shared, path.size() - shared);
        uint64_t from = first ? 0 : last_end_;
        n = PutVarint(numbers, begin >= from ? (begin - from) << 1 : (from - begin) << 1 | 1);
        n += PutVarint(numbers + n, end - begin);
        block_.append(numbers, n);
        if (shared < last_.size())
            last_.resize(shared);
        last_.append(path.data() + last_.size(), path.size() - last_.size());
        last_end_ = end;
        last_begin_ = begin;
        has_last_ = true;
        return Added;
    }

    // The last block and the directory; where the directory lies, and its check.
    bool Finish(uint64_t *directory, uint64_t *check) {
        if (!block_.empty() && !CloseBlock())
            return false;
        *directory = offset_;
        std::string bytes(starts_.size() * 8, '\0');
        for (size_t i = 0; i < starts_.size(); i++)
            PutLe64(&bytes[8 * i], starts_[i]);
        *check = Mix(kMixBasis, bytes.data(), bytes.size());
        out_ += bytes;
        return Flush();
    }
    const std::vector<uint64_t> &starts() const { return starts_; }
    uint64_t end() const { return offset_; }

private:
    bool CloseBlock() {
        char check[8];
        PutLe64(check, BlockCheck(seed_, starts_.size(), block_.data(), block_.size()));
        block_.append(check, 8);
        starts_.push_back(offset_);
        offset_ += block_.size();
        out_ += block_;
        block_.clear();
        return out_.size() < (1u << 18) || Flush();
    }
    bool Flush() {
        if (!started_)
            out_.insert(0, std::string(kHeader, '\0'));  // the header's place, written over at the end
        started_ = true;
        bool ok = room_.Keeps(fd_, written_, out_.size()) && sys::WriteAll(fd_, out_.data(), out_.size()) == 0;
        written_ += out_.size();
        out_.clear();
        return ok;
    }

    int fd_;
    uint64_t seed_;
    const Room &room_;
    KeyOrder order_;
    uint64_t written_ = 0;
    std::string block_, out_;  // the block being filled; blocks not yet written
    std::string last_;         // the path of the record before
    uint64_t last_end_ = 0, last_begin_ = 0, offset_ = kHeader;
    bool has_last_ = false;  // a record was added: last_ and last_begin_ are its
    std::vector<uint64_t> starts_;
    bool started_ = false;
};

// Sorted records to merge: the blocks of a file, or the sorted chunk in
// memory. The record in hand is the run's next.
struct IndexBuilder::Run {
    Fd fd;
    std::vector<uint64_t> starts;
    uint64_t end = 0;
    size_t next_block = 0;
    std::vector<char> block;
    const char *at = nullptr, *stop = nullptr;
    uint64_t last_end = 0;
    const IndexBuilder *memory = nullptr;
    size_t next_record = 0;
    // The record in hand.
    std::string path;
    uint64_t begin = 0, stop_at = 0;
    uint32_t kind = 0;

    // The next record; false at the end (or where the run cannot be read).
    bool Next() {
        if (memory) {
            if (next_record == memory->order_.size())
                return false;
            uint32_t offset = memory->order_[next_record++];
            path.assign(ChunkPath(memory->chunk_, offset));
            const char *tail = &memory->chunk_[offset + 4 + path.size()];
            begin = GetLe64(tail);
            stop_at = GetLe64(tail + 8);
            kind = GetLe32(tail + 16);
            return true;
        }
        bool first = false;
        if (at == stop) {
            if (next_block == starts.size())
                return false;
            uint64_t from = starts[next_block], to = next_block + 1 < starts.size() ? starts[next_block + 1] : end;
            block.resize(static_cast<size_t>(to - from));
            if (sys::Read(fd.get(), block.data(), block.size(), static_cast<off_t>(from)) !=
                static_cast<ssize_t>(block.size()))
                return false;
            next_block++;
            at = block.data();
            stop = block.data() + block.size() - 8;
            last_end = 0;
            first = true;
        }
        return DecodeRecord(at, stop, first, path, last_end, &begin, &stop_at, &kind);
    }
};

IndexBuilder::IndexBuilder(const Hive &file, const Place &hive_place, int hive_fd, const struct stat &hive)
    : place_(hive_place), hive_fd_(hive_fd), key_order_(file.wine() ? KeyOrder::Wine : KeyOrder::Windows),
      wine_(file.wine()), hive_(hive),
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
    if (file_.get() < 0)
        failed_ = true;
    else
        blocks_ = std::make_unique<Blocks>(file_.get(), IdentitySeed(hive_), *room_, key_order_);
}

IndexBuilder::~IndexBuilder() = default;

void IndexBuilder::Add(std::string_view path, uint64_t begin, uint64_t end, uint32_t kind) {
    if (failed_)
        return;
    if (path.size() > kMaxPath) {
        failed_ = true;
        return;
    }
    records_++;
    removals_ = removals_ || kind == kRemoval;
    if (sorted_) {
        Blocks::Outcome added = blocks_->Add(path, begin, end, kind, true);
        if (added == Blocks::Failed)
            failed_ = true;
        if (added != Blocks::Out)
            return;
    }
    sorted_ = false;
    if (chunk_.capacity() < kChunk)
        chunk_.reserve(kChunk + 4096);
    char number[8];
    order_.push_back(static_cast<uint32_t>(chunk_.size()));
    PutLe32(number, static_cast<uint32_t>(path.size()));
    chunk_.append(number, 4);
    chunk_.append(path);
    PutLe64(number, begin);
    chunk_.append(number, 8);
    PutLe64(number, end);
    chunk_.append(number, 8);
    PutLe32(number, kind);
    chunk_.append(number, 4);
    if (chunk_.size() >= kChunk && !Spill())
        failed_ = true;
}

void IndexBuilder::Close(uint64_t at) {
    if (open_)
        Add(pending_, pending_begin_, at, kSection);
    open_ = false;
}

void IndexBuilder::SectionLineAt(uint64_t begin) { Close(begin); }

bool IndexBuilder::Section(std::string_view path, uint64_t begin, uint64_t end) {
    pending_.assign(path);
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

void IndexBuilder::SortChunk() {
    auto less = [this](uint32_t a, uint32_t b) {
        return RecordLess(key_order_, ChunkPath(chunk_, a), ChunkBegin(chunk_, a), ChunkPath(chunk_, b),
                          ChunkBegin(chunk_, b));
    };
    if (!std::is_sorted(order_.begin(), order_.end(), less))
        std::sort(order_.begin(), order_.end(), less);
}

// Sorts the chunk and writes it to an unnamed file of its own.
bool IndexBuilder::Spill() {
    SortChunk();
    Run run;
    if (spill_dir_.get() < 0) {
        const char *temp = getenv("TMPDIR");
        if (OpenDirectory(temp && *temp == '/' ? temp : "/tmp", kExistingDirectories, &spill_dir_))
            return false;
    }
    run.fd.Reset(UnnamedFile(spill_dir_.get()));
    if (run.fd.get() < 0)
        return false;
    Blocks out(run.fd.get(), 0, *room_, key_order_);
    for (uint32_t at : order_) {
        std::string_view path = ChunkPath(chunk_, at);
        const char *tail = &chunk_[at + 4 + path.size()];
        if (out.Add(path, GetLe64(tail), GetLe64(tail + 8), GetLe32(tail + 16), false) != Blocks::Added)
            return false;
    }
    uint64_t directory, check;
    if (!out.Finish(&directory, &check))
        return false;
    run.starts = out.starts();
    run.end = directory;
    runs_.push_back(std::move(run));
    chunk_.clear();
    order_.clear();
    return true;
}

// The records written in order, the runs spilled and the chunk in hand,
// merged into a new file `out`.
bool IndexBuilder::Merge(Fd &out, std::unique_ptr<Blocks> &blocks) {
    uint64_t directory, check;
    if (!blocks_->Finish(&directory, &check))
        return false;
    Run written;
    written.fd = std::move(file_);
    written.starts = blocks_->starts();
    written.end = directory;
    runs_.push_back(std::move(written));
    SortChunk();
    Run memory;
    memory.memory = this;
    runs_.push_back(std::move(memory));
    out.Reset(UnnamedFile(dir_));
    if (out.get() < 0)
        return false;
    blocks = std::make_unique<Blocks>(out.get(), IdentitySeed(hive_), *room_, key_order_);
    auto later = [this](size_t a, size_t b) {
        return RecordLess(key_order_, runs_[b].path, runs_[b].begin, runs_[a].path, runs_[a].begin);
    };
    std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heads(later);
    for (size_t r = 0; r < runs_.size(); r++)
        if (runs_[r].Next())
            heads.push(r);
    uint64_t merged = 0;
    while (!heads.empty()) {
        size_t r = heads.top();
        heads.pop();
        if (blocks->Add(runs_[r].path, runs_[r].begin, runs_[r].stop_at, runs_[r].kind, false) != Blocks::Added)
            return false;
        merged++;
        if (runs_[r].Next())
            heads.push(r);
    }
    return merged == records_;
}

void IndexBuilder::Write(const ReadingFacts &facts) {
    Close(static_cast<uint64_t>(hive_.st_size));
    if (failed_ || facts.error || !Settled(hive_))
        return;
    Fd merged;
    std::unique_ptr<Blocks> merged_blocks;
    if (!sorted_ && !Merge(merged, merged_blocks))
        return;
    Fd &file = sorted_ ? file_ : merged;
    Blocks &blocks = sorted_ ? *blocks_ : *merged_blocks;
    uint64_t directory, directory_check;
    if (!blocks.Finish(&directory, &directory_check))
        return;
    char header[kHeader] = {};
    memcpy(header, kMagic, sizeof kMagic);
    PutIdentity(header, hive_);
    PutLe32(header + kVerdict, static_cast<uint32_t>(facts.has_header ? ERROR_SUCCESS : ERROR_REGISTRY_CORRUPT));
    PutLe32(header + kFlags, (facts.utf16 ? kUtf16 : 0) | (facts.wide_strings ? kWideStrings : 0) |
                               (removals_ ? kRemovals : 0) | (wine_ ? kWineOrder : 0));
    uint64_t end = directory + blocks.starts().size() * 8;
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
