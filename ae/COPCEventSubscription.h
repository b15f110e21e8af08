#pragma once
#include <windows.h>
#include <atomic>
#include <memory>
#include "server/ComObject.h"
#include "qvopc.h"

namespace qv {

class OPCServer;

// One event subscription of one client. Every alarm event goes at once to the sink
// connected to its IOPCEventSink point; there is no filter and no buffering.
//
// Lifetime: the memory stays while any of three holders keeps it: the client's references
// (one token for the whole COM count), the owner's subscription list (one token), and each
// broadcast that is delivering to it (one token each). So a client that still references a
// subscription of a destroyed server, or a broadcast racing with the last Release, never
// reaches freed memory.
class COPCEventSubscription : public IUnknown {
public:
    COPCEventSubscription(OPCServer* owner, BOOL active, OPCHANDLE hClientSubscription);
    virtual ~COPCEventSubscription();
    COPCEventSubscription(const COPCEventSubscription&) = delete;
    COPCEventSubscription& operator=(const COPCEventSubscription&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    BOOL active() const { return active_; }
    DWORD revisedBufferTime() const { return revisedBufferTime_; }
    DWORD revisedMaxSize() const { return revisedMaxSize_; }
    OPCHANDLE clientHandle() const { return hClientSubscription_; }
    LONG refCount() const { return refCount_.load(); }
    // Set by the last Release or the owner's destruction; no event is delivered afterwards.
    bool released() const { return released_.load(); }

    // The sink point's container, null until the client asked for it (global lock held).
    ConnectionContainer<IOPCEventSink>* container() const { return container_.get(); }
    // The client reached the container from the MTA, so its sink's proxy belongs there.
    bool servedInMta() const { return servedInMta_; }

    // A broadcast keeps the object while it delivers (take under the global lock while the
    // subscription is listed; drop anywhere without the lock).
    void hold() { ++life_; }
    void unhold();

    // The owner's side (global lock held for detachFromOwner): the list no longer holds it.
    void detachFromOwner();
    // After detachFromOwner, without the lock: drops the sink and the list's token.
    void finishDetach();
    // CreateEventSubscription failed before the client got a reference: drops the client's
    // token (the caller has already taken it off the list).
    void discardUnreferenced();

private:
    OPCServer* owner_;          // null once the owner dropped it; under the global lock
    std::atomic<LONG> refCount_{0};
    BOOL active_;
    DWORD revisedBufferTime_ = 0;
    DWORD revisedMaxSize_ = 1;
    OPCHANDLE hClientSubscription_;
    std::unique_ptr<InterfaceHolder> mgt_;                        // under the global lock
    std::unique_ptr<ConnectionContainer<IOPCEventSink>> container_; // under the global lock
    std::atomic<LONG> life_{2}; // client token + list token
    std::atomic<bool> released_{false};
    std::atomic<bool> comGone_{false};
    std::atomic<bool> servedInMta_{true};
};

} // namespace qv
