#pragma once
// In-process groups, items and a recording IOPCDataCallback for the data-exchange tests.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>
#include "TestSupport.h"
#include "group/OPCGroup.h"
#include "qvopc.h"
#include "qvsrvkit.h"

namespace qvtest {

// What one callback carried, copied out of the server's arrays.
struct CallbackRecord {
    enum Kind { DataChange, ReadComplete, WriteComplete, CancelComplete } kind;
    DWORD transactionId = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = S_OK;
    HRESULT masterError = S_OK;
    std::vector<OPCHANDLE> handles;
    std::vector<qv::Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> times;
    std::vector<HRESULT> errors;
    // Offsets of the arrays from the client-handle array (the one-block layout).
    ptrdiff_t valuesAt = 0, qualitiesAt = 0, timesAt = 0, errorsAt = 0;
    bool lockHeld = false; // the server's global lock was held during the call
};

// A client-side sink: records every call, answers S_OK. Optionally runs a hook inside calls.
class RecordingCallback : public IOPCDataCallback {
public:
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
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n, OPCHANDLE* h,
                                           VARIANT* v, WORD* q, FILETIME* t, HRESULT* e) override
    {
        return record(CallbackRecord::DataChange, tid, g, mq, me, n, h, v, q, t, e);
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n, OPCHANDLE* h,
                                             VARIANT* v, WORD* q, FILETIME* t, HRESULT* e) override
    {
        return record(CallbackRecord::ReadComplete, tid, g, mq, me, n, h, v, q, t, e);
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD tid, OPCHANDLE g, HRESULT me, DWORD n, OPCHANDLE* h,
                                              HRESULT* e) override
    {
        CallbackRecord r{CallbackRecord::WriteComplete};
        r.transactionId = tid;
        r.group = g;
        r.masterError = me;
        r.handles.assign(h, h + n);
        r.errors.assign(e, e + n);
        return push(std::move(r));
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD tid, OPCHANDLE g) override
    {
        CallbackRecord r{CallbackRecord::CancelComplete};
        r.transactionId = tid;
        r.group = g;
        return push(std::move(r));
    }

    std::vector<CallbackRecord> take()
    {
        std::lock_guard<std::mutex> g(m_);
        std::vector<CallbackRecord> out;
        out.swap(calls_);
        return out;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> g(m_);
        return calls_.size();
    }

    std::atomic<LONG> refs{1};
    std::atomic<LONG> refsDuringCall{-1};
    // Runs inside every callback (after recording), e.g. to Unadvise from within a call.
    std::function<void()> inCall;
    // What every call answers (e.g. a transport failure the proxy would report).
    std::atomic<HRESULT> answer{S_OK};

private:
    HRESULT record(CallbackRecord::Kind kind, DWORD tid, OPCHANDLE g, HRESULT mq, HRESULT me, DWORD n,
                   OPCHANDLE* h, VARIANT* v, WORD* q, FILETIME* t, HRESULT* e)
    {
        CallbackRecord r{kind};
        r.transactionId = tid;
        r.group = g;
        r.masterQuality = mq;
        r.masterError = me;
        r.handles.assign(h, h + n);
        for (DWORD i = 0; i < n; ++i) r.values.emplace_back(v[i]);
        r.qualities.assign(q, q + n);
        r.times.assign(t, t + n);
        r.errors.assign(e, e + n);
        const BYTE* base = reinterpret_cast<const BYTE*>(h);
        r.valuesAt = reinterpret_cast<const BYTE*>(v) - base;
        r.qualitiesAt = reinterpret_cast<const BYTE*>(q) - base;
        r.timesAt = reinterpret_cast<const BYTE*>(t) - base;
        r.errorsAt = reinterpret_cast<const BYTE*>(e) - base;
        return push(std::move(r));
    }
    HRESULT push(CallbackRecord r)
    {
        r.lockHeld = qv::App().globalLock.heldByMe();
        {
            std::lock_guard<std::mutex> g(m_);
            calls_.push_back(std::move(r));
        }
        if (inCall) inCall();
        refsDuringCall = refs.load();
        return answer.load();
    }
    std::mutex m_;
    std::vector<CallbackRecord> calls_;
};

// Groups and items built directly (no IOPCServer), listed so that host updates reach them.
class DataIoTest : public StoreTest {
protected:
    void TearDown() override
    {
        for (auto& g : groups_) {
            g->destroy();
            g->Release();
        }
        groups_.clear();
        qv::App().updatePeriod = 500;
        StoreTest::TearDown();
    }

    std::shared_ptr<qv::OPCGroup> makeGroup(bool active = true, DWORD rate = 500, float deadband = 0.0f)
    {
        auto g = qv::OPCGroup::create();
        g->AddRef();
        g->name = "G";
        g->active = active ? TRUE : FALSE;
        g->updateRate = rate;
        g->percentDeadband = deadband;
        g->clientHandle = 0x6000 + static_cast<OPCHANDLE>(groups_.size());
        g->setListed(true);
        groups_.push_back(g);
        return g;
    }

    static DWORD makeTag(const char* name, VARIANT v, bool writeable = true, WORD q = 0xC0)
    {
        DWORD h = QV_CreateTag(name, v, q, writeable);
        VariantClear(&v);
        return h;
    }

    static bool update(DWORD tag, VARIANT v, WORD q = 0xC0)
    {
        BOOL ok = QV_UpdateTag(tag, v, q);
        VariantClear(&v);
        return ok != FALSE;
    }

    // An item as AddItems makes it: value, quality, timestamp and rights from the tag.
    static OPCHANDLE addItem(qv::OPCGroup& g, const char* tagName, OPCHANDLE client, VARTYPE requested = VT_EMPTY,
                             bool active = true)
    {
        qv::LockGuard lock(qv::App().globalLock);
        std::unique_ptr<qv::OPCItem> it(new qv::OPCItem());
        it->itemId = tagName;
        it->tagName = tagName;
        it->clientHandle = client;
        it->requestedType = requested;
        it->active = active ? TRUE : FALSE;
        if (qv::OPCTag* t = qv::App().tags.lookup(tagName)) {
            it->canonicalType = t->state->value.vt();
            it->value.copyFrom(*t->state->value.get());
            it->quality = t->state->quality;
            it->timestamp = t->state->timestamp;
            it->accessRights = t->accessRights();
        }
        return g.addItem(std::move(it));
    }

    static qv::OPCItem* item(qv::OPCGroup& g, OPCHANDLE h)
    {
        qv::LockGuard lock(qv::App().globalLock);
        return g.findItem(h);
    }

    static bool changed(qv::OPCGroup& g, OPCHANDLE h)
    {
        qv::LockGuard lock(qv::App().globalLock);
        return g.findItem(h)->changed;
    }

    static void clearChanged(qv::OPCGroup& g)
    {
        qv::LockGuard lock(qv::App().globalLock);
        // As a scan does: the changed items are delivered, the others keep their reference.
        for (auto& kv : g.items)
            if (kv.second->changed) {
                qv::OPCItem& it = *kv.second;
                qv::Variant sent;
                sent.copyFrom(*it.value.get());
                it.delivered(false, sent, it.quality, it.updates);
            }
    }

    // Advises the sink on the group's IOPCDataCallback point; returns the cookie.
    static DWORD advise(qv::OPCGroup& g, IUnknown* sink)
    {
        qv::ComPtr<IConnectionPointContainer> cpc;
        if (g.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(cpc.put())) != S_OK) return 0;
        qv::ComPtr<IConnectionPoint> cp;
        if (cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put()) != S_OK) return 0;
        DWORD cookie = 0;
        if (cp->Advise(sink, &cookie) != S_OK) return 0;
        return cookie;
    }

    static HRESULT unadvise(qv::OPCGroup& g, DWORD cookie)
    {
        qv::ComPtr<IConnectionPointContainer> cpc;
        g.QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(cpc.put()));
        qv::ComPtr<IConnectionPoint> cp;
        cpc->FindConnectionPoint(IID_IOPCDataCallback, cp.put());
        return cp->Unadvise(cookie);
    }

    template <class I>
    static qv::ComPtr<I> itf(qv::OPCGroup& g, REFIID iid)
    {
        qv::ComPtr<I> p;
        g.QueryInterface(iid, reinterpret_cast<void**>(p.put()));
        return p;
    }

    // One worker pass for one group.
    static void pass(qv::OPCGroup& g)
    {
        g.dispatchQueue();
        g.scan(false);
    }

    // Sinks outlive the groups that may still hold them (TearDown destroys the groups first).
    RecordingCallback& newSink()
    {
        sinks_.emplace_back(new RecordingCallback());
        return *sinks_.back();
    }

    std::vector<std::unique_ptr<RecordingCallback>> sinks_;
    std::vector<std::shared_ptr<qv::OPCGroup>> groups_;
};

inline LONG asI4(const qv::Variant& v) { return V_VT(v.get()) == VT_I4 ? V_I4(v.get()) : -999999; }
inline double asR8(const qv::Variant& v) { return V_VT(v.get()) == VT_R8 ? V_R8(v.get()) : -999999.0; }

} // namespace qvtest
