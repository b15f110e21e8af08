#include <gtest/gtest.h>
#include <cstdint>
#include <set>
#include <vector>
#include "base/ObjectPool.h"

// Blocks fill in turn, slots are reused, and a block whose objects are all released goes back
// (all but the last), with the rest still intact.
TEST(ObjectPool, ReusesSlotsAndReturnsEmptyBlocks)
{
    qv::ObjectPool pool(40, 64, 4);
    std::vector<void*> p;
    for (int i = 0; i < 10; ++i) p.push_back(pool.allocate());
    EXPECT_EQ(pool.blocks(), 3u);
    std::set<void*> distinct(p.begin(), p.end());
    EXPECT_EQ(distinct.size(), p.size());
    for (void* x : p) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(x) % 64, 0u);
        *static_cast<std::uint64_t*>(x) = reinterpret_cast<std::uintptr_t>(x);
    }
    // Empty the second block (objects 4 to 7) out of order: it goes.
    for (int i : {6, 4, 7, 5}) pool.release(p[i]);
    EXPECT_EQ(pool.blocks(), 2u);
    // A released slot of a full block is handed out again.
    pool.release(p[1]);
    void* again = pool.allocate();
    EXPECT_EQ(again, p[1]);
    for (int i : {0, 2, 3, 8, 9})
        EXPECT_EQ(*static_cast<std::uint64_t*>(p[i]), reinterpret_cast<std::uintptr_t>(p[i]));
    for (int i : {0, 2, 3, 8, 9}) pool.release(p[i]);
    pool.release(again);
    EXPECT_EQ(pool.blocks(), 1u); // the last block stays for the next item
    void* fresh = pool.allocate();
    EXPECT_NE(fresh, nullptr);
    pool.release(fresh);
}
