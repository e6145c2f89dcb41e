#include "launcher/split_command_line.h"

#include <memory>

#include "platform/system_error.h"
#include "platform/windows_api.h"

namespace {

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
    int count = 0;
    const ArgumentBlock block(CommandLineToArgvW(text, &count));
    if (block == nullptr) {
        ThrowSystemError(GetLastError(), "Failed to parse command line");
    }
    for (int i = 0; i < count; ++i) {
        arguments.emplace_back(block.get()[i]);
    }
    return arguments;
}
