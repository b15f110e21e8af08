#pragma once
// How every server-side COM object lives (server, group, event subscription, enumerators).
//
// Memory: shared ownership (std::shared_ptr). The holders are whoever works with the object
// at the moment: its owner's list, a pass or a delivery in progress, a snapshot, and, as one
// holder for all of them, the client's COM references (the object holds itself from the
// first AddRef to the last Release). So no path ever reaches freed memory, whatever order a
// client, a worker and the host let go in.
//
// State: an object turns gone once (its owner destroyed it, the client let go of it, or the
// client's process died) and never comes back. A gone object answers every call, from every
// one of its interfaces, with kGoneResult, and calls out no more; its memory stays until its
// last holder lets go.
#include <windows.h>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include "server/ClientObjects.h"

namespace qv {

constexpr HRESULT kGoneResult = E_FAIL;

template <class T>
class ServerObject : public std::enable_shared_from_this<T> {
public:
    ServerObject(const ServerObject&) = delete;
    ServerObject& operator=(const ServerObject&) = delete;

    // The client's COM references (all interfaces of the object count here).
    std::atomic<LONG> refCount{0};

    bool gone() const { return gone_.load(); }
    // For parts that answer for the object (its connection point).
    const std::atomic<bool>* goneFlag() const { return &gone_; }
    // True for the one caller that turned it gone.
    bool makeGone() { return !gone_.exchange(true); }
    // The list of the client this object was handed to (null for objects of no client); what
    // it hands out in turn (clones, points) goes to the same list.
    const std::shared_ptr<ClientObjects>& clientObjects() const { return clientObjects_; }
    void setClientObjects(std::shared_ptr<ClientObjects> list) { clientObjects_ = std::move(list); }
    // For parts with a COM identity of their own (connection points and containers), which
    // register when first handed out.
    const std::shared_ptr<ClientObjects>* clientObjectsSlot() const { return &clientObjects_; }
    // The trace's number of the client this object belongs to (0: none).
    DWORD traceClient() const { return clientObjects_ ? clientObjects_->clientNumber : 0; }

protected:
    ServerObject() = default;
    ~ServerObject() = default;

    // The IUnknown AddRef/Release of the derived object.
    ULONG addRef()
    {
        std::lock_guard<std::mutex> g(refMutex_);
        const LONG n = ++refCount;
        if (n == 1) self_ = this->shared_from_this();
        return static_cast<ULONG>(n);
    }
    // Calls T::lastReleased() (no lock held) when the client's last reference goes; the
    // object may be freed when this returns.
    ULONG release()
    {
        std::shared_ptr<T> keep;
        LONG n;
        {
            std::lock_guard<std::mutex> g(refMutex_);
            n = --refCount;
            if (n < 0) { // a client released more than it held: ignore it
                refCount = 0;
                return 0;
            }
            if (n == 0) keep = std::move(self_);
        }
        if (n == 0 && keep) keep->lastReleased();
        return static_cast<ULONG>(n);
    }

private:
    std::mutex refMutex_;
    std::shared_ptr<T> self_; // held while the client has references
    std::atomic<bool> gone_{false};
    std::shared_ptr<ClientObjects> clientObjects_;
};

// Gives an object the list of the client it is handed to and registers it there (the list's
// hold is weak); false when the client is already gone.
template <class T>
bool registerWithClient(const std::shared_ptr<ClientObjects>& list, const std::shared_ptr<T>& p)
{
    p->setClientObjects(list);
    return !list || list->add(static_cast<IUnknown*>(p.get()), p);
}

// A new object for the client whose list is given (null: an object of no client), with one
// reference for the caller (it then holds itself) and registered in that list, so a reclaim
// of the client disconnects it. Null when out of memory or when the client is already gone.
template <class T, class... Args>
T* newServerObject(const std::shared_ptr<ClientObjects>& list, Args&&... args)
{
    try {
        std::shared_ptr<T> p = std::make_shared<T>(std::forward<Args>(args)...);
        if (!registerWithClient(list, p)) return nullptr;
        p->AddRef();
        return p.get();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

} // namespace qv
