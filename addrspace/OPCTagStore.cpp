#include "addrspace/OPCTagStore.h"
#include <new>
#include "ae/Conditions.h"
#include "base/CallOut.h"
#include "core/OPCServerApp.h"
#include "qvopc.h"

namespace qv {

std::vector<std::string> splitName(const std::string& name, char delimiter)
{
    std::vector<std::string> segs;
    size_t start = 0;
    while (start < name.size()) {
        size_t p = name.find(delimiter, start);
        if (p == std::string::npos) {
            segs.push_back(name.substr(start));
            break;
        }
        segs.push_back(name.substr(start, p - start));
        start = p + 1;
    }
    return segs;
}

std::string fullTagName(const std::string& accessPath, const std::string& itemId, char delimiter)
{
    if (accessPath.empty()) return itemId;
    if (accessPath.back() == delimiter) return accessPath + itemId;
    return accessPath + delimiter + itemId;
}

TagHandleTable::Slot* TagHandleTable::add(OPCTag* tag, DWORD* handle)
{
    DWORD index;
    if (!free_.empty()) {
        index = free_.front();
        free_.pop_front();
    } else {
        if (used_ >= 0x00FFFFFE) return nullptr;
        index = used_;
        if ((index >> kChunkBits) == chunks_.size()) {
            try {
                chunks_.emplace_back(new Slot[1u << kChunkBits]);
            } catch (const std::bad_alloc&) {
                return nullptr;
            }
        }
        ++used_;
    }
    Slot& s = at(index);
    s.tag = tag;
    ++live_;
    // Index 0 is stored as 1 so that no handle is 0; generation in the top byte.
    *handle = (static_cast<DWORD>(s.gen) << 24) | (index + 1);
    return &s;
}

TagHandleTable::Slot* TagHandleTable::find(DWORD handle) const
{
    if (handle == kInvalidTagHandle) return nullptr;
    DWORD index = (handle & 0x00FFFFFF);
    if (index == 0 || index > used_) return nullptr;
    Slot& s = at(index - 1);
    if (!s.tag || s.gen != static_cast<BYTE>(handle >> 24)) return nullptr;
    return &s;
}

void TagHandleTable::remove(DWORD handle)
{
    if (!resolve(handle)) return;
    DWORD index = (handle & 0x00FFFFFF) - 1;
    Slot& s = at(index);
    s.tag = nullptr;
    s.state = TagState();
    s.gen = static_cast<BYTE>(s.gen + 1);
    // 0xFF generation with the last index would spell 0xFFFFFFFF; never hand that out.
    --live_;
    if (s.gen == 0xFF && index + 1 == 0x00FFFFFF) return;
    try {
        free_.push_back(index);
    } catch (const std::bad_alloc&) {
        // The slot is not reused; the removal stands.
    }
}

OPCTagStore::~OPCTagStore() = default;

OPCTag* OPCTagStore::lookup(const std::string& accessPath, const std::string& itemId) const
{
    OPCTag* node = findNode(fullTagName(accessPath, itemId, App().delimiter));
    return node && node->handle != kInvalidTagHandle ? node : nullptr;
}

OPCTag* OPCTagStore::findNode(const std::string& full) const
{
    OPCServerApp& app = App();
    const bool mc = app.matchCase();
    std::vector<std::string> segs = splitName(full, app.delimiter);
    if (segs.empty()) return nullptr;
    const OPCTag* node = &root_;
    for (size_t i = 0; i + 1 < segs.size(); ++i) {
        node = node->findChild(segs[i], mc);
        if (!node) return nullptr;
    }
    return node->findChild(full, mc);
}

bool validTagName(const std::string& name, char delimiter)
{
    if (name.empty() || name.front() == delimiter || name.back() == delimiter) return false;
    // An empty segment would make a branch whose item ID names its parent (browsing loops).
    return name.find(std::string(2, delimiter)) == std::string::npos;
}

namespace {

// A tag made with an empty value has no type yet: its first value, as given, gives it one.
bool untyped(VARTYPE canonical) { return canonical == VT_EMPTY || canonical == VT_NULL; }

// Converts a value to the tag's type into out; the tag's type never changes. Object values
// are never converted (that would call into them).
HRESULT toTagType(const VARIANT& value, VARTYPE canonical, Variant& out)
{
    if (holdsObject(value)) return DISP_E_TYPEMISMATCH;
    return VariantChangeType(out.get(), const_cast<VARIANT*>(&value), 0, canonical);
}

// Stores a value in the tag's type (a tag made with an empty value takes the first type it
// gets): the host's updates and what it leaves of a client's write.
HRESULT storeInTagType(Variant& tagValue, const VARIANT& value)
{
    const VARTYPE canonical = tagValue.vt();
    if (V_VT(&value) == canonical || untyped(canonical)) return assignValue(tagValue, value);
    Variant converted;
    const HRESULT hr = toTagType(value, canonical, converted);
    if (SUCCEEDED(hr)) tagValue = std::move(converted);
    return hr;
}

// A host update of the tag's state in its own type (lock held); false with the reason set
// (SetLastError) when the value cannot be held in that type.
bool takeHostValue(TagState& st, const VARIANT& value)
{
    const HRESULT hr = storeInTagType(st.value, value);
    if (FAILED(hr)) {
        SetLastError(hr == E_OUTOFMEMORY ? ERROR_NOT_ENOUGH_MEMORY : ERROR_DATATYPE_MISMATCH);
        return false;
    }
    ++st.hostUpdates;
    return true;
}

} // namespace

DWORD OPCTagStore::create(const std::string& name, const VARIANT& value, WORD quality, bool writeable)
{
    OPCServerApp& app = App();
    if (!validTagName(name, app.delimiter)) {
        SetLastError(ERROR_INVALID_NAME);
        return kInvalidTagHandle;
    }
    LockGuard g(app.globalLock);
    if (findNode(name)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return kInvalidTagHandle;
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY); // the reason of every failure below
    try {
        const bool mc = app.matchCase();
        std::vector<std::string> segs = splitName(name, app.delimiter);
        OPCTag* node = &root_;
        for (size_t i = 0; i + 1 < segs.size(); ++i) {
            OPCTag* child = node->findChild(segs[i], mc);
            if (!child) {
                std::unique_ptr<OPCTag> branch(new OPCTag());
                branch->name = segs[i];
                child = branch.get();
                node->appendChild(child);
                branch.release();
            }
            node = child;
        }
        std::unique_ptr<OPCTag> tag(new OPCTag());
        tag->name = name;
        tag->readable = 1;
        tag->writeable = writeable ? 2 : 0;
        DWORD h = kInvalidTagHandle;
        TagHandleTable::Slot* slot = handles_.add(tag.get(), &h);
        if (!slot) return kInvalidTagHandle;
        tag->state = &slot->state;
        if (FAILED(slot->state.value.copyFrom(value))) {
            handles_.remove(h);
            return kInvalidTagHandle;
        }
        slot->state.quality = quality;
        slot->state.timestamp = utcNow();
        bool attached = false;
        try {
            subscribers_.attachTag(name, &slot->link);
            attached = true;
            node->appendChild(tag.get());
        } catch (const std::bad_alloc&) {
            if (attached) subscribers_.detachTag(&slot->link);
            handles_.remove(h);
            return kInvalidTagHandle;
        }
        tag->handle = h;
        tag.release();
        SetLastError(ERROR_SUCCESS);
        return h;
    } catch (const std::bad_alloc&) {
        return kInvalidTagHandle;
    }
}

bool OPCTagStore::remove(DWORD handle)
{
    LockGuard g(App().globalLock);
    TagHandleTable::Slot* slot = handles_.find(handle);
    if (!slot) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    OPCTag* tag = slot->tag;
    OPCTag* parent = tag->parent;
    // Everything that can run out of memory comes first: a failure changes nothing.
    std::unique_ptr<OPCTag> branch;
    std::vector<std::string> keys; // folded names from the tag up to the root's child
    try {
        for (OPCTag* n = tag; n != &root_; n = n->parent) keys.push_back(foldCase(n->name));
        if (!tag->children.empty()) {
            branch.reset(new OPCTag());
            branch->name = tag->name;
        }
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    retireConditions(*tag); // clients hear the end of what they list
    handles_.remove(handle); // the slot's link stays in place for the detach
    subscribers_.detachTag(&slot->link); // cannot fail: only frees
    if (branch) {
        // A delimiter-free tag name can also be the first segment of later tags; those tags
        // stay, under a plain branch node that takes the removed tag's place.
        branch->takeChildrenFrom(*tag);
        parent->replaceChild(tag, branch.release(), keys[0]);
        delete tag;
        return true;
    }
    parent->detachChild(tag, keys[0]);
    delete tag;
    // Prune branch nodes left empty, up to (not including) the root; tags stay.
    for (size_t k = 1; parent != &root_ && parent->children.empty() && parent->handle == kInvalidTagHandle; ++k) {
        OPCTag* up = parent->parent;
        up->detachChild(parent, keys[k]);
        delete parent;
        parent = up;
    }
    return true;
}

void OPCTagStore::pushToSubscribers(const TagState& tag, const FollowerLink& link)
{
    TagSubscribers::forEachMatching(link, App().matchCase(),
                                    [&](TagSubscriber* s) { s->onTagUpdated(tag); });
}

void OPCTagStore::publish(TagHandleTable::Slot* slot, const FILETIME* now)
{
    pushToSubscribers(slot->state, slot->link);
    // The tag itself is read only when its alarms are in use. Their events are queued under
    // the same hold, so every subscription sees a condition's changes in the order they happened.
    if (slot->state.limitsEnabled || slot->state.level) slot->tag->evaluateAlarms(now);
}

bool OPCTagStore::update(DWORD handle, const VARIANT& value, WORD quality, const FILETIME* ts)
{
    OPCServerApp& app = App();
    // The clock is read before the lock: a shorter hold is what lets host threads run side by side.
    const FILETIME when = ts ? *ts : utcNow();
    LockGuard g(app.globalLock);
    TagHandleTable::Slot* slot = handles_.find(handle);
    if (!slot) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // In a large store the tag and its first item are a cache miss each: the slot names both,
    // so they are fetched side by side rather than one after the other.
    __builtin_prefetch(slot->link.first, 1);
    TagState& st = slot->state;
    if (!takeHostValue(st, value)) return false;
    st.quality = quality;
    st.timestamp = when;
    publish(slot, ts ? nullptr : &when);
    return true;
}

bool OPCTagStore::updateByName(const std::string& name, const VARIANT& value, WORD quality)
{
    const FILETIME when = utcNow();
    LockGuard g(App().globalLock);
    OPCTag* tag = lookup(name);
    TagHandleTable::Slot* slot = tag ? handles_.find(tag->handle) : nullptr;
    if (!slot) {
        SetLastError(ERROR_NOT_FOUND);
        return false;
    }
    if (!takeHostValue(slot->state, value)) return false;
    slot->state.quality = quality;
    slot->state.timestamp = when;
    publish(slot, &when);
    return true;
}

bool OPCTagStore::deviceValue(DWORD handle, const VARIANT& value, WORD quality, const FILETIME& ts)
{
    LockGuard g(App().globalLock);
    TagHandleTable::Slot* slot = handles_.find(handle);
    if (!slot) return false;
    TagState& st = slot->state;
    // Only newer news: an answer stamped like the cache is the cache's own value.
    if (CompareFileTime(&ts, &st.timestamp) <= 0) return false;
    const VARTYPE canonical = st.value.vt();
    Variant taken;
    if (V_VT(&value) == canonical) {
        if (FAILED(taken.copyFrom(value))) return false;
    } else if (holdsObject(value) ||
               FAILED(VariantChangeType(taken.get(), const_cast<VARIANT*>(&value), 0, canonical))) {
        return false; // a value the tag cannot hold in its type stays the reader's own
    }
    st.value = std::move(taken);
    st.quality = quality;
    st.timestamp = ts;
    publish(slot);
    return true;
}

bool OPCTagStore::setCustomProperty(DWORD handle, DWORD id, const std::string& description, const VARIANT& value)
{
    LockGuard g(App().globalLock);
    TagHandleTable::Slot* slot = handles_.find(handle);
    OPCTag* tag = slot ? slot->tag : nullptr;
    if (!tag || id <= 6) {
        // 1 to 6 are the standard properties every tag answers itself.
        SetLastError(tag ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return false;
    }
    if (!tag->setCustomProperty(id, description, value)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // EU type and EU info decide the deadband rule of the tag's items from their next update on.
    if (id == 7 || id == 8) slot->state.euSpan = tag->analogSpan();
    return true;
}

bool OPCTagStore::setLevelLimits(DWORD handle, const LevelLimit limits[4])
{
    LockGuard g(App().globalLock);
    OPCTag* tag = handles_.resolve(handle);
    if (!tag) return false;
    tag->setLevelLimits(limits);
    levelLimitsChanged(*tag);
    return true;
}

bool OPCTagStore::read(DWORD handle, VARIANT* value, WORD* quality, FILETIME* ts)
{
    LockGuard g(App().globalLock);
    OPCTag* tag = handles_.resolve(handle);
    if (!tag) return false;
    if (value) {
        VariantInit(value);
        if (FAILED(VariantCopy(value, tag->state->value.get()))) return false;
    }
    if (quality) *quality = tag->state->quality;
    if (ts) *ts = tag->state->timestamp;
    return true;
}

HRESULT OPCTagStore::validateItem(const OPCITEMDEF& def, OPCITEMRESULT* result, OPCTag** tagOut)
{
    return validateItem(narrow(def.szAccessPath), narrow(def.szItemID), def.vtRequestedDataType, result, tagOut);
}

HRESULT OPCTagStore::validateItem(const std::string& path, const std::string& id, VARTYPE requested,
                                  OPCITEMRESULT* result, OPCTag** tagOut)
{
    if (id.empty()) return OPC_E_INVALIDITEMID;
    LockGuard g(App().globalLock);
    OPCTag* tag = lookup(path, id);
    if (!tag) return OPC_E_UNKNOWNITEMID;
    if (!requestableType(tag->state->value.vt(), requested)) return OPC_E_BADTYPE;
    if (result) {
        result->hServer = 0;
        result->vtCanonicalDataType = tag->state->value.vt();
        result->wReserved = 0;
        result->dwAccessRights = tag->accessRights();
        result->dwBlobSize = 0;
        result->pBlob = nullptr;
    }
    if (tagOut) *tagOut = tag;
    return S_OK;
}

HRESULT OPCTagStore::clientWrite(const ClientIdentity& who, const std::string& tagName, const VARIANT& value)
{
    return clientWriteVQT(who, tagName, value, nullptr, nullptr);
}

HRESULT OPCTagStore::clientWriteVQT(const ClientIdentity& who, const std::string& tagName, const VARIANT& value,
                                    const WORD* quality, const FILETIME* timeStamp)
{
    DWORD handle = kInvalidTagHandle;
    Variant stored;
    const HRESULT hr = writeThroughHost(tagName, value, quality, timeStamp, quality || timeStamp, &handle, &stored);
    audit(who, handle, tagName, &value, SUCCEEDED(hr) ? stored.get() : nullptr, quality, timeStamp, hr);
    return hr;
}

HRESULT OPCTagStore::refusedWrite(const ClientIdentity& who, const std::string& name, const VARIANT* value,
                                  HRESULT hr, const WORD* quality, const FILETIME* timeStamp)
{
    if (!App().writeAuditProc.load()) return hr;
    DWORD handle = kInvalidTagHandle;
    if (!name.empty()) {
        LockGuard g(App().globalLock);
        if (OPCTag* tag = lookup(name)) handle = tag->handle;
    }
    audit(who, handle, name, value, nullptr, quality, timeStamp, hr);
    return hr;
}

HRESULT OPCTagStore::refusedWrite(const ClientIdentity& who, const std::string& name, const OPCITEMVQT& vqt, HRESULT hr)
{
    return refusedWrite(who, name, &vqt.vDataValue, hr, vqt.bQualitySpecified ? &vqt.wQuality : nullptr,
                        vqt.bTimeStampSpecified ? &vqt.ftTimeStamp : nullptr);
}

void OPCTagStore::audit(const ClientIdentity& who, DWORD handle, const std::string& name, const VARIANT* value,
                        const VARIANT* stored, const WORD* quality, const FILETIME* timeStamp, HRESULT hr)
{
    const QV_WRITEAUDITPROC proc = App().writeAuditProc.load();
    if (!proc) return;
    QV_WRITEAUDIT a = {};
    a.cbSize = sizeof a;
    a.hTag = handle;
    a.szItemID = name.c_str();
    a.pValue = value && !holdsObject(*value) ? value : nullptr;
    a.pStoredValue = stored;
    a.pQuality = quality;
    a.pTimeStamp = timeStamp;
    a.hrResult = hr;
    a.ftTime = utcNow();
    a.dwClientNumber = who.clientNumber;
    a.szClientName = who.clientName.c_str();
    a.dwClientProcessId = who.clientPid;
    a.szClientAccount = who.clientAccount.c_str();
    callHost([&] { proc(&a); });
}

HRESULT OPCTagStore::writeThroughHost(const std::string& tagName, const VARIANT& value, const WORD* quality,
                                      const FILETIME* timeStamp, bool vqt, DWORD* handleOut, Variant* stored)
{
    OPCServerApp& app = App();
    const QV_WRITENOTIFICATIONPROC plain = vqt ? nullptr : app.writeNotificationProc.load();
    const QV_WRITEVQTNOTIFICATIONPROC withVqt = vqt ? app.writeVQTNotificationProc.load() : nullptr;
    DWORD handle, hostUpdates;
    {
        LockGuard g(app.globalLock);
        OPCTag* tag = lookup(tagName);
        if (!tag) return OPC_E_INVALIDHANDLE;
        handle = tag->handle;
        hostUpdates = tag->state->hostUpdates;
    }
    *handleOut = handle;
    if (vqt && !withVqt) return OPC_E_NOTSUPPORTED;
    // The host gets its own copy; what it leaves there (it may clamp) is what the tag takes.
    HRESULT hr = S_OK;
    Variant copy(value);
    // After the stop no host callback runs: a write nobody can judge is refused.
    if (withVqt && !callHost([&] { withVqt(handle, copy.get(), quality, timeStamp, &hr); })) return E_FAIL;
    if (plain && !callHost([&] { plain(handle, copy.get(), &hr); })) return E_FAIL;
    // OPC_S_CLAMP: the host took the value it left in its copy, and the client hears so.
    if (hr != S_OK && hr != OPC_S_CLAMP) return hr;
    const HRESULT accepted = hr;
    // Stamped when the host accepted it, unless the client gave a time stamp.
    const FILETIME when = timeStamp ? *timeStamp : utcNow();
    LockGuard g(app.globalLock);
    TagHandleTable::Slot* slot = handles_.find(handle); // the host may have removed it meanwhile
    if (!slot) return OPC_E_INVALIDHANDLE;
    TagState& st = slot->state;
    // The audit's copy of what the tag now holds; its lack only leaves the audit without it.
    auto keepStored = [&] {
        if (app.writeAuditProc.load()) stored->copyFrom(*st.value);
    };
    // The host updated the tag itself during its callback (a clamp by QV_UpdateTag): it spoke
    // last, and its value stands; its followers heard it already.
    if (st.hostUpdates != hostUpdates) {
        keepStored();
        return accepted;
    }
    // What the host left in its copy, in the tag's type (it may have left another).
    hr = storeInTagType(st.value, *copy);
    if (FAILED(hr)) return hr;
    if (quality) st.quality = *quality;
    st.timestamp = when;
    // Every follower hears an accepted write as it would hear the host's own update.
    publish(slot, timeStamp ? nullptr : &when);
    keepStored();
    return accepted;
}

void OPCTagStore::clear()
{
    LockGuard g(App().globalLock);
    root_.destroyChildren();
    handles_ = TagHandleTable();
    subscribers_.detachAllTags();
}

} // namespace qv
