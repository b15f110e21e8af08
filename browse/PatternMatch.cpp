#include "browse/PatternMatch.h"

namespace qv {

Pattern::Pattern(const std::string& p)
{
    const size_t size = p.size();
    size_t i = 0;
    while (i < size) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (c == '*') {
            // A run of stars is one star: keeps the matcher's work independent of run length.
            if (tokens_.empty() || tokens_.back().kind != kStar) tokens_.push_back({kStar, 0, 0});
            ++i;
        } else if (c == '?') {
            tokens_.push_back({kAny, 0, 0});
            ++i;
        } else if (c == '#') {
            tokens_.push_back({kDigit, 0, 0});
            ++i;
        } else if (c == '[') {
            ++i;
            bool negate = false;
            if (i < size && p[i] == '!') {
                negate = true;
                ++i;
            }
            std::bitset<256> members;
            unsigned last = 0; // low end of a range whose '-' comes first
            bool closed = false;
            while (i < size) {
                const unsigned char m = static_cast<unsigned char>(p[i]);
                if (m == ']') {
                    closed = true;
                    ++i;
                    break;
                }
                if (m == '-') {
                    if (i + 1 >= size || p[i + 1] == ']') {
                        malformed_ = true;
                        return;
                    }
                    const unsigned hi = static_cast<unsigned char>(p[i + 1]);
                    for (unsigned x = last; x <= hi; ++x) members.set(x);
                    last = hi;
                    i += 2;
                    continue;
                }
                members.set(m);
                last = m;
                ++i;
            }
            if (!closed) {
                malformed_ = true;
                return;
            }
            if (negate) members.flip();
            sets_.push_back(members);
            tokens_.push_back({kSet, 0, static_cast<unsigned>(sets_.size() - 1)});
        } else {
            tokens_.push_back({kLiteral, c, 0});
            ++i;
        }
    }
}

bool Pattern::tokenMatches(const Token& t, unsigned char c) const
{
    switch (t.kind) {
    case kLiteral: return c == t.ch;
    case kAny: return true;
    case kDigit: return c >= '0' && c <= '9';
    case kSet: return sets_[t.set].test(c);
    default: return false;
    }
}

bool Pattern::matches(const std::string& name) const
{
    if (malformed_) return false;
    // Every token but '*' takes exactly one character, so on a mismatch only the latest '*'
    // needs to take one more character (earlier stars cannot do better). Work is bounded by
    // tokens x name length, whatever the pattern.
    const size_t count = tokens_.size();
    const size_t length = name.size();
    size_t t = 0, n = 0;
    size_t starToken = count; // none yet
    size_t starName = 0;
    while (n < length) {
        if (t < count && tokens_[t].kind == kStar) {
            starToken = t++;
            starName = n;
            continue;
        }
        if (t < count && tokenMatches(tokens_[t], static_cast<unsigned char>(name[n]))) {
            ++t;
            ++n;
            continue;
        }
        if (starToken == count) return false;
        t = starToken + 1;
        n = ++starName;
    }
    while (t < count && tokens_[t].kind == kStar) ++t;
    return t == count;
}

} // namespace qv
