// The text shown to the user for a failed Windows call.
#pragma once

#include <cstdint>
#include <string>

// The system's own text for the code, unchanged (with its closing line
// break), or "Windows error 0x" and the code in lower-case hexadecimal when
// the system has none.
std::wstring GetWindowsErrorText(std::uint32_t code);
