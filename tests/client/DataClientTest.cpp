// Data exchange through real COM against the test host: subscriptions, synchronous and
// asynchronous reads and writes, with a client-side IOPCDataCallback sink (this process is in
// the MTA, so callbacks arrive on RPC threads without a message pump).
#include "ComRef.h"
#include "HostActivation.h"
#include "HostCommands.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

namespace {

struct Value {
    OPCHANDLE client;
    VARIANT v;
    WORD quality;
    FILETIME time;
    HRESULT error;
};

struct Call {
    enum Kind { Data, Read, Write, Cancel } kind;
    DWORD tid;
    OPCHANDLE group;
    HRESULT master;
    std::vector<Value> items;
    HRESULT masterError = S_OK; // data and read completions
};

// Client-side sink: COM reference counted (the server holds it through a proxy).
class Sink : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCDataCallback)) {
            *ppv = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG n = --refs_;
        if (n == 0) delete this;
        return static_cast<ULONG>(n);
    }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n, OPCHANDLE* h,
                                           VARIANT* v, WORD* q, FILETIME* t, HRESULT* e) override
    {
        return add(Call::Data, tid, g, mq, n, h, v, q, t, e, me);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT, DWORD n, OPCHANDLE* h,
                                             VARIANT* v, WORD* q, FILETIME* t, HRESULT* e) override
    {
        return add(Call::Read, tid, g, mq, n, h, v, q, t, e);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD tid, OPCHANDLE g, HRESULT me, DWORD n, OPCHANDLE* h,
                                              HRESULT* e) override
    {
        Call c{Call::Write, tid, g, me, {}, S_OK};
        for (DWORD i = 0; i < n; ++i) {
            Value x{h[i], {}, 0, {}, e[i]};
            VariantInit(&x.v);
            c.items.push_back(x);
        }
        return push(std::move(c));
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD tid, OPCHANDLE g) override
    {
        return push(Call{Call::Cancel, tid, g, S_OK, {}, S_OK});
    }

    // Waits (generously) for the first recorded call that matches; removes and returns it.
    bool waitFor(const std::function<bool(const Call&)>& match, Call* out, DWORD timeoutMs = 15000)
    {
        std::unique_lock<std::mutex> lk(m_);
        bool found = cv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
            for (auto it = calls_.begin(); it != calls_.end(); ++it) {
                if (match(*it)) {
                    if (out) *out = std::move(*it);
                    else clear(*it);
                    calls_.erase(it);
                    return true;
                }
            }
            return false;
        });
        return found;
    }
    std::vector<Call> takeAll()
    {
        std::lock_guard<std::mutex> g(m_);
        std::vector<Call> out;
        out.swap(calls_);
        return out;
    }
    static void clear(Call& c)
    {
        for (auto& x : c.items) VariantClear(&x.v);
        c.items.clear();
    }
    virtual ~Sink()
    {
        for (auto& c : calls_) clear(c);
    }

private:
    HRESULT add(Call::Kind k, DWORD tid, OPCHANDLE g, HRESULT mq, DWORD n, OPCHANDLE* h, VARIANT* v, WORD* q,
                FILETIME* t, HRESULT* e, HRESULT me = S_OK)
    {
        Call c{k, tid, g, mq, {}, me};
        for (DWORD i = 0; i < n; ++i) {
            Value x{h[i], {}, q[i], t[i], e[i]};
            VariantInit(&x.v);
            VariantCopy(&x.v, &v[i]);
            c.items.push_back(x);
        }
        return push(std::move(c));
    }
    HRESULT push(Call c)
    {
        {
            std::lock_guard<std::mutex> g(m_);
            calls_.push_back(std::move(c));
        }
        cv_.notify_all();
        return S_OK;
    }
    std::atomic<LONG> refs_{1};
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Call> calls_;
};

const Value* find(const Call& c, OPCHANDLE client)
{
    for (const auto& x : c.items)
        if (x.client == client) return &x;
    return nullptr;
}

LONG i4(const VARIANT& v)
{
    VARIANT t;
    VariantInit(&t);
    if (FAILED(VariantChangeType(&t, const_cast<VARIANT*>(&v), 0, VT_I4))) return -999999;
    return V_I4(&t);
}

enum : OPCHANDLE { kRamp = 1, kFlow, kCount, kRefuse, kLevel, kCommand, kStatus };

class DataClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IOPCServer, server_.out()),
                  S_OK);
        sink_ = new Sink();
    }
    void TearDown() override
    {
        if (cookie_) {
            Ref<IConnectionPointContainer> cpc;
            if (group_.p && group_->QueryInterface(IID_IConnectionPointContainer, cpc.out()) == S_OK) {
                Ref<IConnectionPoint> cp;
                if (cpc->FindConnectionPoint(IID_IOPCDataCallback, reinterpret_cast<IConnectionPoint**>(cp.out())) ==
                    S_OK)
                    cp->Unadvise(cookie_);
            }
        }
        group_.reset();
        if (hGroup_) server_->RemoveGroup(hGroup_, TRUE);
        server_.reset();
        if (sink_) sink_->Release();
    }

    // A group with the test host's tags as items (client handles from the enum above).
    void makeGroup(BOOL active, DWORD rate)
    {
        DWORD revised = 0;
        ASSERT_EQ(server_->AddGroup(L"data", active, rate, 0x4711, nullptr, nullptr, 0, &hGroup_, &revised,
                                    IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(group_.out())),
                  S_OK);
        struct { const wchar_t* id; OPCHANDLE h; } defs[] = {
            {L"Sim.Ramp", kRamp},       {L"Plant.Line.Flow", kFlow}, {L"Plant.Line.Count", kCount},
            {L"Plant.Refuse", kRefuse}, {L"Plant.Line.Level", kLevel}, {L"Ctl.Command", kCommand},
            {L"Plant.Line.Status", kStatus},
        };
        std::vector<OPCITEMDEF> items;
        for (auto& d : defs) {
            OPCITEMDEF def{};
            def.szAccessPath = const_cast<LPWSTR>(L"");
            def.szItemID = const_cast<LPWSTR>(d.id);
            def.bActive = TRUE;
            def.hClient = d.h;
            def.vtRequestedDataType = VT_EMPTY;
            items.push_back(def);
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(group_->AddItems(static_cast<DWORD>(items.size()), items.data(), &results, &errors), S_OK);
        for (size_t i = 0; i < items.size(); ++i) server(items[i].hClient) = results[i].hServer;
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
    }

    OPCHANDLE& server(OPCHANDLE client) { return handles_[client]; }

    void advise()
    {
        Ref<IConnectionPointContainer> cpc;
        ASSERT_EQ(group_->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
        Ref<IConnectionPoint> cp;
        ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, reinterpret_cast<IConnectionPoint**>(cp.out())),
                  S_OK);
        ASSERT_EQ(cp->Advise(sink_, &cookie_), S_OK);
        EXPECT_EQ(cookie_, 1u);
    }

    // Drives the test host through its command tag.
    HRESULT command(const wchar_t* text)
    {
        Ref<IOPCSyncIO> io;
        EXPECT_EQ(group_->QueryInterface(IID_IOPCSyncIO, io.out()), S_OK);
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_BSTR;
        V_BSTR(&v) = SysAllocString(text);
        OPCHANDLE h = server(kCommand);
        HRESULT* errors = nullptr;
        HRESULT hr = io->Write(1, &h, &v, &errors);
        VariantClear(&v);
        HRESULT item = errors ? errors[0] : hr;
        CoTaskMemFree(errors);
        return item;
    }

    Ref<IOPCServer> server_;
    Ref<IOPCItemMgt> group_;
    OPCHANDLE hGroup_ = 0;
    OPCHANDLE handles_[16] = {};
    Sink* sink_ = nullptr;
    DWORD cookie_ = 0;
};

} // namespace

TEST_F(DataClient, SubscriptionFollowsHostUpdates)
{
    makeGroup(TRUE, 100);
    advise();
    // The first report carries every new active item.
    Call first;
    ASSERT_TRUE(sink_->waitFor([](const Call& c) { return c.kind == Call::Data && c.items.size() >= 7; }, &first));
    EXPECT_EQ(first.tid, 0u);
    EXPECT_EQ(first.group, 0x4711u);
    Sink::clear(first);

    // Sim.Ramp moves every 100 ms: it keeps arriving, increasing.
    LONG last = -1;
    for (int n = 0; n < 5; ++n) {
        Call c;
        ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Data && find(x, kRamp); }, &c));
        LONG v = i4(find(c, kRamp)->v);
        EXPECT_GT(v, last);
        EXPECT_EQ(find(c, kRamp)->quality, 0xC0);
        last = v;
        Sink::clear(c);
    }

    // A host update with a quality change reaches the client, master quality S_FALSE.
    ASSERT_EQ(command(L"update Plant.Line.Count i4 4242 64"), S_OK);
    Call c;
    ASSERT_TRUE(sink_->waitFor(
        [](const Call& x) { return x.kind == Call::Data && find(x, kCount) && i4(find(x, kCount)->v) == 4242; }, &c));
    EXPECT_EQ(find(c, kCount)->quality, 0x40);
    EXPECT_EQ(c.master, S_FALSE);
    Sink::clear(c);
    command(L"update Plant.Line.Count i4 7");
}

// A host that ends its update cycles keeps the server's clock: each cycle's value reaches the
// client, although the cycles come faster than the server's own timer ticks (70 ms against
// 100), which would merge some of them.
TEST_F(DataClient, HostUpdateCyclesKeepTheClock)
{
    makeGroup(TRUE, 100);
    advise();
    const long offset = static_cast<long>(hostLogFrom(0).size());
    ASSERT_TRUE(hostCommands({"cycles Plant.Line.Count 5001 20 70"}));
    std::vector<LONG> seen;
    Call c;
    while (sink_->waitFor([](const Call& x) { return x.kind == Call::Data && find(x, kCount); }, &c, 3000)) {
        LONG v = i4(find(c, kCount)->v);
        if (v > 5000) seen.push_back(v);
        Sink::clear(c);
        if (v == 5020) break;
    }
    std::vector<LONG> expected;
    for (LONG v = 5001; v <= 5020; ++v) expected.push_back(v);
    EXPECT_EQ(seen, expected);
    // A second end of cycle at once is refused: it would run the groups' clocks fast.
    EXPECT_TRUE(waitHostLog(offset, "again=1 twice=0", 5000)) << hostLogFrom(offset);
    command(L"update Plant.Line.Count i4 7");
}

// The host's write audit hears every written item, accepted or refused, with who wrote it:
// the name the client set, its process and account, the trace's client number.
TEST_F(DataClient, WriteAuditNamesTheWriterOfEveryItem)
{
    if (testLogDir().empty()) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    Ref<IOPCCommon> common;
    ASSERT_EQ(server_->QueryInterface(IID_IOPCCommon, common.out()), S_OK);
    ASSERT_EQ(common->SetClientName(L"audit-test"), S_OK);
    makeGroup(TRUE, 100);
    Ref<IOPCSyncIO> io;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCSyncIO, io.out()), S_OK);
    const long offset = static_cast<long>(hostLogFrom(0).size());
    OPCHANDLE w[4] = {server(kCount), server(kRefuse), server(kLevel), 0xDEAD};
    VARIANT v[4];
    for (auto& x : v) {
        VariantInit(&x);
        V_VT(&x) = VT_I4;
        V_I4(&x) = 17;
    }
    HRESULT* errors = nullptr;
    EXPECT_EQ(io->Write(4, w, v, &errors), S_FALSE);
    CoTaskMemFree(errors);
    ASSERT_TRUE(waitHostLog(offset, "result 0xC0040001", 5000)) << hostLogFrom(offset);
    const std::string log = hostLogFrom(offset);
    char user[256] = {};
    DWORD len = sizeof user;
    GetUserNameA(user, &len);
    const std::string who = " name \"audit-test\" pid " + std::to_string(GetCurrentProcessId()) + " account \"";
    const char* expected[] = {"item Plant.Line.Count value 17 stored 17 result 0x00000000 client ",
                              "item Plant.Refuse value 17 stored - result 0x80070005 client ",
                              "item Plant.Line.Level value 17 stored - result 0xC0040006 client ",
                              "item  value 17 stored - result 0xC0040001 client "};
    std::string number;
    for (const char* e : expected) {
        const size_t at = log.find(std::string("audit: ") + e);
        ASSERT_NE(at, std::string::npos) << e << "\n" << log;
        const std::string line = log.substr(at, log.find('\n', at) - at);
        const std::string n = line.substr(line.find(" client ") + 8, line.find(" name ") - line.find(" client ") - 8);
        if (number.empty()) number = n;
        EXPECT_EQ(n, number) << line; // one client, one number
        EXPECT_NE(line.find(who), std::string::npos) << line;
        // The account is the one this process runs as (COM under Wine names none itself).
        EXPECT_NE(line.find("\\" + std::string(user) + "\" size "), std::string::npos) << line;
    }
    EXPECT_NE(number, "0");
}

TEST_F(DataClient, SyncReadAndWriteThroughTheHost)
{
    makeGroup(TRUE, 100);
    Ref<IOPCSyncIO> io;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCSyncIO, io.out()), S_OK);

    OPCHANDLE w[3] = {server(kCount), server(kRefuse), server(kLevel)};
    VARIANT v[3];
    for (auto& x : v) VariantInit(&x);
    V_VT(&v[0]) = VT_BSTR;
    V_BSTR(&v[0]) = SysAllocString(L"12");
    V_VT(&v[1]) = VT_I4;
    V_I4(&v[1]) = 5;
    V_VT(&v[2]) = VT_R8;
    V_R8(&v[2]) = 1.0;
    HRESULT* errors = nullptr;
    EXPECT_EQ(io->Write(3, w, v, &errors), S_FALSE);
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], E_ACCESSDENIED);
    EXPECT_EQ(errors[2], OPC_E_BADRIGHTS);
    CoTaskMemFree(errors);
    for (auto& x : v) VariantClear(&x);

    OPCHANDLE r[3] = {server(kCount), 0xDEAD, server(kFlow)};
    OPCITEMSTATE* states = nullptr;
    errors = nullptr;
    EXPECT_EQ(io->Read(OPC_DS_CACHE, 3, r, &states, &errors), S_FALSE);
    ASSERT_NE(states, nullptr);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(V_VT(&states[0].vDataValue), VT_I4);
    EXPECT_EQ(i4(states[0].vDataValue), 12);
    EXPECT_EQ(states[0].hClient, kCount);
    EXPECT_EQ(states[2].wQuality, 0xC0);
    for (int i = 0; i < 3; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // A device read asks the host, whose answer carries its own quality (0xD8).
    states = nullptr;
    errors = nullptr;
    EXPECT_EQ(io->Read(OPC_DS_DEVICE, 1, r, &states, &errors), S_OK);
    EXPECT_EQ(states[0].wQuality, 0xD8);
    EXPECT_EQ(i4(states[0].vDataValue), 12); // the host took the value
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    EXPECT_EQ(io->Read(static_cast<OPCDATASOURCE>(3), 1, r, &states, &errors), E_INVALIDARG);
    command(L"update Plant.Line.Count i4 7");
}

TEST_F(DataClient, InactiveGroupReadsOutOfServiceAndRemovedTagsAnswerInvalidHandle)
{
    makeGroup(FALSE, 100);
    ASSERT_EQ(command(L"create Tmp.Data i4 5 rw"), S_OK);
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<LPWSTR>(L"");
    def.szItemID = const_cast<LPWSTR>(L"Tmp.Data");
    def.bActive = TRUE;
    def.hClient = 99;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(group_->AddItems(1, &def, &results, &errors), S_OK);
    OPCHANDLE tmp = results[0].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    Ref<IOPCSyncIO> io;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCSyncIO, io.out()), S_OK);
    OPCITEMSTATE* states = nullptr;
    errors = nullptr;
    OPCHANDLE h[2] = {server(kFlow), tmp};
    ASSERT_EQ(io->Read(OPC_DS_CACHE, 2, h, &states, &errors), S_OK);
    EXPECT_EQ(states[0].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
    EXPECT_EQ(states[1].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
    for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    ASSERT_EQ(command(L"remove Tmp.Data"), S_OK);
    states = nullptr;
    errors = nullptr;
    EXPECT_EQ(io->Read(OPC_DS_DEVICE, 2, h, &states, &errors), S_FALSE);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    EXPECT_EQ(states[1].hClient, 99u);
    for (int i = 0; i < 2; ++i) VariantClear(&states[i].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    // The item still exists: a write reaches no tag.
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = 1;
    errors = nullptr;
    EXPECT_EQ(io->Write(1, &tmp, &v, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
}

TEST_F(DataClient, RecreatedTagIsFollowedAgain)
{
    makeGroup(TRUE, 100);
    ASSERT_EQ(command(L"create Tmp.Again i4 1 rw"), S_OK);
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<LPWSTR>(L"");
    def.szItemID = const_cast<LPWSTR>(L"Tmp.Again");
    def.bActive = TRUE;
    def.hClient = 77;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(group_->AddItems(1, &def, &results, &errors), S_OK);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    advise();
    ASSERT_EQ(command(L"remove Tmp.Again"), S_OK);
    ASSERT_EQ(command(L"create Tmp.Again i4 2 rw"), S_OK);
    ASSERT_EQ(command(L"update Tmp.Again i4 333"), S_OK);
    Call c;
    ASSERT_TRUE(sink_->waitFor(
        [](const Call& x) { return x.kind == Call::Data && find(x, 77) && i4(find(x, 77)->v) == 333; }, &c));
    Sink::clear(c);
    command(L"remove Tmp.Again");
}

TEST_F(DataClient, AsyncCompletionsCarryTheTransactionIds)
{
    makeGroup(TRUE, 100);
    Ref<IOPCAsyncIO2> io;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCAsyncIO2, io.out()), S_OK);
    DWORD cid = 0;
    OPCHANDLE h[2] = {server(kFlow), server(kCount)};
    HRESULT* errors = nullptr;
    EXPECT_EQ(io->Read(2, h, 101, &cid, &errors), CONNECT_E_NOCONNECTION);
    advise();

    EXPECT_EQ(io->Read(2, h, 101, &cid, &errors), S_OK);
    CoTaskMemFree(errors);
    Call c;
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Read; }, &c));
    EXPECT_EQ(c.tid, 101u);
    EXPECT_EQ(c.group, 0x4711u);
    ASSERT_EQ(c.items.size(), 2u);
    EXPECT_EQ(c.items[0].client, kFlow);
    EXPECT_EQ(c.items[1].client, kCount);
    Sink::clear(c);

    // Write: the synchronous errors report handle validity, the completion each outcome.
    OPCHANDLE w[2] = {server(kRefuse), server(kStatus)};
    VARIANT v[2];
    VariantInit(&v[0]);
    V_VT(&v[0]) = VT_I4;
    V_I4(&v[0]) = 3;
    VariantInit(&v[1]);
    V_VT(&v[1]) = VT_BSTR;
    V_BSTR(&v[1]) = SysAllocString(L"async");
    errors = nullptr;
    EXPECT_EQ(io->Write(2, w, v, 102, &cid, &errors), S_OK);
    EXPECT_EQ(errors[0], S_OK);
    CoTaskMemFree(errors);
    VariantClear(&v[1]);
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Write; }, &c));
    EXPECT_EQ(c.tid, 102u);
    EXPECT_EQ(c.master, S_FALSE);
    ASSERT_EQ(c.items.size(), 2u);
    EXPECT_EQ(c.items[0].client, kRefuse);
    EXPECT_EQ(c.items[0].error, E_ACCESSDENIED);
    EXPECT_EQ(c.items[1].error, S_OK);

    // Refresh2: every active item, as a data change with the transaction id.
    EXPECT_EQ(io->Refresh2(OPC_DS_CACHE, 103, &cid), S_OK);
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Data && x.tid == 103; }, &c));
    EXPECT_EQ(c.items.size(), 7u);
    Sink::clear(c);

    // Cancel2 races the worker's next pass: either the cancel was in time (OnCancelComplete)
    // or the request had completed (E_FAIL, and the read completion came).
    errors = nullptr;
    ASSERT_EQ(io->Read(1, h, 104, &cid, &errors), S_OK);
    CoTaskMemFree(errors);
    HRESULT hr = io->Cancel2(cid);
    if (hr == S_OK) {
        ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Cancel; }, &c));
        EXPECT_EQ(c.tid, 104u);
        EXPECT_EQ(c.group, 0x4711u);
    } else {
        EXPECT_EQ(hr, E_FAIL);
        ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Read && x.tid == 104; }, &c));
        Sink::clear(c);
    }
    EXPECT_EQ(io->Cancel2(cid), E_FAIL); // completed either way by now

    // An invalid handle is left out: the completion for 105 carries the valid item only.
    OPCHANDLE bad[2] = {server(kFlow), 0xBAD};
    errors = nullptr;
    EXPECT_EQ(io->Read(2, bad, 105, &cid, &errors), S_FALSE);
    EXPECT_EQ(errors[1], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Read && x.tid == 105; }, &c));
    EXPECT_EQ(c.items.size(), 1u);
    Sink::clear(c);

    // SetEnable(FALSE) stops subscriptions, not completions.
    EXPECT_EQ(io->SetEnable(FALSE), S_OK);
    EXPECT_EQ(io->Refresh2(OPC_DS_CACHE, 106, &cid), S_OK);
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Data && x.tid == 106; }, &c));
    Sink::clear(c);
    for (auto& x : sink_->takeAll()) Sink::clear(x);
    Sleep(400); // several passes, Sim.Ramp changing all the time
    for (auto& x : sink_->takeAll()) {
        EXPECT_FALSE(x.kind == Call::Data && x.tid == 0) << "subscription data change while disabled";
        Sink::clear(x);
    }
    BOOL en = TRUE;
    EXPECT_EQ(io->GetEnable(&en), S_OK);
    EXPECT_EQ(en, FALSE);
    EXPECT_EQ(io->SetEnable(TRUE), S_OK);
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Data && x.tid == 0; }, nullptr));
    command(L"update Plant.Line.Status str ok");
}

// A write the host refuses changes nothing the client sees; GetStatus counts the client's
// groups and moves with its data changes; with the limit lifted a burst of 300 write+cancel
// pairs is accepted whole.
TEST_F(DataClient, RefusedWritesStatusAndQueueLimit)
{
    auto status = [&] {
        OPCSERVERSTATUS* p = nullptr;
        EXPECT_EQ(server_->GetStatus(&p), S_OK);
        OPCSERVERSTATUS r = *p;
        CoTaskMemFree(p->szVendorInfo);
        CoTaskMemFree(p);
        return r;
    };
    OPCSERVERSTATUS st = status();
    EXPECT_EQ(st.dwGroupCount, 0u);
    EXPECT_EQ(st.ftLastUpdateTime.dwHighDateTime | st.ftLastUpdateTime.dwLowDateTime, 0u);
    makeGroup(TRUE, 100);
    advise();
    Ref<IOPCSyncIO> sync;
    Ref<IOPCAsyncIO2> async;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCSyncIO, sync.out()), S_OK);
    ASSERT_EQ(group_->QueryInterface(IID_IOPCAsyncIO2, async.out()), S_OK);
    OPCHANDLE h = server(kRefuse);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = 55;
    HRESULT* errors = nullptr;
    DWORD cid = 0;
    EXPECT_EQ(sync->Write(1, &h, &v, &errors), S_FALSE);
    CoTaskMemFree(errors);
    ASSERT_EQ(async->Write(1, &h, &v, 201, &cid, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 202, &cid), S_OK);
    Call c;
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Data && x.tid == 202; }, &c));
    EXPECT_EQ(i4(find(c, kRefuse)->v), 0);
    Sink::clear(c);

    const FILETIME first = status().ftLastUpdateTime;
    EXPECT_NE(first.dwHighDateTime, 0u);
    Sleep(300); // Sim.Ramp changes every 100 ms
    st = status();
    EXPECT_EQ(st.dwGroupCount, 1u);
    EXPECT_LT(CompareFileTime(&first, &st.ftLastUpdateTime), 0);

    EXPECT_EQ(command(L"queuelimit 0"), S_OK);
    int refused = 0;
    for (DWORD i = 0; i < 300; ++i) {
        refused += async->Write(1, &h, &v, 1000 + i, &cid, &errors) != S_OK;
        CoTaskMemFree(errors);
        async->Cancel2(cid);
    }
    EXPECT_EQ(command(L"queuelimit 10"), S_OK);
    EXPECT_EQ(refused, 0);
    // The burst's completions end before the group goes (Wine's RPC layer dislikes the overlap).
    EXPECT_TRUE(sink_->waitFor([](const Call& x) { return x.tid == 1299 && x.kind != Call::Data; }, nullptr));
}

// A change the client should hear is never lost before the group's scan, and a client's write
// reaches every client that follows the tag.
TEST_F(DataClient, NoChangeIsLostAndWritesReachEveryFollower)
{
    // One second between scans, 10 % deadband: host updates land between two scans.
    DWORD revised = 0;
    FLOAT deadband = 10.0f;
    ASSERT_EQ(server_->AddGroup(L"slow", TRUE, 1000, 0x4712, nullptr, &deadband, 0, &hGroup_, &revised,
                                IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(group_.out())),
              S_OK);
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<LPWSTR>(L"");
    def.szItemID = const_cast<LPWSTR>(L"Plant.Line.Count");
    def.bActive = TRUE;
    def.hClient = kCount;
    OPCITEMRESULT* res = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(group_->AddItems(1, &def, &res, &errors), S_OK);
    server(kCount) = res[0].hServer;
    CoTaskMemFree(res), CoTaskMemFree(errors);
    ASSERT_TRUE(hostCommands({"update Plant.Line.Count i4 100"}));
    advise();
    auto countIs = [](LONG v, WORD q) {
        return [v, q](const Call& x) {
            return x.kind == Call::Data && find(x, kCount) && i4(find(x, kCount)->v) == v &&
                   find(x, kCount)->quality == q;
        };
    };
    Call c;
    ASSERT_TRUE(sink_->waitFor(countIs(100, 0xC0), &c));
    Sink::clear(c);
    // 100 -> 150 -> 151 before the scan: 151 is within 10 % of 150, but the client has 100.
    ASSERT_TRUE(hostCommands({"update Plant.Line.Count i4 150", "update Plant.Line.Count i4 151"}));
    ASSERT_TRUE(sink_->waitFor(countIs(151, 0xC0), &c));
    Sink::clear(c);
    // Good to bad, then a small move with the same bad quality: the client hears bad.
    ASSERT_TRUE(hostCommands({"update Plant.Line.Count i4 151 0", "update Plant.Line.Count i4 152 0"}));
    ASSERT_TRUE(sink_->waitFor(countIs(152, 0x00), &c));
    Sink::clear(c);

    // A second client follows the same tag; this client's write reaches its callback and cache.
    Ref<IOPCServer> other;
    ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IOPCServer, other.out()), S_OK);
    Ref<IOPCItemMgt> otherGroup;
    OPCHANDLE hOther = 0;
    ASSERT_EQ(other->AddGroup(L"other", TRUE, 100, 0x4713, nullptr, nullptr, 0, &hOther, &revised,
                              IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(otherGroup.out())),
              S_OK);
    ASSERT_EQ(otherGroup->AddItems(1, &def, &res, &errors), S_OK);
    OPCHANDLE otherItem = res[0].hServer;
    CoTaskMemFree(res), CoTaskMemFree(errors);
    Sink* otherSink = new Sink();
    Ref<IConnectionPointContainer> cpc;
    ASSERT_EQ(otherGroup->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    Ref<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, reinterpret_cast<IConnectionPoint**>(cp.out())), S_OK);
    DWORD otherCookie = 0;
    ASSERT_EQ(cp->Advise(otherSink, &otherCookie), S_OK);
    Ref<IOPCAsyncIO2> async;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCAsyncIO2, async.out()), S_OK);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = 777;
    OPCHANDLE h = server(kCount);
    DWORD cid = 0;
    ASSERT_EQ(async->Write(1, &h, &v, 301, &cid, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Write && x.tid == 301; }, &c));
    ASSERT_EQ(c.items.size(), 1u);
    EXPECT_EQ(c.items[0].error, S_OK);
    ASSERT_TRUE(otherSink->waitFor(countIs(777, 0x00), &c));
    Sink::clear(c);
    Ref<IOPCSyncIO> otherSync;
    ASSERT_EQ(otherGroup->QueryInterface(IID_IOPCSyncIO, otherSync.out()), S_OK);
    OPCITEMSTATE* st = nullptr;
    ASSERT_EQ(otherSync->Read(OPC_DS_CACHE, 1, &otherItem, &st, &errors), S_OK);
    EXPECT_EQ(i4(st[0].vDataValue), 777);
    VariantClear(&st[0].vDataValue);
    CoTaskMemFree(st), CoTaskMemFree(errors);
    cp->Unadvise(otherCookie);
    otherSink->Release();
    otherGroup.reset();
    other->RemoveGroup(hOther, TRUE);

    // A refresh that could never be answered is refused; so is a requested type by reference.
    ASSERT_EQ(group_->SetActiveState(1, &h, FALSE, &errors), S_OK);
    CoTaskMemFree(errors);
    EXPECT_EQ(async->Refresh2(OPC_DS_CACHE, 302, &cid), E_FAIL);
    VARTYPE byRef = VT_VARIANT | VT_BYREF;
    ASSERT_EQ(group_->SetDatatypes(1, &h, &byRef, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_BADTYPE);
    CoTaskMemFree(errors);
    ASSERT_TRUE(hostCommands({"update Plant.Line.Count i4 7"}));
}

// A device read answers in the item's requested type and refreshes the cache, so a read that
// accepts a young value does not go to the device again.
TEST_F(DataClient, DeviceReadsFeedTheCache)
{
    DWORD revised = 0;
    ASSERT_EQ(server_->AddGroup(L"device", TRUE, 1000, 1, nullptr, nullptr, 0, &hGroup_, &revised,
                                IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(group_.out())),
              S_OK);
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<LPWSTR>(L"");
    def.szItemID = const_cast<LPWSTR>(L"Plant.Device");
    def.bActive = TRUE;
    def.vtRequestedDataType = VT_BSTR;
    OPCITEMRESULT* res = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(group_->AddItems(1, &def, &res, &errors), S_OK);
    OPCHANDLE h = res[0].hServer;
    CoTaskMemFree(res), CoTaskMemFree(errors);
    Ref<IOPCSyncIO2> io;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCSyncIO2, io.out()), S_OK);
    OPCITEMSTATE* st = nullptr;
    ASSERT_EQ(io->Read(OPC_DS_DEVICE, 1, &h, &st, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(V_VT(&st[0].vDataValue), VT_BSTR);
    const LONG fromDevice = i4(st[0].vDataValue);
    EXPECT_EQ(st[0].wQuality, 0xD8);
    VariantClear(&st[0].vDataValue);
    CoTaskMemFree(st);
    DWORD age = 60000;
    VARIANT* v = nullptr;
    WORD* q = nullptr;
    FILETIME* t = nullptr;
    ASSERT_EQ(io->ReadMaxAge(1, &h, &age, &v, &q, &t, &errors), S_OK);
    EXPECT_EQ(i4(v[0]), fromDevice); // the cache's value: the device would have said one more
    EXPECT_EQ(q[0], 0xD8);
    VariantClear(&v[0]);
    CoTaskMemFree(v), CoTaskMemFree(q), CoTaskMemFree(t), CoTaskMemFree(errors);
}

TEST_F(DataClient, AsyncWritesWaitForTheWorkerAndCancelForReal)
{
    makeGroup(TRUE, 100);
    advise();
    enum : OPCHANDLE { kHold = 8, kClamp };
    for (auto d : {std::make_pair(L"Plant.Hold", kHold), std::make_pair(L"Plant.Clamp", kClamp)}) {
        OPCITEMDEF def{const_cast<LPWSTR>(L""), const_cast<LPWSTR>(d.first), TRUE, d.second, 0, nullptr, VT_EMPTY, 0};
        OPCITEMRESULT* res = nullptr;
        HRESULT* errors = nullptr;
        ASSERT_EQ(group_->AddItems(1, &def, &res, &errors), S_OK);
        server(d.second) = res[0].hServer;
        CoTaskMemFree(res), CoTaskMemFree(errors);
    }
    Ref<IOPCAsyncIO2> async;
    Ref<IOPCSyncIO> sync;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCAsyncIO2, async.out()), S_OK);
    ASSERT_EQ(group_->QueryInterface(IID_IOPCSyncIO, sync.out()), S_OK);
    OPCHANDLE h[2] = {server(kHold), server(kClamp)};
    HRESULT* errors = nullptr;
    VARIANT v[2];
    VariantInit(&v[0]), VariantInit(&v[1]);
    V_VT(&v[0]) = VT_I4, V_VT(&v[1]) = VT_R8;
    // The first write reaches the host in the worker's pass and is held there: too late to cancel.
    ASSERT_EQ(command(L"hold"), S_OK);
    DWORD late = 0, early = 0;
    V_I4(&v[0]) = 5;
    ASSERT_EQ(async->Write(1, h, v, 401, &late, &errors), S_OK);
    CoTaskMemFree(errors);
    for (int i = 0; i < 500 && command(L"held") != S_OK; ++i) Sleep(20);
    // The second waits in the queue behind it: cancelled for real, the host never sees it.
    V_I4(&v[0]) = 6;
    ASSERT_EQ(async->Write(1, h, v, 402, &early, &errors), S_OK);
    CoTaskMemFree(errors);
    EXPECT_EQ(async->Cancel2(early), S_OK);
    EXPECT_EQ(async->Cancel2(late), E_FAIL);
    // A refresh whose items all went inactive before the worker came to it still completes.
    DWORD refreshId = 0;
    ASSERT_EQ(async->Refresh2(OPC_DS_CACHE, 403, &refreshId), S_OK);
    std::vector<OPCHANDLE> all;
    for (OPCHANDLE k = kRamp; k <= kClamp; ++k) all.push_back(server(k));
    ASSERT_EQ(group_->SetActiveState(static_cast<DWORD>(all.size()), all.data(), FALSE, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(command(L"release"), S_OK);
    Call c;
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Write && x.tid == 401; }, &c));
    EXPECT_EQ(c.items.at(0).error, S_OK);
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Cancel && x.tid == 402; }, &c));
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Data && x.tid == 403; }, &c));
    EXPECT_TRUE(c.items.empty());
    EXPECT_EQ(c.masterError, E_FAIL);
    // The host clamps by updating the tag inside its write callback: its value stands.
    V_R8(&v[1]) = 150.0;
    ASSERT_EQ(sync->Write(1, &h[1], &v[1], &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_S_CLAMP);
    CoTaskMemFree(errors);
    OPCITEMSTATE* st = nullptr;
    ASSERT_EQ(sync->Read(OPC_DS_CACHE, 2, h, &st, &errors), S_OK);
    EXPECT_EQ(i4(st[0].vDataValue), 5);
    EXPECT_EQ(i4(st[1].vDataValue), 100);
    VariantClear(&st[0].vDataValue), VariantClear(&st[1].vDataValue);
    CoTaskMemFree(st), CoTaskMemFree(errors);
}

TEST_F(DataClient, Refresh2HonoursTheDataSourceAndTypesAreCheckedByType)
{
    makeGroup(TRUE, 100);
    advise();
    Ref<IOPCAsyncIO2> async;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCAsyncIO2, async.out()), S_OK);
    // From the device the host is asked (its answers carry quality 0xD8), from the cache not.
    DWORD cid = 0;
    Call c;
    for (auto src : {std::make_pair(OPC_DS_DEVICE, 0xD8), std::make_pair(OPC_DS_CACHE, 0xC0)}) {
        ASSERT_EQ(async->Refresh2(src.first, 500 + src.first, &cid), S_OK);
        const DWORD tid = 500 + src.first;
        ASSERT_TRUE(sink_->waitFor([&](const Call& x) { return x.kind == Call::Data && x.tid == tid; }, &c));
        ASSERT_NE(find(c, kFlow), nullptr);
        EXPECT_EQ(find(c, kFlow)->quality, src.second);
        Sink::clear(c);
    }
    EXPECT_EQ(async->Refresh2(static_cast<OPCDATASOURCE>(3), 503, &cid), E_INVALIDARG);

    // A text tag asked for as VT_R8 is taken whatever it holds: "hello" reads as the item's
    // error with bad quality, "3.5" reads.
    OPCITEMDEF def{const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L"Plant.Line.Status"), TRUE, 20, 0, nullptr, VT_R8, 0};
    OPCITEMRESULT* res = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(group_->AddItems(1, &def, &res, &errors), S_OK);
    OPCHANDLE text = res[0].hServer;
    CoTaskMemFree(res), CoTaskMemFree(errors);
    Ref<IOPCSyncIO> sync;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCSyncIO, sync.out()), S_OK);
    OPCITEMSTATE* st = nullptr;
    for (auto t : {std::make_pair(L"update Plant.Line.Status str hello", DISP_E_TYPEMISMATCH),
                   std::make_pair(L"update Plant.Line.Status str 3.5", S_OK)}) {
        ASSERT_EQ(command(t.first), S_OK);
        ASSERT_EQ(sync->Read(OPC_DS_CACHE, 1, &text, &st, &errors), t.second == S_OK ? S_OK : S_FALSE);
        EXPECT_EQ(errors[0], t.second);
        EXPECT_EQ(V_VT(&st[0].vDataValue), t.second == S_OK ? VT_R8 : VT_EMPTY);
        VariantClear(&st[0].vDataValue);
        CoTaskMemFree(st), CoTaskMemFree(errors);
    }
    ASSERT_EQ(command(L"update Plant.Line.Status str ok"), S_OK);
}

// What a client is told is what changed: repeats are no change, the deadband of an analog tag
// is a share of its EU range, a deadband outside 0..100 is refused, and an item activated again
// reports its current value.
TEST_F(DataClient, ChangesNotRepeatsAnalogDeadbandAndActivation)
{
    makeGroup(TRUE, 100);
    OPCITEMDEF def{const_cast<LPWSTR>(L""), const_cast<LPWSTR>(L"Tank1"), TRUE, 9, 0, nullptr, VT_EMPTY, 0};
    OPCITEMRESULT* res = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(group_->AddItems(1, &def, &res, &errors), S_OK); // r4, analog, EU range 0..100
    OPCHANDLE tank = res->hServer;
    CoTaskMemFree(res), CoTaskMemFree(errors);
    ASSERT_TRUE(hostCommands({"update Plant.Line.Count i4 7", "update Tank1 r4 2.5"}));
    advise();
    Call c;
    ASSERT_TRUE(sink_->waitFor([](const Call& x) { return x.kind == Call::Data && x.items.size() >= 8; }, &c));
    Sink::clear(c);
    auto carries = [](OPCHANDLE h) { return [h](const Call& x) { return x.kind == Call::Data && find(x, h); }; };
    // Repeats and one change: the change alone, once.
    ASSERT_TRUE(hostCommands({"update Plant.Line.Count i4 7", "update Plant.Line.Count i4 8",
                              "update Plant.Line.Count i4 8"}));
    ASSERT_TRUE(sink_->waitFor(carries(kCount), &c));
    EXPECT_EQ(i4(find(c, kCount)->v), 8);
    Sink::clear(c);
    ASSERT_TRUE(hostCommands({"update Plant.Line.Count i4 8"}));
    EXPECT_FALSE(sink_->waitFor(carries(kCount), nullptr, 800));

    // 10 % of 0..100: 2.5 -> 10 stays within (the relative rule would report 300 %), 13 is past.
    Ref<IOPCGroupStateMgt> st;
    ASSERT_EQ(group_->QueryInterface(IID_IOPCGroupStateMgt, st.out()), S_OK);
    DWORD revised = 0;
    FLOAT band = 10.0f;
    ASSERT_EQ(st->SetState(nullptr, &revised, nullptr, nullptr, &band, nullptr, nullptr), S_OK);
    for (FLOAT bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), -1.0f, 100.5f}) {
        EXPECT_EQ(st->SetState(nullptr, &revised, nullptr, nullptr, &bad, nullptr, nullptr), E_INVALIDARG);
        OPCHANDLE hNew = 0;
        Ref<IUnknown> none;
        EXPECT_EQ(server_->AddGroup(L"bad", TRUE, 100, 1, nullptr, &bad, 0, &hNew, &revised, IID_IOPCItemMgt,
                                    reinterpret_cast<IUnknown**>(none.out())),
                  E_INVALIDARG);
    }
    // The refused calls changed nothing: the band below is still 10 % (NaN would report 10,
    // 100.5 would hold back 13).
    ASSERT_TRUE(hostCommands({"update Tank1 r4 10"}));
    EXPECT_FALSE(sink_->waitFor(carries(9), nullptr, 800));
    ASSERT_TRUE(hostCommands({"update Tank1 r4 13"}));
    ASSERT_TRUE(sink_->waitFor(carries(9), &c));
    EXPECT_EQ(i4(find(c, 9)->v), 13);
    Sink::clear(c);

    // Deactivated and activated again, unchanged: its current value comes in the next report.
    OPCHANDLE flow = server(kFlow);
    ASSERT_EQ(group_->SetActiveState(1, &flow, FALSE, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(group_->SetActiveState(1, &flow, TRUE, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(sink_->waitFor(carries(kFlow), &c));
    Sink::clear(c);
    // The same while the host publishes the tag again unchanged: the repeat owes the client nothing
    // but does not take back what the activation owes.
    ASSERT_EQ(group_->SetActiveState(1, &tank, FALSE, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_EQ(group_->SetActiveState(1, &tank, TRUE, &errors), S_OK);
    CoTaskMemFree(errors);
    ASSERT_TRUE(hostCommands({"update Tank1 r4 13", "update Tank1 r4 13"}));
    ASSERT_TRUE(sink_->waitFor(carries(9), &c, 3000));
    EXPECT_EQ(i4(find(c, 9)->v), 13);
    Sink::clear(c);
    ASSERT_TRUE(hostCommands({"update Tank1 r4 2.5"}));
}
