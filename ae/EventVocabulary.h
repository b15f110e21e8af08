#pragma once
// The fixed Alarms and Events vocabulary the server answers with and its events use: its
// event categories, the one condition name of each, and the sub-conditions of the level alarm
// (the discrete alarm's one sub-condition carries the condition's name), and the attributes
// an event can carry.
#include <windows.h>
#include <cstddef>
#include <string>

namespace qv {

// The categories' ids.
constexpr DWORD kCategorySystemMessage = 1;
constexpr DWORD kCategoryLevel = 2;
constexpr DWORD kCategoryDiscrete = 3;

// The source of the server's own simple events (the notice of dropped events).
extern const char* const kServerSource;

struct EventCategory {
    DWORD id;
    DWORD eventType; // OPC_SIMPLE_EVENT or OPC_CONDITION_EVENT
    const char* description;
    const char* conditionName;
};

// Attributes of the condition categories: the tag's value when the event was made, and for
// the level alarm the limit its value crossed (empty on the return to normal).
constexpr DWORD kAttrCurrentValue = 1;
constexpr DWORD kAttrLimitExceeded = 2;
struct EventAttribute {
    DWORD id;
    const char* description;
    VARTYPE vt;
};
// The attributes of a category (none for the system message or an unknown category).
const EventAttribute* eventAttributes(DWORD category, size_t* count);

// In id order.
extern const EventCategory kEventCategories[3];
extern const char* const kLevelSubConditionNames[4];

// The category with this id; null when there is none.
const EventCategory* findEventCategory(DWORD id);
// The sub-condition names of a condition (none for the system message's).
const char* const* subConditionNames(const std::string& conditionName, size_t* count);

} // namespace qv
