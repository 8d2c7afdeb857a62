// The table of sockets by inode against a plain map, through runs of adds
// and erases in a small table, where runs of entries collide and wrap round
// its end: every entry stays found, no erased one is, and the table takes no
// more than half its capacity.
#include "inode_table.hh"

#include <map>
#include <random>

#include <gtest/gtest.h>

namespace {

TEST(InodeTable, AgreesWithAMapThroughAddsAndErases)
{
    constexpr std::size_t capacity = 16;
    for (unsigned seed = 1; seed <= 200; ++seed) {
        inode_entry<int> entries[capacity] = {};
        inode_table<int> table;
        table.attach(entries, capacity);
        std::map<std::uint64_t, int> model;
        std::mt19937 random(seed);
        for (int step = 0; step < 200; ++step) {
            std::uint64_t inode = 1 + random() % 24;
            if (random() % 2 == 0) {
                auto *entry = table.find_or_add(inode);
                if (model.count(inode) == 0 && model.size() + 1 > capacity / 2) {
                    ASSERT_EQ(entry, nullptr) << "seed " << seed;
                    continue;
                }
                ASSERT_NE(entry, nullptr) << "seed " << seed;
                entry->value = step;
                model[inode] = step;
            } else if (auto *entry = table.find(inode)) {
                ASSERT_EQ(model.erase(inode), 1u) << "seed " << seed;
                table.erase(entry);
            }
            ASSERT_EQ(table.size(), model.size());
            for (std::uint64_t each = 1; each <= 24; ++each) {
                auto *entry = table.find(each);
                ASSERT_EQ(entry != nullptr, model.count(each) == 1) << "seed " << seed << " inode " << each;
                if (entry != nullptr) {
                    ASSERT_EQ(entry->value, model[each]);
                }
            }
        }
    }
}

}  // namespace
