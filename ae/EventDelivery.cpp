#include "ae/EventDelivery.h"
#include <cstring>
#include <string>
#include "ae/COPCEventSubscription.h"
#include "ae/EventVocabulary.h"
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

namespace {

// An ANSI text never takes more UTF-16 units than it has bytes.
size_t wideBytes(const std::string& s) { return (s.size() + 1) * sizeof(WCHAR); }
size_t wideBytes(const EventText& s) { return (s.size() + 1) * sizeof(WCHAR); }

// Converts s from the ANSI code page (as widen does) into dst; returns the position after the
// null.
WCHAR* putWide(WCHAR* dst, const char* s)
{
    const char* p = s;
    while (*p && !(*p & 0x80)) *dst++ = static_cast<unsigned char>(*p++);
    if (*p) {
        const int len = static_cast<int>(strlen(p));
        const int n = MultiByteToWideChar(CP_ACP, 0, p, len, dst, len);
        dst += n > 0 ? n : 0;
    }
    *dst++ = 0;
    return dst;
}

// The five strings of an event, in the order they follow the record.
size_t stringBytes(const EventRecord& ev)
{
    return wideBytes(ev.source) + wideBytes(ev.message) + wideBytes(ev.conditionName) +
           wideBytes(ev.subconditionName) + wideBytes(ev.actorId);
}

// Fills one record and writes its strings at w; returns the position after them.
WCHAR* fillEvent(ONEVENTSTRUCT* e, const EventRecord& ev, WCHAR* w)
{
    e->wChangeMask = ev.changeMask;
    e->wNewState = ev.newState;
    e->ftTime = ev.time;
    e->dwEventType = ev.eventType;
    e->dwEventCategory = ev.eventCategory;
    e->dwSeverity = ev.severity;
    e->wQuality = ev.quality;
    e->wReserved = 0;
    e->bAckRequired = ev.ackRequired;
    e->ftActiveTime = ev.activeTime;
    e->dwCookie = ev.cookie;
    const char* strings[5] = {ev.source.c_str(), ev.message.c_str(), ev.conditionName.c_str(),
                              ev.subconditionName.c_str(), ev.actorId.c_str()};
    LPWSTR* targets[5] = {&e->szSource, &e->szMessage, &e->szConditionName, &e->szSubconditionName, &e->szActorID};
    for (int k = 0; k < 5; ++k) {
        *targets[k] = w;
        w = putWide(w, strings[k]);
    }
    return w;
}

// Global lock held: the journal's oldest event goes, its drop counted with the next batch.
void dropOldestEvent()
{
    EventJournal& journal = App().eventJournal;
    if (journal.uncountedFull()) countDroppedEvents();
    journal.dropOldest();
}

} // namespace

void broadcastEvent(const std::shared_ptr<const EventRecord>& ev)
{
    // Only appends to the journal: the clients' workers take and deliver, so no host thread
    // ever waits for a client, and the cost here does not depend on the subscribers (but for
    // a full journal: every 256th drop counts the batch on them, a filter check each).
    // A busy worker takes the event in its next pass; only waiting ones are woken. The
    // workers' passes also let the journal go of what every subscription took.
    OPCServerApp& app = App();
    LockGuard g(app.globalLock);
    if (app.clients.empty()) return;
    while (app.eventJournal.full()) dropOldestEvent();
    if (!app.eventJournal.append(ev)) return;
    if (app.idleEventWorkers.load() == 0) return;
    for (ClientListEntry* c : app.clients) c->server()->wakeForEvents();
}

void releaseTakenEvents()
{
    OPCServerApp& app = App();
    EventJournal& journal = app.eventJournal;
    EventJournal::Seq oldest = journal.end();
    for (ClientListEntry* c : app.clients) {
        OPCServer* s = c->server();
        if (s->disconnected()) continue;
        for (auto& sub : s->subscriptions)
            if (!sub->gone() && EventJournal::before(sub->cursor(), oldest)) oldest = sub->cursor();
    }
    journal.trimTo(oldest);
}

void setEventQueueLimit(size_t n)
{
    OPCServerApp& app = App();
    app.eventJournal.setLimit(n);
    while (app.eventJournal.end() - app.eventJournal.begin() > n) dropOldestEvent();
    countDroppedEvents();
}

void countDroppedEvents()
{
    OPCServerApp& app = App();
    size_t n = 0;
    const EventJournal::Dropped* dropped = app.eventJournal.uncounted(&n);
    if (!n) return;
    for (ClientListEntry* c : app.clients) {
        OPCServer* s = c->server();
        if (s->disconnected()) continue;
        for (auto& sub : s->subscriptions) sub->missed(dropped, n);
    }
    app.eventJournal.clearUncounted();
}

ONEVENTSTRUCT* packEvent(const EventRecord& ev, const VARIANT* attributes, DWORD attributeCount)
{
    if (!attributes) attributeCount = 0;
    size_t bytes = sizeof(ONEVENTSTRUCT) + stringBytes(ev);
    size_t attrOffset = 0;
    if (attributeCount) {
        // The VARIANT array needs its natural alignment after the 2-byte characters.
        bytes = (bytes + alignof(VARIANT) - 1) & ~(alignof(VARIANT) - 1);
        attrOffset = bytes;
        bytes += attributeCount * sizeof(VARIANT);
    }
    BYTE* base = static_cast<BYTE*>(App().taskAlloc(bytes));
    if (!base) return nullptr;
    ONEVENTSTRUCT* e = reinterpret_cast<ONEVENTSTRUCT*>(base);
    fillEvent(e, ev, reinterpret_cast<WCHAR*>(base + sizeof(ONEVENTSTRUCT)));
    if (attributeCount) {
        VARIANT* attrs = reinterpret_cast<VARIANT*>(base + attrOffset);
        for (DWORD i = 0; i < attributeCount; ++i) {
            VariantInit(&attrs[i]);
            if (FAILED(VariantCopy(&attrs[i], const_cast<VARIANT*>(&attributes[i])))) {
                for (DWORD k = 0; k < i; ++k) VariantClear(&attrs[k]);
                App().taskFree(base);
                return nullptr;
            }
        }
        e->dwNumEventAttrs = attributeCount;
        e->pEventAttributes = attrs;
    }
    return e;
}

ONEVENTSTRUCT* packEvents(const std::shared_ptr<const EventRecord>* evs, size_t n, const ReturnedAttributes* returned)
{
    if (n == 0 || n > (static_cast<size_t>(-1) / 4) / sizeof(ONEVENTSTRUCT)) return nullptr;
    auto selected = [&](const EventRecord& ev) -> const std::vector<DWORD>* {
        if (!returned || ev.eventCategory >= returned->size()) return nullptr;
        const std::vector<DWORD>& ids = (*returned)[ev.eventCategory];
        return ids.empty() ? nullptr : &ids;
    };
    size_t attrs = 0;
    for (size_t i = 0; i < n; ++i)
        if (const std::vector<DWORD>* ids = selected(*evs[i])) attrs += ids->size();
    // The VARIANTs follow the records at their natural alignment, the strings follow them.
    const size_t attrOffset = (n * sizeof(ONEVENTSTRUCT) + alignof(VARIANT) - 1) & ~(alignof(VARIANT) - 1);
    size_t bytes = attrOffset + attrs * sizeof(VARIANT);
    for (size_t i = 0; i < n; ++i) bytes += stringBytes(*evs[i]);
    BYTE* base = static_cast<BYTE*>(App().taskAlloc(bytes));
    if (!base) return nullptr;
    auto* arr = reinterpret_cast<ONEVENTSTRUCT*>(base);
    VARIANT* v = reinterpret_cast<VARIANT*>(base + attrOffset);
    WCHAR* w = reinterpret_cast<WCHAR*>(base + attrOffset + attrs * sizeof(VARIANT));
    for (size_t i = 0; i < n; ++i) {
        w = fillEvent(&arr[i], *evs[i], w);
        const std::vector<DWORD>* ids = selected(*evs[i]);
        if (!ids) continue;
        arr[i].dwNumEventAttrs = static_cast<DWORD>(ids->size());
        arr[i].pEventAttributes = v;
        for (DWORD id : *ids) {
            VariantInit(v);
            const Variant& src = id == kAttrCurrentValue ? evs[i]->currentValue : evs[i]->limitExceeded;
            // A value that cannot be copied goes out empty rather than holding up the event.
            VariantCopy(v, const_cast<VARIANT*>(src.get()));
            ++v;
        }
    }
    return arr;
}

void freePackedEvents(ONEVENTSTRUCT* block, size_t n)
{
    if (!block) return;
    for (size_t i = 0; i < n; ++i)
        for (DWORD k = 0; block[i].pEventAttributes && k < block[i].dwNumEventAttrs; ++k)
            VariantClear(&block[i].pEventAttributes[k]);
    App().taskFree(block);
}

void freePackedEvent(ONEVENTSTRUCT* block)
{
    if (!block) return;
    for (DWORD i = 0; block->pEventAttributes && i < block->dwNumEventAttrs; ++i)
        VariantClear(&block->pEventAttributes[i]);
    App().taskFree(block);
}

} // namespace qv
