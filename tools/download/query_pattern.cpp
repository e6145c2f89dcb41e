#include "tools/download/query_pattern.h"

#include <algorithm>
#include <memory>

namespace download {

namespace {

constexpr char32_t kLastCodePoint = 0x10FFFF;
// The largest count a repetition may name, as in RE2.
constexpr int kMostRepeat = 1000;

// A parsed pattern: what the compiler turns into instructions.
struct Node {
    enum class Kind { kClass, kConcat, kAlternate, kRepeat, kAssertBegin, kAssertEnd, kEmpty };
    Kind kind = Kind::kEmpty;
    std::vector<std::pair<char32_t, char32_t>> ranges;  // kClass
    std::vector<std::unique_ptr<Node>> children;        // kConcat, kAlternate, kRepeat (one)
    int min = 0;
    int max = -1;  // kRepeat: -1 for no upper bound
};
using NodePtr = std::unique_ptr<Node>;

using Ranges = std::vector<std::pair<char32_t, char32_t>>;

Ranges Normalize(Ranges ranges) {
    std::sort(ranges.begin(), ranges.end());
    Ranges merged;
    for (const auto& range : ranges) {
        if (!merged.empty() && range.first <= merged.back().second + 1) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    return merged;
}

Ranges Complement(const Ranges& ranges) {
    Ranges normalized = Normalize(ranges);
    Ranges complement;
    char32_t next = 0;
    for (const auto& [first, last] : normalized) {
        if (first > next) {
            complement.push_back({next, first - 1});
        }
        next = last + 1;
    }
    if (next <= kLastCodePoint) {
        complement.push_back({next, kLastCodePoint});
    }
    return complement;
}

// The classes \d, \w and \s stand for, as RE2 has them (ASCII only).
Ranges PerlClass(char letter) {
    switch (letter) {
        case 'd':
            return {{'0', '9'}};
        case 'w':
            return {{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}};
        case 's':
            return {{'\t', '\n'}, {'\f', '\r'}, {' ', ' '}};
    }
    return {};
}

class Parser {
  public:
    explicit Parser(std::string_view pattern) : text_(pattern) {}

    NodePtr Parse() {
        NodePtr node = Alternation();
        if (position_ < text_.size()) {
            Refuse("unexpected ')'");  // the only way an alternation stops early
        }
        return node;
    }

  private:
    [[noreturn]] void Refuse(const std::string& problem) const {
        throw PatternError(problem + " at offset " + std::to_string(position_));
    }

    bool AtEnd() const { return position_ >= text_.size(); }
    char Peek() const { return text_[position_]; }

    // The next UTF-8 character of the pattern.
    char32_t NextCodePoint() {
        const auto lead = static_cast<unsigned char>(text_[position_]);
        std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (lead >= 0x80 && (lead < 0xC2 || lead > 0xF4)) {
            Refuse("the pattern is not UTF-8");
        }
        if (position_ + length > text_.size()) {
            Refuse("the pattern is not UTF-8");
        }
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(text_[position_ + i]);
            if ((next & 0xC0) != 0x80) {
                Refuse("the pattern is not UTF-8");
            }
            code = (code << 6) | (next & 0x3F);
        }
        position_ += length;
        return code;
    }

    NodePtr Alternation() {
        std::vector<NodePtr> branches;
        branches.push_back(Concatenation());
        while (!AtEnd() && Peek() == '|') {
            ++position_;
            branches.push_back(Concatenation());
        }
        if (branches.size() == 1) {
            return std::move(branches.front());
        }
        auto node = std::make_unique<Node>();
        node->kind = Node::Kind::kAlternate;
        node->children = std::move(branches);
        return node;
    }

    NodePtr Concatenation() {
        auto node = std::make_unique<Node>();
        node->kind = Node::Kind::kConcat;
        while (!AtEnd() && Peek() != '|' && Peek() != ')') {
            node->children.push_back(Repetition());
        }
        return node;
    }

    NodePtr Repetition() {
        NodePtr atom = Atom();
        bool repeated = false;
        while (!AtEnd()) {
            const std::size_t start = position_;
            int min = 0;
            int max = -1;
            const char c = Peek();
            if (c == '*') {
                ++position_;
            } else if (c == '+') {
                min = 1;
                ++position_;
            } else if (c == '?') {
                max = 1;
                ++position_;
            } else if (c != '{' || !Counts(min, max)) {
                break;
            }
            if (repeated) {
                position_ = start;
                Refuse("bad repetition operator");
            }
            if (atom->kind == Node::Kind::kAssertBegin || atom->kind == Node::Kind::kAssertEnd) {
                position_ = start;
                Refuse("a repetition of ^, $, \\A or \\z is not supported");
            }
            // A lazy repetition matches the same whole values.
            if (!AtEnd() && Peek() == '?') {
                ++position_;
            }
            auto node = std::make_unique<Node>();
            node->kind = Node::Kind::kRepeat;
            node->min = min;
            node->max = max;
            node->children.push_back(std::move(atom));
            atom = std::move(node);
            repeated = true;
        }
        return atom;
    }

    // {n}, {n,} or {n,m} at the current '{'; anything else leaves the '{' a
    // literal, as in RE2.
    bool Counts(int& min, int& max) {
        std::size_t at = position_ + 1;
        const auto number = [&](int& value) {
            const std::size_t start = at;
            value = 0;
            while (at < text_.size() && text_[at] >= '0' && text_[at] <= '9') {
                value = std::min(value * 10 + (text_[at] - '0'), kMostRepeat + 1);
                ++at;
            }
            return at > start;
        };
        if (!number(min)) {
            return false;
        }
        max = min;
        if (at < text_.size() && text_[at] == ',') {
            ++at;
            if (!number(max)) {
                max = -1;
            }
        }
        if (at >= text_.size() || text_[at] != '}') {
            return false;
        }
        if (min > kMostRepeat || max > kMostRepeat || (max >= 0 && max < min)) {
            Refuse("bad repetition count");
        }
        position_ = at + 1;
        return true;
    }

    NodePtr ClassNode(Ranges ranges) {
        auto node = std::make_unique<Node>();
        node->kind = Node::Kind::kClass;
        node->ranges = Normalize(std::move(ranges));
        return node;
    }

    NodePtr Atom() {
        const char c = Peek();
        switch (c) {
            case '*':
            case '+':
            case '?':
                Refuse("missing argument to repetition operator");
            case '{': {
                int min = 0;
                int max = 0;
                const std::size_t start = position_;
                if (Counts(min, max)) {
                    position_ = start;
                    Refuse("missing argument to repetition operator");
                }
                break;
            }
            case '(':
                return Group();
            case '[':
                return Class();
            case '.':
                ++position_;
                return ClassNode({{0, '\n' - 1}, {'\n' + 1, kLastCodePoint}});
            case '^':
            case '$': {
                ++position_;
                auto node = std::make_unique<Node>();
                node->kind = c == '^' ? Node::Kind::kAssertBegin : Node::Kind::kAssertEnd;
                return node;
            }
            case '\\':
                return Escape();
            default:
                break;
        }
        const char32_t code = NextCodePoint();
        return ClassNode({{code, code}});
    }

    NodePtr Group() {
        ++position_;
        if (!AtEnd() && Peek() == '?') {
            if (position_ + 1 < text_.size() && text_[position_ + 1] == ':') {
                position_ += 2;
            } else {
                Refuse("flags and named groups ((?...)) are not supported");
            }
        }
        NodePtr inner = Alternation();
        if (AtEnd() || Peek() != ')') {
            Refuse("missing ')'");
        }
        ++position_;
        return inner;
    }

    // The escape at the current '\'. Inside a class, ranges receives a
    // class escape and the returned character is meaningless.
    char32_t EscapedCharacter(Ranges* class_ranges) {
        ++position_;
        if (AtEnd()) {
            Refuse("trailing '\\'");
        }
        const char c = Peek();
        const auto letter = static_cast<unsigned char>(c);
        if (letter >= 0x80) {
            Refuse("invalid escape sequence");
        }
        ++position_;
        switch (c) {
            case 't':
                return '\t';
            case 'n':
                return '\n';
            case 'r':
                return '\r';
            case 'f':
                return '\f';
            case 'v':
                return '\v';
            case 'a':
                return '\a';
            case 'd':
            case 'w':
            case 's':
            case 'D':
            case 'W':
            case 'S': {
                const char lower = static_cast<char>(c | 0x20);
                const Ranges perl = PerlClass(lower);
                const Ranges ranges = c == lower ? perl : Complement(perl);
                class_ranges->insert(class_ranges->end(), ranges.begin(), ranges.end());
                return 0;
            }
            default:
                break;
        }
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
            c == '_') {
            --position_;
            Refuse(std::string("the escape \\") + c + " is not supported");
        }
        return static_cast<char32_t>(letter);  // escaped punctuation
    }

    NodePtr Escape() {
        if (position_ + 1 < text_.size() && (text_[position_ + 1] == 'A' || text_[position_ + 1] == 'z')) {
            auto node = std::make_unique<Node>();
            node->kind = text_[position_ + 1] == 'A' ? Node::Kind::kAssertBegin
                                                      : Node::Kind::kAssertEnd;
            position_ += 2;
            return node;
        }
        Ranges ranges;
        const std::size_t before = position_;
        const char32_t code = EscapedCharacter(&ranges);
        if (!ranges.empty() || IsPerlClassAt(before)) {
            return ClassNode(std::move(ranges));
        }
        return ClassNode({{code, code}});
    }

    bool IsPerlClassAt(std::size_t backslash) const {
        return std::string_view("dwsDWS").find(text_[backslash + 1]) != std::string_view::npos;
    }

    NodePtr Class() {
        ++position_;
        bool negated = false;
        if (!AtEnd() && Peek() == '^') {
            negated = true;
            ++position_;
        }
        Ranges ranges;
        bool first = true;
        for (;;) {
            if (AtEnd()) {
                Refuse("missing ']'");
            }
            if (Peek() == ']' && !first) {
                ++position_;
                break;
            }
            if (Peek() == '[' && position_ + 1 < text_.size() && text_[position_ + 1] == ':') {
                Refuse("POSIX classes ([[:name:]]) are not supported");
            }
            first = false;
            bool is_class_escape = false;
            const char32_t low = ClassCharacter(ranges, is_class_escape);
            if (is_class_escape) {
                continue;
            }
            char32_t high = low;
            if (position_ + 1 < text_.size() && Peek() == '-' && text_[position_ + 1] != ']') {
                ++position_;
                high = ClassCharacter(ranges, is_class_escape);
                if (is_class_escape || high < low) {
                    Refuse("bad character class range");
                }
            }
            ranges.push_back({low, high});
        }
        return ClassNode(negated ? Complement(ranges) : std::move(ranges));
    }

    char32_t ClassCharacter(Ranges& ranges, bool& is_class_escape) {
        if (Peek() != '\\') {
            is_class_escape = false;
            return NextCodePoint();
        }
        is_class_escape = IsPerlClassAt(position_);
        return EscapedCharacter(&ranges);
    }

    std::string_view text_;
    std::size_t position_ = 0;
};

}  // namespace

// Turns a parsed pattern into instructions; each node's instructions end
// where the next node's begin.
class PatternCompiler {
  public:
    explicit PatternCompiler(QueryPattern& pattern) : pattern_(pattern) {}

    void Compile(const Node& node) {
        Emit(node);
        Add({QueryPattern::Op::kMatch, 0, 0});
    }

  private:
    using Op = QueryPattern::Op;

    std::uint32_t Add(QueryPattern::Instruction instruction) {
        if (pattern_.program_.size() >= QueryPattern::kMostInstructions) {
            throw PatternError("the pattern is too large (more than " +
                               std::to_string(QueryPattern::kMostInstructions) +
                               " instructions once its repetitions are counted out)");
        }
        pattern_.program_.push_back(instruction);
        return static_cast<std::uint32_t>(pattern_.program_.size() - 1);
    }
    std::uint32_t Next() const { return static_cast<std::uint32_t>(pattern_.program_.size()); }

    void Emit(const Node& node) {
        switch (node.kind) {
            case Node::Kind::kEmpty:
                return;
            case Node::Kind::kClass:
                pattern_.classes_.push_back(node.ranges);
                Add({Op::kClass, static_cast<std::uint32_t>(pattern_.classes_.size() - 1), 0});
                return;
            case Node::Kind::kAssertBegin:
                Add({Op::kAssertBegin, 0, 0});
                return;
            case Node::Kind::kAssertEnd:
                Add({Op::kAssertEnd, 0, 0});
                return;
            case Node::Kind::kConcat:
                for (const NodePtr& child : node.children) {
                    Emit(*child);
                }
                return;
            case Node::Kind::kAlternate: {
                std::vector<std::uint32_t> jumps;
                for (std::size_t i = 0; i < node.children.size(); ++i) {
                    if (i + 1 == node.children.size()) {
                        Emit(*node.children[i]);
                        break;
                    }
                    const std::uint32_t split = Add({Op::kSplit, 0, 0});
                    pattern_.program_[split].x = Next();
                    Emit(*node.children[i]);
                    jumps.push_back(Add({Op::kJump, 0, 0}));
                    pattern_.program_[split].y = Next();
                }
                for (const std::uint32_t jump : jumps) {
                    pattern_.program_[jump].x = Next();
                }
                return;
            }
            case Node::Kind::kRepeat:
                EmitRepeat(*node.children.front(), node.min, node.max);
                return;
        }
    }

    void EmitRepeat(const Node& operand, int min, int max) {
        for (int i = 0; i < min; ++i) {
            Emit(operand);
        }
        if (max < 0) {
            // L: split(body, out); body; jump L
            const std::uint32_t split = Add({Op::kSplit, 0, 0});
            pattern_.program_[split].x = Next();
            Emit(operand);
            Add({Op::kJump, split, 0});
            pattern_.program_[split].y = Next();
            return;
        }
        // Each optional copy: split(body, out); body.
        std::vector<std::uint32_t> splits;
        for (int i = min; i < max; ++i) {
            const std::uint32_t split = Add({Op::kSplit, 0, 0});
            pattern_.program_[split].x = Next();
            splits.push_back(split);
            Emit(operand);
        }
        for (const std::uint32_t split : splits) {
            pattern_.program_[split].y = Next();
        }
    }

    QueryPattern& pattern_;
};

QueryPattern::QueryPattern(std::string_view pattern) {
    const NodePtr parsed = Parser(pattern).Parse();
    PatternCompiler(*this).Compile(*parsed);
}

bool QueryPattern::FullMatch(std::string_view value) const {
    // The states (instruction indexes) the value can be in before each
    // character, each once: the run takes time proportional to the value's
    // length times the program's size, whatever both are.
    const std::size_t size = program_.size();
    std::vector<std::uint32_t> current;
    std::vector<std::uint32_t> next;
    std::vector<std::size_t> seen(size, SIZE_MAX);
    std::vector<std::uint32_t> stack;
    std::size_t step = 0;
    current.reserve(size);
    next.reserve(size);

    // Adds pc and what it reaches without reading a character, at position
    // at (of end).
    const auto add = [&](std::vector<std::uint32_t>& list, std::uint32_t start, std::size_t at,
                         std::size_t end) {
        stack.push_back(start);
        while (!stack.empty()) {
            const std::uint32_t pc = stack.back();
            stack.pop_back();
            if (seen[pc] == step) {
                continue;
            }
            seen[pc] = step;
            const Instruction& instruction = program_[pc];
            switch (instruction.op) {
                case Op::kJump:
                    stack.push_back(instruction.x);
                    break;
                case Op::kSplit:
                    stack.push_back(instruction.y);
                    stack.push_back(instruction.x);
                    break;
                case Op::kAssertBegin:
                    if (at == 0) {
                        stack.push_back(pc + 1);
                    }
                    break;
                case Op::kAssertEnd:
                    if (at == end) {
                        stack.push_back(pc + 1);
                    }
                    break;
                case Op::kClass:
                case Op::kMatch:
                    list.push_back(pc);
                    break;
            }
        }
    };

    std::size_t at = 0;
    add(current, 0, 0, value.size());
    while (at < value.size() && !current.empty()) {
        // The next character (the value is UTF-8: checked before matching).
        const auto lead = static_cast<unsigned char>(value[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t code = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t i = 1; i < length && at + i < value.size(); ++i) {
            code = (code << 6) | (static_cast<unsigned char>(value[at + i]) & 0x3F);
        }
        at = std::min(at + length, value.size());
        ++step;
        next.clear();
        for (const std::uint32_t pc : current) {
            const Instruction& instruction = program_[pc];
            if (instruction.op != Op::kClass) {
                continue;
            }
            const Ranges& ranges = classes_[instruction.x];
            const auto found = std::upper_bound(
                ranges.begin(), ranges.end(), code,
                [](char32_t c, const std::pair<char32_t, char32_t>& r) { return c < r.first; });
            if (found != ranges.begin() && code <= std::prev(found)->second) {
                add(next, pc + 1, at, value.size());
            }
        }
        std::swap(current, next);
    }
    if (at < value.size()) {
        return false;
    }
    return std::any_of(current.begin(), current.end(),
                       [&](std::uint32_t pc) { return program_[pc].op == Op::kMatch; });
}

}  // namespace download
