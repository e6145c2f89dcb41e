// The parameters file's JSON check: what it accepts, and where it says a bad
// file goes wrong.
#include "tools/packaging/json_check.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using packaging::CheckJson;

TEST(CheckJson, AcceptsJsonAndRefusesWhatIsNot) {
    struct Row {
        std::string text;
        bool valid;
    };
    const Row rows[] = {
        {"{\"product\":\"Demo\",\"brand\":\"ACME\"}", true},
        {"\xEF\xBB\xBF{\"a\": [true, false, null, -1.5e+3, 0, \"\\\"\\n\\u00e9\"]}\r\n", true},
        {"{\"name\":\"caf\xC3\xA9\"}", true},
        {std::string(600, '[') + std::string(600, ']'), true},
        {"", false},
        {"{\"a\":1,}", false},
        {"{'a':1}", false},
        {"{\"a\":01}", false},
        {"{\"a\":1} x", false},
        {"{\"a\":\"tab\there\"}", false},
        {"{\"a\":\"\\x\"}", false},
        {"{\"a\":\"caf\xE9\"}", false},  // Latin-1, not UTF-8
        {"{\"a\":\"open}", false},
        {"{\"a\":1} /* comment */", false},
    };
    for (const Row& row : rows) {
        const std::string problem = CheckJson(row.text);
        EXPECT_EQ(problem.empty(), row.valid) << row.text << ": " << problem;
    }
}

TEST(CheckJson, NamesTheLineAndColumnOfTheFault) {
    struct Row {
        const char* what;
        std::string text;
        std::string place;
    };
    const Row rows[] = {
        {"a trailing comma on the third line", "{\n  \"a\": 1,\n}", "line 3, column 1: "},
        {"a bare word", "{\"a\": yes}", "line 1, column 7: "},
        {"the byte order mark takes no column", "\xEF\xBB\xBF{\"a\" 1}", "line 1, column 6: "},
        {"a UTF-8 character takes one column", "[\"\xC3\xA9\", x]", "line 1, column 7: "},
        {"CR LF line ends", "{\r\n\"a\":\r\n}", "line 3, column 1: "},
        {"the end of the text", "{\"a\": [1, 2", "line 1, column 12: "},
    };
    for (const Row& row : rows) {
        const std::string problem = CheckJson(row.text);
        EXPECT_TRUE(problem.starts_with(row.place)) << row.what << ": " << problem;
        // The library's reason follows, without its error number.
        EXPECT_GT(problem.size(), row.place.size()) << row.what;
        EXPECT_EQ(problem.find("json.exception"), std::string::npos) << row.what << ": " << problem;
    }
}

}  // namespace
