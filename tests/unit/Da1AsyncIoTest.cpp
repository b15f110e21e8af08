// DA 1.0 IOPCAsyncIO: connection checks, transaction ids shared with IOPCAsyncIO2, the shared
// queue limit, completions as streams, and Cancel that sends nothing.
#include "Da1Fixture.h"

using namespace qv;
using namespace qvtest;
using namespace qvda1;

namespace {

DWORD g_refuse = 0xFFFFFFFF;
void WINAPI refusingWrite(DWORD hTag, VARIANT*, HRESULT* pResult)
{
    *pResult = hTag == g_refuse ? E_ACCESSDENIED : S_OK;
}

class Da1AsyncIoTest : public Da1Test {
protected:
    void SetUp() override
    {
        Da1Test::SetUp();
        tagA_ = makeTag("A", vI4(1));
        makeTag("B", vI4(2));
        makeTag("RO", vI4(3), false);
        g_ = makeGroup();
        a_ = addItem(*g_, "A", 101);
        b_ = addItem(*g_, "B", 102);
        ro_ = addItem(*g_, "RO", 103);
        io_ = itf<IOPCAsyncIO>(*g_, IID_IOPCAsyncIO);
        ASSERT_TRUE(io_);
    }
    void TearDown() override
    {
        io_.reset();
        g_refuse = 0xFFFFFFFF;
        Da1Test::TearDown();
    }

    // Data, data+time and write-complete sinks, and the first subscription report consumed.
    void connectAll()
    {
        ASSERT_EQ(dadvise(*g_, formatData(), &data()), S_OK);
        ASSERT_EQ(dadvise(*g_, formatDataTime(), &timed()), S_OK);
        ASSERT_EQ(dadvise(*g_, formatWrite(), &writes()), S_OK);
        pass(*g_);
        data().take();
        timed().take();
    }
    RecordingAdviseSink& data() { return sink(0); }
    RecordingAdviseSink& timed() { return sink(1); }
    RecordingAdviseSink& writes() { return sink(2); }
    RecordingAdviseSink& sink(size_t i)
    {
        while (adviseSinks_.size() <= i) newAdviseSink();
        return *adviseSinks_[i];
    }

    HRESULT read(std::vector<OPCHANDLE> h, DWORD* tid = nullptr, std::vector<HRESULT>* errs = nullptr,
                 bool* gotArray = nullptr)
    {
        DWORD id = 0;
        HRESULT* e = nullptr;
        HRESULT hr = io_->Read(0, OPC_DS_CACHE, static_cast<DWORD>(h.size()), h.data(), &id, &e);
        if (tid) *tid = id;
        if (gotArray) *gotArray = e != nullptr;
        if (e && errs) errs->assign(e, e + h.size());
        CoTaskMemFree(e);
        return hr;
    }
    HRESULT write(std::vector<OPCHANDLE> h, LONG value, DWORD* tid = nullptr, std::vector<HRESULT>* errs = nullptr)
    {
        std::vector<VARIANT> v(h.size(), vI4(value));
        DWORD id = 0;
        HRESULT* e = nullptr;
        HRESULT hr = io_->Write(0, static_cast<DWORD>(h.size()), h.data(), v.data(), &id, &e);
        if (tid) *tid = id;
        if (e && errs) errs->assign(e, e + h.size());
        CoTaskMemFree(e);
        return hr;
    }
    size_t queued()
    {
        LockGuard lock(App().globalLock);
        return g_->queue.size();
    }

    DWORD tagA_ = 0;
    std::shared_ptr<OPCGroup> g_;
    OPCHANDLE a_ = 0, b_ = 0, ro_ = 0;
    ComPtr<IOPCAsyncIO> io_;
};

} // namespace

TEST_F(Da1AsyncIoTest, ArgumentsAndConnectionsAreCheckedInOrder)
{
    OPCHANDLE h[1] = {a_};
    VARIANT v[1] = {vI4(5)};
    DWORD tid = 0;
    HRESULT* e = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(io_->Read(0, OPC_DS_CACHE, 0, h, &tid, &e), E_INVALIDARG);
    EXPECT_EQ(e, nullptr);
    EXPECT_EQ(io_->Read(0, OPC_DS_CACHE, 1, nullptr, &tid, &e), E_INVALIDARG);
    EXPECT_EQ(io_->Read(0, OPC_DS_CACHE, 1, h, nullptr, &e), E_INVALIDARG);
    EXPECT_EQ(io_->Read(0, OPC_DS_CACHE, 1, h, &tid, nullptr), E_INVALIDARG);
    EXPECT_EQ(io_->Write(0, 1, h, nullptr, &tid, &e), E_INVALIDARG);
    EXPECT_EQ(io_->Refresh(0, OPC_DS_CACHE, nullptr), E_INVALIDARG);

    // No IDataObject yet, then only the write-complete sink, then only a data sink.
    EXPECT_EQ(read({a_}), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(io_->Refresh(0, OPC_DS_CACHE, &tid), CONNECT_E_NOCONNECTION);
    ASSERT_EQ(dadvise(*g_, formatWrite(), &writes()), S_OK);
    EXPECT_EQ(read({a_}), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(io_->Refresh(0, OPC_DS_CACHE, &tid), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(write({a_}, 5), S_OK);
    ComPtr<IDataObject> d = itf<IDataObject>(*g_, IID_IDataObject);
    d->DUnadvise(formatWrite());
    ASSERT_EQ(dadvise(*g_, formatDataTime(), &timed()), S_OK); // the data+time sink alone will do
    EXPECT_EQ(write({a_}, 6), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(read({a_}), S_OK);
    EXPECT_EQ(io_->Refresh(0, OPC_DS_CACHE, &tid), S_OK);
    EXPECT_EQ(io_->Write(0, 1, h, v, &tid, nullptr), E_INVALIDARG);
}

TEST_F(Da1AsyncIoTest, ReadCompletesAsStreamsCarryingItsTransactionId)
{
    connectAll();
    DWORD tid = 0;
    std::vector<HRESULT> errs;
    ASSERT_EQ(read({b_, a_, b_}, &tid, &errs), S_OK);
    EXPECT_EQ(errs, (std::vector<HRESULT>{S_OK, S_OK, S_OK}));
    EXPECT_EQ(tid, 1u);
    update(tagA_, vI4(42)); // values are those of the pass
    g_->dispatchQueue();
    auto t = timed().take();
    auto d = data().take();
    ASSERT_EQ(t.size(), 1u);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_LT(t[0].sequence, d[0].sequence);
    EXPECT_FALSE(d[0].lockHeld);
    DataStream s = parseData(d[0].bytes, false);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.transactionId, tid);
    ASSERT_EQ(s.items.size(), 3u);
    EXPECT_EQ(s.items[0].client, 102u);
    EXPECT_EQ(s.items[1].client, 101u);
    EXPECT_EQ(static_cast<LONG>(s.items[1].raw), 42);
    EXPECT_EQ(s.items[2].client, 102u);
    EXPECT_EQ(s.size, 20u + 3 * 12 + 3 * 16);
    EXPECT_EQ(parseData(t[0].bytes, true).transactionId, tid);
    EXPECT_TRUE(changed(*g_, a_)); // completions leave the flags alone
    EXPECT_EQ(writes().count(), 0u);

    // The subscription report of the same group carries 0.
    g_->scan(true);
    auto sub = data().take();
    ASSERT_EQ(sub.size(), 1u);
    EXPECT_EQ(parseData(sub[0].bytes, false).transactionId, 0u);
}

TEST_F(Da1AsyncIoTest, TransactionIdsComeFromTheGroupCounterSharedWithAsyncIO2)
{
    connectAll();
    RecordingCallback& cb = newSink();
    ASSERT_EQ(advise(*g_, &cb), 1u);
    ComPtr<IOPCAsyncIO2> io2 = itf<IOPCAsyncIO2>(*g_, IID_IOPCAsyncIO2);
    DWORD c1 = 0, t2 = 0, t3 = 0, c4 = 0;
    ASSERT_EQ(io2->Refresh2(OPC_DS_CACHE, 500, &c1), S_OK);
    ASSERT_EQ(read({a_}, &t2), S_OK);
    ASSERT_EQ(io_->Refresh(0, OPC_DS_DEVICE, &t3), S_OK);
    ASSERT_EQ(io2->Refresh2(OPC_DS_CACHE, 501, &c4), S_OK);
    EXPECT_EQ(c1, 1u);
    EXPECT_EQ(t2, 2u);
    EXPECT_EQ(t3, 3u);
    EXPECT_EQ(c4, 4u);
    // A second group counts on its own.
    auto other = makeGroup();
    addItem(*other, "A", 1);
    ASSERT_EQ(dadvise(*other, formatData(), &sink(5)), S_OK);
    ComPtr<IOPCAsyncIO> io1b = itf<IOPCAsyncIO>(*other, IID_IOPCAsyncIO);
    DWORD t = 0;
    ASSERT_EQ(io1b->Refresh(0, OPC_DS_CACHE, &t), S_OK);
    EXPECT_EQ(t, 1u);
    // Ids never reach 0.
    {
        LockGuard lock(App().globalLock);
        other->transactionCounter = 0xFFFFFFFF;
    }
    ASSERT_EQ(io1b->Refresh(0, OPC_DS_CACHE, &t), S_OK);
    EXPECT_EQ(t, 1u);
}

TEST_F(Da1AsyncIoTest, QueueLimitIsSharedWithAsyncIO2)
{
    connectAll();
    RecordingCallback& cb = newSink();
    ASSERT_EQ(advise(*g_, &cb), 1u);
    ComPtr<IOPCAsyncIO2> io2 = itf<IOPCAsyncIO2>(*g_, IID_IOPCAsyncIO2);
    DWORD id = 0;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(io2->Refresh2(OPC_DS_CACHE, 700 + i, &id), S_OK);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(read({a_}), S_OK);
    EXPECT_EQ(read({a_}), E_FAIL);
    EXPECT_EQ(write({a_}, 3), E_FAIL);
    EXPECT_EQ(io_->Refresh(0, OPC_DS_CACHE, &id), E_FAIL);
    EXPECT_EQ(io2->Refresh2(OPC_DS_CACHE, 800, &id), E_FAIL);
    EXPECT_EQ(asI4(item(*g_, a_)->value), 1); // the refused write wrote nothing
    g_->dispatchQueue();
    EXPECT_EQ(cb.take().size(), 5u);
    EXPECT_EQ(data().take().size(), 5u);
    EXPECT_EQ(read({a_}), S_OK);
}

TEST_F(Da1AsyncIoTest, CancelSendsNothingAndOnlyMatchesDa10Records)
{
    connectAll();
    EXPECT_EQ(io_->Cancel(1), E_FAIL); // empty queue
    RecordingCallback& cb = newSink();
    ASSERT_EQ(advise(*g_, &cb), 1u);
    ComPtr<IOPCAsyncIO2> io2 = itf<IOPCAsyncIO2>(*g_, IID_IOPCAsyncIO2);
    // A DA 2.0 record whose client id equals the DA 1.0 id issued next.
    DWORD cancelId = 0;
    ASSERT_EQ(io2->Refresh2(OPC_DS_CACHE, 2, &cancelId), S_OK);
    ASSERT_EQ(cancelId, 1u);
    DWORD readId = 0, writeId = 0;
    ASSERT_EQ(read({a_}, &readId), S_OK);
    ASSERT_EQ(readId, 2u);
    ASSERT_EQ(write({b_}, 55, &writeId), S_OK);
    EXPECT_EQ(io_->Cancel(readId), S_OK);
    EXPECT_EQ(io_->Cancel(writeId), S_OK); // still queued: the host never sees it
    EXPECT_EQ(io_->Cancel(999), E_FAIL);
    g_->dispatchQueue();
    EXPECT_EQ(data().count(), 0u);
    EXPECT_EQ(timed().count(), 0u);
    EXPECT_EQ(writes().take().size(), 0u); // DA 1.0 has no cancel notification
    auto calls = cb.take();
    ASSERT_EQ(calls.size(), 1u); // the DA 2.0 refresh completed normally
    EXPECT_EQ(calls[0].kind, CallbackRecord::DataChange);
    EXPECT_EQ(calls[0].transactionId, 2u);
    EXPECT_EQ(asI4(item(*g_, b_)->value), 2); // the cancelled write wrote nothing
    EXPECT_EQ(io_->Cancel(readId), E_FAIL);    // gone with the pass
}

TEST_F(Da1AsyncIoTest, InvalidHandlesAreLeftOutOfTheStream)
{
    connectAll();
    DWORD tid = 0;
    std::vector<HRESULT> errs;
    EXPECT_EQ(read({a_, 0xBAD}, &tid, &errs), S_FALSE);
    EXPECT_EQ(errs, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(tid, 1u);
    std::vector<VARIANT> v(1, vI4(9));
    OPCHANDLE bad[1] = {0xBAD};
    HRESULT* e = nullptr;
    // Nothing valid: nothing queued, nothing written, no stream.
    EXPECT_EQ(io_->Write(0, 1, bad, v.data(), &tid, &e), S_FALSE);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e[0], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(e);
    EXPECT_EQ(queued(), 1u);
    g_->dispatchQueue();
    auto d = data().take();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(parseData(d[0].bytes, false).items.size(), 1u);
    EXPECT_EQ(writes().count(), 0u);
}

TEST_F(Da1AsyncIoTest, RefreshSendsEveryActiveItemInGroupOrder)
{
    connectAll();
    {
        LockGuard lock(App().globalLock);
        g_->findItem(b_)->active = FALSE;
    }
    DWORD tid = 0;
    ASSERT_EQ(io_->Refresh(0, OPC_DS_DEVICE, &tid), S_OK);
    g_->dispatchQueue();
    auto d = data().take();
    ASSERT_EQ(d.size(), 1u);
    DataStream s = parseData(d[0].bytes, false);
    EXPECT_EQ(s.transactionId, tid);
    ASSERT_EQ(s.items.size(), 2u);
    EXPECT_EQ(s.items[0].client, 101u);
    EXPECT_EQ(s.items[1].client, 103u);
    EXPECT_EQ(timed().take().size(), 1u);

    // No active item: a refresh that could never be answered is refused.
    {
        LockGuard lock(App().globalLock);
        for (auto& kv : g_->items) kv.second->active = FALSE;
    }
    ASSERT_EQ(io_->Refresh(0, OPC_DS_DEVICE, &tid), E_FAIL);
    g_->dispatchQueue();
    EXPECT_EQ(data().count(), 0u);
    EXPECT_EQ(timed().count(), 0u);
}

TEST_F(Da1AsyncIoTest, WriteCompletionStreamCarriesTheQueuedItems)
{
    connectAll();
    QV_EnableWriteNotification(refusingWrite);
    g_refuse = tagA_;
    DWORD tid = 0;
    std::vector<HRESULT> errs;
    ASSERT_EQ(write({b_, ro_, a_}, 8, &tid, &errs), S_FALSE);
    // Rights are known at the call: told there, and the item is left out of the stream.
    EXPECT_EQ(errs, (std::vector<HRESULT>{S_OK, OPC_E_BADRIGHTS, S_OK}));
    g_->dispatchQueue();
    QV_EnableWriteNotification(nullptr);
    auto w = writes().take();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].format, formatWrite());
    EXPECT_FALSE(w[0].lockHeld);
    ASSERT_GE(w[0].bytes.size(), 32u);
    WriteStream s = parseWrite(w[0].bytes);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.count, 2u);
    EXPECT_EQ(s.group, g_->clientHandle.load());
    EXPECT_EQ(s.transactionId, tid);
    EXPECT_EQ(s.status, S_OK);
    EXPECT_EQ(s.clients, (std::vector<DWORD>{102, 101}));
    EXPECT_EQ(s.errors, (std::vector<HRESULT>{S_OK, E_ACCESSDENIED}));
    EXPECT_EQ(asI4(item(*g_, b_)->value), 8);
    EXPECT_EQ(data().count(), 0u);
}

TEST_F(Da1AsyncIoTest, CompletionGoesToTheSinksOfThePass)
{
    ASSERT_EQ(dadvise(*g_, formatData(), &data()), S_OK);
    ASSERT_EQ(dadvise(*g_, formatWrite(), &writes()), S_OK);
    DWORD r = 0, w = 0;
    ASSERT_EQ(read({a_, b_}, &r), S_OK);
    ASSERT_EQ(write({a_}, 4, &w), S_OK);
    // Connected after queueing: receives; removed before the pass: receives nothing.
    ASSERT_EQ(dadvise(*g_, formatDataTime(), &timed()), S_OK);
    ComPtr<IDataObject> d = itf<IDataObject>(*g_, IID_IDataObject);
    ASSERT_EQ(d->DUnadvise(formatWrite()), S_OK);
    ASSERT_TRUE(g_->removeItem(b_)); // a removed item completes empty, with bad quality
    g_->dispatchQueue();
    auto t = timed().take();
    ASSERT_EQ(t.size(), 1u);
    DataStream s = parseData(t[0].bytes, true);
    EXPECT_EQ(s.transactionId, r);
    ASSERT_EQ(s.items.size(), 2u);
    EXPECT_EQ(s.items[0].client, 101u);
    EXPECT_EQ(s.items[1].client, 102u);
    EXPECT_EQ(s.items[1].quality, OPC_QUALITY_BAD);
    EXPECT_EQ(data().take().size(), 1u);
    EXPECT_EQ(writes().count(), 0u);
}
