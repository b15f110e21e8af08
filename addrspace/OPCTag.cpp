#include "addrspace/OPCTag.h"
#include <algorithm>
#include <cmath>
#include <new>
#include "idl/opcerrors.h"
#include "qvopc.h"
#include "ae/Conditions.h"
#include "core/OPCServerApp.h"

namespace qv {

OPCTag::OPCTag()
{
    levelTime = utcNow();
    levelLimits[0] = {0.0f, 0, 200};
    levelLimits[1] = {0.0f, 0, 200};
    levelLimits[2] = {100.0f, 0, 200};
    levelLimits[3] = {100.0f, 0, 200};
}

OPCTag::~OPCTag()
{
    destroyChildren();
}

void OPCTag::destroyChildren()
{
    for (OPCTag* c : children) delete c;
    children.clear();
    childIndex_.clear();
}

std::string OPCTag::shortName(char delimiter) const
{
    size_t p = name.rfind(delimiter);
    return p == std::string::npos ? name : name.substr(p + 1);
}

bool OPCTag::propertyAt(DWORD position, DWORD* id, std::string* description, VARTYPE* vt) const
{
    static const struct { DWORD id; const char* text; VARTYPE vt; } standard[6] = {
        {1, "Item Canonical Data Type", VT_I2}, {2, "Item Value", VT_EMPTY},
        {3, "Item Quality", VT_I2},            {4, "Item Timestamp", VT_DATE},
        {5, "Item Access Rights", VT_I4},      {6, "Server Scan Rate", VT_R4},
    };
    if (position < 6) {
        *id = standard[position].id;
        *description = standard[position].text;
        *vt = position == 1 ? (state ? state->value.vt() : VT_EMPTY) : standard[position].vt;
        return true;
    }
    size_t k = position - 6;
    if (k >= customProperties.size()) return false;
    *id = customProperties[k].id;
    *description = customProperties[k].description;
    *vt = customProperties[k].value.vt();
    return true;
}

DWORD OPCTag::euType() const
{
    for (const CustomProperty& p : customProperties) {
        if (p.id != 7) continue;
        VARIANT v;
        VariantInit(&v);
        if (FAILED(VariantChangeType(&v, const_cast<VARIANT*>(p.value.get()), 0, VT_I4))) return 0;
        return V_I4(&v) > 0 ? static_cast<DWORD>(V_I4(&v)) : 0;
    }
    return 0;
}

HRESULT OPCTag::euInfo(VARIANT* out) const
{
    VariantInit(out);
    for (const CustomProperty& p : customProperties)
        if (p.id == 8) return VariantCopy(out, const_cast<VARIANT*>(p.value.get()));
    return S_OK;
}

float OPCTag::analogSpan() const
{
    if (euType() != OPC_ANALOG) return -1.0f;
    for (const CustomProperty& p : customProperties) {
        if (p.id != 8) continue;
        const VARIANT& v = *p.value.get();
        if (!(V_VT(&v) & VT_ARRAY) || (V_VT(&v) & VT_BYREF) || !V_ARRAY(&v)) return -1.0f;
        SAFEARRAY* sa = V_ARRAY(&v);
        if (SafeArrayGetDim(sa) != 1) return -1.0f;
        LONG lo = 0, hi = -1;
        SafeArrayGetLBound(sa, 1, &lo);
        SafeArrayGetUBound(sa, 1, &hi);
        if (hi - lo != 1) return -1.0f;
        const VARTYPE element = V_VT(&v) & VT_TYPEMASK;
        if (element == VT_BSTR || element == VT_RECORD || element == VT_UNKNOWN || element == VT_DISPATCH)
            return -1.0f;
        double ends[2];
        for (LONG i = 0; i < 2; ++i) {
            VARIANT e, r;
            VariantInit(&e);
            VariantInit(&r);
            LONG at = lo + i;
            HRESULT hr;
            if (element == VT_VARIANT) {
                hr = SafeArrayGetElement(sa, &at, &e);
            } else {
                V_VT(&e) = element; // a plain number read straight into the VARIANT's value
                hr = SafeArrayGetElement(sa, &at, &V_UI1(&e));
            }
            if (FAILED(hr)) return -1.0f;
            hr = VariantChangeType(&r, &e, 0, VT_R8);
            VariantClear(&e);
            if (FAILED(hr)) return -1.0f;
            ends[i] = V_R8(&r);
        }
        const double span = ends[1] - ends[0];
        if (!std::isfinite(span)) return -1.0f;
        return static_cast<float>(std::fabs(span));
    }
    return -1.0f;
}

HRESULT OPCTag::propertyValue(DWORD id, VARIANT* out) const
{
    VariantInit(out);
    if (!state) return OPC_E_UNKNOWNITEMID; // a branch node has no item properties
    const Variant& value = state->value;
    switch (id) {
    case 1:
        V_VT(out) = VT_I2;
        V_I2(out) = static_cast<SHORT>(value.vt());
        return S_OK;
    case 2:
        return VariantCopy(out, const_cast<VARIANT*>(value.get()));
    case 3:
        V_VT(out) = VT_I2;
        V_I2(out) = static_cast<SHORT>(state->quality);
        return S_OK;
    case 4: {
        FILETIME local;
        SYSTEMTIME st;
        DATE d = 0;
        FileTimeToLocalFileTime(&state->timestamp, &local);
        FileTimeToSystemTime(&local, &st);
        SystemTimeToVariantTime(&st, &d);
        // SystemTimeToVariantTime drops milliseconds; add them back.
        d += st.wMilliseconds / (24.0 * 3600.0 * 1000.0);
        V_VT(out) = VT_DATE;
        V_DATE(out) = d;
        return S_OK;
    }
    case 5:
        V_VT(out) = VT_I4;
        V_I4(out) = static_cast<LONG>(accessRights());
        return S_OK;
    case 6:
        // The server's update period: no value reaches a client faster than it ticks.
        V_VT(out) = VT_R4;
        V_R4(out) = static_cast<float>(App().updatePeriod.load());
        return S_OK;
    default:
        for (const CustomProperty& p : customProperties)
            if (p.id == id) return VariantCopy(out, const_cast<VARIANT*>(p.value.get()));
        return OPC_E_INVALID_PID;
    }
}

bool OPCTag::setCustomProperty(DWORD id, const std::string& description, const VARIANT& v)
{
    if (id <= 6) return false;
    for (CustomProperty& p : customProperties) {
        if (p.id == id) {
            p.description = description;
            return SUCCEEDED(p.value.copyFrom(v));
        }
    }
    try {
        CustomProperty p{id, description, Variant()};
        if (FAILED(p.value.copyFrom(v))) return false;
        customProperties.push_back(std::move(p));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

int OPCTag::currentLevel() const
{
    const BYTE enabled = state->limitsEnabled & 0x0F;
    if (!enabled) return 0;
    // One conversion for the four limits; the common types need none.
    float v;
    const VARIANT& value = *state->value;
    if (V_VT(&value) == VT_R8) v = static_cast<float>(V_R8(&value));
    else if (V_VT(&value) == VT_R4) v = V_R4(&value);
    else if (V_VT(&value) == VT_I4) v = static_cast<float>(V_I4(&value));
    else {
        Variant r4;
        if (FAILED(VariantChangeType(r4.get(), const_cast<VARIANT*>(&value), 0, VT_R4))) return 0;
        v = V_R4(r4.get());
    }
    auto holds = [&](int k) {
        if (!(enabled & (1u << (k - 1)))) return false;
        const float limit = levelLimits[k - 1].limit;
        return k >= 3 ? v >= limit : v <= limit;
    };
    return holds(4) ? 4 : holds(1) ? 1 : holds(3) ? 3 : holds(2) ? 2 : 0;
}

void OPCTag::setLevelLimits(const LevelLimit limits[4])
{
    BYTE enabled = 0;
    for (int i = 0; i < 4; ++i) {
        levelLimits[i] = limits[i];
        if (limits[i].enabled) enabled = static_cast<BYTE>(enabled | (1u << i));
    }
    if (state) state->limitsEnabled = static_cast<BYTE>((state->limitsEnabled & kDiscreteAlarmBit) | enabled);
}

void OPCTag::evaluateAlarms(const FILETIME* now)
{
    evaluateTagAlarms(*this, now);
}

OPCTag* OPCTag::findChild(const std::string& childName, bool matchCase) const
{
    auto it = childIndex_.find(foldCase(childName));
    if (it == childIndex_.end()) return nullptr;
    for (OPCTag* c : it->second)
        if (!matchCase || c->name == childName) return c;
    return nullptr;
}

namespace {

// Growth stays geometric (reserve(size + 1) would copy the whole list on every append).
void roomForOneMore(std::vector<OPCTag*>& v)
{
    if (v.size() == v.capacity()) v.reserve(v.empty() ? 4 : v.size() * 2);
}

} // namespace

void OPCTag::appendChild(OPCTag* child)
{
    // Everything that can fail comes first: the child ends up in both lists or in neither.
    std::vector<OPCTag*>& bucket = childIndex_[foldCase(child->name)];
    roomForOneMore(bucket);
    roomForOneMore(children);
    child->parent = this;
    children.push_back(child);
    bucket.push_back(child);
}

void OPCTag::detachChild(OPCTag* child, const std::string& key) noexcept
{
    auto pos = std::find(children.begin(), children.end(), child);
    if (pos != children.end()) children.erase(pos);
    auto it = childIndex_.find(key);
    if (it != childIndex_.end()) {
        auto& bucket = it->second;
        bucket.erase(std::remove(bucket.begin(), bucket.end(), child), bucket.end());
        if (bucket.empty()) childIndex_.erase(it);
    }
}

} // namespace qv

namespace qv {

void OPCTag::replaceChild(OPCTag* child, OPCTag* replacement, const std::string& key) noexcept
{
    auto pos = std::find(children.begin(), children.end(), child);
    if (pos == children.end()) return;
    *pos = replacement;
    replacement->parent = this;
    auto it = childIndex_.find(key);
    if (it != childIndex_.end()) std::replace(it->second.begin(), it->second.end(), child, replacement);
}

void OPCTag::takeChildrenFrom(OPCTag& other) noexcept
{
    children.swap(other.children);
    childIndex_.swap(other.childIndex_);
    for (OPCTag* c : children) c->parent = this;
}

} // namespace qv
