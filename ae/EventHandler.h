#pragma once
// Minimal declarations used by the tag store and the server runtime; the alarms-and-events
// work owns this file and fills it out.
#include <vector>
#include "addrspace/OPCTag.h"

namespace qv {

class COPCEventSubscription;

class EventHandler {
public:
    // Delivers a level-alarm event to every client's subscriptions (global lock not held).
    void broadcast(const EventRecord&) {}
};

// Destroys a server's subscriptions (the server is going away).
inline void destroySubscriptions(std::vector<COPCEventSubscription*>&) {}

} // namespace qv
