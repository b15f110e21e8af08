#include "addrspace/OPCTagStore.h"
#include <new>
#include "runtime/CallOut.h"
#include "runtime/OPCServerApp.h"
#include "ae/EventDelivery.h"
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

DWORD TagHandleTable::add(OPCTag* tag)
{
    DWORD index;
    if (!free_.empty()) {
        index = free_.front();
        free_.pop_front();
    } else {
        if (slots_.size() >= 0x00FFFFFE) return kInvalidTagHandle;
        index = static_cast<DWORD>(slots_.size());
        slots_.emplace_back();
    }
    Slot& s = slots_[index];
    s.tag = tag;
    ++live_;
    // Index 0 is stored as 1 so that no handle is 0; generation in the top byte.
    return (static_cast<DWORD>(s.gen) << 24) | (index + 1);
}

OPCTag* TagHandleTable::resolve(DWORD handle) const
{
    if (handle == kInvalidTagHandle) return nullptr;
    DWORD index = (handle & 0x00FFFFFF);
    if (index == 0 || index > slots_.size()) return nullptr;
    const Slot& s = slots_[index - 1];
    if (!s.tag || s.gen != static_cast<BYTE>(handle >> 24)) return nullptr;
    return s.tag;
}

void TagHandleTable::remove(DWORD handle)
{
    if (!resolve(handle)) return;
    DWORD index = (handle & 0x00FFFFFF) - 1;
    Slot& s = slots_[index];
    s.tag = nullptr;
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

DWORD OPCTagStore::create(const std::string& name, const VARIANT& value, WORD quality, bool writeable)
{
    OPCServerApp& app = App();
    LockGuard g(app.globalLock);
    if (findNode(name)) return kInvalidTagHandle;
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
                node->appendChild(branch.release());
            }
            node = child;
        }
        std::unique_ptr<OPCTag> tag(new OPCTag());
        tag->name = name;
        if (FAILED(tag->value.copyFrom(value))) return kInvalidTagHandle;
        tag->quality = quality;
        tag->readable = 1;
        tag->writeable = writeable ? 2 : 0;
        tag->timestamp = utcNow();
        subscribers_.attachTag(name, &tag->followers);
        DWORD h = handles_.add(tag.get());
        if (h == kInvalidTagHandle) {
            subscribers_.detachTag(&tag->followers);
            return kInvalidTagHandle;
        }
        tag->handle = h;
        node->appendChild(tag.get());
        tag.release();
        return h;
    } catch (const std::bad_alloc&) {
        return kInvalidTagHandle;
    }
}

bool OPCTagStore::remove(DWORD handle)
{
    LockGuard g(App().globalLock);
    OPCTag* tag = handles_.resolve(handle);
    if (!tag) return false;
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
        return false;
    }
    handles_.remove(handle);
    subscribers_.detachTag(&tag->followers); // cannot fail: only frees
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

void OPCTagStore::pushToSubscribers(const OPCTag& tag)
{
    TagSubscribers::forEachMatching(tag.followers, App().matchCase(),
                                    [&](TagSubscriber* s) { s->onTagUpdated(tag); });
}

bool OPCTagStore::update(DWORD handle, const VARIANT& value, WORD quality, const FILETIME* ts)
{
    OPCServerApp& app = App();
    LockGuard g(app.globalLock);
    OPCTag* tag = handles_.resolve(handle);
    if (!tag) return false;
    // In a large store the follower is a cache miss of its own: start it while the tag is written.
    __builtin_prefetch(tag->followers.first, 1);
    if (FAILED(assignValue(tag->value, value))) return false;
    tag->quality = quality;
    tag->timestamp = ts ? *ts : utcNow();
    pushToSubscribers(*tag);
    std::unique_ptr<EventRecord> ev = tag->evaluateLevel();
    g.release();
    if (ev) broadcastEvent(*ev);
    return true;
}

bool OPCTagStore::updateByName(const std::string& name, const VARIANT& value, WORD quality)
{
    LockGuard g(App().globalLock);
    OPCTag* tag = lookup(name);
    if (!tag) return false;
    if (FAILED(tag->value.copyFrom(value))) return false;
    tag->quality = quality;
    tag->timestamp = utcNow();
    pushToSubscribers(*tag);
    return true;
}

bool OPCTagStore::setCustomProperty(DWORD handle, DWORD id, const std::string& description, const VARIANT& value)
{
    LockGuard g(App().globalLock);
    OPCTag* tag = handles_.resolve(handle);
    return tag && tag->setCustomProperty(id, description, value);
}

bool OPCTagStore::setLevelLimits(DWORD handle, const LevelLimit limits[4])
{
    LockGuard g(App().globalLock);
    OPCTag* tag = handles_.resolve(handle);
    if (!tag) return false;
    for (int i = 0; i < 4; ++i) tag->levelLimits[i] = limits[i];
    return true;
}

bool OPCTagStore::read(DWORD handle, VARIANT* value, WORD* quality, FILETIME* ts)
{
    LockGuard g(App().globalLock);
    OPCTag* tag = handles_.resolve(handle);
    if (!tag) return false;
    if (value) {
        VariantInit(value);
        if (FAILED(VariantCopy(value, tag->value.get()))) return false;
    }
    if (quality) *quality = tag->quality;
    if (ts) *ts = tag->timestamp;
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
    if (requested != VT_EMPTY && requested != tag->value.vt()) {
        Variant scratch;
        if (FAILED(VariantChangeType(scratch.get(), tag->value.get(), 0, requested))) return OPC_E_BADTYPE;
    }
    if (result) {
        result->hServer = 0;
        result->vtCanonicalDataType = tag->value.vt();
        result->wReserved = 0;
        result->dwAccessRights = tag->accessRights();
        result->dwBlobSize = 0;
        result->pBlob = nullptr;
    }
    if (tagOut) *tagOut = tag;
    return S_OK;
}

HRESULT OPCTagStore::clientWrite(const std::string& tagName, const VARIANT& value, Variant* taken)
{
    return writeThroughHost(tagName, value, nullptr, nullptr, taken, false);
}

HRESULT OPCTagStore::clientWriteVQT(const std::string& tagName, const VARIANT& value, const WORD* quality,
                                    const FILETIME* timeStamp, Variant* taken)
{
    return writeThroughHost(tagName, value, quality, timeStamp, taken, true);
}

HRESULT OPCTagStore::writeThroughHost(const std::string& tagName, const VARIANT& value, const WORD* quality,
                                      const FILETIME* timeStamp, Variant* taken, bool vqt)
{
    OPCServerApp& app = App();
    const QV_WRITENOTIFICATIONPROC plain = vqt ? nullptr : app.writeNotificationProc.load();
    const QV_WRITEVQTNOTIFICATIONPROC withVqt = vqt ? app.writeVQTNotificationProc.load() : nullptr;
    if (vqt && !withVqt) return OPC_E_NOTSUPPORTED;
    DWORD handle;
    {
        LockGuard g(app.globalLock);
        OPCTag* tag = lookup(tagName);
        if (!tag) return OPC_E_INVALIDHANDLE;
        handle = tag->handle;
    }
    // The host gets its own copy; what it leaves there (it may clamp) is what the tag takes.
    HRESULT hr = S_OK;
    Variant copy(value);
    if (withVqt) callHost([&] { withVqt(handle, copy.get(), quality, timeStamp, &hr); });
    else if (plain) callHost([&] { plain(handle, copy.get(), &hr); });
    if (hr != S_OK) return hr;
    LockGuard g(app.globalLock);
    OPCTag* tag = handles_.resolve(handle); // the host may have removed it meanwhile
    if (!tag) return OPC_E_INVALIDHANDLE;
    if (quality) tag->quality = *quality;
    if (timeStamp) tag->timestamp = *timeStamp;
    hr = tag->value.copyFrom(*copy);
    if (hr == S_OK && taken) *taken = std::move(copy);
    return hr;
}

void OPCTagStore::clear()
{
    LockGuard g(App().globalLock);
    root_.destroyChildren();
    handles_ = TagHandleTable();
    subscribers_.detachAllTags();
}

} // namespace qv
