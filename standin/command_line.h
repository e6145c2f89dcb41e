// Windows command-line text, split and composed by the rules of
// CommandLineToArgvW. Internal to the stand-in: CreateProcessW and
// GetCommandLineW share these with CommandLineToArgvW.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace standin::detail {

// The arguments that CommandLineToArgvW gives for a non-empty text: the
// program name by its own rule, then the arguments.
std::vector<std::wstring> SplitWindowsCommandLine(std::wstring_view text);

// A command line that SplitWindowsCommandLine turns back into the given
// program name and arguments (the name must hold no double quote).
std::wstring ComposeWindowsCommandLine(const std::vector<std::wstring>& arguments);

}  // namespace standin::detail
