// IOPCBrowseServerAddressSpace in-process: positions, listings, GetItemID, pointer checks.
#include <string>
#include <vector>
#include "TestSupport.h"
#include "qvopc.h"
#include "server/OPCServer.h"

using namespace qv;
using Strings = std::vector<std::string>;

namespace {

std::string toNarrow(LPCWSTR w)
{
    std::string s;
    for (; w && *w; ++w) s.push_back(static_cast<char>(*w));
    return s;
}

Strings drain(IEnumString* e)
{
    Strings out;
    LPOLESTR s = nullptr;
    ULONG n = 0;
    while (e->Next(1, &s, &n) == S_OK && n == 1) {
        out.push_back(toNarrow(s));
        CoTaskMemFree(s);
    }
    return out;
}

class BrowseInterface : public qvtest::StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        server_ = qvtest::newServer();
        ASSERT_EQ(server_->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&b_)), S_OK);
    }
    void TearDown() override
    {
        if (b_) b_->Release(); // last reference: the server is not listed, so we free it
        qvtest::deleteServer(server_);
        StoreTest::TearDown();
    }
    void add(const char* name, VARIANT v, bool writeable)
    {
        ASSERT_NE(App().tags.create(name, v, 0xC0, writeable), kInvalidTagHandle);
        VariantClear(&v);
    }
    void addExampleTags()
    {
        add("Line1.Flow", qvtest::vR4(1), false);
        VARIANT b;
        VariantInit(&b);
        V_VT(&b) = VT_BOOL;
        V_BOOL(&b) = VARIANT_TRUE;
        add("Line1.Valve", b, true);
        add("Line1.Sub.Temp", qvtest::vR8(20), true);
        add("Total", qvtest::vI4(5), true);
    }
    Strings browse(OPCBROWSETYPE type, const wchar_t* filter = L"", VARTYPE vt = VT_EMPTY, DWORD rights = 0)
    {
        IEnumString* e = nullptr;
        EXPECT_EQ(b_->BrowseOPCItemIDs(type, filter, vt, rights, &e), S_OK);
        if (!e) return {};
        Strings s = drain(e);
        e->Release();
        return s;
    }
    std::string itemId(const wchar_t* leaf, HRESULT expect = S_OK)
    {
        LPWSTR out = nullptr;
        EXPECT_EQ(b_->GetItemID(const_cast<LPWSTR>(leaf), &out), expect);
        std::string s = toNarrow(out);
        CoTaskMemFree(out);
        return s;
    }
    HRESULT move(OPCBROWSEDIRECTION d, const wchar_t* s) { return b_->ChangeBrowsePosition(d, s); }

    OPCServer* server_ = nullptr;
    IOPCBrowseServerAddressSpace* b_ = nullptr;
};

} // namespace

TEST_F(BrowseInterface, OrganizationFollowsTheTags)
{
    OPCNAMESPACETYPE t = OPC_NS_HIERARCHIAL;
    add("Total", qvtest::vI4(1), true);
    ASSERT_EQ(b_->QueryOrganization(&t), S_OK);
    EXPECT_EQ(t, OPC_NS_FLAT);
    add("Line1.Flow", qvtest::vR4(1), false);
    ASSERT_EQ(b_->QueryOrganization(&t), S_OK);
    EXPECT_EQ(t, OPC_NS_HIERARCHIAL);
    EXPECT_EQ(b_->QueryOrganization(nullptr), E_INVALIDARG);
}

TEST_F(BrowseInterface, WalkAndListTheExampleTree)
{
    addExampleTags();
    EXPECT_EQ(browse(OPC_BRANCH), Strings{"Line1"});
    EXPECT_EQ(browse(OPC_LEAF), Strings{"Total"});
    EXPECT_EQ(browse(OPC_FLAT), (Strings{"Line1.Flow", "Line1.Valve", "Line1.Sub.Temp", "Total"}));

    EXPECT_EQ(move(OPC_BROWSE_UP, L""), E_FAIL);
    EXPECT_EQ(move(OPC_BROWSE_DOWN, L"Line1"), S_OK);
    EXPECT_EQ(browse(OPC_BRANCH), Strings{"Sub"});
    EXPECT_EQ(browse(OPC_LEAF), (Strings{"Flow", "Valve"}));
    EXPECT_TRUE(browse(OPC_LEAF, L"Flow").empty());
    EXPECT_EQ(browse(OPC_LEAF, L"*Flow"), Strings{"Flow"});
    EXPECT_EQ(browse(OPC_LEAF, L"*F?ow"), Strings{"Flow"});
    EXPECT_EQ(browse(OPC_LEAF, L"*[A-F]low"), Strings{"Flow"});
    EXPECT_EQ(browse(OPC_LEAF, nullptr), (Strings{"Flow", "Valve"})); // NULL filter: none
    EXPECT_EQ(browse(OPC_LEAF, L"", VT_BOOL), Strings{"Valve"});
    EXPECT_EQ(browse(OPC_LEAF, L"", VT_EMPTY, 1), Strings{"Flow"});
    EXPECT_EQ(browse(OPC_LEAF, L"", VT_EMPTY, 3), Strings{"Valve"});
    EXPECT_EQ(browse(OPC_FLAT), (Strings{"Line1.Flow", "Line1.Valve", "Line1.Sub.Temp"}));
    EXPECT_TRUE(browse(static_cast<OPCBROWSETYPE>(7)).empty());
    EXPECT_TRUE(browse(OPC_LEAF, L"[unclosed").empty());

    // The filter's characters count by their low byte only.
    EXPECT_EQ(browse(OPC_LEAF, L"*\x0146low"), Strings{"Flow"}); // 0x146 -> 'F'

    EXPECT_EQ(move(OPC_BROWSE_DOWN, L"Sub"), S_OK);
    EXPECT_EQ(itemId(L"Temp"), "Line1.Sub.Temp");
    EXPECT_EQ(itemId(L""), "Line1.Sub");
    EXPECT_EQ(itemId(nullptr), "Line1.Sub");
    EXPECT_EQ(itemId(L"Nope", OPC_E_INVALIDITEMID), "");
    EXPECT_EQ(move(OPC_BROWSE_UP, nullptr), S_OK);
    EXPECT_EQ(move(OPC_BROWSE_UP, nullptr), S_OK);
    EXPECT_EQ(move(OPC_BROWSE_UP, nullptr), E_FAIL);
    EXPECT_EQ(itemId(L""), "");
    EXPECT_EQ(itemId(L"Total"), "Total");
    EXPECT_EQ(itemId(L"Line1"), "Line1"); // a branch names a node too
}

TEST_F(BrowseInterface, DownAndToRules)
{
    addExampleTags();
    // DOWN keeps only the last segment of a qualified name.
    EXPECT_EQ(move(OPC_BROWSE_DOWN, L"Plant.Line1"), S_OK);
    EXPECT_EQ(itemId(L""), "Line1");
    // DOWN to something that is not there, or to an empty name, fails and keeps the position.
    EXPECT_EQ(move(OPC_BROWSE_DOWN, L"Nope"), E_FAIL);
    EXPECT_EQ(move(OPC_BROWSE_DOWN, L""), E_FAIL);
    EXPECT_EQ(move(OPC_BROWSE_DOWN, L"Sub."), E_FAIL);
    EXPECT_EQ(move(OPC_BROWSE_DOWN, nullptr), E_FAIL);
    EXPECT_EQ(itemId(L""), "Line1");
    // DOWN to a leaf is accepted; it lists nothing.
    EXPECT_EQ(move(OPC_BROWSE_DOWN, L"Flow"), S_OK);
    EXPECT_TRUE(browse(OPC_LEAF).empty());
    EXPECT_TRUE(browse(OPC_FLAT).empty());

    EXPECT_EQ(move(OPC_BROWSE_TO, L""), E_FAIL);
    EXPECT_EQ(move(OPC_BROWSE_TO, nullptr), E_FAIL);
    EXPECT_EQ(move(OPC_BROWSE_TO, L"Line1.Nope"), E_FAIL);
    EXPECT_EQ(itemId(L""), "Line1.Flow");
    EXPECT_EQ(move(OPC_BROWSE_TO, L"Line1.Sub"), S_OK);
    EXPECT_EQ(itemId(L"Temp"), "Line1.Sub.Temp");
    EXPECT_EQ(move(static_cast<OPCBROWSEDIRECTION>(9), L"Line1"), E_FAIL);
    EXPECT_EQ(itemId(L""), "Line1.Sub");

    // Tags removed under the position: listing is empty, not an error.
    DWORD h = 0;
    {
        LockGuard g(App().globalLock);
        h = App().tags.lookup("Line1.Sub.Temp")->handle;
    }
    ASSERT_TRUE(App().tags.remove(h));
    EXPECT_TRUE(browse(OPC_LEAF).empty());
    EXPECT_EQ(itemId(L"Temp", OPC_E_INVALIDITEMID), "");
}

TEST_F(BrowseInterface, FlatSpaceIgnoresPositionAndType)
{
    add("Total", qvtest::vI4(1), true);
    add("Speed", qvtest::vR4(1), false);
    EXPECT_EQ(move(OPC_BROWSE_DOWN, L"Total"), E_FAIL);
    EXPECT_EQ(move(OPC_BROWSE_TO, L"Total"), E_FAIL);
    EXPECT_EQ(move(OPC_BROWSE_UP, L""), E_FAIL);
    EXPECT_EQ(browse(OPC_BRANCH), (Strings{"Total", "Speed"}));
    EXPECT_EQ(browse(OPC_LEAF), (Strings{"Total", "Speed"}));
    EXPECT_EQ(browse(static_cast<OPCBROWSETYPE>(0)), (Strings{"Total", "Speed"}));
    EXPECT_EQ(itemId(L"Speed"), "Speed");
}

TEST_F(BrowseInterface, PointerChecksAndAccessPaths)
{
    addExampleTags();
    EXPECT_EQ(b_->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(b_->GetItemID(const_cast<LPWSTR>(L"Total"), nullptr), E_INVALIDARG);
    IEnumString* e = reinterpret_cast<IEnumString*>(0x1);
    EXPECT_EQ(b_->BrowseAccessPaths(L"Total", &e), E_NOTIMPL);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(b_->BrowseAccessPaths(L"Total", nullptr), E_INVALIDARG);
}

TEST_F(BrowseInterface, LongFiltersAndBytesAbove127)
{
    std::string longName = "Line1." + std::string(150, 'q');
    add(longName.c_str(), qvtest::vI4(1), true);
    add("Line1.\xE9t\xE9", qvtest::vI4(1), true);
    ASSERT_EQ(move(OPC_BROWSE_DOWN, L"Line1"), S_OK);
    std::wstring filter = L"Line1." + std::wstring(150, L'q');
    EXPECT_EQ(browse(OPC_LEAF, filter.c_str()), Strings{std::string(150, 'q')});
    // Names go out byte by byte, so an 0xE9 byte arrives as U+00E9 whatever the code page.
    IEnumString* e = nullptr;
    ASSERT_EQ(b_->BrowseOPCItemIDs(OPC_LEAF, L"*\x00E9", VT_EMPTY, 0, &e), S_OK);
    LPOLESTR s = nullptr;
    ULONG n = 0;
    ASSERT_EQ(e->Next(1, &s, &n), S_OK);
    EXPECT_EQ(std::wstring(s), std::wstring(L"\x00E9t\x00E9"));
    CoTaskMemFree(s);
    e->Release();
}

TEST_F(BrowseInterface, PositionIsPerClient)
{
    addExampleTags();
    OPCServer* other = qvtest::newServer();
    IOPCBrowseServerAddressSpace* b2 = nullptr;
    ASSERT_EQ(other->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&b2)), S_OK);
    ASSERT_EQ(move(OPC_BROWSE_DOWN, L"Line1"), S_OK);
    LPWSTR out = nullptr;
    ASSERT_EQ(b2->GetItemID(const_cast<LPWSTR>(L""), &out), S_OK);
    EXPECT_EQ(toNarrow(out), "");
    CoTaskMemFree(out);
    // Two pointers of one client share one position.
    IOPCBrowseServerAddressSpace* again = nullptr;
    ASSERT_EQ(server_->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, b_);
    again->Release();
    b2->Release();
    qvtest::deleteServer(other);
}
