// qvopc's Data Access commands: status, browse, props, read, write, watch.
#include <ocidl.h>
#include <olectl.h>
#include <cstring>
#include <mutex>
#include "QvopcTool.h"

namespace qvopc {

std::mutex g_printMutex;

namespace {

// A client handle's item name (qvopc gives each item its index as client handle).
std::string nameOf(const std::vector<std::string>& names, OPCHANDLE h)
{
    return h < names.size() ? names[h] : std::to_string(h);
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
    return kOk;
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
int browse3(IOPCBrowse* b, const std::wstring& id, bool flat, const std::wstring& filter)
{
    std::vector<Element> all, matching;
    HRESULT hr = browseAll(b, id, OPC_BROWSE_FILTER_ALL, L"", all);
    if (SUCCEEDED(hr) && !filter.empty()) hr = browseAll(b, id, OPC_BROWSE_FILTER_ITEMS, filter, matching);
    if (FAILED(hr)) return fail("browse " + narrow(id.c_str()), hr);
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
            if (e.flags & OPC_BROWSE_HASCHILDREN)
                if (int rc = browse3(b, wide(e.itemId), true, filter)) return rc;
        } else if (e.flags & OPC_BROWSE_HASCHILDREN) {
            printf("+ %s\n", e.name.c_str());
        }
    }
    if (!flat)
        for (const Element& e : all)
            if (passes(e)) printf("  %s\n", e.name.c_str());
    return kOk;
}

int cmdBrowse(IOPCServer* server, const std::string& path, bool flat, const std::string& filter, bool da2)
{
    Ptr<IOPCBrowse> b3;
    if (!da2 && SUCCEEDED(server->QueryInterface(IID_IOPCBrowse, b3.out())))
        return browse3(b3.get(), wide(path), flat, wide(filter));

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
        return kOk;
    }
    hr = traced("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs", b->BrowseOPCItemIDs(OPC_BRANCH, L"", VT_EMPTY, 0, en.pp()));
    if (FAILED(hr)) return fail("browse", hr);
    if (en) printStrings(en.get(), "+ ");
    hr = traced("IOPCBrowseServerAddressSpace::BrowseOPCItemIDs", b->BrowseOPCItemIDs(OPC_LEAF, f.c_str(), VT_EMPTY, 0, en.pp()));
    if (FAILED(hr)) return fail("browse", hr);
    if (en) printStrings(en.get(), "  ");
    return kOk;
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
    return FAILED(hr) ? exitCodeFor(hr) : kOk;
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
            printItemError(names[i], e[i]);
            rc = kItemsFailed;
        } else {
            printValue(t[i], names[i], valueText(&v[i]), q[i]);
        }
        VariantClear(&v[i]);
    }
    CoTaskMemFree(v), CoTaskMemFree(q), CoTaskMemFree(t), CoTaskMemFree(e);
    return rc;
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

class DataSink : public StackSink<IOPCDataCallback, IID_IOPCDataCallback> {
public:
    explicit DataSink(const std::vector<std::string>& names) : names_(names) {}
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* h, VARIANT* v,
                                           WORD* q, FILETIME* t, HRESULT* e) override
    {
        if (!printChanges) return S_OK;
        std::lock_guard<std::mutex> g(g_printMutex);
        for (DWORD i = 0; i < count; ++i) {
            const std::string name = nameOf(names_, h[i]);
            if (FAILED(e[i])) printf("%s  %s  error %s\n", timeText(t[i]).c_str(), name.c_str(), errorText(e[i]).c_str());
            else printValue(t[i], name, valueText(&v[i]), q[i]);
        }
        if (count == 0) {
            printf("%s  keep-alive\n", timeText(nowUtc()).c_str());
            ++keepAlives;
        }
        fflush(stdout);
        changes += count;
        return S_OK;
    }
    // An asynchronous read's completion: printed as read prints.
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* h, VARIANT* v,
                                             WORD* q, FILETIME* t, HRESULT* e) override
    {
        {
            std::lock_guard<std::mutex> g(g_printMutex);
            for (DWORD i = 0; i < count; ++i) {
                const std::string name = nameOf(names_, h[i]);
                if (FAILED(e[i])) {
                    printItemError(name, e[i]);
                    ++failed;
                } else {
                    printValue(t[i], name, valueText(&v[i]), q[i]);
                }
            }
            fflush(stdout);
        }
        SetEvent(done);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD count, OPCHANDLE*, HRESULT* e) override
    {
        writeResult = count ? e[0] : E_FAIL;
        SetEvent(done);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override
    {
        cancelled = true;
        SetEvent(done);
        return S_OK;
    }
    std::atomic<unsigned long> changes{0}, keepAlives{0};
    bool printChanges = true;
    // Asynchronous completions: set when one came.
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<unsigned long> failed{0};
    std::atomic<HRESULT> writeResult{S_OK};
    std::atomic<bool> cancelled{false};
    // A server that went without Unadvise leaves a stub holding the sink: it lets go now,
    // while the sink still lives, not at CoUninitialize.
    ~DataSink()
    {
        CoDisconnectObject(this, 0);
        CloseHandle(done);
    }

private:
    std::vector<std::string> names_;
};

// DA 1.0 subscription: IAdviseSink receiving the "OPCSTMFORMATDATATIME" stream.
class StreamSink : public StackSink<IAdviseSink, IID_IAdviseSink> {
public:
    explicit StreamSink(const std::vector<std::string>& names) : names_(names)
    {
        format_ = RegisterClipboardFormatA("OPCSTMFORMATDATATIME");
    }
    ~StreamSink() { CoDisconnectObject(this, 0); } // as ~DataSink
    CLIPFORMAT format() const { return static_cast<CLIPFORMAT>(format_); }
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
            } else if ((V_VT(&v) & VT_ARRAY) && !(V_VT(&v) & VT_BYREF)) {
                V_ARRAY(&v) = readArray(p, size, ih->dwValueOffset + kValueBytes, V_VT(&v) & VT_TYPEMASK);
                if (!V_ARRAY(&v)) V_VT(&v) = VT_EMPTY;
                text = valueText(&v);
                VariantClear(&v);
            } else {
                text = valueText(&v);
            }
            printValue(ih->ftTimeStampItem, nameOf(names_, ih->hClient), text, ih->wQuality);
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
    // A one-dimensional array after its VARIANT: the descriptor (dimensions, features, element
    // size, locks, data pointer), its bounds, then the elements (a string as its byte count,
    // text and terminating null). Null when it does not fit in the block or is not one such.
    static SAFEARRAY* readArray(const BYTE* p, SIZE_T size, size_t at, VARTYPE element)
    {
        if (at + 24 > size) return nullptr;
        WORD dims = 0;
        DWORD elementBytes = 0, count = 0, lbound = 0;
        memcpy(&dims, p + at, 2);
        memcpy(&elementBytes, p + at + 4, 4);
        memcpy(&count, p + at + 16, 4);
        memcpy(&lbound, p + at + 20, 4);
        at += 24;
        if (dims != 1 || element == VT_VARIANT) return nullptr;
        if (element != VT_BSTR && (elementBytes > 8 || at + static_cast<size_t>(count) * elementBytes > size))
            return nullptr;
        SAFEARRAY* sa = SafeArrayCreateVector(element, static_cast<LONG>(lbound), count);
        if (!sa || count == 0) return sa;
        if (element != VT_BSTR) {
            if (elementBytes != sa->cbElements) {
                SafeArrayDestroy(sa);
                return nullptr;
            }
            memcpy(sa->pvData, p + at, static_cast<size_t>(count) * elementBytes);
            return sa;
        }
        BSTR* out = static_cast<BSTR*>(sa->pvData);
        for (DWORD i = 0; i < count; ++i) {
            DWORD bytes = 0;
            if (at + 4 > size) break;
            memcpy(&bytes, p + at, 4);
            if (at + 4 + bytes + 2 > size) break;
            out[i] = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(p + at + 4), bytes / 2);
            at += 4 + bytes + 2;
        }
        return sa;
    }

    std::vector<std::string> names_;
    UINT format_;
};

int cmdWatch(IOPCServer* server, const std::vector<std::string>& names, const Options& o)
{
    const DWORD rate = o.rate, keepAlive = o.keepAlive;
    const bool da1 = o.da1;
    const int seconds = o.seconds;
    ShutdownWatch shutdown;
    shutdown.start(server);
    Items it;
    HRESULT hr = addItems(server, names, rate, TRUE, it, o.deadband);
    if (FAILED(hr)) return it.failed ? kItemsFailed : fail("AddItems", hr);
    // Client handles are positions in the command's list.
    DataSink sink(names);
    StreamSink streamSink(names);
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
    char deadband[48] = "";
    if (o.has("--deadband")) snprintf(deadband, sizeof deadband, ", deadband %g%%", o.deadband);
    printf("watching %zu item(s) every %lu ms%s for %d s (%s)\n", it.names.size(), rate, deadband, seconds,
           da1 ? "DA 1.0" : "DA 2.0");
    fflush(stdout);
    if (int rc = shutdown.wait(seconds)) return rc;
    hr = da1 ? traced("IDataObject::DUnadvise", dobj->DUnadvise(cookie))
             : traced("IConnectionPoint::Unadvise", cp->Unadvise(cookie));
    if (int rc = shutdown.ended(hr)) return rc;
    unsigned long n = da1 ? streamSink.changes.load() : sink.changes.load();
    printf("%lu change(s) received\n", n);
    if (keepAlive) {
        printf("%lu keep-alive callback(s) received\n", sink.keepAlives.load());
        n += sink.keepAlives.load();
    }
    if (n == 0) fprintf(stderr, "qvopc: no change received\n");
    return n == 0 || it.failed ? kItemsFailed : kOk;
}

// A success code as the write reports it.
std::string successText(HRESULT hr)
{
    if (hr == S_OK) return "ok";
    if (hr == OPC_S_CLAMP) return "clamped (OPC_S_CLAMP)";
    return "ok with " + errorText(hr);
}

// The value the server kept, read back from its cache ("" when it cannot be read).
std::string keptValue(IOPCSyncIO* io, OPCHANDLE h)
{
    OPCITEMSTATE* st = nullptr;
    HRESULT* e = nullptr;
    if (FAILED(traced("IOPCSyncIO::Read", io->Read(OPC_DS_CACHE, 1, &h, &st, &e)))) return "";
    const std::string text = SUCCEEDED(e[0]) ? valueText(&st[0].vDataValue) : "";
    VariantClear(&st[0].vDataValue);
    CoTaskMemFree(st);
    CoTaskMemFree(e);
    return text;
}

// Prints a write's result and what the server kept; the exit code of it.
int reportWrite(const std::string& name, const std::string& value, HRESULT e, const std::string& kept)
{
    if (FAILED(e)) return fail(name, e);
    printf("%s <- %s: %s%s\n", name.c_str(), value.c_str(), successText(e).c_str(),
           kept.empty() ? "" : ("; the server keeps " + kept).c_str());
    return kOk;
}

// Value with quality and/or time stamp through IOPCItemIO::WriteVQT, read back through it too.
int cmdWriteVQT(IOPCServer* server, const std::string& name, const std::string& value, const std::string& quality,
                const std::string& time)
{
    Ptr<IOPCItemIO> io;
    HRESULT hr = server->QueryInterface(IID_IOPCItemIO, io.out());
    if (FAILED(hr)) return fail("the server does not offer IOPCItemIO (--quality/--time)", hr);
    OPCITEMVQT vqt{};
    // Checked when the command line was read.
    if (!quality.empty()) vqt.bQualitySpecified = parseQuality(quality, &vqt.wQuality);
    if (!time.empty()) vqt.bTimeStampSpecified = parseTime(time, &vqt.ftTimeStamp);
    std::string why;
    if (!makeWriteValue(value, canonicalType(server, name), &vqt.vDataValue, &why))
        return fail(name + ": " + why, E_INVALIDARG);
    std::wstring id = wide(name);
    LPCWSTR pid = id.c_str();
    HRESULT* errors = nullptr;
    hr = traced("IOPCItemIO::WriteVQT", io->WriteVQT(1, &pid, &vqt, &errors));
    VariantClear(&vqt.vDataValue);
    if (FAILED(hr)) return fail("WriteVQT", hr);
    const HRESULT e = errors[0];
    CoTaskMemFree(errors);
    std::string kept;
    DWORD cacheOnly = 0xFFFFFFFF;
    VARIANT* v = nullptr;
    WORD* q = nullptr;
    FILETIME* t = nullptr;
    HRESULT* re = nullptr;
    if (SUCCEEDED(e) && SUCCEEDED(traced("IOPCItemIO::Read", io->Read(1, &pid, &cacheOnly, &v, &q, &t, &re)))) {
        if (SUCCEEDED(re[0])) kept = valueText(&v[0]);
        VariantClear(&v[0]);
        CoTaskMemFree(v), CoTaskMemFree(q), CoTaskMemFree(t), CoTaskMemFree(re);
    }
    return reportWrite(name, value, e, kept);
}

int cmdRead(IOPCServer* server, const std::vector<std::string>& names, bool device)
{
    Items it;
    HRESULT hr = addItems(server, names, 1000, TRUE, it);
    if (FAILED(hr)) return it.failed ? kItemsFailed : fail("AddItems", hr);
    Ptr<IOPCSyncIO> io;
    hr = traced("IUnknown::QueryInterface", it.group->QueryInterface(IID_IOPCSyncIO, io.out()));
    if (FAILED(hr)) return fail("the group does not offer IOPCSyncIO", hr);
    OPCITEMSTATE* states = nullptr;
    HRESULT* errors = nullptr;
    hr = traced("IOPCSyncIO::Read", io->Read(device ? OPC_DS_DEVICE : OPC_DS_CACHE, static_cast<DWORD>(it.handles.size()),
                                             it.handles.data(), &states, &errors));
    if (FAILED(hr)) return fail("Read", hr);
    int rc = it.failed ? kItemsFailed : kOk;
    for (size_t i = 0; i < it.handles.size(); ++i) {
        if (FAILED(errors[i])) {
            printItemError(it.names[i], errors[i]);
            rc = kItemsFailed;
        } else {
            printValue(states[i].ftTimeStamp, it.names[i], valueText(&states[i].vDataValue), states[i].wQuality);
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
    if (FAILED(hr)) return it.failed ? kItemsFailed : fail("AddItems", hr);
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
    const HRESULT e = errors[0];
    CoTaskMemFree(errors);
    return reportWrite(name, value, e, SUCCEEDED(e) ? keptValue(io.get(), it.handles[0]) : "");
}

// read --async / write --async: through IOPCAsyncIO2, the results from the group's callback;
// --cancel asks Cancel2 right after the request.
int cmdAsync(IOPCServer* server, const std::vector<std::string>& names, const std::string* value, bool cancel)
{
    Items it;
    HRESULT hr = addItems(server, names, 1000, TRUE, it);
    if (FAILED(hr)) return it.failed ? kItemsFailed : fail("AddItems", hr);
    DataSink sink(names);
    sink.printChanges = false;
    Ptr<IConnectionPointContainer> cpc;
    Ptr<IConnectionPoint> cp;
    DWORD cookie = 0;
    hr = traced("IUnknown::QueryInterface", it.group->QueryInterface(IID_IConnectionPointContainer, cpc.out()));
    if (SUCCEEDED(hr))
        hr = traced("IConnectionPointContainer::FindConnectionPoint",
                    cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.pp()));
    if (SUCCEEDED(hr)) hr = traced("IConnectionPoint::Advise", cp->Advise(&sink, &cookie));
    if (FAILED(hr)) return fail("the group's data callback", hr);
    Ptr<IOPCAsyncIO2> io;
    hr = traced("IUnknown::QueryInterface", it.group->QueryInterface(IID_IOPCAsyncIO2, io.out()));
    if (FAILED(hr)) return fail("the group does not offer IOPCAsyncIO2", hr);
    const DWORD n = static_cast<DWORD>(it.handles.size());
    DWORD cancelId = 0;
    HRESULT* errors = nullptr;
    VARIANT v;
    VariantInit(&v);
    if (value) {
        std::string why;
        if (!makeWriteValue(*value, it.types[0], &v, &why)) return fail(names[0] + ": " + why, E_INVALIDARG);
        hr = traced("IOPCAsyncIO2::Write", io->Write(1, it.handles.data(), &v, 1, &cancelId, &errors));
        VariantClear(&v);
    } else {
        hr = traced("IOPCAsyncIO2::Read", io->Read(n, it.handles.data(), 1, &cancelId, &errors));
    }
    if (FAILED(hr)) return fail(value ? "Write" : "Read", hr);
    int rc = it.failed ? kItemsFailed : kOk;
    DWORD queued = 0;
    for (DWORD i = 0; i < n; ++i) {
        if (FAILED(errors[i])) {
            printItemError(it.names[i], errors[i]);
            rc = kItemsFailed;
        } else {
            ++queued;
        }
    }
    CoTaskMemFree(errors);
    if (queued == 0) return rc; // no completion follows
    if (cancel) {
        const HRESULT c = traced("IOPCAsyncIO2::Cancel2", io->Cancel2(cancelId));
        printf("cancel: %s\n", c == S_OK ? "accepted" : ("too late (" + errorText(c) + ")").c_str());
    }
    if (WaitForSingleObject(sink.done, 10000) != WAIT_OBJECT_0) {
        // A server that died sends no completion: say so rather than blame the items.
        const HRESULT s = pingServer(server);
        if (lostConnection(s)) return fail("no completion: the connection to the server is lost", s);
        fprintf(stderr, "qvopc: no completion within 10 s\n");
        return kItemsFailed;
    }
    if (sink.cancelled.load()) {
        printf("cancelled: the request was not carried out\n");
    } else if (value) {
        const HRESULT e = sink.writeResult.load();
        Ptr<IOPCSyncIO> sync;
        std::string kept;
        if (SUCCEEDED(e) && SUCCEEDED(it.group->QueryInterface(IID_IOPCSyncIO, sync.out())))
            kept = keptValue(sync.get(), it.handles[0]);
        rc = reportWrite(names[0], *value, e, kept);
    } else if (sink.failed.load()) {
        rc = kItemsFailed;
    }
    traced("IConnectionPoint::Unadvise", cp->Unadvise(cookie));
    return rc;
}

} // namespace

int runCommand(IOPCServer* server, const std::string& cmd, const std::vector<std::string>& args, const Options& o)
{
    if (cmd == "status") return cmdStatus(server);
    if (cmd == "browse") return cmdBrowse(server, args.empty() ? "" : args[0], o.flat, o.filter, o.da2);
    if (cmd == "props") return cmdProps(server, args[0]);
    if (cmd == "read") {
        if (o.async) return cmdAsync(server, args, nullptr, o.cancel);
        return o.has("--max-age") ? cmdReadMaxAge(server, args, o.maxAge) : cmdRead(server, args, o.device);
    }
    if (cmd == "write") {
        if (o.async) return cmdAsync(server, {args[0]}, &args[1], o.cancel);
        return o.quality.empty() && o.time.empty() ? cmdWrite(server, args[0], args[1])
                                                   : cmdWriteVQT(server, args[0], args[1], o.quality, o.time);
    }
    if (cmd == "watch") return cmdWatch(server, args, o);
    if (cmd == "events") return cmdEvents(server, o);
    if (cmd == "areas") return cmdAreas(server, args.empty() ? "" : args[0]);
    if (cmd == "ack") return cmdAck(server, args[0], args[1], o);
    return usage("unknown command " + cmd);
}

} // namespace qvopc
