// The DA 3.0 interfaces through real COM against the test host: IOPCBrowse paging and
// properties, IOPCItemIO, IOPCSyncIO2, IOPCAsyncIO3, keep-alive callbacks, item deadbands,
// and the registration of the category and the proxy/stub.
#include "ClientSupport.h"
#include <ocidl.h>
#include <chrono>
#include <condition_variable>
#include <mutex>

using namespace qvclient;

namespace {

struct Cb {
    char kind; // 'D' data change, 'R' read complete, 'W' write complete
    DWORD tid, count;
    std::vector<WORD> qualities;
    std::vector<HRESULT> errors;
};

class Da3Sink : public IOPCDataCallback {
public:
    virtual ~Da3Sink() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCDataCallback)) ? this : nullptr;
        if (!*ppv) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG n = --refs_;
        if (!n) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tid, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE*, VARIANT*,
                                           WORD* q, FILETIME*, HRESULT* e) override
    {
        return push({'D', tid, n, std::vector<WORD>(q, q + n), std::vector<HRESULT>(e, e + n)});
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tid, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE*, VARIANT*,
                                             WORD* q, FILETIME*, HRESULT* e) override
    {
        return push({'R', tid, n, std::vector<WORD>(q, q + n), std::vector<HRESULT>(e, e + n)});
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD tid, OPCHANDLE, HRESULT, DWORD n, OPCHANDLE*, HRESULT* e) override
    {
        return push({'W', tid, n, {}, std::vector<HRESULT>(e, e + n)});
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    // The first call matching kind and transaction id (and, for 'D' with tid 0, no items).
    bool wait(char kind, DWORD tid, Cb* out, DWORD ms = 10000)
    {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] {
            for (auto it = calls_.begin(); it != calls_.end(); ++it)
                if (it->kind == kind && it->tid == tid) {
                    *out = *it;
                    calls_.erase(it);
                    return true;
                }
            return false;
        });
    }

private:
    HRESULT push(Cb c)
    {
        std::lock_guard<std::mutex> g(m_);
        calls_.push_back(std::move(c));
        cv_.notify_all();
        return S_OK;
    }
    std::atomic<LONG> refs_{1};
    std::mutex m_;
    std::condition_variable cv_;
    std::vector<Cb> calls_;
};

void freeProps(OPCITEMPROPERTIES& p)
{
    for (DWORD i = 0; i < p.dwNumProperties; ++i) {
        CoTaskMemFree(p.pItemProperties[i].szItemID);
        CoTaskMemFree(p.pItemProperties[i].szDescription);
        VariantClear(&p.pItemProperties[i].vValue);
    }
    CoTaskMemFree(p.pItemProperties);
}

struct Page {
    HRESULT hr;
    std::vector<std::string> names;
    std::vector<DWORD> flags;
    std::vector<DWORD> propCounts;
    std::wstring next;
};

Page browse(IOPCBrowse* b, const wchar_t* id, const std::wstring& cp, DWORD max, const wchar_t* filter = L"",
            BOOL allProps = FALSE)
{
    Page p;
    LPWSTR point = cp.empty() ? nullptr : static_cast<LPWSTR>(CoTaskMemAlloc((cp.size() + 1) * 2));
    if (point) wcscpy(point, cp.c_str());
    BOOL more = FALSE;
    DWORD n = 0;
    OPCBROWSEELEMENT* e = nullptr;
    DWORD dummy = 0; // an [in] array is never NULL on the wire, even when empty
    p.hr = b->Browse(const_cast<LPWSTR>(id), &point, max, OPC_BROWSE_FILTER_ALL, const_cast<LPWSTR>(filter),
                     const_cast<LPWSTR>(L""), allProps, TRUE, 0, &dummy, &more, &n, &e);
    if (point) p.next = point;
    CoTaskMemFree(point);
    for (DWORD i = 0; i < n; ++i) {
        p.names.push_back(takeString(e[i].szName));
        CoTaskMemFree(e[i].szItemID);
        p.flags.push_back(e[i].dwFlagValue);
        p.propCounts.push_back(e[i].ItemProperties.dwNumProperties);
        freeProps(e[i].ItemProperties);
    }
    CoTaskMemFree(e);
    return p;
}

TEST_F(ServerClientTest, Da3BrowsePagesWithContinuationPointsAndProperties)
{
    ComRef<IOPCBrowse> b;
    ASSERT_EQ(server->QueryInterface(IID_IOPCBrowse, b.out()), S_OK);
    Page root = browse(b.p, L"", L"", 0);
    ASSERT_EQ(root.hr, S_OK);
    for (size_t i = 0; i < root.names.size(); ++i) {
        if (root.names[i] == "Plant") { EXPECT_EQ(root.flags[i], (DWORD)OPC_BROWSE_HASCHILDREN); }
        if (root.names[i] == "Tank1") { EXPECT_EQ(root.flags[i], (DWORD)OPC_BROWSE_ISITEM); }
    }
    // Pages of two over the five tags of Plant.Line.
    std::vector<std::string> all;
    std::wstring cp;
    int pages = 0;
    do {
        Page p = browse(b.p, L"Plant.Line", cp, 2);
        ASSERT_EQ(p.hr, S_OK);
        EXPECT_LE(p.names.size(), 2u);
        all.insert(all.end(), p.names.begin(), p.names.end());
        cp = p.next;
    } while (!cp.empty() && ++pages < 10);
    EXPECT_EQ(all, (std::vector<std::string>{"Flow", "Level", "Count", "Status", "Running"}));
    EXPECT_EQ(pages, 2);
    EXPECT_EQ(browse(b.p, L"Plant.Line", L"QV3:2:00000000", 2).hr, OPC_E_INVALIDCONTINUATIONPOINT);
    EXPECT_EQ(browse(b.p, L"Plant.Line", L"garbage", 2).hr, OPC_E_INVALIDCONTINUATIONPOINT);
    EXPECT_EQ(browse(b.p, L"No.Such", L"", 0).hr, OPC_E_UNKNOWNITEMID);
    // Name filter and every property (six standard ones plus the custom EU units).
    Page flow = browse(b.p, L"Plant.Line", L"", 0, L"F*", TRUE);
    ASSERT_EQ(flow.hr, S_OK);
    ASSERT_EQ(flow.names, std::vector<std::string>{"Flow"});
    EXPECT_EQ(flow.propCounts[0], 7u);

    LPWSTR ids[2] = {const_cast<LPWSTR>(L"Plant.Line.Flow"), const_cast<LPWSTR>(L"No.Such")};
    DWORD pids[2] = {100, 9999};
    OPCITEMPROPERTIES* props = nullptr;
    EXPECT_EQ(b->GetProperties(2, ids, TRUE, 2, pids, &props), S_FALSE);
    ASSERT_NE(props, nullptr);
    EXPECT_EQ(props[0].hrErrorID, S_FALSE);
    ASSERT_EQ(props[0].dwNumProperties, 2u);
    EXPECT_EQ(props[0].pItemProperties[0].hrErrorID, S_OK);
    EXPECT_EQ(V_VT(&props[0].pItemProperties[0].vValue), VT_BSTR);
    EXPECT_EQ(props[0].pItemProperties[1].hrErrorID, OPC_E_INVALID_PID);
    EXPECT_EQ(props[1].hrErrorID, OPC_E_UNKNOWNITEMID);
    freeProps(props[0]);
    freeProps(props[1]);
    CoTaskMemFree(props);

    LPWSTR text = nullptr;
    EXPECT_EQ(server->GetErrorString(OPC_E_INVALIDCONTINUATIONPOINT, 0x409, &text), S_OK);
    EXPECT_NE(takeString(text).find("OPC_E_INVALIDCONTINUATIONPOINT"), std::string::npos);
}

// A host command written through a plain group write.
void hostCommand(IOPCServer* s, const wchar_t* cmd)
{
    ComRef<IOPCItemIO> io;
    ASSERT_EQ(s->QueryInterface(IID_IOPCItemIO, io.out()), S_OK);
    LPCWSTR id = L"Ctl.Command";
    OPCITEMVQT v{};
    V_VT(&v.vDataValue) = VT_BSTR;
    V_BSTR(&v.vDataValue) = SysAllocString(cmd);
    HRESULT* e = nullptr;
    EXPECT_EQ(io->WriteVQT(1, &id, &v, &e), S_OK);
    CoTaskMemFree(e);
    VariantClear(&v.vDataValue);
}

TEST_F(ServerClientTest, Da3ItemIOReadsByMaxAgeAndWritesVQT)
{
    ComRef<IOPCItemIO> io;
    ASSERT_EQ(server->QueryInterface(IID_IOPCItemIO, io.out()), S_OK);
    LPCWSTR ids[4] = {L"Plant.Line.Flow", L"Plant.Line.Flow", L"No.Such", L""};
    DWORD ages[4] = {0xFFFFFFFF, 0, 0, 0};
    VARIANT* v = nullptr;
    WORD* q = nullptr;
    FILETIME* t = nullptr;
    HRESULT* e = nullptr;
    ASSERT_EQ(io->Read(4, ids, ages, &v, &q, &t, &e), S_FALSE);
    EXPECT_EQ(q[0], 0xC0); // cache
    EXPECT_EQ(q[1], 0xD8); // the test host's device read marks its quality
    EXPECT_EQ(V_VT(&v[1]), VT_R8);
    EXPECT_EQ(e[2], OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(e[3], OPC_E_INVALIDITEMID);
    for (int i = 0; i < 4; ++i) VariantClear(&v[i]);
    CoTaskMemFree(v), CoTaskMemFree(q), CoTaskMemFree(t), CoTaskMemFree(e);

    // Quality and time stamp need the host's VQT callback; a value alone does not.
    LPCWSTR count = L"Plant.Line.Count";
    OPCITEMVQT vqt[2] = {};
    for (auto& x : vqt) V_VT(&x.vDataValue) = VT_I4, V_I4(&x.vDataValue) = 42;
    vqt[1].bQualitySpecified = TRUE;
    vqt[1].wQuality = 0x40;
    vqt[1].bTimeStampSpecified = TRUE;
    vqt[1].ftTimeStamp = FILETIME{0x12345678, 0x01D00000};
    LPCWSTR two[2] = {count, count};
    hostCommand(server.p, L"vqt off");
    ASSERT_EQ(io->WriteVQT(2, two, vqt, &e), S_FALSE);
    EXPECT_EQ(e[0], S_OK);
    EXPECT_EQ(e[1], OPC_E_NOTSUPPORTED);
    CoTaskMemFree(e);
    hostCommand(server.p, L"vqt on");
    ASSERT_EQ(io->WriteVQT(1, &two[1], &vqt[1], &e), S_OK);
    CoTaskMemFree(e);
    DWORD cacheAge = 0xFFFFFFFF;
    ASSERT_EQ(io->Read(1, &count, &cacheAge, &v, &q, &t, &e), S_OK);
    EXPECT_EQ(q[0], 0x40);
    EXPECT_EQ(t[0].dwLowDateTime, 0x12345678u);
    EXPECT_EQ(V_I4(&v[0]), 42);
    VariantClear(&v[0]);
    CoTaskMemFree(v), CoTaskMemFree(q), CoTaskMemFree(t), CoTaskMemFree(e);
    hostCommand(server.p, L"vqt off");
}

TEST_F(ServerClientTest, Da3GroupInterfaces)
{
    ComRef<IOPCItemMgt> im;
    ASSERT_EQ(addGroup(server.p, L"da3", IID_IOPCItemMgt, im.out(), TRUE, 100).hr, S_OK);
    Items items = addItemIds(im.p, {L"Plant.Line.Flow", L"Plant.Line.Status", L"Tank1"});
    ASSERT_EQ(items.hr, S_OK);
    const OPCHANDLE flow = items.handles[0], status = items.handles[1], tank = items.handles[2];
    OPCHANDLE hs[1] = {flow};

    // Item deadbands: only items whose tag declares the analog EU type (Tank1 does, the
    // numeric Flow does not), 0 to 100, "not set" until set.
    ComRef<IOPCItemDeadbandMgt> db;
    ASSERT_EQ(im->QueryInterface(IID_IOPCItemDeadbandMgt, db.out()), S_OK);
    OPCHANDLE dbh[4] = {tank, flow, status, 0xDEAD};
    FLOAT pct[4] = {10, 10, 10, 10};
    HRESULT* e = nullptr;
    FLOAT* got = nullptr;
    ASSERT_EQ(db->GetItemDeadband(1, dbh, &got, &e), S_FALSE);
    EXPECT_EQ(e[0], OPC_E_DEADBANDNOTSET);
    CoTaskMemFree(e), CoTaskMemFree(got);
    ASSERT_EQ(db->SetItemDeadband(4, dbh, pct, &e), S_FALSE);
    EXPECT_EQ(e[0], S_OK);
    EXPECT_EQ(e[1], OPC_E_DEADBANDNOTSUPPORTED);
    EXPECT_EQ(e[2], OPC_E_DEADBANDNOTSUPPORTED);
    EXPECT_EQ(e[3], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(e);
    FLOAT bad = 150;
    ASSERT_EQ(db->SetItemDeadband(1, dbh, &bad, &e), S_FALSE);
    EXPECT_EQ(e[0], E_INVALIDARG);
    CoTaskMemFree(e);
    ASSERT_EQ(db->GetItemDeadband(1, dbh, &got, &e), S_OK);
    EXPECT_EQ(got[0], 10.0f);
    CoTaskMemFree(e), CoTaskMemFree(got);
    ASSERT_EQ(db->ClearItemDeadband(1, dbh, &e), S_OK);
    CoTaskMemFree(e);
    // The item attributes carry the tag's EU type and EU info.
    ComRef<IEnumOPCItemAttributes> en;
    ASSERT_EQ(im->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(en.out())), S_OK);
    OPCITEMATTRIBUTES* attrs = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(en->Next(3, &attrs, &fetched), S_OK);
    EXPECT_EQ(attrs[0].dwEUType, OPC_NOENUM);
    EXPECT_EQ(attrs[2].dwEUType, OPC_ANALOG);
    EXPECT_EQ(V_VT(&attrs[2].vEUInfo), VT_ARRAY | VT_R8);
    for (ULONG i = 0; i < fetched; ++i) {
        CoTaskMemFree(attrs[i].szAccessPath), CoTaskMemFree(attrs[i].szItemID);
        VariantClear(&attrs[i].vEUInfo);
    }
    CoTaskMemFree(attrs);

    // Synchronous reads by age and a quality write refused without the host's VQT callback.
    ComRef<IOPCSyncIO2> sync;
    ASSERT_EQ(im->QueryInterface(IID_IOPCSyncIO2, sync.out()), S_OK);
    OPCHANDLE three[3] = {flow, flow, flow};
    DWORD ages[3] = {0xFFFFFFFF, 0, 0x7FFFFFFF};
    VARIANT* v = nullptr;
    WORD* q = nullptr;
    FILETIME* t = nullptr;
    ASSERT_EQ(sync->ReadMaxAge(3, three, ages, &v, &q, &t, &e), S_OK);
    EXPECT_EQ(q[0], 0xC0);
    EXPECT_EQ(q[1], 0xD8);
    EXPECT_EQ(q[2], 0xC0);
    for (int i = 0; i < 3; ++i) VariantClear(&v[i]);
    CoTaskMemFree(v), CoTaskMemFree(q), CoTaskMemFree(t), CoTaskMemFree(e);
    OPCITEMVQT w{};
    V_VT(&w.vDataValue) = VT_R8;
    V_R8(&w.vDataValue) = 2.5;
    w.bQualitySpecified = TRUE;
    ASSERT_EQ(sync->WriteVQT(1, hs, &w, &e), S_FALSE);
    EXPECT_EQ(e[0], OPC_E_NOTSUPPORTED);
    CoTaskMemFree(e);

    // Asynchronous calls and keep-alive through the callback.
    Da3Sink* sink = new Da3Sink();
    ComRef<IConnectionPointContainer> cpc;
    ComRef<IConnectionPoint> cp;
    DWORD cookie = 0;
    ASSERT_EQ(im->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put()), S_OK);
    ASSERT_EQ(cp->Advise(sink, &cookie), S_OK);
    ComRef<IOPCAsyncIO3> async;
    ASSERT_EQ(im->QueryInterface(IID_IOPCAsyncIO3, async.out()), S_OK);
    DWORD cancel = 0;
    Cb cb;
    ASSERT_EQ(async->ReadMaxAge(2, three, ages, 77, &cancel, &e), S_OK);
    CoTaskMemFree(e);
    ASSERT_TRUE(sink->wait('R', 77, &cb));
    ASSERT_EQ(cb.count, 2u);
    EXPECT_EQ(cb.qualities[0], 0xC0);
    EXPECT_EQ(cb.qualities[1], 0xD8);
    w.bQualitySpecified = FALSE;
    ASSERT_EQ(async->WriteVQT(1, hs, &w, 78, &cancel, &e), S_OK);
    CoTaskMemFree(e);
    ASSERT_TRUE(sink->wait('W', 78, &cb));
    EXPECT_EQ(cb.errors[0], S_OK);
    ASSERT_EQ(async->RefreshMaxAge(0, 79, &cancel), S_OK);
    ASSERT_TRUE(sink->wait('D', 79, &cb));
    EXPECT_EQ(cb.count, 3u);

    ComRef<IOPCGroupStateMgt2> st;
    ASSERT_EQ(im->QueryInterface(IID_IOPCGroupStateMgt2, st.out()), S_OK);
    DWORD revised = 0, current = 0;
    EXPECT_EQ(st->SetKeepAlive(250, &revised), OPC_S_UNSUPPORTEDRATE);
    EXPECT_EQ(revised % 100, 0u);
    EXPECT_EQ(st->GetKeepAlive(&current), S_OK);
    EXPECT_EQ(current, revised);
    ASSERT_TRUE(sink->wait('D', 0, &cb)); // the first may carry the initial values
    bool emptyOne = cb.count == 0;
    for (int i = 0; i < 3 && !emptyOne; ++i) emptyOne = sink->wait('D', 0, &cb) && cb.count == 0;
    EXPECT_TRUE(emptyOne);
    EXPECT_EQ(st->SetKeepAlive(0, &revised), S_OK);
    EXPECT_EQ(revised, 0u);
    cp->Unadvise(cookie);
    sink->Release();
}

TEST(Da3Registration, CategoryAndProxyStubForEveryInterface)
{
    ComRef<IOPCServer> s; // makes sure the host registered itself in this prefix
    ASSERT_EQ(connect(s.put()), S_OK);
    LPOLESTR clsid = nullptr;
    StringFromCLSID(CLSID_QvTestHost, &clsid);
    std::wstring key = std::wstring(L"CLSID\\") + clsid + L"\\Implemented Categories\\{CC603642-66D7-48F1-B69A-B625E73652D7}";
    CoTaskMemFree(clsid);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
    if (h) RegCloseKey(h);
    const IID* iids[] = {&IID_IOPCBrowse, &IID_IOPCItemIO, &IID_IOPCSyncIO2, &IID_IOPCAsyncIO3,
                         &IID_IOPCGroupStateMgt2, &IID_IOPCItemDeadbandMgt, &IID_IOPCItemSamplingMgt};
    for (const IID* iid : iids) {
        LPOLESTR text = nullptr;
        StringFromIID(*iid, &text);
        std::wstring k = std::wstring(L"Interface\\") + text + L"\\ProxyStubClsid32";
        CoTaskMemFree(text);
        h = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, k.c_str(), 0, KEY_READ, &h), ERROR_SUCCESS);
        if (h) RegCloseKey(h);
    }
}

} // namespace
