// The item's two value conversions (client read, client write), the DA 1.0 stream size of
// its value, and change detection with the percent deadband.
#include <cmath>
#include "group/OPCGroup.h"
#include "group/OPCItem.h"
#include "addrspace/OPCTag.h"
#include "dataio/DataIo.h"
#include "core/OPCServerApp.h"
#include <cstring>

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

namespace {

// Bytes of a plain scalar's value inside the VARIANT (the rest of the union may hold garbage).
size_t plainBytes(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY: case VT_NULL: return 0;
    case VT_I1: case VT_UI1: return 1;
    case VT_I2: case VT_UI2: case VT_BOOL: return 2;
    case VT_I4: case VT_UI4: case VT_R4: case VT_ERROR: case VT_INT: case VT_UINT: return 4;
    default: return 8; // VT_R8, VT_CY, VT_DATE, VT_I8, VT_UI8
    }
}

bool sameBstr(BSTR a, BSTR b)
{
    const UINT la = SysStringByteLen(a), lb = SysStringByteLen(b);
    return la == lb && (la == 0 || memcmp(a, b, la) == 0);
}

bool sameArray(const SAFEARRAY* a, const SAFEARRAY* b, VARTYPE element);

// Equal values of equal type. Anything not compared here (references, objects) counts as
// different, so it is always reported.
bool sameValue(const VARIANT& a, const VARIANT& b)
{
    const VARTYPE vt = V_VT(&a);
    if (vt != V_VT(&b)) return false;
    if (plainVariantType(vt)) {
        const size_t n = plainBytes(vt);
        return n == 0 || memcmp(&V_UI1(&a), &V_UI1(&b), n) == 0;
    }
    if (vt == VT_BSTR) return sameBstr(V_BSTR(&a), V_BSTR(&b));
    if ((vt & VT_ARRAY) && !(vt & VT_BYREF)) return sameArray(V_ARRAY(&a), V_ARRAY(&b), vt & VT_TYPEMASK);
    return false;
}

bool sameArray(const SAFEARRAY* a, const SAFEARRAY* b, VARTYPE element)
{
    if (!a || !b) return a == b;
    if (!sameShape(a, b) || a->cbElements != b->cbElements) return false;
    ULONG count = 1;
    for (USHORT d = 0; d < a->cDims; ++d) count *= a->rgsabound[d].cElements;
    if (count == 0) return true;
    if (!a->pvData || !b->pvData) return a->pvData == b->pvData;
    if (element == VT_BSTR) {
        const BSTR* x = static_cast<const BSTR*>(a->pvData);
        const BSTR* y = static_cast<const BSTR*>(b->pvData);
        for (ULONG i = 0; i < count; ++i)
            if (!sameBstr(x[i], y[i])) return false;
        return true;
    }
    if (element == VT_VARIANT) {
        const VARIANT* x = static_cast<const VARIANT*>(a->pvData);
        const VARIANT* y = static_cast<const VARIANT*>(b->pvData);
        for (ULONG i = 0; i < count; ++i)
            if (!sameValue(x[i], y[i])) return false;
        return true;
    }
    if (!plainVariantType(element)) return false;
    return memcmp(a->pvData, b->pvData, static_cast<size_t>(count) * a->cbElements) == 0;
}

bool numericType(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_INT: case VT_UINT: case VT_I8: case VT_UI8:
        return true;
    default:
        return false;
    }
}

bool asDouble(const VARIANT& v, double* out)
{
    VARIANT r;
    VariantInit(&r);
    if (FAILED(VariantChangeType(&r, const_cast<VARIANT*>(&v), 0, VT_R8))) return false;
    *out = V_R8(&r);
    return true;
}

// The OPC rule for a tag with a declared analog range: a move of more than percent of the span.
bool analogDeadbandExceeded(const VARIANT& reference, const VARIANT& next, float percent, float span)
{
    double a = 0, b = 0;
    if (!asDouble(reference, &a) || !asDouble(next, &b)) return true;
    if (!std::isfinite(a) || !std::isfinite(b)) return !(a == b || (std::isnan(a) && std::isnan(b)));
    return std::fabs(b - a) > static_cast<double>(percent) / 100.0 * static_cast<double>(span);
}

} // namespace

bool OPCItem::differs(const VARIANT& reference, WORD referenceQuality, const VARIANT& next, WORD nextQuality) const
{
    if (referenceQuality != nextQuality) return true;
    const float d = hasItemDeadband ? itemDeadband : group ? group->percentDeadband.load(std::memory_order_relaxed) : 0.0f;
    if (d > 0.0f && numericType(V_VT(&reference)) && numericType(V_VT(&next))) {
        // The OPC rule where the host declared an analog EU range; else the rule of old,
        // relative to the reference (hosts rely on it).
        if (euSpan >= 0.0f) return analogDeadbandExceeded(reference, next, d, euSpan);
        return deadbandExceeded(reference, next, d);
    }
    return !sameValue(reference, next);
}

void OPCItem::delivered(bool streamPath, Variant& sent, WORD sentQuality, DWORD sentUpdates)
{
    Variant& reference = streamPath ? stream.reference : lastReported;
    WORD& referenceQuality = streamPath ? stream.quality : reportedQuality;
    bool& flag = streamPath ? stream.changed : changed;
    (streamPath ? stream.forced : forced) = false;
    reference = std::move(sent);
    referenceQuality = sentQuality;
    // Updates came meanwhile: pending when the item moved past the deadband or, with every
    // update reported, when it holds what was sent (those updates were repeats).
    const VARIANT& now = *value.get();
    flag = updates != sentUpdates &&
           ((App().reportEveryUpdate.load(std::memory_order_relaxed) && referenceQuality == quality &&
             sameValue(*reference.get(), now)) ||
            differs(*reference.get(), referenceQuality, now, quality));
}

bool deadbandExceeded(const VARIANT& reference, const VARIANT& next, float percent)
{
    if (percent == 0.0f) return !sameValue(reference, next);
    switch (V_VT(&reference)) {
    case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_UI1: case VT_UI2: case VT_UI4: break;
    default: return !sameValue(reference, next);
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

// Runs for every item that follows the tag on every host update and accepted write. A change
// is judged against what each path last delivered, not against the previous update: a pending
// change stays pending until a report carries it, unless value and quality come back to what
// the client already has, or an activation owes the client the current value. An update that
// repeats value and quality is no change, unless the host wants every update reported (a value
// that moves is then still held by the deadband). The common numeric values take no oleaut32
// round trip.
void OPCItem::onTagUpdated(const TagState& tag)
{
    const VARIANT& next = *tag.value.get();
    timestamp = tag.timestamp;
    euSpan = tag.euSpan;
    ++updates;
    // With every update reported a repeat of value and quality counts too and what is pending
    // stays pending, but a value that moves still has to leave the deadband.
    const bool every = App().reportEveryUpdate.load(std::memory_order_relaxed);
    const bool repeat = every && quality == tag.quality && sameValue(*value.get(), next);
    // One rule for both paths, each against what it last delivered.
    auto judge = [&](bool pending, bool owed, const Variant& reference, WORD referenceQuality) {
        return (every ? pending || repeat : owed) || differs(*reference.get(), referenceQuality, next, tag.quality);
    };
    changed = judge(changed, forced, lastReported, reportedQuality);
    if (group && group->streamFollowed)
        stream.changed = judge(stream.changed, stream.forced, stream.reference, stream.quality);
    quality = tag.quality;
    if (plainVariantType(V_VT(&next)) && plainVariantType(value.vt())) {
        *value = next;
        return;
    }
    assignValue(value, next);
}

} // namespace qv
