#include "server/ClientObjects.h"
#include <objbase.h>
#include <algorithm>

namespace qv {

bool ClientObjects::add(IUnknown* identity, std::weak_ptr<const void> life)
{
    if (!identity) return true;
    std::lock_guard<std::mutex> g(m_);
    if (closed_) return false;
    // A client that makes many short-lived enumerators leaves expired entries behind: they
    // are swept when the list doubled since the last sweep, so it stays near the live count.
    if (entries_.size() >= sweepAt_) {
        entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [](const Entry& e) { return e.life.expired(); }),
                       entries_.end());
        sweepAt_ = std::max<size_t>(64, entries_.size() * 2);
    }
    try {
        entries_.push_back(Entry{identity, std::move(life)});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void ClientObjects::disconnectAll()
{
    std::vector<Entry> all;
    {
        std::lock_guard<std::mutex> g(m_);
        closed_ = true;
        all.swap(entries_);
    }
    for (const Entry& e : all) {
        // The hold keeps the object's memory while COM lets go of its stubs' references.
        std::shared_ptr<const void> keep = e.life.lock();
        if (keep) CoDisconnectObject(e.identity, 0);
    }
}

bool ClientObjects::closed()
{
    std::lock_guard<std::mutex> g(m_);
    return closed_;
}

size_t ClientObjects::size()
{
    std::lock_guard<std::mutex> g(m_);
    return entries_.size();
}

} // namespace qv
