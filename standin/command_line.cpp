// CommandLineToArgvW by the Windows rules, as the system's shell library
// applies them:
// - The program name comes first. A name that begins with a double quote ends
//   at the next double quote, whatever follows it; any other name ends at the
//   first blank. Inside the name quotes and backslashes are plain characters.
// - Blanks (space and tab, nothing else) separate the arguments after it;
//   inside a quoted run they belong to the argument.
// - Backslashes are plain characters unless a double quote follows them:
//   2n backslashes then give n and the quote opens or closes a quoted run;
//   2n+1 give n and a literal quote.
// - In a run of double quotes the third one in a row, counting the quote that
//   opened the quoted run, is a literal quote and ends the quoted run: inside
//   quotes "" gives one quote and leaves the run, """ outside gives one quote.
// - An empty text gives the running program's path as the only argument.
#include "standin/command_line.h"

#include <cstring>

#include "standin/state.h"

namespace standin::detail {
namespace {

constexpr wchar_t kQuote = L'"';
constexpr wchar_t kBackslash = L'\\';
constexpr std::wstring_view kBlanks = L" \t";

bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring ProgramName(std::wstring_view text, std::size_t& at) {
    std::size_t end = 0;
    std::size_t next = 0;
    if (text[at] == kQuote) {
        ++at;
        end = text.find(kQuote, at);
        end = end == std::wstring_view::npos ? text.size() : end;
        next = end == text.size() ? end : end + 1;
    } else {
        end = text.find_first_of(kBlanks, at);
        end = end == std::wstring_view::npos ? text.size() : end;
        next = end;
    }
    std::wstring name(text.substr(at, end - at));
    at = next;
    return name;
}

std::wstring NextArgument(std::wstring_view text, std::size_t& at) {
    std::wstring argument;
    std::size_t backslashes = 0;  // the run of backslashes just copied
    int quotes = 0;               // 1 inside a quoted run
    while (at < text.size() && !(IsBlank(text[at]) && quotes == 0)) {
        const wchar_t c = text[at];
        if (c != kQuote) {
            backslashes = c == kBackslash ? backslashes + 1 : 0;
            argument.push_back(c);
            ++at;
            continue;
        }
        // Half the backslashes before a quote stay; an odd one escapes it.
        argument.resize(argument.size() - (backslashes + 1) / 2);
        if (backslashes % 2 == 1) {
            argument.push_back(kQuote);
            ++at;
        }
        backslashes = 0;
        while (at < text.size() && text[at] == kQuote) {
            if (++quotes == 3) {
                argument.push_back(kQuote);
                quotes = 0;
            }
            ++at;
        }
        if (quotes == 2) {
            quotes = 0;
        }
    }
    return argument;
}

// An argument quoted so that NextArgument gives it back unchanged.
void AppendQuotedArgument(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line.push_back(kQuote);
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == kBackslash) {
            ++backslashes;
            continue;
        }
        line.append(c == kQuote ? backslashes * 2 + 1 : backslashes, kBackslash);
        backslashes = 0;
        line.push_back(c);
    }
    line.append(backslashes * 2, kBackslash);
    line.push_back(kQuote);
}

}  // namespace

std::vector<std::wstring> SplitWindowsCommandLine(std::wstring_view text) {
    std::vector<std::wstring> arguments;
    std::size_t at = 0;
    arguments.push_back(ProgramName(text, at));
    for (;;) {
        at = text.find_first_not_of(kBlanks, at);
        if (at == std::wstring_view::npos) {
            return arguments;
        }
        arguments.push_back(NextArgument(text, at));
    }
}

std::wstring ComposeWindowsCommandLine(const std::vector<std::wstring>& arguments) {
    std::wstring line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i == 0) {
            const bool quoted =
                arguments[0].empty() || arguments[0].find_first_of(kBlanks) != std::wstring::npos;
            line += quoted ? L"\"" + arguments[0] + L"\"" : arguments[0];
            continue;
        }
        line.push_back(L' ');
        AppendQuotedArgument(line, arguments[i]);
    }
    return line;
}

}  // namespace standin::detail

LPWSTR* CommandLineToArgvW(LPCWSTR command_line, int* count) {
    if (standin::detail::CallFails(standin::Operation::CommandLineToArgvW)) {
        return nullptr;
    }
    // Windows faults on a null text; the stand-in says so instead.
    if (command_line == nullptr || count == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::vector<std::wstring> arguments =
        command_line[0] == L'\0' ? std::vector<std::wstring>{standin::detail::RunningProgram()}
                                 : standin::detail::SplitWindowsCommandLine(command_line);

    // One block, as LocalFree releases it: the pointer array with its closing
    // null, then the texts.
    const std::size_t pointer_bytes = (arguments.size() + 1) * sizeof(LPWSTR);
    std::size_t bytes = pointer_bytes;
    for (const std::wstring& argument : arguments) {
        bytes += (argument.size() + 1) * sizeof(wchar_t);
    }
    auto* block = static_cast<unsigned char*>(standin::detail::LocalAllocate(bytes));
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* pointers = reinterpret_cast<LPWSTR*>(block);
    auto* text = reinterpret_cast<wchar_t*>(block + pointer_bytes);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        pointers[i] = text;
        std::memcpy(text, arguments[i].c_str(), (arguments[i].size() + 1) * sizeof(wchar_t));
        text += arguments[i].size() + 1;
    }
    pointers[arguments.size()] = nullptr;
    *count = static_cast<int>(arguments.size());
    return pointers;
}
