// A key's names and values as the reader collects them: the list of its
// subkeys, and of its values in file order.
#pragma once

#include "internal.h"
#include "wine.h"

namespace winshim {

// How a hive's keys and values are ordered: as Windows enumerates subkeys
// (names in upper case, byte by byte), or as Wine keeps both keys and values
// (UTF-16 units folded to lower case, so '_' comes before the letters).
enum class KeyOrder { Windows, Wine };

// Negative, zero or positive as `a` sorts before, with or after `b`. Paths
// compare a name at a time, so that a key's subtree follows it.
int CompareNames(std::string_view a, std::string_view b, KeyOrder order);
// Inline: the index's sorts and merges compare millions of paths.
inline int CompareKeyPaths(std::string_view a, std::string_view b, KeyOrder order) {
    if (order == KeyOrder::Wine)
        return CompareWine(a, b, true);
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = CommonPrefix(a, b); i < n; i++) {
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

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::string data;
};

// Names kept end to end in one block, each ended by a NUL (no name holds
// one), in the order RegEnumKeyA lists them: a key may have hundreds of
// thousands of subkeys, and a string each would cost many times their bytes.
class NameList {
public:
    void Add(std::string_view name);
    // Takes out every name equal to `name` without regard to case.
    void Remove(std::string_view name);
    // Sorts as the hive's order has it; of names equal without regard to
    // case, the one added first stays.
    void Sort(KeyOrder order);
    // For names added in that order already, each once.
    void KeepOrder();
    size_t size() const { return starts_.size(); }
    std::string_view operator[](size_t i) const { return At(starts_[i]); }

    class Iterator {
    public:
        Iterator(const NameList *list, size_t i) : list_(list), i_(i) {}
        std::string_view operator*() const { return (*list_)[i_]; }
        Iterator &operator++() {
            i_++;
            return *this;
        }
        bool operator!=(const Iterator &other) const { return i_ != other.i_; }

    private:
        const NameList *list_;
        size_t i_;
    };
    Iterator begin() const { return Iterator(this, 0); }
    Iterator end() const { return Iterator(this, size()); }

private:
    // Blocks that never move, so that a long list grows without copying.
    static constexpr size_t kBlock = 1u << 20;
    std::string_view At(uint32_t start) const {
        return std::string_view(blocks_[start / kBlock].data() + start % kBlock);
    }
    std::vector<std::string> blocks_;
    std::vector<uint32_t> starts_;  // where each name begins (block and offset), sorted by Sort()
};

// A key's values in file order, a name defined twice keeping its first place
// and its last data, and where in the file each definition stands.
class ValueList {
public:
    using Places = std::vector<std::pair<uint64_t, uint64_t>>;
    // `places`: keep where each value is defined, for PlacesOf (a writer's
    // need).
    explicit ValueList(bool places = true) : keep_places_(places) {}
    void Add(Value &&value, uint64_t begin, uint64_t end);
    // Room for about `count` values, so that a long list is not moved as it
    // grows (a move of a list of thousands of values cost more than their
    // reading).
    void Reserve(size_t count) { values_.reserve(count); }
    // A removal ("name"=-): the value is gone, and a later one of that name
    // is a new value, at the end. Its place stays with the name's others, so
    // that a writer can take the removal away with them.
    void Remove(std::string_view name, uint64_t begin, uint64_t end);
    // The key removed: nothing of it is left.
    void Clear();
    const std::vector<Value> &values() const { return values_; }
    std::vector<Value> &&Take() { return std::move(values_); }
    // Where the value named is defined or removed since the key last came
    // into being; null when no such line stands in the key's sections (or
    // places are not kept).
    const Places *PlacesOf(std::string_view name) const;

private:
    // A list of many values (the print server's forms) is read often, so a
    // value is found by its name through a table of the names hashed in
    // upper case, and the places of all the values are kept in one list.
    size_t Slot(std::string_view name) const;
    void Rehash(size_t slots);
    struct Place {
        std::string name;  // in upper case
        uint64_t begin, end;
    };

    std::vector<Value> values_;
    std::vector<uint32_t> table_;  // linear probing: a value's place in values_ and 1, or 0 for none
    bool keep_places_;
    std::vector<Place> places_;  // in file order
    mutable Places found_;       // what PlacesOf gave last
};

// What reading one key gives: its direct subkeys in enumeration order and its
// values in file order (a name defined twice keeps its first place and its
// last data).
struct KeyData {
    NameList subkeys;
    std::vector<Value> values;
    bool has_subkeys = true;  // false: not read yet (a lookup that left them)
    bool link = false;        // a Wine link key ("#link"): its SymbolicLinkValue names the key it stands for
};

}  // namespace winshim
