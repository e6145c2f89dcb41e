// The stub's argument text split into its arguments, for the switch scan.
#pragma once

#include <string>
#include <vector>

// Splits text by the rules of CommandLineToArgvW for the arguments after the
// program name (the text holds none) and returns copies of them in order. A
// null or empty text gives an empty list without calling it. Raises a system
// error "Failed to parse command line" when the text cannot be split.
std::vector<std::wstring> SplitCommandLine(const wchar_t* text);
