// The wildcard matcher of the browse filters, including malformed and adversarial patterns.
#include <gtest/gtest.h>
#include <string>
#include "browse/PatternMatch.h"

using qv::Pattern;

namespace {
bool matchPattern(const std::string& name, const std::string& pattern) { return Pattern(pattern).matches(name); }
} // namespace

TEST(BrowsePattern, LiteralsAndWildcards)
{
    EXPECT_TRUE(matchPattern("Line1.Flow", "Line1.Flow"));
    EXPECT_FALSE(matchPattern("Line1.Flow", "Flow"));
    EXPECT_FALSE(matchPattern("Line1.Flow", "line1.flow")); // always case-sensitive
    EXPECT_TRUE(matchPattern("Line1.Flow", "*Flow"));
    EXPECT_TRUE(matchPattern("Line1.Flow", "*F?ow"));
    EXPECT_TRUE(matchPattern("Line1.Flow", "Line#.*"));
    EXPECT_FALSE(matchPattern("LineX.Flow", "Line#.*"));
    EXPECT_TRUE(matchPattern("abc", "*"));
    EXPECT_TRUE(matchPattern("", "*"));
    EXPECT_TRUE(matchPattern("", ""));
    EXPECT_FALSE(matchPattern("a", ""));
    EXPECT_FALSE(matchPattern("", "?"));
    EXPECT_TRUE(matchPattern("abc", "a*"));     // a trailing star takes any remainder
    EXPECT_TRUE(matchPattern("abc", "*c"));
    EXPECT_TRUE(matchPattern("abcbc", "a*bc")); // the star must give back characters
    EXPECT_FALSE(matchPattern("abcb", "a*bc"));
    EXPECT_TRUE(matchPattern("axbyc", "a*b*c"));
    EXPECT_FALSE(matchPattern("ab", "ab?"));
}

TEST(BrowsePattern, Sets)
{
    EXPECT_TRUE(matchPattern("Line1.Flow", "*[A-F]low"));
    EXPECT_FALSE(matchPattern("Line1.Glow", "*[A-F]low"));
    EXPECT_TRUE(matchPattern("b", "[abc]"));
    EXPECT_FALSE(matchPattern("d", "[abc]"));
    EXPECT_TRUE(matchPattern("d", "[!abc]"));
    EXPECT_FALSE(matchPattern("b", "[!a-c]"));
    EXPECT_TRUE(matchPattern("e", "[a-ce-g]"));
    EXPECT_FALSE(matchPattern("d", "[a-ce-g]"));
    // A leading '-' ranges from code 0.
    EXPECT_TRUE(matchPattern("5", "[-9]"));
    EXPECT_FALSE(matchPattern("A", "[-9]"));
    // A range continues from the last character listed.
    EXPECT_TRUE(matchPattern("d", "[a-c-e]"));
    // Reversed range is empty.
    EXPECT_FALSE(matchPattern("b", "[c-a]"));
    // The empty set contains nothing, its negation everything; a "]" after it is a literal.
    EXPECT_FALSE(matchPattern("a", "[]"));
    EXPECT_TRUE(matchPattern("a", "[!]"));
    EXPECT_TRUE(matchPattern("x]", "[!]]"));
    EXPECT_FALSE(matchPattern("]", "[]]"));
    // Special characters inside a set are plain members.
    EXPECT_TRUE(matchPattern("*", "[*?#]"));
    EXPECT_FALSE(matchPattern("x", "[*?#]"));
    // Bytes above 127 are compared unsigned.
    EXPECT_TRUE(matchPattern("\xE9", "[\xE0-\xEF]"));
    EXPECT_TRUE(matchPattern("\xFF", "[\xFE-\xFF]"));
}

TEST(BrowsePattern, MalformedPatternsMatchNothing)
{
    const char* bad[] = {"[", "[abc", "[!", "a*[", "[a-", "[a-]", "[-]", "*[ab-]*", "x[!-"};
    for (const char* p : bad) {
        EXPECT_TRUE(Pattern(p).malformed()) << p;
        EXPECT_FALSE(matchPattern("a", p)) << p;
        EXPECT_FALSE(matchPattern("", p)) << p;
        EXPECT_FALSE(matchPattern("abc-]", p)) << p;
    }
    // A dangling range fails even when the character was found before it.
    EXPECT_FALSE(matchPattern("a", "[ab-]"));
}

TEST(BrowsePattern, AdversarialPatternsStayCheap)
{
    // Exponential for a naive recursive matcher; linear in tokens x name here.
    std::string name(5000, 'a');
    std::string pattern;
    for (int i = 0; i < 2000; ++i) pattern += "*a";
    pattern += "b";
    EXPECT_FALSE(matchPattern(name, pattern));
    EXPECT_TRUE(matchPattern(name + "b", pattern));
    EXPECT_TRUE(matchPattern(name, std::string(100000, '*')));
    // Filters longer than the old 80-byte buffer work like short ones.
    std::string longName(300, 'x');
    EXPECT_TRUE(matchPattern(longName, longName));
    EXPECT_TRUE(matchPattern(longName + "Flow", "*" + std::string(200, 'x') + "Flow"));
    EXPECT_FALSE(matchPattern(longName, longName + "?"));
}
