#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace qv {

class OPCTag;
struct Followers;

// Something that follows a tag by name (a group item). It is told of every host update
// of a tag whose name matches, with the global lock held.
class TagSubscriber {
public:
    virtual ~TagSubscriber() = default;
    virtual void onTagUpdated(const OPCTag& tag) = 0;

private:
    friend class TagSubscribers;
    std::string subscribedName_;
    Followers* list_ = nullptr;
    size_t slot_ = static_cast<size_t>(-1);
};

// The items that follow one ASCII-folded name. Every tag of that name points here, so a host
// update reaches its items with no lookup; items may come before their tag and outlive it.
struct Followers {
    std::vector<TagSubscriber*> items;
    size_t tags = 0; // tags pointing here; the list lives while it has tags or items
    const std::string* key = nullptr;
};

std::string foldCase(const std::string& s);

// Index from tag name to the items that refer to it. Lists are keyed by the folded name and
// filtered by the match-case rule at update time, so switching the rule needs no rebuild.
class TagSubscribers {
public:
    void add(TagSubscriber* s, const std::string& tagName);
    void remove(TagSubscriber* s);
    bool contains(const TagSubscriber* s) const { return s->list_ != nullptr; }
    // A new tag takes the list of its folded name (made when absent); a removed tag lets go.
    Followers* attachTag(const std::string& foldedName);
    void detachTag(Followers* list);
    // Every tag is gone at once (the store was cleared).
    void detachAllTags();
    // Calls f for every subscriber of the tag named tagName whose list is given.
    template <class F>
    static void forEachMatching(const Followers* list, const std::string& tagName, bool matchCase, F&& f);
    size_t size() const { return count_; }

private:
    Followers& listFor(const std::string& foldedName);
    void dropIfUnused(Followers* list);
    std::unordered_map<std::string, Followers> lists_;
    size_t count_ = 0;
};

// Exact name comparison, inlined: it runs for every following item on every host update, and
// the library memcmp call was a measurable share of that (bench/dataio_update_bench).
inline bool sameName(const std::string& a, const std::string& b)
{
    const size_t n = a.size();
    if (n != b.size()) return false;
    const char* p = a.data();
    const char* q = b.data();
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint32_t x, y;
        memcpy(&x, p + i, 4);
        memcpy(&y, q + i, 4);
        if (x != y) return false;
    }
    for (; i < n; ++i)
        if (p[i] != q[i]) return false;
    return true;
}

template <class F>
void TagSubscribers::forEachMatching(const Followers* list, const std::string& tagName, bool matchCase, F&& f)
{
    if (!list) return;
    for (TagSubscriber* s : list->items)
        if (!matchCase || sameName(s->subscribedName_, tagName)) f(s);
}

} // namespace qv
