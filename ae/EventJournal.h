#pragma once
// The server's alarm events in the order they were raised, between the thread that raised
// them and the subscriptions. Raising an event is one append here and nothing per
// subscription: each client's worker takes what its own subscriptions want (their filters
// run there), so the host's cost of an alarm does not grow with the number of subscribers.
// An event goes once every subscription has taken it, or when more than the queue limit are
// kept (what one subscription's own queue holds, however many subscriptions there are): a
// worker that fell behind then misses the oldest, counted on those of its subscriptions that
// would have taken it (only then does raising an event look at subscriptions) and told.
// Under the global lock, except end(), which any thread may read.
//
// A burst outruns this bound even for healthy subscribers: a host raises 50,000 events in
// 15-60 ms, and a worker takes events only when it looks (between its own calls, about one
// look per batch delivered), so during the burst it takes a few thousand at most; after it
// the journal holds the last `limit`. A subscriber then receives about limit + what its
// worker took during the burst (10,000-21,000 of 50,000 at the default limit, ten
// subscribers, ae_alarm_bench) and is told of the rest. A host that raises such bursts sets
// a limit above the burst (QV_SetEventQueueLimit(60000): all 50,000 arrive).
#include <windows.h>
#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include "addrspace/OPCTag.h"

namespace qv {

class EventJournal {
public:
    using Seq = DWORD; // wraps around: only differences count
    static constexpr size_t kDefaultLimit = 10000;
    struct Entry {
        std::shared_ptr<const EventRecord> event;
        DWORD raisedTick; // GetTickCount() when raised: a buffer time counts from here
    };

    static bool before(Seq a, Seq b) { return static_cast<LONG>(a - b) < 0; }

    Seq begin() const { return begin_; }
    Seq end() const { return end_.load(); }
    const Entry& at(Seq s) const { return entries_[s - begin_]; }
    // False when out of memory: the event is lost for every subscription. The caller makes
    // room first (full, dropOldest): it counts what goes.
    bool append(const std::shared_ptr<const EventRecord>& ev);
    // Lets go of the events before s.
    void trimTo(Seq s);
    // Whether it holds its limit or more; dropOldest lets go of the oldest, which waits among
    // the uncounted until its drop was counted on the subscriptions (in batches: one check of
    // each subscription's connection per batch, not per event). Room there first.
    bool full() const { return entries_.size() >= limit_; }
    void dropOldest();
    struct Dropped {
        Seq seq;
        std::shared_ptr<const EventRecord> event;
    };
    static constexpr size_t kUncountedMax = 256;
    bool uncountedFull() const { return uncounted_ == kUncountedMax; }
    const Dropped* uncounted(size_t* n) const
    {
        *n = uncounted_;
        return dropped_.data();
    }
    void clearUncounted();
    // The events one subscription may have waiting (its queue, and here); the host sets it.
    size_t limit() const { return limit_; }
    void setLimit(size_t n) { limit_ = n; }
    void clear();

private:
    std::deque<Entry> entries_;
    std::array<Dropped, kUncountedMax> dropped_;
    size_t uncounted_ = 0;
    Seq begin_ = 0;
    std::atomic<Seq> end_{0};
    size_t limit_ = kDefaultLimit;
};

} // namespace qv
