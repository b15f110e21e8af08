// qvopc: a command-line OPC DA client.
//
//   qvopc [--server PROGID] [--node HOST] [--trace FILE] COMMAND ...
//     status
//     browse [PATH] [--flat] [--filter PATTERN] [--da2]
//     props ITEM
//     read ITEM... [--device | --max-age MS]
//     write ITEM VALUE [--quality Q] [--time now|YYYY-MM-DDTHH:MM:SS[.mmm]]
//     watch ITEM... [--rate MS] [--da1] [--seconds N] [--keepalive MS]
// Where the server offers them, browse uses IOPCBrowse (--da2 forces the old interface; there
// the filter matches element names), read --max-age uses IOPCItemIO, and a write with quality
// or time stamp IOPCItemIO::WriteVQT.
//     events [--seconds N]
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>
#include "qvopc.h"

namespace {

template <class I>
class Ptr {
public:
    Ptr() = default;
    ~Ptr() { reset(); }
    Ptr(const Ptr&) = delete;
    Ptr& operator=(const Ptr&) = delete;
    void reset() { if (p_) { p_->Release(); p_ = nullptr; } }
    I* operator->() const { return p_; }
    I* get() const { return p_; }
    void** out() { reset(); return reinterpret_cast<void**>(&p_); }
    I** pp() { reset(); return &p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    I* p_ = nullptr;
};

std::wstring wide(const std::string& s)
{
    int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, &w[0], n);
    return w;
}

std::string narrow(const wchar_t* w)
{
    if (!w) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, w, -1, &s[0], n, nullptr, nullptr);
    return s;
}

std::string valueText(const VARIANT* v)
{
    if (V_VT(v) == VT_EMPTY) return "<empty>";
    if (V_VT(v) & VT_ARRAY) return "<array>";
    VARIANT s;
    VariantInit(&s);
    if (FAILED(VariantChangeTypeEx(&s, const_cast<VARIANT*>(v), LOCALE_INVARIANT, VARIANT_ALPHABOOL, VT_BSTR)))
        return "<vt " + std::to_string(V_VT(v)) + ">";
    std::string r = narrow(V_BSTR(&s));
    VariantClear(&s);
    return r;
}

std::string qualityText(WORD q)
{
    switch (q & 0xC0) {
    case 0xC0: return (q & 0xFC) == 0xD8 ? "good (local override)" : "good";
    case 0x40: return "uncertain";
    default:
        switch (q & 0xFC) {
        case 0x04: return "bad (config error)";
        case 0x08: return "bad (not connected)";
        case 0x0C: return "bad (device failure)";
        case 0x18: return "bad (comm failure)";
        case 0x1C: return "bad (out of service)";
        default: return "bad";
        }
    }
}

std::string timeText(const FILETIME& ft)
{
    FILETIME local;
    SYSTEMTIME st;
    FileTimeToLocalFileTime(&ft, &local);
    FileTimeToSystemTime(&local, &st);
    char buf[64];
    snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond, st.wMilliseconds);
    return buf;
}

IOPCServer* g_server = nullptr; // for error texts

std::string localErrorText(HRESULT hr);

std::string errorText(HRESULT hr)
{
    char code[32];
    snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    LPWSTR text = nullptr;
    if (g_server && SUCCEEDED(g_server->GetErrorString(hr, LOCALE_SYSTEM_DEFAULT, &text)) && text) {
        std::string t = narrow(text);
        CoTaskMemFree(text);
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
        return std::string(code) + " " + t;
    }
    return localErrorText(hr);
}

// The system's text only (no call to the server).
std::string localErrorText(HRESULT hr)
{
    char code[32];
    snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    char buf[256] = {0};
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(hr), 0, buf,
                       sizeof buf - 1, nullptr)) {
        std::string t = buf;
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
        return std::string(code) + " " + t;
    }
    return code;
}

int fail(const std::string& what, HRESULT hr)
{
    fprintf(stderr, "qvopc: %s: %s\n", what.c_str(), errorText(hr).c_str());
    fflush(stderr);
    return 1;
}

// --trace FILE: every COM call qvopc makes, with its result.
FILE* g_trace = nullptr;

HRESULT traced(const char* call, HRESULT hr)
{
    if (!g_trace) return hr;
    SYSTEMTIME t;
    GetLocalTime(&t);
    fprintf(g_trace, "%02u:%02u:%02u.%03u CALL %s -> %s\n", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, call,
            localErrorText(hr).c_str());
    fflush(g_trace);
    return hr;
}

HRESULT connect(const std::string& progId, const std::string& node, Ptr<IOPCServer>& server)
{
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(wide(progId).c_str(), &clsid);
    if (FAILED(hr)) {
        if (FAILED(CLSIDFromString(const_cast<LPOLESTR>(wide(progId).c_str()), &clsid))) {
            fprintf(stderr, "qvopc: server %s is not registered on this machine\n", progId.c_str());
            return hr;
        }
    }
    // Activation asks for IUnknown (marshaled by COM itself); IOPCServer needs the OPC
    // proxy/stub registered for this process's architecture, so its failure tells that apart.
    MULTI_QI mqi = {&IID_IUnknown, nullptr, S_OK};
    COSERVERINFO info = {};
    std::wstring host = wide(node);
    info.pwszName = host.empty() ? nullptr : &host[0];
    hr = traced("CoCreateInstanceEx", CoCreateInstanceEx(clsid, nullptr, host.empty() ? CLSCTX_LOCAL_SERVER : CLSCTX_REMOTE_SERVER,
                            host.empty() ? nullptr : &info, 1, &mqi));
    if (SUCCEEDED(hr)) hr = mqi.hr;
    if (FAILED(hr)) {
        if (hr == E_ACCESSDENIED) fprintf(stderr, "qvopc: access denied by %s\n", progId.c_str());
        else if (hr == REGDB_E_CLASSNOTREG) fprintf(stderr, "qvopc: server %s is not registered\n", progId.c_str());
        return hr;
    }
    Ptr<IUnknown> unk;
    *unk.pp() = mqi.pItf;
    hr = traced("IUnknown::QueryInterface(IOPCServer)", unk->QueryInterface(IID_IOPCServer, server.out()));
    if (FAILED(hr)) {
        fprintf(stderr,
                "qvopc: %s runs but its OPC interfaces cannot reach this %d-bit program: register the %d-bit "
                "proxy/stub (regsvr32 QvSrvKitPS.dll%s)\n",
                progId.c_str(), static_cast<int>(sizeof(void*) * 8), static_cast<int>(sizeof(void*) * 8),
                sizeof(void*) == 4 ? " from bin/x86 of a 64-bit install" : "");
        return hr;
    }
    g_server = server.get();
    return S_OK;
}

// A group with items added; item handles in argument order.
struct Items {
    Ptr<IUnknown> group;
    OPCHANDLE hGroup = 0;
    std::vector<OPCHANDLE> handles;
    std::vector<VARTYPE> types;
    std::vector<std::string> names;
};

HRESULT addItems(IOPCServer* server, const std::vector<std::string>& names, DWORD rate, bool active, Items& out)
{
    DWORD revised = 0;
    HRESULT hr = traced("IOPCServer::AddGroup", server->AddGroup(L"qvopc", active, rate, 1, nullptr, nullptr, 0, &out.hGroup, &revised, IID_IUnknown,
                                  out.group.pp()));
    if (FAILED(hr)) return hr;
    Ptr<IOPCItemMgt> mgt;
    hr = traced("IUnknown::QueryInterface", out.group->QueryInterface(IID_IOPCItemMgt, mgt.out()));
    if (FAILED(hr)) return hr;
    std::vector<std::wstring> ids;
    for (auto& n : names) ids.push_back(wide(n));
    std::vector<OPCITEMDEF> defs(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = &ids[i][0];
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = traced("IOPCItemMgt::AddItems", mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors));
    if (FAILED(hr)) return hr;
    HRESULT first = S_OK;
    for (size_t i = 0; i < names.size(); ++i) {
        if (FAILED(errors[i])) {
            fprintf(stderr, "qvopc: %s: %s\n", names[i].c_str(), errorText(errors[i]).c_str());
            if (SUCCEEDED(first)) first = errors[i];
        } else {
            out.handles.push_back(results[i].hServer);
            out.types.push_back(results[i].vtCanonicalDataType);
            out.names.push_back(names[i]);
        }
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return out.handles.empty() ? (FAILED(first) ? first : E_FAIL) : S_OK;
}

int cmdStatus(IOPCServer* server)
{
    OPCSERVERSTATUS* st = nullptr;
    HRESULT hr = traced("IOPCServer::GetStatus", server->GetStatus(&st));
    if (FAILED(hr)) return fail("GetStatus", hr);
    static const char* states[] = {"?", "running", "failed", "no configuration", "suspended", "test"};
    printf("vendor:   %s\n", narrow(st->szVendorInfo).c_str());
    printf("version:  %u.%u.%u\n", st->wMajorVersion, st->wMinorVersion, st->wBuildNumber);
    printf("state:    %s\n", st->dwServerState <= 5 ? states[st->dwServerState] : "?");
    printf("started:  %s\n", timeText(st->ftStartTime).c_str());
    printf("now:      %s\n", timeText(st->ftCurrentTime).c_str());
    printf("bandwidth: %lu\n", st->dwBandWidth);
    CoTaskMemFree(st->szVendorInfo);
    CoTaskMemFree(st);
    return 0;
}

void printStrings(IEnumString* en, const char* prefix)
{
    LPOLESTR s[64];
    for (;;) {
        ULONG n = 0;
        // S_FALSE: a last, short batch (possibly empty).
        HRESULT hr = traced("IEnumString::Next", en->Next(64, s, &n));
        if (FAILED(hr)) break;
        for (ULONG i = 0; i < n && i < 64; ++i) {
            printf("%s%s\n", prefix, narrow(s[i]).c_str());
            CoTaskMemFree(s[i]);
        }
        if (hr != S_OK || n == 0) break;
    }
}

struct Element {
    std::string name, itemId;
    DWORD flags;
};

// Every element of a branch through IOPCBrowse, page by page with continuation points.
HRESULT browseAll(IOPCBrowse* b, const std::wstring& id, OPCBROWSEFILTER f, const std::wstring& nameFilter,
                  std::vector<Element>& out)
{
    LPWSTR cp = nullptr;
    DWORD none = 0; // an empty [in] array still needs a pointer on the wire
    HRESULT hr;
    do {
        BOOL more = FALSE;
        DWORD n = 0;
        OPCBROWSEELEMENT* e = nullptr;
        hr = b->Browse(const_cast<LPWSTR>(id.c_str()), &cp, 500, f, const_cast<LPWSTR>(nameFilter.c_str()),
                       const_cast<LPWSTR>(L""), FALSE, FALSE, 0, &none, &more, &n, &e);
        for (DWORD i = 0; SUCCEEDED(hr) && i < n; ++i) {
            out.push_back({narrow(e[i].szName), narrow(e[i].szItemID), e[i].dwFlagValue});
            CoTaskMemFree(e[i].szName);
            CoTaskMemFree(e[i].szItemID);
        }
        CoTaskMemFree(e);
    } while (SUCCEEDED(hr) && cp && *cp);
    CoTaskMemFree(cp);
    return hr;
}

// Branches ("+ name") then items ("  name"), or with flat every item below by item ID. The
// filter is the server's element name filter, applied to items.
bool browse3(IOPCBrowse* b, const std::wstring& id, bool flat, const std::wstring& filter)
{
    std::vector<Element> all, matching;
    HRESULT hr = browseAll(b, id, OPC_BROWSE_FILTER_ALL, L"", all);
    if (SUCCEEDED(hr) && !filter.empty()) hr = browseAll(b, id, OPC_BROWSE_FILTER_ITEMS, filter, matching);
    if (FAILED(hr)) return fail("browse " + narrow(id.c_str()), hr) == 0;
    auto passes = [&](const Element& e) {
        if (!(e.flags & OPC_BROWSE_ISITEM)) return false;
        if (filter.empty()) return true;
        for (const Element& m : matching)
            if (m.name == e.name) return true;
        return false;
    };
    for (const Element& e : all) {
        if (flat) {
            if (passes(e)) printf("%s\n", e.itemId.c_str());
            if ((e.flags & OPC_BROWSE_HASCHILDREN) && !browse3(b, wide(e.itemId), true, filter)) return false;
        } else if (e.flags & OPC_BROWSE_HASCHILDREN) {
            printf("+ %s\n", e.name.c_str());
        }
    }
    if (!flat)
        for (const Element& e : all)
            if (passes(e)) printf("  %s\n", e.name.c_str());
    return true;
}

int cmdBrowse(IOPCServer* server, const std::string& path, bool flat, const std::string& filter, bool da2)
{
    Ptr<IOPCBrowse> b3;
    if (!da2 && SUCCEEDED(server->QueryInterface(IID_IOPCBrowse, b3.out())))
        return browse3(b3.get(), wide(path), flat, wide(filter)) ? 0 : 1;

    Ptr<IOPCBrowseServerAddressSpace> b;
    HRESULT hr = traced("IOPCServer::QueryInterface", server->QueryInterface(IID_IOPCBrowseServerAddressSpace, b.out()));
    if (FAILED(hr)) return fail("the server does not offer browsing", hr);
    OPCNAMESPACETYPE ns;
    if (SUCCEEDED(b->QueryOrganization(&ns)) && ns == OPC_NS_FLAT) flat = true;
    if (!path.empty()) {
        hr = traced("IOPCBrowseServerAddressSpace::ChangeBrowsePosition", b->ChangeBrowsePosition(OPC_BROWSE_TO, wide(path).c_str()));
        if (FAILED(hr)) return fail("no branch " + path, hr);
    }
    std::wstring f = wide(filter);
    Ptr<IEnumString> en;
    if (flat) {
        hr = traced("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs", b->BrowseOPCItemIDs(OPC_FLAT, f.c_str(), VT_EMPTY, 0, en.pp()));
        if (FAILED(hr)) return fail("browse", hr);
        if (en) printStrings(en.get(), "");
        return 0;
    }
    hr = traced("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs", b->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, en.pp()));
    if (FAILED(hr)) return fail("browse", hr);
    if (en) printStrings(en.get(), "+ ");
    hr = traced("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs", b->BrowseOPCItemIDs(OPC_LEAF, f.c_str(), VT_EMPTY, 0, en.pp()));
    if (FAILED(hr)) return fail("browse", hr);
    if (en) printStrings(en.get(), "  ");
    return 0;
}

int cmdProps(IOPCServer* server, const std::string& item)
{
    Ptr<IOPCItemProperties> p;
    HRESULT hr = traced("IOPCServer::QueryInterface", server->QueryInterface(IID_IOPCItemProperties, p.out()));
    if (FAILED(hr)) return fail("the server does not offer item properties", hr);
    std::wstring id = wide(item);
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descs = nullptr;
    VARTYPE* types = nullptr;
    hr = traced("IOPCItemProperties::QueryAvailableProperties", p->QueryAvailableProperties(&id[0], &count, &ids, &descs, &types));
    if (FAILED(hr)) return fail(item, hr);
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    hr = traced("IOPCItemProperties::GetItemProperties", p->GetItemProperties(&id[0], count, ids, &values, &errors));
    for (DWORD i = 0; i < count; ++i) {
        std::string v = SUCCEEDED(hr) && SUCCEEDED(errors[i]) ? valueText(&values[i]) : errorText(FAILED(hr) ? hr : errors[i]);
        printf("%5lu  %-28s %s\n", ids[i], narrow(descs[i]).c_str(), v.c_str());
        CoTaskMemFree(descs[i]);
        if (SUCCEEDED(hr)) VariantClear(&values[i]);
    }
    CoTaskMemFree(ids);
    CoTaskMemFree(descs);
    CoTaskMemFree(types);
    CoTaskMemFree(values);
    CoTaskMemFree(errors);
    return 0;
}

// Reads by item ID through IOPCItemIO with one maximum age for all.
int cmdReadMaxAge(IOPCServer* server, const std::vector<std::string>& names, DWORD maxAge)
{
    Ptr<IOPCItemIO> io;
    HRESULT hr = server->QueryInterface(IID_IOPCItemIO, io.out());
    if (FAILED(hr)) return fail("the server does not offer IOPCItemIO (--max-age)", hr);
    std::vector<std::wstring> ids;
    for (const auto& n : names) ids.push_back(wide(n));
    std::vector<LPCWSTR> ptrs;
    for (const auto& w : ids) ptrs.push_back(w.c_str());
    std::vector<DWORD> ages(names.size(), maxAge);
    const DWORD n = static_cast<DWORD>(names.size());
    VARIANT* v = nullptr;
    WORD* q = nullptr;
    FILETIME* t = nullptr;
    HRESULT* e = nullptr;
    hr = io->Read(n, ptrs.data(), ages.data(), &v, &q, &t, &e);
    if (FAILED(hr)) return fail("Read", hr);
    int rc = 0;
    for (DWORD i = 0; i < n; ++i) {
        if (FAILED(e[i])) {
            fprintf(stderr, "qvopc: %s: %s\n", names[i].c_str(), errorText(e[i]).c_str());
            rc = 1;
        } else {
            printf("%s  %s = %s  [%s]\n", timeText(t[i]).c_str(), names[i].c_str(), valueText(&v[i]).c_str(),
                   qualityText(q[i]).c_str());
        }
        VariantClear(&v[i]);
    }
    CoTaskMemFree(v), CoTaskMemFree(q), CoTaskMemFree(t), CoTaskMemFree(e);
    return rc;
}

// "now" or YYYY-MM-DDTHH:MM:SS[.mmm] (UTC).
bool parseTime(const std::string& text, FILETIME* ft)
{
    if (text == "now") {
        GetSystemTimeAsFileTime(ft);
        return true;
    }
    SYSTEMTIME st{};
    unsigned y, mo, d, h, mi, s, ms = 0;
    int k = sscanf(text.c_str(), "%u-%u-%uT%u:%u:%u.%u", &y, &mo, &d, &h, &mi, &s, &ms);
    if (k < 6) return false;
    st.wYear = static_cast<WORD>(y), st.wMonth = static_cast<WORD>(mo), st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h), st.wMinute = static_cast<WORD>(mi), st.wSecond = static_cast<WORD>(s);
    st.wMilliseconds = static_cast<WORD>(ms);
    return SystemTimeToFileTime(&st, ft) != FALSE;
}

// Value with quality and/or time stamp through IOPCItemIO::WriteVQT.
int cmdWriteVQT(IOPCServer* server, const std::string& name, const std::string& value, const std::string& quality,
                const std::string& time)
{
    Ptr<IOPCItemIO> io;
    HRESULT hr = server->QueryInterface(IID_IOPCItemIO, io.out());
    if (FAILED(hr)) return fail("the server does not offer IOPCItemIO (--quality/--time)", hr);
    OPCITEMVQT vqt{};
    if (!quality.empty()) {
        vqt.bQualitySpecified = TRUE;
        vqt.wQuality = static_cast<WORD>(strtoul(quality.c_str(), nullptr, 0));
    }
    if (!time.empty()) {
        vqt.bTimeStampSpecified = TRUE;
        if (!parseTime(time, &vqt.ftTimeStamp)) return fail("bad time " + time + " (now or YYYY-MM-DDTHH:MM:SS)", E_INVALIDARG);
    }
    V_VT(&vqt.vDataValue) = VT_BSTR;
    V_BSTR(&vqt.vDataValue) = SysAllocString(wide(value).c_str());
    std::wstring id = wide(name);
    LPCWSTR pid = id.c_str();
    HRESULT* errors = nullptr;
    hr = io->WriteVQT(1, &pid, &vqt, &errors);
    VariantClear(&vqt.vDataValue);
    if (FAILED(hr)) return fail("WriteVQT", hr);
    HRESULT e = errors[0];
    CoTaskMemFree(errors);
    if (FAILED(e)) return fail(name, e);
    printf("%s <- %s: ok\n", name.c_str(), value.c_str());
    return 0;
}

int cmdRead(IOPCServer* server, const std::vector<std::string>& names, bool device)
{
    Items it;
    HRESULT hr = addItems(server, names, 1000, TRUE, it);
    if (FAILED(hr)) return it.handles.empty() ? 1 : fail("AddItems", hr);
    Ptr<IOPCSyncIO> io;
    hr = traced("IUnknown::QueryInterface", it.group->QueryInterface(IID_IOPCSyncIO, io.out()));
    if (FAILED(hr)) return fail("the group does not offer IOPCSyncIO", hr);
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    hr = traced("IOPCSyncIO::Read", io->Read(device ? OPC_DS_DEVICE : OPC_DS_CACHE, static_cast<DWORD>(it.handles.size()), it.handles.data(), &states,
                  &errors));
    if (FAILED(hr)) return fail("Read", hr);
    int rc = 0;
    for (size_t i = 0; i < it.handles.size(); ++i) {
        if (FAILED(errors[i])) {
            fprintf(stderr, "qvopc: %s: %s\n", it.names[i].c_str(), errorText(errors[i]).c_str());
            rc = 1;
        } else {
            printf("%s  %s = %s  [%s]\n", timeText(states[i].ftTimeStamp).c_str(), it.names[i].c_str(),
                   valueText(&states[i].vDataValue).c_str(), qualityText(states[i].wQuality).c_str());
        }
        VariantClear(&states[i].vDataValue);
    }
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    return rc;
}

int cmdWrite(IOPCServer* server, const std::string& name, const std::string& value)
{
    Items it;
    HRESULT hr = addItems(server, {name}, 1000, FALSE, it);
    if (FAILED(hr)) return 1;
    Ptr<IOPCSyncIO> io;
    hr = traced("IUnknown::QueryInterface", it.group->QueryInterface(IID_IOPCSyncIO, io.out()));
    if (FAILED(hr)) return fail("the group does not offer IOPCSyncIO", hr);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(wide(value).c_str());
    // Sent as text; the server converts it to the item's own type.
    HRESULT* errors = nullptr;
    hr = traced("IOPCSyncIO::Write", io->Write(1, it.handles.data(), &v, &errors));
    VariantClear(&v);
    if (FAILED(hr)) return fail("Write", hr);
    HRESULT e = errors[0];
    CoTaskMemFree(errors);
    if (FAILED(e)) return fail(name, e);
    printf("%s <- %s: ok\n", name.c_str(), value.c_str());
    return 0;
}

std::mutex g_printMutex;

class DataSink : public IOPCDataCallback {
public:
    explicit DataSink(const std::vector<std::string>& names) : names_(names) {}
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
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; } // lives on the stack of watch
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* h, VARIANT* v,
                                           WORD* q, FILETIME* t, HRESULT* e) override
    {
        std::lock_guard<std::mutex> g(g_printMutex);
        for (DWORD i = 0; i < count; ++i) {
            const std::string& name = h[i] < names_.size() ? names_[h[i]] : std::to_string(h[i]);
            if (FAILED(e[i])) printf("%s  %s  error %s\n", timeText(t[i]).c_str(), name.c_str(), errorText(e[i]).c_str());
            else printf("%s  %s = %s  [%s]\n", timeText(t[i]).c_str(), name.c_str(), valueText(&v[i]).c_str(),
                        qualityText(q[i]).c_str());
        }
        if (count == 0) {
            printf("%s  keep-alive\n", timeText(nowUtc()).c_str());
            ++keepAlives;
        }
        fflush(stdout);
        changes += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    std::atomic<unsigned long> changes{0}, keepAlives{0};

private:
    static FILETIME nowUtc()
    {
        FILETIME ft;
        GetSystemTimeAsFileTime(&ft);
        return ft;
    }
    std::vector<std::string> names_;
    std::atomic<ULONG> refs_{1};
};

// DA 1.0 subscription: IAdviseSink receiving the "OPCSTMFORMATDATATIME" stream.
class StreamSink : public IAdviseSink {
public:
    explicit StreamSink(const std::vector<std::string>& names) : names_(names)
    {
        format_ = RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
    }
    CLIPFORMAT format() const { return static_cast<CLIPFORMAT>(format_); }
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
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    void STDMETHODCALLTYPE OnDataChange(FORMATETC* fe, STGMEDIUM* sm) override
    {
        if (!fe || !sm || fe->cfFormat != format_ || sm->tymed != TYMED_HGLOBAL) return;
        SIZE_T size = GlobalSize(sm->hGlobal);
        const BYTE* p = static_cast<const BYTE*>(GlobalLock(sm->hGlobal));
        if (!p || size < sizeof(OPCGROUPHEADER)) return;
        const OPCGROUPHEADER* gh = reinterpret_cast<const OPCGROUPHEADER*>(p);
        std::lock_guard<std::mutex> g(g_printMutex);
        for (DWORD i = 0; i < gh->dwItemCount; ++i) {
            size_t at = sizeof(OPCGROUPHEADER) + i * sizeof(OPCITEMHEADER1);
            if (at + sizeof(OPCITEMHEADER1) > size) break;
            const OPCITEMHEADER1* ih = reinterpret_cast<const OPCITEMHEADER1*>(p + at);
            // The stream holds 16 bytes per value on every architecture (type, then data at
            // offset 8), not this process's VARIANT (24 bytes on x64).
            const size_t kValueBytes = 16;
            if (ih->dwValueOffset + kValueBytes > size) break;
            VARIANT v;
            VariantInit(&v);
            memcpy(&v, p + ih->dwValueOffset, kValueBytes);
            std::string text;
            if (V_VT(&v) == VT_BSTR && ih->dwValueOffset + kValueBytes + 4 <= size) {
                // The string follows the value: its byte length, then the characters.
                const BYTE* sp = p + ih->dwValueOffset + kValueBytes;
                DWORD bytes = 0;
                memcpy(&bytes, sp, 4);
                if (ih->dwValueOffset + kValueBytes + 4 + bytes <= size)
                    text = narrow(std::wstring(reinterpret_cast<const wchar_t*>(sp + 4), bytes / 2).c_str());
            } else {
                text = valueText(&v);
            }
            const std::string& name = ih->hClient < names_.size() ? names_[ih->hClient] : std::to_string(ih->hClient);
            printf("%s  %s = %s  [%s]\n", timeText(ih->ftTimeStampItem).c_str(), name.c_str(), text.c_str(),
                   qualityText(ih->wQuality).c_str());
        }
        fflush(stdout);
        GlobalUnlock(sm->hGlobal);
        changes += gh->dwItemCount;
    }
    void STDMETHODCALLTYPE OnViewChange(DWORD, LONG) override {}
    void STDMETHODCALLTYPE OnRename(IMoniker*) override {}
    void STDMETHODCALLTYPE OnSave() override {}
    void STDMETHODCALLTYPE OnClose() override {}
    std::atomic<unsigned long> changes{0};

private:
    std::vector<std::string> names_;
    UINT format_;
    std::atomic<ULONG> refs_{1};
};

int cmdWatch(IOPCServer* server, const std::vector<std::string>& names, DWORD rate, bool da1, int seconds,
             DWORD keepAlive)
{
    Items it;
    HRESULT hr = addItems(server, names, rate, TRUE, it);
    if (FAILED(hr)) return 1;
    // Client handles are positions in the list the server accepted.
    DataSink sink(it.names);
    StreamSink streamSink(it.names);
    Ptr<IConnectionPoint> cp;
    Ptr<IDataObject> dobj;
    DWORD cookie = 0;
    if (da1) {
        hr = traced("IUnknown::QueryInterface", it.group->QueryInterface(IID_IDataObject, dobj.out()));
        if (FAILED(hr)) return fail("the group does not offer IDataObject (DA 1.0)", hr);
        FORMATETC fe = {streamSink.format(), nullptr, DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
        hr = traced("IDataObject::DAdvise", dobj->DAdvise(&fe, 0, &streamSink, &cookie));
        if (FAILED(hr)) return fail("DAdvise", hr);
    } else {
        Ptr<IConnectionPointContainer> cpc;
        hr = traced("IUnknown::QueryInterface", it.group->QueryInterface(IID_IConnectionPointContainer, cpc.out()));
        if (FAILED(hr)) return fail("the group does not offer data callbacks", hr);
        hr = traced("IConnectionPointContainer::FindConnectionPoint", cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.pp()));
        if (FAILED(hr)) return fail("FindConnectionPoint", hr);
        hr = traced("IConnectionPoint::Advise", cp->Advise(&sink, &cookie));
        if (FAILED(hr)) return fail("Advise", hr);
        if (keepAlive) {
            Ptr<IOPCGroupStateMgt2> st;
            DWORD revised = 0;
            hr = it.group->QueryInterface(IID_IOPCGroupStateMgt2, st.out());
            if (SUCCEEDED(hr)) hr = st->SetKeepAlive(keepAlive, &revised);
            if (FAILED(hr)) return fail("SetKeepAlive", hr);
            printf("keep-alive every %lu ms\n", revised);
        }
    }
    printf("watching %zu item(s) every %lu ms for %d s (%s)\n", it.names.size(), rate, seconds, da1 ? "DA 1.0" : "DA 2.0");
    fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    if (da1) traced("IDataObject::DUnadvise", dobj->DUnadvise(cookie));
    else traced("IConnectionPoint::Unadvise", cp->Unadvise(cookie));
    unsigned long n = da1 ? streamSink.changes.load() : sink.changes.load();
    printf("%lu change(s) received\n", n);
    if (keepAlive) {
        printf("%lu keep-alive callback(s) received\n", sink.keepAlives.load());
        n += sink.keepAlives.load();
    }
    return n > 0 ? 0 : 2;
}

class EventSink : public IOPCEventSink {
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
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    HRESULT STDMETHODCALLTYPE OnEvent(OPCHANDLE, BOOL, BOOL, DWORD count, ONEVENTSTRUCT* ev) override
    {
        std::lock_guard<std::mutex> g(g_printMutex);
        for (DWORD i = 0; i < count; ++i)
            printf("%s  %s  %s / %s  severity %lu  %s\n", timeText(ev[i].ftTime).c_str(), narrow(ev[i].szSource).c_str(),
                   narrow(ev[i].szConditionName).c_str(), narrow(ev[i].szSubconditionName).c_str(), ev[i].dwSeverity,
                   narrow(ev[i].szMessage).c_str());
        fflush(stdout);
        return S_OK;
    }

private:
    std::atomic<ULONG> refs_{1};
};

int cmdEvents(IOPCServer* server, int seconds)
{
    Ptr<IOPCEventServer> es;
    HRESULT hr = traced("IOPCServer::QueryInterface", server->QueryInterface(IID_IOPCEventServer, es.out()));
    if (FAILED(hr)) return fail("the server does not offer alarms and events", hr);
    Ptr<IUnknown> sub;
    DWORD bt = 0, ms = 0;
    hr = traced("IOPCEventServer::CreateEventSubscription", es->CreateEventSubscription(TRUE, 0, 0, 1, IID_IUnknown, sub.pp(), &bt, &ms));
    if (FAILED(hr)) return fail("CreateEventSubscription", hr);
    Ptr<IConnectionPointContainer> cpc;
    hr = traced("IUnknown::QueryInterface", sub->QueryInterface(IID_IConnectionPointContainer, cpc.out()));
    if (FAILED(hr)) return fail("the subscription offers no connection point", hr);
    Ptr<IConnectionPoint> cp;
    hr = traced("IConnectionPointContainer::FindConnectionPoint", cpc->FindConnectionPoint(IID_IOPCEventSink, cp.pp()));
    if (FAILED(hr)) return fail("FindConnectionPoint", hr);
    EventSink sink;
    DWORD cookie = 0;
    hr = traced("IConnectionPoint::Advise", cp->Advise(&sink, &cookie));
    if (FAILED(hr)) return fail("Advise", hr);
    printf("listening for events for %d s\n", seconds);
    fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    traced("IConnectionPoint::Unadvise", cp->Unadvise(cookie));
    return 0;
}

int usage()
{
    fprintf(stderr,
            "usage: qvopc [--server PROGID] [--node HOST] [--trace FILE] COMMAND\n"
            "  status\n"
            "  browse [PATH] [--flat] [--filter PATTERN] [--da2]\n"
            "  props ITEM\n"
            "  read ITEM... [--device | --max-age MS]\n"
            "  write ITEM VALUE [--quality Q] [--time now|YYYY-MM-DDTHH:MM:SS[.mmm]]\n"
            "  watch ITEM... [--rate MS] [--da1] [--seconds N] [--keepalive MS]\n"
            "  events [--seconds N]\n");
    return 2;
}

} // namespace

int runServersCommand(int argc, char** argv); // servers.cpp: -1 when not that command

int main(int argc, char** argv)
{
    if (int rc = runServersCommand(argc, argv); rc >= 0) return rc;
    std::string progId = "QvSrvKit.Demo", node, cmd, filter, tracePath, quality, time;
    std::vector<std::string> args;
    bool flat = false, device = false, da1 = false, da2 = false, maxAgeSet = false;
    DWORD maxAge = 0, keepAlive = 0;
    DWORD rate = 500;
    int seconds = 10;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--server" && i + 1 < argc) progId = argv[++i];
        else if (a == "--node" && i + 1 < argc) node = argv[++i];
        else if (a == "--flat") flat = true;
        else if (a == "--device") device = true;
        else if (a == "--da1") da1 = true;
        else if (a == "--trace" && i + 1 < argc) tracePath = argv[++i];
        else if (a == "--da2") da2 = true;
        else if (a == "--max-age" && i + 1 < argc) maxAge = strtoul(argv[++i], nullptr, 0), maxAgeSet = true;
        else if (a == "--quality" && i + 1 < argc) quality = argv[++i];
        else if (a == "--time" && i + 1 < argc) time = argv[++i];
        else if (a == "--keepalive" && i + 1 < argc) keepAlive = strtoul(argv[++i], nullptr, 0);
        else if (a == "--filter" && i + 1 < argc) filter = argv[++i];
        else if (a == "--rate" && i + 1 < argc) rate = static_cast<DWORD>(atoi(argv[++i]));
        else if (a == "--seconds" && i + 1 < argc) seconds = atoi(argv[++i]);
        else if (cmd.empty()) cmd = a;
        else args.push_back(a);
    }
    if (cmd.empty()) return usage();
    if (!tracePath.empty() && !(g_trace = fopen(tracePath.c_str(), "a"))) {
        fprintf(stderr, "qvopc: cannot open %s\n", tracePath.c_str());
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int rc;
    {
        Ptr<IOPCServer> server;
        HRESULT hr = connect(progId, node, server);
        if (FAILED(hr)) {
            fprintf(stderr, "qvopc: cannot connect to %s: %s\n", progId.c_str(), errorText(hr).c_str());
            CoUninitialize();
            return 1;
        }
        if (cmd == "status") rc = cmdStatus(server.get());
        else if (cmd == "browse") rc = cmdBrowse(server.get(), args.empty() ? "" : args[0], flat, filter, da2);
        else if (cmd == "read" && !args.empty() && maxAgeSet) rc = cmdReadMaxAge(server.get(), args, maxAge);
        else if (cmd == "write" && args.size() == 2 && (!quality.empty() || !time.empty()))
            rc = cmdWriteVQT(server.get(), args[0], args[1], quality, time);
        else if (cmd == "props" && args.size() == 1) rc = cmdProps(server.get(), args[0]);
        else if (cmd == "read" && !args.empty()) rc = cmdRead(server.get(), args, device);
        else if (cmd == "write" && args.size() == 2) rc = cmdWrite(server.get(), args[0], args[1]);
        else if (cmd == "watch" && !args.empty()) rc = cmdWatch(server.get(), args, rate, da1, seconds, keepAlive);
        else if (cmd == "events") rc = cmdEvents(server.get(), seconds);
        else rc = usage();
        g_server = nullptr;
    }
    fflush(stdout);
    CoUninitialize();
    if (g_trace) fclose(g_trace);
    return rc;
}
