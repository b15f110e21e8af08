// The address-space tree walks behind browsing: organization, positions, listings, filters.
#include <string>
#include <vector>
#include "TestSupport.h"
#include "addrspace/AddressTree.h"
#include "qvopc.h"

using namespace qv;
using Strings = std::vector<std::string>;

namespace {

class BrowseTree : public qvtest::StoreTest {
protected:
    DWORD add(const char* name, VARIANT v, bool writeable = true)
    {
        DWORD h = App().tags.create(name, v, 0xC0, writeable);
        VariantClear(&v);
        EXPECT_NE(h, kInvalidTagHandle) << name;
        return h;
    }
    Strings list(const Strings& pos, DWORD type, const std::string& filter = "", VARTYPE vt = VT_EMPTY, DWORD rights = 0)
    {
        LockGuard g(App().globalLock);
        Strings out;
        AddressTree::current().listChildren(pos, type, LeafFilter(filter, vt, rights), out);
        return out;
    }
    DWORD organization()
    {
        LockGuard g(App().globalLock);
        return AddressTree::current().organization();
    }
    const OPCTag* byName(const std::string& path, bool* leaf = nullptr)
    {
        LockGuard g(App().globalLock);
        return AddressTree::current().nodeByName(path, leaf);
    }
};

} // namespace

TEST_F(BrowseTree, HierarchicalListingsFollowCreationOrder)
{
    add("Plant.Line.Flow", qvtest::vR8(1));
    add("Plant.Line.Level", qvtest::vR8(2), false);
    add("Tank1", qvtest::vR4(3));
    EXPECT_EQ(organization(), static_cast<DWORD>(OPC_NS_HIERARCHIAL));
    EXPECT_EQ(list({}, OPC_BRANCH), Strings{"Plant"});
    EXPECT_EQ(list({}, OPC_LEAF), Strings{"Tank1"});
    EXPECT_EQ(list({"Plant"}, OPC_BRANCH), Strings{"Line"});
    EXPECT_EQ(list({"Plant", "Line"}, OPC_LEAF), (Strings{"Flow", "Level"}));
    EXPECT_EQ(list({}, OPC_FLAT), (Strings{"Plant.Line.Flow", "Plant.Line.Level", "Tank1"}));
    EXPECT_EQ(list({"Plant"}, OPC_FLAT), (Strings{"Plant.Line.Flow", "Plant.Line.Level"}));
    // Filters are matched against the full name.
    EXPECT_TRUE(list({"Plant", "Line"}, OPC_LEAF, "Flow").empty());
    EXPECT_EQ(list({"Plant", "Line"}, OPC_LEAF, "*Flow"), Strings{"Flow"});
    EXPECT_EQ(list({"Plant", "Line"}, OPC_LEAF, "", VT_EMPTY, 1), Strings{"Level"});
    EXPECT_EQ(list({"Plant", "Line"}, OPC_LEAF, "", VT_EMPTY, 3), Strings{"Flow"});
    EXPECT_TRUE(list({"Plant", "Line"}, OPC_LEAF, "", VT_EMPTY, 2).empty());
    // Filters never apply to branches; unknown browse types list nothing.
    EXPECT_EQ(list({}, OPC_BRANCH, "nomatch", VT_BSTR, 3), Strings{"Plant"});
    EXPECT_TRUE(list({}, 0).empty());
    EXPECT_TRUE(list({}, 4).empty());

    // Creation order, not sorted order.
    add("Zeta.b", qvtest::vI4(0));
    add("Alpha.a", qvtest::vI4(0));
    add("Zeta.a", qvtest::vI4(0));
    EXPECT_EQ(list({}, OPC_BRANCH), (Strings{"Plant", "Zeta", "Alpha"}));
    EXPECT_EQ(list({"Zeta"}, OPC_LEAF), (Strings{"b", "a"}));
    EXPECT_EQ(list({}, OPC_FLAT, "*.a"), (Strings{"Zeta.a", "Alpha.a"}));
}

TEST_F(BrowseTree, FlatSpaceAndTypeFilters)
{
    add("Total", qvtest::vI4(1));
    add("Speed", qvtest::vR4(1), false);
    EXPECT_EQ(organization(), static_cast<DWORD>(OPC_NS_FLAT));
    EXPECT_EQ(list({}, OPC_FLAT), (Strings{"Total", "Speed"}));
    EXPECT_EQ(list({}, OPC_LEAF, "", VT_R4), Strings{"Speed"});
    EXPECT_EQ(list({}, OPC_FLAT, "", VT_I4, 3), Strings{"Total"});
    EXPECT_TRUE(list({}, OPC_BRANCH).empty());
    // An empty store is flat too.
    reset();
    EXPECT_EQ(organization(), static_cast<DWORD>(OPC_NS_FLAT));
    EXPECT_TRUE(list({}, OPC_FLAT).empty());
}

TEST_F(BrowseTree, NodeByNameAndPositions)
{
    add("Line1.Flow", qvtest::vR4(1));
    add("Line1.Sub.Temp", qvtest::vR4(1));
    bool leaf = true;
    ASSERT_NE(byName("Line1", &leaf), nullptr);
    EXPECT_FALSE(leaf);
    ASSERT_NE(byName("Line1.Sub.Temp", &leaf), nullptr);
    EXPECT_TRUE(leaf);
    EXPECT_EQ(byName("Line1.Sub.Temp")->name, "Line1.Sub.Temp");
    EXPECT_EQ(byName(""), nullptr);
    EXPECT_EQ(byName("Temp"), nullptr);
    EXPECT_EQ(byName("Line1.Nope"), nullptr);
    EXPECT_EQ(byName("Line1.Sub.Temp.More"), nullptr);
    // A position may end at a leaf; it lists nothing. A stale position lists nothing.
    EXPECT_TRUE(list({"Line1", "Flow"}, OPC_LEAF).empty());
    EXPECT_TRUE(list({"Line1", "Flow"}, OPC_FLAT).empty());
    EXPECT_TRUE(list({"Gone"}, OPC_FLAT).empty());
    // Case follows the match-case flag for positions, never for filters.
    EXPECT_EQ(byName("line1.sub"), nullptr);
    App().matchCaseFlag = 0;
    EXPECT_NE(byName("line1.SUB.temp"), nullptr);
    EXPECT_EQ(list({"LINE1"}, OPC_LEAF), Strings{"Flow"});
    EXPECT_TRUE(list({"LINE1"}, OPC_LEAF, "*flow").empty());
}

TEST_F(BrowseTree, EqualShortNames)
{
    // Tag A.X and branch X (made for A.X.Y) share the short name X under A. The branch is
    // entered, so A.X.Y stays reachable; the tag is still listed and named.
    add("A.X", qvtest::vI4(1));
    add("A.X.Y", qvtest::vI4(2));
    bool leaf = true;
    ASSERT_NE(byName("A.X", &leaf), nullptr);
    EXPECT_FALSE(leaf);
    ASSERT_NE(byName("A.X.Y", &leaf), nullptr);
    EXPECT_TRUE(leaf);
    EXPECT_EQ(list({"A"}, OPC_BRANCH), Strings{"X"});
    EXPECT_EQ(list({"A"}, OPC_LEAF), Strings{"X"});
    EXPECT_EQ(list({"A", "X"}, OPC_LEAF), Strings{"Y"});
    EXPECT_EQ(list({"A"}, OPC_FLAT), (Strings{"A.X", "A.X.Y"}));

    // With the flag off, the first of two names differing only in case is found.
    add("B.Foo", qvtest::vI4(1));
    add("B.foo", qvtest::vI4(2));
    App().matchCaseFlag = 0;
    ASSERT_NE(byName("B.FOO"), nullptr);
    EXPECT_EQ(byName("B.FOO")->name, "B.Foo");
}

TEST_F(BrowseTree, OddNames)
{
    // An empty segment is refused (its branch would name its parent again); a tag without
    // delimiters can also be the first segment of later tags.
    EXPECT_EQ(App().tags.create("A..B", qvtest::vI4(1), 0xC0, true), kInvalidTagHandle);
    add("T", qvtest::vI4(1));
    add("T.U", qvtest::vI4(1));
    EXPECT_EQ(byName("A..B"), nullptr);
    EXPECT_EQ(byName("T."), nullptr);
    EXPECT_EQ(list({}, OPC_BRANCH), (Strings{"T"}));
    EXPECT_EQ(list({}, OPC_FLAT), (Strings{"T.U"}));
    EXPECT_EQ(list({"T"}, OPC_LEAF), Strings{"U"});

    // Very deep names list without recursion trouble.
    std::string deep = "d";
    for (int i = 0; i < 3000; ++i) deep += ".d";
    add(deep.c_str(), qvtest::vI4(1));
    EXPECT_EQ(list({"d"}, OPC_FLAT), Strings{deep});
}
