// IOPCGroupStateMgt in process and the group's QueryInterface .
#include "GroupTestSupport.h"
#include <ocidl.h>
#include <atomic>

using namespace qv;
using qvtest::ComRef;

namespace {

class GroupStateTest : public qvtest::ServerFixture {
protected:
    void SetUp() override
    {
        qvtest::ServerFixture::SetUp();
        ASSERT_EQ(addGroup(L"Main", st.out(), &hGroup), S_OK);
        grp = groupNamed("Main");
        ASSERT_TRUE(grp);
    }
    void TearDown() override
    {
        grp.reset();
        st.reset();
        qvtest::ServerFixture::TearDown();
    }
    std::string nameOf(IOPCGroupStateMgt* s)
    {
        LPWSTR name = nullptr;
        if (s->GetState(nullptr, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr) != S_OK) return "?";
        std::string n = qvtest::narrowW(name);
        CoTaskMemFree(name);
        return n;
    }
    ComRef<IOPCGroupStateMgt> st;
    OPCHANDLE hGroup = 0;
    std::shared_ptr<OPCGroup> grp;
};

// Counts data-change reports (in-process sink; the test owns it).
class CountingSink : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCDataCallback)) {
            *ppv = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tid, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE*, VARIANT*,
                                           WORD*, FILETIME*, HRESULT*) override
    {
        ++calls;
        lastTid = tid;
        lastCount = n;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    std::atomic<LONG> refs{1};
    std::atomic<int> calls{0};
    std::atomic<DWORD> lastTid{0xFFFFFFFF};
    std::atomic<DWORD> lastCount{0};
};

} // namespace

TEST_F(GroupStateTest, ActivationReportsEveryActiveItemBeforeSetStateReturns)
{
    ASSERT_NE(qvtest::makeTag("Act.A", qvtest::vI4(1)), QV_INVALID_HANDLE);
    ComRef<IOPCGroupStateMgt> g;
    ASSERT_EQ(addGroup(L"Idle", g.out(), nullptr, FALSE), S_OK);
    ComRef<IOPCItemMgt> im;
    ASSERT_EQ(g->QueryInterface(IID_IOPCItemMgt, im.out()), S_OK);
    OPCITEMDEF defs[2] = {qvtest::itemDef(L"Act.A", L"", VT_EMPTY, 1, TRUE),
                          qvtest::itemDef(L"Act.A", L"", VT_EMPTY, 2, FALSE)};
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(im->AddItems(2, defs, &r, &e), S_OK);
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    ComRef<IConnectionPointContainer> cpc;
    ASSERT_EQ(g->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    ComRef<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, reinterpret_cast<IConnectionPoint**>(cp.out())), S_OK);
    CountingSink sink;
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);

    BOOL on = TRUE;
    ASSERT_EQ(g->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr), S_OK);
    // Before SetState returned: one report, transaction id 0, every active item (never an
    // inactive one).
    EXPECT_EQ(sink.calls.load(), 1);
    EXPECT_EQ(sink.lastTid.load(), 0u);
    EXPECT_EQ(sink.lastCount.load(), 1u);
    // Activating an active group sends nothing more; deactivating sends nothing.
    ASSERT_EQ(g->SetState(nullptr, nullptr, &on, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(sink.calls.load(), 1);
    BOOL off = FALSE;
    ASSERT_EQ(g->SetState(nullptr, nullptr, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(sink.calls.load(), 1);
    EXPECT_EQ(cp->Unadvise(cookie), S_OK);
    EXPECT_EQ(sink.refs.load(), 1);
}

TEST_F(GroupStateTest, QueryInterfaceReturnsTheSameObjectAndCountsOnTheGroup)
{
    const LONG before = grp->refCount.load();
    ComRef<IOPCGroupStateMgt> a, b;
    ASSERT_EQ(st->QueryInterface(IID_IOPCGroupStateMgt, a.out()), S_OK);
    ASSERT_EQ(grp->QueryInterface(IID_IOPCGroupStateMgt, b.out()), S_OK);
    EXPECT_EQ(a.p, b.p);
    EXPECT_EQ(a.p, st.p);
    EXPECT_EQ(grp->refCount.load(), before + 2);
    ComRef<IUnknown> none;
    EXPECT_EQ(st->QueryInterface(IID_IOPCPublicGroupStateMgt, none.out()), E_NOINTERFACE);
    EXPECT_EQ(none.p, nullptr);
    EXPECT_EQ(st->QueryInterface(IID_IOPCGroupStateMgt, nullptr), E_INVALIDARG);
    ComRef<IUnknown> unk;
    ASSERT_EQ(st->QueryInterface(IID_IUnknown, unk.out()), S_OK);
    EXPECT_EQ(unk.p, static_cast<IUnknown*>(grp.get()));
    ComRef<IOPCItemMgt> items;
    EXPECT_EQ(st->QueryInterface(IID_IOPCItemMgt, items.out()), S_OK);
}

TEST_F(GroupStateTest, GetStateSkipsNullPointers)
{
    EXPECT_EQ(st->GetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    DWORD rate = 0;
    OPCHANDLE hs = 0;
    EXPECT_EQ(st->GetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &hs), S_OK);
    EXPECT_EQ(rate, 1000u);
    EXPECT_EQ(hs, hGroup);
    BOOL active = FALSE;
    OPCHANDLE hc = 0;
    DWORD lcid = 0;
    EXPECT_EQ(st->GetState(nullptr, &active, nullptr, nullptr, nullptr, &lcid, &hc, nullptr), S_OK);
    EXPECT_TRUE(active);
    EXPECT_EQ(hc, 0x77u);
    EXPECT_EQ(lcid, 0x409u);
    EXPECT_EQ(nameOf(st.p), "Main");
}

TEST_F(GroupStateTest, SetStateWithNothingChangesNothing)
{
    EXPECT_EQ(st->SetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    DWORD revised = 0;
    EXPECT_EQ(st->SetState(nullptr, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 1000u);
    DWORD rate = 0;
    BOOL active = FALSE;
    OPCHANDLE hc = 0;
    EXPECT_EQ(st->GetState(&rate, &active, nullptr, nullptr, nullptr, nullptr, &hc, nullptr), S_OK);
    EXPECT_EQ(rate, 1000u);
    EXPECT_TRUE(active);
    EXPECT_EQ(hc, 0x77u);
}

TEST_F(GroupStateTest, SetStateAppliesEachGivenValue)
{
    DWORD rate = 0;
    DWORD revised = 0;
    EXPECT_EQ(st->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 500u);
    rate = 1200;
    EXPECT_EQ(st->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 1000u);
    rate = 1250;
    EXPECT_EQ(st->SetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(grp->updateRate.load(), 1500u);
    rate = 0xFFFFFFFFu;
    EXPECT_EQ(st->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 4294967000u);

    // A rate below the tick still applies the other arguments.
    rate = 100;
    BOOL active = FALSE;
    LONG bias = 120;
    FLOAT deadband = 12.5f;
    DWORD lcid = 0x407;
    OPCHANDLE hc = 0x55;
    EXPECT_EQ(st->SetState(&rate, &revised, &active, &bias, &deadband, &lcid, &hc), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, 500u);
    DWORD r = 0, l = 0;
    BOOL a = TRUE;
    LONG b = 0;
    FLOAT d = 0;
    OPCHANDLE c = 0;
    EXPECT_EQ(st->GetState(&r, &a, nullptr, &b, &d, &l, &c, nullptr), S_OK);
    EXPECT_EQ(r, 500u);
    EXPECT_FALSE(a);
    EXPECT_EQ(b, 120);
    EXPECT_FLOAT_EQ(d, 12.5f);
    EXPECT_EQ(l, 0x407u);
    EXPECT_EQ(c, 0x55u);
    // Any non-zero value is active, stored as given.
    active = 5;
    EXPECT_EQ(st->SetState(nullptr, nullptr, &active, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(grp->active.load(), 5);
}

TEST_F(GroupStateTest, SetNameRefusesTakenNamesIncludingItsOwn)
{
    ComRef<IUnknown> other;
    ASSERT_EQ(addGroup(L"Other", other.out()), S_OK);
    EXPECT_EQ(st->SetName(L"Main"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(st->SetName(L"Other"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(st->SetName(nullptr), E_INVALIDARG);
    EXPECT_EQ(st->SetName(L""), E_INVALIDARG);
    EXPECT_EQ(nameOf(st.p), "Main");
    EXPECT_EQ(st->SetName(L"main"), S_OK);
    EXPECT_EQ(nameOf(st.p), "main");
    // The old name is free again, and lookups follow the new one.
    ComRef<IUnknown> again;
    EXPECT_EQ(addGroup(L"Main", again.out()), S_OK);
    ComRef<IUnknown> found;
    EXPECT_EQ(srv->GetGroupByName(L"main", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(found.out())), S_OK);
    EXPECT_EQ(found.p, static_cast<IUnknown*>(grp.get()));
}

TEST_F(GroupStateTest, CloneCopiesStateAndItemsWithNewHandles)
{
    VARIANT v = qvtest::vR8(3.5);
    ASSERT_NE(qvtest::makeTag("Clone.A", v), QV_INVALID_HANDLE);
    ASSERT_NE(qvtest::makeTag("Clone.B", qvtest::vI4(9), false), QV_INVALID_HANDLE);
    LONG bias = 30;
    FLOAT deadband = 4.0f;
    DWORD rate = 2000, lcid = 0x40C;
    OPCHANDLE hc = 0x99;
    ASSERT_EQ(st->SetState(&rate, nullptr, nullptr, &bias, &deadband, &lcid, &hc), S_OK);
    ComRef<IOPCItemMgt> im;
    ASSERT_EQ(st->QueryInterface(IID_IOPCItemMgt, im.out()), S_OK);
    OPCITEMDEF defs[2] = {qvtest::itemDef(L"Clone.A", L"", VT_BSTR, 11, TRUE),
                          qvtest::itemDef(L"B", L"Clone", VT_EMPTY, 12, FALSE)};
    OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(im->AddItems(2, defs, &res, &err), S_OK);
    const OPCHANDLE srcHandles[2] = {res[0].hServer, res[1].hServer};
    CoTaskMemFree(res);
    CoTaskMemFree(err);
    {
        LockGuard g(App().globalLock);
        for (auto& kv : grp->items) kv.second->changed = false; // as after a scan
    }

    ComRef<IOPCGroupStateMgt> clone;
    ASSERT_EQ(st->CloneGroup(L"Copy", IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(clone.out())), S_OK);
    EXPECT_EQ(groupNames(), (std::vector<std::string>{"Main", "Copy"}));
    DWORD r = 0, l = 0;
    BOOL a = TRUE;
    LONG b = 0;
    FLOAT d = 0;
    OPCHANDLE c = 0, hs = 0;
    LPWSTR name = nullptr;
    ASSERT_EQ(clone->GetState(&r, &a, &name, &b, &d, &l, &c, &hs), S_OK);
    EXPECT_EQ(qvtest::narrowW(name), "Copy");
    CoTaskMemFree(name);
    EXPECT_EQ(r, 2000u);
    EXPECT_FALSE(a); // a clone is inactive
    EXPECT_EQ(b, 30);
    EXPECT_FLOAT_EQ(d, 4.0f);
    EXPECT_EQ(l, 0x40Cu);
    EXPECT_EQ(c, 0x99u);
    EXPECT_NE(hs, hGroup);
    EXPECT_NE(hs, 0u);

    auto copy = groupNamed("Copy");
    ASSERT_TRUE(copy);
    LockGuard g(App().globalLock);
    ASSERT_EQ(copy->items.size(), 2u);
    auto it = copy->items.begin();
    for (int i = 0; i < 2; ++i, ++it) {
        const OPCItem& ci = *it->second;
        const OPCItem& si = *grp->findItem(srcHandles[i]);
        EXPECT_EQ(ci.serverHandle, it->first);
        EXPECT_NE(ci.serverHandle, si.serverHandle);
        EXPECT_EQ(grp->findItem(ci.serverHandle), nullptr);
        EXPECT_EQ(ci.clientHandle, si.clientHandle);
        EXPECT_EQ(ci.itemId, si.itemId);
        EXPECT_EQ(ci.accessPath, si.accessPath);
        EXPECT_EQ(ci.tagName, si.tagName);
        EXPECT_EQ(ci.requestedType, si.requestedType);
        EXPECT_EQ(ci.canonicalType, si.canonicalType);
        EXPECT_EQ(ci.active, si.active);
        EXPECT_EQ(ci.accessRights, si.accessRights);
        EXPECT_EQ(ci.quality, si.quality);
        EXPECT_EQ(CompareFileTime(&ci.timestamp, &si.timestamp), 0);
        EXPECT_EQ(VarCmp(const_cast<VARIANT*>(ci.value.get()), const_cast<VARIANT*>(si.value.get()), 0, 0),
                  static_cast<HRESULT>(VARCMP_EQ));
        EXPECT_TRUE(ci.changed); // marked changed although its source was not
        EXPECT_FALSE(si.changed);
        EXPECT_EQ(ci.group, copy.get());
        // The copy follows host updates: the clone is listed.
        EXPECT_TRUE(App().tags.subscribers().contains(&ci));
    }
    EXPECT_EQ(copy->items.begin()->second->clientHandle, 11u);
    EXPECT_EQ(copy->items.begin()->second->tagName, "Clone.A");
    EXPECT_EQ(std::next(copy->items.begin())->second->tagName, "Clone.B");
}

TEST_F(GroupStateTest, CloneRefusesBadNamesAndInterfaces)
{
    ComRef<IUnknown> c;
    EXPECT_EQ(st->CloneGroup(L"Main", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(c.out())), OPC_E_DUPLICATENAME);
    EXPECT_EQ(st->CloneGroup(L"", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(c.out())), E_INVALIDARG);
    EXPECT_EQ(st->CloneGroup(nullptr, IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(c.out())), E_INVALIDARG);
    EXPECT_EQ(st->CloneGroup(L"X", IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_EQ(st->CloneGroup(L"X", IID_IOPCPublicGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(c.out())),
              E_NOINTERFACE);
    EXPECT_EQ(c.p, nullptr);
    EXPECT_EQ(groupCount(), 1u);
    // A clone of a clone is fine, and the clone's handle removes it.
    ComRef<IOPCGroupStateMgt> c1;
    ASSERT_EQ(st->CloneGroup(L"C1", IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(c1.out())), S_OK);
    ComRef<IUnknown> c2;
    ASSERT_EQ(c1->CloneGroup(L"C2", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(c2.out())), S_OK);
    OPCHANDLE h1 = 0;
    ASSERT_EQ(c1->GetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &h1), S_OK);
    EXPECT_EQ(srv->RemoveGroup(h1, FALSE), OPC_S_INUSE);
    EXPECT_EQ(groupNames(), (std::vector<std::string>{"Main", "C2"}));
}
