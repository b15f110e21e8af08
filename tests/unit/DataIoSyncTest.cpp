// IOPCSyncIO: cache and device reads, writes through the host's write callback.
#include "DataIoFixture.h"

using namespace qv;
using namespace qvtest;

namespace {

// What the host callbacks saw.
struct HostSide {
    std::mutex m;
    std::vector<DWORD> writes;
    std::vector<DWORD> deviceReads;
    DWORD refuse = 0xFFFFFFFF;
    DWORD silent = 0xFFFFFFFF; // a device read of it leaves the value empty
    bool lockHeldInCallback = false;
};
HostSide g_host;

void WINAPI hostWrite(DWORD hTag, VARIANT*, HRESULT* pResult)
{
    std::lock_guard<std::mutex> g(g_host.m);
    g_host.lockHeldInCallback |= App().globalLock.heldByMe();
    g_host.writes.push_back(hTag);
    *pResult = hTag == g_host.refuse ? E_ACCESSDENIED : S_OK;
}

void WINAPI hostDeviceRead(DWORD hTag, VARIANT* v, WORD* q, FILETIME* t)
{
    std::lock_guard<std::mutex> g(g_host.m);
    g_host.lockHeldInCallback |= App().globalLock.heldByMe();
    g_host.deviceReads.push_back(hTag);
    if (hTag == g_host.silent) return;
    V_VT(v) = VT_I4;
    V_I4(v) = 4242;
    *q = 0xD8;
    t->dwLowDateTime = 99;
    t->dwHighDateTime = 0;
}

class SyncIoTest : public DataIoTest {
protected:
    void SetUp() override
    {
        DataIoTest::SetUp();
        std::lock_guard<std::mutex> g(g_host.m);
        g_host.writes.clear();
        g_host.deviceReads.clear();
        g_host.refuse = 0xFFFFFFFF;
        g_host.silent = 0xFFFFFFFF;
        g_host.lockHeldInCallback = false;
    }

    struct ReadResult {
        HRESULT hr;
        std::vector<OPCITEMSTATE> states; // values owned by the Variants below
        std::vector<Variant> values;
        std::vector<HRESULT> errors;
    };

    static ReadResult read(IOPCSyncIO* io, OPCDATASOURCE src, std::vector<OPCHANDLE> handles)
    {
        ReadResult r;
        OPCITEMSTATE* states = nullptr;
        HRESULT* errors = nullptr;
        r.hr = io->Read(src, static_cast<DWORD>(handles.size()), handles.data(), &states, &errors);
        if (SUCCEEDED(r.hr)) {
            for (size_t i = 0; i < handles.size(); ++i) {
                r.states.push_back(states[i]);
                r.values.emplace_back();
                *r.values.back() = states[i].vDataValue; // takes ownership
                r.errors.push_back(errors[i]);
            }
            CoTaskMemFree(states);
            CoTaskMemFree(errors);
        }
        return r;
    }
};

} // namespace

TEST_F(SyncIoTest, CacheReadReturnsCachedStateAndOutOfServiceWhenInactive)
{
    DWORD tag = makeTag("Flow", vR8(1.5));
    makeTag("Level", vR8(3), false);
    auto g = makeGroup();
    OPCHANDLE flow = addItem(*g, "Flow", 10);
    OPCHANDLE asText = addItem(*g, "Flow", 11, VT_BSTR);
    OPCHANDLE idle = addItem(*g, "Level", 12, VT_EMPTY, false);
    update(tag, vR8(2.5), 0x40);
    clearChanged(*g);
    ComPtr<IOPCSyncIO> io = itf<IOPCSyncIO>(*g, IID_IOPCSyncIO);
    ASSERT_TRUE(io);

    ReadResult r = read(io.get(), OPC_DS_CACHE, {flow, 0xBAD, asText, idle});
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE, S_OK, S_OK}));
    EXPECT_EQ(r.states[0].hClient, 10u);
    EXPECT_DOUBLE_EQ(asR8(r.values[0]), 2.5);
    EXPECT_EQ(r.states[0].wQuality, 0x40);
    EXPECT_EQ(r.states[0].ftTimeStamp.dwLowDateTime, item(*g, flow)->timestamp.dwLowDateTime);
    EXPECT_EQ(r.states[1].hClient, 0u);
    EXPECT_EQ(r.values[1].vt(), VT_EMPTY);
    EXPECT_EQ(r.values[2].vt(), VT_BSTR);
    EXPECT_EQ(r.states[3].wQuality, OPC_QUALITY_OUT_OF_SERVICE); // inactive item
    EXPECT_DOUBLE_EQ(asR8(r.values[3]), 3.0);
    EXPECT_FALSE(changed(*g, flow)); // reads never touch the flag

    g->active = FALSE;
    r = read(io.get(), OPC_DS_CACHE, {flow});
    EXPECT_EQ(r.hr, S_OK);
    EXPECT_EQ(r.states[0].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
    EXPECT_DOUBLE_EQ(asR8(r.values[0]), 2.5);

    // Without the read right: BADRIGHTS, still forced to out of service in an inactive group.
    item(*g, flow)->accessRights = OPC_WRITEABLE;
    r = read(io.get(), OPC_DS_CACHE, {flow});
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors[0], OPC_E_BADRIGHTS);
    EXPECT_EQ(r.states[0].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
}

TEST_F(SyncIoTest, ReadArgumentChecks)
{
    makeTag("Flow", vR8(1.5));
    auto g = makeGroup();
    OPCHANDLE h = addItem(*g, "Flow", 1);
    ComPtr<IOPCSyncIO> io = itf<IOPCSyncIO>(*g, IID_IOPCSyncIO);
    OPCITEMSTATE* states = reinterpret_cast<OPCITEMSTATE*>(1);
    HRESULT* errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(io->Read(static_cast<OPCDATASOURCE>(3), 1, &h, &states, &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(states, nullptr);
    errors = reinterpret_cast<HRESULT*>(1);
    EXPECT_EQ(io->Read(OPC_DS_CACHE, 0, &h, &states, &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(io->Read(OPC_DS_CACHE, 1, &h, &states, nullptr), E_INVALIDARG);
    EXPECT_EQ(io->Write(1, &h, nullptr, &errors), E_INVALIDARG);
}

TEST_F(SyncIoTest, DeviceReadAsksTheHostWithoutTheLock)
{
    DWORD tag = makeTag("Flow", vR8(1.5));
    DWORD gone = makeTag("Gone", vI4(1));
    auto g = makeGroup(false);
    OPCHANDLE flow = addItem(*g, "Flow", 1, VT_BSTR, false);
    OPCHANDLE removed = addItem(*g, "Gone", 2);
    QV_RemoveTag(gone);
    ComPtr<IOPCSyncIO> io = itf<IOPCSyncIO>(*g, IID_IOPCSyncIO);

    // No device-read callback: a cache read.
    ReadResult r = read(io.get(), OPC_DS_DEVICE, {flow});
    EXPECT_EQ(r.states[0].wQuality, OPC_QUALITY_OUT_OF_SERVICE);
    EXPECT_EQ(r.values[0].vt(), VT_BSTR);

    QV_EnableDeviceRead(hostDeviceRead);
    r = read(io.get(), OPC_DS_DEVICE, {flow, removed});
    EXPECT_EQ(r.hr, S_FALSE);
    EXPECT_EQ(r.errors, (std::vector<HRESULT>{S_OK, OPC_E_INVALIDHANDLE}));
    // The host's answer in the requested type, with no out-of-service quality.
    ASSERT_EQ(r.values[0].vt(), VT_BSTR);
    EXPECT_STREQ(V_BSTR(r.values[0].get()), L"4242");
    EXPECT_EQ(r.states[0].wQuality, 0xD8);
    EXPECT_EQ(r.states[0].ftTimeStamp.dwLowDateTime, 99u);
    EXPECT_EQ(r.states[0].hClient, 1u);
    EXPECT_EQ(r.states[1].hClient, 2u);
    EXPECT_EQ(r.values[1].vt(), VT_EMPTY);
    EXPECT_EQ(g_host.deviceReads, (std::vector<DWORD>{tag})); // not called for the removed tag
    EXPECT_FALSE(g_host.lockHeldInCallback);

    // Cache reads ignore the callback.
    r = read(io.get(), OPC_DS_CACHE, {flow});
    EXPECT_EQ(r.values[0].vt(), VT_BSTR);
    EXPECT_EQ(g_host.deviceReads.size(), 1u);

    // A device with nothing to say: the cache answers, never an empty value called good.
    g_host.silent = makeTag("Quiet", vR8(2.5), true, 0x40);
    r = read(io.get(), OPC_DS_DEVICE, {addItem(*g, "Quiet", 3)});
    EXPECT_EQ(r.errors[0], S_OK);
    EXPECT_EQ(r.values[0].vt(), VT_R8);
    EXPECT_EQ(r.states[0].wQuality, 0x40);
}

TEST_F(SyncIoTest, WriteGoesThroughTheHostAndTheItemCache)
{
    DWORD count = makeTag("Count", vI4(7));
    DWORD refuse = makeTag("Refuse", vI4(0));
    DWORD level = makeTag("Level", vR8(3), false);
    auto g = makeGroup();
    OPCHANDLE hc = addItem(*g, "Count", 1);
    OPCHANDLE hr = addItem(*g, "Refuse", 2);
    OPCHANDLE hl = addItem(*g, "Level", 3);
    OPCHANDLE other = addItem(*g, "Count", 4); // same tag, another item
    clearChanged(*g);
    QV_EnableWriteNotification(hostWrite);
    g_host.refuse = refuse;
    ComPtr<IOPCSyncIO> io = itf<IOPCSyncIO>(*g, IID_IOPCSyncIO);

    OPCHANDLE handles[4] = {hc, hr, hl, 0xBAD};
    VARIANT values[4] = {vStr(L"12"), vI4(5), vR8(9), vI4(1)};
    HRESULT* errors = nullptr;
    EXPECT_EQ(io->Write(4, handles, values, &errors), S_FALSE);
    ASSERT_NE(errors, nullptr);
    EXPECT_EQ(errors[0], S_OK);
    EXPECT_EQ(errors[1], E_ACCESSDENIED);
    EXPECT_EQ(errors[2], OPC_E_BADRIGHTS);
    EXPECT_EQ(errors[3], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
    // The caller's [in] array is left as it was.
    EXPECT_EQ(V_VT(&values[0]), VT_BSTR);
    EXPECT_STREQ(V_BSTR(&values[0]), L"12");
    for (VARIANT& v : values) VariantClear(&v);

    EXPECT_EQ(g_host.writes, (std::vector<DWORD>{count, refuse})); // never for the read-only item
    EXPECT_FALSE(g_host.lockHeldInCallback);
    Variant tagValue;
    QV_ReadTag(count, tagValue.get(), nullptr, nullptr);
    EXPECT_EQ(asI4(tagValue), 12);
    QV_ReadTag(refuse, tagValue.get(), nullptr, nullptr);
    EXPECT_EQ(asI4(tagValue), 0);
    // The writing item's cache takes what the host accepted, nothing it refused.
    EXPECT_EQ(asI4(item(*g, hc)->value), 12);
    EXPECT_TRUE(changed(*g, hc));
    EXPECT_EQ(asI4(item(*g, hr)->value), 0);
    EXPECT_FALSE(changed(*g, hr));
    EXPECT_FALSE(changed(*g, hl));
    // Every other item of the tag hears the accepted write as it would hear a host update.
    EXPECT_EQ(asI4(item(*g, other)->value), 12);
    EXPECT_TRUE(changed(*g, other));
    (void)level;
}

TEST_F(SyncIoTest, WriteToARemovedTagReportsInvalidHandle)
{
    DWORD t = makeTag("Gone", vI4(1));
    auto g = makeGroup();
    OPCHANDLE h = addItem(*g, "Gone", 1);
    QV_RemoveTag(t);
    ComPtr<IOPCSyncIO> io = itf<IOPCSyncIO>(*g, IID_IOPCSyncIO);
    VARIANT v = vI4(3);
    HRESULT* errors = nullptr;
    EXPECT_EQ(io->Write(1, &h, &v, &errors), S_FALSE);
    EXPECT_EQ(errors[0], OPC_E_INVALIDHANDLE);
    CoTaskMemFree(errors);
}
