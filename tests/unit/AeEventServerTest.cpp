// IOPCEventServer and IOPCEventSubscriptionMgt in-process: vocabulary, codes, subscription
// creation.
#include <string>
#include <vector>
#include "TestSupport.h"
#include "ae/COPCEventSubscription.h"
#include "qvopc.h"
#include "server/OPCServer.h"

using namespace qv;

namespace {

std::vector<std::wstring> takeStrings(LPWSTR* arr, DWORD n)
{
    std::vector<std::wstring> out;
    for (DWORD i = 0; i < n; ++i) {
        out.push_back(arr[i]);
        CoTaskMemFree(arr[i]);
    }
    CoTaskMemFree(arr);
    return out;
}

class AeServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = qvtest::newServer();
        ASSERT_EQ(server->QueryInterface(IID_IOPCEventServer, reinterpret_cast<void**>(&es)), S_OK);
    }
    void TearDown() override
    {
        if (es) es->Release();
        qvtest::deleteServer(server); // never in the client list: the test owns it
    }
    size_t subscriptionCount()
    {
        LockGuard g(App().globalLock);
        return server->subscriptions.size();
    }

    OPCServer* server = nullptr;
    IOPCEventServer* es = nullptr;
};

TEST_F(AeServerTest, QueryEventCategoriesFollowsTheTypeMask)
{
    struct Case {
        DWORD mask;
        std::vector<DWORD> ids;
        std::vector<std::wstring> descs;
    } cases[] = {
        {OPC_SIMPLE_EVENT, {1}, {L"System Message"}},
        {OPC_CONDITION_EVENT, {2, 3}, {L"Level", L"Discrete"}},
        {OPC_SIMPLE_EVENT | OPC_CONDITION_EVENT, {1, 2, 3}, {L"System Message", L"Level", L"Discrete"}},
        {OPC_ALL_EVENTS, {1, 2, 3}, {L"System Message", L"Level", L"Discrete"}},
        {OPC_TRACKING_EVENT, {}, {}},
        {0, {}, {}},
        {OPC_TRACKING_EVENT | OPC_CONDITION_EVENT, {2, 3}, {L"Level", L"Discrete"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mask);
        DWORD n = 99;
        DWORD* ids = nullptr;
        LPWSTR* descs = nullptr;
        ASSERT_EQ(es->QueryEventCategories(c.mask, &n, &ids, &descs), S_OK);
        ASSERT_EQ(n, c.ids.size());
        EXPECT_EQ(std::vector<DWORD>(ids, ids + n), c.ids);
        EXPECT_EQ(takeStrings(descs, n), c.descs);
        CoTaskMemFree(ids);
    }
    DWORD n = 0;
    DWORD* ids = nullptr;
    LPWSTR* descs = nullptr;
    EXPECT_EQ(es->QueryEventCategories(OPC_ALL_EVENTS, nullptr, &ids, &descs), E_INVALIDARG);
    EXPECT_EQ(es->QueryEventCategories(OPC_ALL_EVENTS, &n, nullptr, &descs), E_INVALIDARG);
    EXPECT_EQ(es->QueryEventCategories(OPC_ALL_EVENTS, &n, &ids, nullptr), E_INVALIDARG);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(descs, nullptr);
}

TEST_F(AeServerTest, ConditionAndSubConditionNames)
{
    // Simple events belong to no condition.
    const std::vector<std::wstring> expected[] = {{}, {L"Level Alarm"}, {L"Discrete Alarm"}};
    for (DWORD cat = 1; cat <= 3; ++cat) {
        DWORD n = 0;
        LPWSTR* names = nullptr;
        ASSERT_EQ(es->QueryConditionNames(cat, &n, &names), S_OK);
        EXPECT_EQ(takeStrings(names, n), expected[cat - 1]);
    }
    for (DWORD bad : {0u, 4u, 0xFFFFFFFFu}) {
        DWORD n = 7;
        LPWSTR* names = reinterpret_cast<LPWSTR*>(1);
        EXPECT_EQ(es->QueryConditionNames(bad, &n, &names), E_INVALIDARG);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(names, nullptr);
    }
    LPWSTR* names = nullptr;
    DWORD n = 0;
    EXPECT_EQ(es->QueryConditionNames(2, nullptr, &names), E_INVALIDARG);
    EXPECT_EQ(es->QueryConditionNames(2, &n, nullptr), E_INVALIDARG);

    WCHAR level[] = L"Level Alarm";
    ASSERT_EQ(es->QuerySubConditionNames(level, &n, &names), S_OK);
    EXPECT_EQ(takeStrings(names, n), (std::vector<std::wstring>{L"Lo Lo", L"Lo", L"Hi", L"Hi Hi"}));
    EXPECT_EQ(level, std::wstring(L"Level Alarm")); // the client's string stays as it was

    // Case-sensitive, whole-name comparison; a null name is simply no match.
    WCHAR lower[] = L"level alarm";
    WCHAR longer[] = L"Level Alarm ";
    WCHAR category[] = L"Level"; // a category, not a condition
    for (LPWSTR other : {lower, longer, category, static_cast<LPWSTR>(nullptr)}) {
        n = 5;
        names = reinterpret_cast<LPWSTR*>(1);
        EXPECT_EQ(es->QuerySubConditionNames(other, &n, &names), S_OK);
        EXPECT_EQ(n, 0u);
        EXPECT_EQ(names, nullptr);
    }
    EXPECT_EQ(es->QuerySubConditionNames(level, nullptr, &names), E_INVALIDARG);
    EXPECT_EQ(es->QuerySubConditionNames(level, &n, nullptr), E_INVALIDARG);
}

TEST_F(AeServerTest, AckConditionChecksItsArrays)
{
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(es->AckCondition(2, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(es->AckCondition(3, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);
    errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(es->AckCondition(0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);
}

TEST_F(AeServerTest, UnsupportedOperationsAnswerNotImplementedAfterPointerChecks)
{
    DWORD n = 9, mask = 9;
    LPWSTR* names = reinterpret_cast<LPWSTR*>(1);
    OPCCONDITIONSTATE* state = reinterpret_cast<OPCCONDITIONSTATE*>(1);
    IUnknown* unk = reinterpret_cast<IUnknown*>(1);

    EXPECT_EQ(es->QueryAvailableFilters(&mask), S_OK);
    EXPECT_EQ(mask, 0x1Fu); // event type, category, severity, area, source
    EXPECT_EQ(es->QuerySourceConditions(nullptr, nullptr, &names), E_INVALIDARG);
    // Failures leave no garbage in the out pointers for a proxy to marshal.
    WCHAR unknown[] = L"No.Such.Tag";
    EXPECT_EQ(es->QuerySourceConditions(unknown, &n, &names), E_INVALIDARG);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(es->GetConditionState(nullptr, nullptr, 0, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(es->GetConditionState(unknown, unknown, 0, nullptr, &state), E_INVALIDARG);
    EXPECT_EQ(state, nullptr);
    EXPECT_EQ(es->CreateAreaBrowser(IID_IOPCEventAreaBrowser, nullptr), E_INVALIDARG);
    EXPECT_EQ(es->CreateAreaBrowser(IID_IOPCEventSink, &unk), E_NOINTERFACE);
    EXPECT_EQ(unk, nullptr);
    EXPECT_EQ(es->EnableConditionByArea(3, nullptr), E_INVALIDARG);
    EXPECT_EQ(es->DisableConditionBySource(3, nullptr), E_INVALIDARG);
}

TEST_F(AeServerTest, GetStatusReportsRunningWhateverTheDataAccessState)
{
    OPCServerApp& app = App();
    DWORD oldState = app.serverState;
    WORD oldMajor = app.majorVersion, oldMinor = app.minorVersion, oldBuild = app.buildNumber;
    std::string oldVendor = app.vendorInfoCopy();
    app.serverState = 4; // suspended for Data Access
    app.majorVersion = 5;
    app.minorVersion = 6;
    app.buildNumber = 7;
    {
        LockGuard g(app.globalLock);
        app.vendorInfo = "Caf\xE9 vendor";
    }

    EXPECT_EQ(es->GetStatus(nullptr), E_INVALIDARG);
    OPCEVENTSERVERSTATUS* st = nullptr;
    ASSERT_EQ(es->GetStatus(&st), S_OK);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->dwServerState, OPCAE_STATUS_RUNNING);
    EXPECT_EQ(st->wMajorVersion, 5);
    EXPECT_EQ(st->wMinorVersion, 6);
    EXPECT_EQ(st->wBuildNumber, 7);
    EXPECT_EQ(st->wReserved, 0);
    EXPECT_EQ(std::wstring(st->szVendorInfo), L"Caf\u00E9 vendor");
    const FILETIME never{};
    EXPECT_EQ(CompareFileTime(&st->ftLastUpdateTime, &never), 0); // no event went to this client yet
    EXPECT_EQ(CompareFileTime(&st->ftStartTime, &app.startTime), 0);
    EXPECT_GE(CompareFileTime(&st->ftCurrentTime, &server->startTime), 0);
    CoTaskMemFree(st->szVendorInfo);
    CoTaskMemFree(st);

    app.serverState = oldState;
    app.majorVersion = oldMajor;
    app.minorVersion = oldMinor;
    app.buildNumber = oldBuild;
    LockGuard g(app.globalLock);
    app.vendorInfo = oldVendor;
}

TEST_F(AeServerTest, CreateEventSubscriptionRevisesBufferTimeAndMaxSize)
{
    IUnknown* unk = nullptr;
    DWORD bt = 77, ms = 77;
    EXPECT_EQ(es->CreateEventSubscription(TRUE, 5000, 100, 1, IID_IUnknown, nullptr, &bt, &ms), E_INVALIDARG);
    EXPECT_EQ(es->CreateEventSubscription(TRUE, 5000, 100, 1, IID_IUnknown, &unk, nullptr, &ms), E_INVALIDARG);
    EXPECT_EQ(es->CreateEventSubscription(TRUE, 5000, 100, 1, IID_IUnknown, &unk, &bt, nullptr), E_INVALIDARG);
    EXPECT_EQ(subscriptionCount(), 0u);

    ASSERT_EQ(es->CreateEventSubscription(FALSE, 5000, 100, 0x1234, IID_IUnknown, &unk, &bt, &ms), S_OK);
    EXPECT_EQ(bt, 5000u);
    EXPECT_EQ(ms, 100u);
    ASSERT_EQ(subscriptionCount(), 1u);
    COPCEventSubscription* sub = server->subscriptions[0].get();
    EXPECT_EQ(static_cast<IUnknown*>(sub), unk);
    EXPECT_EQ(sub->AddRef(), 2u); // the client holds the one reference
    sub->Release();

    // The management interface: state, filter, attributes.
    IOPCEventSubscriptionMgt* mgt = nullptr;
    ASSERT_EQ(unk->QueryInterface(IID_IOPCEventSubscriptionMgt, reinterpret_cast<void**>(&mgt)), S_OK);
    BOOL active = TRUE;
    DWORD buf = 9, max = 9, newBuf = 9, newMax = 9;
    OPCHANDLE h = 9;
    EXPECT_EQ(mgt->GetState(nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
    // Null in-pointers keep their values.
    DWORD wantMax = 5000;
    EXPECT_EQ(mgt->SetState(nullptr, nullptr, &wantMax, 99, &newBuf, &newMax), OPC_S_INVALIDMAXSIZE);
    ASSERT_EQ(mgt->GetState(&active, &buf, &max, &h), S_OK);
    EXPECT_EQ(std::vector<DWORD>({DWORD(active), buf, max, DWORD(h)}), std::vector<DWORD>({0, 5000, 1000, 99}));
    DWORD cnt = 9;
    DWORD* attrs = reinterpret_cast<DWORD*>(1);
    EXPECT_EQ(mgt->GetReturnedAttributes(2, &cnt, nullptr), E_INVALIDARG);
    EXPECT_EQ(mgt->GetReturnedAttributes(2, &cnt, &attrs), S_OK); // none selected
    EXPECT_EQ(attrs, nullptr);
    EXPECT_EQ(mgt->SetFilter(OPC_ALL_EVENTS, 0, nullptr, 600, 500, 0, nullptr, 0, nullptr), E_INVALIDARG);
    DWORD badCat = 4;
    EXPECT_EQ(mgt->SetFilter(OPC_ALL_EVENTS, 1, &badCat, 0, 1000, 0, nullptr, 0, nullptr), E_INVALIDARG);
    EXPECT_EQ(mgt->GetFilter(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(mgt->SelectReturnedAttributes(2, 0, nullptr), S_OK);
    EXPECT_EQ(mgt->SelectReturnedAttributes(1, 1, &cnt), E_INVALIDARG); // host messages have none
    EXPECT_EQ(mgt->Refresh(1), E_INVALIDARG); // no sink connected
    EXPECT_EQ(mgt->CancelRefresh(1), E_INVALIDARG);

    // Identity and reference counting go to the subscription.
    IUnknown* again = nullptr;
    EXPECT_EQ(mgt->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, unk);
    again->Release();
    EXPECT_EQ(sub->AddRef(), 3u); // the client's reference and mgt's
    sub->Release();
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(unk->QueryInterface(IID_IOPCServer, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(unk->QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
    mgt->Release();

    EXPECT_EQ(unk->Release(), 0u);
    EXPECT_EQ(subscriptionCount(), 0u); // the last Release takes it off the list
}

TEST_F(AeServerTest, CreateEventSubscriptionHonoursTheRequestedInterface)
{
    IOPCEventSubscriptionMgt* mgt = nullptr;
    DWORD bt = 0, ms = 0;
    ASSERT_EQ(es->CreateEventSubscription(TRUE, 0, 0, 1, IID_IOPCEventSubscriptionMgt,
                                          reinterpret_cast<IUnknown**>(&mgt), &bt, &ms),
              S_OK);
    // Usable as the interface asked for, not just as IUnknown.
    EXPECT_EQ(mgt->Refresh(0), E_INVALIDARG);

    IUnknown* bad = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(es->CreateEventSubscription(TRUE, 0, 0, 2, IID_IOPCServer, &bad, &bt, &ms), E_NOINTERFACE);
    EXPECT_EQ(bad, nullptr);
    EXPECT_EQ(subscriptionCount(), 1u); // the failed one is gone again
    mgt->Release();
    EXPECT_EQ(subscriptionCount(), 0u);
}

} // namespace
