// IOPCServer in process: group names, rates, removal and its lifetime rules,
// status, error texts and the group enumerators' creation.
#include "GroupTestSupport.h"
#include <climits>
#include <cstdio>
#include "base/ErrorText.h"

using namespace qv;
using qvtest::ComRef;

namespace {

class IOPCServerTest : public qvtest::ServerFixture {};

std::string taskText(LPWSTR w)
{
    std::string s = qvtest::narrowW(w);
    CoTaskMemFree(w);
    return s;
}

} // namespace

TEST_F(IOPCServerTest, DefaultGroupNamesAreReused)
{
    ComRef<IUnknown> g1, g2, g3, g4;
    OPCHANDLE h2 = 0;
    ASSERT_EQ(addGroup(nullptr, g1.out()), S_OK);
    ASSERT_EQ(addGroup(L"", g2.out(), &h2), S_OK);
    ASSERT_EQ(addGroup(nullptr, g3.out()), S_OK);
    EXPECT_EQ(groupNames(), (std::vector<std::string>{"Group 1", "Group 2", "Group 3"}));
    g2.reset();
    ASSERT_EQ(srv->RemoveGroup(h2, FALSE), S_OK);
    ASSERT_EQ(addGroup(nullptr, g4.out()), S_OK);
    EXPECT_EQ(groupNames(), (std::vector<std::string>{"Group 1", "Group 3", "Group 2"}));
}

TEST_F(IOPCServerTest, DefaultNameSkipsANameTheClientChose)
{
    ComRef<IUnknown> a, b;
    ASSERT_EQ(addGroup(L"Group 1", a.out()), S_OK);
    ASSERT_EQ(addGroup(nullptr, b.out()), S_OK);
    EXPECT_EQ(groupNames(), (std::vector<std::string>{"Group 1", "Group 2"}));
}

TEST_F(IOPCServerTest, DuplicateNamesAreRefusedCaseDistinctOnesAccepted)
{
    ComRef<IUnknown> a, b, c;
    ASSERT_EQ(addGroup(L"Pumps", a.out()), S_OK);
    OPCHANDLE h = 123;
    EXPECT_EQ(addGroup(L"Pumps", b.out(), &h), OPC_E_DUPLICATENAME);
    EXPECT_EQ(b.p, nullptr);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(addGroup(L"pumps", c.out()), S_OK);
    EXPECT_EQ(groupCount(), 2u);

    ComRef<IOPCGroupStateMgt> found;
    ASSERT_EQ(srv->GetGroupByName(L"pumps", IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(found.out())), S_OK);
    LPWSTR name = nullptr;
    ASSERT_EQ(found->GetState(nullptr, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(taskText(name), "pumps");
    ComRef<IUnknown> none;
    EXPECT_EQ(srv->GetGroupByName(L"PUMPS", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(none.out())), E_INVALIDARG);
    EXPECT_EQ(none.p, nullptr);
    EXPECT_EQ(srv->GetGroupByName(L"Pumps", IID_IUnknown, nullptr), E_INVALIDARG);
    EXPECT_EQ(srv->GetGroupByName(L"Pumps", IID_IOPCPublicGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(none.out())),
              E_NOINTERFACE);
}

TEST_F(IOPCServerTest, AddGroupWithNullOutPointersCreatesNothing)
{
    ComRef<IUnknown> g;
    OPCHANDLE h = 5;
    DWORD revised = 5;
    EXPECT_EQ(srv->AddGroup(L"A", TRUE, 1000, 1, nullptr, nullptr, 0, nullptr, &revised, IID_IUnknown,
                            reinterpret_cast<LPUNKNOWN*>(g.out())),
              E_INVALIDARG);
    EXPECT_EQ(g.p, nullptr);
    EXPECT_EQ(srv->AddGroup(L"A", TRUE, 1000, 1, nullptr, nullptr, 0, &h, &revised, IID_IUnknown, nullptr),
              E_INVALIDARG);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(groupCount(), 0u);
    // The revised-rate pointer is optional.
    EXPECT_EQ(srv->AddGroup(L"A", TRUE, 1000, 1, nullptr, nullptr, 0, &h, nullptr, IID_IUnknown,
                            reinterpret_cast<LPUNKNOWN*>(g.out())),
              S_OK);
    EXPECT_NE(h, 0u);
    EXPECT_EQ(groupCount(), 1u);
}

TEST_F(IOPCServerTest, AddGroupFillsTheStateAndRefusesUnknownInterfaces)
{
    LONG bias = -60;
    FLOAT deadband = 2.5f;
    OPCHANDLE h = 0;
    DWORD revised = 0;
    ComRef<IOPCGroupStateMgt> st;
    ASSERT_EQ(srv->AddGroup(L"State", FALSE, 2000, 0xABC, &bias, &deadband, 0x407, &h, &revised,
                            IID_IOPCGroupStateMgt, reinterpret_cast<LPUNKNOWN*>(st.out())),
              S_OK);
    DWORD rate = 0, lcid = 0;
    BOOL active = TRUE;
    LONG tb = 0;
    FLOAT db = 0;
    OPCHANDLE hc = 0, hs = 0;
    LPWSTR name = nullptr;
    ASSERT_EQ(st->GetState(&rate, &active, &name, &tb, &db, &lcid, &hc, &hs), S_OK);
    EXPECT_EQ(taskText(name), "State");
    EXPECT_EQ(rate, 2000u);
    EXPECT_EQ(revised, 2000u);
    EXPECT_FALSE(active);
    EXPECT_EQ(tb, -60);
    EXPECT_FLOAT_EQ(db, 2.5f);
    EXPECT_EQ(lcid, 0x407u);
    EXPECT_EQ(hc, 0xABCu);
    EXPECT_EQ(hs, h);
    // The handle is an opaque number, not the group's address.
    auto grp = groupNamed("State");
    ASSERT_TRUE(grp);
    EXPECT_NE(reinterpret_cast<uintptr_t>(grp.get()), static_cast<uintptr_t>(h));

    // Defaults: the local standard bias and no deadband.
    ComRef<IOPCGroupStateMgt> st2;
    ASSERT_EQ(addGroup(L"Defaults", st2.out()), S_OK);
    ASSERT_EQ(st2->GetState(nullptr, nullptr, nullptr, &tb, &db, nullptr, nullptr, nullptr), S_OK);
    TIME_ZONE_INFORMATION tzi;
    GetTimeZoneInformation(&tzi);
    EXPECT_EQ(tb, tzi.Bias);
    EXPECT_FLOAT_EQ(db, 0.0f);

    ComRef<IUnknown> none;
    revised = 0;
    EXPECT_EQ(addGroup(L"Public", none.out(), &h, TRUE, 1000, IID_IOPCPublicGroupStateMgt, 0, &revised),
              E_NOINTERFACE);
    EXPECT_EQ(none.p, nullptr);
    EXPECT_EQ(h, 0u);
    EXPECT_EQ(revised, 1000u);
    EXPECT_EQ(groupCount(), 2u);
}

TEST_F(IOPCServerTest, RatesFollowTheTable)
{
    struct Row { DWORD requested, revised; HRESULT hr; };
    const Row rows[] = {{0, 500, OPC_S_UNSUPPORTEDRATE}, {100, 500, OPC_S_UNSUPPORTEDRATE}, {500, 500, S_OK},
                        {749, 500, S_OK}, {750, 1000, S_OK}, {1234, 1000, S_OK}, {1250, 1500, S_OK},
                        {499, 500, OPC_S_UNSUPPORTEDRATE}, {1000, 1000, S_OK},
                        // Near 2^32: the largest multiple of 500 that fits, never a wrapped value.
                        {0xFFFFFFFFu, 4294967000u, S_OK}, {0xFFFFFF00u, 4294967000u, S_OK},
                        {4294966750u, 4294967000u, S_OK}, {4294966749u, 4294966500u, S_OK}};
    int n = 0;
    for (const Row& r : rows) {
        ComRef<IUnknown> g;
        DWORD revised = 0;
        wchar_t name[16];
        swprintf(name, 16, L"R%d", n++);
        EXPECT_EQ(addGroup(name, g.out(), nullptr, TRUE, r.requested, IID_IUnknown, 0, &revised), r.hr)
            << r.requested;
        EXPECT_EQ(revised, r.revised) << r.requested;
    }
    HRESULT hr = 1;
    EXPECT_EQ(reviseUpdateRate(0xFFFFFFFFu, 7, &hr), 0xFFFFFFFFu / 7 * 7);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(reviseUpdateRate(0xFFFFFFFFu, 0x80000000u, &hr), 0x80000000u);
    EXPECT_EQ(reviseUpdateRate(0xC0000000u, 0x80000000u, &hr), 0x80000000u); // 1.5 T rounds up, clamped
    EXPECT_EQ(reviseUpdateRate(15, 10, &hr), 20u);
    EXPECT_EQ(reviseUpdateRate(14, 10, &hr), 10u);
    EXPECT_EQ(reviseUpdateRate(9, 10, &hr), 10u);
    EXPECT_EQ(hr, OPC_S_UNSUPPORTEDRATE);
}

TEST_F(IOPCServerTest, RemoveReferencedGroupAnswersInUseAndDiesOnLastRelease)
{
    OPCHANDLE h = 0;
    ComRef<IOPCGroupStateMgt> st;
    ASSERT_EQ(addGroup(L"Busy", st.out(), &h), S_OK);
    std::weak_ptr<OPCGroup> weak = groupNamed("Busy");
    ASSERT_FALSE(weak.expired());

    EXPECT_EQ(srv->RemoveGroup(h, FALSE), OPC_S_INUSE);
    EXPECT_EQ(groupCount(), 0u);
    ComRef<IUnknown> none;
    EXPECT_EQ(srv->GetGroupByName(L"Busy", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(none.out())), E_INVALIDARG);
    ComRef<IEnumString> names;
    ASSERT_EQ(srv->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(names.out())),
              S_OK);
    LPOLESTR s = nullptr;
    EXPECT_EQ(names->Next(1, &s, nullptr), S_FALSE);
    // A second removal of the same handle finds nothing.
    EXPECT_EQ(srv->RemoveGroup(h, FALSE), E_FAIL);
    EXPECT_EQ(srv->RemoveGroup(h, TRUE), E_FAIL);

    // The client keeps working with it...
    LPWSTR name = nullptr;
    ASSERT_EQ(st->GetState(nullptr, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(taskText(name), "Busy");
    DWORD rate = 2000, revised = 0;
    EXPECT_EQ(st->SetState(&rate, &revised, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(revised, 2000u);
    // ...but what needs the owning server fails cleanly.
    EXPECT_EQ(st->SetName(L"Other"), E_FAIL);
    ComRef<IUnknown> clone;
    EXPECT_EQ(st->CloneGroup(L"Clone", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(clone.out())), E_FAIL);
    EXPECT_EQ(clone.p, nullptr);
    EXPECT_EQ(groupCount(), 0u);

    // Its last Release destroys it.
    EXPECT_FALSE(weak.expired());
    EXPECT_EQ(st.p->Release(), 0u);
    st.p = nullptr;
    EXPECT_TRUE(weak.expired());
}

TEST_F(IOPCServerTest, RemoveUnreferencedGroupDestroysItAtOnce)
{
    OPCHANDLE h = 0;
    ComRef<IUnknown> g;
    ASSERT_EQ(addGroup(L"Idle", g.out(), &h), S_OK);
    std::weak_ptr<OPCGroup> weak = groupNamed("Idle");
    g.reset();
    // Still listed: the server owns it while its count is 0.
    EXPECT_FALSE(weak.expired());
    EXPECT_EQ(srv->RemoveGroup(h, FALSE), S_OK);
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(srv->RemoveGroup(h, FALSE), E_FAIL);
    EXPECT_EQ(srv->RemoveGroup(0, FALSE), E_FAIL);
}

TEST_F(IOPCServerTest, ForcedRemovalOfAReferencedGroupFailsLaterCallsCleanly)
{
    ASSERT_NE(qvtest::makeTag("F.Tag", qvtest::vI4(1)), QV_INVALID_HANDLE);
    OPCHANDLE h = 0;
    ComRef<IOPCGroupStateMgt> st;
    ASSERT_EQ(addGroup(L"Forced", st.out(), &h), S_OK);
    ComRef<IOPCItemMgt> im;
    ASSERT_EQ(st->QueryInterface(IID_IOPCItemMgt, im.out()), S_OK);
    OPCITEMDEF def = qvtest::itemDef(L"F.Tag");
    OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(im->AddItems(1, &def, &res, &err), S_OK);
    OPCHANDLE item = res[0].hServer;
    CoTaskMemFree(res);
    CoTaskMemFree(err);
    std::weak_ptr<OPCGroup> weak = groupNamed("Forced");

    EXPECT_EQ(srv->RemoveGroup(h, TRUE), S_OK);
    EXPECT_EQ(groupCount(), 0u);
    {
        const std::shared_ptr<OPCGroup> removed = weak.lock(); // the memory stays while the client holds references
        ASSERT_TRUE(removed);
        EXPECT_TRUE(removed->gone());
    }

    DWORD rate = 0;
    LPWSTR name = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(st->GetState(&rate, nullptr, &name, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(st->SetState(&rate, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(st->SetName(L"X"), E_FAIL);
    ComRef<IUnknown> clone;
    EXPECT_EQ(st->CloneGroup(L"Y", IID_IUnknown, reinterpret_cast<LPUNKNOWN*>(clone.out())), E_FAIL);
    res = reinterpret_cast<OPCITEMRESULT*>(1);
    err = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(im->AddItems(1, &def, &res, &err), E_FAIL);
    EXPECT_EQ(res, nullptr);
    EXPECT_EQ(err, nullptr);
    EXPECT_EQ(im->ValidateItems(1, &def, FALSE, &res, &err), E_FAIL);
    EXPECT_EQ(im->RemoveItems(1, &item, &err), E_FAIL);
    EXPECT_EQ(im->SetActiveState(1, &item, FALSE, &err), E_FAIL);
    EXPECT_EQ(im->SetClientHandles(1, &item, &item, &err), E_FAIL);
    VARTYPE vt = VT_BSTR;
    EXPECT_EQ(im->SetDatatypes(1, &item, &vt, &err), E_FAIL);
    ComRef<IUnknown> en;
    EXPECT_EQ(im->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(en.out())), E_FAIL);
    EXPECT_EQ(err, nullptr);
    // An interface not asked for before cannot be had any more.
    ComRef<IUnknown> sync;
    EXPECT_EQ(st->QueryInterface(IID_IOPCSyncIO, sync.out()), E_NOINTERFACE);

    im.reset();
    st.reset();
    EXPECT_TRUE(weak.expired());
}

TEST_F(IOPCServerTest, GroupsOutlivingTheirServerFailCleanly)
{
    ComRef<IOPCGroupStateMgt> st;
    ASSERT_EQ(addGroup(L"Orphan", st.out()), S_OK);
    std::weak_ptr<OPCGroup> weak = groupNamed("Orphan");
    srv.reset();
    qvtest::deleteServer(server);
    server = nullptr;
    ASSERT_FALSE(weak.expired());
    EXPECT_EQ(st->GetState(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), E_FAIL);
    EXPECT_EQ(st->SetName(L"X"), E_FAIL);
    st.reset();
    EXPECT_TRUE(weak.expired());
}

TEST_F(IOPCServerTest, HandlesAreUniqueAndNeverReused)
{
    OPCHANDLE h1 = 0, h2 = 0, h3 = 0;
    ComRef<IUnknown> a, b, c;
    ASSERT_EQ(addGroup(L"A", a.out(), &h1), S_OK);
    ASSERT_EQ(addGroup(L"B", b.out(), &h2), S_OK);
    EXPECT_NE(h1, h2);
    a.reset();
    ASSERT_EQ(srv->RemoveGroup(h1, FALSE), S_OK);
    ASSERT_EQ(addGroup(L"A", c.out(), &h3), S_OK);
    EXPECT_NE(h3, h1);
    EXPECT_EQ(srv->RemoveGroup(h1, TRUE), E_FAIL); // the stale handle designates nothing
    EXPECT_EQ(groupCount(), 2u);
}

TEST_F(IOPCServerTest, GetStatusReportsTheHostsData)
{
    OPCServerApp& app = App();
    const std::string savedVendor = app.vendorInfoCopy();
    {
        LockGuard g(app.globalLock);
        app.vendorInfo = "Unit vendor";
    }
    app.majorVersion = 4;
    app.minorVersion = 5;
    app.buildNumber = 6;
    app.bandWidth = 77;
    ComRef<IUnknown> g1;
    ASSERT_EQ(addGroup(L"G", g1.out()), S_OK);

    EXPECT_EQ(srv->GetStatus(nullptr), E_INVALIDARG);
    OPCSERVERSTATUS* st = nullptr;
    ASSERT_EQ(srv->GetStatus(&st), S_OK);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(taskText(st->szVendorInfo), "Unit vendor");
    EXPECT_EQ(st->wMajorVersion, 4);
    EXPECT_EQ(st->wMinorVersion, 5);
    EXPECT_EQ(st->wBuildNumber, 6);
    EXPECT_EQ(st->dwBandWidth, 77u);
    EXPECT_EQ(st->dwGroupCount, 1u); // the group added above
    EXPECT_EQ(st->wReserved, 63);
    EXPECT_EQ(st->dwServerState, OPC_STATUS_RUNNING);
    EXPECT_EQ(st->ftLastUpdateTime.dwLowDateTime | st->ftLastUpdateTime.dwHighDateTime, 0u); // nothing sent yet
    EXPECT_EQ(CompareFileTime(&st->ftStartTime, &app.startTime), 0);
    EXPECT_GE(CompareFileTime(&st->ftCurrentTime, &server->startTime), 0);
    CoTaskMemFree(st);

    {
        LockGuard g(app.globalLock);
        app.vendorInfo = savedVendor;
    }
    app.majorVersion = 0;
    app.minorVersion = 0;
    app.buildNumber = 0;
    app.bandWidth = 0;
}

TEST_F(IOPCServerTest, GetErrorStringUsesTheTableThenTheSystemThenAFormat)
{
    EXPECT_EQ(srv->GetErrorString(OPC_E_UNKNOWNITEMID, 0, nullptr), E_INVALIDARG);
    LPWSTR s = nullptr;
    ASSERT_EQ(srv->GetErrorString(static_cast<HRESULT>(0xC0040007), 0x409, &s), S_OK);
    EXPECT_EQ(taskText(s), "OPC_E_UNKNOWNITEMID: The item definition does not exist within the servers address space");
    ASSERT_EQ(srv->GetErrorString(OPC_S_INUSE, 0, &s), S_OK);
    EXPECT_EQ(taskText(s), "OPC_S_INUSE: The operation cannot be completed because the object still has references "
                           "that exist");
    ASSERT_EQ(srv->GetErrorString(static_cast<HRESULT>(0xC0DE1234), 0, &s), S_OK);
    EXPECT_EQ(taskText(s), "<unknown error: 0xC0DE1234 -1059188172>");
    ASSERT_EQ(srv->GetErrorString(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), 0, &s), S_OK);
    std::string sys = taskText(s);
    EXPECT_EQ(sys, errorText(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)));
    EXPECT_LE(sys.size(), 127u);
    EXPECT_EQ(errorText(E_OUTOFMEMORY).rfind("E_OUTOFMEMORY: ", 0), 0u);
}

TEST_F(IOPCServerTest, CreateGroupEnumeratorChecksItsArgumentsAndScope)
{
    ComRef<IUnknown> a, b;
    ASSERT_EQ(addGroup(L"A", a.out()), S_OK);
    ASSERT_EQ(addGroup(L"B", b.out()), S_OK);
    EXPECT_EQ(srv->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, nullptr), E_INVALIDARG);
    ComRef<IUnknown> e;
    EXPECT_EQ(srv->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IOPCServer, reinterpret_cast<LPUNKNOWN*>(e.out())),
              E_NOINTERFACE);
    EXPECT_EQ(e.p, nullptr);

    const OPCENUMSCOPE listing[] = {OPC_ENUM_PRIVATE_CONNECTIONS, OPC_ENUM_ALL_CONNECTIONS, OPC_ENUM_PRIVATE,
                                    OPC_ENUM_ALL};
    for (OPCENUMSCOPE scope : listing) {
        ComRef<IEnumString> names;
        ASSERT_EQ(srv->CreateGroupEnumerator(scope, IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(names.out())), S_OK);
        LPOLESTR got[3] = {};
        ULONG n = 0;
        EXPECT_EQ(names->Next(3, got, &n), S_FALSE); // a short batch
        ASSERT_EQ(n, 2u) << scope;
        EXPECT_EQ(taskText(got[0]), "A");
        EXPECT_EQ(taskText(got[1]), "B");
        ComRef<IEnumUnknown> groups;
        ASSERT_EQ(srv->CreateGroupEnumerator(scope, IID_IEnumUnknown, reinterpret_cast<LPUNKNOWN*>(groups.out())), S_OK);
        IUnknown* g[3] = {};
        EXPECT_EQ(groups->Next(3, g, &n), S_FALSE);
        EXPECT_EQ(n, 2u);
        for (ULONG i = 0; i < n; ++i) g[i]->Release();
    }
    const OPCENUMSCOPE empty[] = {OPC_ENUM_PUBLIC_CONNECTIONS, OPC_ENUM_PUBLIC, static_cast<OPCENUMSCOPE>(99)};
    for (OPCENUMSCOPE scope : empty) {
        ComRef<IEnumString> names;
        ASSERT_EQ(srv->CreateGroupEnumerator(scope, IID_IEnumString, reinterpret_cast<LPUNKNOWN*>(names.out())), S_OK);
        LPOLESTR s = nullptr;
        EXPECT_EQ(names->Next(1, &s, nullptr), S_FALSE);
        ComRef<IEnumUnknown> groups;
        ASSERT_EQ(srv->CreateGroupEnumerator(scope, IID_IEnumUnknown, reinterpret_cast<LPUNKNOWN*>(groups.out())), S_OK);
        IUnknown* g = nullptr;
        EXPECT_EQ(groups->Next(1, &g, nullptr), S_FALSE);
        EXPECT_EQ(g, nullptr);
    }
}

TEST_F(IOPCServerTest, ServerReferenceCountingGoesThroughTheInterface)
{
    ComRef<IOPCServer> again;
    ASSERT_EQ(srv->QueryInterface(IID_IOPCServer, again.out()), S_OK);
    EXPECT_EQ(again.p, srv.p);
    EXPECT_EQ(server->refCount.load(), 2);
    ComRef<IUnknown> unk;
    ASSERT_EQ(srv->QueryInterface(IID_IUnknown, unk.out()), S_OK);
    EXPECT_EQ(unk.p, static_cast<IUnknown*>(server));
}
