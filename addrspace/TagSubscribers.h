#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace qv {

class OPCTag;

// Something that follows a tag by name (a group item). It is told of every host update
// of a tag whose name matches, with the global lock held.
class TagSubscriber {
public:
    virtual ~TagSubscriber() = default;
    virtual void onTagUpdated(const OPCTag& tag) = 0;

private:
    friend class TagSubscribers;
    std::string subscribedName_;
    size_t slot_ = static_cast<size_t>(-1);
    bool registered_ = false;
};

// Index from tag name to the items that refer to it, so a host update costs what its own
// subscribers cost. Buckets are keyed by the ASCII-folded name and filtered by the
// match-case rule at update time, so switching the rule needs no rebuild.
std::string foldCase(const std::string& s);

class TagSubscribers {
public:
    void add(TagSubscriber* s, const std::string& tagName);
    void remove(TagSubscriber* s);
    bool contains(const TagSubscriber* s) const { return s->registered_; }
    // Calls f for every subscriber of the tag; folded is the tag's ASCII-folded name (a tag
    // keeps its own, so an update builds no string).
    template <class F>
    void forEachMatchingFolded(const std::string& folded, const std::string& tagName, bool matchCase, F&& f) const;
    size_t size() const { return count_; }

private:
    std::unordered_map<std::string, std::vector<TagSubscriber*>> buckets_;
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
void TagSubscribers::forEachMatchingFolded(const std::string& folded, const std::string& tagName, bool matchCase,
                                           F&& f) const
{
    auto it = buckets_.find(folded);
    if (it == buckets_.end()) return;
    for (TagSubscriber* s : it->second)
        if (!matchCase || sameName(s->subscribedName_, tagName)) f(s);
}

} // namespace qv
