#include "serverlist/ServerList.h"
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>

namespace qv::serverlist {

const GUID kAppId = {0x13486D44, 0x4821, 0x11D2, {0xA4, 0x94, 0x3C, 0xB3, 0x06, 0xC1, 0x00, 0x00}};

namespace {

// The registry views a class may be registered in: on 64-bit Windows 32-bit servers live in
// the 32-bit view, 64-bit ones in the 64-bit view, and all are local servers every client can
// reach, so the browser of either width lists both (on 32-bit Windows the flag is ignored).
const REGSAM kViews[] = {0, kOtherView};

class RegKey {
public:
    RegKey() = default;
    ~RegKey() { if (h_) RegCloseKey(h_); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    bool open(HKEY parent, const std::wstring& sub, REGSAM view)
    {
        if (h_) RegCloseKey(h_);
        h_ = nullptr;
        return RegOpenKeyExW(parent, sub.c_str(), 0, KEY_READ | view, &h_) == ERROR_SUCCESS;
    }
    HKEY get() const { return h_; }
    bool has(const std::wstring& sub, REGSAM view) const
    {
        HKEY k;
        if (RegOpenKeyExW(h_, sub.c_str(), 0, KEY_READ | view, &k) != ERROR_SUCCESS) return false;
        RegCloseKey(k);
        return true;
    }
    // A string value ("" for the default); false when absent or not a string.
    bool str(const wchar_t* name, std::wstring& out) const
    {
        wchar_t buf[512];
        DWORD type = 0, bytes = sizeof buf - sizeof(wchar_t);
        if (RegQueryValueExW(h_, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &bytes) != ERROR_SUCCESS ||
            (type != REG_SZ && type != REG_EXPAND_SZ))
            return false;
        buf[bytes / sizeof(wchar_t)] = 0;
        out = buf;
        return true;
    }
    // The names of its subkeys.
    std::vector<std::wstring> subkeys() const
    {
        std::vector<std::wstring> names;
        wchar_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD len = 256;
            LONG err = RegEnumKeyExW(h_, i, name, &len, nullptr, nullptr, nullptr, nullptr);
            if (err == ERROR_NO_MORE_ITEMS) break;
            if (err == ERROR_SUCCESS) names.emplace_back(name, len);
        }
        return names;
    }

private:
    HKEY h_ = nullptr;
};

std::wstring guidText(const GUID& g)
{
    wchar_t buf[40];
    StringFromGUID2(g, buf, 40);
    return buf;
}

bool parseGuid(const std::wstring& text, GUID& out)
{
    return text.size() == 38 && text[0] == L'{' && SUCCEEDED(IIDFromString(text.c_str(), &out));
}

bool lessGuid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof a) < 0; }

bool hasCategory(HKEY cls, const wchar_t* list, const CATID& cat, REGSAM view)
{
    HKEY k;
    std::wstring sub = std::wstring(list) + L"\\" + guidText(cat);
    if (RegOpenKeyExW(cls, sub.c_str(), 0, KEY_READ | view, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

bool matches(HKEY cls, REGSAM view, ULONG cImpl, const CATID* impl, ULONG cReq, const CATID* req)
{
    if (cImpl != ULONG(-1)) {
        bool any = false;
        for (ULONG i = 0; i < cImpl && !any; ++i) any = hasCategory(cls, L"Implemented Categories", impl[i], view);
        if (!any) return false;
    }
    if (cReq == ULONG(-1)) return true;
    RegKey required;
    if (!required.open(cls, L"Required Categories", view)) return true;
    for (const std::wstring& name : required.subkeys()) {
        GUID cat;
        if (!parseGuid(name, cat)) continue;
        if (std::none_of(req, req + cReq, [&](const CATID& r) { return IsEqualGUID(r, cat); })) return false;
    }
    return true;
}

LPWSTR taskString(const std::wstring& s)
{
    auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(wchar_t)));
    if (p) memcpy(p, s.c_str(), (s.size() + 1) * sizeof(wchar_t));
    return p;
}

std::atomic<void (*)()> g_onLastRelease{nullptr};

void holdProcess()
{
    noteProcessActivity();
    CoAddRefServerProcess();
}

void releaseProcess()
{
    noteProcessActivity();
    if (CoReleaseServerProcess() == 0)
        if (auto fn = g_onLastRelease.load()) fn();
}

// Every object holds the server process while it lives, counted for the client process whose
// call made it.
struct ProcessRef {
    ProcessRef() : client_(holdForCaller()) { holdProcess(); }
    ~ProcessRef()
    {
        releaseHold(client_);
        releaseProcess();
    }
    ProcessRef(const ProcessRef&) = delete;
    ProcessRef& operator=(const ProcessRef&) = delete;
    ClientHolds* client_;
};

// IOPCEnumGUID and IEnumGUID have one shape; one object answers as both.
class GuidEnumImpl final : public IOPCEnumGUID, public IEnumGUID {
public:
    GuidEnumImpl(std::shared_ptr<const std::vector<CLSID>> list, size_t pos) : list_(std::move(list)), pos_(pos) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCEnumGUID)) *ppv = static_cast<IOPCEnumGUID*>(this);
        else if (IsEqualIID(iid, IID_IEnumGUID)) *ppv = static_cast<IEnumGUID*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, GUID* rgelt, ULONG* fetched) override
    {
        if (fetched) *fetched = 0;
        if (!rgelt || (celt > 1 && !fetched)) return E_INVALIDARG;
        ULONG n = 0;
        for (; n < celt && pos_ < list_->size(); ++n) rgelt[n] = (*list_)[pos_++];
        if (fetched) *fetched = n;
        return n == celt ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override
    {
        size_t left = list_->size() - pos_;
        pos_ += std::min<size_t>(celt, left);
        return celt <= left ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        pos_ = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IOPCEnumGUID** out) override { return clone(out); }
    HRESULT STDMETHODCALLTYPE Clone(IEnumGUID** out) override { return clone(out); }

private:
    template <class I>
    HRESULT clone(I** out)
    {
        if (!out) return E_POINTER;
        *out = new (std::nothrow) GuidEnumImpl(list_, pos_);
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    ProcessRef process_;
    std::atomic<ULONG> refs_{1};
    std::shared_ptr<const std::vector<CLSID>> list_;
    size_t pos_; // only the calling client moves it; COM serialises nothing, so it is per clone
};

HRESULT enumClasses(ULONG cImpl, CATID* impl, ULONG cReq, CATID* req, REFIID iid, void** out)
{
    if (!out) return E_POINTER;
    *out = nullptr;
    if ((cImpl && cImpl != ULONG(-1) && !impl) || (cReq && cReq != ULONG(-1) && !req)) return E_INVALIDARG;
    std::shared_ptr<const std::vector<CLSID>> list;
    try {
        list = std::make_shared<const std::vector<CLSID>>(classesOfCategories(cImpl, impl, cReq, req));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    auto* e = new (std::nothrow) GuidEnumImpl(std::move(list), 0);
    if (!e) return E_OUTOFMEMORY;
    HRESULT hr = e->QueryInterface(iid, out);
    static_cast<IOPCEnumGUID*>(e)->Release();
    return hr;
}

HRESULT details(REFCLSID clsid, LPWSTR* progId, LPWSTR* userType, LPWSTR* verInd)
{
    if (progId) *progId = nullptr;
    if (userType) *userType = nullptr;
    if (verInd) *verInd = nullptr;
    if (!progId || !userType) return E_INVALIDARG;
    ClassDetails d;
    if (!classDetails(clsid, d)) return REGDB_E_CLASSNOTREG;
    *progId = taskString(d.progId);
    *userType = taskString(d.userType);
    if (verInd) *verInd = taskString(d.verIndProgId);
    if (!*progId || !*userType || (verInd && !*verInd)) {
        CoTaskMemFree(*progId);
        CoTaskMemFree(*userType);
        *progId = *userType = nullptr;
        if (verInd) {
            CoTaskMemFree(*verInd);
            *verInd = nullptr;
        }
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT fromProgId(LPCWSTR progId, CLSID* clsid)
{
    if (!clsid) return E_INVALIDARG;
    *clsid = CLSID_NULL;
    if (!progId || !*progId) return E_INVALIDARG;
    return clsidFromProgId(progId, *clsid) ? S_OK : CO_E_CLASSSTRING;
}

// One browser object per client: both interfaces, sharing one count.
class ServerListImpl final : public IOPCServerList, public IOPCServerList2 {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IOPCServerList)) *ppv = static_cast<IOPCServerList*>(this);
        else if (IsEqualIID(iid, IID_IOPCServerList2)) *ppv = static_cast<IOPCServerList2*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG cImpl, CATID* impl, ULONG cReq, CATID* req,
                                                      IEnumGUID** out) override
    {
        return enumClasses(cImpl, impl, cReq, req, IID_IEnumGUID, reinterpret_cast<void**>(out));
    }
    HRESULT STDMETHODCALLTYPE EnumClassesOfCategories(ULONG cImpl, CATID* impl, ULONG cReq, CATID* req,
                                                      IOPCEnumGUID** out) override
    {
        return enumClasses(cImpl, impl, cReq, req, IID_IOPCEnumGUID, reinterpret_cast<void**>(out));
    }
    HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID clsid, LPWSTR* progId, LPWSTR* userType) override
    {
        return details(clsid, progId, userType, nullptr);
    }
    HRESULT STDMETHODCALLTYPE GetClassDetails(REFCLSID clsid, LPWSTR* progId, LPWSTR* userType, LPWSTR* verInd) override
    {
        if (!verInd) return E_INVALIDARG;
        return details(clsid, progId, userType, verInd);
    }
    HRESULT STDMETHODCALLTYPE CLSIDFromProgID(LPCWSTR progId, CLSID* clsid) override { return fromProgId(progId, clsid); }

private:
    ProcessRef process_;
    std::atomic<ULONG> refs_{1};
};

class ClassFactoryImpl final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // COM holds the class object for the life of the process; it does not hold the process.
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG n = --refs_;
        if (n == 0) delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        // Counted for the calling process before the look, so a browser deciding to end
        // either sees this activation held by a live client or refuses it.
        ProcessRef activation;
        if (processStopping()) return CO_E_SERVER_STOPPING;
        auto* s = new (std::nothrow) ServerListImpl;
        if (!s) return E_OUTOFMEMORY;
        HRESULT hr = s->QueryInterface(iid, ppv);
        static_cast<IOPCServerList*>(s)->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock) {
            holdForCaller();
            holdProcess();
        } else {
            releaseCallerHold();
            releaseProcess();
        }
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
};

} // namespace

std::vector<CLSID> classesOfCategories(ULONG cImpl, const CATID* impl, ULONG cReq, const CATID* req)
{
    std::vector<CLSID> found;
    for (REGSAM view : kViews) {
        RegKey root;
        if (!root.open(HKEY_CLASSES_ROOT, L"CLSID", view)) continue;
        for (const std::wstring& name : root.subkeys()) {
            CLSID clsid;
            RegKey cls;
            if (!parseGuid(name, clsid) || !cls.open(root.get(), name, view)) continue;
            if (matches(cls.get(), view, cImpl, impl, cReq, req)) found.push_back(clsid);
        }
    }
    std::sort(found.begin(), found.end(), lessGuid);
    found.erase(std::unique(found.begin(), found.end(), [](const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }),
                found.end());
    return found;
}

bool classDetails(const CLSID& clsid, ClassDetails& out)
{
    const std::wstring key = L"CLSID\\" + guidText(clsid);
    for (REGSAM view : kViews) {
        RegKey cls;
        if (!cls.open(HKEY_CLASSES_ROOT, key, view)) continue;
        out = ClassDetails{};
        cls.str(nullptr, out.userType);
        RegKey sub;
        if (sub.open(cls.get(), L"ProgID", view)) sub.str(nullptr, out.progId);
        if (sub.open(cls.get(), L"VersionIndependentProgID", view)) sub.str(nullptr, out.verIndProgId);
        return true;
    }
    return false;
}

bool clsidFromProgId(const wchar_t* progId, CLSID& out)
{
    std::wstring name = progId;
    for (int hop = 0; hop < 2; ++hop) {
        std::wstring text, curVer;
        for (REGSAM view : kViews) {
            RegKey prog, sub;
            if (!prog.open(HKEY_CLASSES_ROOT, name, view)) continue;
            if (sub.open(prog.get(), L"CLSID", view) && sub.str(nullptr, text) && parseGuid(text, out)) return true;
            if (curVer.empty() && sub.open(prog.get(), L"CurVer", view)) sub.str(nullptr, curVer);
        }
        if (curVer.empty() || curVer == name) return false;
        name = curVer;
    }
    return false;
}

IClassFactory* newClassFactory() { return new (std::nothrow) ClassFactoryImpl; }

void setOnLastRelease(void (*fn)()) { g_onLastRelease = fn; }

} // namespace qv::serverlist
