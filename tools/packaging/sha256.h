// SHA-256 of a byte string, from the system's cryptography: OpenSSL's
// libcrypto on the native build, Windows' BCrypt (a system DLL) in the
// Windows builds, which link no OpenSSL.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace packaging {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Throws CommandError when the system cannot compute it.
Sha256Digest Sha256(const std::vector<std::uint8_t>& data);

}  // namespace packaging
