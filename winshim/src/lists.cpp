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

void ValueList::Add(Value &&value, uint64_t begin, uint64_t end) {
    std::string key = UpperCopy(value.name);
    places_[key].emplace_back(begin, end);
    auto it = index_.find(key);
    if (it != index_.end()) {
        values_[it->second].type = value.type;
        values_[it->second].data = std::move(value.data);
        return;
    }
    index_.emplace(std::move(key), values_.size());
    values_.push_back(std::move(value));
}

void ValueList::Remove(std::string_view name, uint64_t begin, uint64_t end) {
    std::string key = UpperCopy(name);
    places_[key].emplace_back(begin, end);
    auto it = index_.find(key);
    if (it == index_.end())
        return;
    size_t gone = it->second;
    values_.erase(values_.begin() + static_cast<ptrdiff_t>(gone));
    index_.erase(it);
    for (auto &entry : index_)
        if (entry.second > gone)
            entry.second--;
}

void ValueList::Clear() {
    values_.clear();
    index_.clear();
    places_.clear();
}

const ValueList::Places *ValueList::PlacesOf(std::string_view name) const {
    auto it = places_.find(UpperCopy(name));
    return it == places_.end() ? nullptr : &it->second;
}

int CompareNames(std::string_view a, std::string_view b, KeyOrder order) {
    if (order == KeyOrder::Wine)
        return CompareWine(a, b, false);
    return LessUpper(a, b) ? -1 : LessUpper(b, a) ? 1 : 0;
}

int CompareKeyPaths(std::string_view a, std::string_view b, KeyOrder order) {
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

}  // namespace winshim
