#pragma once
// Small helpers for out-of-process tests: connect to the test host through COM by its CLSID,
// add a group, add items. Everything a call returns in task memory is freed here with
// CoTaskMemFree, as a real client must.
#include "ComRef.h"
#include "HostActivation.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <string>
#include <vector>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

namespace qvclient {

// A COM reference released at scope end.
template <class I>
using ComRef = Ref<I>;

// The test host's IOPCServer (COM launches the host when it is not running).
inline HRESULT connect(IOPCServer** out)
{
    *out = nullptr;
    return activateTestHost(CLSID_QvTestHost, IID_IOPCServer,
                            reinterpret_cast<void**>(out));
}

// Wide task-memory string to 8-bit text (each character's low byte), freeing it.
inline std::string takeString(LPWSTR w)
{
    std::string s;
    if (w)
        for (const wchar_t* c = w; *c; ++c) s.push_back(static_cast<char>(*c));
    CoTaskMemFree(w);
    return s;
}

struct Group {
    HRESULT hr = E_FAIL;
    OPCHANDLE hServer = 0;
    DWORD revisedRate = 0;
};

// AddGroup asking for riid into *out.
inline Group addGroup(IOPCServer* s, const wchar_t* name, REFIID riid, void** out, BOOL active = TRUE,
                      DWORD rate = 1000, OPCHANDLE hClient = 1)
{
    Group g;
    g.hr = s->AddGroup(name ? name : L"", active, rate, hClient, nullptr, nullptr, 0x409, &g.hServer,
                       &g.revisedRate, riid, reinterpret_cast<LPUNKNOWN*>(out));
    return g;
}

// GetState with every out-pointer (a remote call cannot pass NULL ones); name freed.
struct GroupState {
    HRESULT hr = E_FAIL;
    DWORD updateRate = 0;
    BOOL active = FALSE;
    std::string name;
    LONG timeBias = 0;
    FLOAT percentDeadband = 0;
    DWORD lcid = 0;
    OPCHANDLE hClient = 0, hServer = 0;
};
inline GroupState getState(IOPCGroupStateMgt* st)
{
    GroupState s;
    LPWSTR name = nullptr;
    s.hr = st->GetState(&s.updateRate, &s.active, &name, &s.timeBias, &s.percentDeadband, &s.lcid, &s.hClient,
                        &s.hServer);
    s.name = takeString(name);
    return s;
}

struct ItemSpec {
    std::wstring itemId;
    std::wstring accessPath;
    VARTYPE requestedType = VT_EMPTY;
    BOOL active = TRUE;
    OPCHANDLE hClient = 0;
};

struct Items {
    HRESULT hr = E_FAIL;
    std::vector<HRESULT> errors;
    std::vector<OPCITEMRESULT> results; // blob pointers are always null
    std::vector<OPCHANDLE> handles;     // hServer of each result (0 for a failed one)
};

// AddItems (or ValidateItems) of the given definitions.
inline Items addItems(IOPCItemMgt* im, const std::vector<ItemSpec>& wanted, bool validateOnly = false)
{
    std::vector<OPCITEMDEF> defs(wanted.size());
    for (size_t i = 0; i < wanted.size(); ++i) {
        defs[i] = OPCITEMDEF{};
        defs[i].szAccessPath = const_cast<LPWSTR>(wanted[i].accessPath.c_str());
        defs[i].szItemID = const_cast<LPWSTR>(wanted[i].itemId.c_str());
        defs[i].bActive = wanted[i].active;
        defs[i].hClient = wanted[i].hClient;
        defs[i].vtRequestedDataType = wanted[i].requestedType;
    }
    Items out;
    OPCITEMRESULT* r = nullptr;
    HRESULT* e = nullptr;
    const DWORD n = static_cast<DWORD>(defs.size());
    out.hr = validateOnly ? im->ValidateItems(n, defs.data(), FALSE, &r, &e) : im->AddItems(n, defs.data(), &r, &e);
    if (r) {
        out.results.assign(r, r + n);
        for (DWORD i = 0; i < n; ++i) {
            out.handles.push_back(r[i].hServer);
            CoTaskMemFree(r[i].pBlob);
        }
    }
    if (e) out.errors.assign(e, e + n);
    CoTaskMemFree(r);
    CoTaskMemFree(e);
    return out;
}

// Shorthand: items by ID with client handles 1, 2, ...
inline Items addItemIds(IOPCItemMgt* im, const std::vector<std::wstring>& ids, VARTYPE vt = VT_EMPTY)
{
    std::vector<ItemSpec> wanted;
    for (size_t i = 0; i < ids.size(); ++i) wanted.push_back({ids[i], L"", vt, TRUE, static_cast<OPCHANDLE>(i + 1)});
    return addItems(im, wanted);
}

// RemoveItems; the per-item codes.
inline std::vector<HRESULT> removeItems(IOPCItemMgt* im, const std::vector<OPCHANDLE>& handles, HRESULT* hr = nullptr)
{
    HRESULT* e = nullptr;
    HRESULT r = im->RemoveItems(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()), &e);
    if (hr) *hr = r;
    std::vector<HRESULT> out;
    if (e) out.assign(e, e + handles.size());
    CoTaskMemFree(e);
    return out;
}

// A test connected to its own server object of the test host.
class ServerClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(connect(server.put()), S_OK); }
    void TearDown() override { server.reset(); }
    ComRef<IOPCServer> server;
};

} // namespace qvclient
