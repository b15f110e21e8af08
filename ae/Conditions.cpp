#include "ae/Conditions.h"
#include <cstdio>
#include <cstring>
#include <new>
#include "ae/EventDelivery.h"
#include "ae/EventFilter.h"
#include "ae/EventVocabulary.h"
#include "base/BlockRecycler.h"
#include "addrspace/AddressTree.h"
#include "idl/opcerrors.h"
#include "core/OPCServerApp.h"
#include "qvopc.h"

namespace qv {

namespace {

constexpr size_t kNotListed = static_cast<size_t>(-1);
const char* const kLevelCondition = kEventCategories[kCategoryLevel - 1].conditionName;
const char* const kDiscreteCondition = kEventCategories[kCategoryDiscrete - 1].conditionName;

// The level alarm's texts by level (0 normal).
const char* const kLevelMessages[5] = {"Normal Condition", "Low Low Limit Exceeded", "Low Limit Exceeded",
                                       "High Limit Exceeded", "High High Limit Exceeded"};
const char* const kNormalMessage = kLevelMessages[0];
const char* const kDisabledMessage = "Condition Disabled";
const char* const kRemovedMessage = "Condition Removed";

// Records are recycled: raising an alarm then costs no heap call.
std::shared_ptr<EventRecord> newEventRecord()
{
    return std::allocate_shared<EventRecord>(RecyclingAllocator<EventRecord>());
}

bool needsReport(const ConditionState& c)
{
    return (c.state & OPC_CONDITION_ACTIVE) || !(c.state & OPC_CONDITION_ACKED);
}

// Keeps the reported list (active or unacknowledged conditions) current.
void relist(ConditionState& c)
{
    std::vector<ConditionState*>& list = App().reportedConditions;
    const bool listed = c.listIndex != kNotListed;
    if (needsReport(c) == listed) return;
    if (!listed) {
        try {
            list.push_back(&c);
            c.listIndex = list.size() - 1;
        } catch (const std::bad_alloc&) {
            // Only a refresh misses it; its events still go out.
        }
        return;
    }
    ConditionState* moved = list.back();
    list[c.listIndex] = moved;
    moved->listIndex = c.listIndex;
    list.pop_back();
    c.listIndex = kNotListed;
}

bool ackRequiredFor(const ConditionState& c)
{
    return c.tag->conditions && c.tag->conditions->ackRequired;
}

bool enabled(const ConditionState& c) { return (c.state & OPC_CONDITION_ENABLED) != 0; }

DWORD clampSeverity(int s) { return s < 1 ? 1 : s > static_cast<int>(kHighestSeverity) ? kHighestSeverity : s; }

// What an event of the condition carries: the active sub-condition's severity, else the one
// last active (a clear and an acknowledgement pass the same severity filter as the alarm); a
// condition never active takes its lowest configured one.
DWORD eventSeverity(const ConditionState& c)
{
    if (c.severity) return c.severity;
    int lowest = 0;
    if (c.kind == ConditionKind::Level) {
        for (const LevelLimit& l : c.tag->levelLimits)
            if (l.enabled && (lowest == 0 || l.severity < lowest)) lowest = l.severity;
    } else if (c.tag->conditions && c.tag->conditions->discrete) {
        lowest = static_cast<int>(c.tag->conditions->discrete->severity);
    }
    return clampSeverity(lowest);
}

// A vocabulary text is kept by address: raising a level alarm copies no string.
void setMessage(ConditionState& c, const char* text, bool vocabulary)
{
    if (vocabulary) c.message.clear();
    else c.message = text;
    c.vocabMessage = vocabulary ? text : nullptr;
}

const char* messageOf(const ConditionState& c) { return c.vocabMessage ? c.vocabMessage : c.message.c_str(); }

// An event of the condition's state as it is now.
std::shared_ptr<EventRecord> newConditionEvent(const ConditionState& c, WORD changeMask, const FILETIME& now)
{
    auto ev = newEventRecord();
    ev->source = c.tag->name;
    ev->time = now;
    ev->eventType = OPC_CONDITION_EVENT;
    ev->eventCategory = c.kind == ConditionKind::Level ? kCategoryLevel : kCategoryDiscrete;
    ev->severity = eventSeverity(c);
    ev->conditionName.setStatic(conditionName(c));
    ev->subconditionName.setStatic(activeSubConditionName(c));
    if (c.vocabMessage) ev->message.setStatic(c.vocabMessage);
    else ev->message = c.message;
    ev->quality = c.quality;
    ev->cookie = c.tag->handle;
    ev->changeMask = changeMask;
    ev->newState = c.state;
    ev->ackRequired = (c.state & OPC_CONDITION_ACKED) ? FALSE : TRUE;
    // The time an acknowledgement must name: the activation's, also on the return to normal.
    ev->activeTime = c.subCondLastActive;
    // An attribute that cannot be copied is left empty; none is copied while no one wants them.
    if (eventAttributesWanted()) {
        attributeNow(c, kAttrCurrentValue, &ev->currentValue);
        attributeNow(c, kAttrLimitExceeded, &ev->limitExceeded);
    }
    return ev;
}

// The condition's state changed: its event becomes its latest and goes to every subscription.
void emit(ConditionState& c, WORD changeMask, const FILETIME& now)
{
    std::shared_ptr<EventRecord> ev;
    try {
        ev = newConditionEvent(c, changeMask, now);
    } catch (const std::bad_alloc&) {
        relist(c);
        return; // the state is right; this one event is lost
    }
    c.last = std::move(ev);
    relist(c);
    broadcastEvent(c.last);
}

// Moves a condition to a new active sub-condition (0: inactive) and raises its event. A tag
// whose alarms need no acknowledgement keeps its conditions acknowledged.
void transition(ConditionState& c, int newSub, DWORD severity, const char* message, bool vocabulary, WORD quality,
                const FILETIME& now, WORD extraMask = 0)
{
    const bool was = c.sub != 0, is = newSub != 0;
    WORD mask = extraMask;
    if (was != is) mask |= OPC_CHANGE_ACTIVE_STATE;
    // A new active level is a new sub-condition with its own severity and text.
    if (is && newSub != c.sub) mask |= OPC_CHANGE_SUBCONDITION | OPC_CHANGE_SEVERITY | OPC_CHANGE_MESSAGE;
    if (messageOf(c) != message && strcmp(messageOf(c), message) != 0) mask |= OPC_CHANGE_MESSAGE;
    if (quality != c.quality) mask |= OPC_CHANGE_QUALITY;
    if (is) {
        if (!was) c.condLastActive = now;
        c.subCondLastActive = now;
        c.state |= OPC_CONDITION_ACTIVE;
        c.severity = severity;
        if (ackRequiredFor(c)) {
            // Every activation and every new sub-condition waits for its own acknowledgement.
            if (c.state & OPC_CONDITION_ACKED) mask |= OPC_CHANGE_ACK_STATE;
            c.state &= ~OPC_CONDITION_ACKED;
        }
    } else {
        c.condLastInactive = now;
        c.state &= ~OPC_CONDITION_ACTIVE; // the severity stays the one that was active
    }
    c.sub = newSub;
    setMessage(c, message, vocabulary);
    c.quality = quality;
    emit(c, mask, now);
}

// The condition ends for good (its alarm or tag goes): inactive and acknowledged, with a
// final event when a client may still list it.
void retire(ConditionState& c, const FILETIME& now)
{
    if (!needsReport(c)) return;
    WORD mask = OPC_CHANGE_MESSAGE;
    if (c.state & OPC_CONDITION_ACTIVE) {
        mask |= OPC_CHANGE_ACTIVE_STATE;
        c.condLastInactive = now;
    }
    if (!(c.state & OPC_CONDITION_ACKED)) mask |= OPC_CHANGE_ACK_STATE;
    c.state = static_cast<WORD>((c.state & OPC_CONDITION_ENABLED) | OPC_CONDITION_ACKED);
    c.sub = 0;
    setMessage(c, kRemovedMessage, true);
    emit(c, mask, now);
}

// The condition takes the tag's quality; an enabled one tells its clients.
void followQuality(ConditionState& c, WORD quality, bool isSource, const FILETIME* now)
{
    if (c.quality == quality) return;
    c.quality = quality;
    if (enabled(c) && isSource) emit(c, OPC_CHANGE_QUALITY, now ? *now : utcNow());
}

bool valuesEqual(const VARIANT& v, const VARIANT& ref)
{
    Variant conv;
    const VARIANT* a = &v;
    if (V_VT(&v) != V_VT(&ref)) {
        if (FAILED(VariantChangeType(conv.get(), const_cast<VARIANT*>(&v), 0, V_VT(&ref)))) return false;
        a = conv.get();
    }
    return VarCmp(const_cast<VARIANT*>(a), const_cast<VARIANT*>(&ref), LOCALE_USER_DEFAULT, 0) == VARCMP_EQ;
}

int discreteSub(OPCTag& tag, const DiscreteAlarm& d)
{
    return valuesEqual(*tag.state->value, *d.value) == d.activeWhenEqual ? 1 : 0;
}

void evaluateDiscrete(OPCTag& tag, DiscreteAlarm& d, const FILETIME* now = nullptr)
{
    if (!enabled(d.cond)) return;
    const int sub = discreteSub(tag, d);
    if (sub == d.cond.sub) return;
    transition(d.cond, sub, d.severity, sub ? d.message.c_str() : kNormalMessage, sub == 0, tag.state->quality,
               now ? *now : utcNow());
}

// The level as OPCTag::currentLevel computes it, except that the active level and the ones
// below it on its side hold until the value is back inside their limits by the deadband.
int levelWithDeadband(const OPCTag& tag, int active, double deadband)
{
    const BYTE on = tag.state->limitsEnabled & kLevelLimitBits;
    if (!on) return 0;
    const VARIANT& value = *tag.state->value;
    float v;
    if (V_VT(&value) == VT_R8) v = static_cast<float>(V_R8(&value));
    else {
        Variant r4;
        if (FAILED(VariantChangeType(r4.get(), const_cast<VARIANT*>(&value), 0, VT_R4))) return 0;
        v = V_R4(r4.get());
    }
    auto sticky = [&](int k) { return active >= 3 ? (k >= 3 && k <= active) : (active != 0 && k <= 2 && k >= active); };
    auto holds = [&](int k) {
        if (!(on & (1u << (k - 1)))) return false;
        const double limit = tag.levelLimits[k - 1].limit, band = sticky(k) ? deadband : 0;
        return k >= 3 ? v >= limit - band : v <= limit + band;
    };
    return holds(4) ? 4 : holds(1) ? 1 : holds(3) ? 3 : holds(2) ? 2 : 0;
}

TagConditions* conditionsOf(OPCTag& tag)
{
    if (!tag.conditions) tag.conditions.reset(new (std::nothrow) TagConditions(&tag));
    return tag.conditions.get();
}

bool hasLevelAlarm(const OPCTag& tag)
{
    return (tag.state->limitsEnabled & kLevelLimitBits) || (tag.conditions && needsReport(tag.conditions->level));
}

std::string valueText(const VARIANT& v)
{
    Variant s;
    if (FAILED(VariantChangeType(s.get(), const_cast<VARIANT*>(&v), VARIANT_ALPHABOOL, VT_BSTR))) return "?";
    return narrow(V_BSTR(s.get()));
}

} // namespace

ConditionState::~ConditionState()
{
    if (listIndex == kNotListed) return;
    state = OPC_CONDITION_ENABLED | OPC_CONDITION_ACKED;
    relist(*this);
}

void evaluateTagAlarms(OPCTag& tag, const FILETIME* now)
{
    TagState& st = *tag.state;
    const TagConditions* has = tag.conditions.get();
    const int level = has && has->deadband > 0 ? levelWithDeadband(tag, st.level, has->deadband) : tag.currentLevel();
    if (level != st.level) {
        // Without memory for the state the level stays as it was and the next update tries again.
        if (TagConditions* tc = conditionsOf(tag)) {
            st.level = static_cast<BYTE>(level);
            tag.levelTime = now ? *now : utcNow();
            const DWORD severity = level ? clampSeverity(tag.levelLimits[level - 1].severity) : 0;
            // A disabled alarm follows the level silently; enabling starts from it.
            if (enabled(tc->level))
                transition(tc->level, level, severity, kLevelMessages[level], true, st.quality, tag.levelTime);
        }
    }
    TagConditions* tc = tag.conditions.get();
    if (!tc) return;
    if (tc->discrete) evaluateDiscrete(tag, *tc->discrete, now);
    // A quality change without a change of state is an event of its own.
    if (tc->level.quality != st.quality) followQuality(tc->level, st.quality, hasLevelAlarm(tag), now);
    if (tc->discrete && tc->discrete->cond.quality != st.quality)
        followQuality(tc->discrete->cond, st.quality, true, now);
}

bool setAlarmAckRequired(DWORD hTag, bool required)
{
    LockGuard g(App().globalLock);
    OPCTag* tag = App().tags.resolve(hTag);
    if (!tag) return false;
    TagConditions* tc = conditionsOf(*tag);
    if (!tc) return false;
    tc->ackRequired = required;
    if (!required) {
        // Nothing waits for an operator any more: what was pending is acknowledged, and said so.
        const FILETIME now = utcNow();
        for (ConditionState* c : {&tc->level, tc->discrete ? &tc->discrete->cond : nullptr}) {
            if (!c || (c->state & OPC_CONDITION_ACKED)) continue;
            c->state |= OPC_CONDITION_ACKED;
            c->lastAckTime = now;
            emit(*c, OPC_CHANGE_ACK_STATE, now);
        }
    }
    return true;
}

bool setAlarmDeadband(DWORD hTag, double deadband)
{
    if (!(deadband >= 0) || deadband > 3.4e38) { // also refuses NaN
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    LockGuard g(App().globalLock);
    OPCTag* tag = App().tags.resolve(hTag);
    if (!tag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    TagConditions* tc = conditionsOf(*tag);
    if (!tc) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    tc->deadband = deadband;
    return true;
}

bool checkLevelLimits(const LevelLimit limits[4], std::string* why)
{
    static const char* const names[4] = {"LoLo", "Lo", "Hi", "HiHi"};
    char buf[128];
    int prev = -1;
    for (int k = 0; k < 4; ++k) {
        if (!limits[k].enabled) continue;
        if (limits[k].severity < 1 || limits[k].severity > static_cast<int>(kHighestSeverity)) {
            snprintf(buf, sizeof buf, "%s severity %d is outside 1 to 1000", names[k], limits[k].severity);
            *why = buf;
            return false;
        }
        if (!(limits[k].limit == limits[k].limit)) {
            snprintf(buf, sizeof buf, "%s limit is not a number", names[k]);
            *why = buf;
            return false;
        }
        if (prev >= 0 && limits[k].limit < limits[prev].limit) {
            snprintf(buf, sizeof buf, "%s limit %g is below %s limit %g", names[k], static_cast<double>(limits[k].limit),
                     names[prev], static_cast<double>(limits[prev].limit));
            *why = buf;
            return false;
        }
        prev = k;
    }
    return true;
}

void levelLimitsChanged(OPCTag& tag)
{
    if ((tag.state->limitsEnabled & kLevelLimitBits) || !tag.conditions) return;
    tag.state->level = 0;
    retire(tag.conditions->level, utcNow());
}

void retireConditions(OPCTag& tag)
{
    if (!tag.conditions) return;
    const FILETIME now = utcNow();
    retire(tag.conditions->level, now);
    if (tag.conditions->discrete) retire(tag.conditions->discrete->cond, now);
}

bool setDiscreteAlarm(DWORD hTag, const VARIANT& value, bool activeWhenEqual, DWORD severity,
                      const std::string& message)
{
    // Every refusal sets its reason (SetLastError) for the host.
    const bool remove = V_VT(&value) == VT_EMPTY;
    if (holdsObject(value) || (!remove && (severity < 1 || severity > 1000))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    LockGuard g(App().globalLock);
    OPCTag* tag = App().tags.resolve(hTag);
    if (!tag) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (remove) {
        if (tag->conditions && tag->conditions->discrete) {
            retire(tag->conditions->discrete->cond, utcNow());
            tag->conditions->discrete.reset();
        }
        tag->state->limitsEnabled = static_cast<BYTE>(tag->state->limitsEnabled & ~kDiscreteAlarmBit);
        return true;
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY); // the reason of every failure below
    TagConditions* tc = conditionsOf(*tag);
    if (!tc) return false;
    try {
        std::unique_ptr<DiscreteAlarm> fresh;
        DiscreteAlarm* d = tc->discrete.get();
        if (!d) {
            fresh.reset(new DiscreteAlarm(tag));
            d = fresh.get();
        }
        if (FAILED(d->value.copyFrom(value))) return false;
        d->activeWhenEqual = activeWhenEqual;
        d->severity = severity;
        d->message = message;
        if (fresh) tc->discrete = std::move(fresh);
    } catch (const std::bad_alloc&) {
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    tag->state->limitsEnabled = static_cast<BYTE>(tag->state->limitsEnabled | kDiscreteAlarmBit);
    // A value that already meets the new alarm raises it now, not at the next update.
    evaluateDiscrete(*tag, *tc->discrete);
    return true;
}

namespace {

std::shared_ptr<EventRecord> newSimpleEvent(const std::string& source, const std::string& message, DWORD severity)
{
    auto ev = newEventRecord();
    ev->source = source;
    ev->message = message;
    ev->time = utcNow();
    ev->eventType = OPC_SIMPLE_EVENT;
    ev->eventCategory = kCategorySystemMessage;
    ev->severity = severity;
    return ev;
}

} // namespace

bool sendSimpleEvent(const std::string& source, const std::string& message, DWORD severity)
{
    if (severity < 1 || severity > kHighestSeverity) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    try {
        broadcastEvent(newSimpleEvent(source, message, severity));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

std::shared_ptr<const EventRecord> serverNotice(const std::string& message, DWORD severity)
{
    try {
        return newSimpleEvent(kServerSource, message, severity);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

ConditionState* findCondition(const std::string& source, const std::string& condition, HRESULT* why)
{
    *why = E_INVALIDARG;
    OPCTag* tag = App().tags.lookup(source);
    if (!tag) return nullptr;
    if (condition == kLevelCondition && hasLevelAlarm(*tag)) {
        TagConditions* tc = conditionsOf(*tag);
        if (!tc) *why = E_OUTOFMEMORY;
        return tc ? &tc->level : nullptr;
    }
    if (condition == kDiscreteCondition && tag->conditions && tag->conditions->discrete)
        return &tag->conditions->discrete->cond;
    return nullptr;
}

bool sourceConditions(const std::string& source, std::vector<const char*>* names)
{
    OPCTag* tag = App().tags.lookup(source);
    if (!tag) return false;
    if (hasLevelAlarm(*tag)) names->push_back(kLevelCondition);
    if (tag->conditions && tag->conditions->discrete) names->push_back(kDiscreteCondition);
    return true;
}

HRESULT acknowledge(ConditionState& c, DWORD cookie, const FILETIME& activeTime, const std::string& who,
                    const std::string& comment, AckNotice* notice)
{
    if (!ackRequiredFor(c) || (c.state & OPC_CONDITION_ACKED)) return OPC_S_ALREADYACKED;
    if (cookie != c.tag->handle || CompareFileTime(&activeTime, &c.subCondLastActive) != 0) return OPC_E_INVALIDTIME;
    const FILETIME now = utcNow();
    std::shared_ptr<EventRecord> ev;
    try {
        ev = newConditionEvent(c, OPC_CHANGE_ACK_STATE, now);
        // The event carries the operator's comment as its text (there are no event attributes).
        if (!comment.empty()) ev->message = comment;
        ev->actorId = who;
        notice->acknowledger = who;
        notice->comment = comment;
        c.acknowledger = who;
        c.comment = comment;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    c.state |= OPC_CONDITION_ACKED;
    c.lastAckTime = now;
    ev->newState = c.state;
    ev->ackRequired = FALSE;
    c.last = ev;
    relist(c);
    broadcastEvent(c.last);
    notice->hTag = c.tag->handle;
    notice->condition = conditionName(c);
    return S_OK;
}

bool isEventSource(const OPCTag& tag)
{
    return tag.state && (hasLevelAlarm(tag) || (tag.conditions && tag.conditions->discrete));
}

namespace {

bool hasConditions(const OPCTag& tag) { return isEventSource(tag); }

void collectSources(OPCTag& node, std::vector<OPCTag*>* out)
{
    if (hasConditions(node)) out->push_back(&node);
    for (OPCTag* c : node.children) collectSources(*c, out);
}

// Disabling: inactive and acknowledged, said so once, then silent. Enabling: said so, with
// the activation when the tag is beyond a limit now.
void setEnabled(ConditionState& c, bool enable, const FILETIME& now)
{
    if (enabled(c) == enable) return;
    if (!enable) {
        WORD mask = OPC_CHANGE_ENABLE_STATE | OPC_CHANGE_MESSAGE;
        if (c.state & OPC_CONDITION_ACTIVE) {
            mask |= OPC_CHANGE_ACTIVE_STATE;
            c.condLastInactive = now;
        }
        if (!(c.state & OPC_CONDITION_ACKED)) mask |= OPC_CHANGE_ACK_STATE;
        c.state = OPC_CONDITION_ACKED;
        c.sub = 0;
        setMessage(c, kDisabledMessage, true);
        emit(c, mask, now);
        return;
    }
    c.state = kStateResting;
    OPCTag& tag = *c.tag;
    int sub = 0;
    DWORD severity = 0;
    const char* message = kNormalMessage;
    bool vocabulary = true;
    if (c.kind == ConditionKind::Discrete) {
        const DiscreteAlarm& d = *tag.conditions->discrete;
        sub = discreteSub(tag, d);
        severity = d.severity;
        if (sub) {
            message = d.message.c_str();
            vocabulary = false;
        }
    } else {
        sub = tag.currentLevel();
        tag.state->level = static_cast<BYTE>(sub);
        tag.levelTime = now;
        if (sub) {
            severity = clampSeverity(tag.levelLimits[sub - 1].severity);
            message = kLevelMessages[sub];
        }
    }
    if (sub) {
        transition(c, sub, severity, message, vocabulary, tag.state->quality, now, OPC_CHANGE_ENABLE_STATE);
        return;
    }
    setMessage(c, kNormalMessage, true);
    c.quality = tag.state->quality;
    emit(c, OPC_CHANGE_ENABLE_STATE | OPC_CHANGE_MESSAGE, now);
}

} // namespace

HRESULT setConditionsEnabled(const std::vector<std::string>& names, bool byArea, bool enable)
{
    std::vector<OPCTag*> tags;
    try {
        OPCServerApp& app = App();
        const AddressTree tree = AddressTree::current();
        for (const std::string& name : names) {
            if (byArea) {
                bool leaf = false;
                OPCTag* node = const_cast<OPCTag*>(tree.nodeByName(name, &leaf));
                if (!node || leaf) return E_INVALIDARG;
                collectSources(*node, &tags);
            } else {
                OPCTag* tag = app.tags.lookup(name);
                if (!tag || !hasConditions(*tag)) return E_INVALIDARG;
                tags.push_back(tag);
            }
        }
        for (OPCTag* tag : tags)
            if (!conditionsOf(*tag)) return E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    const FILETIME now = utcNow();
    for (OPCTag* tag : tags) {
        TagConditions& tc = *tag->conditions;
        // A tag with only a discrete alarm has no level condition to speak of.
        if (hasLevelAlarm(*tag)) setEnabled(tc.level, enable, now);
        else if (!enable) tc.level.state = OPC_CONDITION_ACKED;
        else tc.level.state = kStateResting;
        if (tc.discrete) setEnabled(tc.discrete->cond, enable, now);
    }
    return S_OK;
}

std::shared_ptr<const EventRecord> currentReportedEvent(const EventRecord& ev, bool withAttributes)
{
    HRESULT why = S_OK;
    ConditionState* c = findCondition(ev.source, ev.conditionName.c_str(), &why);
    if (!c || !needsReport(*c)) return nullptr;
    if (!withAttributes || !c->last || c->last->currentValue.vt() != VT_EMPTY) return c->last;
    // Raised before anyone selected attributes: a copy with them, the shared record untouched.
    const EventRecord& from = *c->last;
    try {
        auto copy = newEventRecord();
        copyWithoutAttributes(*copy, from);
        attributeNow(*c, kAttrCurrentValue, &copy->currentValue);
        attributeNow(*c, kAttrLimitExceeded, &copy->limitExceeded);
        return copy;
    } catch (const std::bad_alloc&) {
        return c->last; // without its attributes rather than not at all
    }
}

std::vector<std::shared_ptr<const EventRecord>> reportedConditionEvents()
{
    std::vector<std::shared_ptr<const EventRecord>> out;
    const std::vector<ConditionState*>& list = App().reportedConditions;
    out.reserve(list.size());
    for (ConditionState* c : list)
        if (c->last) out.push_back(c->last);
    return out;
}

HRESULT attributeNow(const ConditionState& c, DWORD id, Variant* out)
{
    if (id == kAttrCurrentValue) return assignValue(*out, *c.tag->state->value);
    if (id == kAttrLimitExceeded && c.kind == ConditionKind::Level && c.sub) {
        out->clear();
        V_VT(out->get()) = VT_R8;
        V_R8(out->get()) = static_cast<double>(c.tag->levelLimits[c.sub - 1].limit);
    }
    return S_OK;
}

const char* conditionName(const ConditionState& c)
{
    return c.kind == ConditionKind::Level ? kLevelCondition : kDiscreteCondition;
}

const char* activeSubConditionName(const ConditionState& c)
{
    if (c.sub == 0) return "";
    return c.kind == ConditionKind::Level ? kLevelSubConditionNames[c.sub - 1] : kDiscreteCondition;
}

std::vector<SubConditionInfo> subConditions(const ConditionState& c)
{
    std::vector<SubConditionInfo> out;
    char buf[64];
    if (c.kind == ConditionKind::Level) {
        for (int k = 0; k < 4; ++k) {
            const LevelLimit& l = c.tag->levelLimits[k];
            snprintf(buf, sizeof buf, "Value %s %g%s", k < 2 ? "<=" : ">=", static_cast<double>(l.limit),
                     l.enabled ? "" : " (disabled)");
            out.push_back({kLevelSubConditionNames[k], buf, kLevelMessages[k + 1], static_cast<DWORD>(l.severity)});
        }
    } else if (const DiscreteAlarm* d = c.tag->conditions ? c.tag->conditions->discrete.get() : nullptr) {
        out.push_back({kDiscreteCondition, std::string(d->activeWhenEqual ? "Value = " : "Value <> ") + valueText(*d->value),
                       d->message, d->severity});
    }
    return out;
}

} // namespace qv
