// The edge's query patterns (tools/download/query_pattern.h) against RE2,
// which tvkserve matches with: where both take a pattern, they must take
// the same values, or one URL would download from one and be refused by
// the other. Patterns outside the edge's subset are refused at load.
#include "tools/download/query_pattern.h"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using download::PatternError;
using download::QueryPattern;

// Values are UTF-8: the selection refuses any other before it matches.
TEST(QueryPattern, MatchesTheValuesRe2MatchesForEachPatternOfTheSubset) {
    const std::vector<std::string> patterns = {
        "[A-Za-z0-9_-]*", "[a-z0-9 ]*", "abc",        "a|b|",    "(ab)+c?",        "[^a-c]+",
        "\\d{2,4}",       "\\w+\\s\\W", "x{3}",       "x{2,}",   "(a|ab)(c|bcd)d", "^a.c$",
        "\\Aab\\z",       "(?:ab)*?b",  "[\\d\\-.]+", "é+",      "[à-ÿ]x",         ".",
        "a\\.b",          "[]a]",       "(a*)*b",     "\\t\\n?", "[^\\s]{1,3}",    "a{0}b",
        "(x|y){2}z",
    };
    const std::vector<std::string> values = {
        "",    "a",    "b",    "ab",    "abc", "abcd", "abbcdd", "ababb", "x",   "xx",
        "xxx", "12",   "1234", "12345", "a b", "a_b-", "ab\n",   "\n",    "é",   "éé",
        "àx",  "ÿx",   "a.b",  "axb",   "]",   "aaab", "\t",     "\t\n",  "xyz", "yxz",
        "1.-", "abc!", "a c",  "A B",   "!",   "zz",   "b b",    "aaaaa", "é!x",
    };
    for (const std::string& pattern : patterns) {
        const QueryPattern edge(pattern);
        const RE2 server(pattern);
        ASSERT_TRUE(server.ok()) << pattern;
        for (const std::string& value : values) {
            EXPECT_EQ(edge.FullMatch(value), RE2::FullMatch(value, server))
                << "pattern '" << pattern << "', value '" << value << "'";
        }
    }
}

TEST(QueryPattern, RefusesWhatLiesOutsideItsSubsetAndWhatIsNoPattern) {
    const char* const refused[] = {
        "(?i)abc", "(?P<n>a)", "\\bword", "\\pN", "\\p{Greek}", "[[:alpha:]]", "\\x41",  "\\Qa\\E",
        "\\101",   "a{1001}",  "(a",      "a)",   "[a",         "*a",          "a{2,1}", "a**",
    };
    for (const char* pattern : refused) {
        EXPECT_THROW(QueryPattern{pattern}, PatternError) << pattern;
    }
}

TEST(QueryPattern, TakesTimeLinearInTheValueWhateverThePattern) {
    const QueryPattern nested("(a*)*(a|b)*c");
    const std::string value(100000, 'a');
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(nested.FullMatch(value));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
