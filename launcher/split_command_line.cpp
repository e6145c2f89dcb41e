#include "launcher/split_command_line.h"

#include <memory>

#include "platform/system_error.h"
#include "platform/windows_api.h"

namespace {

// CommandLineToArgvW reads the first word of its text by the program-name
// rules: a quote inside it is a plain character and a leading quote ends the
// word at the next quote, so "/pi="C:\a b\p.txt" /S" would lose the /S. The
// argument text has no program name, so an empty one is put in front and its
// element dropped: every word of the text is then split as an argument.
constexpr wchar_t kEmptyProgramName[] = L"\"\" ";

// The array CommandLineToArgvW returns is one block for LocalFree, released
// once, also when copying an argument throws.
struct LocalFreeDeleter {
    void operator()(LPWSTR* block) const { LocalFree(block); }
};
using ArgumentBlock = std::unique_ptr<LPWSTR, LocalFreeDeleter>;

}  // namespace

std::vector<std::wstring> SplitCommandLine(const wchar_t* text) {
    std::vector<std::wstring> arguments;
    // An empty text would give the program's own path instead of nothing.
    if (text == nullptr || text[0] == L'\0') {
        return arguments;
    }
    const std::wstring command_line = kEmptyProgramName + std::wstring(text);
    int count = 0;
    const ArgumentBlock block(CommandLineToArgvW(command_line.c_str(), &count));
    if (block == nullptr) {
        ThrowSystemError(GetLastError(), "Failed to parse command line");
    }
    for (int i = 1; i < count; ++i) {
        arguments.emplace_back(block.get()[i]);
    }
    return arguments;
}
