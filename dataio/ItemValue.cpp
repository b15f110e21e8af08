// The item's two value conversions (client read, client write), the DA 1.0 stream size of
// its value, and change detection with the percent deadband.
#include <cmath>
#include "group/OPCGroup.h"
#include "group/OPCItem.h"
#include "addrspace/OPCTag.h"
#include "dataio/DataIo.h"

namespace qv {

HRESULT OPCItem::readValue(VARIANT* out, WORD* outQuality, FILETIME* outTime) const
{
    if (!(accessRights & OPC_READABLE)) return OPC_E_BADRIGHTS;
    if (outQuality) *outQuality = quality;
    if (outTime) *outTime = timestamp;
    if (!out) return S_OK;
    HRESULT hr = VariantCopy(out, const_cast<VARIANT*>(value.get()));
    if (FAILED(hr)) {
        VariantInit(out);
        if (outQuality) *outQuality = 0;
        return hr;
    }
    if (requestedType != VT_EMPTY && V_VT(out) != requestedType) {
        hr = VariantChangeType(out, out, 0, requestedType);
        if (FAILED(hr)) {
            // A value in a type the client did not ask for would be misread: hand out none.
            VariantClear(out);
            if (outQuality) *outQuality = 0;
            return hr;
        }
    }
    return S_OK;
}

namespace {

// Same number of dimensions and the same element count and lower bound in each.
bool sameShape(const SAFEARRAY* a, const SAFEARRAY* b)
{
    if (!a || !b || a->cDims != b->cDims) return false;
    for (USHORT d = 0; d < a->cDims; ++d) {
        if (a->rgsabound[d].cElements != b->rgsabound[d].cElements) return false;
        if (a->rgsabound[d].lLbound != b->rgsabound[d].lLbound) return false;
    }
    return true;
}

} // namespace

HRESULT OPCItem::checkWrite(VARIANT* inout) const
{
    if (!(accessRights & OPC_WRITEABLE)) return OPC_E_BADRIGHTS;
    if (!inout) return E_INVALIDARG;
    if (holdsObject(*inout)) return DISP_E_TYPEMISMATCH;
    const VARTYPE t = canonicalType;
    if (V_VT(inout) != t && t != VT_EMPTY && t != VT_NULL) {
        HRESULT hr = VariantChangeType(inout, inout, 0, t);
        if (FAILED(hr)) return hr;
    } else if (t & VT_ARRAY) {
        const VARIANT* cur = value.get();
        if (!(V_VT(cur) & VT_ARRAY) || (V_VT(cur) & VT_BYREF) || (V_VT(inout) & VT_BYREF))
            return DISP_E_TYPEMISMATCH;
        // The right type in another shape: the tag's array keeps its extent.
        if (!sameShape(V_ARRAY(inout), V_ARRAY(cur))) return OPC_E_RANGE;
    }
    return S_OK;
}

void OPCItem::markDelivered()
{
    changed = false;
    reportedQuality = quality;
    // Only a numeric reference takes part in the deadband; any other compares as changed
    // either way, so a string is not copied a second time.
    if (plainVariantType(value.vt())) *lastReported = *value.get();
    else lastReported.clear();
}

bool deadbandExceeded(const VARIANT& reference, const VARIANT& next, float percent)
{
    if (percent == 0.0f) return true;
    switch (V_VT(&reference)) {
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_UI1: case VT_UI2: case VT_UI4: break;
    default: return true;
    }
    VARIANT a, b;
    VariantInit(&a);
    VariantInit(&b);
    // Numeric targets only: no memory to free afterwards.
    if (FAILED(VariantChangeType(&a, const_cast<VARIANT*>(&reference), 0, VT_R4))) return true;
    if (FAILED(VariantChangeType(&b, const_cast<VARIANT*>(&next), 0, VT_R4))) return true;
    const float ra = V_R4(&a), rb = V_R4(&b);
    // A NaN or infinite reference would otherwise never compare as exceeded and freeze the item.
    if (!std::isfinite(ra) || !std::isfinite(rb)) return !(ra == rb || (std::isnan(ra) && std::isnan(rb)));
    if (ra == 0.0f) return rb != 0.0f;
    const float pct = std::fabs((rb - ra) / ra * 100.0f);
    return pct >= percent;
}

// Runs for every item that follows the tag on every host update and accepted write. The
// change is judged against what the client last received, not against the previous update:
// a pending change stays pending until a report carries it, unless value and quality come
// back to what the client already has. The common numeric values take no oleaut32 round trip.
void OPCItem::onTagUpdated(const TagState& tag)
{
    const VARIANT& next = *tag.value.get();
    timestamp = tag.timestamp;
    bool c = true;
    if (reportedQuality == tag.quality) {
        const float d = hasItemDeadband ? itemDeadband
                                        : group ? group->percentDeadband.load(std::memory_order_relaxed) : 0.0f;
        c = d == 0.0f || deadbandExceeded(*lastReported.get(), next, d);
    }
    changed = c;
    quality = tag.quality;
    if (plainVariantType(V_VT(&next)) && plainVariantType(value.vt())) {
        *value = next;
        return;
    }
    assignValue(value, next);
}

} // namespace qv
