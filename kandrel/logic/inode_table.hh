// A table of sockets by inode: open addressing with linear probing over an
// array of a power-of-two capacity that the caller provides (the preloaded
// library keeps it in pages it maps), never more than half full, so that
// every lookup ends soon. Erasing moves the later entries of its run back,
// so no marker of erased entries is ever needed.
#pragma once

#include <cstddef>
#include <cstdint>

template <typename Value>
struct inode_entry {
    std::uint64_t inode;  // 0: a free place
    Value value;
};

template <typename Value>
class inode_table {
public:
    constexpr inode_table() = default;

    // Takes over entries, capacity of them, zeroed; capacity a power of two.
    void attach(inode_entry<Value> *entries, std::size_t capacity)
    {
        entries_ = entries;
        capacity_ = capacity;
    }
    bool attached() const { return entries_ != nullptr; }

    // The entry of inode (not 0), or null.
    inode_entry<Value> *find(std::uint64_t inode) const
    {
        inode_entry<Value> *place = place_of(inode);
        return place != nullptr && place->inode == inode ? place : nullptr;
    }

    // The entry of inode, added with a zeroed value when absent; null when
    // the table is half full.
    inode_entry<Value> *find_or_add(std::uint64_t inode)
    {
        inode_entry<Value> *place = place_of(inode);
        if (place == nullptr || place->inode == inode) {
            return place;
        }
        if (2 * (size_ + 1) > capacity_) {
            return nullptr;
        }
        *place = {inode, Value{}};
        ++size_;
        return place;
    }

    void erase(inode_entry<Value> *entry)
    {
        std::size_t hole = static_cast<std::size_t>(entry - entries_);
        entries_[hole] = {};
        --size_;
        for (std::size_t i = next(hole); entries_[i].inode != 0; i = next(i)) {
            // An entry may fill the hole unless its home lies after the hole
            // and no further than its place, going round the end.
            std::size_t home = home_of(entries_[i].inode);
            bool home_after_hole = hole < i ? (home > hole && home <= i) : (home > hole || home <= i);
            if (!home_after_hole) {
                entries_[hole] = entries_[i];
                entries_[i] = {};
                hole = i;
            }
        }
    }

    std::size_t size() const { return size_; }

private:
    std::size_t home_of(std::uint64_t inode) const
    {
        return static_cast<std::size_t>((inode * 0x9E3779B97F4A7C15ull) >> 32) & (capacity_ - 1);
    }
    std::size_t next(std::size_t i) const { return (i + 1) & (capacity_ - 1); }

    // The place of inode, or the free place where it would go.
    inode_entry<Value> *place_of(std::uint64_t inode) const
    {
        if (entries_ == nullptr) {
            return nullptr;
        }
        for (std::size_t i = home_of(inode);; i = next(i)) {
            if (entries_[i].inode == inode || entries_[i].inode == 0) {
                return &entries_[i];
            }
        }
    }

    inode_entry<Value> *entries_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t size_ = 0;
};
