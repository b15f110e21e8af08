// IOPCServer, the group enumerators, IOPCGroupStateMgt and IOPCItemMgt through real COM
// against the test host (another process, our proxy/stub). All task memory the server hands
// out is freed here with CoTaskMemFree.
#include <cctype>
#include <chrono>
#include <cstdio>
#include "ClientSupport.h"

using namespace qvclient;

namespace {

class GroupClientTest : public ServerClientTest {
protected:
    // The host's base tick, learned from the revision of a rate of 0.
    DWORD baseTick()
    {
        ComRef<IUnknown> g;
        Group r = addGroup(server.p, L"__tick", IID_IUnknown, g.out(), FALSE, 0);
        EXPECT_EQ(r.hr, OPC_S_UNSUPPORTEDRATE);
        EXPECT_EQ(server->RemoveGroup(r.hServer, TRUE), S_OK);
        return r.revisedRate;
    }
    static double ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b)
    {
        return std::chrono::duration<double, std::milli>(b - a).count();
    }
};

} // namespace

TEST_F(GroupClientTest, StatusAndErrorTexts)
{
    OPCSERVERSTATUS* st = nullptr;
    ASSERT_EQ(server->GetStatus(&st), S_OK);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(takeString(st->szVendorInfo), "QvSrvKit test host");
    EXPECT_EQ(st->wMajorVersion, 1);
    EXPECT_EQ(st->wMinorVersion, 2);
    EXPECT_EQ(st->wBuildNumber, 3);
    EXPECT_EQ(st->wReserved, 63);
    EXPECT_EQ(st->dwGroupCount, 0u);
    EXPECT_EQ(st->dwServerState, OPC_STATUS_RUNNING);
    // No data change has gone to this client yet.
    EXPECT_EQ(st->ftLastUpdateTime.dwHighDateTime | st->ftLastUpdateTime.dwLowDateTime, 0u);
    EXPECT_LE(CompareFileTime(&st->ftStartTime, &st->ftCurrentTime), 0);
    CoTaskMemFree(st);

    LPWSTR text = nullptr;
    ASSERT_EQ(server->GetErrorString(OPC_E_UNKNOWNITEMID, 0x409, &text), S_OK);
    EXPECT_EQ(takeString(text), "OPC_E_UNKNOWNITEMID: The item definition does not exist within the servers address "
                                "space");
    ASSERT_EQ(server->GetErrorString(static_cast<HRESULT>(0xC0DE1234), 0, &text), S_OK);
    EXPECT_EQ(takeString(text), "<unknown error: 0xC0DE1234 -1059188172>");
    // A text from the system's message table, without its line break.
    ASSERT_EQ(server->GetErrorString(ERROR_ACCESS_DENIED, 0, &text), S_OK);
    const std::string sys = takeString(text);
    EXPECT_TRUE(!sys.empty() && sys.rfind("<unknown", 0) != 0 && !std::isspace(static_cast<unsigned char>(sys.back()))) << sys;
}

TEST_F(GroupClientTest, BranchNamesAreNoItems)
{
    ComRef<IOPCItemMgt> im;
    ASSERT_EQ(addGroup(server.p, L"branches", IID_IOPCItemMgt, im.out()).hr, S_OK);
    const HRESULT no = OPC_E_UNKNOWNITEMID;
    for (bool validate : {true, false})
        EXPECT_EQ(addItems(im.p, {{L"Plant"}, {L"Plant.Line"}, {L"Line", L"Plant"}, {L"Plant.Line.Flow"}}, validate).errors,
                  (std::vector<HRESULT>{no, no, no, S_OK}));
}

TEST_F(GroupClientTest, AddGroupGetStateAndRemove)
{
    const DWORD t = baseTick();
    ASSERT_GE(t, 10u);
    ComRef<IOPCGroupStateMgt> st;
    Group g = addGroup(server.p, L"", IID_IOPCGroupStateMgt, st.out(), TRUE, t * 5 / 2, 0x1234);
    EXPECT_EQ(g.hr, S_OK);
    ASSERT_TRUE(st);
    EXPECT_EQ(g.revisedRate, t * 3); // 2.5 ticks round up
    EXPECT_NE(g.hServer, 0u);

    GroupState gs = getState(st.p);
    ASSERT_EQ(gs.hr, S_OK);
    EXPECT_EQ(gs.name, "Group 1"); // the default name ("__tick" was removed)
    EXPECT_EQ(gs.updateRate, t * 3);
    EXPECT_TRUE(gs.active);
    EXPECT_FLOAT_EQ(gs.percentDeadband, 0.0f);
    EXPECT_EQ(gs.lcid, 0x409u);
    EXPECT_EQ(gs.hClient, 0x1234u);
    EXPECT_EQ(gs.hServer, g.hServer);

    DWORD requested = t - 1, revised = 0;
    EXPECT_EQ(st->SetState(&requested, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised, t);
    EXPECT_EQ(st->SetName(L"Group 1"), OPC_E_DUPLICATENAME);
    EXPECT_EQ(st->SetName(L"Renamed"), S_OK);

    ComRef<IUnknown> dup;
    EXPECT_EQ(addGroup(server.p, L"Renamed", IID_IUnknown, dup.out()).hr, OPC_E_DUPLICATENAME);
    EXPECT_EQ(dup.p, nullptr);
    ComRef<IUnknown> byName;
    EXPECT_EQ(server->GetGroupByName(L"Renamed", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(byName.out())), S_OK);
    byName.reset();

    // Still referenced: OPC_S_INUSE; the client's synchronous calls still complete.
    EXPECT_EQ(server->RemoveGroup(g.hServer, FALSE), OPC_S_INUSE);
    EXPECT_EQ(server->GetGroupByName(L"Renamed", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(byName.out())),
              E_INVALIDARG);
    gs = getState(st.p);
    ASSERT_EQ(gs.hr, S_OK);
    EXPECT_EQ(gs.updateRate, t);
    EXPECT_EQ(gs.name, "Renamed");
    EXPECT_EQ(st->SetName(L"Again"), E_FAIL); // no owner any more
    // No worker serves it: an asynchronous request would never complete, so it is refused.
    ComRef<IOPCAsyncIO2> async;
    ASSERT_EQ(st->QueryInterface(IID_IOPCAsyncIO2, async.out()), S_OK);
    DWORD cid = 0;
    EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 1, &cid), E_FAIL);
    EXPECT_EQ(server->RemoveGroup(g.hServer, FALSE), E_FAIL);
    st.reset();
}

TEST_F(GroupClientTest, ForcedRemovalLeavesTheClientWithFailingCalls)
{
    ComRef<IOPCItemMgt> im;
    Group g = addGroup(server.p, L"Forced", IID_IOPCItemMgt, im.out());
    ASSERT_EQ(g.hr, S_OK);
    ComRef<IOPCGroupStateMgt> st;
    ASSERT_EQ(im->QueryInterface(IID_IOPCGroupStateMgt, st.out()), S_OK);
    Items it = addItemIds(im.p, {L"Plant.Line.Flow"});
    ASSERT_EQ(it.hr, S_OK);
    EXPECT_EQ(server->RemoveGroup(g.hServer, TRUE), S_OK);
    EXPECT_EQ(getState(st.p).hr, E_FAIL);
    HRESULT hr = S_OK;
    removeItems(im.p, it.handles, &hr);
    EXPECT_EQ(hr, E_FAIL);
    Items again = addItemIds(im.p, {L"Plant.Line.Flow"});
    EXPECT_EQ(again.hr, E_FAIL);
    EXPECT_TRUE(again.errors.empty());
}

TEST_F(GroupClientTest, AddItemsOfMixedDefinitions)
{
    ComRef<IOPCItemMgt> im;
    ASSERT_EQ(addGroup(server.p, L"Mixed", IID_IOPCItemMgt, im.out()).hr, S_OK);
    Items it = addItems(im.p, {{L"Plant.Line.Flow", L"", VT_EMPTY, TRUE, 1},
                               {L"Plant.NoSuchTag", L"", VT_EMPTY, TRUE, 2},
                               {L"", L"", VT_EMPTY, TRUE, 3},
                               {L"Plant.Line.Status", L"", VT_DISPATCH, TRUE, 4},
                               {L"Line.Count", L"Plant", VT_BSTR, FALSE, 5},
                               {L"Plant.Line.Level", L"", VT_EMPTY, TRUE, 6}});
    EXPECT_EQ(it.hr, S_FALSE);
    ASSERT_EQ(it.errors.size(), 6u);
    EXPECT_EQ(it.errors[0], S_OK);
    EXPECT_EQ(it.errors[1], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(it.errors[2], OPC_E_INVALIDITEMID);
    EXPECT_EQ(it.errors[3], OPC_E_BADTYPE);
    EXPECT_EQ(it.errors[4], S_OK);
    EXPECT_EQ(it.errors[5], S_OK);
    EXPECT_EQ(it.results[0].vtCanonicalDataType, VT_R8);
    EXPECT_EQ(it.results[0].dwAccessRights, 3u);
    EXPECT_EQ(it.results[4].vtCanonicalDataType, VT_I4);
    EXPECT_EQ(it.results[5].dwAccessRights, 1u); // a read-only tag
    for (int i : {1, 2, 3}) {
        EXPECT_EQ(it.handles[i], 0u);
        EXPECT_EQ(it.results[i].vtCanonicalDataType, VT_EMPTY);
    }
    EXPECT_NE(it.handles[0], it.handles[4]);

    Items v = addItems(im.p, {{L"Tank1"}, {L"Nope"}}, true);
    EXPECT_EQ(v.hr, S_FALSE);
    EXPECT_EQ(v.errors, (std::vector<HRESULT>{S_OK, OPC_E_UNKNOWNITEMID}));
    EXPECT_EQ(v.results[0].vtCanonicalDataType, VT_R4);
    EXPECT_EQ(v.handles[0], 0u);

    HRESULT* e = nullptr;
    OPCHANDLE hs[2] = {it.handles[0], 0x12345};
    OPCHANDLE hc[2] = {77, 78};
    ASSERT_EQ(im->SetClientHandles(2, hs, hc, &e), S_FALSE);
    EXPECT_EQ(e[0], S_OK);
    EXPECT_EQ(e[1], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(e);
    ASSERT_EQ(im->SetActiveState(1, hs, FALSE, &e), S_OK);
    CoTaskMemFree(e);
    VARTYPE vt = VT_BSTR;
    ASSERT_EQ(im->SetDatatypes(1, hs, &vt, &e), S_OK);
    CoTaskMemFree(e);

    HRESULT hr = E_FAIL;
    std::vector<HRESULT> removed = removeItems(im.p, {it.handles[0], it.handles[0], it.handles[4]}, &hr);
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(removed, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
}

TEST_F(GroupClientTest, GroupEnumeratorsAreSnapshots)
{
    ComRef<IUnknown> a, b, c;
    ASSERT_EQ(addGroup(server.p, L"Alpha", IID_IUnknown, a.out()).hr, S_OK);
    Group gb = addGroup(server.p, L"Beta", IID_IUnknown, b.out());
    ASSERT_EQ(gb.hr, S_OK);
    ASSERT_EQ(addGroup(server.p, L"Gamma", IID_IUnknown, c.out()).hr, S_OK);

    ComRef<IEnumString> names;
    ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(names.out())),
              S_OK);
    ComRef<IEnumUnknown> groups;
    ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_PRIVATE_CONNECTIONS, IID_IEnumUnknown,
                                            reinterpret_cast<LPUNKNOWN*>(groups.out())),
              S_OK);
    // Later changes do not reach the snapshots.
    ComRef<IUnknown> d;
    ASSERT_EQ(addGroup(server.p, L"Delta", IID_IUnknown, d.out()).hr, S_OK);

    LPOLESTR s[4] = {};
    ULONG n = 0;
    ASSERT_EQ(names->Next(4, s, &n), S_FALSE); // a short batch
    ASSERT_EQ(n, 3u);
    EXPECT_EQ(takeString(s[0]), "Alpha");
    EXPECT_EQ(takeString(s[1]), "Beta");
    EXPECT_EQ(takeString(s[2]), "Gamma");
    EXPECT_EQ(names->Next(1, s, &n), S_FALSE);

    EXPECT_EQ(groups->Skip(1), S_OK);
    IUnknown* got[3] = {};
    ASSERT_EQ(groups->Next(3, got, &n), S_FALSE);
    ASSERT_EQ(n, 2u);
    const char* expected[2] = {"Beta", "Gamma"};
    for (ULONG i = 0; i < n; ++i) {
        ComRef<IOPCGroupStateMgt> st;
        ASSERT_EQ(got[i]->QueryInterface(IID_IOPCGroupStateMgt, st.out()), S_OK);
        GroupState gs = getState(st.p);
        ASSERT_EQ(gs.hr, S_OK);
        EXPECT_EQ(gs.name, expected[i]);
        got[i]->Release();
    }
    // Beta is listed by the live enumerator: still referenced after the client let go.
    b.reset();
    EXPECT_EQ(server->RemoveGroup(gb.hServer, FALSE), OPC_S_INUSE);

    ComRef<IEnumUnknown> empty;
    ASSERT_EQ(server->CreateGroupEnumerator(OPC_ENUM_PUBLIC, IID_IEnumUnknown,
                                            reinterpret_cast<LPUNKNOWN*>(empty.out())),
              S_OK);
    EXPECT_EQ(empty->Next(1, got, &n), S_FALSE);
    ComRef<IUnknown> bad;
    EXPECT_EQ(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IOPCServer, reinterpret_cast<LPUNKNOWN*>(bad.out())),
              E_NOINTERFACE);
}

TEST_F(GroupClientTest, CloneGroupCopiesItems)
{
    ComRef<IOPCItemMgt> im;
    ASSERT_EQ(addGroup(server.p, L"Source", IID_IOPCItemMgt, im.out()).hr, S_OK);
    Items it = addItemIds(im.p, {L"Plant.Line.Flow", L"Plant.Line.Count"});
    ASSERT_EQ(it.hr, S_OK);
    ComRef<IOPCGroupStateMgt> st;
    ASSERT_EQ(im->QueryInterface(IID_IOPCGroupStateMgt, st.out()), S_OK);
    ComRef<IOPCItemMgt> clone;
    ASSERT_EQ(st->CloneGroup(L"Copy", IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(clone.out())), S_OK);
    // The source's handles mean nothing in the clone.
    HRESULT hr = S_OK;
    EXPECT_EQ(removeItems(clone.p, it.handles, &hr), (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(hr, S_FALSE);
    ComRef<IUnknown> dup;
    EXPECT_EQ(st->CloneGroup(L"Copy", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(dup.out())), OPC_E_DUPLICATENAME);
}

// 100,000 items into one group and out again, each in one call, through COM.
TEST_F(GroupClientTest, HundredThousandItemsAcrossProcesses)
{
    ComRef<IOPCItemMgt> im;
    ASSERT_EQ(addGroup(server.p, L"Big", IID_IOPCItemMgt, im.out(), FALSE).hr, S_OK);
    double addMs[2] = {}, removeMs[2] = {};
    const DWORD sizes[2] = {10000, 100000};
    for (int round = 0; round < 2; ++round) {
        const DWORD n = sizes[round];
        std::vector<ItemSpec> wanted(n);
        for (DWORD i = 0; i < n; ++i)
            wanted[i] = {i % 3 == 0 ? L"Plant.Line.Flow" : (i % 3 == 1 ? L"Plant.Line.Count" : L"Tank1"), L"", VT_EMPTY,
                        TRUE, i};
        auto t0 = std::chrono::steady_clock::now();
        Items it = addItems(im.p, wanted);
        auto t1 = std::chrono::steady_clock::now();
        ASSERT_EQ(it.hr, S_OK);
        ASSERT_EQ(it.handles.size(), n);
        HRESULT hr = E_FAIL;
        auto t2 = std::chrono::steady_clock::now();
        std::vector<HRESULT> errs = removeItems(im.p, it.handles, &hr);
        auto t3 = std::chrono::steady_clock::now();
        ASSERT_EQ(hr, S_OK);
        ASSERT_EQ(errs.size(), n);
        addMs[round] = ms(t0, t1);
        removeMs[round] = ms(t2, t3);
        printf("[ timing ] across processes, %lu items: AddItems %.0f ms, RemoveItems %.0f ms\n",
               static_cast<unsigned long>(n), addMs[round], removeMs[round]);
        fflush(stdout);
    }
    // Ten times the items should cost about ten times as much, not a hundred (with room for
    // noise on a loaded machine).
    EXPECT_LT(addMs[1], 40 * addMs[0] + 2000);
    EXPECT_LT(removeMs[1], 40 * removeMs[0] + 2000);
    EXPECT_LT(addMs[1], 120000.0);
}
