// The lists a key's reading fills: names end to end in blocks, sorted as
// Windows enumerates subkeys, and values in file order with where each
// definition stands.

#include "lists.h"

#include "wine.h"

#include <algorithm>
#include <cstring>

namespace winshim {

void NameList::Add(std::string_view name) {
    if (blocks_.empty() || blocks_.back().size() + name.size() + 1 > blocks_.back().capacity()) {
        blocks_.emplace_back();
        blocks_.back().reserve(name.size() + 1 > kBlock ? name.size() + 1 : kBlock);
    }
    blocks_.back().append(name);
    blocks_.back() += '\0';
}

void NameList::Remove(std::string_view name) {
    NameList kept;
    for (const std::string &block : blocks_)
        for (size_t at = 0; at < block.size();) {
            std::string_view each(block.data() + at);
            if (!EqualNoCase(each, name))
                kept.Add(each);
            at += each.size() + 1;
        }
    *this = std::move(kept);
}

void NameList::KeepOrder() {
    size_t count = 0;
    for (const std::string &block : blocks_)
        count += static_cast<size_t>(std::count(block.begin(), block.end(), '\0'));
    starts_.clear();
    starts_.reserve(count);
    for (size_t b = 0; b < blocks_.size(); b++)
        for (size_t at = 0; at < blocks_[b].size(); at += strlen(blocks_[b].data() + at) + 1)
            starts_.push_back(static_cast<uint32_t>(b * kBlock + at));
}

void NameList::Sort(KeyOrder order) {
    KeepOrder();
    // By name, then by place: the first spelling of a name stays first.
    // Exports list keys sorted already, which costs one pass to see.
    auto less = [this, order](uint32_t a, uint32_t b) {
        int c = CompareNames(At(a), At(b), order);
        return c < 0 || (c == 0 && a < b);
    };
    if (!std::is_sorted(starts_.begin(), starts_.end(), less))
        std::sort(starts_.begin(), starts_.end(), less);
    size_t kept = 0;
    for (size_t i = 0; i < starts_.size(); i++)
        if (kept == 0 || !EqualNoCase(At(starts_[kept - 1]), At(starts_[i])))
            starts_[kept++] = starts_[i];
    starts_.resize(kept);
}

namespace {
// A hash of a name that names equal without regard to case share.
size_t HashNoCase(std::string_view name) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : name)
        h = (h ^ static_cast<unsigned char>(Upper(c))) * 0x100000001b3ull;
    return static_cast<size_t>(h ^ h >> 32);
}
}  // namespace

void ValueList::Add(Value &&value, uint64_t begin, uint64_t end) {
    if (keep_places_)
        places_.push_back({UpperCopy(value.name), begin, end});
    if (2 * (values_.size() + 1) > table_.size())
        Rehash(table_.empty() ? 16 : 2 * table_.size());
    size_t slot = Slot(value.name);
    if (table_[slot]) {
        Value &old = values_[table_[slot] - 1];
        old.type = value.type;
        old.data = std::move(value.data);
        return;
    }
    table_[slot] = static_cast<uint32_t>(values_.size() + 1);
    values_.push_back(std::move(value));
}

void ValueList::Remove(std::string_view name, uint64_t begin, uint64_t end) {
    if (keep_places_)
        places_.push_back({UpperCopy(name), begin, end});
    if (values_.empty())
        return;
    size_t slot = Slot(name);
    if (!table_[slot])
        return;
    values_.erase(values_.begin() + static_cast<ptrdiff_t>(table_[slot] - 1));
    Rehash(table_.size());
}

void ValueList::Clear() {
    values_.clear();
    table_.clear();
    places_.clear();
}

const ValueList::Places *ValueList::PlacesOf(std::string_view name) const {
    std::string upper = UpperCopy(name);
    found_.clear();
    for (const Place &place : places_)
        if (place.name == upper)
            found_.emplace_back(place.begin, place.end);
    return found_.empty() ? nullptr : &found_;
}

// The slot of the table where the value named `name` stands, or the empty
// one where it would.
size_t ValueList::Slot(std::string_view name) const {
    size_t mask = table_.size() - 1;
    for (size_t slot = HashNoCase(name) & mask;; slot = (slot + 1) & mask)
        if (!table_[slot] || EqualNoCase(values_[table_[slot] - 1].name, name))
            return slot;
}

void ValueList::Rehash(size_t slots) {
    table_.assign(slots, 0);
    for (size_t i = 0; i < values_.size(); i++)
        table_[Slot(values_[i].name)] = static_cast<uint32_t>(i + 1);
}

int CompareNames(std::string_view a, std::string_view b, KeyOrder order) {
    if (order == KeyOrder::Wine)
        return CompareWine(a, b, false);
    return LessUpper(a, b) ? -1 : LessUpper(b, a) ? 1 : 0;
}

}  // namespace winshim
