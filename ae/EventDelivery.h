#pragma once
// Alarm events on their way to the clients: the broadcast into every subscription's queue,
// and the packing of events into the task memory a sink receives.
#include <windows.h>
#include <cstddef>
#include <memory>
#include "addrspace/OPCTag.h"
#include "qvopc.h"

namespace qv {

// Queues an event on every subscription with a sink, of every client, and wakes those
// clients' workers. The record is shared, not copied. Any thread, with or without the global
// lock; it never calls a client, so it never waits for one.
void broadcastEvent(const std::shared_ptr<const EventRecord>& ev);

// One ONEVENTSTRUCT in one block of task memory together with its five strings (each byte
// widened to 16 bits) and a copy of the attribute values. Null when out of memory.
ONEVENTSTRUCT* packEvent(const EventRecord& ev, const VARIANT* attributes = nullptr, DWORD attributeCount = 0);
// Clears the attribute copies and frees the block (of either packer).
void freePackedEvent(ONEVENTSTRUCT* block);
// n events (no attributes) in one block: the array first, then every string. Null when out
// of memory.
ONEVENTSTRUCT* packEvents(const std::shared_ptr<const EventRecord>* evs, size_t n);

} // namespace qv
