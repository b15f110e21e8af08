// A DA 1.0 client through real COM against the test host: IDataObject advises for the three
// stream formats, subscription streams, IOPCAsyncIO completions with their transaction ids,
// and the item attributes enumerator. This process is in the MTA: the IAdviseSink calls
// arrive on RPC threads without a message pump.
#include <gtest/gtest.h>
#include <objbase.h>
#include <olectl.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>
#include "qvopc.h"
#include "tests/client/ClientSupport.h"
#include "tests/unit/Da1Streams.h"

using namespace qvclient;
using namespace qvda1;

namespace {

struct Stream {
    UINT format = 0;
    LONG sequence = 0;
    std::vector<BYTE> bytes;
};

// Records every stream of every sink of one test, in arrival order.
class StreamLog {
public:
    void add(UINT format, STGMEDIUM* m)
    {
        Stream s;
        s.format = format;
        if (m && m->tymed == TYMED_HGLOBAL && m->hGlobal) {
            const SIZE_T n = GlobalSize(m->hGlobal);
            const BYTE* p = static_cast<const BYTE*>(GlobalLock(m->hGlobal));
            if (p) s.bytes.assign(p, p + n);
            GlobalUnlock(m->hGlobal);
        }
        {
            std::lock_guard<std::mutex> g(m_);
            s.sequence = ++sequence_;
            streams_.push_back(std::move(s));
        }
        cv_.notify_all();
    }
    // Waits (generously) for the first stream that matches; removes and returns it.
    bool waitFor(const std::function<bool(const Stream&)>& match, Stream* out, DWORD timeoutMs = 15000)
    {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
            for (auto it = streams_.begin(); it != streams_.end(); ++it) {
                if (match(*it)) {
                    if (out) *out = std::move(*it);
                    streams_.erase(it);
                    return true;
                }
            }
            return false;
        });
    }
    std::vector<Stream> takeAll()
    {
        std::lock_guard<std::mutex> g(m_);
        std::vector<Stream> out;
        out.swap(streams_);
        return out;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Stream> streams_;
    LONG sequence_ = 0;
};

class AdviseSink : public IAdviseSink {
public:
    explicit AdviseSink(StreamLog* log) : log_(log) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IAdviseSink)) {
            *ppv = static_cast<IAdviseSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG n = --refs_;
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    void STDMETHODCALLTYPE OnDataChange(FORMATETC* fe, STGMEDIUM* m) override { log_->add(fe ? fe->cfFormat : 0, m); }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}

private:
    virtual ~AdviseSink() = default;
    StreamLog* log_;
    std::atomic<LONG> refs_{1};
};

// A DA 2.0 callback beside the streams: the values one item was reported with.
struct CallbackLog final : IOPCDataCallback {
    explicit CallbackLog(OPCHANDLE c) : client(c) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        const bool ok = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCDataCallback);
        *ppv = ok ? static_cast<IOPCDataCallback*>(this) : nullptr;
        return ok ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG n = --refs;
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE* h, VARIANT* v,
                                           WORD*, FILETIME*, HRESULT*) override
    {
        std::lock_guard<std::mutex> g(m);
        for (DWORD i = 0; i < n; ++i)
            if (h[i] == client) values.push_back(V_I4(&v[i]));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    OPCHANDLE client;
    std::atomic<LONG> refs{1};
    std::mutex m;
    std::vector<LONG> values;
};

enum : OPCHANDLE { kNum = 1, kText, kRefuse, kLevel, kCommand, kArray };
constexpr OPCHANDLE kGroupClient = 0x1A1;

class Da1Client : public ServerClientTest {
protected:
    void SetUp() override
    {
        ServerClientTest::SetUp();
        if (HasFatalFailure()) return;
        fData_ = RegisterClipboardFormatA("OPCSTMFORMATDATA");
        fTime_ = RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
        fWrite_ = RegisterClipboardFormatA("OPCSTMFORMATWRITECOMPLETE");
        Group g = addGroup(server.p, L"da1", IID_IOPCItemMgt, items_.out(), TRUE, 100, kGroupClient);
        ASSERT_EQ(g.hr, S_OK);
        hGroup_ = g.hServer;
        // The command tag first (inactive: its own writes do not show in the streams).
        Items cmd = addItems(items_.p, std::vector<ItemSpec>{{L"Ctl.Command", L"", VT_EMPTY, FALSE, kCommand}});
        ASSERT_EQ(cmd.hr, S_OK);
        hCommand_ = cmd.handles[0];
        ASSERT_EQ(command(L"create Da1.Num i4 5 rw"), S_OK);
        ASSERT_EQ(command(L"create Da1.Text str abc rw"), S_OK);
        Items it = addItems(items_.p, std::vector<ItemSpec>{{L"Da1.Num", L"", VT_EMPTY, TRUE, kNum},
                                                             {L"Da1.Text", L"", VT_EMPTY, TRUE, kText},
                                                             {L"Plant.Refuse", L"", VT_EMPTY, TRUE, kRefuse},
                                                             {L"Plant.Line.Level", L"", VT_EMPTY, TRUE, kLevel}});
        ASSERT_EQ(it.hr, S_OK);
        h_ = it.handles;
        ASSERT_EQ(items_->QueryInterface(IID_IDataObject, data_.out()), S_OK);
    }
    void TearDown() override
    {
        if (data_) {
            for (UINT f : {fData_, fTime_, fWrite_}) data_->DUnadvise(f);
        }
        if (items_) {
            command(L"remove Da1.Num");
            command(L"remove Da1.Text");
        }
        data_.reset();
        items_.reset();
        if (hGroup_) server->RemoveGroup(hGroup_, TRUE);
        ServerClientTest::TearDown();
    }

    HRESULT command(const wchar_t* text)
    {
        ComRef<IOPCSyncIO> io;
        if (items_->QueryInterface(IID_IOPCSyncIO, io.out()) != S_OK) return E_NOINTERFACE;
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(text);
        HRESULT* errors = nullptr;
        HRESULT hr = io->Write(1, &hCommand_, &v, &errors);
        VariantClear(&v);
        HRESULT item = errors ? errors[0] : hr;
        CoTaskMemFree(errors);
        return item;
    }

    HRESULT dadvise(UINT format, DWORD* token)
    {
        AdviseSink* s = new AdviseSink(&log_);
        FORMATETC fe{static_cast<CLIPFORMAT>(format), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        HRESULT hr = data_->DAdvise(&fe, 0, s, token);
        s->Release();
        return hr;
    }

    // The data+time and data streams carrying this transaction id (0: a subscription) that
    // satisfy the condition; the data+time one must have come first.
    void waitPair(DWORD tid, const std::function<bool(const DataStream&)>& cond, DataStream* timed, DataStream* plain)
    {
        Stream t, d;
        auto match = [&](UINT f, bool withTime) {
            return [&, f, withTime](const Stream& s) {
                if (s.format != f) return false;
                DataStream p = parseData(s.bytes, withTime);
                return p.ok && p.transactionId == tid && cond(p);
            };
        };
        ASSERT_TRUE(log_.waitFor(match(fTime_, true), &t));
        ASSERT_TRUE(log_.waitFor(match(fData_, false), &d));
        EXPECT_LT(t.sequence, d.sequence);
        *timed = parseData(t.bytes, true);
        *plain = parseData(d.bytes, false);
    }

    static const StreamItem* item(const DataStream& s, OPCHANDLE client)
    {
        for (const auto& it : s.items)
            if (it.client == client) return &it;
        return nullptr;
    }

    UINT fData_ = 0, fTime_ = 0, fWrite_ = 0;
    ComRef<IOPCItemMgt> items_;
    ComRef<IDataObject> data_;
    OPCHANDLE hGroup_ = 0, hCommand_ = 0;
    std::vector<OPCHANDLE> h_; // Da1.Num, Da1.Text, Plant.Refuse, Plant.Line.Level
    StreamLog log_;
};

} // namespace

TEST_F(Da1Client, SubscriptionArrivesInBothDataFormats)
{
    // Inactive while both formats are advised: otherwise a pass between the two DAdvise calls
    // hands the first report to the first format only.
    ComRef<IOPCGroupStateMgt> state;
    ASSERT_EQ(items_->QueryInterface(IID_IOPCGroupStateMgt, state.out()), S_OK);
    DWORD revised = 0;
    BOOL off = FALSE, on = TRUE;
    ASSERT_EQ(state->SetState(nullptr, &revised, &off, nullptr, nullptr, nullptr, nullptr), S_OK);
    DWORD token = 0;
    ASSERT_EQ(dadvise(fTime_, &token), S_OK);
    EXPECT_EQ(token, fTime_);
    ASSERT_EQ(dadvise(fData_, &token), S_OK);
    EXPECT_EQ(token, fData_);
    EXPECT_EQ(dadvise(fData_, &token), CONNECT_E_ADVISELIMIT);
    FORMATETC text{CF_TEXT, nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    AdviseSink* s = new AdviseSink(&log_);
    EXPECT_EQ(data_->DAdvise(&text, 0, s, &token), DV_E_FORMATETC);
    s->Release();
    ASSERT_EQ(state->SetState(nullptr, &revised, &on, nullptr, nullptr, nullptr, nullptr), S_OK);

    // The first report carries every new active item.
    DataStream t, d;
    waitPair(0, [](const DataStream& p) { return p.count == 4; }, &t, &d);
    if (HasFatalFailure()) return;
    EXPECT_EQ(d.group, kGroupClient);
    EXPECT_EQ(d.status, S_OK);
    EXPECT_EQ(d.size, d.end);
    EXPECT_EQ(t.size, t.end);
    const StreamItem* text1 = item(d, kText);
    ASSERT_NE(text1, nullptr);
    EXPECT_EQ(text1->vt, VT_BSTR);
    EXPECT_EQ(text1->stringBytes, 6u);
    EXPECT_EQ(text1->text, L"abc");
    EXPECT_TRUE(text1->terminated);
    // Four values: I4, BSTR "abc", I4, R8: 20 + 4 x 12 + 16 + 28 + 16 + 16.
    EXPECT_EQ(d.size, 20u + 48 + 76);
    EXPECT_EQ(t.size, 20u + 80 + 76);

    // A host update arrives in both formats, data+time first, with the host's time stamp.
    ASSERT_EQ(command(L"update Da1.Num i4 123"), S_OK);
    waitPair(0, [](const DataStream& p) {
        const StreamItem* n = item(p, kNum);
        return n && n->vt == VT_I4 && static_cast<LONG>(n->raw) == 123;
    }, &t, &d);
    if (HasFatalFailure()) return;
    const StreamItem* num = item(t, kNum);
    ASSERT_NE(num, nullptr);
    EXPECT_EQ(num->quality, OPC_QUALITY_GOOD);
    EXPECT_NE(num->time.dwHighDateTime, 0u);
    EXPECT_EQ(item(d, kText), nullptr); // only what changed

    EXPECT_EQ(data_->DUnadvise(fData_), S_OK);
    EXPECT_EQ(data_->DUnadvise(fData_), OLE_E_NOCONNECTION);
}

TEST_F(Da1Client, AsyncReadWriteAndRefreshCompleteWithTheirTransactionIds)
{
    ComRef<IOPCAsyncIO> io;
    ASSERT_EQ(items_->QueryInterface(IID_IOPCAsyncIO, io.out()), S_OK);
    DWORD tid = 0;
    HRESULT* errors = nullptr;
    EXPECT_EQ(io->Read(0, OPC_DS_CACHE, 1, h_.data(), &tid, &errors), CONNECT_E_NOCONNECTION);
    CoTaskMemFree(errors);
    errors = nullptr;
    DWORD token = 0;
    ASSERT_EQ(dadvise(fTime_, &token), S_OK);
    ASSERT_EQ(dadvise(fData_, &token), S_OK);
    ASSERT_EQ(dadvise(fWrite_, &token), S_OK);
    EXPECT_EQ(token, fWrite_);

    // Read: Da1.Text then Da1.Num.
    OPCHANDLE readHandles[2] = {h_[1], h_[0]};
    DWORD readId = 0;
    ASSERT_EQ(io->Read(0, OPC_DS_DEVICE, 2, readHandles, &readId, &errors), S_OK);
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], S_OK);
    CoTaskMemFree(errors);
    errors = nullptr;
    EXPECT_NE(readId, 0u);
    DataStream t, d;
    waitPair(readId, [](const DataStream&) { return true; }, &t, &d);
    if (HasFatalFailure()) return;
    ASSERT_EQ(d.items.size(), 2u);
    EXPECT_EQ(d.items[0].client, kText);
    EXPECT_EQ(d.items[0].text, L"abc");
    EXPECT_EQ(d.items[1].client, kNum);
    EXPECT_EQ(d.group, kGroupClient);

    // Write: accepted, refused by the host, read-only.
    OPCHANDLE writeHandles[3] = {h_[0], h_[2], h_[3]};
    VARIANT values[3];
    for (VARIANT& v : values) {
        VariantInit(&v);
        V_VT(&v) = VT_I4;
        V_I4(&v) = 77;
    }
    DWORD writeId = 0;
    ASSERT_EQ(io->Write(0, 3, writeHandles, values, &writeId, &errors), S_FALSE);
    EXPECT_EQ(errors[2], OPC_E_BADRIGHTS); // known at the call: told there, left out of the stream
    CoTaskMemFree(errors);
    errors = nullptr;
    EXPECT_NE(writeId, readId);
    Stream w;
    ASSERT_TRUE(log_.waitFor(
        [&](const Stream& s) { return s.format == fWrite_ && parseWrite(s.bytes).transactionId == writeId; }, &w));
    WriteStream ws = parseWrite(w.bytes);
    ASSERT_TRUE(ws.ok);
    EXPECT_EQ(w.bytes.size() >= 32, true);
    EXPECT_EQ(ws.count, 2u);
    EXPECT_EQ(ws.group, kGroupClient);
    EXPECT_EQ(ws.clients, (std::vector<DWORD>{kNum, kRefuse}));
    EXPECT_EQ(ws.errors, (std::vector<HRESULT>{S_OK, E_ACCESSDENIED}));

    // Refresh: every active item, with its id; the written value shows.
    DWORD refreshId = 0;
    ASSERT_EQ(io->Refresh(0, OPC_DS_CACHE, &refreshId), S_OK);
    waitPair(refreshId, [](const DataStream& p) { return p.count == 4; }, &t, &d);
    if (HasFatalFailure()) return;
    const StreamItem* num = item(d, kNum);
    ASSERT_NE(num, nullptr);
    EXPECT_EQ(static_cast<LONG>(num->raw), 77);
    EXPECT_EQ(static_cast<LONG>(item(d, kRefuse)->raw), 0); // the refused value shows nowhere

    // A DA 1.0 request has no cancel id: Cancel2(0) does not take it, and it completes.
    ComRef<IOPCAsyncIO2> io2;
    ASSERT_EQ(items_->QueryInterface(IID_IOPCAsyncIO2, io2.out()), S_OK);
    ASSERT_EQ(io->Refresh(0, OPC_DS_CACHE, &refreshId), S_OK);
    EXPECT_EQ(io2->Cancel2(0), E_FAIL);
    waitPair(refreshId, [](const DataStream&) { return true; }, &t, &d);
    if (HasFatalFailure()) return;

    // Cancel: a cancelled read sends nothing. The pass may already have taken it (E_FAIL);
    // a later read's completion shows that the queue has been passed.
    DWORD cancelled = 0, marker = 0;
    ASSERT_EQ(io->Read(0, OPC_DS_CACHE, 1, h_.data(), &cancelled, &errors), S_OK);
    CoTaskMemFree(errors);
    errors = nullptr;
    const HRESULT hrCancel = io->Cancel(cancelled);
    EXPECT_TRUE(hrCancel == S_OK || hrCancel == E_FAIL);
    ASSERT_EQ(io->Read(0, OPC_DS_CACHE, 1, h_.data(), &marker, &errors), S_OK);
    CoTaskMemFree(errors);
    errors = nullptr;
    waitPair(marker, [](const DataStream&) { return true; }, &t, &d);
    if (HasFatalFailure()) return;
    bool sawCancelled = false;
    for (const Stream& s : log_.takeAll()) {
        const bool withTime = s.format == fTime_;
        if (s.format != fWrite_ && parseData(s.bytes, withTime).transactionId == cancelled) sawCancelled = true;
    }
    if (hrCancel == S_OK) {
        EXPECT_FALSE(sawCancelled);
    }
    EXPECT_EQ(io->Cancel(cancelled), E_FAIL);
}

TEST_F(Da1Client, ItemEnumeratorHandsOutTheGroupsItems)
{
    ComRef<IEnumOPCItemAttributes> e;
    ASSERT_EQ(items_->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(e.out())), S_OK);
    OPCITEMATTRIBUTES* a = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(e->Next(3, &a, &fetched), S_OK);
    ASSERT_EQ(fetched, 3u);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(takeString(a[0].szItemID), "Ctl.Command");
    EXPECT_EQ(takeString(a[1].szItemID), "Da1.Num");
    EXPECT_EQ(a[1].hServer, h_[0]);
    EXPECT_EQ(a[1].hClient, kNum);
    EXPECT_EQ(a[1].vtCanonicalDataType, VT_I4);
    EXPECT_EQ(takeString(a[2].szItemID), "Da1.Text");
    for (ULONG i = 0; i < fetched; ++i) {
        takeString(a[i].szAccessPath);
        VariantClear(&a[i].vEUInfo);
    }
    CoTaskMemFree(a);
    a = nullptr;

    // Two left of ten asked: S_FALSE with the two.
    ASSERT_EQ(e->Next(10, &a, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(takeString(a[1].szItemID), "Plant.Line.Level");
    EXPECT_EQ(a[1].dwAccessRights, static_cast<DWORD>(OPC_READABLE));
    takeString(a[0].szItemID);
    for (ULONG i = 0; i < fetched; ++i) takeString(a[i].szAccessPath);
    CoTaskMemFree(a);
    a = nullptr;
    EXPECT_EQ(e->Next(1, &a, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    CoTaskMemFree(a);

    ComRef<IEnumOPCItemAttributes> c;
    ASSERT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Skip(4), S_OK);
    ASSERT_EQ(e->Clone(c.put()), S_OK);
    a = nullptr;
    ASSERT_EQ(c->Next(1, &a, &fetched), S_OK);
    ASSERT_EQ(fetched, 1u);
    EXPECT_EQ(takeString(a[0].szItemID), "Plant.Line.Level");
    takeString(a[0].szAccessPath);
    CoTaskMemFree(a);
}

// One group, a stream and a DA 2.0 callback: each path hears every change once, the callback
// advised after the stream included, and the stream carries arrays with their elements.
TEST_F(Da1Client, StreamAndCallbackEachHearEveryChangeOnce)
{
    ASSERT_EQ(command(L"create Da1.Arr i4[] 1,2,3 rw"), S_OK);
    Items arr = addItems(items_.p, std::vector<ItemSpec>{{L"Da1.Arr", L"", VT_EMPTY, TRUE, kArray}});
    ASSERT_EQ(arr.hr, S_OK);
    DWORD token = 0;
    ASSERT_EQ(dadvise(fData_, &token), S_OK);
    Stream first;
    auto hasArray = [&](const Stream& s) { return s.format == fData_ && item(parseData(s.bytes, false), kArray); };
    ASSERT_TRUE(log_.waitFor(hasArray, &first));
    DataStream d = parseData(first.bytes, false);
    EXPECT_EQ(d.size, d.end);
    const StreamItem* a = item(d, kArray);
    EXPECT_EQ(a->vt, VT_ARRAY | VT_I4);
    EXPECT_EQ(a->dims, 1u);
    EXPECT_EQ(a->elementBytes, 4u);
    EXPECT_EQ(a->words, (std::vector<DWORD>{1, 2, 3}));

    ComRef<CallbackLog> cb;
    cb.p = new CallbackLog(kNum);
    ComRef<IConnectionPointContainer> cpc;
    ASSERT_EQ(items_->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    ComRef<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, reinterpret_cast<IConnectionPoint**>(cp.out())), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(cb.p, &cookie), S_OK);
    for (LONG v : {11, 12, 13}) {
        Sleep(400); // several scans apart
        ASSERT_EQ(command((L"update Da1.Num i4 " + std::to_wstring(v)).c_str()), S_OK);
    }
    Sleep(600);
    std::vector<LONG> streamed;
    for (const Stream& s : log_.takeAll()) {
        DataStream p = parseData(s.bytes, false);
        if (const StreamItem* n = s.format == fData_ ? item(p, kNum) : nullptr) streamed.push_back(static_cast<LONG>(n->raw));
    }
    EXPECT_EQ(streamed, (std::vector<LONG>{11, 12, 13}));
    cp->Unadvise(cookie);
    std::lock_guard<std::mutex> g(cb->m);
    ASSERT_FALSE(cb->values.empty()); // its first report: the value the item had then
    EXPECT_EQ(std::vector<LONG>(cb->values.begin() + 1, cb->values.end()), (std::vector<LONG>{11, 12, 13}));
    command(L"remove Da1.Arr");
}
