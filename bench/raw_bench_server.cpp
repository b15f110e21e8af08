// The raw baseline server: answers the same call shapes as an OPC server's data callback and
// synchronous read with nothing behind them, so the benchmarks can print our figures as a
// share of what the transport allows. Launched by COM for dataio_delivery_bench.
//   raw_bench_server --regserver | --unregserver
#include <windows.h>
#include <objbase.h>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>
#include "rawbench.h"
#include "RawBenchIds.h"

namespace {

HANDLE g_done = nullptr;
std::atomic<LONG> g_objects{0};
std::atomic<bool> g_ever{false};

FILETIME now()
{
    FILETIME f;
    GetSystemTimeAsFileTime(&f);
    return f;
}

class RawServer final : public IQvRawServer {
public:
    RawServer()
    {
        ++g_objects;
        g_ever = true;
    }
    virtual ~RawServer()
    {
        Stop();
        if (--g_objects == 0) SetEvent(g_done);
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvRawServer)) {
            *ppv = static_cast<IQvRawServer*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        LONG r = --refs_;
        if (r == 0) delete this;
        return static_cast<ULONG>(r);
    }

    HRESULT STDMETHODCALLTYPE Read(OPCDATASOURCE, DWORD n, OPCHANDLE* h, OPCITEMSTATE** values,
                                   HRESULT** errors) override
    {
        auto* v = static_cast<OPCITEMSTATE*>(CoTaskMemAlloc(n * sizeof(OPCITEMSTATE)));
        auto* e = static_cast<HRESULT*>(CoTaskMemAlloc(n * sizeof(HRESULT)));
        FILETIME t = now();
        for (DWORD i = 0; i < n; ++i) {
            v[i].hClient = h[i];
            v[i].ftTimeStamp = t;
            v[i].wQuality = 0xC0;
            v[i].wReserved = 0;
            VariantInit(&v[i].vDataValue);
            V_VT(&v[i].vDataValue) = VT_R8;
            V_R8(&v[i].vDataValue) = tick_;
            e[i] = S_OK;
        }
        *values = v;
        *errors = e;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE AddItems(DWORD n, OPCITEMDEF* defs, OPCITEMRESULT** results, HRESULT** errors) override
    {
        auto* r = static_cast<OPCITEMRESULT*>(CoTaskMemAlloc(n * sizeof(OPCITEMRESULT)));
        auto* e = static_cast<HRESULT*>(CoTaskMemAlloc(n * sizeof(HRESULT)));
        for (DWORD i = 0; i < n; ++i) {
            r[i].hServer = i + 1;
            r[i].vtCanonicalDataType = defs[i].vtRequestedDataType ? defs[i].vtRequestedDataType : VT_R8;
            r[i].wReserved = 0;
            r[i].dwAccessRights = 3;
            r[i].dwBlobSize = 0;
            r[i].pBlob = nullptr;
            e[i] = S_OK;
        }
        *results = r;
        *errors = e;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Start(IQvRawSink* sink, DWORD count, DWORD period, VARTYPE vt) override
    {
        Stop();
        sink->AddRef();
        sink_ = sink;
        count_ = count;
        period_ = period ? period : 1;
        vt_ = vt;
        stop_ = false;
        AddRef();
        thread_ = CreateThread(nullptr, 0, &RawServer::pump, this, 0, nullptr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override
    {
        if (!thread_) return S_OK;
        stop_ = true;
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
        sink_->Release();
        sink_ = nullptr;
        return S_OK;
    }

private:
    // Ticks like the toolkit's host: every period, never catching up when behind.
    static DWORD WINAPI pump(void* self)
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        auto* s = static_cast<RawServer*>(self);
        const DWORD n = s->count_;
        std::vector<OPCHANDLE> handles(n);
        std::vector<VARIANT> values(n);
        std::vector<WORD> qualities(n, 0xC0);
        std::vector<FILETIME> times(n);
        std::vector<HRESULT> errors(n, S_OK);
        for (DWORD i = 0; i < n; ++i) handles[i] = i;
        DWORD next = GetTickCount();
        while (!s->stop_) {
            next += s->period_;
            LONG wait = static_cast<LONG>(next - GetTickCount());
            if (wait > 0) Sleep(static_cast<DWORD>(wait));
            else next = GetTickCount();
            s->tick_ += 1;
            // The host's own work per tick: one value (a string made once when VT_BSTR).
            BSTR text = nullptr;
            if (s->vt_ == VT_BSTR) {
                wchar_t buf[32];
                swprintf(buf, 32, L"%.0f", s->tick_);
                text = SysAllocString(buf);
            }
            FILETIME t = now();
            for (DWORD i = 0; i < n; ++i) {
                VariantInit(&values[i]);
                V_VT(&values[i]) = s->vt_;
                if (s->vt_ == VT_BSTR) V_BSTR(&values[i]) = text;
                else V_R8(&values[i]) = s->tick_;
                times[i] = t;
            }
            s->sink_->OnDataChange(0, 1, S_OK, S_OK, n, handles.data(), values.data(), qualities.data(),
                                   times.data(), errors.data());
            SysFreeString(text);
        }
        CoUninitialize();
        s->Release();
        return 0;
    }

    std::atomic<LONG> refs_{1};
    IQvRawSink* sink_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD count_ = 0, period_ = 10;
    VARTYPE vt_ = VT_R8;
    std::atomic<bool> stop_{false};
    double tick_ = 0;
};

class Factory : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* s = new RawServer();
        HRESULT hr = s->QueryInterface(riid, ppv);
        s->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

bool setKey(const std::string& key, const std::string& value)
{
    HKEY k;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr)) return false;
    LONG e = RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1));
    RegCloseKey(k);
    return e == ERROR_SUCCESS;
}

std::string clsidKey()
{
    wchar_t w[40];
    StringFromGUID2(CLSID_QvRawBench, w, 40);
    char a[40];
    WideCharToMultiByte(CP_ACP, 0, w, -1, a, 40, nullptr, nullptr);
    return std::string("CLSID\\") + a;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--regserver") {
        char path[MAX_PATH];
        GetModuleFileNameA(nullptr, path, MAX_PATH);
        bool ok = setKey(clsidKey(), "QvSrvKit raw benchmark baseline") &&
                  setKey(clsidKey() + "\\LocalServer32", std::string("\"") + path + "\"");
        return ok ? 0 : 1;
    }
    if (argc > 1 && std::string(argv[1]) == "--unregserver")
        return RegDeleteTreeA(HKEY_CLASSES_ROOT, clsidKey().c_str()) == ERROR_SUCCESS ? 0 : 1;
    timeBeginPeriod(1);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    static Factory factory;
    DWORD reg = 0;
    if (FAILED(CoRegisterClassObject(CLSID_QvRawBench, &factory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &reg)))
        return 1;
    // Until the last object goes (or no client came within a minute).
    while (WaitForSingleObject(g_done, 60000) == WAIT_TIMEOUT && g_ever) {}
    CoRevokeClassObject(reg);
    CoUninitialize();
    timeEndPeriod(1);
    return 0;
}
