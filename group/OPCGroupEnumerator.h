#pragma once
#include <windows.h>
#include <objidl.h>
#include <atomic>
#include <mutex>
#include <vector>

#include "server/ServerObject.h"

namespace qv {

class OPCServer;
class OPCGroup;

// IEnumUnknown over a snapshot of a client's groups. Every entry holds one COM
// reference on its group, and every reference on the enumerator holds one on the server, so
// the server and the enumerated groups stay alive until the enumerator's last Release.
class OPCGroupEnumerator : public IEnumUnknown, public ServerObject<OPCGroupEnumerator> {
public:
    explicit OPCGroupEnumerator(OPCServer* s = nullptr) : server_(s) {}
    virtual ~OPCGroupEnumerator();
    void lastReleased() {}
    OPCGroupEnumerator(const OPCGroupEnumerator&) = delete;
    OPCGroupEnumerator& operator=(const OPCGroupEnumerator&) = delete;

    // Appends a group to the snapshot, taking a reference on it (false when out of memory).
    bool append(OPCGroup* g);
    size_t size() const { return groups_.size(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumUnknown** ppenum) override;

private:
    OPCServer* server_ = nullptr;
    std::vector<OPCGroup*> groups_; // each AddRef'd once
    std::mutex m_; // guards position_ against concurrent Next/Skip/Reset/Clone
    LONG position_ = 0;
};

} // namespace qv
