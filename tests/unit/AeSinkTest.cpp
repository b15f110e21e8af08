// Event sink connection points, the packing of an event and its broadcast to the sinks of
// every client, in-process.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include "TestSupport.h"
#include "ae/COPCEventSubscription.h"
#include "ae/EventDelivery.h"
#include "qvopc.h"
#include "qvsrvkit.h"
#include "server/OPCServer.h"

using namespace qv;

namespace {

struct ReceivedEvent {
    OPCHANDLE hSubscription = 0;
    BOOL refresh = TRUE, lastRefresh = TRUE;
    DWORD count = 0;
    ONEVENTSTRUCT e{};
    std::wstring source, message, condition, subcondition, actor;
    bool lockHeld = false;
    APTTYPE apartment = APTTYPE_CURRENT;
};

class RecordingSink : public IOPCEventSink {
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
        ReceivedEvent r;
        r.hSubscription = h;
        r.refresh = refresh;
        r.lastRefresh = last;
        r.count = count;
        r.lockHeld = App().globalLock.heldByMe();
        APTTYPEQUALIFIER q;
        if (FAILED(CoGetApartmentType(&r.apartment, &q))) r.apartment = APTTYPE_CURRENT;
        if (count >= 1 && ev) {
            r.e = ev[0];
            r.source = ev->szSource ? ev->szSource : L"(null)";
            r.message = ev->szMessage ? ev->szMessage : L"(null)";
            r.condition = ev->szConditionName ? ev->szConditionName : L"(null)";
            r.subcondition = ev->szSubconditionName ? ev->szSubconditionName : L"(null)";
            r.actor = ev->szActorID ? ev->szActorID : L"(null)";
        }
        {
            std::lock_guard<std::mutex> g(m);
            got.push_back(r);
        }
        if (hook) hook();
        return S_OK;
    }
    std::vector<ReceivedEvent> take()
    {
        std::lock_guard<std::mutex> g(m);
        std::vector<ReceivedEvent> r;
        r.swap(got);
        return r;
    }

    std::atomic<LONG> refs{1}; // the test's own
    std::function<void()> hook;

private:
    std::mutex m;
    std::vector<ReceivedEvent> got;
};

// An object that is not an IOPCEventSink.
class NotASink : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

// A connected client: an OPCServer in the client list, with subscriptions created through
// IOPCEventServer.
class Client {
public:
    Client()
    {
        server = qvtest::newServer();
        server->QueryInterface(IID_IOPCEventServer, reinterpret_cast<void**>(&es));
        App().addClient(server);
    }
    ~Client()
    {
        for (IUnknown* u : subs)
            if (u) u->Release();
        if (es) es->Release(); // last reference: leaves the client list
        qvtest::deleteServer(server);         // what the worker thread would do
    }
    // A subscription, with its point's container and (when sink is given) the sink advised.
    IUnknown* subscribe(OPCHANDLE h, RecordingSink* sink, BOOL active = TRUE)
    {
        IUnknown* u = nullptr;
        DWORD bt = 0, ms = 0;
        EXPECT_EQ(es->CreateEventSubscription(active, 0, 0, h, IID_IUnknown, &u, &bt, &ms), S_OK);
        subs.push_back(u);
        if (sink) {
            IConnectionPoint* cp = point(u);
            DWORD cookie = 0;
            EXPECT_EQ(cp->Advise(sink, &cookie), S_OK);
            EXPECT_EQ(cookie, 1u);
            cp->Release();
        }
        return u;
    }
    static IConnectionPoint* point(IUnknown* sub)
    {
        IConnectionPointContainer* cpc = nullptr;
        EXPECT_EQ(sub->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);
        IConnectionPoint* cp = nullptr;
        EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCEventSink, &cp), S_OK);
        cpc->Release();
        return cp;
    }
    // Releases the subscription now (the destructor skips it).
    void drop(IUnknown* sub)
    {
        for (IUnknown*& u : subs)
            if (u == sub) u = nullptr;
        sub->Release();
    }

    OPCServer* server = nullptr;
    IOPCEventServer* es = nullptr;
    std::vector<IUnknown*> subs;
};

class AeSinkTest : public qvtest::StoreTest {
public:
    DWORD tankWithHighLimit(const char* name = "Ae.Tank")
    {
        VARIANT v = qvtest::vR8(10);
        DWORD h = QV_CreateTag(name, v, 0xC0, TRUE);
        EXPECT_NE(h, QV_INVALID_HANDLE);
        EXPECT_TRUE(QV_SetTagLevelLimits(h, 0, FALSE, 100, 0, FALSE, 200, 50, TRUE, 300, 1000, FALSE, 400));
        return h;
    }
    // An update, then what each client's worker would do next: deliver the queued events.
    static void set(DWORD h, double value, WORD quality = 0xC0)
    {
        VARIANT v = qvtest::vR8(value);
        EXPECT_TRUE(QV_UpdateTag(h, v, quality));
        deliverAll();
    }
    static void deliverAll()
    {
        for (const std::shared_ptr<OPCServer>& s : App().snapshotClients()) s->eventPass();
    }
};

TEST(AeConnectionPoint, FollowsTheConnectionPointRules)
{
    Client c;
    IUnknown* sub = c.subscribe(5, nullptr);
    IConnectionPointContainer* cpc = nullptr;
    ASSERT_EQ(sub->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)), S_OK);

    IConnectionPoint* cp = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp), E_NOINTERFACE);
    EXPECT_EQ(cp, nullptr);
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, &cp), E_NOINTERFACE);
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCEventSink, nullptr), E_INVALIDARG);
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCEventSink, &cp), S_OK);

    IID iid{};
    EXPECT_EQ(cp->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCEventSink));

    RecordingSink a, b;
    NotASink wrong;
    DWORD cookie = 0;
    EXPECT_EQ(cp->Advise(&wrong, &cookie), CONNECT_E_CANNOTCONNECT);
    ASSERT_EQ(cp->Advise(&a, &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);
    EXPECT_EQ(a.refs, 2);
    EXPECT_EQ(cp->Advise(&b, &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(b.refs, 1);
    EXPECT_EQ(cp->Unadvise(2), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Unadvise(1), S_OK);
    EXPECT_EQ(a.refs, 1);
    EXPECT_EQ(cp->Unadvise(1), CONNECT_E_NOCONNECTION);

    // Every reference on the container and point counts on the subscription.
    COPCEventSubscription* s = static_cast<COPCEventSubscription*>(sub);
    EXPECT_EQ(s->AddRef(), 4u);
    s->Release();
    cp->Release();
    cpc->Release();
    EXPECT_EQ(s->AddRef(), 2u);
    s->Release();
}

TEST_F(AeSinkTest, LevelEventReachesEverySinkOfEveryClientOnce)
{
    RecordingSink s1, s2, s3;
    Client c1, c2;
    c1.subscribe(11, &s1);
    c1.subscribe(12, nullptr);    // no sink: nothing to deliver
    c1.subscribe(13, &s3);
    c2.subscribe(21, &s2);
    DWORD h = tankWithHighLimit();
    OPCTag* tag = nullptr;
    FILETIME before = utcNow();

    set(h, 60, 0xC0);
    {
        LockGuard g(App().globalLock);
        tag = App().tags.resolve(h);
        ASSERT_NE(tag, nullptr);
    }
    struct Expect {
        RecordingSink* sink;
        OPCHANDLE h;
    };
    for (Expect x : {Expect{&s1, 11}, Expect{&s3, 13}, Expect{&s2, 21}}) {
        std::vector<ReceivedEvent> ev = x.sink->take();
        ASSERT_EQ(ev.size(), 1u);
        const ReceivedEvent& r = ev[0];
        EXPECT_FALSE(r.lockHeld);
        EXPECT_EQ(r.hSubscription, x.h);
        EXPECT_EQ(r.refresh, FALSE);
        EXPECT_EQ(r.lastRefresh, FALSE);
        EXPECT_EQ(r.count, 1u);
        EXPECT_EQ(r.e.wChangeMask,
                  OPC_CHANGE_ACTIVE_STATE | OPC_CHANGE_SUBCONDITION | OPC_CHANGE_SEVERITY | OPC_CHANGE_MESSAGE);
        EXPECT_EQ(r.e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE | OPC_CONDITION_ACKED);
        EXPECT_EQ(r.source, L"Ae.Tank");
        EXPECT_EQ(r.message, L"High Limit Exceeded");
        EXPECT_EQ(r.condition, L"Level Alarm");
        EXPECT_EQ(r.subcondition, L"Hi");
        EXPECT_EQ(r.actor, L"");
        EXPECT_EQ(r.e.dwEventType, OPC_CONDITION_EVENT);
        EXPECT_EQ(r.e.dwEventCategory, 2u);
        EXPECT_EQ(r.e.dwSeverity, 300u);
        EXPECT_EQ(r.e.wQuality, 0xC0);
        EXPECT_EQ(r.e.wReserved, 0);
        EXPECT_EQ(r.e.bAckRequired, FALSE);
        EXPECT_EQ(r.e.dwCookie, h);
        EXPECT_EQ(r.e.dwNumEventAttrs, 0u);
        EXPECT_EQ(r.e.pEventAttributes, nullptr);
        EXPECT_GE(CompareFileTime(&r.e.ftTime, &before), 0);
        EXPECT_EQ(CompareFileTime(&r.e.ftActiveTime, &tag->levelTime), 0);
    }

    set(h, 70); // same level: nothing
    set(h, 10, 0x40);
    for (RecordingSink* s : {&s1, &s3, &s2}) {
        std::vector<ReceivedEvent> ev = s->take();
        ASSERT_EQ(ev.size(), 1u);
        EXPECT_EQ(ev[0].subcondition, L""); // no sub-condition is active
        EXPECT_EQ(ev[0].message, L"Normal Condition");
        EXPECT_EQ(ev[0].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACKED);
        EXPECT_EQ(ev[0].e.dwSeverity, 300u); // the level that was active
        EXPECT_TRUE(ev[0].e.wChangeMask & OPC_CHANGE_QUALITY);
        EXPECT_EQ(ev[0].e.wQuality, 0x40);
    }
    EXPECT_TRUE(QV_RemoveTag(h));
}

TEST_F(AeSinkTest, NothingIsSentWhileEveryLimitIsDisabled)
{
    RecordingSink s;
    Client c;
    c.subscribe(1, &s);
    VARIANT v = qvtest::vR8(0);
    DWORD h = QV_CreateTag("Ae.Quiet", v, 0xC0, TRUE);
    for (double x : {-1e9, 1e9, 100.0, 0.0, 1e30})
        set(h, x);
    // Enabled and disabled again: back to silence.
    EXPECT_TRUE(QV_SetTagLevelLimits(h, 0, FALSE, 1, 0, FALSE, 1, 50, TRUE, 1, 90, FALSE, 1));
    set(h, 60);
    EXPECT_EQ(s.take().size(), 1u);
    set(h, 0);
    EXPECT_EQ(s.take().size(), 1u);
    EXPECT_TRUE(QV_SetTagLevelLimits(h, 0, FALSE, 1, 0, FALSE, 1, 50, FALSE, 1, 90, FALSE, 1));
    set(h, 60);
    set(h, 1e9);
    EXPECT_TRUE(s.take().empty());
    // An update by name runs no level check.
    EXPECT_TRUE(QV_SetTagLevelLimits(h, 0, FALSE, 1, 0, FALSE, 1, 50, TRUE, 1, 90, FALSE, 1));
    VARIANT big = qvtest::vR8(70);
    EXPECT_TRUE(QV_UpdateTagByName("Ae.Quiet", big, 0xC0));
    EXPECT_TRUE(s.take().empty());
}

TEST_F(AeSinkTest, HighBytesOfTheTagNameArriveAsTheSameCodePoints)
{
    RecordingSink s;
    Client c;
    c.subscribe(1, &s);
    DWORD h = tankWithHighLimit("Caf\xE9.Niveau\xFF");
    set(h, 99);
    std::vector<ReceivedEvent> ev = s.take();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].source, L"Caf\u00E9.Niveau\u00FF");
}

TEST_F(AeSinkTest, ReleasedSubscriptionDropsItsSinkAndOthersKeepReceiving)
{
    RecordingSink gone, stays;
    Client c;
    IUnknown* a = c.subscribe(1, &gone);
    c.subscribe(2, &stays);
    EXPECT_EQ(gone.refs, 2);
    c.drop(a); // last reference, sink still connected
    EXPECT_EQ(gone.refs, 1);
    {
        LockGuard g(App().globalLock);
        EXPECT_EQ(c.server->subscriptions.size(), 1u);
    }
    DWORD h = tankWithHighLimit();
    set(h, 60);
    EXPECT_TRUE(gone.take().empty());
    EXPECT_EQ(stays.take().size(), 1u);
}

// Events raised before a sink's Advise, or while its subscription was inactive, never reach
// it; once every subscription took an event the journal lets it go.
TEST_F(AeSinkTest, EachSubscriptionTakesWhatWasRaisedWhileItListened)
{
    auto events = [](RecordingSink& s) {
        DWORD n = 0;
        for (const ReceivedEvent& r : s.take()) n += r.count;
        return n;
    };
    RecordingSink early, late;
    Client c;
    IUnknown* earlySub = c.subscribe(1, &early);
    IUnknown* lateSub = c.subscribe(2, nullptr);
    DWORD h = tankWithHighLimit();
    VARIANT v = qvtest::vR8(60);
    ASSERT_TRUE(QV_UpdateTag(h, v, 0xC0)); // raised, not yet taken by any worker
    IConnectionPoint* cp = Client::point(lateSub);
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&late, &cookie), S_OK);
    cp->Release();
    set(h, 0);
    EXPECT_EQ(events(early), 2u);
    EXPECT_EQ(events(late), 1u);

    IOPCEventSubscriptionMgt* mgt = nullptr;
    ASSERT_EQ(earlySub->QueryInterface(IID_IOPCEventSubscriptionMgt, reinterpret_cast<void**>(&mgt)), S_OK);
    DWORD bt = 0, ms = 0;
    BOOL off = FALSE, on = TRUE;
    ASSERT_EQ(mgt->SetState(&off, nullptr, nullptr, 1, &bt, &ms), S_OK);
    v = qvtest::vR8(60);
    ASSERT_TRUE(QV_UpdateTag(h, v, 0xC0));
    ASSERT_EQ(mgt->SetState(&on, nullptr, nullptr, 1, &bt, &ms), S_OK);
    set(h, 0);
    mgt->Release();
    EXPECT_EQ(events(early), 1u);
    EXPECT_EQ(events(late), 2u);
    LockGuard g(App().globalLock);
    EXPECT_EQ(App().eventJournal.begin(), App().eventJournal.end());
}

TEST_F(AeSinkTest, SubscriptionReleasedDuringABroadcastIsNotCalledAfterwards)
{
    RecordingSink first, second;
    Client c;
    c.subscribe(1, &first);
    IUnknown* later = c.subscribe(2, &second);
    // The first sink, called first, releases the other subscription's last reference; the
    // broadcast has already collected it.
    first.hook = [&] {
        if (later) {
            c.drop(later);
            later = nullptr;
        }
    };
    DWORD h = tankWithHighLimit();
    set(h, 60);
    EXPECT_EQ(first.take().size(), 1u);
    EXPECT_TRUE(second.take().empty());
    EXPECT_EQ(second.refs, 1);
    set(h, 0);
    EXPECT_EQ(first.take().size(), 1u);
    EXPECT_TRUE(second.take().empty());
}

TEST_F(AeSinkTest, SubscriptionOutlivingItsServerIsInert)
{
    RecordingSink s;
    auto* c = new Client();
    IUnknown* sub = c->subscribe(1, &s);
    sub->AddRef(); // the client keeps it past the server
    delete c;      // releases the test's other references and destroys the server
    EXPECT_EQ(s.refs, 1);

    DWORD h = tankWithHighLimit();
    set(h, 60);
    EXPECT_TRUE(s.take().empty());
    // Still a valid object until its last Release.
    IOPCEventSubscriptionMgt* mgt = nullptr;
    ASSERT_EQ(sub->QueryInterface(IID_IOPCEventSubscriptionMgt, reinterpret_cast<void**>(&mgt)), S_OK);
    EXPECT_EQ(mgt->Refresh(1), E_FAIL); // gone
    mgt->Release();
    EXPECT_EQ(sub->Release(), 0u);
}

DWORD WINAPI updateFromSta(void* handle)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    VARIANT v = qvtest::vR8(0);
    QV_UpdateTag(*static_cast<DWORD*>(handle), v, 0xC0);
    CoUninitialize();
    return 0;
}

TEST_F(AeSinkTest, HostThreadOnlyQueuesAndTheServerDeliversInOrder)
{
    RecordingSink s;
    Client c;
    c.subscribe(1, &s);
    DWORD h = tankWithHighLimit();
    set(h, 60);
    ASSERT_EQ(s.take().size(), 1u);
    // A host thread in a single-threaded apartment: the update only queues, it calls no sink.
    HANDLE t = CreateThread(nullptr, 0, updateFromSta, &h, 0, nullptr);
    ASSERT_NE(t, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_TRUE(s.take().empty());
    for (double x : {60.0, 0.0, 60.0}) {
        VARIANT v = qvtest::vR8(x);
        QV_UpdateTag(h, v, 0xC0);
    }
    deliverAll(); // one call carries the four queued events, oldest first
    std::vector<ReceivedEvent> ev = s.take();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].count, 4u);
    EXPECT_EQ(ev[0].apartment, APTTYPE_MTA);
    EXPECT_EQ(ev[0].subcondition, L""); // no sub-condition is active
    EXPECT_EQ(s.refs, 2);
}

TEST(AePacking, OneBlockHoldsTheStructAndItsWidenedStrings)
{
    EventRecord ev;
    ev.changeMask = 1;
    ev.newState = 3;
    ev.source = "T\xE9";
    ev.message = "msg";
    ev.conditionName = "Level";
    ev.subconditionName = "High Limit";
    ev.actorId = "";
    ev.quality = 0xD8;
    ev.cookie = 0xABCD;

    ONEVENTSTRUCT* e = packEvent(ev);
    ASSERT_NE(e, nullptr);
    BYTE* base = reinterpret_cast<BYTE*>(e);
    size_t strBytes = 2 * (2 + 3 + 5 + 10 + 0 + 5);
    EXPECT_EQ(App().taskAllocator->GetSize(e), sizeof(ONEVENTSTRUCT) + strBytes);
    // The strings follow the struct in order, each with its terminating null.
    EXPECT_EQ(reinterpret_cast<BYTE*>(e->szSource), base + sizeof(ONEVENTSTRUCT));
    EXPECT_EQ(e->szMessage, e->szSource + 3);
    EXPECT_EQ(e->szConditionName, e->szMessage + 4);
    EXPECT_EQ(e->szSubconditionName, e->szConditionName + 6);
    EXPECT_EQ(e->szActorID, e->szSubconditionName + 11);
    EXPECT_EQ(std::wstring(e->szSource), L"T\u00E9");
    EXPECT_EQ(std::wstring(e->szSubconditionName), L"High Limit");
    EXPECT_EQ(e->szActorID[0], 0);
    EXPECT_EQ(e->wQuality, 0xD8);
    EXPECT_EQ(e->dwCookie, 0xABCDu);
    EXPECT_EQ(e->dwNumEventAttrs, 0u);
    EXPECT_EQ(e->pEventAttributes, nullptr);
    freePackedEvent(e);

    // Attribute values are copied into the same block, aligned.
    VARIANT attrs[2];
    attrs[0] = qvtest::vI4(42);
    attrs[1] = qvtest::vStr(L"copy me");
    e = packEvent(ev, attrs, 2);
    ASSERT_NE(e, nullptr);
    base = reinterpret_cast<BYTE*>(e);
    BYTE* at = reinterpret_cast<BYTE*>(e->pEventAttributes);
    EXPECT_GE(at, base + sizeof(ONEVENTSTRUCT) + strBytes);
    EXPECT_EQ((at - base) % alignof(VARIANT), 0);
    EXPECT_EQ(App().taskAllocator->GetSize(e), static_cast<SIZE_T>(at - base) + 2 * sizeof(VARIANT));
    EXPECT_EQ(e->dwNumEventAttrs, 2u);
    EXPECT_EQ(V_I4(&e->pEventAttributes[0]), 42);
    ASSERT_EQ(V_VT(&e->pEventAttributes[1]), VT_BSTR);
    EXPECT_NE(V_BSTR(&e->pEventAttributes[1]), V_BSTR(&attrs[1])); // a deep copy
    EXPECT_EQ(std::wstring(V_BSTR(&e->pEventAttributes[1])), L"copy me");
    freePackedEvent(e);
    VariantClear(&attrs[1]);
}

} // namespace

namespace {

struct AckHeard {
    DWORD tag;
    std::string condition, who, comment;
    bool lockHeld;
};
std::vector<AckHeard> g_acks;
void WINAPI onAck(DWORD hTag, LPCSTR cond, LPCSTR who, LPCSTR comment)
{
    g_acks.push_back({hTag, cond, who, comment, App().globalLock.heldByMe()});
}

HRESULT ack(IOPCEventServer* es, const wchar_t* source, FILETIME t, DWORD cookie, const wchar_t* comment = L"")
{
    std::wstring src = source, cond = L"Level Alarm", who = L"op", text = comment;
    LPWSTR s = &src[0], c = &cond[0];
    HRESULT* errors = nullptr;
    HRESULT hr = es->AckCondition(1, &who[0], &text[0], &s, &c, &t, &cookie, &errors);
    HRESULT one = errors ? errors[0] : hr;
    CoTaskMemFree(errors);
    AeSinkTest::deliverAll();
    return SUCCEEDED(hr) ? one : hr;
}

size_t reported()
{
    LockGuard g(App().globalLock);
    return App().reportedConditions.size();
}

} // namespace

TEST_F(AeSinkTest, AcknowledgementStateMachine)
{
    RecordingSink s;
    Client c;
    c.subscribe(1, &s);
    g_acks.clear();
    QV_EnableAckNotification(onAck);
    DWORD h = tankWithHighLimit();
    EXPECT_TRUE(QV_SetTagLevelLimits(h, 0, FALSE, 100, 0, FALSE, 200, 50, TRUE, 300, 80, TRUE, 400));
    EXPECT_TRUE(QV_SetTagAlarmAckRequired(h, TRUE));
    EXPECT_FALSE(QV_SetTagAlarmAckRequired(QV_INVALID_HANDLE, TRUE));

    // Activation: unacknowledged, and the event says so.
    set(h, 60);
    std::vector<ReceivedEvent> ev = s.take();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].e.wChangeMask & (OPC_CHANGE_ACTIVE_STATE | OPC_CHANGE_ACK_STATE | OPC_CHANGE_SUBCONDITION),
              OPC_CHANGE_ACTIVE_STATE | OPC_CHANGE_ACK_STATE | OPC_CHANGE_SUBCONDITION);
    EXPECT_EQ(ev[0].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE);
    EXPECT_TRUE(ev[0].e.bAckRequired);
    const FILETIME first = ev[0].e.ftActiveTime;
    Sleep(20);
    // A new sub-condition is a new activation to acknowledge.
    set(h, 90);
    ev = s.take();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].subcondition, L"Hi Hi");
    EXPECT_EQ(ev[0].e.wChangeMask & (OPC_CHANGE_ACK_STATE | OPC_CHANGE_SUBCONDITION), OPC_CHANGE_SUBCONDITION);
    const FILETIME second = ev[0].e.ftActiveTime;
    EXPECT_NE(CompareFileTime(&first, &second), 0);

    EXPECT_EQ(ack(c.es, L"Ae.Tank", first, h), OPC_E_INVALIDTIME);
    EXPECT_EQ(ack(c.es, L"Ae.Tank", second, h + 1), OPC_E_INVALIDTIME);
    EXPECT_EQ(ack(c.es, L"Ae.Nothing", second, h), E_INVALIDARG);
    EXPECT_TRUE(s.take().empty());
    EXPECT_TRUE(g_acks.empty());
    EXPECT_EQ(ack(c.es, L"Ae.Tank", second, h, L"seen"), S_OK);
    ev = s.take();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].e.wChangeMask, OPC_CHANGE_ACK_STATE);
    EXPECT_EQ(ev[0].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE | OPC_CONDITION_ACKED);
    EXPECT_EQ(ev[0].actor, L"op");
    EXPECT_EQ(ev[0].message, L"seen");
    ASSERT_EQ(g_acks.size(), 1u);
    EXPECT_EQ(g_acks[0].tag, h);
    EXPECT_EQ(g_acks[0].condition, "Level Alarm");
    EXPECT_EQ(g_acks[0].comment, "seen");
    EXPECT_FALSE(g_acks[0].lockHeld);
    EXPECT_EQ(ack(c.es, L"Ae.Tank", second, h), OPC_S_ALREADYACKED);

    // Acknowledged and back to normal: nothing left to report.
    EXPECT_EQ(reported(), 1u);
    set(h, 10);
    s.take();
    EXPECT_EQ(reported(), 0u);
    // Back to normal unacknowledged: reported until acknowledged, with the activation's time.
    set(h, 60);
    set(h, 10);
    ev = s.take();
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[1].e.wNewState, OPC_CONDITION_ENABLED);
    EXPECT_EQ(CompareFileTime(&ev[0].e.ftActiveTime, &ev[1].e.ftActiveTime), 0);
    EXPECT_EQ(reported(), 1u);
    EXPECT_EQ(ack(c.es, L"Ae.Tank", ev[1].e.ftActiveTime, h), S_OK);
    EXPECT_EQ(reported(), 0u);
    EXPECT_EQ(s.take().size(), 1u); // the acknowledgement's event

    // Turning acknowledgement off acknowledges what waits, with an event; after it every
    // event says acknowledged, and AckCondition has nothing to do.
    set(h, 60);
    EXPECT_TRUE(QV_SetTagAlarmAckRequired(h, FALSE));
    EXPECT_EQ(reported(), 1u); // active still
    deliverAll();
    set(h, 10);
    set(h, 60);
    ev = s.take();
    ASSERT_EQ(ev.size(), 4u);
    EXPECT_EQ(ev[1].e.wChangeMask, OPC_CHANGE_ACK_STATE);
    EXPECT_EQ(ev[1].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE | OPC_CONDITION_ACKED);
    EXPECT_EQ(ev[3].e.wNewState, OPC_CONDITION_ENABLED | OPC_CONDITION_ACTIVE | OPC_CONDITION_ACKED);
    EXPECT_FALSE(ev[3].e.bAckRequired);
    EXPECT_EQ(ack(c.es, L"Ae.Tank", ev[3].e.ftActiveTime, h), OPC_S_ALREADYACKED);
    QV_EnableAckNotification(nullptr);
    EXPECT_TRUE(QV_RemoveTag(h));
    EXPECT_EQ(reported(), 0u); // the condition went with its tag
}
