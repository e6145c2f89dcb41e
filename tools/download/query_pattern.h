// Query value patterns for the edge: a matcher of a subset of RE2's syntax
// whose time is linear in the value's length, whatever the pattern (the
// pattern is compiled to a program of instructions that a value runs
// through as one set of states, without backtracking). The server matches
// with RE2 itself; the edge, which has no RE2, with this. Where both take a
// pattern they match the same values; a pattern outside the subset is
// refused when it is compiled, never matched differently.
//
// The subset, with RE2's meaning (case-sensitive, '.' not matching a line
// feed, characters are UTF-8 code points):
//   literals, and any punctuation escaped with '\'; \t \n \r \f \v \a;
//   .  [abc]  [^abc]  [a-z]  and in and outside classes \d \D \w \W \s \S;
//   (...)  (?:...)  a|b;
//   *  +  ?  {n}  {n,}  {n,m} (n, m up to 1000), each also lazy ('?' after);
//   ^ \A (the value's start)  $ \z (its end).
// Refused (RE2 takes them): flags such as (?i), named groups, \b and \B,
// \pN and \p{...}, [[:alpha:]], \x.., \Q...\E, octal escapes, and programs
// larger than kMostInstructions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace download {

// A pattern outside the subset, or not a regular expression at all; the
// message says what and where.
class PatternError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class QueryPattern {
  public:
    // The most instructions a compiled pattern may have (counted
    // repetitions repeat their operand's).
    static constexpr std::size_t kMostInstructions = 20000;

    // Throws PatternError for a pattern outside the subset.
    explicit QueryPattern(std::string_view pattern);

    // Whether the whole of value (UTF-8) matches, like RE2::FullMatch.
    bool FullMatch(std::string_view value) const;

    std::size_t size() const { return program_.size(); }

  private:
    enum class Op : std::uint8_t { kClass, kSplit, kJump, kAssertBegin, kAssertEnd, kMatch };
    struct Instruction {
        Op op = Op::kMatch;
        std::uint32_t x = 0;  // kClass: the class's index; kSplit, kJump: a target
        std::uint32_t y = 0;  // kSplit: the other target
    };
    using Ranges = std::vector<std::pair<char32_t, char32_t>>;  // sorted, inclusive

    friend class PatternCompiler;
    std::vector<Instruction> program_;
    std::vector<Ranges> classes_;
};

}  // namespace download
