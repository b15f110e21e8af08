#pragma once
// The fixed Alarms and Events vocabulary the server answers with and its events use: its
// event categories, the one condition name of each, and the sub-conditions of the level alarm
// (the discrete alarm's one sub-condition carries the condition's name). There are no vendor
// attributes (attribute queries answer E_NOTIMPL).
#include <windows.h>
#include <cstddef>
#include <string>

namespace qv {

struct EventCategory {
    DWORD id;
    DWORD eventType; // OPC_SIMPLE_EVENT or OPC_CONDITION_EVENT
    const char* description;
    const char* conditionName;
};

// In id order.
extern const EventCategory kEventCategories[3];
extern const char* const kLevelSubConditionNames[4];

// The category with this id; null when there is none.
const EventCategory* findEventCategory(DWORD id);
// The sub-condition names of a condition (none for the system message's).
const char* const* subConditionNames(const std::string& conditionName, size_t* count);

} // namespace qv
