#include "addrspace/TagSubscribers.h"
#include "base/ComUtil.h"

namespace qv {

Followers& TagSubscribers::listFor(const std::string& name, uint32_t* spelling)
{
    auto r = lists_.try_emplace(foldCase(name));
    Followers& list = r.first->second;
    // Map nodes never move, so the key and the list can be pointed at.
    if (r.second) list.key = &r.first->first;
    uint32_t i = 0;
    while (i < list.spellings.size() && list.spellings[i] != name) ++i;
    if (i == list.spellings.size()) {
        try {
            list.spellings.push_back(name);
        } catch (...) {
            dropIfUnused(&list);
            throw;
        }
    }
    *spelling = i;
    return list;
}

void TagSubscribers::dropIfUnused(Followers* list)
{
    if (!list->first && list->links.empty()) lists_.erase(*list->key);
}

void TagSubscribers::refreshLinks(Followers& list)
{
    for (FollowerLink* l : list.links) {
        l->first = list.first;
        l->more = !list.rest.empty();
    }
}

void TagSubscribers::add(TagSubscriber* s, const std::string& tagName)
{
    if (s->list_) remove(s);
    uint32_t spelling = 0;
    Followers& list = listFor(tagName, &spelling);
    if (!list.first) {
        list.first = s;
        s->slot_ = 0;
    } else {
        try {
            list.rest.push_back(s);
        } catch (...) {
            dropIfUnused(&list);
            throw;
        }
        s->slot_ = static_cast<uint32_t>(list.rest.size());
    }
    s->spelling_ = spelling;
    s->list_ = &list;
    ++count_;
    refreshLinks(list);
}

void TagSubscribers::remove(TagSubscriber* s)
{
    Followers* list = s->list_;
    if (!list) return;
    // Swap-remove: order inside a list carries no meaning.
    const size_t last = list->count() - 1;
    TagSubscriber*& mine = list->at(s->slot_);
    if (mine == s) {
        mine = list->at(last);
        mine->slot_ = s->slot_;
        if (last == 0) list->first = nullptr;
        else list->rest.pop_back();
    }
    s->list_ = nullptr;
    --count_;
    refreshLinks(*list);
    dropIfUnused(list);
}

void TagSubscribers::attachTag(const std::string& tagName, FollowerLink* link)
{
    uint32_t spelling = 0;
    Followers& list = listFor(tagName, &spelling);
    try {
        list.links.push_back(link);
    } catch (...) {
        dropIfUnused(&list);
        throw;
    }
    link->list = &list;
    link->spelling = spelling;
    link->first = list.first;
    link->more = !list.rest.empty();
}

void TagSubscribers::detachTag(FollowerLink* link)
{
    Followers* list = link->list;
    if (!list) return;
    auto& links = list->links;
    for (size_t i = 0; i < links.size(); ++i)
        if (links[i] == link) {
            links[i] = links.back();
            links.pop_back();
            break;
        }
    *link = FollowerLink();
    dropIfUnused(list);
}

void TagSubscribers::detachAllTags()
{
    for (auto it = lists_.begin(); it != lists_.end();) {
        it->second.links.clear(); // the tags are destroyed already
        if (!it->second.first) it = lists_.erase(it);
        else ++it;
    }
}

} // namespace qv
