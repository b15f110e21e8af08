// IEnumOPCItemAttributes from IOPCItemMgt::CreateEnumerator: batches, the COM contract of
// Next, Skip at the end, clones, and the snapshot taken at creation.
#include "DataIoFixture.h"

using namespace qv;
using namespace qvtest;

namespace {

std::string narrowW(LPCWSTR w)
{
    std::string s;
    for (; w && *w; ++w) s.push_back(static_cast<char>(*w));
    return s;
}

struct Batch {
    HRESULT hr = E_FAIL;
    ULONG fetched = 0xFFFF;
    std::vector<OPCHANDLE> clients;
    std::vector<OPCHANDLE> servers;
    std::vector<std::string> ids, paths;
    bool nullArray = false;
};

Batch next(IEnumOPCItemAttributes* e, ULONG celt)
{
    Batch b;
    OPCITEMATTRIBUTES* a = nullptr;
    b.hr = e->Next(celt, &a, &b.fetched);
    b.nullArray = a == nullptr;
    for (ULONG i = 0; a && i < b.fetched; ++i) {
        b.clients.push_back(a[i].hClient);
        b.servers.push_back(a[i].hServer);
        b.ids.push_back(narrowW(a[i].szItemID));
        b.paths.push_back(narrowW(a[i].szAccessPath));
        CoTaskMemFree(a[i].szItemID);
        CoTaskMemFree(a[i].szAccessPath);
        VariantClear(&a[i].vEUInfo);
    }
    CoTaskMemFree(a);
    return b;
}

class Da1ItemEnumeratorTest : public DataIoTest {
protected:
    void SetUp() override
    {
        DataIoTest::SetUp();
        makeTag("A", vI4(1));
        makeTag("P.B", vI4(2));
        makeTag("C", vI4(3), false);
        g_ = makeGroup();
        a_ = addItem(*g_, "A", 1);
        {
            // An item added with an access path, as AddItems records it.
            LockGuard lock(App().globalLock);
            std::unique_ptr<OPCItem> it(new OPCItem());
            it->accessPath = "P";
            it->itemId = "B";
            it->tagName = "P.B";
            it->clientHandle = 2;
            b_ = g_->addItem(std::move(it));
        }
        c_ = addItem(*g_, "C", 3);
        im_ = itf<IOPCItemMgt>(*g_, IID_IOPCItemMgt);
        ASSERT_TRUE(im_);
        e_ = create();
        ASSERT_TRUE(e_);
    }
    void TearDown() override
    {
        e_.reset();
        im_.reset();
        DataIoTest::TearDown();
    }
    ComPtr<IEnumOPCItemAttributes> create()
    {
        ComPtr<IEnumOPCItemAttributes> e;
        im_->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(e.put()));
        return e;
    }

    std::shared_ptr<OPCGroup> g_;
    OPCHANDLE a_ = 0, b_ = 0, c_ = 0;
    ComPtr<IOPCItemMgt> im_;
    ComPtr<IEnumOPCItemAttributes> e_;
};

} // namespace

TEST_F(Da1ItemEnumeratorTest, BatchesFollowTheComContract)
{
    Batch b = next(e_.get(), 2);
    EXPECT_EQ(b.hr, S_OK);
    EXPECT_EQ(b.fetched, 2u);
    EXPECT_EQ(b.clients, (std::vector<OPCHANDLE>{1, 2}));
    EXPECT_EQ(b.servers, (std::vector<OPCHANDLE>{a_, b_}));
    EXPECT_EQ(b.paths, (std::vector<std::string>{"", "P"}));
    EXPECT_EQ(b.ids, (std::vector<std::string>{"A", "B"}));

    b = next(e_.get(), 2); // one left: fewer than asked is S_FALSE
    EXPECT_EQ(b.hr, S_FALSE);
    EXPECT_EQ(b.fetched, 1u);
    EXPECT_EQ(b.clients, (std::vector<OPCHANDLE>{3}));

    b = next(e_.get(), 2);
    EXPECT_EQ(b.hr, S_FALSE);
    EXPECT_EQ(b.fetched, 0u);
    EXPECT_TRUE(b.nullArray);

    // A huge request hands out what remains and never reaches the allocator whole.
    e_->Reset();
    b = next(e_.get(), 0xFFFFFFFFu);
    EXPECT_EQ(b.hr, S_FALSE);
    EXPECT_EQ(b.fetched, 3u);
}

TEST_F(Da1ItemEnumeratorTest, ZeroCountAndNullPointersWriteNothing)
{
    OPCITEMATTRIBUTES* a = reinterpret_cast<OPCITEMATTRIBUTES*>(1);
    ULONG fetched = 99;
    EXPECT_EQ(e_->Next(0, &a, &fetched), S_OK);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(e_->Next(2, nullptr, &fetched), E_INVALIDARG);
    EXPECT_EQ(e_->Next(2, &a, nullptr), E_POINTER);
    EXPECT_EQ(e_->Next(0, nullptr, nullptr), E_INVALIDARG);
    // None of these moved the position; one record may be asked without a count.
    ASSERT_EQ(e_->Next(1, &a, nullptr), S_OK);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a[0].hClient, 1u);
    CoTaskMemFree(a[0].szItemID);
    CoTaskMemFree(a[0].szAccessPath);
    CoTaskMemFree(a);

    IUnknown* u = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(e_->QueryInterface(IID_IOPCItemMgt, reinterpret_cast<void**>(&u)), E_NOINTERFACE);
    EXPECT_EQ(u, nullptr);
    EXPECT_EQ(e_->QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_EQ(e_->Clone(nullptr), E_INVALIDARG);
}

TEST_F(Da1ItemEnumeratorTest, SkipStopsBeforeTheEnd)
{
    EXPECT_EQ(e_->Skip(3), S_FALSE);
    EXPECT_EQ(e_->Skip(0xFFFFFFFFu), S_FALSE);
    EXPECT_EQ(next(e_.get(), 1).clients, (std::vector<OPCHANDLE>{1}));
    e_->Reset();
    EXPECT_EQ(e_->Skip(2), S_OK);
    EXPECT_EQ(next(e_.get(), 5).clients, (std::vector<OPCHANDLE>{3}));
}

TEST_F(Da1ItemEnumeratorTest, SnapshotIgnoresLaterChangesAndOutlivesTheGroup)
{
    ASSERT_TRUE(g_->removeItem(a_));
    addItem(*g_, "A", 4);
    {
        LockGuard lock(App().globalLock);
        g_->findItem(b_)->clientHandle = 20;
    }
    Batch b = next(e_.get(), 10);
    EXPECT_EQ(b.clients, (std::vector<OPCHANDLE>{1, 2, 3}));
    EXPECT_EQ(b.servers[0], a_); // the handle the item had when the snapshot was taken

    ComPtr<IEnumOPCItemAttributes> fresh = create();
    e_->Reset();
    g_->destroy(); // the enumerator keeps no reference on the group
    EXPECT_EQ(next(e_.get(), 10).clients, (std::vector<OPCHANDLE>{1, 2, 3}));
    EXPECT_EQ(next(fresh.get(), 10).clients, (std::vector<OPCHANDLE>{20, 3, 4}));
}

TEST_F(Da1ItemEnumeratorTest, CloneContinuesFromThePosition)
{
    next(e_.get(), 1);
    ComPtr<IEnumOPCItemAttributes> c;
    ASSERT_EQ(e_->Clone(c.put()), S_OK);
    EXPECT_EQ(next(c.get(), 5).clients, (std::vector<OPCHANDLE>{2, 3}));
    EXPECT_EQ(next(e_.get(), 1).clients, (std::vector<OPCHANDLE>{2})); // independent positions
    c->Reset();
    EXPECT_EQ(next(c.get(), 5).clients, (std::vector<OPCHANDLE>{1, 2, 3}));
}
