#pragma once
// In-process OPCServer with groups and items, for the server, group and item tests.
#include <memory>
#include <string>
#include <vector>
#include "TestSupport.h"
#include "group/OPCGroup.h"
#include "qvopc.h"
#include "qvsrvkit.h"
#include "server/OPCServer.h"

namespace qvtest {

// A COM reference released at scope end.
template <class I>
struct ComRef {
    I* p = nullptr;
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() { reset(); }
    void reset() { if (p) { I* q = p; p = nullptr; q->Release(); } }
    void** out() { reset(); return reinterpret_cast<void**>(&p); }
    I* operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

// Every test gets an empty tag store, the base tick 500 and a server of its own (not in the
// client list, so the test destroys it: the worker thread would do that in a running host).
class ServerFixture : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        savedPeriod_ = qv::App().updatePeriod.load();
        qv::App().updatePeriod = 500;
        server = qvtest::newServer();
        ASSERT_EQ(server->QueryInterface(IID_IOPCServer, srv.out()), S_OK);
    }
    void TearDown() override
    {
        srv.reset();
        qvtest::deleteServer(server); // destroys every group it still lists
        server = nullptr;
        qv::App().updatePeriod = savedPeriod_;
        StoreTest::TearDown();
    }

    // AddGroup with the usual defaults; the interface asked for goes to *out.
    HRESULT addGroup(const wchar_t* name, void** out, OPCHANDLE* hServer = nullptr, BOOL active = TRUE,
                     DWORD rate = 1000, REFIID riid = IID_IOPCGroupStateMgt, OPCHANDLE hClient = 0x77,
                     DWORD* revised = nullptr)
    {
        OPCHANDLE h = 0;
        DWORD r = 0;
        HRESULT hr = srv->AddGroup(name, active, rate, hClient, nullptr, nullptr, 0x409, &h, &r, riid,
                                   reinterpret_cast<LPUNKNOWN*>(out));
        if (hServer) *hServer = h;
        if (revised) *revised = r;
        return hr;
    }

    size_t groupCount()
    {
        qv::LockGuard g(qv::App().globalLock);
        return server->groups.size();
    }
    std::vector<std::string> groupNames()
    {
        qv::LockGuard g(qv::App().globalLock);
        std::vector<std::string> v;
        for (auto& grp : server->groups) v.push_back(grp->name);
        return v;
    }
    std::shared_ptr<qv::OPCGroup> groupNamed(const std::string& n)
    {
        qv::LockGuard g(qv::App().globalLock);
        for (auto& grp : server->groups)
            if (grp->name == n) return grp;
        return nullptr;
    }

    qv::OPCServer* server = nullptr;
    ComRef<IOPCServer> srv;

private:
    DWORD savedPeriod_ = 500;
};

inline DWORD makeTag(const char* name, VARIANT v, bool writeable = true, WORD q = 0xC0)
{
    DWORD h = QV_CreateTag(name, v, q, writeable);
    VariantClear(&v);
    return h;
}

inline OPCITEMDEF itemDef(const wchar_t* id, const wchar_t* path = L"", VARTYPE vt = VT_EMPTY,
                          OPCHANDLE hClient = 0, BOOL active = TRUE)
{
    OPCITEMDEF d = {};
    d.szAccessPath = const_cast<LPWSTR>(path);
    d.szItemID = const_cast<LPWSTR>(id);
    d.bActive = active;
    d.hClient = hClient;
    d.vtRequestedDataType = vt;
    return d;
}

inline std::string narrowW(const wchar_t* w)
{
    std::string s;
    if (w)
        for (; *w; ++w) s.push_back(static_cast<char>(*w));
    return s;
}

} // namespace qvtest
