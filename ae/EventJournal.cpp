#include "ae/EventJournal.h"
#include <new>

namespace qv {

bool EventJournal::append(const std::shared_ptr<const EventRecord>& ev)
{
    try {
        entries_.push_back(Entry{ev, GetTickCount()});
    } catch (const std::bad_alloc&) {
        return false;
    }
    // Published after the entry: a worker that sees the new end finds the entry (it takes
    // the global lock to read it).
    end_.store(end_.load() + 1);
    return true;
}

void EventJournal::trimTo(Seq s)
{
    while (!entries_.empty() && before(begin_, s)) {
        entries_.pop_front();
        ++begin_;
    }
}

void EventJournal::dropOldest()
{
    if (entries_.empty() || uncountedFull()) return;
    dropped_[uncounted_++] = Dropped{begin_, std::move(entries_.front().event)};
    entries_.pop_front();
    ++begin_;
}

void EventJournal::clearUncounted()
{
    for (size_t i = 0; i < uncounted_; ++i) dropped_[i].event.reset();
    uncounted_ = 0;
}

void EventJournal::clear()
{
    entries_.clear();
    clearUncounted();
    begin_ = end_.load();
}

} // namespace qv
