// qvopc: a command-line OPC DA client (qvopc --help lists the commands and their options).
// Where the server offers them, browse uses IOPCBrowse (--da2 forces the old interface; there
// the filter matches element names), read --max-age uses IOPCItemIO, and a write with quality
// or time stamp IOPCItemIO::WriteVQT. Every time is printed and read in UTC, with a Z.
//     events [--seconds N] [--refresh]
//     ack SOURCE CONDITION [--comment TEXT]
// events prints each event with its condition's state; --refresh first asks for every active or
// unacknowledged condition. ack finds the condition's current activation through a refresh and
// acknowledges it.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <atomic>
#include <cctype>
#include <cerrno>
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

std::string valueText(const VARIANT* v);

// Every element in storage order: "[1, 2, 3]".
std::string arrayText(const VARIANT* v)
{
    SAFEARRAY* sa = (V_VT(v) & VT_BYREF) ? (V_ARRAYREF(v) ? *V_ARRAYREF(v) : nullptr) : V_ARRAY(v);
    const VARTYPE vt = V_VT(v) & VT_TYPEMASK;
    if (!sa) return "[]";
    ULONG count = 1;
    for (UINT d = 0; d < sa->cDims; ++d) count *= sa->rgsabound[d].cElements;
    const UINT size = SafeArrayGetElemsize(sa);
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(sa, &data))) return "<array>";
    std::string out = "[";
    for (ULONG i = 0; i < count; ++i) {
        const BYTE* at = static_cast<const BYTE*>(data) + static_cast<size_t>(i) * size;
        if (i) out += ", ";
        if (vt == VT_VARIANT) {
            out += valueText(reinterpret_cast<const VARIANT*>(at));
            continue;
        }
        // A borrowed view of the element: never cleared.
        VARIANT e;
        VariantInit(&e);
        if (vt == VT_DECIMAL) memcpy(&e, at, sizeof(DECIMAL));
        else memcpy(&V_UI1(&e), at, size <= 8 ? size : 8);
        V_VT(&e) = vt;
        out += valueText(&e);
    }
    SafeArrayUnaccessData(sa);
    return out + "]";
}

std::string valueText(const VARIANT* v)
{
    if (V_VT(v) == VT_EMPTY) return "<empty>";
    if (V_VT(v) & VT_ARRAY) return arrayText(v);
    VARIANT s;
    VariantInit(&s);
    if (FAILED(VariantChangeTypeEx(&s, const_cast<VARIANT*>(v), LOCALE_INVARIANT, VARIANT_ALPHABOOL, VT_BSTR)))
        return "<vt " + std::to_string(V_VT(v)) + ">";
    std::string r = narrow(V_BSTR(&s));
    VariantClear(&s);
    return r;
}

// Quality and sub-status names; "--quality" takes them as written here or as printed.
struct QualityName {
    WORD status;
    const char* name;
};
const QualityName kQualities[] = {
    {OPC_QUALITY_GOOD, "good"},
    {OPC_QUALITY_LOCAL_OVERRIDE, "good (local override)"},
    {OPC_QUALITY_BAD, "bad"},
    {OPC_QUALITY_CONFIG_ERROR, "bad (config error)"},
    {OPC_QUALITY_NOT_CONNECTED, "bad (not connected)"},
    {OPC_QUALITY_DEVICE_FAILURE, "bad (device failure)"},
    {OPC_QUALITY_SENSOR_FAILURE, "bad (sensor failure)"},
    {OPC_QUALITY_LAST_KNOWN, "bad (last known)"},
    {OPC_QUALITY_COMM_FAILURE, "bad (comm failure)"},
    {OPC_QUALITY_OUT_OF_SERVICE, "bad (out of service)"},
    {0x20, "bad (waiting for initial data)"},
    {OPC_QUALITY_UNCERTAIN, "uncertain"},
    {OPC_QUALITY_LAST_USABLE, "uncertain (last usable)"},
    {OPC_QUALITY_SENSOR_CAL, "uncertain (sensor cal)"},
    {OPC_QUALITY_EGU_EXCEEDED, "uncertain (egu exceeded)"},
    {OPC_QUALITY_SUB_NORMAL, "uncertain (sub normal)"},
};
const char* const kLimits[] = {"", "low", "high", "constant"};

std::string qualityText(WORD q)
{
    std::string text;
    for (const QualityName& n : kQualities)
        if (n.status == (q & OPC_STATUS_MASK)) text = n.name;
    if (text.empty()) {
        const char* base = (q & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD ? "good"
                           : (q & OPC_QUALITY_MASK) == OPC_QUALITY_UNCERTAIN ? "uncertain" : "bad";
        char buf[48];
        snprintf(buf, sizeof buf, "%s (0x%02X)", base, q & OPC_STATUS_MASK);
        text = buf;
    }
    if (q & OPC_LIMIT_MASK) text += std::string(", ") + kLimits[q & OPC_LIMIT_MASK] + " limited";
    if (q & 0xFF00) text += " (vendor bits 0x" + std::to_string(q >> 8) + ")";
    return text;
}

// Lower case, every run of blanks and of "_()+,-" as one '-', none at the ends.
std::string qualityKey(const std::string& s)
{
    std::string k;
    for (char c : s) {
        if (strchr(" _()+,-", c)) {
            if (!k.empty() && k.back() != '-') k += '-';
        } else {
            k += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
    }
    while (!k.empty() && k.back() == '-') k.pop_back();
    return k;
}

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool parseNumber(const std::string& text, unsigned long max, unsigned long* out)
{
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (errno || *end || v > max) return false;
    *out = v;
    return true;
}

// A number (0xC0, 192) or a name as qualityText prints it, in any case, with '-' or '_' for
// the blanks: "good", "bad-comm-failure", "uncertain (sub normal)"; a limit may follow:
// "good+high", "good, high limited".
bool parseQuality(const std::string& text, WORD* q)
{
    unsigned long n = 0;
    if (parseNumber(text, 0xFFFF, &n)) {
        *q = static_cast<WORD>(n);
        return true;
    }
    std::string key = qualityKey(text);
    WORD limit = 0;
    for (WORD l = 1; l < 4 && !limit; ++l) {
        for (const std::string& tail : {std::string("-") + kLimits[l], std::string("-") + kLimits[l] + "-limited"}) {
            if (endsWith(key, tail)) {
                key.resize(key.size() - tail.size());
                limit = l;
                break;
            }
        }
    }
    for (const QualityName& name : kQualities) {
        if (qualityKey(name.name) == key) {
            *q = static_cast<WORD>(name.status | limit);
            return true;
        }
    }
    return false;
}

// UTC everywhere: 2024-05-02T10:14:07.512Z.
std::string timeText(const FILETIME& ft)
{
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) return "<bad time>";
    char buf[64];
    snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond, st.wMilliseconds);
    return buf;
}

FILETIME nowUtc()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ft;
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

// Codes the system has no text for: a success code's number is no Win32 error (FormatMessage
// calls S_FALSE "Invalid function."), and the OPC codes are the interfaces' own.
#define QV_CODE_NAME(c) {c, #c}
const struct {
    HRESULT hr;
    const char* name;
} kCodeNames[] = {
    QV_CODE_NAME(S_OK), QV_CODE_NAME(S_FALSE), QV_CODE_NAME(OPC_E_INVALIDHANDLE), QV_CODE_NAME(OPC_E_BADTYPE),
    QV_CODE_NAME(OPC_E_PUBLIC), QV_CODE_NAME(OPC_E_BADRIGHTS), QV_CODE_NAME(OPC_E_UNKNOWNITEMID),
    QV_CODE_NAME(OPC_E_INVALIDITEMID), QV_CODE_NAME(OPC_E_INVALIDFILTER), QV_CODE_NAME(OPC_E_UNKNOWNPATH),
    QV_CODE_NAME(OPC_E_RANGE), QV_CODE_NAME(OPC_E_DUPLICATENAME), QV_CODE_NAME(OPC_S_UNSUPPORTEDRATE),
    QV_CODE_NAME(OPC_S_CLAMP), QV_CODE_NAME(OPC_S_INUSE), QV_CODE_NAME(OPC_E_INVALIDCONFIGFILE),
    QV_CODE_NAME(OPC_E_NOTFOUND), QV_CODE_NAME(OPC_E_INVALID_PID), QV_CODE_NAME(OPC_E_DEADBANDNOTSET),
    QV_CODE_NAME(OPC_E_DEADBANDNOTSUPPORTED), QV_CODE_NAME(OPC_E_NOBUFFERING),
    QV_CODE_NAME(OPC_E_INVALIDCONTINUATIONPOINT), QV_CODE_NAME(OPC_S_DATAQUEUEOVERFLOW),
    QV_CODE_NAME(OPC_E_RATENOTSET), QV_CODE_NAME(OPC_E_NOTSUPPORTED), QV_CODE_NAME(OPC_S_ALREADYACKED),
    QV_CODE_NAME(OPC_S_INVALIDBUFFERTIME), QV_CODE_NAME(OPC_S_INVALIDMAXSIZE), QV_CODE_NAME(OPC_E_INVALIDTIME),
    QV_CODE_NAME(OPC_E_BUSY), QV_CODE_NAME(OPC_E_NOINFO),
};
#undef QV_CODE_NAME

// The system's text only (no call to the server).
std::string localErrorText(HRESULT hr)
{
    char code[32];
    snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    for (const auto& c : kCodeNames)
        if (c.hr == hr) return std::string(code) + " " + c.name;
    if (SUCCEEDED(hr) || HRESULT_FACILITY(hr) == FACILITY_ITF) return code;
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
    fprintf(g_trace, "%s CALL %s -> %s\n", timeText(nowUtc()).c_str(), call, localErrorText(hr).c_str());
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

// The time stamp property is a DATE in the server's local time: shown in UTC like every time
// here (converted with this machine's zone, the server's for a local server).
std::string propertyText(DWORD id, const VARIANT* v)
{
    SYSTEMTIME st;
    FILETIME local, utc;
    if (id == 4 && V_VT(v) == VT_DATE && VariantTimeToSystemTime(V_DATE(v), &st) && SystemTimeToFileTime(&st, &local) &&
        LocalFileTimeToFileTime(&local, &utc))
        return timeText(utc);
    return valueText(v);
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
        std::string v = SUCCEEDED(hr) && SUCCEEDED(errors[i]) ? propertyText(ids[i], &values[i])
                                                              : errorText(FAILED(hr) ? hr : errors[i]);
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
    hr = traced("IOPCItemIO::Read", io->Read(n, ptrs.data(), ages.data(), &v, &q, &t, &e));
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

// "now" or the form timeText prints, in UTC: YYYY-MM-DDTHH:MM:SS[.fff][Z].
bool parseTime(const std::string& text, FILETIME* ft)
{
    if (text == "now") {
        *ft = nowUtc();
        return true;
    }
    unsigned y, mo, d, h, mi, s;
    int used = 0;
    if (sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%n", &y, &mo, &d, &h, &mi, &s, &used) != 6) return false;
    const char* rest = text.c_str() + used;
    unsigned ms = 0, scale = 100;
    if (*rest == '.') {
        if (!isdigit(static_cast<unsigned char>(*++rest))) return false;
        for (; isdigit(static_cast<unsigned char>(*rest)); ++rest, scale /= 10) ms += (*rest - '0') * scale;
    }
    if (*rest == 'Z') ++rest;
    if (*rest) return false;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y), st.wMonth = static_cast<WORD>(mo), st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h), st.wMinute = static_cast<WORD>(mi), st.wSecond = static_cast<WORD>(s);
    st.wMilliseconds = static_cast<WORD>(ms);
    return SystemTimeToFileTime(&st, ft) != FALSE;
}

// VALUE as the item's canonical type, converted here (invariant locale, so "1.5" means the same
// on every machine): an array type takes "1,2,3" (or "[1, 2, 3]", as read prints it), one
// element per comma. Unknown type (VT_EMPTY): sent as text for the server to convert.
bool makeWriteValue(const std::string& text, VARTYPE type, VARIANT* out, std::string* why)
{
    VariantInit(out);
    auto convert = [&](const std::string& t, VARTYPE vt, VARIANT* v) {
        VARIANT s;
        VariantInit(&s);
        V_VT(&s) = VT_BSTR;
        V_BSTR(&s) = SysAllocString(wide(t).c_str());
        HRESULT hr = (vt == VT_BSTR || vt == VT_EMPTY || vt == VT_VARIANT)
                         ? VariantCopy(v, &s)
                         : VariantChangeTypeEx(v, &s, LOCALE_INVARIANT, 0, vt);
        VariantClear(&s);
        if (FAILED(hr)) *why = "cannot make \"" + t + "\" a value of type " + std::to_string(vt);
        return SUCCEEDED(hr);
    };
    if (!(type & VT_ARRAY)) return convert(text, type, out);
    const VARTYPE elem = type & VT_TYPEMASK;
    std::string body = text;
    if (body.size() >= 2 && body.front() == '[' && body.back() == ']') body = body.substr(1, body.size() - 2);
    std::vector<std::string> parts;
    for (size_t at = 0; !body.empty();) {
        size_t comma = body.find(',', at);
        std::string part = body.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        while (!part.empty() && part.front() == ' ') part.erase(0, 1);
        while (!part.empty() && part.back() == ' ') part.pop_back();
        parts.push_back(part);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    SAFEARRAY* sa = SafeArrayCreateVector(elem, 0, static_cast<ULONG>(parts.size()));
    if (!sa) {
        *why = "cannot make an array of type " + std::to_string(elem);
        return false;
    }
    for (LONG i = 0; i < static_cast<LONG>(parts.size()); ++i) {
        VARIANT e;
        VariantInit(&e);
        if (!convert(parts[i], elem, &e)) {
            SafeArrayDestroy(sa);
            return false;
        }
        // BSTR elements go in by value, VARIANT elements as the VARIANT, the rest by address.
        void* pv = elem == VT_VARIANT ? static_cast<void*>(&e)
                   : elem == VT_BSTR  ? static_cast<void*>(V_BSTR(&e))
                                      : static_cast<void*>(&V_UI1(&e));
        HRESULT hr = SafeArrayPutElement(sa, &i, pv);
        VariantClear(&e);
        if (FAILED(hr)) {
            SafeArrayDestroy(sa);
            *why = "cannot store element " + std::to_string(i);
            return false;
        }
    }
    V_VT(out) = type;
    V_ARRAY(out) = sa;
    return true;
}

// The canonical type of an item by its ID (property 1), VT_EMPTY when the server does not say.
VARTYPE canonicalType(IOPCServer* server, const std::string& name)
{
    Ptr<IOPCItemProperties> p;
    if (FAILED(traced("IOPCServer::QueryInterface", server->QueryInterface(IID_IOPCItemProperties, p.out()))))
        return VT_EMPTY;
    std::wstring id = wide(name);
    DWORD pid = 1;
    VARIANT* v = nullptr;
    HRESULT* e = nullptr;
    VARTYPE vt = VT_EMPTY;
    if (SUCCEEDED(traced("IOPCItemProperties::GetItemProperties", p->GetItemProperties(&id[0], 1, &pid, &v, &e)))) {
        if (SUCCEEDED(e[0]) && V_VT(&v[0]) == VT_I2) vt = static_cast<VARTYPE>(V_I2(&v[0]));
        VariantClear(&v[0]);
        CoTaskMemFree(v);
        CoTaskMemFree(e);
    }
    return vt;
}

// Value with quality and/or time stamp through IOPCItemIO::WriteVQT.
int cmdWriteVQT(IOPCServer* server, const std::string& name, const std::string& value, const std::string& quality,
                const std::string& time)
{
    Ptr<IOPCItemIO> io;
    HRESULT hr = server->QueryInterface(IID_IOPCItemIO, io.out());
    if (FAILED(hr)) return fail("the server does not offer IOPCItemIO (--quality/--time)", hr);
    OPCITEMVQT vqt{};
    // Checked by main before connecting.
    if (!quality.empty()) vqt.bQualitySpecified = parseQuality(quality, &vqt.wQuality);
    if (!time.empty()) vqt.bTimeStampSpecified = parseTime(time, &vqt.ftTimeStamp);
    std::string why;
    if (!makeWriteValue(value, canonicalType(server, name), &vqt.vDataValue, &why)) return fail(name + ": " + why, E_INVALIDARG);
    std::wstring id = wide(name);
    LPCWSTR pid = id.c_str();
    HRESULT* errors = nullptr;
    hr = traced("IOPCItemIO::WriteVQT", io->WriteVQT(1, &pid, &vqt, &errors));
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
    std::string why;
    if (!makeWriteValue(value, it.types[0], &v, &why)) return fail(name + ": " + why, E_INVALIDARG);
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
    HRESULT STDMETHODCALLTYPE OnEvent(OPCHANDLE, BOOL refresh, BOOL last, DWORD count, ONEVENTSTRUCT* ev) override
    {
        std::lock_guard<std::mutex> g(g_printMutex);
        for (DWORD i = 0; i < count; ++i) {
            const ONEVENTSTRUCT& e = ev[i];
            if (quiet) {
                if (refresh) found.push_back({narrow(e.szSource), narrow(e.szConditionName), e.ftActiveTime, e.dwCookie});
                continue;
            }
            std::string state;
            if (e.dwEventType == OPC_CONDITION_EVENT)
                state = std::string("  [") + (e.wNewState & OPC_CONDITION_ACTIVE ? "active" : "inactive") +
                        ((e.wNewState & OPC_CONDITION_ACKED) || !e.bAckRequired ? "" : ", unacknowledged") +
                        (e.wChangeMask == OPC_CHANGE_ACK_STATE ? ", acknowledged by " + narrow(e.szActorID) : "") + "]";
            printf("%s%s  %s  %s / %s  severity %lu  %s%s\n", refresh ? "(refresh) " : "", timeText(e.ftTime).c_str(),
                   narrow(e.szSource).c_str(), narrow(e.szConditionName).c_str(), narrow(e.szSubconditionName).c_str(),
                   e.dwSeverity, narrow(e.szMessage).c_str(), state.c_str());
        }
        if (refresh && last) {
            ++refreshesDone;
            if (!quiet) printf("(refresh complete)\n");
        }
        fflush(stdout);
        return S_OK;
    }

    struct Activation {
        std::string source, condition;
        FILETIME activeTime;
        DWORD cookie;
    };
    bool quiet = false;           // ack: collect the refresh, print nothing
    std::vector<Activation> found; // under g_printMutex
    std::atomic<int> refreshesDone{0};

private:
    std::atomic<ULONG> refs_{1};
};

// A subscription with the sink advised on it.
struct EventSession {
    Ptr<IOPCEventServer> es;
    Ptr<IUnknown> sub;
    Ptr<IConnectionPoint> cp;
    DWORD cookie = 0;
    HRESULT open(IOPCServer* server, EventSink* sink)
    {
        HRESULT hr = traced("IOPCServer::QueryInterface", server->QueryInterface(IID_IOPCEventServer, es.out()));
        if (FAILED(hr)) { fail("the server does not offer alarms and events", hr); return hr; }
        DWORD bt = 0, ms = 0;
        hr = traced("IOPCEventServer::CreateEventSubscription", es->CreateEventSubscription(TRUE, 0, 0, 1, IID_IUnknown, sub.pp(), &bt, &ms));
        if (FAILED(hr)) { fail("CreateEventSubscription", hr); return hr; }
        Ptr<IConnectionPointContainer> cpc;
        hr = traced("IUnknown::QueryInterface", sub->QueryInterface(IID_IConnectionPointContainer, cpc.out()));
        if (FAILED(hr)) { fail("the subscription offers no connection point", hr); return hr; }
        hr = traced("IConnectionPointContainer::FindConnectionPoint", cpc->FindConnectionPoint(IID_IOPCEventSink, cp.pp()));
        if (FAILED(hr)) { fail("FindConnectionPoint", hr); return hr; }
        hr = traced("IConnectionPoint::Advise", cp->Advise(sink, &cookie));
        if (FAILED(hr)) { fail("Advise", hr); return hr; }
        return S_OK;
    }
    HRESULT refresh()
    {
        Ptr<IOPCEventSubscriptionMgt> mgt;
        HRESULT hr = traced("IUnknown::QueryInterface", sub->QueryInterface(IID_IOPCEventSubscriptionMgt, mgt.out()));
        if (SUCCEEDED(hr)) hr = traced("IOPCEventSubscriptionMgt::Refresh", mgt->Refresh(cookie));
        if (FAILED(hr)) fail("Refresh", hr);
        return hr;
    }
    // Only events of these severities, areas and sources (empty: any).
    HRESULT filter(DWORD low, DWORD high, const std::string& area, const std::string& source)
    {
        Ptr<IOPCEventSubscriptionMgt> mgt;
        HRESULT hr = traced("IUnknown::QueryInterface", sub->QueryInterface(IID_IOPCEventSubscriptionMgt, mgt.out()));
        std::wstring a = wide(area), s = wide(source);
        LPWSTR areas[1] = {&a[0]}, sources[1] = {&s[0]};
        DWORD noCategory = 0;
        if (SUCCEEDED(hr))
            hr = traced("IOPCEventSubscriptionMgt::SetFilter",
                        mgt->SetFilter(OPC_ALL_EVENTS, 0, &noCategory, low, high, area.empty() ? 0 : 1, areas,
                                       source.empty() ? 0 : 1, sources));
        if (FAILED(hr)) fail("SetFilter", hr);
        return hr;
    }
    void close() { if (cp.get()) traced("IConnectionPoint::Unadvise", cp->Unadvise(cookie)); }
};

struct EventFilterOptions {
    bool any = false;
    DWORD low = 1, high = 1000;
    std::string area, source;
};

int cmdEvents(IOPCServer* server, int seconds, bool refresh, const EventFilterOptions& f)
{
    EventSink sink;
    EventSession session;
    if (FAILED(session.open(server, &sink))) return 1;
    if (f.any && FAILED(session.filter(f.low, f.high, f.area, f.source))) return 1;
    if (refresh && FAILED(session.refresh())) return 1;
    printf("listening for events for %d s\n", seconds);
    fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    session.close();
    return 0;
}

// Areas and sources of the event server below PATH (the root when empty), one per line.
int cmdAreas(IOPCServer* server, const std::string& path)
{
    Ptr<IOPCEventServer> es;
    HRESULT hr = traced("IOPCServer::QueryInterface", server->QueryInterface(IID_IOPCEventServer, es.out()));
    if (FAILED(hr)) return fail("the server does not offer alarms and events", hr);
    Ptr<IOPCEventAreaBrowser> b;
    hr = traced("IOPCEventServer::CreateAreaBrowser",
                es->CreateAreaBrowser(IID_IOPCEventAreaBrowser, reinterpret_cast<IUnknown**>(b.pp())));
    if (FAILED(hr)) return fail("CreateAreaBrowser", hr);
    if (!path.empty()) {
        std::wstring w = wide(path);
        hr = traced("IOPCEventAreaBrowser::ChangeBrowsePosition", b->ChangeBrowsePosition(OPCAE_BROWSE_TO, w.c_str()));
        if (FAILED(hr)) return fail("ChangeBrowsePosition", hr);
    }
    for (OPCAEBROWSETYPE type : {OPC_AREA, OPC_SOURCE}) {
        Ptr<IEnumString> en;
        hr = traced("IOPCEventAreaBrowser::BrowseOPCAreas", b->BrowseOPCAreas(type, L"", en.pp()));
        if (FAILED(hr)) return fail("BrowseOPCAreas", hr);
        if (!en.get()) continue;
        LPOLESTR name = nullptr;
        ULONG got = 0;
        while (en->Next(1, &name, &got) == S_OK && got == 1) {
            printf("%s %s\n", type == OPC_AREA ? "area  " : "source", narrow(name).c_str());
            CoTaskMemFree(name);
        }
    }
    return 0;
}

int cmdAck(IOPCServer* server, const std::string& source, const std::string& condition, const std::string& comment)
{
    EventSink sink;
    sink.quiet = true;
    EventSession session;
    if (FAILED(session.open(server, &sink)) || FAILED(session.refresh())) return 1;
    for (int waited = 0; sink.refreshesDone == 0 && waited < 10000; waited += 50) Sleep(50);
    session.close();
    std::vector<EventSink::Activation> found;
    {
        std::lock_guard<std::mutex> g(g_printMutex);
        found = sink.found;
    }
    const EventSink::Activation* a = nullptr;
    for (const EventSink::Activation& x : found)
        if (x.source == source && x.condition == condition) a = &x;
    if (!a) {
        fprintf(stderr, "qvopc: %s / %s is neither active nor waiting for acknowledgement\n", source.c_str(), condition.c_str());
        return 2;
    }
    std::wstring src = wide(source), cond = wide(condition), who = L"qvopc", text = wide(comment);
    LPWSTR ps = &src[0], pc = &cond[0];
    FILETIME t = a->activeTime;
    DWORD cookie = a->cookie;
    HRESULT* errors = nullptr;
    HRESULT hr = traced("IOPCEventServer::AckCondition",
                        session.es->AckCondition(1, &who[0], &text[0], &ps, &pc, &t, &cookie, &errors));
    if (FAILED(hr)) return fail("AckCondition", hr);
    HRESULT e = errors[0];
    CoTaskMemFree(errors);
    printf("%s / %s: %s\n", source.c_str(), condition.c_str(),
           e == S_OK ? "acknowledged" : errorText(e).c_str());
    return FAILED(e) ? 1 : 0;
}

const char kUsage[] =
    "usage: qvopc [--server PROGID] [--node HOST] [--trace FILE] COMMAND [ARGS] [OPTIONS]\n"
    "  status\n"
    "  browse [PATH] [--flat] [--filter PATTERN] [--da2]\n"
    "  props ITEM\n"
    "  read ITEM... [--device | --max-age MS]\n"
    "  write ITEM VALUE [--quality Q] [--time now|YYYY-MM-DDTHH:MM:SS[.fff][Z]]\n"
    "  watch ITEM... [--rate MS] [--da1 | --keepalive MS] [--seconds N]\n"
    "  events [--seconds N] [--refresh] [--severity LO-HI] [--area PATH] [--source PATTERN]\n"
    "  areas [PATH]\n"
    "  ack SOURCE CONDITION [--comment TEXT]\n"
    "  servers [--node HOST] [--da1 | --da2 | --da3 | --ae]\n"
    "VALUE takes the item's type; an array item takes 1,2,3. Q is a number (0xC0) or a name:\n"
    "good, bad, uncertain, or one with its sub-status as read prints it (bad-comm-failure,\n"
    "uncertain-sub-normal, good-local-override, ...), optionally +low, +high or +constant.\n"
    "Times are UTC. --server defaults to QvSrvKit.Demo; --trace FILE logs every COM call.\n";

int usage(const std::string& why)
{
    if (!why.empty()) fprintf(stderr, "qvopc: %s\n", why.c_str());
    fputs(kUsage, stderr);
    return 2;
}

// Every option; those not global belong to the commands that list them.
struct OptionInfo {
    const char* name;
    bool takesValue;
};
const OptionInfo kOptions[] = {
    {"--server", true}, {"--node", true},     {"--trace", true},   {"--flat", false},     {"--filter", true},
    {"--da2", false},   {"--device", false},  {"--max-age", true}, {"--quality", true},   {"--time", true},
    {"--rate", true},   {"--da1", false},     {"--seconds", true}, {"--keepalive", true}, {"--refresh", false},
    {"--comment", true}, {"--severity", true}, {"--area", true}, {"--source", true},
};
const char kGlobalOptions[] = "--server --node --trace";

struct CommandInfo {
    const char* name;
    const char* options; // the options it takes beside the global ones
    size_t minArgs, maxArgs;
};
const size_t kAny = static_cast<size_t>(-1);
const CommandInfo kCommands[] = {
    {"status", "", 0, 0},
    {"browse", "--flat --filter --da2", 0, 1},
    {"props", "", 1, 1},
    {"read", "--device --max-age", 1, kAny},
    {"write", "--quality --time", 2, 2},
    {"watch", "--rate --da1 --seconds --keepalive", 1, kAny},
    {"events", "--seconds --refresh --severity --area --source", 0, 0},
    {"areas", "", 0, 1},
    {"ack", "--comment", 2, 2},
};
// Options that exclude each other.
const char* const kExclusive[][2] = {{"--device", "--max-age"}, {"--da1", "--keepalive"}};

bool listed(const char* list, const std::string& name)
{
    return (std::string(" ") + list + " ").find(" " + name + " ") != std::string::npos;
}

struct Options {
    std::string progId = "QvSrvKit.Demo", node, tracePath, filter, quality, time;
    bool flat = false, device = false, da1 = false, da2 = false, refresh = false;
    std::string comment, area, source;
    DWORD lowSeverity = 1, highSeverity = 1000;
    DWORD maxAge = 0, keepAlive = 0, rate = 500;
    int seconds = 10;
    std::vector<std::string> given;
    bool has(const char* name) const
    {
        for (const std::string& g : given)
            if (g == name) return true;
        return false;
    }
};

// One option's value into opts; false with the reason when it cannot be used.
bool setOption(Options& o, const std::string& name, const std::string& value, std::string* why)
{
    unsigned long n = 0;
    auto number = [&](unsigned long max) {
        if (parseNumber(value, max, &n)) return true;
        *why = name + " takes a number, not \"" + value + "\"";
        return false;
    };
    if (name == "--server") o.progId = value;
    else if (name == "--node") o.node = value;
    else if (name == "--trace") o.tracePath = value;
    else if (name == "--filter") o.filter = value;
    else if (name == "--flat") o.flat = true;
    else if (name == "--da2") o.da2 = true;
    else if (name == "--device") o.device = true;
    else if (name == "--da1") o.da1 = true;
    else if (name == "--refresh") o.refresh = true;
    else if (name == "--comment") o.comment = value;
    else if (name == "--area") o.area = value;
    else if (name == "--source") o.source = value;
    else if (name == "--severity") {
        unsigned long lo = 0, hi = 0;
        const size_t dash = value.find('-');
        if (dash == std::string::npos || !parseNumber(value.substr(0, dash), 1000, &lo) ||
            !parseNumber(value.substr(dash + 1), 1000, &hi) || lo > hi) {
            *why = "--severity takes LO-HI (1 to 1000), not \"" + value + "\"";
            return false;
        }
        o.lowSeverity = lo;
        o.highSeverity = hi;
    }
    else if (name == "--max-age") { if (!number(0xFFFFFFFFul)) return false; o.maxAge = n; }
    else if (name == "--rate") { if (!number(0xFFFFFFFFul)) return false; o.rate = n; }
    else if (name == "--keepalive") { if (!number(0xFFFFFFFFul)) return false; o.keepAlive = n; }
    else if (name == "--seconds") { if (!number(24 * 3600)) return false; o.seconds = static_cast<int>(n); }
    else if (name == "--quality") {
        WORD q = 0;
        if (!parseQuality(value, &q)) {
            *why = "--quality takes a number or a quality name (good, bad, uncertain, bad-comm-failure, ...), not \"" +
                   value + "\"";
            return false;
        }
        o.quality = value;
    } else if (name == "--time") {
        FILETIME ft;
        if (!parseTime(value, &ft)) {
            *why = "--time takes now or YYYY-MM-DDTHH:MM:SS[.fff][Z] (UTC), not \"" + value + "\"";
            return false;
        }
        o.time = value;
    }
    return true;
}

// The command line, checked whole before any server is asked: 0 to go on, else the exit code.
int parseCommandLine(int argc, char** argv, Options& o, std::string& cmd, std::vector<std::string>& args)
{
    std::string why;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h" || a == "-?" || a == "/?" || (cmd.empty() && a == "help")) {
            fputs(kUsage, stdout);
            return -1;
        }
        if (a.size() > 2 && a.compare(0, 2, "--") == 0) {
            const OptionInfo* known = nullptr;
            for (const OptionInfo& s : kOptions)
                if (a == s.name) known = &s;
            if (!known) return usage("unknown option " + a);
            if (known->takesValue && i + 1 >= argc) return usage(a + " needs a value");
            if (!setOption(o, a, known->takesValue ? argv[++i] : "", &why)) return usage(why);
            o.given.push_back(a);
        } else if (cmd.empty()) {
            cmd = a;
        } else {
            args.push_back(a);
        }
    }
    if (cmd.empty()) return usage("no command");
    const CommandInfo* c = nullptr;
    for (const CommandInfo& s : kCommands)
        if (cmd == s.name) c = &s;
    if (!c) return usage("unknown command " + cmd);
    if (args.size() < c->minArgs || args.size() > c->maxArgs)
        return usage(cmd + (args.size() < c->minArgs ? ": too few arguments" : ": too many arguments"));
    for (const std::string& g : o.given)
        if (!listed(kGlobalOptions, g) && !listed(c->options, g)) return usage(g + " does not apply to " + cmd);
    for (const auto& pair : kExclusive)
        if (o.has(pair[0]) && o.has(pair[1]))
            return usage(std::string(pair[0]) + " and " + pair[1] + " do not go together");
    return 0;
}

int runCommand(IOPCServer* server, const std::string& cmd, const std::vector<std::string>& args, const Options& o)
{
    if (cmd == "status") return cmdStatus(server);
    if (cmd == "browse") return cmdBrowse(server, args.empty() ? "" : args[0], o.flat, o.filter, o.da2);
    if (cmd == "props") return cmdProps(server, args[0]);
    if (cmd == "read") return o.has("--max-age") ? cmdReadMaxAge(server, args, o.maxAge) : cmdRead(server, args, o.device);
    if (cmd == "write")
        return o.quality.empty() && o.time.empty() ? cmdWrite(server, args[0], args[1])
                                                   : cmdWriteVQT(server, args[0], args[1], o.quality, o.time);
    if (cmd == "watch") return cmdWatch(server, args, o.rate, o.da1, o.seconds, o.keepAlive);
    if (cmd == "events") {
        EventFilterOptions f;
        f.any = o.has("--severity") || o.has("--area") || o.has("--source");
        f.low = o.lowSeverity, f.high = o.highSeverity, f.area = o.area, f.source = o.source;
        return cmdEvents(server, o.seconds, o.refresh, f);
    }
    if (cmd == "areas") return cmdAreas(server, args.empty() ? "" : args[0]);
    if (cmd == "ack") return cmdAck(server, args[0], args[1], o.comment);
    return usage("unknown command " + cmd);
}

} // namespace

int runServersCommand(int argc, char** argv); // servers.cpp: -1 when not that command

int main(int argc, char** argv)
{
    // servers has its own options and asks the server browser, not a server.
    if (int rc = runServersCommand(argc, argv); rc >= 0) return rc;
    Options o;
    std::string cmd;
    std::vector<std::string> args;
    if (int rc = parseCommandLine(argc, argv, o, cmd, args)) return rc < 0 ? 0 : rc;
    if (!o.tracePath.empty() && !(g_trace = fopen(o.tracePath.c_str(), "a"))) {
        fprintf(stderr, "qvopc: cannot open %s\n", o.tracePath.c_str());
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int rc;
    {
        Ptr<IOPCServer> server;
        HRESULT hr = connect(o.progId, o.node, server);
        if (FAILED(hr)) {
            fprintf(stderr, "qvopc: cannot connect to %s: %s\n", o.progId.c_str(), errorText(hr).c_str());
            CoUninitialize();
            return 1;
        }
        rc = runCommand(server.get(), cmd, args, o);
        g_server = nullptr;
    }
    fflush(stdout);
    CoUninitialize();
    if (g_trace) fclose(g_trace);
    return rc;
}
