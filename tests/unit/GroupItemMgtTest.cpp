// IOPCItemMgt in process and the item copy/attributes rules.
#include "GroupTestSupport.h"
#include <chrono>
#include <cstdio>

using namespace qv;
using qvtest::ComRef;
using qvtest::itemDef;

namespace {

class GroupItemMgtTest : public qvtest::ServerFixture {
protected:
    void SetUp() override
    {
        qvtest::ServerFixture::SetUp();
        FILETIME ft = {0x11112222, 0x01D00000};
        VARIANT v = qvtest::vR8(1.5);
        flowTag = QV_CreateTag("Plant.Line.Flow", v, 0xC0, TRUE);
        ASSERT_NE(flowTag, QV_INVALID_HANDLE);
        ASSERT_TRUE(QV_UpdateTagWithTimeStamp(flowTag, v, 0x40, ft));
        ASSERT_NE(qvtest::makeTag("Plant.Line.Count", qvtest::vI4(7), false), QV_INVALID_HANDLE);
        ASSERT_NE(qvtest::makeTag("Plant.Line.Status", qvtest::vStr(L"ok")), QV_INVALID_HANDLE);
        ASSERT_EQ(addGroup(L"Items", im.out(), &hGroup, TRUE, 1000, IID_IOPCItemMgt), S_OK);
        grp = groupNamed("Items");
        ASSERT_TRUE(grp);
    }
    void TearDown() override
    {
        grp.reset();
        im.reset();
        qvtest::ServerFixture::TearDown();
    }
    // AddItems into handles/errors; returns the call's result.
    HRESULT add(std::vector<OPCITEMDEF> defs, std::vector<OPCITEMRESULT>* results = nullptr,
                std::vector<HRESULT>* errors = nullptr)
    {
        OPCITEMRESULT* r = nullptr;
        HRESULT* e = nullptr;
        HRESULT hr = im->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &r, &e);
        if (r && results) results->assign(r, r + defs.size());
        if (e && errors) errors->assign(e, e + defs.size());
        CoTaskMemFree(r);
        CoTaskMemFree(e);
        return hr;
    }
    std::vector<HRESULT> take(HRESULT* e, size_t n)
    {
        std::vector<HRESULT> v;
        if (e) v.assign(e, e + n);
        CoTaskMemFree(e);
        return v;
    }
    OPCItem* item(OPCHANDLE h)
    {
        LockGuard g(App().globalLock);
        return grp->findItem(h);
    }

    DWORD flowTag = 0;
    ComRef<IOPCItemMgt> im;
    OPCHANDLE hGroup = 0;
    std::shared_ptr<OPCGroup> grp;
};

} // namespace

TEST_F(GroupItemMgtTest, AddItemsReportsEachDefinition)
{
    std::vector<OPCITEMRESULT> res;
    std::vector<HRESULT> err;
    ASSERT_EQ(add({itemDef(L"Plant.Line.Flow", L"", VT_EMPTY, 1), itemDef(L"Plant.Nothing", L"", VT_EMPTY, 2),
                   itemDef(L"", L"", VT_EMPTY, 3), itemDef(L"Plant.Line.Status", L"", VT_DISPATCH, 4),
                   itemDef(L"Line.Count", L"Plant", VT_R8, 5, FALSE), itemDef(L"Line.Count", L"Plant.", VT_EMPTY, 6)},
                  &res, &err),
              S_FALSE);
    ASSERT_EQ(err.size(), 6u);
    EXPECT_EQ(err[0], S_OK);
    EXPECT_EQ(err[1], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(err[2], OPC_E_INVALIDITEMID);
    EXPECT_EQ(err[3], OPC_E_BADTYPE); // never an object
    EXPECT_EQ(err[4], S_OK);
    EXPECT_EQ(err[5], S_OK);
    // Failed definitions leave zero results.
    for (int i : {1, 2, 3}) {
        EXPECT_EQ(res[i].hServer, 0u);
        EXPECT_EQ(res[i].vtCanonicalDataType, VT_EMPTY);
        EXPECT_EQ(res[i].dwAccessRights, 0u);
    }
    EXPECT_NE(res[0].hServer, 0u);
    EXPECT_EQ(res[0].vtCanonicalDataType, VT_R8);
    EXPECT_EQ(res[0].dwAccessRights, 3u);
    EXPECT_EQ(res[0].dwBlobSize, 0u);
    EXPECT_EQ(res[0].pBlob, nullptr);
    EXPECT_EQ(res[4].vtCanonicalDataType, VT_I4);
    EXPECT_EQ(res[4].dwAccessRights, 1u);
    // The same item ID twice: two items with their own handles.
    EXPECT_NE(res[4].hServer, res[5].hServer);
    {
        LockGuard g(App().globalLock);
        EXPECT_EQ(grp->items.size(), 3u);
    }

    OPCItem* flow = item(res[0].hServer);
    ASSERT_NE(flow, nullptr);
    LockGuard g(App().globalLock);
    EXPECT_EQ(flow->serverHandle, res[0].hServer);
    EXPECT_EQ(flow->clientHandle, 1u);
    EXPECT_EQ(flow->itemId, "Plant.Line.Flow");
    EXPECT_EQ(flow->accessPath, "");
    EXPECT_EQ(flow->tagName, "Plant.Line.Flow");
    EXPECT_TRUE(flow->changed);
    EXPECT_EQ(flow->canonicalType, VT_R8);
    EXPECT_EQ(flow->requestedType, VT_EMPTY);
    EXPECT_TRUE(flow->active);
    EXPECT_EQ(flow->quality, 0x40);
    EXPECT_EQ(flow->timestamp.dwLowDateTime, 0x11112222u);
    EXPECT_EQ(flow->timestamp.dwHighDateTime, 0x01D00000u);
    EXPECT_EQ(flow->value.vt(), VT_R8);
    EXPECT_DOUBLE_EQ(V_R8(flow->value.get()), 1.5);
    EXPECT_EQ(flow->accessRights, 3u);
    EXPECT_EQ(flow->group, grp.get());
    EXPECT_TRUE(App().tags.subscribers().contains(flow));

    OPCItem* count = grp->findItem(res[4].hServer);
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->itemId, "Line.Count");
    EXPECT_EQ(count->accessPath, "Plant");
    EXPECT_EQ(count->tagName, "Plant.Line.Count");
    EXPECT_EQ(count->requestedType, VT_R8);
    EXPECT_FALSE(count->active);
    EXPECT_EQ(count->accessRights, 1u);
    EXPECT_EQ(grp->findItem(res[5].hServer)->tagName, "Plant.Line.Count"); // no doubled delimiter
}

TEST_F(GroupItemMgtTest, ArrayMethodsCheckTheirArguments)
{
    OPCITEMDEF def = itemDef(L"Plant.Line.Flow");
    OPCITEMRESULT* r = reinterpret_cast<OPCITEMRESULT*>(1);
    HRESULT* e = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(im->AddItems(0, &def, &r, &e), E_INVALIDARG);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(e, nullptr);
    e = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(im->AddItems(1, nullptr, &r, &e), E_INVALIDARG);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(im->AddItems(1, &def, nullptr, &e), E_INVALIDARG);
    EXPECT_EQ(im->AddItems(1, &def, &r, nullptr), E_INVALIDARG);
    EXPECT_EQ(im->ValidateItems(0, &def, FALSE, &r, &e), E_INVALIDARG);
    EXPECT_EQ(im->ValidateItems(1, &def, FALSE, nullptr, &e), E_INVALIDARG);
    {
        LockGuard g(App().globalLock);
        EXPECT_TRUE(grp->items.empty());
    }
    OPCHANDLE h = 1;
    VARTYPE vt = VT_I4;
    e = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(im->RemoveItems(0, &h, &e), E_INVALIDARG);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(im->RemoveItems(1, nullptr, &e), E_INVALIDARG);
    EXPECT_EQ(im->RemoveItems(1, &h, nullptr), E_INVALIDARG);
    EXPECT_EQ(im->SetActiveState(0, &h, TRUE, &e), E_INVALIDARG);
    EXPECT_EQ(im->SetActiveState(1, nullptr, TRUE, &e), E_INVALIDARG);
    EXPECT_EQ(im->SetActiveState(1, &h, TRUE, nullptr), E_INVALIDARG);
    EXPECT_EQ(im->SetClientHandles(1, &h, nullptr, &e), E_INVALIDARG);
    EXPECT_EQ(im->SetClientHandles(1, nullptr, &h, &e), E_INVALIDARG);
    EXPECT_EQ(im->SetDatatypes(1, &h, nullptr, &e), E_INVALIDARG);
    EXPECT_EQ(im->SetDatatypes(0, &h, &vt, &e), E_INVALIDARG);
    EXPECT_EQ(e, nullptr);
}

TEST_F(GroupItemMgtTest, ValidateItemsMakesNoItems)
{
    OPCITEMDEF defs[3] = {itemDef(L"Plant.Line.Count", L"", VT_BSTR), itemDef(L"Nope"),
                          itemDef(L"Plant.Line.Flow", L"", VT_DISPATCH)};
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(im->ValidateItems(3, defs, TRUE, &r, &e), S_FALSE);
    EXPECT_EQ(e[0], S_OK);
    EXPECT_EQ(e[1], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(e[2], OPC_E_BADTYPE);
    EXPECT_EQ(r[0].hServer, 0u);
    EXPECT_EQ(r[0].vtCanonicalDataType, VT_I4);
    EXPECT_EQ(r[0].dwAccessRights, 1u);
    EXPECT_EQ(r[1].vtCanonicalDataType, VT_EMPTY);
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    ASSERT_EQ(im->ValidateItems(1, defs, FALSE, &r, &e), S_OK);
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    LockGuard g(App().globalLock);
    EXPECT_TRUE(grp->items.empty());
}

TEST_F(GroupItemMgtTest, RemoveItemsTakesEachItemOnce)
{
    std::vector<OPCITEMRESULT> res;
    ASSERT_EQ(add({itemDef(L"Plant.Line.Flow"), itemDef(L"Plant.Line.Count")}, &res), S_OK);
    OPCItem* flow = item(res[0].hServer);
    OPCHANDLE hs[4] = {res[0].hServer, res[0].hServer, 0xDEADBEEF, res[1].hServer};
    HRESULT* e = nullptr;
    ASSERT_EQ(im->RemoveItems(4, hs, &e), S_FALSE);
    EXPECT_EQ(take(e, 4), (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE, S_OK}));
    {
        LockGuard g(App().globalLock);
        EXPECT_TRUE(grp->items.empty());
        EXPECT_EQ(App().tags.subscribers().size(), 0u);
    }
    (void)flow;
    // A handle of a removed item never designates a later one.
    ASSERT_EQ(add({itemDef(L"Plant.Line.Flow")}, &res), S_OK);
    EXPECT_NE(res[0].hServer, hs[0]);
    EXPECT_NE(res[0].hServer, hs[3]);
    ASSERT_EQ(im->RemoveItems(1, &hs[0], &e), S_FALSE);
    EXPECT_EQ(take(e, 1), (std::vector<HRESULT>{OPC_E_INVALIDHANDLE}));
    ASSERT_EQ(im->RemoveItems(1, &res[0].hServer, &e), S_OK);
    take(e, 1);
}

TEST_F(GroupItemMgtTest, SetActiveClientHandlesAndDatatypes)
{
    std::vector<OPCITEMRESULT> res;
    ASSERT_EQ(add({itemDef(L"Plant.Line.Flow", L"", VT_EMPTY, 1), itemDef(L"Plant.Line.Count", L"", VT_EMPTY, 2)},
                  &res),
              S_OK);
    {
        LockGuard g(App().globalLock);
        item(res[1].hServer)->changed = false;
    }
    OPCHANDLE hs[3] = {res[0].hServer, 0x7777777, res[1].hServer};
    HRESULT* e = nullptr;
    ASSERT_EQ(im->SetActiveState(3, hs, 7, &e), S_FALSE);
    EXPECT_EQ(take(e, 3), (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(item(res[0].hServer)->active, 7); // stored as given
    EXPECT_FALSE(item(res[1].hServer)->changed); // not touched by SetActiveState
    ASSERT_EQ(im->SetActiveState(2, hs, FALSE, &e), S_FALSE);
    take(e, 2);
    EXPECT_FALSE(item(res[0].hServer)->active);
    // Activated again: its current value goes out in the next report, unchanged or not.
    item(res[0].hServer)->changed = false;
    ASSERT_EQ(im->SetActiveState(1, hs, TRUE, &e), S_OK);
    take(e, 1);
    EXPECT_TRUE(item(res[0].hServer)->changed);
    ASSERT_EQ(im->SetActiveState(1, hs, FALSE, &e), S_OK);
    take(e, 1);

    OPCHANDLE clients[3] = {101, 102, 103};
    ASSERT_EQ(im->SetClientHandles(3, hs, clients, &e), S_FALSE);
    EXPECT_EQ(take(e, 3), (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(item(res[0].hServer)->clientHandle, 101u);
    EXPECT_EQ(item(res[1].hServer)->clientHandle, 103u);

    VARTYPE types[2] = {VT_I2, VT_BSTR};
    OPCHANDLE two[2] = {res[0].hServer, res[1].hServer};
    ASSERT_EQ(im->SetDatatypes(2, two, types, &e), S_OK);
    EXPECT_EQ(take(e, 2), (std::vector<HRESULT>{S_OK, S_OK}));
    EXPECT_EQ(item(res[0].hServer)->requestedType, VT_I2);
    EXPECT_EQ(item(res[1].hServer)->requestedType, VT_BSTR);
    // Object types are refused (a conversion to one would call into an object).
    VARTYPE bad = VT_DISPATCH;
    ASSERT_EQ(im->SetDatatypes(1, two, &bad, &e), S_FALSE);
    EXPECT_EQ(take(e, 1), (std::vector<HRESULT>{OPC_E_BADTYPE}));
    EXPECT_EQ(item(res[0].hServer)->requestedType, VT_I2);
}

TEST_F(GroupItemMgtTest, CreateEnumeratorChecksTheInterface)
{
    ComRef<IUnknown> e;
    EXPECT_EQ(im->CreateEnumerator(IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(e.out())), E_INVALIDARG);
    EXPECT_EQ(e.p, nullptr);
    EXPECT_EQ(im->CreateEnumerator(IID_IEnumOPCItemAttributes, nullptr), E_INVALIDARG);
}

TEST_F(GroupItemMgtTest, ItemsFollowHostUpdatesOnlyWhileListed)
{
    std::vector<OPCITEMRESULT> res;
    ASSERT_EQ(add({itemDef(L"Plant.Line.Flow")}, &res), S_OK);
    OPCItem* flow = item(res[0].hServer);
    {
        LockGuard g(App().globalLock);
        EXPECT_TRUE(App().tags.subscribers().contains(flow));
    }
    // RemoveGroup while referenced: the group keeps its items, but they stop following.
    EXPECT_EQ(srv->RemoveGroup(hGroup, FALSE), OPC_S_INUSE);
    {
        LockGuard g(App().globalLock);
        EXPECT_FALSE(App().tags.subscribers().contains(flow));
        EXPECT_EQ(grp->items.size(), 1u);
    }
    // Items added to an unlisted group do not follow either.
    ASSERT_EQ(add({itemDef(L"Plant.Line.Count")}, &res), S_OK);
    LockGuard g(App().globalLock);
    EXPECT_FALSE(App().tags.subscribers().contains(grp->findItem(res[0].hServer)));
    EXPECT_EQ(App().tags.subscribers().size(), 0u);
}

TEST_F(GroupItemMgtTest, ItemsFollowTheirNameAcrossTagRemovalAndLateCreation)
{
    std::vector<OPCITEMRESULT> res;
    ASSERT_EQ(add({itemDef(L"Plant.Line.Flow")}, &res), S_OK);
    // An item made for a name no tag has yet (the host may publish it later).
    OPCItem* late = nullptr;
    {
        LockGuard g(App().globalLock);
        std::unique_ptr<OPCItem> it(new OPCItem());
        it->itemId = it->tagName = "Plant.Late";
        it->accessRights = 3;
        late = grp->findItem(grp->addItem(std::move(it)));
    }
    ASSERT_TRUE(QV_RemoveTag(flowTag));
    const DWORD again = QV_CreateTag("Plant.Line.Flow", qvtest::vR8(0), 0xC0, TRUE);
    const DWORD lateTag = QV_CreateTag("Plant.Late", qvtest::vR8(0), 0xC0, TRUE);
    ASSERT_TRUE(QV_UpdateTag(again, qvtest::vR8(2.5), 0xC0));
    ASSERT_TRUE(QV_UpdateTag(lateTag, qvtest::vR8(3.5), 0xC0));
    LockGuard g(App().globalLock);
    EXPECT_EQ(V_R8(item(res[0].hServer)->value.get()), 2.5);
    EXPECT_EQ(V_R8(late->value.get()), 3.5);
}

TEST_F(GroupItemMgtTest, ItemCopyAndAttributes)
{
    std::vector<OPCITEMRESULT> res;
    ASSERT_EQ(add({itemDef(L"Line.Flow", L"Plant", VT_BSTR, 42, TRUE)}, &res), S_OK);
    LockGuard g(App().globalLock);
    const OPCItem& src = *grp->findItem(res[0].hServer);
    OPCItem copy;
    copy.changed = false;
    copy.copyFrom(src);
    EXPECT_TRUE(copy.changed);
    EXPECT_EQ(copy.serverHandle, src.serverHandle);
    EXPECT_EQ(copy.tagName, "Plant.Line.Flow");
    EXPECT_EQ(copy.value.vt(), VT_R8);

    OPCITEMATTRIBUTES a;
    memset(&a, 0xCC, sizeof a);
    ASSERT_EQ(copy.fillAttributes(&a), S_OK);
    EXPECT_EQ(qvtest::narrowW(a.szAccessPath), "Plant");
    EXPECT_EQ(qvtest::narrowW(a.szItemID), "Line.Flow");
    EXPECT_TRUE(a.bActive);
    EXPECT_EQ(a.hClient, 42u);
    EXPECT_EQ(a.hServer, res[0].hServer);
    EXPECT_EQ(a.dwAccessRights, 3u);
    EXPECT_EQ(a.dwBlobSize, 0u);
    EXPECT_EQ(a.pBlob, nullptr);
    EXPECT_EQ(a.vtRequestedDataType, VT_BSTR);
    EXPECT_EQ(a.vtCanonicalDataType, VT_R8);
    EXPECT_EQ(a.dwEUType, OPC_NOENUM);
    EXPECT_EQ(V_VT(&a.vEUInfo), VT_EMPTY);
    CoTaskMemFree(a.szAccessPath);
    CoTaskMemFree(a.szItemID);
    EXPECT_EQ(copy.fillAttributes(nullptr), E_INVALIDARG);
}

// Adding and removing many items costs O(n log n), not O(n^2): 100,000 items in one group.
TEST_F(GroupItemMgtTest, HundredThousandItemsAddAndRemoveInOneCallEach)
{
    const DWORD n = 100000;
    std::vector<OPCITEMDEF> defs(n);
    for (DWORD i = 0; i < n; ++i)
        defs[i] = itemDef(i % 2 ? L"Plant.Line.Flow" : L"Line.Count", i % 2 ? L"" : L"Plant", VT_EMPTY, i);
    auto t0 = std::chrono::steady_clock::now();
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(im->AddItems(n, defs.data(), &r, &e), S_OK);
    auto t1 = std::chrono::steady_clock::now();
    std::vector<OPCHANDLE> handles(n);
    for (DWORD i = 0; i < n; ++i) handles[i] = r[i].hServer;
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    {
        LockGuard g(App().globalLock);
        ASSERT_EQ(grp->items.size(), n);
        EXPECT_EQ(App().tags.subscribers().size(), n);
    }
    // A host update reaches all of them through the subscriber index.
    VARIANT v = qvtest::vR8(2.5);
    auto t2 = std::chrono::steady_clock::now();
    ASSERT_TRUE(QV_UpdateTag(flowTag, v, 0xC0));
    auto t3 = std::chrono::steady_clock::now();
    // Removal in an order unlike the adding order.
    std::vector<OPCHANDLE> order;
    order.reserve(n);
    for (DWORD i = 1; i < n; i += 2) order.push_back(handles[i]);
    for (DWORD i = 0; i < n; i += 2) order.push_back(handles[i]);
    auto t4 = std::chrono::steady_clock::now();
    ASSERT_EQ(im->RemoveItems(n, order.data(), &e), S_OK);
    auto t5 = std::chrono::steady_clock::now();
    CoTaskMemFree(e);
    {
        LockGuard g(App().globalLock);
        EXPECT_TRUE(grp->items.empty());
        EXPECT_EQ(App().tags.subscribers().size(), 0u);
    }
    auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
    printf("[ timing ] in-process, %lu items: AddItems %.1f ms, one host update %.1f ms, RemoveItems %.1f ms\n",
           static_cast<unsigned long>(n), ms(t0, t1), ms(t2, t3), ms(t4, t5));
    fflush(stdout);
    // Generous bounds (a quadratic path would take minutes here).
    EXPECT_LT(ms(t0, t1), 20000.0);
    EXPECT_LT(ms(t4, t5), 20000.0);
}

TEST_F(GroupItemMgtTest, SetDatatypesRefusesWhatAddItemsRefuses)
{
    const DWORD big = qvtest::makeTag("Plant.Big", qvtest::vR8(1e6));
    ASSERT_NE(big, QV_INVALID_HANDLE);
    std::vector<OPCITEMRESULT> res;
    ASSERT_EQ(add({itemDef(L"Plant.Big", L"", VT_EMPTY, 9)}, &res), S_OK);
    OPCHANDLE h = res[0].hServer;
    HRESULT* e = nullptr;
    // A reference, an object, an array: refused, the item unchanged. A type the value does not
    // fit now (VT_I2) is judged by type: taken, and a read then says the value does not fit.
    for (VARTYPE refused : {VARTYPE(VT_VARIANT | VT_BYREF), VARTYPE(VT_UNKNOWN), VARTYPE(VT_ARRAY | VT_I2)}) {
        ASSERT_EQ(im->SetDatatypes(1, &h, &refused, &e), S_FALSE);
        EXPECT_EQ(take(e, 1), (std::vector<HRESULT>{OPC_E_BADTYPE}));
    }
    VARTYPE vt = VT_I4;
    ASSERT_EQ(im->SetDatatypes(1, &h, &vt, &e), S_OK);
    EXPECT_EQ(take(e, 1), (std::vector<HRESULT>{S_OK}));
    // The value may later leave the requested type's range: that read fails, with bad quality.
    ASSERT_TRUE(QV_UpdateTag(big, qvtest::vR8(1e12), 0xC0));

    ComRef<IOPCSyncIO> io;
    ASSERT_EQ(im->QueryInterface(IID_IOPCSyncIO, io.out()), S_OK);
    OPCITEMSTATE* st = nullptr;
    ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, &h, &st, &e), S_FALSE);
    std::vector<HRESULT> errs = take(e, 1);
    EXPECT_EQ(errs[0], DISP_E_OVERFLOW); // 1e12 does not fit in VT_I4
    EXPECT_EQ(st[0].wQuality, 0);         // bad
    VariantClear(&st[0].vDataValue);
    CoTaskMemFree(st);

    // Back to a type the value can take: reads work again.
    vt = VT_BSTR;
    ASSERT_EQ(im->SetDatatypes(1, &h, &vt, &e), S_OK);
    take(e, 1);
    ASSERT_EQ(io->Read(OPC_DS_CACHE, 1, &h, &st, &e), S_OK);
    take(e, 1);
    EXPECT_EQ(V_VT(&st[0].vDataValue), VT_BSTR);
    EXPECT_EQ(st[0].hClient, 9u);
    VariantClear(&st[0].vDataValue);
    CoTaskMemFree(st);
}
