#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>
#include "addrspace/TagSubscribers.h"
#include "base/ComUtil.h"

namespace qv {


// Types whose VARIANT owns no memory (all below 32): a plain 16-byte copy is a full copy, with
// no oleaut32 round trip on the update path.
constexpr DWORD kPlainVariantTypes = (1u << VT_EMPTY) | (1u << VT_NULL) | (1u << VT_I2) | (1u << VT_I4) |
                                     (1u << VT_R4) | (1u << VT_R8) | (1u << VT_CY) | (1u << VT_DATE) |
                                     (1u << VT_BOOL) | (1u << VT_ERROR) | (1u << VT_I1) | (1u << VT_UI1) |
                                     (1u << VT_UI2) | (1u << VT_UI4) | (1u << VT_I8) | (1u << VT_UI8) |
                                     (1u << VT_INT) | (1u << VT_UINT);
inline bool plainVariantType(VARTYPE vt) { return vt < 32 && ((kPlainVariantTypes >> vt) & 1u); }

// dst = src for the values of the update path: plain types by a struct copy, a string of the
// same length over the old one in place (hosts often send equally long texts), else VariantCopy.
inline HRESULT assignValue(Variant& dst, const VARIANT& src)
{
    VARIANT& d = *dst;
    if (plainVariantType(V_VT(&src)) && plainVariantType(V_VT(&d))) {
        d = src;
        return S_OK;
    }
    if (V_VT(&src) == VT_BSTR && V_VT(&d) == VT_BSTR && V_BSTR(&src) && V_BSTR(&d) &&
        SysStringByteLen(V_BSTR(&src)) == SysStringByteLen(V_BSTR(&d))) {
        memcpy(V_BSTR(&d), V_BSTR(&src), SysStringByteLen(V_BSTR(&src)));
        return S_OK;
    }
    return dst.copyFrom(src);
}

constexpr DWORD kInvalidTagHandle = 0xFFFFFFFF;

struct LevelLimit {
    float limit;
    int enabled;
    int severity;
};

struct CustomProperty {
    DWORD id;
    std::string description;
    Variant value;
};

struct TagConditions;

// A text of an event: one of the vocabulary's static strings, kept by address (raising an
// alarm copies no text), or a copy of its own.
class EventText {
public:
    EventText() = default;
    EventText(const EventText&) = delete;
    EventText& operator=(const EventText&) = delete;
    EventText& operator=(const std::string& s)
    {
        own_ = s;
        p_ = nullptr;
        return *this;
    }
    // s must outlive every event (a literal or a table of the vocabulary).
    void setStatic(const char* s)
    {
        p_ = s;
        own_.clear();
    }
    const char* c_str() const { return p_ ? p_ : own_.c_str(); }
    size_t size() const { return p_ ? strlen(p_) : own_.size(); }
    // An explicit copy (a static text stays static).
    void assign(const EventText& o)
    {
        p_ = o.p_;
        own_ = o.own_;
    }

private:
    const char* p_ = nullptr;
    std::string own_;
};

// One alarm event (a tag's condition changing, an acknowledgement, a host's message); the
// A&E side shares one record among the subscriptions and packs it for the sinks.
struct EventRecord {
    WORD changeMask = 0;
    WORD newState = 0;
    std::string source;
    FILETIME time{};
    EventText message;
    DWORD eventType = 0;
    DWORD eventCategory = 0;
    DWORD severity = 0;
    EventText conditionName;
    EventText subconditionName;
    WORD quality = 0;
    BOOL ackRequired = FALSE;
    FILETIME activeTime{};
    DWORD cookie = 0;
    EventText actorId;
    // What the event attributes report: the tag's value, the level limit crossed.
    Variant currentValue, limitExceeded;
};

// Copies everything of an event but its attribute values (EventText cannot be copied by
// assignment); beside the struct, so a new field is copied too.
inline void copyWithoutAttributes(EventRecord& to, const EventRecord& from)
{
    to.changeMask = from.changeMask;
    to.newState = from.newState;
    to.source = from.source;
    to.time = from.time;
    to.message.assign(from.message);
    to.eventType = from.eventType;
    to.eventCategory = from.eventCategory;
    to.severity = from.severity;
    to.conditionName.assign(from.conditionName);
    to.subconditionName.assign(from.subconditionName);
    to.quality = from.quality;
    to.ackRequired = from.ackRequired;
    to.activeTime = from.activeTime;
    to.cookie = from.cookie;
    to.actorId.assign(from.actorId);
}

// What a host update writes. It lives in the tag's slot of the handle table, not in the tag:
// in a large store an update then reads one dense array and its items, not the tag as well.
struct TagState {
    Variant value;    // its VARTYPE is the canonical data type
    FILETIME timestamp{};
    WORD quality = 0x40;
    BYTE limitsEnabled = 0; // bit k: the tag's levelLimits[k] is enabled; bit 4: a discrete alarm
    BYTE level = 0;         // current alarm level, 0 normal
    DWORD hostUpdates = 0;  // counts the host's own updates: a write callback that updated the tag spoke last
    float euSpan = -1.0f;   // EU high - low when the host declared the tag analog with EU info; else negative
};

// A published process variable, and also a branch node of the address-space tree
// (a node with children; branch nodes have the handle 0xFFFFFFFF and no state).
class OPCTag {
public:
    OPCTag();
    virtual ~OPCTag();
    OPCTag(const OPCTag&) = delete;
    OPCTag& operator=(const OPCTag&) = delete;

    TagState* state = nullptr; // tags only: value, quality, time stamp (see TagHandleTable)
    LevelLimit levelLimits[4];

    OPCTag* parent = nullptr;
    std::vector<OPCTag*> children; // owned, in creation order
    std::vector<CustomProperty> customProperties;
    std::string name; // tags: full item ID; branch nodes: their own segment
    int readable = 1;
    int writeable = 0;
    DWORD handle = kInvalidTagHandle;
    FILETIME levelTime;
    // Condition state, acknowledgement and the discrete alarm; made on first use (ae/Conditions).
    std::unique_ptr<TagConditions> conditions;

    VARTYPE canonicalType() const { return state ? state->value.vt() : VT_EMPTY; }
    DWORD accessRights() const { return static_cast<DWORD>((writeable & 2) | (readable & 1)); }
    bool isLeaf() const { return children.empty(); }
    // Part of the name after the last delimiter (the whole name when there is none).
    std::string shortName(char delimiter) const;

    // Properties: 6 standard ones plus the custom ones in the order they were added.
    DWORD propertyCount() const { return 6 + static_cast<DWORD>(customProperties.size()); }
    bool propertyAt(DWORD position, DWORD* id, std::string* description, VARTYPE* vt) const;
    HRESULT propertyValue(DWORD id, VARIANT* out) const;
    bool setCustomProperty(DWORD id, const std::string& description, const VARIANT& v);
    // The EU type the host declared (property 7; OPC_NOENUM when none) and its EU info
    // (property 8, VT_EMPTY when none).
    DWORD euType() const;
    HRESULT euInfo(VARIANT* out) const;
    // High minus low of a tag declared analog (property 7) with EU info (property 8, two
    // numbers); negative when either is missing or unusable.
    float analogSpan() const;

    void setLevelLimits(const LevelLimit limits[4]);
    // The level the current value is in: 0 normal, 1 low-low, 2 low, 3 high, 4 high-high.
    int currentLevel() const;
    // Evaluates the level and discrete alarms after an update and queues their events.
    void evaluateAlarms(const FILETIME* now = nullptr);

    // Children lookup by name (first in creation order), under the match-case rule.
    OPCTag* findChild(const std::string& childName, bool matchCase) const;
    void appendChild(OPCTag* child);
    // These take the child's folded name (computed beforehand) so that they cannot fail.
    // Takes the child out of the list (does not destroy it).
    void detachChild(OPCTag* child, const std::string& key) noexcept;
    // Puts replacement, of the same name, at child's position (child is not destroyed).
    void replaceChild(OPCTag* child, OPCTag* replacement, const std::string& key) noexcept;
    // Moves every child of other (this one has none) under this node.
    void takeChildrenFrom(OPCTag& other) noexcept;
    void destroyChildren();

private:
    // Children indexed by their ASCII-folded name; each bucket keeps creation order.
    std::unordered_map<std::string, std::vector<OPCTag*>> childIndex_;
};

} // namespace qv
