// Text that a client sent, as the server repeats it (in a refusal's message,
// in the access log): printable ASCII as it is, every other byte and the
// quote and backslash as \xNN, so that it stays one line, reads the same in
// any terminal, and cannot end a quoted field early.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace download {

// The text escaped; when it is longer than limit bytes, its first limit
// bytes escaped and "...".
std::string ClientText(std::string_view text, std::size_t limit = std::string_view::npos);

}  // namespace download
