#include "group/OPCGroup.h"
#include <cstdio>
#include <new>
#include <unordered_set>
#include "core/OPCServerApp.h"
#include "base/Trace.h"
#include "server/OPCServer.h"

namespace qv {

OPCHANDLE newServerHandle()
{
    static std::atomic<OPCHANDLE> counter{0};
    OPCHANDLE h;
    do {
        h = ++counter;
    } while (h == 0);
    return h;
}

std::shared_ptr<OPCGroup> OPCGroup::create()
{
    try {
        return std::shared_ptr<OPCGroup>(new OPCGroup());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

OPCGroup::~OPCGroup()
{
    // Normally destroy() ran already; this covers a group that was never listed.
    destroy();
}

HRESULT STDMETHODCALLTYPE OPCGroup::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    IUnknown* r = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) r = static_cast<IUnknown*>(this);
    else if (IsEqualIID(riid, IID_IOPCGroupStateMgt)) r = interfaceFor(kStateMgt);
    else if (IsEqualIID(riid, IID_IOPCPublicGroupStateMgt)) return E_NOINTERFACE;
    else if (IsEqualIID(riid, IID_IOPCSyncIO)) r = interfaceFor(kSyncIO);
    else if (IsEqualIID(riid, IID_IOPCAsyncIO)) r = interfaceFor(kAsyncIO);
    else if (IsEqualIID(riid, IID_IOPCAsyncIO2)) r = interfaceFor(kAsyncIO2);
    else if (IsEqualIID(riid, IID_IConnectionPointContainer)) r = interfaceFor(kConnectionContainer);
    else if (IsEqualIID(riid, IID_IOPCItemMgt)) r = interfaceFor(kItemMgt);
    else if (IsEqualIID(riid, IID_IDataObject)) r = interfaceFor(kDataObject);
    // DA 3.0: each derived interface is served by its base's object.
    else if (IsEqualIID(riid, IID_IOPCGroupStateMgt2)) r = interfaceFor(kStateMgt);
    else if (IsEqualIID(riid, IID_IOPCSyncIO2)) r = interfaceFor(kSyncIO);
    else if (IsEqualIID(riid, IID_IOPCAsyncIO3)) r = interfaceFor(kAsyncIO2);
    else if (IsEqualIID(riid, IID_IOPCItemDeadbandMgt)) r = interfaceFor(kItemDeadbandMgt);
    else return E_NOINTERFACE;
    if (!r) return E_NOINTERFACE;
    *ppv = r;
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE OPCGroup::AddRef() { return addRef(); }
ULONG STDMETHODCALLTYPE OPCGroup::Release() { return release(); }

void OPCGroup::lastReleased()
{
    // destroy() takes the global lock itself and releases client sinks outside it.
    if (removed.load()) destroy();
}

IUnknown* OPCGroup::interfaceFor(Slot slot)
{
    LockGuard g(App().globalLock);
    if (gone()) return nullptr;
    if (!itf_[slot]) {
        try {
            switch (slot) {
            case kItemMgt: itf_[slot] = makeItemMgt(this); break;
            case kSyncIO: itf_[slot] = makeSyncIO(this); break;
            case kAsyncIO: itf_[slot] = makeAsyncIO(this); break;
            case kAsyncIO2: itf_[slot] = makeAsyncIO2(this); break;
            case kStateMgt: itf_[slot] = makeGroupStateMgt(this); break;
            case kDataObject:
                itf_[slot] = makeDataObject(this);
                streamFollowed = itf_[slot] != nullptr;
                break;
            case kConnectionContainer: itf_[slot] = makeGroupConnectionContainer(this); break;
            case kItemDeadbandMgt: itf_[slot] = makeItemDeadbandMgt(this); break;
            default: break;
            }
        } catch (const std::bad_alloc&) {
            itf_[slot].reset();
        }
    }
    return itf_[slot] ? itf_[slot]->unknown() : nullptr;
}

InterfaceHolder* OPCGroup::slotObject(Slot slot)
{
    LockGuard g(App().globalLock);
    return itf_[slot].get();
}

ConnectionContainer<IOPCDataCallback>* OPCGroup::dataContainer()
{
    return static_cast<ConnectionContainer<IOPCDataCallback>*>(slotObject(kConnectionContainer));
}

OPCItem* OPCGroup::findItem(OPCHANDLE h) const
{
    auto it = items.find(h);
    return it == items.end() ? nullptr : it->second.get();
}

DWORD OPCGroup::nextTransactionId()
{
    DWORD id = transactionCounter + 1;
    if (id == 0) id = 1;
    transactionCounter = id;
    return id;
}

OPCHANDLE OPCGroup::addItem(std::unique_ptr<OPCItem> item)
{
    OPCHANDLE h = newServerHandle();
    item->serverHandle = h;
    item->group = this;
    OPCItem* raw = item.get();
    // Following first, and undone if the item cannot be kept: a failure leaves no half-added
    // item behind (listed but deaf to its tag, or following from freed memory).
    if (listed) App().tags.subscribers().add(raw, raw->tagName);
    try {
        items.emplace(h, std::move(item));
    } catch (...) {
        if (listed) App().tags.subscribers().remove(raw);
        throw;
    }
    return h;
}

bool OPCGroup::removeItem(OPCHANDLE h)
{
    LockGuard g(App().globalLock);
    auto it = items.find(h);
    if (it == items.end()) return false;
    App().tags.subscribers().remove(it->second.get());
    items.erase(it);
    return true;
}

void OPCGroup::copyItemsInto(OPCGroup& other)
{
    LockGuard g(App().globalLock);
    for (auto& kv : items) {
        std::unique_ptr<OPCItem> copy(new OPCItem());
        copy->copyFrom(*kv.second);
        other.addItem(std::move(copy));
    }
}

void OPCGroup::setListed(bool on)
{
    LockGuard g(App().globalLock);
    if (listed == on) return;
    listed = on;
    TagSubscribers& subs = App().tags.subscribers();
    for (auto& kv : items) {
        if (on) subs.add(kv.second.get(), kv.second->tagName);
        else subs.remove(kv.second.get());
    }
}

bool OPCGroup::markRemovedIfReferenced()
{
    if (refCount.load() == 0) return false;
    removed = true;
    // A last Release between the two lines found removed unset: the caller's hold destroys it.
    return true;
}

OPCServer* OPCGroup::liveServer() const
{
    if (closed() || !server) return nullptr;
    return server->gone() ? nullptr : server;
}

void OPCGroup::destroy()
{
    {
        LockGuard g(App().globalLock);
        if (!makeGone()) return;
        setListed(false);
        server = nullptr;
        items.clear();
        queue.clear();
    }
    // The interface objects stay (the client may still call through them); the client's
    // sinks go now, released outside the global lock.
    for (auto& itf : itf_)
        if (itf) itf->dropSinks();
}

DWORD reviseUpdateRate(DWORD requested, DWORD baseTick, HRESULT* result)
{
    const DWORD t = baseTick ? baseTick : 1;
    if (requested == 0 || requested < t) {
        if (result) *result = OPC_S_UNSUPPORTEDRATE;
        return t;
    }
    if (result) *result = S_OK;
    unsigned long long r = (static_cast<unsigned long long>(requested) + t / 2) / t * t;
    if (r > 0xFFFFFFFFull) r = (0xFFFFFFFFull / t) * t;
    return static_cast<DWORD>(r);
}

bool groupNameInUse(const OPCServer& s, const std::string& name)
{
    for (const auto& g : s.groups)
        if (g->name == name) return true;
    return false;
}

std::string defaultGroupName(const OPCServer& s)
{
    if (s.groups.empty()) return "Group 1";
    std::unordered_set<std::string> names;
    for (const auto& g : s.groups) names.insert(g->name);
    char buf[32];
    // At most groups.size() + 1 candidates are ever tried.
    for (DWORD n = 1; n <= 0x0FFFFFFE; ++n) {
        snprintf(buf, sizeof buf, "Group %lu", static_cast<unsigned long>(n));
        if (!names.count(buf)) return buf;
    }
    return "No Default Group Names Available";
}

OPCHANDLE appendGroup(OPCServer& s, const std::shared_ptr<OPCGroup>& g)
{
    g->serverHandle = newServerHandle();
    s.groups.push_back(g);
    // A reclaim lists its groups under the same lock: a group appended now is among them.
    registerWithClient(s.clientObjects(), g);
    g->setListed(true);
    return g->serverHandle;
}

std::shared_ptr<OPCGroup> findGroupByHandle(const OPCServer& s, OPCHANDLE h)
{
    for (const auto& g : s.groups)
        if (g->serverHandle == h) return g;
    return nullptr;
}

void traceItemResults(OPCGroup& g, const char* method, DWORD n, const OPCHANDLE* handles, const HRESULT* errors)
{
    if (!errors || !handles || !trace::enabled(trace::kItems)) return;
    std::vector<std::string> names;
    try {
        names.resize(n);
        LockGuard lock(App().globalLock);
        for (DWORD i = 0; i < n; ++i) {
            if (errors[i] == S_OK) continue;
            const OPCItem* it = g.gone() ? nullptr : g.findItem(handles[i]);
            if (it) {
                names[i] = it->itemId;
            } else {
                char buf[32];
                snprintf(buf, sizeof buf, "handle %lu", static_cast<unsigned long>(handles[i]));
                names[i] = buf;
            }
        }
    } catch (const std::bad_alloc&) {
        return; // no memory for the names: no lines
    }
    trace::itemResults(method, n, errors, [&](DWORD i) -> const std::string& { return names[i]; });
}

} // namespace qv
