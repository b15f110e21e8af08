#include "addrspace/TagSubscribers.h"
#include "runtime/ComUtil.h"

namespace qv {

void TagSubscribers::add(TagSubscriber* s, const std::string& tagName)
{
    if (s->registered_) remove(s);
    auto& bucket = buckets_[foldCase(tagName)];
    s->subscribedName_ = tagName;
    s->slot_ = bucket.size();
    bucket.push_back(s);
    s->registered_ = true;
    ++count_;
}

void TagSubscribers::remove(TagSubscriber* s)
{
    if (!s->registered_) return;
    auto it = buckets_.find(foldCase(s->subscribedName_));
    if (it != buckets_.end()) {
        auto& bucket = it->second;
        // Swap-remove: order inside a bucket carries no meaning.
        size_t i = s->slot_;
        if (i < bucket.size() && bucket[i] == s) {
            bucket[i] = bucket.back();
            bucket[i]->slot_ = i;
            bucket.pop_back();
        }
        if (bucket.empty()) buckets_.erase(it);
    }
    s->registered_ = false;
    s->slot_ = static_cast<size_t>(-1);
    --count_;
}

} // namespace qv
