#include "addrspace/TagSubscribers.h"
#include "runtime/ComUtil.h"

namespace qv {

Followers& TagSubscribers::listFor(const std::string& foldedName)
{
    auto r = lists_.try_emplace(foldedName);
    // Map nodes never move, so the key and the list can be pointed at.
    if (r.second) r.first->second.key = &r.first->first;
    return r.first->second;
}

void TagSubscribers::dropIfUnused(Followers* list)
{
    if (list->items.empty() && list->tags == 0) lists_.erase(*list->key);
}

void TagSubscribers::add(TagSubscriber* s, const std::string& tagName)
{
    if (s->list_) remove(s);
    Followers& list = listFor(foldCase(tagName));
    list.items.push_back(s);
    s->subscribedName_ = tagName;
    s->slot_ = list.items.size() - 1;
    s->list_ = &list;
    ++count_;
}

void TagSubscribers::remove(TagSubscriber* s)
{
    Followers* list = s->list_;
    if (!list) return;
    auto& items = list->items;
    // Swap-remove: order inside a list carries no meaning.
    size_t i = s->slot_;
    if (i < items.size() && items[i] == s) {
        items[i] = items.back();
        items[i]->slot_ = i;
        items.pop_back();
    }
    s->list_ = nullptr;
    s->slot_ = static_cast<size_t>(-1);
    --count_;
    dropIfUnused(list);
}

Followers* TagSubscribers::attachTag(const std::string& foldedName)
{
    Followers& list = listFor(foldedName);
    ++list.tags;
    return &list;
}

void TagSubscribers::detachTag(Followers* list)
{
    if (!list) return;
    if (list->tags) --list->tags;
    dropIfUnused(list);
}

void TagSubscribers::detachAllTags()
{
    for (auto it = lists_.begin(); it != lists_.end();) {
        it->second.tags = 0;
        if (it->second.items.empty()) it = lists_.erase(it);
        else ++it;
    }
}

} // namespace qv
