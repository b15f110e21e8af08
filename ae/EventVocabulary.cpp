#include "ae/EventVocabulary.h"
#include "qvopc.h"

namespace qv {

const EventCategory kEventCategories[3] = {
    {kCategorySystemMessage, OPC_SIMPLE_EVENT, "System Message", "Informational Text"},
    {kCategoryLevel, OPC_CONDITION_EVENT, "Level", "Level Alarm"},
    {kCategoryDiscrete, OPC_CONDITION_EVENT, "Discrete", "Discrete Alarm"},
};

const char* const kServerSource = "Server";

namespace {
const EventAttribute kConditionAttributes[2] = {
    {kAttrCurrentValue, "Current Value", VT_VARIANT},
    {kAttrLimitExceeded, "Limit Exceeded", VT_R8},
};
} // namespace

const EventAttribute* eventAttributes(DWORD category, size_t* count)
{
    *count = category == kCategoryLevel ? 2 : category == kCategoryDiscrete ? 1 : 0;
    return *count ? kConditionAttributes : nullptr;
}

const char* const kLevelSubConditionNames[4] = {"Lo Lo", "Lo", "Hi", "Hi Hi"};

const EventCategory* findEventCategory(DWORD id)
{
    for (const EventCategory& c : kEventCategories)
        if (c.id == id) return &c;
    return nullptr;
}

const char* const* subConditionNames(const std::string& conditionName, size_t* count)
{
    if (conditionName == kEventCategories[kCategoryLevel - 1].conditionName) {
        *count = 4;
        return kLevelSubConditionNames;
    }
    // A single-state condition's one sub-condition carries the condition's name.
    if (conditionName == kEventCategories[kCategoryDiscrete - 1].conditionName) {
        *count = 1;
        return &kEventCategories[kCategoryDiscrete - 1].conditionName;
    }
    *count = 0;
    return nullptr;
}

} // namespace qv
