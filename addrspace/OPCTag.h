#pragma once
#include <windows.h>
#include <oleauto.h>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>
#include "runtime/ComUtil.h"

namespace qv {

struct Followers;

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

// One alarm event produced by a tag's level evaluation; the A&E side packs it for the sinks.
struct EventRecord {
    WORD changeMask = 0;
    WORD newState = 0;
    std::string source;
    FILETIME time{};
    std::string message;
    DWORD eventType = 0;
    DWORD eventCategory = 0;
    DWORD severity = 0;
    std::string conditionName;
    std::string subconditionName;
    WORD quality = 0;
    BOOL ackRequired = FALSE;
    FILETIME activeTime{};
    DWORD cookie = 0;
    std::string actorId;
};

// A published process variable, and also a branch node of the address-space tree
// (a node with children; branch nodes have the handle 0xFFFFFFFF).
class OPCTag {
public:
    OPCTag();
    virtual ~OPCTag();
    OPCTag(const OPCTag&) = delete;
    OPCTag& operator=(const OPCTag&) = delete;

    OPCTag* parent = nullptr;
    std::vector<OPCTag*> children; // owned, in creation order
    std::vector<CustomProperty> customProperties;
    std::string name; // tags: full item ID; branch nodes: their own segment
    Followers* followers = nullptr; // the items following this name (tags only; see TagSubscribers)
    Variant value;    // its VARTYPE is the canonical data type
    FILETIME timestamp;
    WORD quality = 0x40;
    int readable = 1;
    int writeable = 0;
    DWORD handle = kInvalidTagHandle;
    int level = 0;
    FILETIME levelTime;
    LevelLimit levelLimits[4];

    DWORD accessRights() const { return static_cast<DWORD>((writeable & 2) | (readable & 1)); }
    bool isLeaf() const { return children.empty(); }
    // Part of the name after the last delimiter (the whole name when there is none).
    std::string shortName(char delimiter) const;

    // Properties: 6 standard ones plus the custom ones in the order they were added.
    DWORD propertyCount() const { return 6 + static_cast<DWORD>(customProperties.size()); }
    bool propertyAt(DWORD position, DWORD* id, std::string* description, VARTYPE* vt) const;
    HRESULT propertyValue(DWORD id, VARIANT* out) const;
    bool setCustomProperty(DWORD id, const std::string& description, const VARIANT& v);

    // Runs the level evaluation; returns an event when the level state changed.
    std::unique_ptr<EventRecord> evaluateLevel();

    // Children lookup by name (first in creation order), under the match-case rule.
    OPCTag* findChild(const std::string& childName, bool matchCase) const;
    void appendChild(OPCTag* child);
    // Takes the child out of the list (does not destroy it).
    void detachChild(OPCTag* child);
    // Puts replacement at child's position (child is detached, not destroyed).
    void replaceChild(OPCTag* child, OPCTag* replacement);
    void destroyChildren();

private:
    bool limitHolds(int k) const;
    // Children indexed by their ASCII-folded name; each bucket keeps creation order.
    std::unordered_map<std::string, std::vector<OPCTag*>> childIndex_;
};

} // namespace qv
