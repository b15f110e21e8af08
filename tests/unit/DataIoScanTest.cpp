// The update scan, the subscription OnDataChange and the group's connection point.
#include <thread>
#include "DataIoFixture.h"
#include "dataio/DataIo.h"

using namespace qv;
using namespace qvtest;

namespace {

// A task allocator that has nothing to give.
class EmptyMalloc : public IMalloc {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override { *ppv = nullptr; return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    void* STDMETHODCALLTYPE Alloc(SIZE_T) override { return nullptr; }
    void* STDMETHODCALLTYPE Realloc(void*, SIZE_T) override { return nullptr; }
    void STDMETHODCALLTYPE Free(void*) override {}
    SIZE_T STDMETHODCALLTYPE GetSize(void*) override { return 0; }
    int STDMETHODCALLTYPE DidAlloc(void*) override { return 0; }
    void STDMETHODCALLTYPE HeapMinimize() override {}
};

} // namespace

TEST_F(DataIoTest, GroupFiresOnEveryKthPass)
{
    App().updatePeriod = 500;
    DWORD tag = makeTag("T", vI4(0));
    auto g = makeGroup(true, 1000);
    addItem(*g, "T", 11);
    RecordingCallback& sink = newSink();
    ASSERT_EQ(advise(*g, &sink), 1u);
    std::vector<size_t> perPass;
    for (int i = 1; i <= 6; ++i) {
        update(tag, vI4(i));
        pass(*g);
        perPass.push_back(sink.take().size());
    }
    EXPECT_EQ(perPass, (std::vector<size_t>{0, 1, 0, 1, 0, 1}));
}

TEST_F(DataIoTest, InactiveGroupWaitsAndActivationReportsEveryActiveItem)
{
    DWORD tag = makeTag("T", vI4(0));
    makeTag("U", vI4(5));
    auto g = makeGroup(false, 1000);
    OPCHANDLE a = addItem(*g, "T", 1);
    addItem(*g, "U", 2);
    addItem(*g, "T", 3, VT_EMPTY, false); // inactive item
    RecordingCallback& sink = newSink();
    advise(*g, &sink);
    for (int i = 0; i < 3; ++i) pass(*g);
    EXPECT_EQ(sink.count(), 0u);
    EXPECT_EQ(g->elapsed, 0u); // no time passes while inactive

    clearChanged(*g);
    // Activation as SetState does it: dispatch, then a forced scan with every active item.
    g->active = TRUE;
    g->dispatchQueue();
    g->scan(true);
    auto calls = sink.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, CallbackRecord::DataChange);
    EXPECT_EQ(calls[0].transactionId, 0u);
    EXPECT_EQ(calls[0].group, g->clientHandle.load());
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{1, 2})); // never the inactive item
    EXPECT_EQ(g->elapsed, 0u);

    // The next regular firing comes a full update rate later.
    update(tag, vI4(9));
    pass(*g);
    EXPECT_EQ(sink.count(), 0u);
    pass(*g);
    calls = sink.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{1}));
    EXPECT_FALSE(changed(*g, a));
}

TEST_F(DataIoTest, ScanReportsChangedActiveItemsOnceAndKeepsInactiveOnes)
{
    DWORD t1 = makeTag("A", vI4(0));
    DWORD t2 = makeTag("B", vI4(0));
    auto g = makeGroup();
    OPCHANDLE a = addItem(*g, "A", 1);
    OPCHANDLE b = addItem(*g, "B", 2, VT_EMPTY, false);
    RecordingCallback& sink = newSink();
    advise(*g, &sink);
    pass(*g); // the new items (active one only)
    auto calls = sink.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{1}));

    pass(*g); // nothing changed: no call at all
    EXPECT_EQ(sink.count(), 0u);

    update(t1, vI4(5));
    update(t2, vI4(6));
    pass(*g);
    calls = sink.take();
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{1}));
    EXPECT_EQ(asI4(calls[0].values[0]), 5);
    EXPECT_TRUE(changed(*g, b));

    // Activating the item with a pending change: reported at the next firing scan.
    item(*g, b)->active = TRUE;
    pass(*g);
    calls = sink.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{2}));
    EXPECT_EQ(asI4(calls[0].values[0]), 6);
    EXPECT_FALSE(changed(*g, a));
    EXPECT_FALSE(changed(*g, b));
}

TEST_F(DataIoTest, ReportCarriesMasterQualityAndOneBlockLayout)
{
    DWORD t1 = makeTag("A", vI4(1));
    makeTag("B", vR8(2));
    makeTag("C", vStr(L"x"));
    auto g = makeGroup();
    addItem(*g, "A", 1);
    addItem(*g, "B", 2, VT_BSTR);
    addItem(*g, "C", 3);
    RecordingCallback& sink = newSink();
    advise(*g, &sink);
    pass(*g);
    auto calls = sink.take();
    ASSERT_EQ(calls.size(), 1u);
    const CallbackRecord& r = calls[0];
    EXPECT_EQ(r.masterQuality, S_OK);
    EXPECT_EQ(r.masterError, S_OK);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, S_OK, S_OK}));
    EXPECT_EQ(r.values[1].vt(), VT_BSTR);
    if (sizeof(void*) == 4) {
        const ptrdiff_t n = 3;
        EXPECT_EQ(r.valuesAt, 4 * n);
        EXPECT_EQ(r.qualitiesAt, 20 * n);
        EXPECT_EQ(r.timesAt, 22 * n);
        EXPECT_EQ(r.errorsAt, 30 * n);
    }
    EXPECT_EQ(CallbackBlockLayout(3).total, sizeof(void*) == 4 ? 102u : CallbackBlockLayout(3).total);

    update(t1, vI4(2), 0x40);
    pass(*g);
    calls = sink.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].masterQuality, S_FALSE);
    EXPECT_EQ(calls[0].masterError, S_OK);
    EXPECT_EQ(calls[0].qualities, (std::vector<WORD>{0x40}));
}

TEST_F(DataIoTest, NoCallbackOrFailedAllocationKeepsTheFlags)
{
    DWORD tag = makeTag("A", vI4(1));
    auto g = makeGroup();
    OPCHANDLE h = addItem(*g, "A", 1);
    // A container without an advised callback: the scan fires, nothing clears the flag.
    ComPtr<IConnectionPointContainer> cpc = itf<IConnectionPointContainer>(*g, IID_IConnectionPointContainer);
    pass(*g);
    EXPECT_TRUE(changed(*g, h));

    RecordingCallback& sink = newSink();
    advise(*g, &sink);
    IMalloc* real = App().taskAllocator;
    EmptyMalloc empty;
    App().taskAllocator = &empty;
    pass(*g);
    App().taskAllocator = real;
    EXPECT_EQ(sink.count(), 0u);
    EXPECT_TRUE(changed(*g, h));

    update(tag, vI4(2));
    pass(*g);
    auto calls = sink.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(asI4(calls[0].values[0]), 2);
    EXPECT_FALSE(changed(*g, h));
}

// A report is delivered once its call returned without a transport failure: until then the
// change stays pending, and the next report carries the newest value. Repeats are no change.
TEST_F(DataIoTest, ChangesStayPendingUntilAReportIsReceived)
{
    DWORD tag = makeTag("A", vI4(1));
    auto g = makeGroup();
    OPCHANDLE h = addItem(*g, "A", 1);
    RecordingCallback& sink = newSink();
    advise(*g, &sink);
    pass(*g);
    update(tag, vI4(1)); // a repeat
    sink.answer = RPC_E_CALL_REJECTED; // a busy client: the call failed on its way
    update(tag, vI4(2));
    pass(*g);
    EXPECT_TRUE(changed(*g, h));
    update(tag, vI4(3));
    sink.answer = E_FAIL; // the client's own error: it received the report
    pass(*g);
    pass(*g);
    auto calls = sink.take();
    ASSERT_EQ(calls.size(), 3u); // the first report, the failed one, the newest value; no repeat
    EXPECT_EQ(asI4(calls[2].values[0]), 3);
    EXPECT_FALSE(changed(*g, h));
}

TEST_F(DataIoTest, CallbacksRunWithoutTheLockAndSurviveUnadviseInside)
{
    DWORD tag = makeTag("A", vI4(1));
    auto g = makeGroup();
    addItem(*g, "A", 1);
    RecordingCallback& sink = newSink();
    DWORD cookie = advise(*g, &sink);
    ASSERT_EQ(sink.refs.load(), 2);
    HRESULT unadviseResult = E_FAIL;
    sink.inCall = [&] { unadviseResult = unadvise(*g, cookie); };
    update(tag, vI4(2));
    pass(*g);
    auto calls = sink.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].lockHeld);
    EXPECT_EQ(unadviseResult, S_OK);
    // The report's own reference kept the sink alive after the Unadvise inside the call...
    EXPECT_EQ(sink.refsDuringCall.load(), 2);
    // ...and was given back afterwards: only the test's own reference is left.
    EXPECT_EQ(sink.refs.load(), 1);
    update(tag, vI4(3));
    pass(*g);
    EXPECT_EQ(sink.count(), 0u);
}

TEST_F(DataIoTest, BlockedClientDoesNotBlockTheHost)
{
    DWORD tag = makeTag("A", vI4(1));
    auto g = makeGroup();
    addItem(*g, "A", 1);
    RecordingCallback& sink = newSink();
    advise(*g, &sink);
    HANDLE entered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE leave = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    sink.inCall = [&] {
        SetEvent(entered);
        WaitForSingleObject(leave, 30000);
    };
    std::thread worker([&] { pass(*g); });
    ASSERT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0);
    // The worker is stuck in the client; the host still updates and other groups still report.
    auto other = makeGroup();
    addItem(*other, "A", 7);
    RecordingCallback& otherSink = newSink();
    advise(*other, &otherSink);
    HANDLE updated = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread host([&] {
        if (update(tag, vI4(2))) SetEvent(updated);
    });
    EXPECT_EQ(WaitForSingleObject(updated, 10000), WAIT_OBJECT_0) << "the host waited for a client";
    pass(*other);
    EXPECT_EQ(otherSink.count(), 1u);
    SetEvent(leave);
    host.join();
    worker.join();
    CloseHandle(updated);
    CloseHandle(entered);
    CloseHandle(leave);
}

TEST_F(DataIoTest, ConnectionPointRules)
{
    auto g = makeGroup();
    ComPtr<IConnectionPointContainer> cpc = itf<IConnectionPointContainer>(*g, IID_IConnectionPointContainer);
    ASSERT_TRUE(cpc);
    ComPtr<IConnectionPoint> cp;
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, cp.put()), E_NOINTERFACE);
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put()), S_OK);
    IID iid{};
    EXPECT_EQ(cp->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCDataCallback));

    RecordingCallback& a = newSink();
    RecordingCallback& b = newSink();
    DWORD cookie = 0;
    EXPECT_EQ(cp->Advise(&a, &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);
    EXPECT_TRUE(g->hasDataCallback());
    EXPECT_EQ(cp->Advise(&b, &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(cp->Unadvise(2), CONNECT_E_NOCONNECTION);
    EXPECT_TRUE(g->hasDataCallback());
    EXPECT_EQ(cp->Unadvise(1), S_OK);
    EXPECT_FALSE(g->hasDataCallback());
    EXPECT_EQ(cp->Unadvise(1), CONNECT_E_NOCONNECTION);
    cookie = 0;
    EXPECT_EQ(cp->Advise(&b, &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);

    ComPtr<IEnumConnectionPoints> en;
    ASSERT_EQ(cpc->EnumConnectionPoints(en.put()), S_OK);
    IConnectionPoint* got[5] = {};
    ULONG fetched = 0;
    // Fewer than asked: S_FALSE (the COM contract the standard stubs rely on).
    EXPECT_EQ(en->Next(5, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    ASSERT_NE(got[0], nullptr);
    got[0]->Release();
    EXPECT_EQ(en->Next(1, got, nullptr), S_FALSE);
    en->Reset();
    EXPECT_EQ(en->Next(1, got, nullptr), S_OK);
    got[0]->Release();
    cp->Unadvise(1);
    EXPECT_EQ(a.refs.load(), 1);
    EXPECT_EQ(b.refs.load(), 1);
}

TEST_F(DataIoTest, DestroyedGroupReleasesItsCallback)
{
    auto g = makeGroup();
    RecordingCallback& sink = newSink();
    advise(*g, &sink);
    EXPECT_EQ(sink.refs.load(), 2);
    g->destroy();
    EXPECT_EQ(sink.refs.load(), 1);
    g->scan(true);
    g->dispatchQueue();
    EXPECT_EQ(sink.count(), 0u);
}
