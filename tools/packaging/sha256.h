// SHA-256, from the system's cryptography: OpenSSL's libcrypto on the
// native build, Windows' BCrypt (a system DLL) in the Windows builds, which
// link no OpenSSL.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace packaging {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 over data that arrives in parts (a file read in chunks, the
// inputs of an entity tag). Throws CommandError when the system cannot
// compute it.
class Sha256Stream {
  public:
    Sha256Stream();
    ~Sha256Stream();
    Sha256Stream(const Sha256Stream&) = delete;
    Sha256Stream& operator=(const Sha256Stream&) = delete;

    void Add(std::span<const std::uint8_t> bytes);
    void Add(std::string_view text);
    // A number as 8 little-endian bytes: lengths in front of the parts, so
    // that no two sequences of parts give the same input.
    void AddNumber(std::uint64_t number);

    Sha256Digest Finish();

  private:
    struct State;  // the system's digest
    std::unique_ptr<State> state_;
};

// Throws CommandError when the system cannot compute it.
Sha256Digest Sha256(const std::vector<std::uint8_t>& data);

}  // namespace packaging
