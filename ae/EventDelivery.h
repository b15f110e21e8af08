#pragma once
// Alarm events on their way to the clients: the broadcast into every subscription's queue,
// and the packing of events into the task memory a sink receives.
#include <windows.h>
#include <cstddef>
#include <array>
#include <memory>
#include <vector>
#include "addrspace/OPCTag.h"
#include "qvopc.h"

namespace qv {

// Raises an event for every subscription of every client: appends it to the server's event
// journal and wakes the workers of those clients that wait. The record is shared, not copied.
// Any thread, with or without the global lock; it never calls a client, so it never waits
// for one.
void broadcastEvent(const std::shared_ptr<const EventRecord>& ev);
// Global lock held: lets the journal go of the events every subscription has taken.
void releaseTakenEvents();
// Global lock held: the events one subscription may have waiting (the host's event queue
// limit); a journal past it lets go of its oldest, counted as dropped where they were owed.
void setEventQueueLimit(size_t n);
// Global lock held: counts the journal's dropped events on each subscription that had yet to
// take them and would have (before a worker looks at the journal).
void countDroppedEvents();
// Whether some subscription asked for event attributes (SelectReturnedAttributes): an event
// raised while none does is made without their values.
bool eventAttributesWanted();

// One ONEVENTSTRUCT in one block of task memory together with its five strings (converted
// from the ANSI code page) and a copy of the attribute values. Null when out of memory.
ONEVENTSTRUCT* packEvent(const EventRecord& ev, const VARIANT* attributes = nullptr, DWORD attributeCount = 0);
// Clears the attribute copies and frees the block (of either packer).
void freePackedEvent(ONEVENTSTRUCT* block);
// The attribute ids a subscription returns, by category id (0 to 3).
using ReturnedAttributes = std::array<std::vector<DWORD>, 4>;
// n events in one block: the array first, then the attribute values the selection asks for
// (each event's own run), then every string. Null when out of memory.
ONEVENTSTRUCT* packEvents(const std::shared_ptr<const EventRecord>* evs, size_t n,
                          const ReturnedAttributes* returned = nullptr);
// Clears the attribute values of all n events and frees the block of packEvents.
void freePackedEvents(ONEVENTSTRUCT* block, size_t n);

} // namespace qv
