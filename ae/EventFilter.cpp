#include "ae/EventFilter.h"
#include <algorithm>
#include "ae/EventVocabulary.h"
#include "base/ComUtil.h"
#include "qvopc.h"

namespace qv {

const DWORD EventFilter::kAvailable =
    OPC_FILTER_BY_EVENT | OPC_FILTER_BY_CATEGORY | OPC_FILTER_BY_SEVERITY | OPC_FILTER_BY_AREA | OPC_FILTER_BY_SOURCE;

HRESULT EventFilter::set(DWORD eventTypes, const std::vector<DWORD>& categories, DWORD low, DWORD high,
                         const std::vector<std::string>& areas, const std::vector<std::string>& sources,
                         bool matchCase)
{
    if (eventTypes & ~static_cast<DWORD>(OPC_ALL_EVENTS)) return E_INVALIDARG;
    if (low > high || high > kHighestSeverity) return E_INVALIDARG;
    for (DWORD c : categories)
        if (!findEventCategory(c)) return E_INVALIDARG;
    std::vector<Pattern> ap, sp;
    ap.reserve(areas.size());
    sp.reserve(sources.size());
    for (const std::string& a : areas) {
        ap.emplace_back(matchCase ? a : foldCase(a));
        if (ap.back().malformed()) return E_INVALIDARG;
    }
    for (const std::string& s : sources) {
        sp.emplace_back(matchCase ? s : foldCase(s));
        if (sp.back().malformed()) return E_INVALIDARG;
    }
    eventTypes_ = eventTypes;
    categories_ = categories;
    low_ = low;
    high_ = high;
    areas_ = areas;
    sources_ = sources;
    areaPatterns_.swap(ap);
    sourcePatterns_.swap(sp);
    matchCase_ = matchCase;
    return S_OK;
}

bool sourceInArea(const std::string& source, const Pattern& area, char delimiter)
{
    for (size_t end = source.rfind(delimiter); end != std::string::npos && end > 0;
         end = source.rfind(delimiter, end - 1)) {
        if (area.matches(source.substr(0, end))) return true;
    }
    return false;
}

bool EventFilter::passes(const EventRecord& ev, char delimiter) const
{
    if (!(ev.eventType & eventTypes_)) return false;
    if (!categories_.empty() &&
        std::find(categories_.begin(), categories_.end(), ev.eventCategory) == categories_.end())
        return false;
    if (ev.severity < low_ || ev.severity > high_) return false;
    if (sourcePatterns_.empty() && areaPatterns_.empty()) return true;
    std::string folded;
    if (!matchCase_) folded = foldCase(ev.source);
    const std::string& source = matchCase_ ? ev.source : folded;
    if (!sourcePatterns_.empty() &&
        std::none_of(sourcePatterns_.begin(), sourcePatterns_.end(),
                     [&](const Pattern& p) { return p.matches(source); }))
        return false;
    if (!areaPatterns_.empty() &&
        std::none_of(areaPatterns_.begin(), areaPatterns_.end(),
                     [&](const Pattern& p) { return sourceInArea(source, p, delimiter); }))
        return false;
    return true;
}

} // namespace qv
