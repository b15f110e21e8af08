#include "ae/Conditions.h"
#include <cstdio>
#include <new>
#include "ae/EventDelivery.h"
#include "ae/EventVocabulary.h"
#include "base/BlockRecycler.h"
#include "addrspace/AddressTree.h"
#include "idl/opcerrors.h"
#include "runtime/OPCServerApp.h"
#include "qvopc.h"

namespace qv {

namespace {

constexpr size_t kNotListed = static_cast<size_t>(-1);
const char* const kLevelCondition = kEventCategories[1].conditionName;
const char* const kDiscreteCondition = kEventCategories[2].conditionName;

// The level alarm's texts by level (0 normal).
const char* const kLevelMessages[5] = {"Normal Condition", "Low Low Limit Exceeded", "Low Limit Exceeded",
                                       "High Limit Exceeded", "High High Limit Exceeded"};

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

std::shared_ptr<EventRecord> newConditionEvent(const ConditionState& c, const FILETIME& now)
{
    auto ev = newEventRecord();
    ev->source = c.tag->name;
    ev->time = now;
    ev->eventType = OPC_CONDITION_EVENT;
    ev->eventCategory = c.kind == ConditionKind::Level ? 2 : 3;
    ev->severity = c.severity;
    ev->conditionName.setStatic(conditionName(c));
    ev->subconditionName.setStatic(activeSubConditionName(c));
    ev->quality = c.quality;
    ev->cookie = c.tag->handle;
    // An attribute that cannot be copied is left empty.
    attributeNow(c, kAttrCurrentValue, &ev->currentValue);
    attributeNow(c, kAttrLimitExceeded, &ev->limitExceeded);
    return ev;
}

// Moves a condition to a new active sub-condition (0: inactive) and queues its event. A tag
// whose alarms need no acknowledgement sends the plain active-state events it always sent.
// staticMessage: the message is one of the vocabulary's texts (the event keeps its address).
void transition(ConditionState& c, int newSub, DWORD severity, const char* message, WORD quality,
                const FILETIME& now, bool staticMessage = true)
{
    const bool ack = ackRequiredFor(c);
    const bool was = c.sub != 0, is = newSub != 0;
    WORD mask = 0;
    if (was != is) mask |= OPC_CHANGE_ACTIVE_STATE;
    if (is && newSub != c.sub) mask |= OPC_CHANGE_SUBCONDITION;
    if (severity != c.severity) mask |= OPC_CHANGE_SEVERITY;
    if (c.message != message) mask |= OPC_CHANGE_MESSAGE;
    if (quality != c.quality) mask |= OPC_CHANGE_QUALITY;
    if (is) {
        if (!was) c.condLastActive = now;
        c.subCondLastActive = now;
        c.state |= OPC_CONDITION_ACTIVE;
        if (ack) {
            // Every activation and every new sub-condition waits for its own acknowledgement.
            if (c.state & OPC_CONDITION_ACKED) mask |= OPC_CHANGE_ACK_STATE;
            c.state &= ~OPC_CONDITION_ACKED;
        }
    } else {
        c.condLastInactive = now;
        c.state &= ~OPC_CONDITION_ACTIVE;
    }
    c.sub = newSub;
    c.severity = severity;
    c.message = message;
    c.quality = quality;
    std::shared_ptr<EventRecord> ev;
    try {
        ev = newConditionEvent(c, now);
        if (staticMessage) ev->message.setStatic(message);
        else ev->message = c.message;
    } catch (const std::bad_alloc&) {
        relist(c);
        return; // the state is right; this one event is lost
    }
    ev->changeMask = ack ? mask : OPC_CHANGE_ACTIVE_STATE;
    ev->newState = ack ? c.state : static_cast<WORD>(c.state & ~OPC_CONDITION_ACKED);
    ev->ackRequired = ack && !(c.state & OPC_CONDITION_ACKED);
    // The time an acknowledgement must name: the activation's, also on the return to normal.
    ev->activeTime = ack ? c.subCondLastActive : now;
    c.last = std::move(ev);
    relist(c);
    broadcastEvent(c.last);
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

bool enabled(const ConditionState& c) { return (c.state & OPC_CONDITION_ENABLED) != 0; }

void evaluateDiscrete(OPCTag& tag, DiscreteAlarm& d, const FILETIME* now = nullptr)
{
    if (!enabled(d.cond)) return;
    const int sub = valuesEqual(*tag.state->value, *d.value) == d.activeWhenEqual ? 1 : 0;
    if (sub == d.cond.sub) return;
    transition(d.cond, sub, sub ? d.severity : 0, sub ? d.message.c_str() : kLevelMessages[0], tag.state->quality,
               now ? *now : utcNow(), sub == 0);
}

TagConditions* conditionsOf(OPCTag& tag)
{
    if (!tag.conditions) tag.conditions.reset(new (std::nothrow) TagConditions(&tag));
    return tag.conditions.get();
}

bool hasLevelAlarm(const OPCTag& tag)
{
    return (tag.state->limitsEnabled & 0x0F) || (tag.conditions && needsReport(tag.conditions->level));
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
    const int level = tag.currentLevel();
    if (level != st.level) {
        // Without memory for the state the level stays as it was and the next update tries again.
        if (TagConditions* tc = conditionsOf(tag)) {
            st.level = static_cast<BYTE>(level);
            tag.levelTime = now ? *now : utcNow();
            const DWORD severity = level ? static_cast<DWORD>(tag.levelLimits[level - 1].severity) : 0;
            // A disabled alarm follows the level silently; enabling starts from it.
            if (enabled(tc->level))
                transition(tc->level, level, severity, kLevelMessages[level], st.quality, tag.levelTime);
        }
    }
    if (tag.conditions && tag.conditions->discrete) evaluateDiscrete(tag, *tag.conditions->discrete, now);
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
        // Nothing waits for an operator any more.
        for (ConditionState* c : {&tc->level, tc->discrete ? &tc->discrete->cond : nullptr}) {
            if (!c) continue;
            c->state |= OPC_CONDITION_ACKED;
            relist(*c);
        }
    }
    return true;
}

bool setDiscreteAlarm(DWORD hTag, const VARIANT& value, bool activeWhenEqual, DWORD severity,
                      const std::string& message)
{
    if (holdsObject(value)) return false;
    const bool remove = V_VT(&value) == VT_EMPTY;
    if (!remove && (severity < 1 || severity > 1000)) return false;
    LockGuard g(App().globalLock);
    OPCTag* tag = App().tags.resolve(hTag);
    if (!tag) return false;
    if (remove) {
        if (tag->conditions) tag->conditions->discrete.reset();
        tag->state->limitsEnabled = static_cast<BYTE>(tag->state->limitsEnabled & ~kDiscreteAlarmBit);
        return true;
    }
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
    tag->state->limitsEnabled = static_cast<BYTE>(tag->state->limitsEnabled | kDiscreteAlarmBit);
    // A value that already meets the new alarm raises it now, not at the next update.
    evaluateDiscrete(*tag, *tc->discrete);
    return true;
}

bool sendSimpleEvent(const std::string& source, const std::string& message, DWORD severity)
{
    if (severity < 1 || severity > 1000) return false;
    std::shared_ptr<EventRecord> ev;
    try {
        ev = newEventRecord();
        ev->source = source;
        ev->message = message;
    } catch (const std::bad_alloc&) {
        return false;
    }
    ev->time = utcNow();
    ev->eventType = OPC_SIMPLE_EVENT;
    ev->eventCategory = 1;
    ev->severity = severity;
    broadcastEvent(ev);
    return true;
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
        ev = newConditionEvent(c, now);
        // The event carries the operator's comment as its text (there are no event attributes).
        ev->message = comment.empty() ? c.message : comment;
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
    ev->changeMask = OPC_CHANGE_ACK_STATE;
    ev->newState = c.state;
    ev->ackRequired = FALSE;
    ev->activeTime = c.subCondLastActive;
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

void setEnabled(ConditionState& c, bool enable)
{
    if (enabled(c) == enable) return;
    if (!enable) {
        c.state = OPC_CONDITION_ACKED;
        c.sub = 0;
        c.severity = 0;
        relist(c);
        return;
    }
    c.state = OPC_CONDITION_ENABLED | OPC_CONDITION_ACKED;
    OPCTag& tag = *c.tag;
    if (c.kind == ConditionKind::Discrete) {
        evaluateDiscrete(tag, *tag.conditions->discrete);
        return;
    }
    const int level = tag.currentLevel();
    tag.state->level = static_cast<BYTE>(level);
    if (level == 0) return;
    tag.levelTime = utcNow();
    transition(c, level, static_cast<DWORD>(tag.levelLimits[level - 1].severity), kLevelMessages[level],
               tag.state->quality, tag.levelTime);
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
    for (OPCTag* tag : tags) {
        TagConditions& tc = *tag->conditions;
        setEnabled(tc.level, enable);
        if (tc.discrete) setEnabled(tc.discrete->cond, enable);
    }
    return S_OK;
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
