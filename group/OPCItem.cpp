// Group items: the copy rule and the attributes record. Reading and writing values,
// the stream size and change detection live with data exchange (dataio/).
#include "group/OPCItem.h"
#include "base/ObjectPool.h"
#include "base/ComUtil.h"
#include "core/OPCServerApp.h"

namespace qv {

namespace {

// Constructed on first use and never destroyed: items may still be released while the
// library's other statics go away at process end.
ObjectPool& itemPool()
{
    static ObjectPool* pool = new ObjectPool(sizeof(OPCItem), alignof(OPCItem), 1024);
    return *pool;
}

} // namespace

void* OPCItem::operator new(std::size_t)
{
    return itemPool().allocate(); // the class is final: always sizeof(OPCItem)
}

void OPCItem::operator delete(void* p) noexcept
{
    itemPool().release(p);
}

void OPCItem::copyFrom(const OPCItem& other)
{
    serverHandle = other.serverHandle;
    clientHandle = other.clientHandle;
    itemId = other.itemId;
    accessPath = other.accessPath;
    tagName = other.tagName;
    canonicalType = other.canonicalType;
    requestedType = other.requestedType;
    active = other.active;
    quality = other.quality;
    reportedQuality = other.reportedQuality;
    timestamp = other.timestamp;
    value = other.value;
    lastReported = other.lastReported;
    accessRights = other.accessRights;
    hasItemDeadband = other.hasItemDeadband;
    itemDeadband = other.itemDeadband;
    euSpan = other.euSpan;
    // The change flags are not copied: a copy starts changed on both paths, so its first
    // active scan reports it.
    markChanged();
}

HRESULT OPCItem::fillAttributes(OPCITEMATTRIBUTES* a) const
{
    if (!a) return E_INVALIDARG;
    LPWSTR path = widen(accessPath);
    LPWSTR id = path ? widen(itemId) : nullptr;
    if (!path || !id) {
        freeWide(path);
        return E_OUTOFMEMORY;
    }
    a->szAccessPath = path;
    a->szItemID = id;
    a->bActive = active;
    a->hClient = clientHandle;
    a->hServer = serverHandle;
    a->dwAccessRights = accessRights;
    a->dwBlobSize = 0;
    a->pBlob = nullptr;
    a->vtRequestedDataType = requestedType;
    a->vtCanonicalDataType = canonicalType;
    a->dwEUType = OPC_NOENUM;
    VariantInit(&a->vEUInfo);
    return S_OK;
}

} // namespace qv
