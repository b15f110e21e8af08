#pragma once
// Building blocks for the hand-written COM objects: forwarding interface objects and the
// connection-point family (container, one point, enumerator) shared by the server's
// IOPCShutdown point, a group's IOPCDataCallback point and a subscription's IOPCEventSink
// point.
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include "base/CallOut.h"
#include "base/ComUtil.h"
#include "server/ServerObject.h"
#include "base/Trace.h"

namespace qv {

// Lets an owner keep its interface objects of different types in one array.
class InterfaceHolder {
public:
    virtual ~InterfaceHolder() = default;
    virtual IUnknown* unknown() = 0;
    // Releases any client sink the object holds (its owner is being destroyed). Called
    // without the global lock.
    virtual void dropSinks() {}
};

// A small object implementing one interface for an owner; QueryInterface, AddRef and Release
// go to the owner, so every client reference is a reference on the owner.
template <class Itf, class Owner>
class InterfaceObject : public Itf, public InterfaceHolder {
public:
    explicit InterfaceObject(Owner* owner) : owner_(owner) {}
    IUnknown* unknown() override { return static_cast<Itf*>(this); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override { return owner_->QueryInterface(riid, ppv); }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }
    Owner* owner() const { return owner_; }

protected:
    Owner* owner_;
};

template <class Sink>
class ConnectionContainer;

// The one connection point of a container: at most one sink, cookie 1.
template <class Sink>
class ConnectionPoint : public IConnectionPoint {
public:
    explicit ConnectionPoint(ConnectionContainer<Sink>* c) : container_(c) {}
    ~ConnectionPoint() { std::lock_guard<std::mutex> g(m_); sink_.reset(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_INVALIDARG;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPoint)) {
            *ppv = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* piid) override
    {
        return trace::traced(container_->traceClient(), "IConnectionPoint::GetConnectionInterface", 0, [&]() -> HRESULT {
            if (!piid) return E_INVALIDARG;
            *piid = container_->sinkIid();
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** pp) override
    {
        return trace::traced(container_->traceClient(), "IConnectionPoint::GetConnectionPointContainer", 0, [&]() -> HRESULT {
            if (!pp) return E_INVALIDARG;
            *pp = nullptr;
            // Marshaled from here the container is an object of its own for COM.
            if (!container_->handOutContainer()) return kGoneResult;
            container_->AddRef();
            *pp = container_;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override
    {
        return trace::traced(container_->traceClient(), "IConnectionPoint::Advise", 0, [&]() -> HRESULT {
            if (!pUnkSink || !pdwCookie) return E_POINTER;
            if (container_->ownerGone()) return kGoneResult;
            if (container_->adviseRefused()) return CO_E_SERVER_STOPPING;
            {
                std::lock_guard<std::mutex> g(m_);
                if (sink_) return CONNECT_E_ADVISELIMIT;
            }
            // Ask outside our lock: the sink may live in another process.
            Sink* s = nullptr;
            if (callClient([&] { return pUnkSink->QueryInterface(container_->sinkIid(), reinterpret_cast<void**>(&s)); }) !=
                    S_OK ||
                !s) {
                if (s) s->Release();
                return CONNECT_E_CANNOTCONNECT;
            }
            ComPtr<Sink> taken(s, false); // released after our lock unless kept
            std::lock_guard<std::mutex> g(m_);
            // The owner may have gone meanwhile: its sinks were let go, so nothing may be kept now.
            if (container_->ownerGone()) return kGoneResult;
            // Checked again under the point's lock: a stop that began before this is refused
            // here, one that begins after it finds the sink when it sends ShutdownRequest.
            if (container_->adviseRefused()) return CO_E_SERVER_STOPPING;
            if (sink_) return CONNECT_E_ADVISELIMIT;
            sink_ = std::move(taken);
            advisedAt_ = container_->adviseMark();
            ++advises_;
            *pdwCookie = 1;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override
    {
        return trace::traced(container_->traceClient(), "IConnectionPoint::Unadvise", 0, [&]() -> HRESULT {
            ComPtr<Sink> old;
            if (container_->ownerGone()) return kGoneResult;
            {
                std::lock_guard<std::mutex> g(m_);
                if (!sink_ || dwCookie != 1) return CONNECT_E_NOCONNECTION;
                old = std::move(sink_);
            }
            return S_OK; // old released here, outside the lock
        });
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** pp) override
    {
        return trace::traced(container_->traceClient(), "IConnectionPoint::EnumConnections", 0, [&]() -> HRESULT {
            if (pp) *pp = nullptr;
            return E_NOTIMPL;
        });
    }

    // A counted reference on the sink (or null): callers call the sink without any lock and
    // an Unadvise meanwhile cannot free it.
    ComPtr<Sink> sink()
    {
        std::lock_guard<std::mutex> g(m_);
        return sink_;
    }
    bool hasSink()
    {
        std::lock_guard<std::mutex> g(m_);
        return static_cast<bool>(sink_);
    }
    // Whether a sink is connected, the container's mark from when it was advised, and (when
    // asked) the number of Advise calls so far: a sink advised after another has a new number
    // even where the mark is the same.
    bool sinkAdvisedAt(DWORD* mark, DWORD* advise = nullptr)
    {
        std::lock_guard<std::mutex> g(m_);
        *mark = advisedAt_;
        if (advise) *advise = advises_;
        return static_cast<bool>(sink_);
    }
    // Drops the sink (owner destroyed); the release happens outside our lock.
    void dropSink()
    {
        ComPtr<Sink> old;
        {
            std::lock_guard<std::mutex> g(m_);
            old = std::move(sink_);
        }
        letGo(old);
    }
    // Calls a sink taken earlier with sink(): a result saying that sink object is gone ends
    // this connection only (when it still holds that sink); the client and its other
    // connections stay.
    template <class F>
    HRESULT callSink(const ComPtr<Sink>& s, F&& call)
    {
        const HRESULT hr = callClient([&] { return call(s.get()); });
        if (classifyFailure(hr) == CallFailure::Sink) {
            ComPtr<Sink> old;
            std::lock_guard<std::mutex> g(m_);
            if (sink_.get() == s.get()) old = std::move(sink_);
        }
        return hr;
    }
    std::atomic<BOOL> enabled{TRUE}; // only the group's data-callback point uses it

private:
    ConnectionContainer<Sink>* container_;
    std::mutex m_;
    ComPtr<Sink> sink_;
    DWORD advisedAt_ = 0;
    DWORD advises_ = 0;
};

template <class Sink>
class ConnectionPointEnumerator : public IEnumConnectionPoints, public ServerObject<ConnectionPointEnumerator<Sink>> {
public:
    explicit ConnectionPointEnumerator(ConnectionContainer<Sink>* c) : container_(c) { container_->AddRef(); }
    virtual ~ConnectionPointEnumerator() { container_->Release(); }
    void lastReleased() {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_INVALIDARG;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IEnumConnectionPoints)) {
            *ppv = static_cast<IEnumConnectionPoints*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return this->addRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return this->release(); }
    HRESULT STDMETHODCALLTYPE Next(ULONG c, IConnectionPoint** rg, ULONG* fetched) override
    {
        if (!fetched && c != 1) return E_POINTER;
        if (c == 0 || !rg) return c == 0 ? S_OK : E_POINTER;
        if (position_ > 0) return S_FALSE;
        ++position_;
        HRESULT hr = container_->FindConnectionPoint(container_->sinkIid(), &rg[0]);
        if (FAILED(hr)) return S_FALSE;
        if (fetched) *fetched = 1;
        // Fewer than asked: S_FALSE, as the COM contract (and the standard stub) expects.
        return c == 1 ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG n) override { position_ += static_cast<LONG>(n); return S_OK; }
    HRESULT STDMETHODCALLTYPE Reset() override { position_ = 0; return S_OK; }
    HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** pp) override
    {
        if (!pp) return E_INVALIDARG;
        auto* e = newServerObject<ConnectionPointEnumerator>(this->clientObjects(), container_);
        if (!e) { *pp = nullptr; return E_OUTOFMEMORY; }
        *pp = e;
        return S_OK;
    }

private:
    ConnectionContainer<Sink>* container_;
    LONG position_ = 0;
};

// IConnectionPointContainer with its one point; AddRef/Release go to the owner (server,
// group or subscription), QueryInterface answers for the container itself.
template <class Sink>
class ConnectionContainer : public IConnectionPointContainer, public InterfaceHolder {
public:
    // ownerGone: the owner's gone state, so the point answers as the owner does once it is gone.
    // ownerObjects: the owner's client list (read when a part is handed out); ownerLife keeps
    // the owner, and so the point and container, alive while a reclaim disconnects them.
    ConnectionContainer(IUnknown* owner, REFIID sinkIid, const std::atomic<bool>* ownerGone = nullptr,
                        const std::shared_ptr<ClientObjects>* ownerObjects = nullptr,
                        std::weak_ptr<const void> ownerLife = {}, DWORD (*adviseMark)() = nullptr)
        : owner_(owner), ownerGone_(ownerGone), ownerObjects_(ownerObjects), ownerLife_(std::move(ownerLife)),
          adviseMark_(adviseMark), sinkIid_(sinkIid), point_(this)
    {
    }
    // Reached through the owner's QueryInterface the container has the owner's identity; the
    // point, and the container reached through the point, are objects of their own for COM:
    // each is registered with the client's list the first time it goes out. False when the
    // client is gone.
    bool handOutContainer() { return handOutPart(static_cast<IConnectionPointContainer*>(this), containerListed_); }
    bool ownerGone() const { return ownerGone_ && ownerGone_->load(); }
    IUnknown* unknown() override { return static_cast<IConnectionPointContainer*>(this); }
    void dropSinks() override { point_.dropSink(); }
    const IID& sinkIid() const { return sinkIid_; }
    // While the flag is set Advise answers CO_E_SERVER_STOPPING (the shutdown point: a server
    // that is stopping takes no sink it could not tell).
    void refuseAdviseWhile(const std::atomic<bool>* flag) { refuseAdvise_ = flag; }
    bool adviseRefused() const { return refuseAdvise_ && refuseAdvise_->load(); }
    // What the owner wants noted when a sink is advised (its point keeps it with the sink).
    DWORD adviseMark() const { return adviseMark_ ? adviseMark_() : 0; }
    ConnectionPoint<Sink>& point() { return point_; }
    // The trace's number of the owner's client (0: none).
    DWORD traceClient() const { return ownerObjects_ && *ownerObjects_ ? (*ownerObjects_)->clientNumber : 0; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_INVALIDARG;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IConnectionPointContainer)) {
            *ppv = static_cast<IConnectionPointContainer*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return owner_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return owner_->Release(); }
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** pp) override
    {
        return trace::traced(traceClient(), "IConnectionPointContainer::EnumConnectionPoints", 0, [&]() -> HRESULT {
            if (!pp) return E_INVALIDARG;
            auto* e = newServerObject<ConnectionPointEnumerator<Sink>>(ownerObjects_ ? *ownerObjects_ : nullptr, this);
            if (!e) { *pp = nullptr; return E_OUTOFMEMORY; }
            *pp = e;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** pp) override
    {
        return trace::traced(traceClient(), "IConnectionPointContainer::FindConnectionPoint", 0, [&]() -> HRESULT {
            if (!pp) return E_INVALIDARG;
            if (!IsEqualIID(riid, sinkIid_)) {
                *pp = nullptr;
                return E_NOINTERFACE;
            }
            if (!handOutPart(static_cast<IConnectionPoint*>(&point_), pointListed_)) {
                *pp = nullptr;
                return kGoneResult;
            }
            point_.AddRef();
            *pp = &point_;
            return S_OK;
        });
    }

private:
    bool handOutPart(IUnknown* part, std::atomic<bool>& listed)
    {
        if (!ownerObjects_ || !*ownerObjects_ || listed.exchange(true)) return true;
        if ((*ownerObjects_)->add(part, ownerLife_)) return true;
        listed = false;
        return false;
    }

    IUnknown* owner_;
    const std::atomic<bool>* ownerGone_;
    const std::atomic<bool>* refuseAdvise_ = nullptr;
    const std::shared_ptr<ClientObjects>* ownerObjects_;
    std::weak_ptr<const void> ownerLife_;
    DWORD (*adviseMark_)();
    std::atomic<bool> pointListed_{false};
    std::atomic<bool> containerListed_{false};
    IID sinkIid_;
    ConnectionPoint<Sink> point_;
};

template <class Sink>
ULONG STDMETHODCALLTYPE ConnectionPoint<Sink>::AddRef() { return container_->AddRef(); }
template <class Sink>
ULONG STDMETHODCALLTYPE ConnectionPoint<Sink>::Release() { return container_->Release(); }

} // namespace qv
