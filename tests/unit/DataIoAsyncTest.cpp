// IOPCAsyncIO2: acceptance rules, the queue, cancel ids, and the completions of the dispatch pass.
#include <thread>
#include "DataIoFixture.h"

using namespace qv;
using namespace qvtest;

namespace {

DWORD g_refuseTag = 0xFFFFFFFF;
HANDLE g_writeEntered = nullptr;
HANDLE g_writeLeave = nullptr;

void WINAPI refusingWrite(DWORD hTag, VARIANT*, HRESULT* pResult)
{
    *pResult = hTag == g_refuseTag ? E_ACCESSDENIED : S_OK;
}

void WINAPI blockingWrite(DWORD, VARIANT*, HRESULT* pResult)
{
    SetEvent(g_writeEntered);
    WaitForSingleObject(g_writeLeave, 30000);
    *pResult = S_OK;
}

class AsyncIoTest : public DataIoTest {
protected:
    void SetUp() override
    {
        DataIoTest::SetUp();
        tag_ = makeTag("A", vI4(1));
        makeTag("B", vI4(2));
        makeTag("RO", vI4(3), false);
        g_ = makeGroup();
        a_ = addItem(*g_, "A", 101);
        b_ = addItem(*g_, "B", 102);
        ro_ = addItem(*g_, "RO", 103);
        io_ = itf<IOPCAsyncIO2>(*g_, IID_IOPCAsyncIO2);
        ASSERT_TRUE(io_);
        ASSERT_EQ(advise(*g_, &sink_), 1u);
        pass(*g_); // the first report of the new items
        sink_.take();
    }
    void TearDown() override
    {
        io_.reset();
        DataIoTest::TearDown();
    }

    HRESULT read(std::vector<OPCHANDLE> handles, DWORD tid, DWORD* cancelId = nullptr,
                 std::vector<HRESULT>* errs = nullptr)
    {
        DWORD cid = 0;
        HRESULT* errors = nullptr;
        HRESULT hr = io_->Read(static_cast<DWORD>(handles.size()), handles.data(), tid, &cid, &errors);
        if (cancelId) *cancelId = cid;
        if (errors) {
            if (errs) errs->assign(errors, errors + handles.size());
            CoTaskMemFree(errors);
        }
        return hr;
    }

    HRESULT write(std::vector<OPCHANDLE> handles, LONG value, DWORD tid, DWORD* cancelId = nullptr,
                  std::vector<HRESULT>* errs = nullptr)
    {
        std::vector<VARIANT> values(handles.size(), vI4(value));
        DWORD cid = 0;
        HRESULT* errors = nullptr;
        HRESULT hr = io_->Write(static_cast<DWORD>(handles.size()), handles.data(), values.data(), tid, &cid, &errors);
        if (cancelId) *cancelId = cid;
        if (errors) {
            if (errs) errs->assign(errors, errors + handles.size());
            CoTaskMemFree(errors);
        }
        return hr;
    }

    size_t queued()
    {
        LockGuard lock(App().globalLock);
        return g_->queue.size();
    }

    DWORD tag_ = 0;
    std::shared_ptr<OPCGroup> g_;
    OPCHANDLE a_ = 0, b_ = 0, ro_ = 0;
    ComPtr<IOPCAsyncIO2> io_;
    RecordingCallback sink_;
};

} // namespace

TEST_F(AsyncIoTest, ReadCompletesWithValuesAtThePass)
{
    DWORD cid = 0;
    std::vector<HRESULT> errs;
    EXPECT_EQ(read({b_, a_, b_}, 555, &cid, &errs), S_OK);
    EXPECT_EQ(errs, (std::vector<HRESULT>{S_OK, S_OK, S_OK}));
    EXPECT_EQ(cid, 1u); // the first id of a new group
    update(tag_, vI4(77)); // after the call, before the pass
    EXPECT_EQ(sink_.count(), 0u); // nothing before the pass
    g_->dispatchQueue();
    auto calls = sink_.take();
    ASSERT_EQ(calls.size(), 1u);
    const CallbackRecord& r = calls[0];
    EXPECT_EQ(r.kind, CallbackRecord::ReadComplete);
    EXPECT_EQ(r.transactionId, 555u);
    EXPECT_EQ(r.group, g_->clientHandle.load());
    EXPECT_EQ(r.handles, (std::vector<OPCHANDLE>{102, 101, 102}));
    EXPECT_EQ(asI4(r.values[1]), 77);
    EXPECT_FALSE(r.lockHeld);
    EXPECT_TRUE(changed(*g_, a_)); // completions do not clear the flags
    EXPECT_EQ(queued(), 0u);
}

TEST_F(AsyncIoTest, InvalidHandlesAreLeftOutOfTheCompletion)
{
    DWORD cid = 0;
    std::vector<HRESULT> errs;
    EXPECT_EQ(read({a_, 0xBAD, b_}, 1, &cid, &errs), S_FALSE);
    EXPECT_EQ(errs, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK}));
    EXPECT_EQ(cid, 1u);
    // Nothing valid: nothing queued, nothing written, no completion.
    EXPECT_EQ(write({0xBAD}, 9, 2, &cid, &errs), S_FALSE);
    EXPECT_EQ(cid, 2u);
    EXPECT_EQ(asI4(item(*g_, a_)->value), 1);
    EXPECT_EQ(queued(), 1u);
    g_->dispatchQueue();
    auto calls = sink_.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, CallbackRecord::ReadComplete);
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{101, 102}));
}

TEST_F(AsyncIoTest, QueueHoldsTenRequests)
{
    for (int i = 0; i < 10; ++i) ASSERT_EQ(read({a_}, 100 + i), S_OK);
    EXPECT_EQ(read({a_}, 200), E_FAIL);
    EXPECT_EQ(write({a_}, 5, 201), E_FAIL);
    DWORD cid = 0;
    EXPECT_EQ(io_->Refresh2(OPC_DS_CACHE, 202, &cid), E_FAIL);
    g_->dispatchQueue();
    auto calls = sink_.take();
    ASSERT_EQ(calls.size(), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(calls[i].transactionId, static_cast<DWORD>(100 + i)); // queue order
    EXPECT_EQ(read({a_}, 300), S_OK);
}

TEST_F(AsyncIoTest, CancelIdsAreNeverZero)
{
    {
        LockGuard lock(App().globalLock);
        g_->transactionCounter = 0xFFFFFFFE;
    }
    DWORD c1 = 0, c2 = 0, c3 = 0;
    read({a_}, 1, &c1);
    read({a_}, 2, &c2);
    io_->Refresh2(OPC_DS_DEVICE, 3, &c3);
    EXPECT_EQ(c1, 0xFFFFFFFFu);
    EXPECT_EQ(c2, 1u);
    EXPECT_EQ(c3, 2u);
}

TEST_F(AsyncIoTest, CancelTurnsACompletionIntoOnCancelComplete)
{
    EXPECT_EQ(io_->Cancel2(1), E_FAIL); // empty queue
    DWORD readId = 0, writeId = 0, refreshId = 0;
    read({a_}, 11, &readId);
    write({b_}, 50, 12, &writeId);
    io_->Refresh2(OPC_DS_CACHE, 13, &refreshId);
    EXPECT_EQ(io_->Cancel2(readId), S_OK);
    EXPECT_EQ(io_->Cancel2(writeId), S_OK); // still queued: its values never reach the host
    EXPECT_EQ(io_->Cancel2(writeId), E_FAIL); // once only
    EXPECT_EQ(io_->Cancel2(999), E_FAIL);
    g_->dispatchQueue();
    auto calls = sink_.take();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].kind, CallbackRecord::CancelComplete);
    EXPECT_EQ(calls[0].transactionId, 11u);
    EXPECT_EQ(calls[0].group, g_->clientHandle.load());
    EXPECT_EQ(calls[1].kind, CallbackRecord::CancelComplete);
    EXPECT_EQ(calls[1].transactionId, 12u);
    EXPECT_EQ(calls[2].kind, CallbackRecord::DataChange);
    EXPECT_EQ(calls[2].transactionId, 13u);
    EXPECT_EQ(asI4(item(*g_, b_)->value), 2);
    EXPECT_EQ(io_->Cancel2(refreshId), E_FAIL); // already completed
}

TEST_F(AsyncIoTest, WriteReportsEachItemsOutcomeInTheCompletion)
{
    QV_EnableWriteNotification(refusingWrite);
    g_refuseTag = tag_;
    std::vector<HRESULT> errs;
    EXPECT_EQ(write({b_, ro_, a_}, 8, 77, nullptr, &errs), S_FALSE);
    // Rights (and types) are known at the call: told there, left out of the completion.
    EXPECT_EQ(errs, (std::vector<HRESULT>{S_OK, OPC_E_BADRIGHTS, S_OK}));
    {
        LockGuard lock(App().globalLock);
        EXPECT_EQ(asI4(App().tags.lookup("B")->state->value), 2); // the host hears it in the pass only
    }
    g_->dispatchQueue();
    auto calls = sink_.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, CallbackRecord::WriteComplete);
    EXPECT_EQ(calls[0].transactionId, 77u);
    EXPECT_EQ(calls[0].masterError, S_FALSE);
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{102, 101}));
    EXPECT_EQ(calls[0].errors, (std::vector<HRESULT>{S_OK, E_ACCESSDENIED}));
    LockGuard lock(App().globalLock);
    EXPECT_EQ(asI4(App().tags.lookup("B")->state->value), 8);
    EXPECT_EQ(asI4(App().tags.lookup("A")->state->value), 1);

    g_refuseTag = 0xFFFFFFFF;
}

TEST_F(AsyncIoTest, CompletionsAfterItemsWereRemoved)
{
    write({a_, b_}, 4, 21);
    read({b_}, 22);
    EXPECT_TRUE(g_->removeItem(a_));
    EXPECT_TRUE(g_->removeItem(b_));
    g_->dispatchQueue();
    auto calls = sink_.take();
    // Both complete with the items' errors under the client handles they had; nothing was written.
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].kind, CallbackRecord::WriteComplete);
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{101, 102}));
    EXPECT_EQ(calls[0].errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE, OPC_E_INVALIDHANDLE}));
    EXPECT_EQ(calls[0].masterError, S_FALSE);
    EXPECT_EQ(calls[1].kind, CallbackRecord::ReadComplete);
    EXPECT_EQ(calls[1].handles, (std::vector<OPCHANDLE>{102}));
    EXPECT_EQ(calls[1].errors, (std::vector<HRESULT>{OPC_E_INVALIDHANDLE}));
    LockGuard lock(App().globalLock);
    EXPECT_EQ(asI4(App().tags.lookup("A")->state->value), 1);
}

TEST_F(AsyncIoTest, RefreshSendsActiveItemsWhateverTheEnableFlag)
{
    EXPECT_EQ(io_->SetEnable(FALSE), S_OK);
    BOOL en = TRUE;
    EXPECT_EQ(io_->GetEnable(&en), S_OK);
    EXPECT_EQ(en, FALSE);
    update(tag_, vI4(9));
    pass(*g_);
    EXPECT_EQ(sink_.count(), 0u); // subscriptions are off

    item(*g_, ro_)->active = FALSE;
    DWORD cid = 0;
    EXPECT_EQ(io_->Refresh2(OPC_DS_DEVICE, 31, &cid), S_OK);
    g_->dispatchQueue();
    auto calls = sink_.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, CallbackRecord::DataChange);
    EXPECT_EQ(calls[0].transactionId, 31u);
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{101, 102})); // changed or not, active only
    EXPECT_TRUE(changed(*g_, a_));

    // Back on: the change that waited is reported at the next firing scan.
    EXPECT_EQ(io_->SetEnable(7), S_OK);
    EXPECT_EQ(io_->GetEnable(&en), S_OK);
    EXPECT_EQ(en, 7); // stored as given
    pass(*g_);
    calls = sink_.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].handles, (std::vector<OPCHANDLE>{101}));
    EXPECT_EQ(asI4(calls[0].values[0]), 9);

    // All items inactive, or the group inactive: a refresh that could never be answered is refused.
    for (OPCHANDLE h : {a_, b_, ro_}) item(*g_, h)->active = FALSE;
    EXPECT_EQ(io_->Refresh2(OPC_DS_CACHE, 32, &cid), E_FAIL);
    item(*g_, a_)->active = TRUE;
    g_->active = FALSE;
    EXPECT_EQ(io_->Refresh2(OPC_DS_CACHE, 33, &cid), E_FAIL);
    EXPECT_EQ(queued(), 0u);
    EXPECT_EQ(sink_.count(), 0u);
}

TEST_F(AsyncIoTest, WithoutCallback)
{
    EXPECT_EQ(unadvise(*g_, 1), S_OK);
    DWORD cid = 0;
    std::vector<HRESULT> errs;
    EXPECT_EQ(read({a_}, 1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(write({a_}, 1, 1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(io_->Refresh2(OPC_DS_CACHE, 1, &cid), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(io_->SetEnable(TRUE), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(io_->GetEnable(nullptr), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(io_->Refresh2(OPC_DS_CACHE, 1, nullptr), E_INVALIDARG);
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(io_->Read(0, &a_, 1, &cid, &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);

    // Queued while connected, completed after the Unadvise: dropped, and the record goes.
    advise(*g_, &sink_);
    EXPECT_EQ(io_->GetEnable(nullptr), E_INVALIDARG);
    EXPECT_EQ(read({a_}, 5), S_OK);
    unadvise(*g_, 1);
    g_->dispatchQueue();
    EXPECT_EQ(queued(), 0u);
    EXPECT_EQ(sink_.count(), 0u);
}

TEST_F(AsyncIoTest, TheHostHearsAWriteInThePassAndACancelThenIsTooLate)
{
    g_writeEntered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_writeLeave = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    QV_EnableWriteNotification(blockingWrite);
    DWORD cid = 0;
    EXPECT_EQ(write({a_}, 6, 41, &cid), S_OK); // returns at once: the host is not called here
    EXPECT_EQ(queued(), 1u);
    std::thread worker([&] { g_->dispatchQueue(); });
    ASSERT_EQ(WaitForSingleObject(g_writeEntered, 10000), WAIT_OBJECT_0);
    // The pass took it and the host has it: too late to cancel; it completes as written.
    EXPECT_EQ(io_->Cancel2(cid), E_FAIL);
    EXPECT_EQ(queued(), 0u);
    SetEvent(g_writeLeave);
    worker.join();
    auto calls = sink_.take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, CallbackRecord::WriteComplete);
    EXPECT_EQ(calls[0].transactionId, 41u);
    EXPECT_EQ(calls[0].errors, (std::vector<HRESULT>{S_OK}));
    EXPECT_EQ(asI4(item(*g_, a_)->value), 6);

    // The group destroyed while the host writes: the record is the pass's own, no completion.
    ResetEvent(g_writeEntered);
    ResetEvent(g_writeLeave);
    EXPECT_EQ(write({a_}, 7, 42), S_OK);
    std::thread worker2([&] { g_->dispatchQueue(); });
    ASSERT_EQ(WaitForSingleObject(g_writeEntered, 10000), WAIT_OBJECT_0);
    g_->destroy();
    SetEvent(g_writeLeave);
    worker2.join();
    EXPECT_EQ(sink_.count(), 0u);
    CloseHandle(g_writeEntered);
    CloseHandle(g_writeLeave);
}
