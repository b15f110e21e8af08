#pragma once
// Condition state of the alarms: per source (a tag) and condition (its level alarm, its
// discrete alarm) the state the OPC A&E standard defines, the acknowledgement rules, and the
// list of conditions a refresh reports (active or unacknowledged). Everything here runs under
// the global lock unless noted.
#include <windows.h>
#include <memory>
#include <string>
#include <vector>
#include "addrspace/OPCTag.h"
#include "qvopc.h"

namespace qv {

enum class ConditionKind { Level, Discrete };

// A condition at rest: enabled, inactive and acknowledged (nothing awaits an operator).
constexpr WORD kStateResting = OPC_CONDITION_ENABLED | OPC_CONDITION_ACKED;

struct ConditionState {
    ConditionState(ConditionKind k, OPCTag* t) : kind(k), tag(t)
    {
        if (t && t->state) quality = t->state->quality; // a first event names no quality change
    }
    ~ConditionState();
    ConditionState(const ConditionState&) = delete;
    ConditionState& operator=(const ConditionState&) = delete;

    const ConditionKind kind;
    OPCTag* const tag; // the source
    WORD state = kStateResting;
    int sub = 0;         // active sub-condition: level 1 to 4, discrete 1; 0 inactive
    DWORD severity = 0;  // of the active sub-condition, or of the last one that was active
    std::string message;                // the text when it is not one of the vocabulary's
    const char* vocabMessage = nullptr; // else this vocabulary text (events keep it by address)
    WORD quality = 0;
    FILETIME condLastActive{}, subCondLastActive{}, condLastInactive{}, lastAckTime{};
    std::string acknowledger, comment;
    std::shared_ptr<const EventRecord> last; // the latest event, what a refresh sends again
    size_t listIndex = static_cast<size_t>(-1); // position in the reported list
};

struct DiscreteAlarm {
    DiscreteAlarm(OPCTag* t) : cond(ConditionKind::Discrete, t) {}
    Variant value;
    bool activeWhenEqual = true;
    DWORD severity = 500;
    std::string message;
    ConditionState cond;
};

// What a tag has beyond its level limits; made when the host first asks for any of it.
struct TagConditions {
    explicit TagConditions(OPCTag* t) : level(ConditionKind::Level, t) {}
    bool ackRequired = false;
    double deadband = 0; // an active level holds until the value is back inside its limit by this
    ConditionState level;
    std::unique_ptr<DiscreteAlarm> discrete;
};

// Bit of TagState::limitsEnabled that says the tag has a discrete alarm (so the update path
// evaluates it).
constexpr BYTE kDiscreteAlarmBit = 0x10;
// Its bits 0 to 3: the level limits LoLo, Lo, Hi, HiHi enabled.
constexpr BYTE kLevelLimitBits = 0x0F;

// Runs the tag's alarm evaluation after an update and raises the resulting events (no client
// is called). now: the current time when the caller has just read it, else null.
void evaluateTagAlarms(OPCTag& tag, const FILETIME* now = nullptr);

// The host functions; each takes the lock itself. False for a bad handle or bad arguments.
bool setAlarmAckRequired(DWORD hTag, bool required);
bool setDiscreteAlarm(DWORD hTag, const VARIANT& value, bool activeWhenEqual, DWORD severity,
                      const std::string& message);
bool sendSimpleEvent(const std::string& source, const std::string& message, DWORD severity);
// False with the reason for GetLastError: a negative or NaN deadband, a bad handle, no memory.
bool setAlarmDeadband(DWORD hTag, double deadband);
// A simple event from the server's own source (category "System Message"); null when out of
// memory. Not broadcast: the caller decides who hears it.
std::shared_ptr<const EventRecord> serverNotice(const std::string& message, DWORD severity);
// Enabled limits must be in order (LoLo <= Lo <= Hi <= HiHi) with severities 1 to 1000; false
// with the reason in *why otherwise.
bool checkLevelLimits(const LevelLimit limits[4], std::string* why);
// Global lock held, after the tag's limits changed: a level alarm left without any enabled
// limit while it is reported ends now with a final event.
void levelLimitsChanged(OPCTag& tag);
// Global lock held, before the tag goes: each of its conditions that is active or
// unacknowledged sends a final event (inactive, acknowledged).
void retireConditions(OPCTag& tag);

// A condition by source and condition name; null (and *why the client's error) when either
// is unknown.
ConditionState* findCondition(const std::string& source, const std::string& condition, HRESULT* why);
// The condition names of a source; false for an unknown source.
bool sourceConditions(const std::string& source, std::vector<const char*>* names);

// One acknowledgement that the host hears of after the lock is left.
struct AckNotice {
    DWORD hTag;
    const char* condition;
    std::string acknowledger, comment;
};
// Acknowledges one condition when cookie and active time name its current activation; the
// event goes to every subscription.
HRESULT acknowledge(ConditionState& c, DWORD cookie, const FILETIME& activeTime, const std::string& who,
                    const std::string& comment, AckNotice* notice);

// Whether a node of the tag tree is an event source: a tag with a level or discrete alarm.
bool isEventSource(const OPCTag& tag);

// EnableCondition/DisableCondition by area (a branch of the tag tree: every tag with
// conditions below it) or by source (a tag with conditions). A disabled condition is inactive
// and acknowledged, sends nothing and is not refreshed; enabling evaluates it again from the
// tag's current value. E_INVALIDARG (nothing changed) when a name is unknown.
HRESULT setConditionsEnabled(const std::vector<std::string>& names, bool byArea, bool enable);

// The latest event of every condition that is active or unacknowledged (for a refresh).
std::vector<std::shared_ptr<const EventRecord>> reportedConditionEvents();
// The latest event of the condition an event names, when it is still active or
// unacknowledged (a refresh sends the state as it is when it goes out); else null.
// withAttributes: a latest event raised while no subscription selected attributes goes as a
// copy that carries them as they are now.
std::shared_ptr<const EventRecord> currentReportedEvent(const EventRecord& ev, bool withAttributes = false);

// An event attribute of the condition as it is now (kAttrCurrentValue: the tag's value;
// kAttrLimitExceeded: the limit of the active level, left as it is while inactive).
HRESULT attributeNow(const ConditionState& c, DWORD id, Variant* out);

// Sub-condition names and definitions of a condition, and the name of the one now active ("").
const char* conditionName(const ConditionState& c);
const char* activeSubConditionName(const ConditionState& c);
struct SubConditionInfo {
    std::string name, definition, description;
    DWORD severity;
};
std::vector<SubConditionInfo> subConditions(const ConditionState& c);

} // namespace qv
