#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace qv {

struct TagState;
struct Followers;

// Something that follows a tag by name (a group item). It is told of every host update
// of a tag whose name matches, with the global lock held.
class TagSubscriber {
public:
    virtual ~TagSubscriber() = default;
    virtual void onTagUpdated(const TagState& tag) = 0;

private:
    friend class TagSubscribers;
    Followers* list_ = nullptr;
    uint32_t slot_ = 0;
    uint32_t spelling_ = 0; // index of its exact name in list_->spellings
};

// A tag's end of its follower list. The first follower is kept in the tag as well, so the
// update of a tag with one follower reads no list (one cache miss less in a large store).
struct FollowerLink {
    Followers* list = nullptr;
    TagSubscriber* first = nullptr;
    bool more = false;     // the list has followers beyond the first
    uint32_t spelling = 0; // number of the tag's exact name in the list
};

// The items that follow one ASCII-folded name. Every tag of that name points here, so a host
// update reaches its items with no lookup; items may come before their tag and outlive it.
// Exact names are numbered per list, so the match-case rule compares two numbers.
struct Followers {
    TagSubscriber* first = nullptr; // slot 0, in place: most tags have one follower
    std::vector<TagSubscriber*> rest; // slots 1...
    std::vector<std::string> spellings;
    std::vector<FollowerLink*> links; // the tags of this name; the list lives while it has tags or items
    const std::string* key = nullptr;

    size_t count() const { return first ? 1 + rest.size() : 0; }
    TagSubscriber*& at(size_t i) { return i == 0 ? first : rest[i - 1]; }
};

std::string foldCase(const std::string& s);

// Index from tag name to the items that refer to it. Lists are keyed by the folded name and
// filtered by the match-case rule at update time, so switching the rule needs no rebuild.
class TagSubscribers {
public:
    void add(TagSubscriber* s, const std::string& tagName);
    void remove(TagSubscriber* s);
    bool contains(const TagSubscriber* s) const { return s->list_ != nullptr; }
    // A new tag links to the list of its name (made when absent); a removed tag lets go.
    void attachTag(const std::string& tagName, FollowerLink* link);
    void detachTag(FollowerLink* link);
    // Every tag is gone at once (the store was cleared).
    void detachAllTags();
    // Calls f for every subscriber of the tag that holds link.
    template <class F>
    static void forEachMatching(const FollowerLink& link, bool matchCase, F&& f);
    size_t size() const { return count_; }

private:
    Followers& listFor(const std::string& name, uint32_t* spelling);
    void dropIfUnused(Followers* list);
    static void refreshLinks(Followers& list);
    std::unordered_map<std::string, Followers> lists_;
    size_t count_ = 0;
};

template <class F>
void TagSubscribers::forEachMatching(const FollowerLink& link, bool matchCase, F&& f)
{
    TagSubscriber* first = link.first;
    if (!first) return;
    if (!matchCase || first->spelling_ == link.spelling) f(first);
    if (!link.more) return;
    for (TagSubscriber* s : link.list->rest)
        if (!matchCase || s->spelling_ == link.spelling) f(s);
}

} // namespace qv
