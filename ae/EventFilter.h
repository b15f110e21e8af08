#pragma once
// What one event subscription lets through: event types, categories, a severity range, areas
// and sources (wildcard patterns as in BrowseOPCItemIDs). An area is a branch of the tag tree;
// an area pattern takes in the sub-areas too, so a station for one area sees all of it.
#include <windows.h>
#include <string>
#include <vector>
#include "addrspace/OPCTag.h"
#include "browse/PatternMatch.h"
#include "qvopc.h"

namespace qv {

constexpr DWORD kHighestSeverity = 1000;

class EventFilter {
public:
    // The filters SetFilter honours (QueryAvailableFilters).
    static const DWORD kAvailable;

    // Checks a client's filter; E_INVALIDARG for unknown type bits, an unknown category, a
    // reversed or out-of-range severity range, or a malformed pattern. Without matchCase
    // (QV_SetMatchCase(FALSE)) areas and sources match with ASCII case ignored, as tag names do.
    HRESULT set(DWORD eventTypes, const std::vector<DWORD>& categories, DWORD low, DWORD high,
                const std::vector<std::string>& areas, const std::vector<std::string>& sources,
                bool matchCase = true);
    bool passes(const EventRecord& ev, char delimiter) const;

    DWORD eventTypes() const { return eventTypes_; }
    const std::vector<DWORD>& categories() const { return categories_; }
    DWORD lowSeverity() const { return low_; }
    DWORD highSeverity() const { return high_; }
    const std::vector<std::string>& areas() const { return areas_; }
    const std::vector<std::string>& sources() const { return sources_; }

private:
    // Defaults let every event through.
    DWORD eventTypes_ = OPC_ALL_EVENTS;
    std::vector<DWORD> categories_;
    DWORD low_ = 0, high_ = kHighestSeverity;
    std::vector<std::string> areas_, sources_;
    std::vector<Pattern> areaPatterns_, sourcePatterns_; // of the folded names without matchCase_
    bool matchCase_ = true;
};

// Whether the source lies in an area the pattern names: the source's own area (its name up to
// the last delimiter) or any enclosing one.
bool sourceInArea(const std::string& source, const Pattern& area, char delimiter);

} // namespace qv
