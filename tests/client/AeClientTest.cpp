// Alarms and events as a client meets them through COM: IOPCEventServer, event subscriptions
// and IOPCEventSink delivery of the host's level alarms. The host is driven through its
// command file (qvtesthost.cmd in QV_TEST_LOGDIR).
#include "ComRef.h"
#include "HostActivation.h"
#include "HostCommands.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

namespace {

// What one OnEvent carried, copied before the call returns.
struct Received {
    OPCHANDLE hSubscription = 0;
    BOOL refresh = TRUE, lastRefresh = TRUE;
    DWORD count = 0;
    ONEVENTSTRUCT e{};
    std::wstring source, message, condition, subcondition, actor;
    std::vector<double> attrs; // as numbers; NaN for an empty one
};

class EventSink : public IOPCEventSink {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCEventSink)) {
            *ppv = static_cast<IOPCEventSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    HRESULT STDMETHODCALLTYPE OnEvent(OPCHANDLE h, BOOL refresh, BOOL last, DWORD count, ONEVENTSTRUCT* ev) override
    {
        if ((refresh || stallAll) && gate) {
            SetEvent(entered);
            WaitForSingleObject(gate, 20000);
        }
        if (!refresh && slowMs) Sleep(slowMs);
        // One record per event: several queued events may arrive in one call.
        for (DWORD i = 0; i < (ev ? count : 0); ++i) {
            Received r;
            r.hSubscription = h;
            r.refresh = refresh;
            r.lastRefresh = last;
            r.count = count;
            r.e = ev[i];
            auto copy = [](LPWSTR s) { return std::wstring(s ? s : L"(null)"); };
            r.source = copy(ev[i].szSource);
            r.message = copy(ev[i].szMessage);
            r.condition = copy(ev[i].szConditionName);
            r.subcondition = copy(ev[i].szSubconditionName);
            r.actor = copy(ev[i].szActorID);
            for (DWORD k = 0; k < ev[i].dwNumEventAttrs; ++k) {
                VARIANT d;
                VariantInit(&d);
                bool ok = V_VT(&ev[i].pEventAttributes[k]) != VT_EMPTY &&
                          SUCCEEDED(VariantChangeType(&d, &ev[i].pEventAttributes[k], 0, VT_R8));
                r.attrs.push_back(ok ? V_R8(&d) : std::nan(""));
            }
            std::lock_guard<std::mutex> g(m_);
            got_.push_back(r);
        }
        if (refresh && last) {
            // Counted once its events are recorded: a waiter then finds them.
            std::lock_guard<std::mutex> g(m_);
            ++lastRefreshCalls;
        }
        cv_.notify_all();
        return S_OK;
    }
    // Waits up to timeoutMs for at least n events, then takes all that arrived.
    std::vector<Received> take(size_t n, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> g(m_);
        cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return got_.size() >= n; });
        std::vector<Received> r;
        r.swap(got_);
        return r;
    }
    size_t pending()
    {
        std::lock_guard<std::mutex> g(m_);
        return got_.size();
    }

    // Refresh calls (every call with stallAll) wait on gate (when set) after signalling entered.
    HANDLE gate = nullptr, entered = nullptr;
    bool stallAll = false;
    DWORD slowMs = 0; // every live call takes this long
    int lastRefreshCalls = 0; // under m_
    bool waitLastRefresh(int n, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return lastRefreshCalls >= n; });
    }

    std::atomic<LONG> refs{1};

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Received> got_;
};

bool waitRefs(EventSink& s, LONG want, int timeoutMs = 10000)
{
    for (int waited = 0; s.refs != want; waited += 20) {
        if (waited >= timeoutMs) return false;
        Sleep(20);
    }
    return true;
}

// One client connection with its event server.
struct Client {
    Ref<IUnknown> server;
    Ref<IOPCEventServer> es;
    void connect()
    {
        ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, server.out()), S_OK);
        ASSERT_EQ(server->QueryInterface(IID_IOPCEventServer, es.out()), S_OK);
    }
};

// A subscription with (optionally) a sink advised on its point.
struct Subscription {
    Ref<IOPCEventSubscriptionMgt> mgt;
    Ref<IConnectionPoint> point;
    void create(IOPCEventServer* es, OPCHANDLE h, BOOL active = TRUE, DWORD bufferTime = 0, DWORD maxSize = 0,
                HRESULT expect = S_OK)
    {
        DWORD bt = 77, ms = 77;
        ASSERT_EQ(es->CreateEventSubscription(active, bufferTime, maxSize, h, IID_IOPCEventSubscriptionMgt,
                                              reinterpret_cast<IUnknown**>(mgt.out()), &bt, &ms),
                  expect);
        revisedBufferTime = bt;
        revisedMaxSize = ms;
        Ref<IConnectionPointContainer> cpc;
        ASSERT_EQ(mgt->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
        ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCEventSink, reinterpret_cast<IConnectionPoint**>(point.out())),
                  S_OK);
    }
    DWORD revisedBufferTime = 0, revisedMaxSize = 0;
    void advise(EventSink& sink)
    {
        DWORD cookie = 0;
        ASSERT_EQ(point->Advise(&sink, &cookie), S_OK);
        EXPECT_EQ(cookie, 1u);
    }
};

void expectLevelEvent(const Received& r, OPCHANDLE hSub, bool high)
{
    EXPECT_EQ(r.hSubscription, hSub);
    EXPECT_EQ(r.refresh, FALSE);
    EXPECT_EQ(r.lastRefresh, FALSE);
    EXPECT_GE(r.count, 1u);
    EXPECT_EQ(r.source, L"Ae.Caf\u00E9"); // byte 0xE9 of the host's name, same code point
    EXPECT_EQ(r.condition, L"Level Alarm");
    EXPECT_EQ(r.actor, L"");
    EXPECT_EQ(r.e.dwEventType, OPC_CONDITION_EVENT);
    EXPECT_EQ(r.e.dwEventCategory, 2u);
    EXPECT_EQ(r.e.wQuality, 0xC0);
    EXPECT_EQ(r.e.bAckRequired, FALSE);
    EXPECT_NE(r.e.dwCookie, 0xFFFFFFFFu);
    EXPECT_EQ(r.e.dwNumEventAttrs, 0u);
    if (high) {
        EXPECT_EQ(r.subcondition, L"Hi");
        EXPECT_EQ(r.message, L"High Limit Exceeded");
        EXPECT_EQ(r.e.wChangeMask, OPC_CHANGE_ACTIVE_STATE | OPC_CHANGE_SUBCONDITION | OPC_CHANGE_SEVERITY |
                                       OPC_CHANGE_MESSAGE);
        // Without acknowledgement a condition is acknowledged, in every event.
        EXPECT_EQ(r.e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE | OPC_CONDITION_ACKED);
    } else {
        EXPECT_EQ(r.subcondition, L"");
        EXPECT_EQ(r.message, L"Normal Condition");
        EXPECT_EQ(r.e.wChangeMask, OPC_CHANGE_ACTIVE_STATE | OPC_CHANGE_MESSAGE);
        EXPECT_EQ(r.e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACKED);
    }
    EXPECT_EQ(r.e.dwSeverity, 300u); // the host's "limits" command gives the high limit 300; a clear keeps it
}

} // namespace

TEST(AeClient, LevelAlarmsReachTheSinksOfBothClients)
{
    // Two connections from this process reach two server objects in the same host.
    Client c1, c2;
    ASSERT_NO_FATAL_FAILURE(c1.connect());
    ASSERT_NO_FATAL_FAILURE(c2.connect());
    EventSink sink1, sink2;
    Subscription s1, quiet, s2;
    ASSERT_NO_FATAL_FAILURE(s1.create(c1.es.p, 101));
    ASSERT_NO_FATAL_FAILURE(quiet.create(c1.es.p, 102)); // no sink
    ASSERT_NO_FATAL_FAILURE(s2.create(c2.es.p, 201));
    ASSERT_NO_FATAL_FAILURE(s1.advise(sink1));
    ASSERT_NO_FATAL_FAILURE(s2.advise(sink2));

    const std::string tag = "Ae.Caf\xE9";
    ASSERT_TRUE(hostCommands({"create " + tag + " r8 10 rw", "limits " + tag + " -1000 -999 50 1000"}));
    EXPECT_EQ(sink1.pending() + sink2.pending(), 0u);

    ASSERT_TRUE(hostCommands({"update " + tag + " r8 60"}));
    std::vector<Received> a = sink1.take(1), b = sink2.take(1);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    expectLevelEvent(a[0], 101, true);
    expectLevelEvent(b[0], 201, true);
    EXPECT_EQ(a[0].e.dwCookie, b[0].e.dwCookie);

    // Still above the limit: no new event. Back inside: "Normal".
    ASSERT_TRUE(hostCommands({"update " + tag + " r8 70", "update " + tag + " r8 10"}));
    a = sink1.take(1);
    b = sink2.take(1);
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    expectLevelEvent(a[0], 101, false);
    expectLevelEvent(b[0], 201, false);

    // Releasing a subscription with its sink connected releases the sink; the other client's
    // subscription keeps receiving.
    s2.point.reset();
    s2.mgt.reset();
    EXPECT_TRUE(waitRefs(sink2, 1));
    ASSERT_TRUE(hostCommands({"update " + tag + " r8 55"}));
    EXPECT_EQ(sink1.take(1).size(), 1u);
    EXPECT_EQ(sink2.pending(), 0u);

    ASSERT_TRUE(hostCommands({"update " + tag + " r8 0", "remove " + tag}));
    EXPECT_EQ(sink1.take(1).size(), 1u);
    EXPECT_EQ(s1.point->Unadvise(1), S_OK);
    EXPECT_TRUE(waitRefs(sink1, 1));
}

TEST(AeClient, NoEventWhileEveryLimitIsDisabled)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    EventSink sink;
    Subscription s;
    ASSERT_NO_FATAL_FAILURE(s.create(c.es.p, 7));
    ASSERT_NO_FATAL_FAILURE(s.advise(sink));
    // A new tag, the test tags with their initial limits, and the host's own ramp.
    ASSERT_TRUE(hostCommands({"create Ae.Quiet r8 0 rw", "update Ae.Quiet r8 1e9", "update Ae.Quiet r8 -1e9",
                              "update Plant.Line.Flow r8 1e9", "update Plant.Line.Level r8 -1e9",
                              "update Tank1 r4 100", "update Plant.Line.Flow r8 1.5",
                              "update Plant.Line.Level r8 10", "update Tank1 r4 2.5", "remove Ae.Quiet"}));
    Sleep(300); // a few ramp updates of Sim.Ramp as well
    EXPECT_EQ(sink.pending(), 0u);
    EXPECT_EQ(s.point->Unadvise(1), S_OK);
}

TEST(AeClient, EventServerQueriesAndSubscriptionRulesThroughTheProxy)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    IOPCEventServer* es = c.es.p;

    // Viewers find Alarms and Events servers by their category.
    LPOLESTR clsid = nullptr;
    StringFromCLSID(CLSID_QvTestHost, &clsid);
    std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\Implemented Categories\\{58E13251-AC87-11D1-84D5-00608CB8A7E9}";
    CoTaskMemFree(clsid);
    HKEY cat = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &cat), ERROR_SUCCESS);
    if (cat) RegCloseKey(cat);

    OPCEVENTSERVERSTATUS* st = nullptr;
    ASSERT_EQ(es->GetStatus(&st), S_OK);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->dwServerState, OPCAE_STATUS_RUNNING);
    EXPECT_EQ(std::wstring(st->szVendorInfo), L"QvSrvKit test host");
    EXPECT_EQ(st->wMajorVersion, 1);
    EXPECT_EQ(st->wMinorVersion, 2);
    EXPECT_EQ(st->wBuildNumber, 3);
    CoTaskMemFree(st->szVendorInfo);
    CoTaskMemFree(st);

    DWORD n = 0;
    DWORD* ids = nullptr;
    LPWSTR* descs = nullptr;
    ASSERT_EQ(es->QueryEventCategories(OPC_CONDITION_EVENT, &n, &ids, &descs), S_OK);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(ids[0], 2u);
    EXPECT_EQ(ids[1], 3u);
    EXPECT_EQ(std::wstring(descs[0]), L"Level");
    EXPECT_EQ(std::wstring(descs[1]), L"Discrete");
    for (DWORD i = 0; i < n; ++i) CoTaskMemFree(descs[i]);
    CoTaskMemFree(descs);
    CoTaskMemFree(ids);
    ASSERT_EQ(es->QueryEventCategories(OPC_TRACKING_EVENT, &n, &ids, &descs), S_OK);
    EXPECT_EQ(n, 0u);

    WCHAR level[] = L"Level Alarm", lower[] = L"level alarm";
    LPWSTR* names = nullptr;
    ASSERT_EQ(es->QuerySubConditionNames(level, &n, &names), S_OK);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(std::wstring(names[3]), L"Hi Hi");
    for (DWORD i = 0; i < n; ++i) CoTaskMemFree(names[i]);
    CoTaskMemFree(names);
    ASSERT_EQ(es->QuerySubConditionNames(lower, &n, &names), S_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(es->QueryConditionNames(4, &n, &names), E_INVALIDARG);

    LPWSTR sources[2] = {level, level};
    FILETIME times[2] = {};
    DWORD cookies[2] = {1, 2};
    WCHAR who[] = L"me";
    HRESULT* errors = nullptr;
    ASSERT_EQ(es->AckCondition(2, who, who, sources, sources, times, cookies, &errors), S_FALSE);
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors[0], E_INVALIDARG);
    EXPECT_EQ(errors[1], E_INVALIDARG);
    CoTaskMemFree(errors);

    // The connection-point rules hold.
    Subscription s;
    ASSERT_NO_FATAL_FAILURE(s.create(es, 9));

    Ref<IConnectionPointContainer> cpc;
    ASSERT_EQ(s.mgt->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    Ref<IConnectionPoint> other;
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, reinterpret_cast<IConnectionPoint**>(other.out())),
              E_NOINTERFACE);
    EventSink first, second;
    DWORD cookie = 0;
    ASSERT_EQ(s.point->Advise(&first, &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);
    EXPECT_EQ(s.point->Advise(&second, &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(s.point->Unadvise(2), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(s.point->Unadvise(1), S_OK);
    EXPECT_EQ(s.point->Unadvise(1), CONNECT_E_NOCONNECTION);
    EXPECT_TRUE(waitRefs(first, 1));
    EXPECT_TRUE(waitRefs(second, 1));
}

namespace {

void freeConditionState(OPCCONDITIONSTATE* st)
{
    for (LPWSTR p : {st->szActiveSubCondition, st->szASCDefinition, st->szASCDescription, st->szAcknowledgerID,
                     st->szComment})
        CoTaskMemFree(p);
    for (DWORD i = 0; i < st->dwNumSCs; ++i) {
        CoTaskMemFree(st->pszSCNames[i]);
        CoTaskMemFree(st->pszSCDefinitions[i]);
        CoTaskMemFree(st->pszSCDescriptions[i]);
    }
    for (void* p : {static_cast<void*>(st->pszSCNames), static_cast<void*>(st->pszSCDefinitions),
                    static_cast<void*>(st->pszSCDescriptions), static_cast<void*>(st->pdwSCSeverities),
                    static_cast<void*>(st->pEventAttributes), static_cast<void*>(st->pErrors), static_cast<void*>(st)})
        CoTaskMemFree(p);
}

HRESULT ackThroughProxy(IOPCEventServer* es, const std::wstring& source, FILETIME t, DWORD cookie)
{
    std::wstring src = source, cond = L"Level Alarm", who = L"operator 7", comment = L"valve checked";
    LPWSTR s = &src[0], c = &cond[0];
    HRESULT* errors = nullptr;
    HRESULT hr = es->AckCondition(1, &who[0], &comment[0], &s, &c, &t, &cookie, &errors);
    if (FAILED(hr)) return hr;
    HRESULT one = errors[0];
    CoTaskMemFree(errors);
    return one;
}

std::vector<Received> ofSource(const std::vector<Received>& all, const std::wstring& source)
{
    std::vector<Received> r;
    for (const Received& x : all)
        if (x.source == source) r.push_back(x);
    return r;
}

} // namespace

TEST(AeClient, LateClientRefreshesThenAcknowledgesAndEverySubscriberHears)
{
    Client c1, c2;
    ASSERT_NO_FATAL_FAILURE(c1.connect());
    EventSink sink1, sink2;
    Subscription s1, s2;
    ASSERT_NO_FATAL_FAILURE(s1.create(c1.es.p, 1));
    ASSERT_NO_FATAL_FAILURE(s1.advise(sink1));
    const long logAt = static_cast<long>(hostLogFrom(0).size());
    ASSERT_TRUE(hostCommands({"create Ae.Ack r8 10 rw", "limits Ae.Ack -1000 -999 50 1000", "ackreq Ae.Ack on",
                              "update Ae.Ack r8 60"}));
    std::vector<Received> live = sink1.take(1);
    ASSERT_EQ(live.size(), 1u);
    EXPECT_TRUE(live[0].e.bAckRequired);
    EXPECT_EQ(live[0].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE);

    // A client that comes later learns of the alarm through a refresh.
    ASSERT_NO_FATAL_FAILURE(c2.connect());
    ASSERT_NO_FATAL_FAILURE(s2.create(c2.es.p, 2));
    ASSERT_NO_FATAL_FAILURE(s2.advise(sink2));
    EXPECT_EQ(s2.mgt->Refresh(2), E_INVALIDARG); // not the connection's cookie
    ASSERT_EQ(s2.mgt->Refresh(1), S_OK);
    ASSERT_TRUE(sink2.waitLastRefresh(1));
    std::vector<Received> refreshed = ofSource(sink2.take(0), L"Ae.Ack");
    ASSERT_EQ(refreshed.size(), 1u);
    const Received& r = refreshed[0];
    EXPECT_TRUE(r.refresh);
    EXPECT_EQ(r.condition, L"Level Alarm");
    EXPECT_EQ(r.subcondition, L"Hi");
    EXPECT_TRUE(r.e.bAckRequired);
    EXPECT_EQ(CompareFileTime(&r.e.ftActiveTime, &live[0].e.ftActiveTime), 0);

    FILETIME wrong = r.e.ftActiveTime;
    wrong.dwLowDateTime += 1;
    EXPECT_EQ(ackThroughProxy(c2.es.p, L"Ae.Ack", wrong, r.e.dwCookie), OPC_E_INVALIDTIME);
    EXPECT_EQ(ackThroughProxy(c2.es.p, L"Ae.Ack", r.e.ftActiveTime, r.e.dwCookie + 1), OPC_E_INVALIDTIME);
    ASSERT_EQ(ackThroughProxy(c2.es.p, L"Ae.Ack", r.e.ftActiveTime, r.e.dwCookie), S_OK);
    EXPECT_EQ(ackThroughProxy(c2.es.p, L"Ae.Ack", r.e.ftActiveTime, r.e.dwCookie), OPC_S_ALREADYACKED);
    for (EventSink* s : {&sink1, &sink2}) {
        std::vector<Received> a = s->take(1);
        ASSERT_EQ(a.size(), 1u);
        EXPECT_FALSE(a[0].refresh);
        EXPECT_EQ(a[0].e.wChangeMask, OPC_CHANGE_ACK_STATE);
        EXPECT_EQ(a[0].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE | OPC_CONDITION_ACKED);
        EXPECT_EQ(a[0].actor, L"operator 7");
        EXPECT_EQ(a[0].message, L"valve checked");
    }
    EXPECT_TRUE(waitHostLog(logAt, "ack: tag", 5000));
    EXPECT_NE(hostLogFrom(logAt).find("Level Alarm by operator 7: valve checked"), std::string::npos);

    // The state as GetConditionState and QuerySourceConditions tell it.
    WCHAR source[] = L"Ae.Ack", cond[] = L"Level Alarm";
    DWORD n = 0;
    LPWSTR* names = nullptr;
    ASSERT_EQ(c2.es->QuerySourceConditions(source, &n, &names), S_OK);
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(std::wstring(names[0]), L"Level Alarm");
    CoTaskMemFree(names[0]);
    CoTaskMemFree(names);
    OPCCONDITIONSTATE* st = nullptr;
    // The attributes now: the tag's value, the limit crossed; one the category lacks is an error.
    DWORD attrs[3] = {1, 2, 99}, attr = 1;
    ASSERT_EQ(c2.es->GetConditionState(source, cond, 3, attrs, &st), S_FALSE);
    ASSERT_NE(st, nullptr);
    ASSERT_EQ(st->dwNumEventAttrs, 3u);
    EXPECT_EQ(st->pErrors[0], S_OK);
    EXPECT_EQ(V_VT(&st->pEventAttributes[0]), VT_R8);
    EXPECT_EQ(V_R8(&st->pEventAttributes[0]), 60.0);
    EXPECT_EQ(st->pErrors[1], S_OK);
    EXPECT_EQ(V_R8(&st->pEventAttributes[1]), 50.0);
    EXPECT_EQ(st->pErrors[2], E_INVALIDARG);
    EXPECT_EQ(st->wState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE | OPC_CONDITION_ACKED);
    EXPECT_EQ(std::wstring(st->szActiveSubCondition), L"Hi");
    EXPECT_EQ(std::wstring(st->szASCDefinition), L"Value >= 50");
    EXPECT_EQ(st->dwASCSeverity, 300u);
    EXPECT_EQ(std::wstring(st->szAcknowledgerID), L"operator 7");
    EXPECT_EQ(std::wstring(st->szComment), L"valve checked");
    EXPECT_EQ(CompareFileTime(&st->ftSubCondLastActive, &r.e.ftActiveTime), 0);
    ASSERT_EQ(st->dwNumSCs, 4u);
    EXPECT_EQ(std::wstring(st->pszSCNames[3]), L"Hi Hi");
    freeConditionState(st);
    WCHAR other[] = L"Discrete Alarm";
    EXPECT_EQ(c2.es->GetConditionState(source, other, 0, &attr, &st), E_INVALIDARG);

    ASSERT_TRUE(hostCommands({"update Ae.Ack r8 0", "remove Ae.Ack"}));
    EXPECT_EQ(sink1.take(1).size(), 1u);
    EXPECT_EQ(s1.point->Unadvise(1), S_OK);
    EXPECT_EQ(s2.point->Unadvise(1), S_OK);
}

TEST(AeClient, DiscreteAlarmAndHostMessageArriveWithTheirFields)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    EventSink sink;
    Subscription s;
    ASSERT_NO_FATAL_FAILURE(s.create(c.es.p, 3));
    ASSERT_NO_FATAL_FAILURE(s.advise(sink));
    ASSERT_TRUE(hostCommands({"create Ae.Pump bool 0 rw", "discrete Ae.Pump bool 1 eq 600 Pump tripped",
                              "update Ae.Pump bool 1", "simple Ae.Host 250 Shift change at 06:00"}));
    std::vector<Received> ev = sink.take(2);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].source, L"Ae.Pump");
    EXPECT_EQ(ev[0].e.dwEventType, OPC_CONDITION_EVENT);
    EXPECT_EQ(ev[0].e.dwEventCategory, 3u);
    EXPECT_EQ(ev[0].condition, L"Discrete Alarm");
    EXPECT_EQ(ev[0].subcondition, L"Discrete Alarm");
    EXPECT_EQ(ev[0].message, L"Pump tripped");
    EXPECT_EQ(ev[0].e.dwSeverity, 600u);
    EXPECT_EQ(ev[0].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE | OPC_CONDITION_ACKED);
    EXPECT_EQ(ev[1].source, L"Ae.Host");
    EXPECT_EQ(ev[1].e.dwEventType, OPC_SIMPLE_EVENT);
    EXPECT_EQ(ev[1].e.dwEventCategory, 1u);
    EXPECT_EQ(ev[1].message, L"Shift change at 06:00");
    EXPECT_EQ(ev[1].e.dwSeverity, 250u);
    EXPECT_EQ(ev[1].condition, L"");

    ASSERT_TRUE(hostCommands({"update Ae.Pump bool 0", "remove Ae.Pump"}));
    ev = sink.take(1);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACKED);
    EXPECT_EQ(ev[0].e.dwSeverity, 600u);
    EXPECT_EQ(s.point->Unadvise(1), S_OK);
}

TEST(AeClient, RefreshOnABusyConnectionAnswersBusy)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    EventSink sink;
    sink.gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    sink.entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Subscription s;
    ASSERT_NO_FATAL_FAILURE(s.create(c.es.p, 4));
    EXPECT_EQ(s.mgt->Refresh(1), E_INVALIDARG); // no sink yet
    ASSERT_NO_FATAL_FAILURE(s.advise(sink));
    EXPECT_EQ(s.mgt->CancelRefresh(1), E_FAIL); // none runs
    ASSERT_EQ(s.mgt->Refresh(1), S_OK);
    // The refresh's last call is inside the sink: the refresh still runs.
    ASSERT_EQ(WaitForSingleObject(sink.entered, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(s.mgt->Refresh(1), OPC_E_BUSY);
    SetEvent(sink.gate);
    // Even an empty refresh ends with a last call through the proxy.
    ASSERT_TRUE(sink.waitLastRefresh(1));
    for (int i = 0; i < 100 && s.mgt->Refresh(1) == OPC_E_BUSY; ++i) Sleep(20);
    EXPECT_TRUE(sink.waitLastRefresh(2));
    EXPECT_EQ(s.point->Unadvise(1), S_OK);
    CloseHandle(sink.gate);
    CloseHandle(sink.entered);

    // A slow sink (one event a call, each over a round) behind a long queue: the refresh takes
    // turns with the live calls, so its last call comes long before the queue drains.
    EventSink slow;
    slow.slowMs = 30;
    Subscription q;
    ASSERT_NO_FATAL_FAILURE(q.create(c.es.p, 5, TRUE, 0, 1));
    ASSERT_NO_FATAL_FAILURE(q.advise(slow));
    ASSERT_TRUE(hostCommands({"simpleburst Ae.Backlog 400"}));
    ASSERT_EQ(q.mgt->Refresh(1), S_OK);
    EXPECT_TRUE(slow.waitLastRefresh(1, 3000)); // the queue takes 12 s
    EXPECT_EQ(q.point->Unadvise(1), S_OK);
    EXPECT_TRUE(waitRefs(slow, 1));
}

TEST(AeClient, BufferTimeBatchesMaxSizeCapsAndInactiveGetsNothing)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    Subscription revised, batched, capped, idle;
    // Below the update period and above the largest call: revised, with the success codes.
    ASSERT_NO_FATAL_FAILURE(revised.create(c.es.p, 1, TRUE, 1, 0, OPC_S_INVALIDBUFFERTIME));
    EXPECT_GT(revised.revisedBufferTime, 1u);
    ASSERT_NO_FATAL_FAILURE(revised.create(c.es.p, 1, TRUE, 0, 5000, OPC_S_INVALIDMAXSIZE));
    EXPECT_EQ(revised.revisedMaxSize, 1000u);
    ASSERT_NO_FATAL_FAILURE(batched.create(c.es.p, 2, TRUE, 2000, 0));
    EXPECT_EQ(batched.revisedBufferTime, 2000u);
    ASSERT_NO_FATAL_FAILURE(capped.create(c.es.p, 3, TRUE, 2000, 2));
    EXPECT_EQ(capped.revisedMaxSize, 2u);
    ASSERT_NO_FATAL_FAILURE(idle.create(c.es.p, 4, FALSE));
    EventSink sb, sc, si;
    ASSERT_NO_FATAL_FAILURE(batched.advise(sb));
    ASSERT_NO_FATAL_FAILURE(capped.advise(sc));
    ASSERT_NO_FATAL_FAILURE(idle.advise(si));

    // Five alarm transitions in one burst.
    ASSERT_TRUE(hostCommands({"create Ae.Buf r8 0 rw", "limits Ae.Buf -1000 -999 50 1000", "burst Ae.Buf 5 0 60"}));
    std::vector<Received> b = sb.take(5), cap = sc.take(5);
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(b[0].count, 5u); // one call
    ASSERT_EQ(cap.size(), 5u);
    for (const Received& r : cap) EXPECT_LE(r.count, 2u);
    EXPECT_EQ(cap[0].count, 2u); // a full call does not wait for the buffer time
    EXPECT_EQ(si.pending(), 0u);

    // State round trip; activated, the idle one receives, with its new handle.
    BOOL active = TRUE;
    DWORD bt = 9, ms = 9, rbt = 9, rms = 9;
    OPCHANDLE h = 0;
    ASSERT_EQ(idle.mgt->GetState(&active, &bt, &ms, &h), S_OK);
    EXPECT_EQ(active, FALSE);
    EXPECT_EQ(h, 4u);
    BOOL on = TRUE;
    ASSERT_EQ(idle.mgt->SetState(&on, nullptr, nullptr, 44, &rbt, &rms), S_OK);
    ASSERT_TRUE(hostCommands({"update Ae.Buf r8 0", "remove Ae.Buf"})); // the burst ended high
    std::vector<Received> i = si.take(1);
    ASSERT_EQ(i.size(), 1u);
    EXPECT_EQ(i[0].hSubscription, 44u);
    // Inactive again: nothing more.
    BOOL off = FALSE;
    ASSERT_EQ(idle.mgt->SetState(&off, nullptr, nullptr, 44, &rbt, &rms), S_OK);
    ASSERT_TRUE(hostCommands({"create Ae.Buf2 r8 0 rw", "limits Ae.Buf2 -1000 -999 50 1000", "update Ae.Buf2 r8 60",
                              "remove Ae.Buf2"}));
    EXPECT_EQ(sb.take(3, 10000).size(), 3u); // Ae.Buf's clear, Ae.Buf2's activation and its removal's final event
    EXPECT_EQ(si.pending(), 0u);
    for (Subscription* s : {&batched, &capped, &idle}) EXPECT_EQ(s->point->Unadvise(1), S_OK);
}

TEST(AeClient, FiltersBySeveritySourceAndAreaAlsoInRefresh)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    DWORD mask = 0;
    ASSERT_EQ(c.es->QueryAvailableFilters(&mask), S_OK);
    EXPECT_EQ(mask, static_cast<DWORD>(OPC_FILTER_BY_EVENT | OPC_FILTER_BY_CATEGORY | OPC_FILTER_BY_SEVERITY |
                                       OPC_FILTER_BY_AREA | OPC_FILTER_BY_SOURCE));
    Subscription all, bySev, byArea;
    EventSink sa, ss, sr;
    ASSERT_NO_FATAL_FAILURE(all.create(c.es.p, 1));
    ASSERT_NO_FATAL_FAILURE(bySev.create(c.es.p, 2));
    ASSERT_NO_FATAL_FAILURE(byArea.create(c.es.p, 3));
    // High limits only, from sources of one pattern; and one area with its sub-areas.
    WCHAR srcPattern[] = L"Ae.Flt.*", area[] = L"Ae.Flt", bad[] = L"[x";
    LPWSTR sources[] = {srcPattern}, areas[] = {area}, badList[] = {bad};
    DWORD cat = 2; // the proxy wants an array even for a count of 0
    EXPECT_EQ(bySev.mgt->SetFilter(OPC_ALL_EVENTS, 0, &cat, 250, 1000, 0, areas, 1, badList), E_INVALIDARG);
    ASSERT_EQ(bySev.mgt->SetFilter(OPC_ALL_EVENTS, 0, &cat, 250, 1000, 0, areas, 1, sources), S_OK);
    ASSERT_EQ(byArea.mgt->SetFilter(OPC_CONDITION_EVENT, 1, &cat, 0, 1000, 1, areas, 0, sources), S_OK);
    DWORD type = 0, n = 0, lo = 0, hi = 0, na = 0, ns = 0;
    DWORD* cats = nullptr;
    LPWSTR *al = nullptr, *sl = nullptr;
    ASSERT_EQ(byArea.mgt->GetFilter(&type, &n, &cats, &lo, &hi, &na, &al, &ns, &sl), S_OK);
    ASSERT_EQ(std::vector<DWORD>({type, n, na, ns}), std::vector<DWORD>({OPC_CONDITION_EVENT, 1, 1, 0}));
    EXPECT_EQ(cats[0], 2u);
    EXPECT_EQ(std::wstring(al[0]), L"Ae.Flt");
    for (void* p : {static_cast<void*>(cats), static_cast<void*>(al[0]), static_cast<void*>(al)}) CoTaskMemFree(p);
    ASSERT_NO_FATAL_FAILURE(all.advise(sa));
    ASSERT_NO_FATAL_FAILURE(bySev.advise(ss));
    ASSERT_NO_FATAL_FAILURE(byArea.advise(sr));

    // Hi (300) and Lo (200) in the area's sub-area, Hi outside it, a host message inside.
    ASSERT_TRUE(hostCommands({"create Ae.Flt.Sub.A r8 0 rw", "limits Ae.Flt.Sub.A -1000 -10 50 1000",
                              "create Ae.Other r8 0 rw", "limits Ae.Other -1000 -10 50 1000",
                              "update Ae.Flt.Sub.A r8 60", "update Ae.Flt.Sub.A r8 -20", "update Ae.Other r8 60",
                              "simple Ae.Flt.Note 500 hello"}));
    EXPECT_EQ(sa.take(4).size(), 4u);
    Sleep(300);
    std::vector<Received> s = ss.take(0, 0), r = sr.take(0, 0);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].subcondition, L"Hi");
    EXPECT_EQ(s[1].source, L"Ae.Flt.Note");
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].subcondition, L"Hi");
    EXPECT_EQ(r[1].subcondition, L"Lo");

    // Both tags are in alarm now: a refresh sends only what passes.
    ASSERT_EQ(byArea.mgt->Refresh(1), S_OK);
    ASSERT_TRUE(sr.waitLastRefresh(1));
    r = sr.take(0, 0);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].source, L"Ae.Flt.Sub.A");
    EXPECT_TRUE(r[0].refresh);
    ASSERT_TRUE(hostCommands({"remove Ae.Flt.Sub.A", "remove Ae.Other"}));
    for (Subscription* x : {&all, &bySev, &byArea}) EXPECT_EQ(x->point->Unadvise(1), S_OK);
}

TEST(AeClient, DisabledConditionIsSilentAndOutOfRefreshUntilEnabled)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    EventSink sink;
    Subscription s;
    ASSERT_NO_FATAL_FAILURE(s.create(c.es.p, 5));
    ASSERT_NO_FATAL_FAILURE(s.advise(sink));
    ASSERT_TRUE(hostCommands({"create Ae.En.Sub.Tank r8 0 rw", "limits Ae.En.Sub.Tank -1000 -10 50 1000",
                              "update Ae.En.Sub.Tank r8 60"}));
    ASSERT_EQ(sink.take(1).size(), 1u);

    WCHAR tank[] = L"Ae.En.Sub.Tank", area[] = L"Ae.En", unknown[] = L"Ae.NoSuch", cond[] = L"Level Alarm";
    LPWSTR src[] = {tank}, areas[] = {area}, none[] = {unknown};
    EXPECT_EQ(c.es->DisableConditionBySource(1, none), E_INVALIDARG);
    EXPECT_EQ(c.es->EnableConditionByArea(1, none), E_INVALIDARG);
    ASSERT_EQ(c.es->DisableConditionBySource(1, src), S_OK);
    // Disabling is heard: inactive and acknowledged, so no client keeps listing it.
    std::vector<Received> off = sink.take(1);
    ASSERT_EQ(off.size(), 1u);
    EXPECT_EQ(off[0].e.wChangeMask & (OPC_CHANGE_ENABLE_STATE | OPC_CHANGE_ACTIVE_STATE),
              OPC_CHANGE_ENABLE_STATE | OPC_CHANGE_ACTIVE_STATE);
    EXPECT_EQ(off[0].e.wNewState, OPC_CONDITION_ACKED);
    EXPECT_EQ(off[0].e.dwSeverity, 300u);
    OPCCONDITIONSTATE* st = nullptr;
    DWORD attr = 0;
    ASSERT_EQ(c.es->GetConditionState(tank, cond, 0, &attr, &st), S_OK);
    EXPECT_EQ(st->wState & (OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE), 0);
    freeConditionState(st);

    // Silent while disabled, and not in a refresh; a host message after it marks the end.
    ASSERT_TRUE(hostCommands({"update Ae.En.Sub.Tank r8 0", "update Ae.En.Sub.Tank r8 70", "simple Ae.Mark 1 end"}));
    std::vector<Received> ev = sink.take(1);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].source, L"Ae.Mark");
    ASSERT_EQ(s.mgt->Refresh(1), S_OK);
    ASSERT_TRUE(sink.waitLastRefresh(1));
    EXPECT_TRUE(ofSource(sink.take(0, 0), L"Ae.En.Sub.Tank").empty());

    // Enabled through its area: evaluated at once from the current value.
    ASSERT_EQ(c.es->EnableConditionByArea(1, areas), S_OK);
    ev = sink.take(1);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].source, L"Ae.En.Sub.Tank");
    EXPECT_EQ(ev[0].subcondition, L"Hi");
    EXPECT_EQ(ev[0].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE | OPC_CONDITION_ACKED);
    EXPECT_TRUE(ev[0].e.wChangeMask & OPC_CHANGE_ENABLE_STATE);
    ASSERT_TRUE(hostCommands({"update Ae.En.Sub.Tank r8 0", "remove Ae.En.Sub.Tank"}));
    EXPECT_EQ(sink.take(1).size(), 1u);
    EXPECT_EQ(s.point->Unadvise(1), S_OK);
}

namespace {

std::vector<std::wstring> browseAreas(IOPCEventAreaBrowser* b, OPCAEBROWSETYPE type, const wchar_t* filter,
                                      HRESULT expect = S_OK)
{
    std::vector<std::wstring> out;
    std::wstring f = filter;
    Ref<IEnumString> e;
    EXPECT_EQ(b->BrowseOPCAreas(type, &f[0], reinterpret_cast<IEnumString**>(e.out())), expect);
    if (!e.p) return out;
    LPOLESTR s[8] = {};
    ULONG n = 0;
    e->Next(8, s, &n);
    for (ULONG i = 0; i < n; ++i) {
        out.push_back(s[i]);
        CoTaskMemFree(s[i]);
    }
    return out;
}

std::wstring qualifiedName(IOPCEventAreaBrowser* b, bool area, const wchar_t* name)
{
    std::wstring n = name;
    LPWSTR q = nullptr;
    HRESULT hr = area ? b->GetQualifiedAreaName(&n[0], &q) : b->GetQualifiedSourceName(&n[0], &q);
    if (FAILED(hr) || !q) return L"(failed)";
    std::wstring r = q;
    CoTaskMemFree(q);
    return r;
}

} // namespace

TEST(AeClient, AreaBrowserWalksAThreeLevelTree)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    ASSERT_TRUE(hostCommands({"create Ae.Area.L2.L3.Tank r8 0 rw", "limits Ae.Area.L2.L3.Tank -1000 -10 50 1000",
                              "create Ae.Area.L2.Plain r8 0 rw", "create Ae.Area.Pump bool 0 rw",
                              "discrete Ae.Area.Pump bool 1 eq 600 Pump tripped"}));
    Ref<IOPCEventAreaBrowser> b;
    ASSERT_EQ(c.es->CreateAreaBrowser(IID_IOPCEventAreaBrowser, reinterpret_cast<IUnknown**>(b.out())), S_OK);
    WCHAR area[] = L"Ae.Area", l2[] = L"L2", l3[] = L"L3", nope[] = L"Nope", pump[] = L"Ae.Area.Pump", empty[] = L"";
    ASSERT_EQ(b->ChangeBrowsePosition(OPCAE_BROWSE_TO, area), S_OK);
    EXPECT_EQ(browseAreas(b.p, OPC_AREA, L""), std::vector<std::wstring>{L"L2"});
    EXPECT_EQ(browseAreas(b.p, OPC_SOURCE, L""), std::vector<std::wstring>{L"Pump"});
    EXPECT_EQ(b->ChangeBrowsePosition(OPCAE_BROWSE_DOWN, nope), OPC_E_INVALIDBRANCHNAME);
    EXPECT_EQ(b->ChangeBrowsePosition(OPCAE_BROWSE_TO, pump), OPC_E_INVALIDBRANCHNAME); // a source, not an area
    ASSERT_EQ(b->ChangeBrowsePosition(OPCAE_BROWSE_DOWN, l2), S_OK);
    EXPECT_TRUE(browseAreas(b.p, OPC_SOURCE, L"", S_FALSE).empty()); // a tag without alarms is no source
    EXPECT_EQ(qualifiedName(b.p, true, L"L3"), L"Ae.Area.L2.L3");
    ASSERT_EQ(b->ChangeBrowsePosition(OPCAE_BROWSE_DOWN, l3), S_OK);
    EXPECT_TRUE(browseAreas(b.p, OPC_AREA, L"", S_FALSE).empty());
    EXPECT_EQ(browseAreas(b.p, OPC_SOURCE, L"T?n*"), std::vector<std::wstring>{L"Tank"});
    EXPECT_EQ(qualifiedName(b.p, false, L"Tank"), L"Ae.Area.L2.L3.Tank");
    ASSERT_EQ(b->ChangeBrowsePosition(OPCAE_BROWSE_UP, empty), S_OK);
    ASSERT_EQ(b->ChangeBrowsePosition(OPCAE_BROWSE_UP, empty), S_OK);
    EXPECT_EQ(qualifiedName(b.p, false, L"Pump"), L"Ae.Area.Pump");
    ASSERT_EQ(b->ChangeBrowsePosition(OPCAE_BROWSE_TO, empty), S_OK);
    EXPECT_EQ(b->ChangeBrowsePosition(OPCAE_BROWSE_UP, empty), E_FAIL);
    ASSERT_TRUE(hostCommands({"remove Ae.Area.L2.L3.Tank", "remove Ae.Area.L2.Plain", "remove Ae.Area.Pump"}));
}

TEST(AeClient, SelectedAttributesCarryTheValueAndTheLimit)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    DWORD n = 0, *ids = nullptr;
    LPWSTR* descs = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(c.es->QueryEventAttributes(2, &n, &ids, &descs, &types), S_OK);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(std::wstring(descs[0]) + L"/" + descs[1], L"Current Value/Limit Exceeded");
    for (void* p : {static_cast<void*>(descs[0]), static_cast<void*>(descs[1]), static_cast<void*>(descs),
                    static_cast<void*>(types), static_cast<void*>(ids)})
        CoTaskMemFree(p);

    // Raised while no subscription selects attributes: a refresh still carries them.
    ASSERT_TRUE(hostCommands({"create Ae.Early r8 0 rw", "limits Ae.Early -1000 -10 50 1000", "update Ae.Early r8 70"}));
    Subscription s;
    EventSink sink;
    ASSERT_NO_FATAL_FAILURE(s.create(c.es.p, 6));
    DWORD both[] = {2, 1}, bad[] = {7};
    EXPECT_EQ(s.mgt->SelectReturnedAttributes(2, 1, bad), E_INVALIDARG);
    ASSERT_EQ(s.mgt->SelectReturnedAttributes(2, 2, both), S_OK);
    DWORD* got = nullptr;
    ASSERT_EQ(s.mgt->GetReturnedAttributes(2, &n, &got), S_OK);
    ASSERT_EQ(n, 2u);
    EXPECT_EQ(got[0], 2u);
    CoTaskMemFree(got);
    ASSERT_NO_FATAL_FAILURE(s.advise(sink));
    ASSERT_TRUE(hostCommands({"create Ae.Attr r8 0 rw", "limits Ae.Attr -1000 -10 50 1000", "update Ae.Attr r8 61.5",
                              "update Ae.Attr r8 1", "simple Ae.Attr 5 note"}));
    std::vector<Received> ev = sink.take(3);
    ASSERT_EQ(ev.size(), 3u);
    ASSERT_EQ(ev[0].attrs.size(), 2u);
    EXPECT_EQ(ev[0].attrs[0], 50.0); // the high limit crossed
    EXPECT_EQ(ev[0].attrs[1], 61.5);
    ASSERT_EQ(ev[1].attrs.size(), 2u);
    EXPECT_TRUE(std::isnan(ev[1].attrs[0])); // back to normal: no limit
    EXPECT_EQ(ev[1].attrs[1], 1.0);
    EXPECT_TRUE(ev[2].attrs.empty()); // nothing selected for host messages
    ASSERT_EQ(s.mgt->Refresh(1), S_OK);
    ASSERT_TRUE(sink.waitLastRefresh(1));
    ev = ofSource(sink.take(0, 0), L"Ae.Early");
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_EQ(ev[0].attrs.size(), 2u);
    EXPECT_EQ(ev[0].attrs[0], 50.0);
    EXPECT_EQ(ev[0].attrs[1], 70.0);

    WCHAR src[] = L"Ae.Attr", cond[] = L"Level Alarm", sub[] = L"Hi";
    DWORD one = 1;
    LPWSTR *items = nullptr, *nodes = nullptr;
    CLSID* clsids = nullptr;
    ASSERT_EQ(c.es->TranslateToItemIDs(src, 2, cond, sub, 1, &one, &items, &nodes, &clsids), S_OK);
    EXPECT_EQ(std::wstring(items[0]), L"Ae.Attr");
    for (void* p : {static_cast<void*>(items[0]), static_cast<void*>(nodes[0]), static_cast<void*>(items),
                    static_cast<void*>(nodes), static_cast<void*>(clsids)})
        CoTaskMemFree(p);
    ASSERT_TRUE(hostCommands({"remove Ae.Attr", "remove Ae.Early"}));
    EXPECT_EQ(s.point->Unadvise(1), S_OK);
}

namespace {

OPCCONDITIONSTATE* conditionState(IOPCEventServer* es, const wchar_t* source)
{
    std::wstring src = source, cond = L"Level Alarm";
    OPCCONDITIONSTATE* st = nullptr;
    DWORD attr = 0;
    return SUCCEEDED(es->GetConditionState(&src[0], &cond[0], 0, &attr, &st)) ? st : nullptr;
}

HRESULT ackWithComment(IOPCEventServer* es, const wchar_t* source, const wchar_t* comment, const Received& r)
{
    std::wstring src = source, cond = L"Level Alarm", who = L"op", text = comment;
    LPWSTR s = &src[0], c = &cond[0];
    FILETIME t = r.e.ftActiveTime;
    DWORD cookie = r.e.dwCookie;
    HRESULT* errors = nullptr;
    HRESULT hr = es->AckCondition(1, &who[0], &text[0], &s, &c, &t, &cookie, &errors);
    if (FAILED(hr)) return hr;
    hr = errors[0];
    CoTaskMemFree(errors);
    return hr;
}

} // namespace

TEST(AeClient, SeverityFilterSeesClearRefreshAndAckOfAnUnacknowledgedAlarm)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    EventSink sink;
    Subscription s;
    ASSERT_NO_FATAL_FAILURE(s.create(c.es.p, 8));
    DWORD cat = 2;
    LPWSTR none = nullptr;
    ASSERT_EQ(s.mgt->SetFilter(OPC_ALL_EVENTS, 0, &cat, 1, 1000, 0, &none, 0, &none), S_OK);
    ASSERT_NO_FATAL_FAILURE(s.advise(sink));
    ASSERT_TRUE(hostCommands({"create Ae.Sev r8 0 rw", "limits Ae.Sev -1000 -999 50 1000", "ackreq Ae.Sev on",
                              "update Ae.Sev r8 60", "update Ae.Sev r8 0"}));
    // The clear of an alarm still waiting for its operator carries the alarm's severity.
    std::vector<Received> ev = sink.take(2);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].e.wNewState, OPC_CONDITION_ENABLED);
    EXPECT_EQ(ev[1].e.dwSeverity, 300u);
    EXPECT_TRUE(ev[1].e.bAckRequired);

    // Refresh, and the acknowledgement at once: whatever the order, the last word is acknowledged.
    ASSERT_EQ(s.mgt->Refresh(1), S_OK);
    const std::wstring euro = L"checked \u20AC 5, caf\u00E9";
    ASSERT_EQ(ackWithComment(c.es.p, L"Ae.Sev", euro.c_str(), ev[1]), S_OK);
    ASSERT_TRUE(sink.waitLastRefresh(1));
    std::vector<Received> after;
    for (int i = 0; i < 50 && (after.empty() || !(after.back().e.wNewState & OPC_CONDITION_ACKED)); ++i)
        for (const Received& r : ofSource(sink.take(1, 200), L"Ae.Sev")) after.push_back(r);
    Sleep(300); // nothing older may follow
    for (const Received& r : ofSource(sink.take(0, 0), L"Ae.Sev")) after.push_back(r);
    ASSERT_FALSE(after.empty());
    for (const Received& r : after) EXPECT_EQ(r.e.dwSeverity, 300u);
    const Received& last = after.back();
    EXPECT_EQ(last.e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACKED);
    EXPECT_FALSE(last.refresh);
    EXPECT_EQ(last.message, euro); // the comment, in the client's own characters
    OPCCONDITIONSTATE* st = conditionState(c.es.p, L"Ae.Sev");
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(std::wstring(st->szComment), euro);
    freeConditionState(st);

    // Unacknowledged and inactive, it is refreshed to a severity-filtered subscription too.
    ASSERT_TRUE(hostCommands({"update Ae.Sev r8 60", "update Ae.Sev r8 0"}));
    ASSERT_EQ(sink.take(2).size(), 2u);
    ASSERT_EQ(s.mgt->Refresh(1), S_OK);
    ASSERT_TRUE(sink.waitLastRefresh(2));
    ev = ofSource(sink.take(0, 0), L"Ae.Sev");
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_TRUE(ev[0].refresh);
    EXPECT_EQ(ev[0].e.wNewState, OPC_CONDITION_ENABLED);
    EXPECT_EQ(ev[0].e.dwSeverity, 300u);
    ASSERT_TRUE(hostCommands({"remove Ae.Sev"}));
    ev = sink.take(1); // the removal acknowledges it for every client
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACKED);
    EXPECT_EQ(s.point->Unadvise(1), S_OK);
}

TEST(AeClient, EventsAgreeWithConditionStateAndNameWhatChanged)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    EventSink sink;
    Subscription s;
    ASSERT_NO_FATAL_FAILURE(s.create(c.es.p, 9));
    ASSERT_NO_FATAL_FAILURE(s.advise(sink));
    ASSERT_TRUE(hostCommands({"create Ae.Mask r8 0 rw", "limits Ae.Mask -1000 -999 50 80", "update Ae.Mask r8 60",
                              "update Ae.Mask r8 90", "update Ae.Mask r8 90 0"}));
    std::vector<Received> ev = sink.take(3);
    ASSERT_EQ(ev.size(), 3u);
    // Hi -> Hi Hi: still active, a new sub-condition with its severity and text.
    EXPECT_EQ(ev[1].e.wChangeMask, OPC_CHANGE_SUBCONDITION | OPC_CHANGE_SEVERITY | OPC_CHANGE_MESSAGE);
    EXPECT_EQ(ev[1].subcondition, L"Hi Hi");
    EXPECT_EQ(ev[1].e.dwSeverity, 400u);
    // The tag's quality is the condition's.
    EXPECT_EQ(ev[2].e.wChangeMask, OPC_CHANGE_QUALITY);
    EXPECT_EQ(ev[2].e.wQuality, 0u);
    OPCCONDITIONSTATE* st = conditionState(c.es.p, L"Ae.Mask");
    ASSERT_NE(st, nullptr);
    for (const Received& r : ev) EXPECT_EQ(r.e.wNewState, st->wState);
    EXPECT_EQ(st->wQuality, 0u);
    freeConditionState(st);
    EXPECT_EQ(ackWithComment(c.es.p, L"Ae.Mask", L"", ev[1]), OPC_S_ALREADYACKED);

    ASSERT_TRUE(hostCommands({"remove Ae.Mask"}));
    EXPECT_EQ(s.point->Unadvise(1), S_OK);
}

TEST(AeClient, ReadvisedSinkHearsNothingFromBeforeItsAdvise)
{
    Client c;
    ASSERT_NO_FATAL_FAILURE(c.connect());
    EventSink first, second;
    Subscription s;
    ASSERT_NO_FATAL_FAILURE(s.create(c.es.p, 10, TRUE, 1500));
    ASSERT_NO_FATAL_FAILURE(s.advise(first));
    ASSERT_TRUE(hostCommands({"simple Ae.Old 5 before"}));
    Sleep(300); // taken into the subscription's queue, held for its buffer time
    ASSERT_EQ(s.point->Unadvise(1), S_OK);
    ASSERT_NO_FATAL_FAILURE(s.advise(second));
    ASSERT_TRUE(hostCommands({"simple Ae.New 5 after"}));
    std::vector<Received> ev = second.take(1);
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].source, L"Ae.New");
    Sleep(300); // nor does anything from before follow
    EXPECT_EQ(second.pending() + first.pending(), 0u);
    EXPECT_EQ(s.point->Unadvise(1), S_OK);

    // A refresh asked while the worker is held in the old sink is not the new sink's: it
    // gets its own refresh, once.
    EventSink held, fresh;
    held.gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    held.entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    held.stallAll = true;
    Subscription r;
    ASSERT_NO_FATAL_FAILURE(r.create(c.es.p, 11));
    ASSERT_NO_FATAL_FAILURE(r.advise(held));
    ASSERT_TRUE(hostCommands({"simple Ae.Old 5 held"}));
    ASSERT_EQ(WaitForSingleObject(held.entered, 10000), WAIT_OBJECT_0);
    ASSERT_EQ(r.mgt->Refresh(1), S_OK);
    ASSERT_EQ(r.point->Unadvise(1), S_OK);
    ASSERT_NO_FATAL_FAILURE(r.advise(fresh));
    EXPECT_EQ(r.mgt->Refresh(1), S_OK);
    SetEvent(held.gate);
    EXPECT_TRUE(fresh.waitLastRefresh(1));
    Sleep(300);
    EXPECT_FALSE(fresh.waitLastRefresh(2, 0));
    EXPECT_EQ(r.point->Unadvise(1), S_OK);
    EXPECT_TRUE(waitRefs(held, 1));
    CloseHandle(held.gate);
    CloseHandle(held.entered);
}

TEST(AeClient, StalledSinkHoldsNoMoreThanItsLimitAndEveryoneIsToldOfDrops)
{
    ASSERT_TRUE(hostCommands({"eventlimit 40"}));
    struct Restore {
        ~Restore() { hostCommands({"eventlimit 10000"}); }
    } restore; // also after a failed assertion
    Client stalled, healthy;
    ASSERT_NO_FATAL_FAILURE(stalled.connect());
    ASSERT_NO_FATAL_FAILURE(healthy.connect());
    EventSink hung, fine;
    hung.gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    hung.entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    hung.stallAll = true;
    Subscription sh, sf;
    ASSERT_NO_FATAL_FAILURE(sh.create(stalled.es.p, 11));
    ASSERT_NO_FATAL_FAILURE(sf.create(healthy.es.p, 12));
    ASSERT_NO_FATAL_FAILURE(sh.advise(hung));
    ASSERT_NO_FATAL_FAILURE(sf.advise(fine));
    // Behind the same stalled worker, but filtering out the flood: it lost nothing of its own.
    EventSink other;
    Subscription so;
    ASSERT_NO_FATAL_FAILURE(so.create(stalled.es.p, 13));
    WCHAR otherSource[] = L"Ae.Other*";
    LPWSTR sources = otherSource;
    DWORD noCategory = 0;
    ASSERT_EQ(so.mgt->SetFilter(OPC_ALL_EVENTS, 0, &noCategory, 0, 1000, 0, &sources, 1, &sources), S_OK);
    ASSERT_NO_FATAL_FAILURE(so.advise(other));
    ASSERT_TRUE(hostCommands({"simple Ae.Flood 5 first"}));
    ASSERT_EQ(WaitForSingleObject(hung.entered, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(hostCommands({"simpleburst Ae.Flood 400"}));
    Sleep(1500);
    SetEvent(hung.gate);
    Sleep(1500);
    // Each hears every event or is told how many it lost; the stalled one kept at most its limit.
    for (EventSink* sink : {&hung, &fine}) {
        DWORD events = 0, told = 0;
        for (const Received& r : sink->take(0, 0)) {
            if (r.source == L"Server" && r.e.dwEventCategory == 1) told += wcstoul(r.message.c_str(), nullptr, 10);
            else ++events;
        }
        EXPECT_EQ(events + told, 401u);
        if (sink == &hung) {
            EXPECT_LE(events, 1u + 40u);
            EXPECT_GE(told, 400u - 40u);
        }
    }
    EXPECT_EQ(other.pending(), 0u);
    EXPECT_EQ(sh.point->Unadvise(1), S_OK);
    EXPECT_EQ(sf.point->Unadvise(1), S_OK);
    EXPECT_EQ(so.point->Unadvise(1), S_OK);
    CloseHandle(hung.gate);
    CloseHandle(hung.entered);
}
