#pragma once
// Wildcard filters of BrowseOPCItemIDs: '*' any run, '?' one character, '#' one digit,
// '[set]' / '[!set]' one character in / not in the set (x-y ranges). No escape character.
#include <bitset>
#include <string>
#include <vector>

namespace qv {

class Pattern {
public:
    // Compiles once so that a listing matches every leaf against the same tokens.
    explicit Pattern(const std::string& pattern);

    // Byte-for-byte match of the whole name. A malformed pattern (a '[' without ']', or a
    // '-' that ends a set) matches nothing.
    bool matches(const std::string& name) const;
    bool malformed() const { return malformed_; }
    bool empty() const { return tokens_.empty() && !malformed_; }

private:
    enum Kind : unsigned char { kLiteral, kAny, kDigit, kSet, kStar };
    struct Token {
        Kind kind;
        unsigned char ch;  // kLiteral
        unsigned set;      // kSet: index into sets_
    };
    bool tokenMatches(const Token& t, unsigned char c) const;

    std::vector<Token> tokens_;
    std::vector<std::bitset<256>> sets_;
    bool malformed_ = false;
};

} // namespace qv
