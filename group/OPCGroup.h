#pragma once
// Minimal group declaration used by the server runtime; the groups-and-items work owns this
// file and fills it out.
#include <windows.h>
#include <memory>
#include "qvopc.h"

namespace qv {

class OPCServer;

class OPCGroup : public std::enable_shared_from_this<OPCGroup> {
public:
    OPCServer* server = nullptr;
    // Logical destruction: items, queue and sinks go; later client calls fail cleanly.
    void destroy() {}
    // Whether the group's items follow host updates (the group is listed in a live server).
    void setListed(bool) {}
    void dispatchQueue() {}
    void scan(bool) {}
};

} // namespace qv
